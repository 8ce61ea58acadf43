#!/usr/bin/env python3
"""Function bodies longer than a limit (default 60 lines) in the C++ files git
tracks: a long function hides its steps; split it by role.

  function-length.py [LIMIT] [ROOT]

Reads braces, not a full parse: a body is what follows a head with ")" (or a
lambda's "]") up to its closing brace, at namespace or class level. Data
tables are initialisers (a head ending in "="), not bodies, and are not
counted. Exit status 1 when a body is over the limit.
"""
import os
import re
import subprocess
import sys


def strip(line):
    line = re.sub(r"//.*", "", line)
    line = re.sub(r'"(\\.|[^"\\])*"', '""', line)
    return re.sub(r"'(\\.|[^'\\])*'", "''", line)


def long_bodies(path, limit):
    stack = []  # "scope" (namespace, class, initialiser), "block", or (start, name) of a function
    head = ""
    found = []
    with open(path, encoding="utf-8", errors="replace") as src:
        lines = src.read().split("\n")
    for number, raw in enumerate(lines):
        line = strip(raw)
        in_function = any(isinstance(s, tuple) for s in stack)
        for i, ch in enumerate(line):
            if ch == "{":
                text = (head + " " + line[:i]).strip()
                if any(isinstance(s, tuple) for s in stack):
                    stack.append("block")
                elif re.search(r"\b(namespace|class|struct|union|enum)\b[^()]*$", text) or text.endswith("=") \
                        or 'extern ""' in text:
                    stack.append("scope")
                elif ")" in text or text.endswith("]"):
                    names = re.findall(r"([~\w:]+)\s*\(", text)
                    stack.append((number, names[0] if names else "?"))
                else:
                    stack.append("block")
                head = ""
            elif ch == "}":
                if stack:
                    top = stack.pop()
                    if isinstance(top, tuple) and number - top[0] + 1 > limit:
                        found.append((number - top[0] + 1, top[0] + 1, top[1]))
                head = ""
            elif ch == ";" and not any(isinstance(s, tuple) for s in stack):
                head = ""
        if not in_function and not any(isinstance(s, tuple) for s in stack):
            text = line.strip()
            if text and not text.startswith("#"):
                head = (head + " " + text.split("{")[-1].split("}")[-1])[-400:]
    return found


def main(argv):
    limit = int(argv[0]) if argv else 60
    root = argv[1] if len(argv) > 1 else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    files = subprocess.check_output(["git", "-C", root, "ls-files", "*.cpp", "*.h"], text=True).split()
    over = []
    for f in files:
        over += [(n, f, start, name) for n, start, name in long_bodies(os.path.join(root, f), limit)]
    for n, f, start, name in sorted(over, reverse=True):
        print(f"{f}:{start}: {name} has {n} lines (at most {limit})")
    print(f"function length: {len(files)} files, {len(over)} bodies over {limit} lines")
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
