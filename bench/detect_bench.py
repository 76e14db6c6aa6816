#!/usr/bin/env python3
"""Detection by probe and update without --port: a unit on COM32 behind 31
silent ports, against unitsim held to the line rate.

    detect_bench.py --tool PATH --unitsim PATH [--before PATH] [--rates 115200,1200]
                    [--commands probe,update]

For each console rate of the unit (115200: found at the first rate asked;
1200: every rate asked first) and each command:
  probe   found: from the start until the unit hears "%fw -v" (the first query
          after detection); whole: the command to its end (the two read-only
          queries at the unit's rate included).
  update  found: from the start until "OK" ends the detection line; then it is
          interrupted (nothing has been sent to the unit beyond detection).
--before runs the same scenarios with another build of the tool (one that
scans the ports one after another), for the figure before the change.
Figures against the goal (found within 15 s), not pass/fail.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import update_bench  # noqa: E402  (unitsim start and stop)

GOAL_SECONDS = 15.0
LIMIT_SECONDS = 600  # the sequential scan takes about 200 s; more is a fault


def first_command_at(log, port, command):
    """The wall time the unit on COMport first heard COMMAND, or None."""
    try:
        with open(log, encoding="latin-1") as f:
            for line in f:
                parts = line.rstrip("\n").split(" ", 4)
                if (len(parts) == 5 and parts[1] == "COM%d" % port and parts[3] == "cmd"
                        and parts[4] == command):
                    return float(parts[0])
    except OSError:
        pass
    return None


def time_probe(tool, com, log, workdir):
    env = dict(os.environ, FWUPGRADE_COM_DIR=com)
    started = time.time()
    done = subprocess.run([tool, "probe", "--json"], stdin=subprocess.DEVNULL,
                          capture_output=True, env=env, cwd=workdir, timeout=LIMIT_SECONDS)
    whole = time.time() - started
    heard = first_command_at(log, 32, "%%%fw -v")
    found = heard - started if heard is not None and heard >= started else None
    return found, whole, done.returncode


def time_update(tool, com, workdir):
    env = dict(os.environ, FWUPGRADE_COM_DIR=com)
    started = time.time()
    proc = subprocess.Popen([tool, "update"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env, cwd=workdir)
    seen, found = b"", None
    while True:
        chunk = proc.stdout.read1(4096)
        if not chunk:
            break
        seen += chunk
        if b"OK\r\n" in seen:
            found = time.time() - started
            break
        if b"FAILED" in seen or time.time() - started > LIMIT_SECONDS:
            break
    proc.send_signal(signal.SIGINT)  # detection or the read-only checks: it stops at once
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
    return found, None, 0 if found is not None else 3


def bench(args, tool, rate, command):
    workdir = tempfile.mkdtemp(prefix="bench-detect-")
    try:
        sim, com, log = update_bench.start_unit(args, workdir, "--ports", "1-32", "--unit-port",
                                                "32", "--type", "tx", "--baud", str(rate),
                                                max_seconds=LIMIT_SECONDS + 60)
        try:
            if command == "probe":
                return time_probe(tool, com, log, workdir)
            return time_update(tool, com, workdir)
        finally:
            update_bench.stop_unit(sim)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def seconds(value):
    return "%7.1f s" % value if value is not None else "      -  "


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--before", help="another build of the tool, timed on the same scenarios")
    parser.add_argument("--rates", default="115200,1200")
    parser.add_argument("--commands", default="probe,update")
    args = parser.parse_args()
    args.unitsim = os.path.abspath(args.unitsim)
    tools = [("tool", os.path.abspath(args.tool))]
    if args.before:
        tools.append(("before", os.path.abspath(args.before)))
    print("== a TX unit on COM32 behind 31 silent ports, line-rate pacing (unitsim --pace);"
          " goal: found within %.0f s" % GOAL_SECONDS)
    print("   build   command  unit rate     found      whole  exit  goal")
    sys.stdout.flush()
    for name, tool in tools:
        for rate in (int(r) for r in args.rates.split(",")):
            for command in args.commands.split(","):
                found, whole, status = bench(args, tool, rate, command)
                verdict = "met" if found is not None and found <= GOAL_SECONDS else "MISSED"
                print("   %-7s %-8s %9d %s  %s  %4d  %s"
                      % (name, command, rate, seconds(found), seconds(whole), status, verdict))
                sys.stdout.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
