#!/usr/bin/env python3
"""The yield of update-all over a faulty line, with and without --retries.

    retry_yield.py --tool PATH --unitsim PATH [--units 100] [--per 10000000]
                   [--retries 0,2] [--seed 1] [--jobs 0] [--work DIR]

For each value of --retries: --units simulated TX units at 115200 on COM1..N
(unpaced), each line losing, changing or shifting a byte or stalling for 5 s
at random, one fault of the four kinds together per --per line bytes (unitsim
--seed, the same faults for every value), all updated by one `update-all
--retries R`. Prints, per value, the units updated, failed and their yield,
how many attempts the units took, the line faults the simulator's wire log
shows and the run's wall time; then a retried unit's record as the report
and the station history write it. Figures, not pass/fail.
"""
import argparse
import collections
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

KINDS = ("drop", "change", "shift", "stall")


def run_once(args, retries, work):
    if os.path.exists(work):
        shutil.rmtree(work)
    com = os.path.join(work, "com")
    os.makedirs(com)
    log = os.path.join(work, "wire.log")
    per_kind = args.per * len(KINDS)
    faults = ":".join("%s=1/%d" % (kind, per_kind) for kind in KINDS)
    units = []
    for port in range(1, args.units + 1):
        units += ["--unit", "%d:tx:115200:%s" % (port, faults)]
    sim = subprocess.Popen([args.unitsim, "--com-dir", com, "--log", log, "--seed", str(args.seed),
                            "--max-seconds", "3000", "--ports", "1-%d" % args.units] + units,
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    seen = b""
    while b"ready " not in seen:
        chunk = os.read(sim.stdout.fileno(), 4096)
        if not chunk:
            raise RuntimeError("unitsim did not start: %r" % seen)
        seen += chunk
    report = os.path.join(work, "report.json")
    history = os.path.join(work, "history.jsonl")
    started = time.monotonic()
    command = [args.tool, "update-all", "--ports", "1-%d" % args.units, "--retries", str(retries),
               "--report", report, "--history", history, "--log-dir", os.path.join(work, "logs")]
    if args.jobs:
        command += ["--jobs", str(args.jobs)]
    subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   env=dict(os.environ, FWUPGRADE_COM_DIR=com))
    wall = time.monotonic() - started
    sim.terminate()
    sim.wait(timeout=30)
    with open(report) as f:
        records = json.load(f)["units"]
    with open(history) as f:
        lines = [line.rstrip("\n") for line in f]
    line_faults = collections.Counter()
    with open(log) as f:
        for line in f:
            fields = line.split(" ", 4)
            if len(fields) > 3 and fields[3].startswith("line-") and fields[3] != "line-resume":
                line_faults[fields[3][5:]] += 1
    return records, lines, line_faults, wall


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--units", type=int, default=100)
    parser.add_argument("--per", type=int, default=10000000)
    parser.add_argument("--retries", default="0,2")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--jobs", type=int, default=0)
    parser.add_argument("--work", default=None)
    args = parser.parse_args()
    work = args.work or tempfile.mkdtemp(prefix="retry-yield-")
    print("%d TX units at 115200, unpaced; one line fault per %d bytes (%s alike), seed %d"
          % (args.units, args.per, ", ".join(KINDS), args.seed))
    print("%-8s %8s %7s %7s %-22s %-34s %8s" % ("retries", "updated", "failed", "yield",
                                                 "attempts: units", "line faults", "wall s"))
    example = None
    for retries in [int(r) for r in args.retries.split(",")]:
        records, lines, faults, wall = run_once(args, retries, os.path.join(work, "r%d" % retries))
        results = collections.Counter(r["result"] for r in records)
        attempts = collections.Counter(r["attempts"] for r in records)
        updated = results.get("updated", 0)
        print("%-8d %8d %7d %6.1f%% %-22s %-34s %8.1f" % (
            retries, updated, len(records) - updated, 100.0 * updated / max(args.units, 1),
            " ".join("%d:%d" % a for a in sorted(attempts.items())),
            " ".join("%s %d" % (k, faults[k]) for k in KINDS), wall))
        for r in records:
            if r["result"] != "updated":
                print("         COM%s %s in %s after %d attempts: %s"
                      % (r["port"], r["result"], r["failed_step"], r["attempts"], r["message"]))
        retried = [r for r in records if r["attempts"] > 1]
        if retried and example is None:
            r = retried[0]
            line = next((line for line in lines if json.loads(line)["address"] == r["address"]), "")
            example = (r, line)
    if example is not None:
        print("\nA retried unit in the report:")
        print(json.dumps(example[0], indent=2))
        print("\nIts line in the station history:")
        print(example[1])
    print("\nwork folder: %s" % work)
    return 0


if __name__ == "__main__":
    sys.exit(main())
