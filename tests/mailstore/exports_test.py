#!/usr/bin/env python3
"""The shared library exports exactly what its public header declares.

The names come from the header itself (every function declared and every
extern object, whatever markup they carry), the exports from nm -D; both
sets must be equal, and every export must carry the version node.

Usage: exports_test.py HEADER LIBRARY VERSION_NODE
"""

import re
import subprocess
import sys


def declared_names(header_text):
    text = re.sub(r"/\*.*?\*/|//[^\n]*", " ", header_text, flags=re.S)
    text = re.sub(r"^\s*#(?:.*\\\n)*.*$", " ", text, flags=re.M)
    # Past the extern "C" brace, braces hold struct bodies: no names.
    text = re.sub(r'extern\s*"C"\s*\{', " ", text)
    while True:
        reduced = re.sub(r"\{[^{}]*\}", " ", text)
        if reduced == text:
            break
        text = reduced
    names = set()
    for statement in text.replace("{", ";").replace("}", ";").split(";"):
        words = statement.split()
        if not words or words[0] == "typedef":
            continue
        called = re.search(r"([A-Za-z_]\w*)\s*\(", statement)
        if called:
            names.add(called.group(1))
        elif words[0] == "extern":
            names.add(re.search(r"([A-Za-z_]\w*)\s*(\[[^\]]*\]\s*)*$", statement).group(1))
    return names


def exported_names(library, node):
    out = subprocess.run(["nm", "-D", "--defined-only", library], stdout=subprocess.PIPE,
                         text=True, check=True).stdout
    names, unversioned = set(), []
    for line in out.splitlines():
        symbol = line.split()[-1]
        if symbol == node:  # the version node's own entry
            continue
        name, _, version = symbol.partition("@@")
        names.add(name)
        if version != node:
            unversioned.append(symbol)
    return names, unversioned


def main(header, library, node):
    with open(header) as f:
        declared = declared_names(f.read())
    exported, unversioned = exported_names(library, node)
    failures = []
    if len(declared) < 20:
        failures.append("only %d names found in %s: %s" % (len(declared), header, sorted(declared)))
    if exported - declared:
        failures.append("exported but not in the header: %s" % sorted(exported - declared))
    if declared - exported:
        failures.append("declared but not exported: %s" % sorted(declared - exported))
    if unversioned:
        failures.append("exports without version %s: %s" % (node, unversioned))
    for f in failures:
        print("FAIL: " + f, file=sys.stderr)
    if not failures:
        print("exports: %d names, all %s" % (len(exported), node))
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
