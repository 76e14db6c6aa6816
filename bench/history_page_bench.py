#!/usr/bin/env python3
"""history --html over a big history: the page's time, peak RSS and size,
and how long headless chromium takes to load it.

    history_page_bench.py --tool PATH [--records N] [--file PATH] [--day DATE]

Writes N records (default 100,000) as history_bench.py does (3,000 a day from
2026-01-01), unless --file already holds them, then times (/usr/bin/time -v)
the whole table and `history --html` over all of them and over one day (wall
and CPU time, peak RSS), and loads each page in chromium (--dump-dom; an empty
page first, for chromium's own start) when it is installed. Figures, not
pass/fail.
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import history_bench  # noqa: E402


def timed(tool, path, args):
    """Wall time, CPU time (user and system) and peak RSS of `history` with ARGS."""
    with open(os.devnull, "wb") as null:
        run = subprocess.run(["/usr/bin/time", "-v", tool, "history", "--history", path, *args],
                             stdout=null, stderr=subprocess.PIPE, text=True)
    status = run.returncode
    clock = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", run.stderr)
    wall = int(clock.group(1) or 0) * 3600 + int(clock.group(2)) * 60 + float(clock.group(3))
    cpu = sum(float(re.search(r"%s time \(seconds\): ([\d.]+)" % kind, run.stderr).group(1))
              for kind in ("User", "System"))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr).group(1))
    return wall, cpu, rss / 1024, status


def loaded(page, work):
    """Seconds chromium takes to load PAGE and give its DOM, or why not."""
    started = time.time()
    try:
        subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                        "--user-data-dir=" + os.path.join(work, "chromium"), "--dump-dom",
                        "file://" + page], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=120, check=True)
        return f"{time.time() - started:.1f}"
    except (OSError, subprocess.SubprocessError):
        return "no chromium"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--records", type=int, default=100000)
    parser.add_argument("--file", default="/tmp/history-page-bench.jsonl")
    parser.add_argument("--day", default="2026-01-15")
    args = parser.parse_args()
    if not os.path.exists(args.file):
        history_bench.write_history(args.file, args.records)
    print(f"{args.file}: {os.path.getsize(args.file) / 1e6:.0f} MB")
    work = tempfile.mkdtemp(prefix="history-page-bench-")
    page = os.path.join(work, "page.html")
    empty = os.path.join(work, "empty.html")
    with open(empty, "w") as f:
        f.write("<!DOCTYPE html><title>empty</title>")
    print(f"chromium, an empty page: {loaded(empty, work)} s")
    print("| case | wall s | CPU s | peak RSS MB | page KB | chromium s | exit |")
    print("|---|---|---|---|---|---|---|")
    cases = [("whole table", []), ("--html, every record", ["--html", page]),
             ("--html, one day", ["--html", page, "--since", args.day, "--until", args.day])]
    for name, extra in cases:
        wall, cpu, rss, status = timed(args.tool, args.file, extra)
        size = f"{os.path.getsize(page) / 1024:.0f}" if extra else "-"
        load = loaded(page, work) if extra else "-"
        print(f"| {name} | {wall:.2f} | {cpu:.2f} | {rss:.1f} | {size} | {load} | {status} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
