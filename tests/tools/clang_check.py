#!/usr/bin/env python3
"""Compiles every C and C++ source of a build's compile database once more
with clang, syntax and warnings only (-fsyntax-only, the build's own flags,
so -Wall -Wextra -Werror where the build has them). The Linux builds use GCC;
clang is the compiler of the macOS build and of the fuzz targets, and it
refuses some code GCC takes (a structured binding captured by a lambda in
C++17, for one). Usage: clang_check.py BUILD_DIR SOURCE_DIR"""
import concurrent.futures
import json
import os
import shlex
import shutil
import subprocess
import sys


def clang_args(entry):
    args = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
    cxx = entry["file"].endswith((".cpp", ".cc", ".cxx"))
    out = [shutil.which("clang++" if cxx else "clang")]
    skip = False
    for a in args[1:]:
        if skip:
            skip = False
        elif a == "-o":
            skip = True
        elif a != "-c":
            out.append(a)
    return out + ["-fsyntax-only"]


def main():
    build, source = sys.argv[1], os.path.realpath(sys.argv[2])
    if not shutil.which("clang++"):
        print("clang_check: clang++ is not installed (scripts/install-deps.sh installs it)")
        return 1
    with open(os.path.join(build, "compile_commands.json")) as f:
        entries = [e for e in json.load(f) if os.path.realpath(e["file"]).startswith(source + os.sep)]

    def check(e):
        r = subprocess.run(clang_args(e), cwd=e["directory"], capture_output=True, text=True)
        return e["file"], r.returncode, r.stdout + r.stderr

    failed = 0
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 2) as pool:
        for path, rc, text in pool.map(check, entries):
            if rc != 0:
                failed += 1
                print(f"clang_check: {os.path.relpath(path, source)}\n{text}")
    print(f"clang_check: {len(entries) - failed} of {len(entries)} sources compile under clang")
    return 1 if failed or not entries else 0


if __name__ == "__main__":
    sys.exit(main())
