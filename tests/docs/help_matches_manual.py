#!/usr/bin/env python3
"""The manual pages and --help name the same commands and options.

    help_matches_manual.py --man-dir BUILD/man --tool TessaranFwTool --updater TessaranFwUpgrade

Reads the manual pages as configured for the build (BUILD/man/*.1.scd: the
shared sections inserted) and the programs' own --help:

- the tool's commands: those --help lists are those the manual's SYNOPSIS
  gives (bench's routines, which bench --help shows as usage lines, too);
- each command's options: those its --help lists are those its SYNOPSIS
  lines give (-h and --help aside, which every command takes);
- every option the manual names anywhere is one the tool lists, or one of
  the updater's SYNOPSIS, each of which the updater takes (status 0).

Prints what disagrees and fails; "N passed, N failed" closes the run.
"""
import argparse
import os
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w/-])(--?[a-z][a-z0-9-]*)")
BOLD_OPTION = re.compile(r"\*(--?[a-z][a-z0-9-]*)\*")
BOLD_WORD = re.compile(r"\*([a-z][a-z0-9-]*)\*")
ALWAYS = {"-h", "--help"}


def run(argv):
    done = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=30)
    return done.returncode, done.stdout.decode("utf-8", "replace")


def help_of(tool, command):
    """(options, commands) that `tool [command] --help` lists."""
    status, text = run([tool] + command + ["--help"])
    if status != 0:
        sys.exit(f"{' '.join([tool] + command)} --help: exit status {status}")
    options, commands = set(), []
    section = None
    for line in text.splitlines():
        if re.match(r"^\S.*:$", line):
            section = line[:-1]
            continue
        usage = re.match(r"^(Usage:)?\s*\S*TessaranFwTool (.*)$", line)
        if usage and (usage.group(1) or line.startswith(" ")):
            words = usage.group(2).split()
            options |= set(OPTION.findall(usage.group(2)))
            # A usage line of a command's own routines: "bench send-512kb PORT BAUD".
            if command and words[:1] == command and len(words) > 1 and words[1].islower() and not words[1].startswith("-"):
                commands.append(words[1])
            continue
        item = re.match(r"^  (\S+)", line)
        if not item:
            continue
        if item.group(1).startswith("-"):
            options |= {name for name in item.group(1).split(",") if name.startswith("-")}
        elif section == "Subcommands":
            commands.append(item.group(1))
    return options, commands


def synopsis(page):
    """The SYNOPSIS lines of a configured page, without their markup breaks."""
    text = page.split("# SYNOPSIS", 1)[1].split("\n# ", 1)[0]
    return [line.rstrip("+").strip() for line in text.splitlines() if line.strip()]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--man-dir", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--updater", required=True)
    args = parser.parse_args()

    def read(name):
        with open(os.path.join(args.man_dir, name), encoding="utf-8") as page:
            return page.read()
    tool_page, updater_page = read("TessaranFwTool.1.scd"), read("TessaranFwUpgrade.1.scd")

    # The manual: each command's options from its SYNOPSIS lines.
    man_options = {(): set()}
    for line in synopsis(tool_page):
        words = BOLD_WORD.findall(line.split("*TessaranFwTool*", 1)[1])
        command = (words[0],) if words and not line.split("*TessaranFwTool*", 1)[1].strip().startswith("[") else ()
        man_options.setdefault(command, set()).update(BOLD_OPTION.findall(line))
        if command == ("bench",):
            man_options.update({("bench", word): set() for word in words[1:]})
    man_options[()] -= ALWAYS

    failures = []
    checked = 0

    def expect(same, what):
        nonlocal checked
        checked += 1
        if not same:
            failures.append(what)

    top_options, commands = help_of(args.tool, [])
    listed = {(): top_options - ALWAYS}
    for command in commands:
        options, routines = help_of(args.tool, [command])
        listed[(command,)] = options - ALWAYS
        listed.update({(command, routine): set() for routine in routines})

    for command in sorted(set(listed) | set(man_options)):
        name = " ".join(("TessaranFwTool",) + command)
        expect(command in man_options, f"{name}: --help lists it, the manual's SYNOPSIS does not")
        expect(command in listed, f"{name}: the manual's SYNOPSIS names it, --help does not")
        if command in man_options and command in listed:
            for option in sorted(listed[command] - man_options[command]):
                expect(False, f"{name} {option}: --help lists it, the manual's SYNOPSIS does not")
            for option in sorted(man_options[command] - listed[command]):
                expect(False, f"{name} {option}: the manual's SYNOPSIS names it, --help does not")
            checked += 1

    # The updater: each option its SYNOPSIS gives is taken (usage, status 0).
    updater_options = set()
    for line in synopsis(updater_page):
        updater_options |= set(re.findall(r"\*(-[^*\s]*|/\?)\*", line))
    for option in sorted(updater_options):
        status, _ = run([args.updater, option])
        expect(status == 0, f"TessaranFwUpgrade {option}: named in its manual, refused (status {status})")

    # Every option either page names anywhere exists.
    known = set().union(*listed.values()) | ALWAYS | updater_options
    for page_name, page in (("TessaranFwTool", tool_page), ("TessaranFwUpgrade", updater_page)):
        for option in sorted(set(BOLD_OPTION.findall(page)) - known):
            expect(False, f"{page_name}(1) names {option}, which no --help lists")

    for failure in failures:
        print("FAIL:", failure)
    print(f"{checked - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
