#!/usr/bin/env python3
"""Lists every catch in src/ with its block and fails when one drops what it caught.

A catch keeps its cause when its block uses the caught object's name, calls
Failure::FromCurrentException or a helper that does (RideOut), or rethrows. A catch
that can keep nothing says why in a comment starting with "keeps:".
Usage: scripts/check-catches.py [-v]   (-v prints every block)
"""
import pathlib
import re
import sys

KEEPERS = ("FromCurrentException", "RideOut(", "throw;", "keeps:")


def blocks(text):
    for match in re.finditer(r"\bcatch\s*\(([^)]*)\)\s*\{", text):
        depth, end = 1, match.end()
        while depth and end < len(text):
            depth += {"{": 1, "}": -1}.get(text[end], 0)
            end += 1
        declared = match.group(1).strip()
        name = re.search(r"(\w+)\s*$", declared) if declared != "..." else None
        name = name.group(1) if name and not declared.endswith(("&", "...")) else None
        if name in ("exception", "bad_alloc", "system_error", "error"):  # a type, no name
            name = None
        yield text.count("\n", 0, match.start()) + 1, declared, name, text[match.end():end - 1]


def main():
    verbose = "-v" in sys.argv
    total, dropped = 0, []
    for path in sorted(pathlib.Path("src").rglob("*.[ch]*")):
        text = path.read_text(encoding="utf-8")
        for line, declared, name, body in blocks(text):
            total += 1
            kept = (name and re.search(rf"\b{name}\b", body)) or any(k in body for k in KEEPERS)
            if verbose or not kept:
                print(f"{path}:{line}: catch ({declared}){'' if kept else '  <-- drops its cause'}")
                if verbose:
                    print("    " + "\n    ".join(body.strip().splitlines()))
            if not kept:
                dropped.append(f"{path}:{line}")
    print(f"{total} catch sites, {len(dropped)} drop their cause")
    return 1 if dropped else 0


if __name__ == "__main__":
    sys.exit(main())
