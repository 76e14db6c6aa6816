#!/usr/bin/env python3
"""update-all --watch soak: units plugged, unplugged and swapped for hours' worth
of a station's work in minutes, against unitsim (unpaced) with mixed faults.

    watch_soak.py --tool PATH --unitsim PATH [--ports 8] [--cycles 200] [--seed N]

A seeded schedule gives each of the ports a run of units one after the other
(TX or RX, at 115200, 57600 or 9600): units already on the release (reported
current), units of an unknown product (failed while checking), units that
answer detection and then only garbage (failed while checking, and telling
the watch nothing of themselves) and, on the first --sound ports, one sound
unit each, updated through the reboot wait. Each unit stays long enough to be
found and handled, then leaves: unplugged with the port empty for 3 s, or
swapped on the spot (or within 0.8 s) for a unit that differs from what the
one leaving last told (another type, or older firmware than the release it
reports) -- the swaps the watch can see; see --watch in the tool's manual.

Checks, once the watch is stopped: every unit handled exactly once, its
record's type, result, step and versions right. Figures: the watch's open
descriptors, its children and its resident size, sampled every 5 s (the first
minute, the rest, and the last sample), and the time from a plug to its
update's start. Not part of CI.
"""
import argparse
import calendar
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import time

RELEASE = "1.0.4"
KINDS = {
    # kind: (seconds plugged, type told, result, failed step, firmware before, unitsim fields)
    "current": (20, True, "current", "", RELEASE, ["version=1.0.4 XC7A35 1.3 1"]),
    "device": (20, False, "failed", "checking", "1.0.3", ["device=3"]),  # an unknown product
    "garbage": (20, False, "failed", "checking", "", ["garbage"]),  # answers detection only
    "sound": (300, True, "updated", "", "1.0.3", []),  # both images at line rate, the reboot wait
}


def distinguishable(old, new):
    """Whether a unit swapped in for OLD differs from what OLD last told: a
    unit that answers only detection tells nothing."""
    if "garbage" in (old["kind"], new["kind"]):
        return False
    return old["type"] != new["type"] or (old["kind"] in ("current", "sound") and new["kind"] != "current")


def schedule(args):
    rng = random.Random(args.seed)
    per_port = -(-args.cycles // args.ports)
    plan = {}
    for port in range(1, args.ports + 1):
        sound_at = rng.randrange(per_port) if port <= args.sound else -1
        units, at = [], 1.0
        for i in range(per_port):
            kind = "sound" if i == sound_at else rng.choice(["current", "device", "garbage"])
            unit = {"port": port, "kind": kind, "type": rng.choice(["tx", "rx"]),
                    "baud": rng.choice([115200, 115200, 57600, 9600])}
            if units:
                old = units[-1]
                swap = distinguishable(old, unit) and rng.random() < 0.5
                gap = rng.choice([0.0, 0.8]) if swap else 3.0
                unit["after"] = "swap %.1f s" % gap if swap else "unplugged 3 s"
                if gap > 0:
                    old["unplug"] = at
                at += gap
            unit["at"] = at
            at += KINDS[kind][0]
            units.append(unit)
        units[-1]["unplug"] = at
        plan[port] = units
    return plan


def sim_options(plan):
    options = []
    for units in plan.values():
        for unit in units:
            fields = [str(unit["port"]), "%.1f" % unit["at"], unit["type"], str(unit["baud"])]
            options += ["--plug", ":".join(fields + KINDS[unit["kind"]][5])]
            if "unplug" in unit:
                options += ["--unplug", "%d:%.1f" % (unit["port"], unit["unplug"])]
    return options


def sample(pid):
    """Open descriptors, children and resident KiB of PID."""
    fds = len(os.listdir("/proc/%d/fd" % pid))
    children = 0
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    children += int(f.read().rsplit(")", 1)[1].split()[1]) == pid
            except OSError:
                pass
    with open("/proc/%d/status" % pid) as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return fds, children, rss


def iso_seconds(text):
    return calendar.timegm(time.strptime(text, "%Y-%m-%dT%H:%M:%SZ"))


def check(plan, records, started_wall):
    problems, delays = [], []
    by_port = {}
    for r in records:
        by_port.setdefault(r["port"], []).append(r)
    for port, units in plan.items():
        got = sorted(by_port.get(port, []), key=lambda r: r["started"])
        if len(got) != len(units):
            problems.append("COM%d: %d records for %d units" % (port, len(got), len(units)))
        for unit, r in zip(units, got):
            _, told, result, step, before, _ = KINDS[unit["kind"]]
            want = (unit["type"].upper() if told else "", result, step, before,
                    RELEASE if result == "updated" else "")
            have = (r["type"], r["result"], r["failed_step"], r["firmware_before"], r["firmware_after"])
            if have != want:
                problems.append("COM%d unit plugged at %.1f s (%s): %r, expected %r"
                                % (port, unit["at"], unit.get("after", "first"), have, want))
            delays.append(iso_seconds(r["started"]) - (started_wall + unit["at"]))
    return problems, delays


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--ports", type=int, default=8)
    parser.add_argument("--cycles", type=int, default=200)
    parser.add_argument("--seed", type=int, default=24)
    parser.add_argument("--sound", type=int, default=4, help="ports with one sound update each")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    args.tool, args.unitsim = os.path.abspath(args.tool), os.path.abspath(args.unitsim)
    plan = schedule(args)
    last = max(units[-1]["unplug"] for units in plan.values())
    workdir = tempfile.mkdtemp(prefix="watch-soak-")
    com = os.path.join(workdir, "com")
    os.makedirs(com)
    sim = subprocess.Popen([args.unitsim, "--com-dir", com, "--save-dir", os.path.join(workdir, "save"),
                            "--ports", "1-%d" % args.ports, "--reboot-seconds", "5",
                            "--log", os.path.join(workdir, "wire.log"),
                            "--max-seconds", str(int(last + 120))] + sim_options(plan),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    seen = b""
    while b"ready " not in seen:
        chunk = os.read(sim.stdout.fileno(), 4096)
        if not chunk:
            sys.exit("unitsim did not start: %r" % seen)
        seen += chunk
    started_wall = time.time()
    units = sum(len(u) for u in plan.values())
    print("%d units over %d ports, %d s of plugs (seed %d); work folder %s\n"
          % (units, args.ports, last, args.seed, workdir), flush=True)
    with open(os.path.join(workdir, "watch.txt"), "wb") as out:
        watch = subprocess.Popen([args.tool, "update-all", "--watch", "--interval", "2",
                                  "--ports", "1-%d" % args.ports,
                                  "--report", "soak.json", "--log-dir", "logs",
                                  "--history", "history.jsonl"],
                                 stdout=out, stderr=subprocess.STDOUT, cwd=workdir,
                                 env=dict(os.environ, FWUPGRADE_COM_DIR=com),
                                 # Started from a background job, the watch would inherit an
                                 # ignored SIGINT and keep it (as a background job should).
                                 preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    samples = []
    while time.time() < started_wall + last + 10:
        time.sleep(5)
        samples.append((time.time() - started_wall,) + sample(watch.pid))
    watch.send_signal(signal.SIGINT)
    status = watch.wait(timeout=60)
    sim.send_signal(signal.SIGTERM)
    sim.wait(timeout=10)
    with open(os.path.join(workdir, "soak.json")) as f:
        records = json.load(f)["units"]
    problems, delays = check(plan, records, started_wall)

    def figures(rows):
        return "fds %d-%d, children %d-%d, RSS %d-%d KiB" % (
            min(r[1] for r in rows), max(r[1] for r in rows), min(r[2] for r in rows),
            max(r[2] for r in rows), min(r[3] for r in rows), max(r[3] for r in rows))

    first = [s for s in samples if s[0] <= 60] or samples[:1]
    rest = [s for s in samples if s[0] > 60] or samples[-1:]
    swaps = sum(1 for u in plan.values() for x in u if x.get("after", "").startswith("swap"))
    print("plugs %d (swaps %d, after an unplug %d), records %d, exit status %d"
          % (units, swaps, units - args.ports - swaps, len(records), status))
    print("first minute: %s" % figures(first))
    print("after:        %s" % figures(rest))
    print("last sample:  at %.0f s fds %d, children %d, RSS %d KiB" % samples[-1])
    delays.sort()
    if delays:
        print("plug to update start: median %.0f s, max %.0f s"
              % (delays[len(delays) // 2], delays[-1]))
    for problem in problems:
        print("WRONG: " + problem)
    print("%d units wrong or missing" % len(problems) if problems else "every unit handled once, its record right")
    if not args.keep and not problems:
        shutil.rmtree(workdir, ignore_errors=True)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
