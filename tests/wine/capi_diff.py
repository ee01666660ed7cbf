#!/usr/bin/env python3
"""Compares the transcripts of capi_diff.c: Wine's CryptoAPI and this CSP.

    capi_diff.py WINE.txt OURS.txt EXCEPTIONS

Every line must be the same in both, except the lines EXCEPTIONS names
("name | Wine's value | Windows' value | why"): there Wine must still give
its value (so a change in Wine is noticed) and this CSP the Windows one.
"""
import sys


def transcript(path):
    lines = {}
    with open(path, encoding="ascii") as f:  # universal newlines: Wine writes CRLF
        for line in f:
            name, _, value = line.rstrip("\n").partition(" ")
            lines[name] = value
    return lines


def main(wine_path, ours_path, exceptions_path):
    wine, ours = transcript(wine_path), transcript(ours_path)
    expected = {}
    with open(exceptions_path, encoding="utf-8") as f:
        for line in f:
            if line.strip() and not line.startswith("#"):
                name, wine_value, windows_value, _why = (p.strip() for p in line.split("|", 3))
                expected[name] = (wine_value, windows_value)
    failures = []
    for name in sorted(set(wine) | set(ours)):
        w, o = wine.get(name, "(missing)"), ours.get(name, "(missing)")
        if name in expected:
            wine_value, windows_value = expected[name]
            if w != wine_value:
                failures.append(f"{name}: Wine now gives {w}, recorded {wine_value}")
            if o != windows_value:
                failures.append(f"{name}: ours {o}, Windows {windows_value} (Wine {w})")
        elif w != o:
            failures.append(f"{name}: ours {o}, Wine {w}")
    for name in sorted(set(expected) - set(wine) - set(ours)):
        failures.append(f"{name}: recorded but in neither transcript")
    print(f"{len(set(wine) | set(ours))} lines compared, {len(expected)} where Wine departs from Windows")
    for f in failures:
        print("MISMATCH " + f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
