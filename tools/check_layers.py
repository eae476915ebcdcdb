#!/usr/bin/env python3
"""Fails when a file of the program includes a header of a layer above its
own. The layers, from the bottom: runtime (text helpers and the program's
name, variant and version), keyrecord, settings, driver, cli.

Usage: check_layers.py [ROOT]    (ROOT: the checkout, by default the one
this script is in)
"""

import os
import re
import sys

LAYERS = ["runtime", "keyrecord", "settings", "driver", "cli"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"(\w+)/', re.M)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    faults = 0
    for level, layer in enumerate(LAYERS):
        for folder, _, names in os.walk(os.path.join(root, layer)):
            for name in sorted(names):
                if not name.endswith((".cpp", ".h", ".rc")):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="latin-1") as f:
                    for included in INCLUDE.findall(f.read()):
                        if included in LAYERS and LAYERS.index(included) > level:
                            print("%s: includes from %s/, a layer above %s/" %
                                  (os.path.relpath(path, root), included, layer))
                            faults += 1
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
