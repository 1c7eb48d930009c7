#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Fails when a tracked script, test, benchmark, fuzz target, example or document names a literal
network address outside loopback (127.0.0.0/8, ::1) or the unspecified address. Tests and
benchmarks must never send traffic off this machine; documentation uses host names under
.example instead of addresses.

    loopback_only.py REPO_ROOT
"""
import ipaddress
import os
import re
import subprocess
import sys

SCANNED = ("scripts/", "tests/", "bench/", "fuzz/", "examples/", "tools/", "docs/", ".ci/")
SCANNED_FILES = ("README.md", "CMakeLists.txt")

IPV4 = re.compile(r"(?<![\w.])(?:\d{1,3}\.){3}\d{1,3}(?![\w.])")
# Hex groups around a "::", or eight full groups; not part of a longer word (std::, a::b).
IPV6 = re.compile(r"(?<![\w:.])(?:[0-9A-Fa-f]{0,4}:){2,7}[0-9A-Fa-f]{0,4}(?![\w:.])")


def tracked_files(root):
    try:
        out = subprocess.run(["git", "-C", root, "ls-files"], check=True, capture_output=True,
                             text=True).stdout.split("\n")
        return [f for f in out if f]
    except (OSError, subprocess.CalledProcessError):
        found = []
        for folder, _, names in os.walk(root):
            found += [os.path.relpath(os.path.join(folder, n), root) for n in names]
        return found


def allowed(text):
    if not any(c.isdigit() for c in text):
        return True  # a C++ scope of hex-letter names (a::b), not an address
    try:
        address = ipaddress.ip_address(text)
    except ValueError:
        return True  # not an address: a version, a time, a C++ scope
    return address.is_loopback or address.is_unspecified


def offending_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
    except OSError:
        return
    for number, line in enumerate(lines, 1):
        for pattern in (IPV4, IPV6):
            for match in pattern.finditer(line):
                if not allowed(match.group(0)):
                    yield number, match.group(0)


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else "."
    found = 0
    for name in tracked_files(root):
        if not (name.startswith(SCANNED) or name in SCANNED_FILES):
            continue
        for number, address in offending_lines(os.path.join(root, name)):
            print(f"{name}:{number}: {address} is not a loopback address")
            found += 1
    if found:
        print(f"{found} address(es) outside loopback; tests and benchmarks stay on 127.0.0.0/8 "
              "or ::1, documentation uses host names under .example")
        return 1
    print("no address outside loopback")
    return 0


sys.exit(main())
