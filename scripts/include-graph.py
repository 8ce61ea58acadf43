#!/usr/bin/env python3
"""The folders' include graph: which folder's code includes which folder's
headers, counted over the files git tracks.

  include-graph.py [ROOT]           prints the graph, then checks it
  include-graph.py --dot [ROOT]     the graph for Graphviz

The check fails (exit 1) when an include runs back up the layers below, when
the product includes tests or benchmarks, or when the simulator includes
anything of the tool's (it shares no code with it, so that a fault in the
tool cannot hide behind the same fault in the simulator).
"""
import collections
import os
import re
import subprocess
import sys

# From the bottom up: a folder may include its own headers and those of the
# folders before it, never one after it.
LAYERS = ["brand", "protocol", "platform", "image", "settings", "update", "net", "trace", "history", "core",
          "window", "cli", "qt", "win32"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def folder_of(path):
    parts = path.split("/")
    if parts[0] in ("tests", "bench") or len(parts) == 1:
        return parts[0]
    return parts[0]


def graph(root):
    files = subprocess.check_output(["git", "-C", root, "ls-files"], text=True).split()
    edges = collections.Counter()
    for f in files:
        if not re.search(r"\.(h|cpp|in)$", f):
            continue
        with open(os.path.join(root, f), encoding="utf-8", errors="replace") as src:
            text = src.read()
        for name in INCLUDE.findall(text):
            if "/" not in name:
                continue  # a generated file of the build (moc)
            to = name.split("/")[0]
            edges[(folder_of(f), to)] += 1
    return edges


def problems(edges):
    rank = {name: i for i, name in enumerate(LAYERS)}
    found = []
    for (src, dst), n in sorted(edges.items()):
        if src == dst:
            continue
        if src == "sim" or (dst == "sim" and src not in ("tests", "bench")):
            found.append(f"{src} -> {dst}: the simulator and the tool share no code")
        elif dst in ("tests", "bench") and src not in ("tests", "bench"):
            found.append(f"{src} -> {dst}: the product includes test code")
        elif src in rank and dst in rank and rank[dst] > rank[src]:
            found.append(f"{src} -> {dst}: runs back up ({dst} is above {src})")
        elif src in rank and dst not in rank:
            found.append(f"{src} -> {dst}: a folder outside the layers")
    return found


def main(argv):
    dot = "--dot" in argv
    args = [a for a in argv if a != "--dot"]
    root = args[0] if args else os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    edges = graph(root)
    if dot:
        print("digraph includes {")
        for (src, dst), n in sorted(edges.items()):
            if src != dst:
                print(f'  "{src}" -> "{dst}" [label={n}];')
        print("}")
        return 0
    by_src = collections.defaultdict(list)
    for (src, dst), n in sorted(edges.items()):
        if src != dst:
            by_src[src].append(f"{dst} ({n})")
    for src in LAYERS + sorted(set(by_src) - set(LAYERS)):
        if src in by_src:
            print(f"{src:9} -> " + ", ".join(by_src[src]))
    found = problems(edges)
    for p in found:
        print("WRONG: " + p)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
