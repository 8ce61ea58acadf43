#!/usr/bin/env python3
"""Every command the docs show exists: each file or folder of this
repository that they name, each link between them, and each option they give
ethernet-loader-cli (per subcommand) and meter-sim, as the programs' own
--help lists it. Prints what is missing and exits 1; 0 when nothing is.

usage: check-docs.py ROOT CLI METER_SIM
"""
import glob
import os
import re
import subprocess
import sys

# Folders of the repository whose files the docs name by path.
ROOTS = ("scripts", "tests", "bench", "deploy", "packaging", "docs", "sim", "cli", "window", "qt", "win32",
         "platform", "update", "image", "settings", "history", "net", "trace", "brand", "protocol", "cmake")
PATH = re.compile(r"(?<![\w./~$-])((?:%s)/[\w./*-]*[\w*/])" % "|".join(ROOTS))
LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)\s]*)?\)")
SUBCOMMANDS = ("update", "probe", "merge-reports", "history", "plan")


def doc_files(root):
    names = ["README.md", "CHANGELOG.md", "sim/README.md", "deploy/ansible/roles/ethernet_loader/README.md"]
    names += sorted(os.path.relpath(p, root) for p in glob.glob(os.path.join(root, "docs", "*.md")))
    return [n for n in names if os.path.exists(os.path.join(root, n))]


def code_texts(text):
    """Code blocks (fenced or indented) and inline code spans."""
    texts = re.findall(r"```[^\n]*\n(.*?)```", text, flags=re.S)
    texts += [m for m in re.findall(r"^(?: {4,}|\t)(.+)$", text, flags=re.M)]
    texts += re.findall(r"`([^`\n]+)`", text)
    return texts


def help_options(argv):
    out = subprocess.run(argv + ["--help"], capture_output=True, text=True, timeout=30)
    return set(re.findall(r"(--[a-z0-9][a-z0-9-]*)", out.stdout + out.stderr))


def command_problems(code, cli, sim, helps):
    problems = []
    for line in code.splitlines():
        line = line.split(" # ")[0]
        for program, path in (("ethernet-loader-cli", cli), ("meter-sim", sim)):
            for use in re.finditer(re.escape(program) + r"((?:\s+\S+)*)", line):
                words = use.group(1).split()
                command = [path]
                while words and words[0] in SUBCOMMANDS and program == "ethernet-loader-cli":
                    command.append(words.pop(0))
                key = " ".join([program] + command[1:])
                if key not in helps:
                    helps[key] = help_options(command)
                for word in words:
                    option = re.match(r"(--[a-z0-9][a-z0-9-]*)", word)
                    if option and option.group(1) not in helps[key]:
                        problems.append("%s has no option %s" % (key, option.group(1)))
    return problems


def main():
    root, cli, sim = sys.argv[1:4]
    problems = []
    helps = {}
    for name in doc_files(root):
        text = open(os.path.join(root, name), encoding="utf-8").read()
        for link in LINK.findall(text):
            if "://" not in link and not os.path.exists(os.path.join(root, os.path.dirname(name), link)):
                problems.append("%s: the link %s leads nowhere" % (name, link))
        for code in code_texts(text):
            code = re.sub(r"#include\s+\S+", "", code)  # a header as the compiler finds it
            for path in PATH.findall(code):
                if not glob.glob(os.path.join(root, path.rstrip("/"))):
                    problems.append("%s: %s is no file or folder of the repository" % (name, path))
            problems += ["%s: %s" % (name, p) for p in command_problems(code, cli, sim, helps)]
    for p in sorted(set(problems)):
        print(p)
    print("%d documents checked, %d problems" % (len(doc_files(root)), len(set(problems))))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
