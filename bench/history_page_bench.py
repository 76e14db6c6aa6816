#!/usr/bin/env python3
"""history --html over a big history: the page's time, peak RSS and size,
and how long headless chromium takes to load it.

    history_page_bench.py --tool PATH [--records N] [--file PATH]

Writes N records (default 100,000) as history_bench.py does, unless --file
already holds them, then times (/usr/bin/time -v) the whole table and
`history --html` over all of them and over one day, and loads each page in
chromium (--dump-dom) when it is installed. Figures, not pass/fail.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import history_bench  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--records", type=int, default=100000)
    parser.add_argument("--file", default="/tmp/history-page-bench.jsonl")
    args = parser.parse_args()
    if not os.path.exists(args.file):
        history_bench.write_history(args.file, args.records)
    print(f"{args.file}: {os.path.getsize(args.file) / 1e6:.0f} MB")
    work = tempfile.mkdtemp(prefix="history-page-bench-")
    page = os.path.join(work, "page.html")
    print("| case | wall s | peak RSS MB | page KB | chromium s | exit |")
    print("|---|---|---|---|---|---|")
    cases = [("whole table", [], False), ("--html, every record", ["--html", page], True),
             ("--html, one day", ["--html", page, "--since", history_bench.DAY, "--until", history_bench.DAY], True)]
    for name, extra, html in cases:
        seconds, rss, status = history_bench.timed(args.tool, args.file, extra)
        size = loaded = "-"
        if html:
            size = f"{os.path.getsize(page) / 1024:.0f}"
            started = time.time()
            try:
                subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                "--user-data-dir=" + os.path.join(work, "chromium"), "--dump-dom",
                                "file://" + page], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               timeout=120, check=True)
                loaded = f"{time.time() - started:.1f}"
            except (OSError, subprocess.SubprocessError):
                loaded = "no chromium"
        print(f"| {name} | {seconds:.2f} | {rss:.1f} | {size} | {loaded} | {status} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
