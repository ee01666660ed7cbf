#!/usr/bin/env python3
"""Every exported function (and SSPI table entry) of the OpenSSL-based platform libraries opens with
CSP_ENTRY (the error-queue check). Lists the definitions that do not and fails;
with --fix, inserts the line instead."""
import pathlib
import re
import sys

root = pathlib.Path(sys.argv[-1])
fix = "--fix" in sys.argv
missing = []
for path in sorted(root.glob("platform/*/*.cpp")):
    if path.parent.name == "cfgsup":  # no OpenSSL there
        continue
    lines = path.read_text().split("\n")
    i, changed = 0, False
    while i < len(lines):
        if re.match(r'(extern "C" CSPAPI|SECURITY_STATUS SEC_ENTRY)\b', lines[i]) and not lines[i].rstrip().endswith(";") \
                and "}" not in lines[i]:  # a declaration or a one-line body
            j = i
            while not lines[j].rstrip().endswith("{"):
                j += 1
            if lines[j + 1].strip() != "CSP_ENTRY;":
                name = re.search(r"(\w+)\(", lines[i])
                missing.append(f"{path.relative_to(root)}:{i + 1}: {name.group(1) if name else '?'}")
                if fix:
                    lines.insert(j + 1, "  CSP_ENTRY;")
                    changed = True
            i = j
        i += 1
    if changed:
        path.write_text("\n".join(lines))
if missing and not fix:
    print("exported functions without CSP_ENTRY:\n  " + "\n  ".join(missing))
    sys.exit(1)
print(f"{'inserted' if fix else 'checked'}: {len(missing)} missing")
