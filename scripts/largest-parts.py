#!/usr/bin/env python3
"""The largest classes and the longest functions of a source tree, read with
universal-ctags (Debian package universal-ctags).
methods = member functions declared or defined in the class body (constructors and
operators included); lines = the class body plus the bodies of its member functions
defined outside it. Usage: scripts/largest-parts.py [SRC_DIR]  (default: src)"""
import json, subprocess, sys, collections
src = sys.argv[1] if len(sys.argv) > 1 else "src"
out = subprocess.run(["ctags", "-R", "--languages=C++", "--output-format=json",
                      "--fields=+neKSZ", "--kinds-C++=+p", "-f", "-", src],
                     capture_output=True, text=True, check=True).stdout
tags = [json.loads(l) for l in out.splitlines() if l.startswith("{")]
classes = {}
methods = collections.Counter()
bodylines = collections.Counter()
funcs = []
for t in tags:
    kind = t.get("kind")
    if kind in ("class", "struct") and "end" in t:
        n = t["name"]
        span = t["end"] - t["line"] + 1
        if span > classes.get(n, 0): classes[n] = span
    scope = t.get("scope", "")
    cls = scope.split("::")[-1] if t.get("scopeKind") in ("class", "struct") else None
    if kind in ("function", "prototype") and cls:
        if t["path"].endswith(".h"): methods[cls] += 1
        if kind == "function" and not t["path"].endswith(".h") and "end" in t:
            bodylines[cls] += t["end"] - t["line"] + 1
    if kind == "function" and "end" in t:
        funcs.append((t["end"] - t["line"] + 1, (cls + "::" if cls else "") + t["name"], t["path"]))
rows = sorted(classes, key=lambda c: -methods[c])[:6]
print("largest classes (methods, lines):")
for c in rows: print(f"  {c}: {methods[c]} methods, {classes[c] + bodylines[c]} lines")
print("longest functions (lines):")
for n, name, path in sorted(funcs, reverse=True)[:6]: print(f"  {name}: {n} ({path})")
