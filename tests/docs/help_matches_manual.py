#!/usr/bin/env python3
"""The manual pages and --help name the same commands and options.

    help_matches_manual.py --man-dir BUILD/man --tool TessaranFwTool --updater TessaranFwUpgrade

Reads the pages as configured for the build (their shared sections in place):
the commands the tool's --help lists (and bench's routines) are those of the
manual's SYNOPSIS; each command's options (-h, --help aside) are those of its
SYNOPSIS lines; every option either page names is one the tool lists or one
of the updater's SYNOPSIS, which the updater takes (status 0).
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
    """(options, commands) that `tool [command] --help` lists: its option
    lines, its usage lines, its Subcommands and routines ("bench dump")."""
    status, text = run([tool] + command + ["--help"])
    assert status == 0, f"{tool} {command} --help: exit status {status}"
    options, commands, section = set(), [], None
    for line in text.splitlines():
        usage = re.match(r"^(Usage:)?\s*\S*TessaranFwTool (.*)$", line)
        item = re.match(r"^  (\S+)", line)
        if re.match(r"^\S.*:$", line):
            section = line[:-1]
        elif usage and (usage.group(1) or line.startswith(" ")):
            options |= set(OPTION.findall(usage.group(2)))
            words = usage.group(2).split()
            if command and words[:1] == command and len(words) > 1 and words[1].islower() \
                    and not words[1].startswith("-"):
                commands.append(words[1])
        elif item and item.group(1).startswith("-"):
            options |= {name for name in item.group(1).split(",") if name.startswith("-")}
        elif item and section == "Subcommands":
            commands.append(item.group(1))
    return options - ALWAYS, commands


def synopsis(page):
    text = page.split("# SYNOPSIS", 1)[1].split("\n# ", 1)[0]
    return [line.rstrip("+").strip() for line in text.splitlines() if line.strip()]


def main():
    parser = argparse.ArgumentParser()
    for name in ("--man-dir", "--tool", "--updater"):
        parser.add_argument(name, required=True)
    args = parser.parse_args()
    pages = {}
    for name in ("TessaranFwTool", "TessaranFwUpgrade"):
        with open(os.path.join(args.man_dir, name + ".1.scd"), encoding="utf-8") as page:
            pages[name] = page.read()

    in_manual = {(): set()}
    for line in synopsis(pages["TessaranFwTool"]):
        rest = line.split("*TessaranFwTool*", 1)[1].strip()
        words = BOLD_WORD.findall(rest)
        command = (words[0],) if words and not rest.startswith("[") else ()
        in_manual.setdefault(command, set()).update(set(BOLD_OPTION.findall(line)) - ALWAYS)
        if command == ("bench",):
            in_manual.update({("bench", word): set() for word in words[1:]})

    top, commands = help_of(args.tool, [])
    listed = {(): top}
    for command in commands:
        listed[(command,)], routines = help_of(args.tool, [command])
        listed.update({(command, routine): set() for routine in routines})

    results = []
    for command in sorted(set(listed) | set(in_manual)):
        name = " ".join(("TessaranFwTool",) + command)
        results.append((command in in_manual, f"{name}: --help lists it, the manual's SYNOPSIS does not"))
        results.append((command in listed, f"{name}: the manual's SYNOPSIS names it, --help does not"))
        for option in listed.get(command, set()) ^ in_manual.get(command, set()):
            where = ("--help lists it, its SYNOPSIS line does not" if option in listed.get(command, ())
                     else "its SYNOPSIS line names it, --help does not")
            results.append((command not in listed or command not in in_manual, f"{name} {option}: {where}"))

    updater = {option for line in synopsis(pages["TessaranFwUpgrade"])
               for option in re.findall(r"\*(-[^*\s]*|/\?)\*", line)}
    for option in sorted(updater):
        status, _ = run([args.updater, option])
        results.append((status == 0, f"TessaranFwUpgrade {option}: named in its manual, refused ({status})"))

    known = set().union(*listed.values()) | ALWAYS | updater
    for name, page in pages.items():
        for option in sorted(set(BOLD_OPTION.findall(page)) - known):
            results.append((False, f"{name}(1) names {option}, which no --help lists"))

    failed = [what for ok, what in results if not ok]
    for what in failed:
        print("FAIL:", what)
    print(f"{len(results) - len(failed)} passed, {len(failed)} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
