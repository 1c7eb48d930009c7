#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Fails when a file of the reference host includes a header of a folder that is not below its
own. The build's layer checks catch a call back up; this catches what no link sees: a type or an
inline function taken from a higher folder's header.

    includes_point_down.py LAYERS_FILE HOST_SOURCE_DIR

LAYERS_FILE (written by tools/devhost/CMakeLists.txt) has a line "folder: below..." per layer.
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^/"]+)/([^"]+)"')


def read_layers(path):
    below = {}
    with open(path, encoding="utf-8") as layers:
        for line in layers:
            if ":" not in line:
                continue
            name, folders = line.split(":", 1)
            below[name.strip()] = folders.split()
    return below


def reachable(below, name):
    seen, todo = set(), list(below.get(name, []))
    while todo:
        folder = todo.pop()
        if folder not in seen:
            seen.add(folder)
            todo.extend(below.get(folder, []))
    return seen


def main():
    below = read_layers(sys.argv[1])
    root = sys.argv[2]
    wrong = []
    for folder in sorted(below):
        allowed = reachable(below, folder) | {folder}
        for name in sorted(os.listdir(os.path.join(root, folder))):
            with open(os.path.join(root, folder, name), encoding="utf-8") as source:
                for number, line in enumerate(source, 1):
                    match = INCLUDE.match(line)
                    if match and match.group(1) in below and match.group(1) not in allowed:
                        wrong.append(f"{folder}/{name}:{number}: includes {match.group(1)}/"
                                     f"{match.group(2)}, but {match.group(1)}/ is not below "
                                     f"{folder}/")
    print("\n".join(wrong) if wrong else f"{len(below)} folders: every include points down")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
