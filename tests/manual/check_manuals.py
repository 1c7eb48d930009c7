#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The manual pages against the code, so that neither can change without the other.

    check_manuals.py MANUAL_FACTS DO3008RA_SIM MAN_DIR

MANUAL_FACTS prints the subcommands, options, configuration members and defaults of devhost
as the code has them; DO3008RA_SIM --help lists the simulator's options. Fails, naming each
item and the page it is missing from, when:
- a subcommand has no "## NAME" section under "# SUBCOMMANDS" of devhost(1), or an option is
  not written as *--option* in its subcommand's section (options of every subcommand: under
  "# OPTIONS");
- a configuration member has no entry "*PATH*" in devhost.json(5), or the entry's
  "Default: VALUE" differs from the code's default (or the page has an entry the code lacks);
- an option of do3008ra-sim --help is not written as *--option* in do3008ra-sim(1).
"""
import re
import subprocess
import sys
from pathlib import Path


def sections(text, marker):
    """{title: body} of the headings that start with `marker` ("# " or "## ")."""
    found, title, body = {}, None, []
    for line in text.splitlines():
        if line.startswith(marker) and not line.startswith(marker.strip() + "#"):
            if title is not None:
                found[title] = "\n".join(body)
            title, body = line[len(marker):].strip(), []
        elif title is not None:
            if marker == "## " and line.startswith("# "):
                found[title] = "\n".join(body)
                title, body = None, []
            else:
                body.append(line)
    if title is not None:
        found[title] = "\n".join(body)
    return found


def mentions(text, option):
    return re.search(r"\*" + re.escape(option) + r"\*", text) is not None


def member_entries(text):
    """{path: the value after "Default:", or None} of the entries: lines "*path*" alone."""
    bodies, path = {}, None
    for line in text.splitlines():
        start = re.fullmatch(r"\*([A-Za-z0-9_.\[\]]+)\*", line.strip())
        if start and not line.startswith(("\t", " ")):
            path = start.group(1)
            bodies[path] = []
        elif line.startswith("#"):
            path = None  # a section's text is no entry's
        elif path is not None:
            bodies[path].append(line)
    entries = {}
    for path, body in bodies.items():
        default = re.search(r"Default:\s+(\S+?)[.,;]?(\s|$)", " ".join(body))
        entries[path] = default.group(1) if default else None
    return entries


def check_devhost(facts, page, problems):
    text = page.read_text(encoding="utf-8")
    top = sections(text, "# ")
    subsections = sections(top.get("SUBCOMMANDS", ""), "## ")
    where = f"devhost(1) {page}"
    for name in facts["subcommand"]:
        if name not in subsections:
            problems.append(f"{where}: subcommand '{name}' (tools/devhost/cli/Subcommand.cpp) "
                            f"has no section '## {name}' under '# SUBCOMMANDS'")
    for extra in sorted(set(subsections) - set(facts["subcommand"])):
        problems.append(f"{where}: section '## {extra}' names no subcommand of the code")
    for owner, option in facts["option"]:
        if owner == "*":
            if not mentions(top.get("OPTIONS", ""), option):
                problems.append(f"{where}: option {option} (of every subcommand, "
                                f"tools/devhost/cli/CommandLine.cpp) is not written as "
                                f"*{option}* under '# OPTIONS'")
        elif owner in subsections and not mentions(subsections[owner], option):
            problems.append(f"{where}: option {option} of subcommand {owner} "
                            f"(tools/devhost/cli/Subcommand.cpp) is not written as "
                            f"*{option}* in section '## {owner}'")


def check_config(facts, page, problems):
    entries = member_entries(page.read_text(encoding="utf-8"))
    where = f"devhost.json(5) {page}"
    for path in facts["member"]:
        if path not in entries:
            problems.append(f"{where}: configuration member '{path}' "
                            f"(tools/devhost/config/ConfigMembers.cpp) has no entry *{path}*")
    for extra in sorted(set(entries) - set(facts["member"])):
        problems.append(f"{where}: entry *{extra}* names no configuration member of the code")
    for path, value in facts["default"]:
        said = entries.get(path)
        if path in entries and said != value:
            problems.append(f"{where}: member '{path}': the page says 'Default: {said}', "
                            f"the code's default is {value} (tools/devhost/config/HostConfig.h)")


def check_simulator(simulator, page, problems):
    usage = subprocess.run([simulator, "--help"], capture_output=True, text=True).stdout
    text = page.read_text(encoding="utf-8")
    options = sorted(set(re.findall(r"(?<![\w-])(--[a-z][a-z0-9-]*)", usage)))
    if not options:
        problems.append(f"{simulator} --help lists no option")
    for option in options:
        if not mentions(text, option):
            problems.append(f"do3008ra-sim(1) {page}: option {option} "
                            f"(do3008ra-sim --help) is not written as *{option}*")


def read_facts(program):
    facts = {"subcommand": [], "option": [], "member": [], "default": []}
    output = subprocess.run([program], capture_output=True, text=True, check=True).stdout
    for line in output.splitlines():
        kind, rest = line.split(" ", 1)
        if kind in ("option", "default"):
            facts[kind].append(tuple(rest.split(" ", 1)))
        else:
            facts[kind].append(rest)
    return facts


def main():
    program, simulator, man_dir = sys.argv[1], sys.argv[2], Path(sys.argv[3])
    facts = read_facts(program)
    problems = []
    check_devhost(facts, man_dir / "devhost.1.scd", problems)
    check_config(facts, man_dir / "devhost.json.5.scd", problems)
    check_simulator(simulator, man_dir / "do3008ra-sim.1.scd", problems)
    for problem in problems:
        print("FAIL:", problem)
    counts = {kind: len(values) for kind, values in facts.items()}
    print(f"checked {counts['subcommand']} subcommands, {counts['option']} options, "
          f"{counts['member']} members, {counts['default']} defaults and the simulator's options")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
