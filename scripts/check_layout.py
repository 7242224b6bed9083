#!/usr/bin/env python3
"""scripts/check_layout.py [ROOT]: checks the include rules of the source tree.

- no include cycle between units (a unit is a header with its .cpp files: x.h, x.cpp, qt_x.cpp);
- no cycle between the platform sub-folders, and no lower layer includes a higher one;
- an internal/ header is included only by its own folder (a platform one: by platform/), and by
  tests and fuzz targets, which reach behind the public headers on purpose.
Prints each breach and exits 1 when there is one.
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
# Lowest first; a folder may include its own and lower ones only.
LAYERS = ["platform/win32", "platform/rtl", "platform/system", "platform/serial", "platform/devices",
          "platform/input", "platform/mqtt", "platform/qt", "core", "ports", "comm", "barcode", "log", "app", "tools"]
SOURCES = LAYERS + ["platform", "tests", "bench", "fuzz", "examples"]
# Units kept in more than one file: the engine's two port-event threads are part of the engine
# (they call into it and it owns them).
SAME_UNIT = {"comm/commthreads": "comm/qvcomm"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)


def unit_of(path):
    folder, name = os.path.split(os.path.splitext(path)[0])
    folder = re.sub(r"/internal$", "", folder)  # a unit's internal header belongs to it
    unit = os.path.join(folder, re.sub(r"^qt_", "", name))
    return SAME_UNIT.get(unit, unit)


def internal_allowed(src, inc):
    if src.startswith(("tests/", "fuzz/")):
        return True
    owner = inc.split("/internal/")[0]
    if owner.startswith("platform/"):
        return src.startswith("platform/")
    return src.startswith(owner + "/")


def layer_of(path):
    if path == "platform/testhooks.h":
        return "platform/win32"  # declarations only, on the Windows types: below every user
    best = None
    for layer in LAYERS:
        if path.startswith(layer + "/") and (best is None or len(layer) > len(best)):
            best = layer
    return best


def main():
    files = {}
    for top in SOURCES:
        base = os.path.join(ROOT, top)
        for folder, dirs, names in os.walk(base):
            dirs[:] = [d for d in dirs if d not in ("build", "corpus")]
            for n in names:
                if n.endswith((".h", ".cpp")):
                    rel = os.path.relpath(os.path.join(folder, n), ROOT)
                    if rel not in files:
                        with open(os.path.join(ROOT, rel), encoding="utf-8", errors="replace") as f:
                            files[rel] = INCLUDE.findall(f.read())
    problems = []
    edges = {}
    for src, includes in sorted(files.items()):
        for inc in includes:
            if inc not in files:
                continue  # a header of the test's own folder, a system header
            if "/internal/" in inc and not internal_allowed(src, inc):
                problems.append(f"{src}: includes the internal header {inc}")
            a, b = layer_of(src), layer_of(inc)
            if a and b and LAYERS.index(b) > LAYERS.index(a):
                problems.append(f"{src}: {a} includes the higher {b} ({inc})")
            if inc.startswith("platform/") and layer_of(inc) is None and src.startswith("platform/") and layer_of(src):
                problems.append(f"{src}: includes {inc}, which belongs to no platform folder")
            u, v = unit_of(src), unit_of(inc)
            if u != v and not src.startswith(("tests/", "bench/", "fuzz/", "examples/")):
                edges.setdefault(u, set()).add(v)
    # Strongly connected components (iterative Tarjan): each with more than one unit is a cycle.
    index, low, stack, on, comps, counter = {}, {}, [], set(), [], [0]
    for start in sorted(edges):
        if start in index:
            continue
        work = [(start, iter(sorted(edges.get(start, ()))))]
        index[start] = low[start] = counter[0]; counter[0] += 1; stack.append(start); on.add(start)
        while work:
            node, it = work[-1]
            for nxt in it:
                if nxt not in index:
                    index[nxt] = low[nxt] = counter[0]; counter[0] += 1; stack.append(nxt); on.add(nxt)
                    work.append((nxt, iter(sorted(edges.get(nxt, ())))))
                    break
                if nxt in on:
                    low[node] = min(low[node], index[nxt])
            else:
                work.pop()
                if work:
                    low[work[-1][0]] = min(low[work[-1][0]], low[node])
                if low[node] == index[node]:
                    comp = []
                    while True:
                        w = stack.pop(); on.discard(w); comp.append(w)
                        if w == node:
                            break
                    if len(comp) > 1:
                        comps.append(sorted(comp))
    for comp in comps:
        problems.append("include cycle between units: " + ", ".join(comp))
    for p in problems:
        print(p)
    print(f"{len(files)} files, {sum(len(v) for v in edges.values())} unit includes, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
