#!/usr/bin/env python3
"""history over a year of a busy station: 1,000,000 records (about 660 MB).

    history_bench.py --tool PATH [--before PATH] [--records N] [--file PATH] [--without-run-keys]

Writes N records (default 1,000,000) in the writers' form, 3,000 a day from
2026-01-01, neighbours out of order by up to a minute as concurrent writers
leave them, each day's by one watch started at midnight (run_started,
run_seconds; --without-run-keys: lines as written before those keys),
unless --file already holds them (it is then reused). Times,
with /usr/bin/time -v, `history` for one day (--since D --until D), for one
label, the whole table, --json and --csv, all output to /dev/null: wall time,
CPU time (user and system: the figure that holds on a busy machine) and
peak RSS, for --tool and, when given, for an older build (--before).
Figures, not pass/fail.
"""
import argparse
import datetime
import json
import os
import random
import re
import subprocess
import sys

DAY = "2026-07-01"
LABEL = "SN0500000"


def stamp(seconds):
    when = datetime.datetime(2026, 1, 1, tzinfo=datetime.timezone.utc) + datetime.timedelta(seconds=seconds)
    return when.strftime("%Y-%m-%dT%H:%M:%SZ")


def write_history(path, count, run_keys):
    rng = random.Random(1)
    step = 86400 / 3000
    with open(path, "w", encoding="utf-8") as f:
        for i in range(count):
            end = int(i * step) + rng.randint(0, 60)  # writers a little out of order
            port = 1 + i % 8
            record = {
                "address": f"COM{port}", "device": f"/dev/ttyUSB{port - 1}", "type": "TX",
                "result": "updated" if i % 50 else "failed", "failed_step": "" if i % 50 else "verify",
                "firmware_before": "1.0.3", "firmware_after": "1.0.4" if i % 50 else "",
                "fpga_before": "2.1.0", "fpga_after": "2.1.1" if i % 50 else "",
                "message": "" if i % 50 else "the unit did not answer after the image was written",
                "log": f"/var/log/station/2026/update-COM{port}-{i}.log", "label": f"SN{i:07d}",
                "started": stamp(end - 95), "finished": stamp(end), "location": f"1-1.{port}",
                "serial_number": f"FT{i % 977:05d}", "vid": "0403", "pid": "6001", "port": port,
                "baud": 115200, "seconds": 95.0, "hook_status": 0, "start_hook_status": None,
                "tool_version": "1.0.4", "release": "1.0.4", "station": "line3-station2",
                "operator": "operator", "slot": f"usb:1-1.{port}", "mcu_image": "mcu-1.0.4.bin",
                "mcu_checksum": 3735928559, "fpga_image": "tx-logic-2.1.1.bin", "fpga_checksum": 305419896,
            }
            if run_keys:
                run = (end - 95) // 86400 * 86400
                record.update(run_started=stamp(run), run_seconds=round(end - 95 - run + i % 10 / 10, 1))
            f.write(json.dumps(record, separators=(",", ":"), ensure_ascii=False) + "\n")


def timed(tool, path, args):
    with open(os.devnull, "wb") as null:
        run = subprocess.run(["/usr/bin/time", "-v", tool, "history", "--history", path, *args],
                             stdout=null, stderr=subprocess.PIPE, text=True)
    wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", run.stderr)
    seconds = int(wall.group(1) or 0) * 3600 + int(wall.group(2)) * 60 + float(wall.group(3))
    rss = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr).group(1))
    cpu = sum(float(re.search(rf"{kind} time \(seconds\): ([\d.]+)", run.stderr).group(1)) for kind in ("User", "System"))
    return seconds, cpu, rss / 1024, run.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--before")
    parser.add_argument("--records", type=int, default=1000000)
    parser.add_argument("--file", default="/tmp/history-bench.jsonl")
    parser.add_argument("--without-run-keys", action="store_true")
    args = parser.parse_args()
    if not os.path.exists(args.file):
        print(f"writing {args.records} records to {args.file} ...", flush=True)
        write_history(args.file, args.records, not args.without_run_keys)
    size = os.path.getsize(args.file)
    print(f"{args.file}: {size / 1e6:.0f} MB")
    cases = [("--since one day", ["--since", DAY, "--until", DAY]), ("one label", ["--label", LABEL]),
             ("whole table", []), ("--json", ["--json"]), ("--csv", ["--csv"])]
    tools = [("before", args.before)] if args.before else []
    tools.append(("after", args.tool))
    print("| case | build | wall s | MB/s | CPU s | MB/s of CPU | peak RSS MB | exit |")
    print("|---|---|---|---|---|---|---|---|")
    for name, extra in cases:
        for build, tool in tools:
            seconds, cpu, rss, status = timed(tool, args.file, extra)
            print(f"| {name} | {build} | {seconds:.2f} | {size / 1e6 / seconds:.0f} | {cpu:.2f} | "
                  f"{size / 1e6 / max(cpu, 0.01):.0f} | {rss:.1f} | {status} |", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
