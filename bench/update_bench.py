#!/usr/bin/env python3
"""Update benchmarks: the real updater against unitsim held to the line rate.

    update_bench.py --updater PATH --tool PATH --unitsim PATH [tx] [rx] [detection]

tx, rx     a whole update (TX on COM1 at 115200, or RX on COM1 at 115200 and its
           second identification), wall time against the protocol's floor, and
           the updater's peak memory (max RSS, from wait4).
detection  a unit on COM5 at 57600 behind four silent ports: the time until the
           unit hears "%fw -v", against the floor of the scan.

The floor is what the updater must spend whatever its speed: its read
timeouts (a reply is collected by a read that lasts its whole timeout and one
more that stays silent), the 138 s reboot wait, the banner reads, and every
byte on the line at baud/10 bytes per second (8N1). Figures, not pass/fail.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

LINE_115200 = 11520.0  # bytes per second at 115200 8N1


def line_time(nbytes, baud):
    return nbytes * 10.0 / baud


def framed(command):
    return len(command) + 4  # "%%" in front, LF CR behind


def image(args, workdir, entry):
    path = os.path.join(workdir, "image%d.bin" % entry)
    subprocess.run([args.tool, "image", "--entry", str(entry), "-o", path], check=True,
                   stdout=subprocess.DEVNULL)
    with open(path, "rb") as f:
        return f.read()


def start_unit(args, workdir, *options, max_seconds=900):
    com = os.path.join(workdir, "com")
    os.makedirs(com, exist_ok=True)
    log = os.path.join(workdir, "wire.log")
    sim = subprocess.Popen([args.unitsim, "--com-dir", com, "--log", log, "--pace",
                            "--max-seconds", str(max_seconds)] + list(options),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    seen = b""
    while b"ready " not in seen:
        chunk = os.read(sim.stdout.fileno(), 4096)
        if not chunk:
            raise RuntimeError("unitsim did not start: %r" % seen)
        seen += chunk
    return sim, com, log


def stop_unit(sim):
    sim.send_signal(signal.SIGTERM)
    sim.wait(timeout=10)


def run_updater(updater, com, workdir):
    """Runs the updater; returns (wall seconds, exit status, max RSS in KiB, start time)."""
    env = dict(os.environ, FWUPGRADE_COM_DIR=com)
    started_wall = time.time()
    started = time.monotonic()
    proc = subprocess.Popen([updater], stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, env=env, cwd=workdir)
    # wait4 gives this one child's own resource use, max RSS included.
    _, status, usage = os.wait4(proc.pid, 0)
    elapsed = time.monotonic() - started
    proc.returncode = os.waitstatus_to_exitcode(status)  # already reaped
    return elapsed, proc.returncode, usage.ru_maxrss, started_wall


def wire(log):
    events = []
    with open(log, encoding="latin-1") as f:
        for line in f:
            parts = line.rstrip("\n").split(" ", 4)
            while len(parts) < 5:
                parts.append("")
            events.append((float(parts[0]), parts[1], int(parts[2]), parts[3], parts[4]))
    return events


def bench_update(args, kind):
    workdir = tempfile.mkdtemp(prefix="bench-update-%s-" % kind)
    try:
        rx = kind == "rx"
        fpga, mcu = image(args, workdir, 2 if rx else 1), image(args, workdir, 0)
        sim, com, log = start_unit(args, workdir, "--ports", "1", "--type", kind, "--baud", "115200")
        try:
            elapsed, status, rss, _ = run_updater(args.updater, com, workdir)
        finally:
            stop_unit(sim)
        announce_l = "%%fw -l %d %d" % ((-sum(fpga)) & 0xFFFFFFFF, len(fpga))
        announce_h = "%%fw -h %d %d" % ((-sum(mcu)) & 0xFFFFFFFF, len(mcu))
        commands = ["%help -c version", "%fw -v", "%fw -p"] + (["%fw -p"] if rx else []) \
            + [announce_l, announce_h]
        floor_terms = [
            ("detection probe: 2 reads of 500 ms", 1.0),
            ("version: 1 read of 1000 ms", 1.0),
            ("identification: 2 reads of 1000 ms" + (" twice (TX, then RX)" if rx else ""),
             4.0 if rx else 2.0),
            ("FPGA announce: 2 reads of 10000 ms", 20.0),
            ("FPGA image %d bytes at 11520 B/s" % len(fpga), len(fpga) / LINE_115200),
            ("FPGA SUCCESS: 2 reads of 1000 ms", 2.0),
            ("MCU announce: 2 reads of 5000 ms", 10.0),
            ("MCU image %d bytes at 11520 B/s" % len(mcu), len(mcu) / LINE_115200),
            ("MCU SUCCESS: 2 reads of 1000 ms", 2.0),
            ("reboot wait 46 x 3 s", 138.0),
            ("banner reads 1000 ms + 11000 ms", 12.0),
            ("command bytes on the line", sum(line_time(framed(c), 115200) for c in commands)),
        ]
        floor = sum(t for _, t in floor_terms)
        leads = [float(d.split("line-lead ")[1]) for _, _, _, e, d in wire(log)
                 if e == "stream-end" and "line-lead " in d]
        print("== whole update, %s unit on COM1 at 115200, line-rate pacing" % kind.upper())
        for name, seconds in floor_terms:
            print("   floor  %-48s %9.3f s" % (name, seconds))
        print("   floor total                                             %9.3f s" % floor)
        print("   measured wall time (exit status %d)                      %9.3f s" % (status, elapsed))
        print("   measured / floor                                        %9.4f  (%+.2f%%)"
              % (elapsed / floor, (elapsed / floor - 1) * 100))
        if leads:
            print("   pty lead of the last write per stream (s): %s; wall + lead = %.3f s (%+.2f%%)"
                  % (", ".join("%.3f" % x for x in leads), elapsed + sum(leads),
                     ((elapsed + sum(leads)) / floor - 1) * 100))
        print("   updater peak memory (max RSS)                           %9d KiB" % rss)
        sys.stdout.flush()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def bench_detection(args):
    workdir = tempfile.mkdtemp(prefix="bench-detection-")
    try:
        # The wrong device code ends the run right after the version query.
        sim, com, log = start_unit(args, workdir, "--ports", "1-5", "--unit-port", "5",
                                   "--baud", "57600", "--fault", "device=2")
        try:
            elapsed, status, rss, started = run_updater(args.updater, com, workdir)
        finally:
            stop_unit(sim)
        events = wire(log)
        version_at = [t for t, port, _, e, d in events if e == "cmd" and d == "%%%fw -v"]
        found_after = version_at[0] - started if version_at else float("nan")
        probe = framed("%help -c version")
        rates = [115200, 9600, 57600, 4800, 2400, 1200]
        silent = 4 * 6 * 2 * 0.5
        garbage = 4 * 1.0      # COM5 at 115200 and 9600: garbage comes back, 2 reads each
        answer = 1.0           # COM5 at 57600: the help text, then a silent read
        writes = 4 * sum(2 * line_time(probe, r) for r in rates) \
            + 2 * line_time(probe, 115200) + 2 * line_time(probe, 9600) + line_time(probe, 57600)
        reply = line_time(74, 57600)
        floor = silent + garbage + answer
        print("== detection, unit on COM5 at 57600 behind four silent ports, line-rate pacing")
        print("   floor  silent ports: 4 x 6 rates x 2 attempts x 500 ms      %7.3f s" % silent)
        print("   floor  COM5 at 115200 and 9600: 4 attempts x 2 reads of 500 ms %4.3f s" % garbage)
        print("   floor  COM5 at 57600: 2 reads of 500 ms                     %7.3f s" % answer)
        print("   floor total (read timeouts)                                %7.3f s" % floor)
        print("   probe write times at the line rate (a UART pays them, a pty does not) %.3f s" % writes)
        print("   help reply at 57600 (inside the first read)                %7.3f s" % reply)
        print("   measured: updater start to \"%%fw -v\" at the unit           %7.3f s  (%+.2f%% of the floor)"
              % (found_after, (found_after / floor - 1) * 100))
        print("   whole run incl. version query (exit status %d)             %7.3f s" % (status, elapsed))
        print("   updater peak memory (max RSS)                              %7d KiB" % rss)
        sys.stdout.flush()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("which", nargs="*", default=["detection", "tx", "rx"],
                        choices=["detection", "tx", "rx"])
    args = parser.parse_args()
    for name in ("updater", "tool", "unitsim"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    for which in args.which:
        if which == "detection":
            bench_detection(args)
        else:
            bench_update(args, which)
    return 0


if __name__ == "__main__":
    sys.exit(main())
