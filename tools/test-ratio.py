#!/usr/bin/env python3
"""Prints the size of the tests against the size of the code they test.

Counts the non-blank lines of the C++ files (.cpp .h .hpp .cc .inc) under tests/, src/ and
include/, leaving out the generated tables under src/utils/tables/, and prints the three counts
and the ratio of tests to code (src/ + include/). With --max R it exits with 1 when the ratio is
above R, with --min R when it is below R.

    tools/test-ratio.py [--max 0.34] [--min 0.25]
"""
import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SUFFIXES = (".cpp", ".h", ".hpp", ".cc", ".inc")
GENERATED = os.path.join("src", "utils", "tables")


def non_blank_lines(folder):
    total = 0
    for parent, dirs, files in os.walk(os.path.join(ROOT, folder)):
        dirs.sort()
        if os.path.relpath(parent, ROOT).startswith(GENERATED):
            continue
        for name in files:
            if name.endswith(SUFFIXES):
                with open(os.path.join(parent, name), encoding="utf-8", errors="replace") as f:
                    total += sum(1 for line in f if line.strip())
    return total


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--max", type=float, help="fail when tests / code is above this")
    ap.add_argument("--min", type=float, help="fail when tests / code is below this")
    a = ap.parse_args()

    tests, src, include = (non_blank_lines(d) for d in ("tests", "src", "include"))
    code = src + include
    ratio = tests / code if code else 0.0
    print(f"tests {tests} · src {src} · include {include} · tests / code {ratio:.2f}")
    if a.max is not None and ratio > a.max:
        print(f"the tests are more than {a.max:.2f} of the code", file=sys.stderr)
        return 1
    if a.min is not None and ratio < a.min:
        print(f"the tests are less than {a.min:.2f} of the code", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
