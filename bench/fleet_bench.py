#!/usr/bin/env python3
"""update-all benchmarks: several units at once against unitsim held to the line rate.

    fleet_bench.py --updater PATH --tool PATH --unitsim PATH [--units 1,2,4,8] [detection]

units      for each count N: N TX units at 115200 on COM1..N, updated by one
           `update-all --ports 1-N`; wall time and its ratio to one unit, CPU
           time and peak memory of the parent (update-all) and of each child
           (`update`, measured by a wrapper given as FWUPGRADE_FLEET_CHILD).
detection  units on COM8, COM16, COM24 and COM32 among 32 ports: the time
           update-all takes to find them all against the time the updater's
           sequential scan takes to reach the first (COM8) and the last (COM32).
Figures, not pass/fail.
"""
import argparse
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import update_bench  # noqa: E402  (unitsim start and stop)

# The child wrapper: runs the real `update`, then appends its own usage.
WRAPPER = r'''#!/usr/bin/env python3
import os, subprocess, sys, time
tool, usage = os.environ["FLEET_BENCH_TOOL"], os.environ["FLEET_BENCH_USAGE"]
channel = int(sys.argv[sys.argv.index("--progress-fd") + 1])
started = time.monotonic()
proc = subprocess.Popen([tool] + sys.argv[1:], pass_fds=(channel,))
os.close(channel)
_, status, ru = os.wait4(proc.pid, 0)
with open(usage, "a") as f:
    f.write("%s %.3f %.3f %d\n" % (sys.argv[sys.argv.index("--port") + 1],
            time.monotonic() - started, ru.ru_utime + ru.ru_stime, ru.ru_maxrss))
sys.exit(os.waitstatus_to_exitcode(status))
'''


def start_sim(args, workdir, *options):
    """unitsim paced at line rate, with room for the longest benchmark run."""
    return update_bench.start_unit(args, workdir, *options, max_seconds=1200)


stop_sim = update_bench.stop_unit


def peak_kib(pid, peak):
    """Follows /proc/PID/status VmHWM (the peak resident size) while the process runs."""
    while True:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        peak[0] = max(peak[0], int(line.split()[1]))
        except OSError:
            return
        time.sleep(0.2)


def bench_units(args, count):
    workdir = tempfile.mkdtemp(prefix="bench-fleet-%d-" % count)
    try:
        units = []
        for port in range(1, count + 1):
            units += ["--unit", "%d:tx:115200" % port]
        sim, com, _ = start_sim(args, workdir, "--ports", "1-%d" % count, *units)
        wrapper = os.path.join(workdir, "child.py")
        with open(wrapper, "w") as f:
            f.write(WRAPPER)
        os.chmod(wrapper, 0o755)
        usage = os.path.join(workdir, "usage.txt")
        env = dict(os.environ, FWUPGRADE_COM_DIR=com, FWUPGRADE_FLEET_CHILD=wrapper,
                   FLEET_BENCH_TOOL=args.tool, FLEET_BENCH_USAGE=usage)
        try:
            started = time.monotonic()
            proc = subprocess.Popen([args.tool, "update-all", "--ports", "1-%d" % count,
                                     "--log-dir", "logs"], cwd=workdir, env=env,
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            peak = [0]
            follower = threading.Thread(target=peak_kib, args=(proc.pid, peak), daemon=True)
            follower.start()
            _, status, ru = os.wait4(proc.pid, 0)
            wall = time.monotonic() - started
        finally:
            stop_sim(sim)
        children = []
        if os.path.exists(usage):
            with open(usage) as f:
                children = [line.split() for line in f]
        # wait4 counts the waited-for descendants' CPU in: take the children's out.
        total_cpu = ru.ru_utime + ru.ru_stime
        children_cpu = sum(float(c[2]) for c in children)
        return {"count": count, "wall": wall, "status": os.waitstatus_to_exitcode(status),
                "parent_cpu": total_cpu - children_cpu, "parent_peak": peak[0],
                "children": children}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def report_units(results):
    one = next((r["wall"] for r in results if r["count"] == 1), None)
    print("== update-all, N TX units at 115200 on COM1..N, line-rate pacing (unitsim --pace)")
    print("   N  exit  wall (s)  ratio to 1  parent CPU (s)  parent peak (KiB)  children: wall s / CPU s / peak KiB")
    for r in results:
        ratio = "%10.4f" % (r["wall"] / one) if one else "         -"
        kids = ", ".join("COM%s %.1f/%.2f/%d" % (c[0], float(c[1]), float(c[2]), int(c[3]))
                         for c in sorted(r["children"], key=lambda c: int(c[0])))
        print("  %2d  %4d  %8.1f  %s  %14.3f  %17d  %s"
              % (r["count"], r["status"], r["wall"], ratio, r["parent_cpu"], r["parent_peak"], kids))
    sys.stdout.flush()


def first_command_at(log, port, command):
    with open(log, encoding="latin-1") as f:
        for line in f:
            parts = line.rstrip("\n").split(" ", 4)
            if len(parts) == 5 and parts[1] == "COM%d" % port and parts[3] == "cmd" and command in parts[4]:
                return float(parts[0])
    return None


def bench_detection(args):
    workdir = tempfile.mkdtemp(prefix="bench-fleet-detection-")
    try:
        units = ["--unit", "8:tx:115200", "--unit", "16:tx:9600", "--unit", "24:rx:57600",
                 "--unit", "32:tx:1200"]
        # update-all: the probe phase ends when it prints what it found.
        sim, com, _ = start_sim(args, workdir, "--ports", "1-32", *units)
        env = dict(os.environ, FWUPGRADE_COM_DIR=com)
        try:
            started = time.monotonic()
            proc = subprocess.Popen([args.tool, "update-all", "--ports", "1-32", "--log-dir", "logs"],
                                    cwd=workdir, env=env, stdout=subprocess.PIPE,
                                    stderr=subprocess.DEVNULL)
            line = b""
            while not line.startswith(b"Found") and not line.startswith(b"No unit"):
                line = proc.stdout.readline()
                if not line:
                    break
            fleet_seconds = time.monotonic() - started
            found = line.decode().strip()
            proc.send_signal(signal.SIGINT)  # nobody streams yet: it stops at once
            proc.wait(timeout=60)
        finally:
            stop_sim(sim)
        # The updater: its sequential scan, until it asks the unit on COM8 for its
        # version (the first unit it meets, where it stops).
        shutil.rmtree(com, ignore_errors=True)
        sim, com, log = start_sim(args, workdir, "--ports", "1-32", "--unit-port", "32",
                                  "--baud", "1200")
        env = dict(os.environ, FWUPGRADE_COM_DIR=com)
        try:
            started_wall = time.time()
            proc = subprocess.Popen([args.updater], stdin=subprocess.DEVNULL,
                                    stdout=subprocess.DEVNULL, env=env, cwd=workdir)
            deadline = time.time() + 900
            at = None
            while at is None and time.time() < deadline and proc.poll() is None:
                time.sleep(1)
                at = first_command_at(log, 32, "fw -v")
            proc.kill()
            proc.wait()
        finally:
            stop_sim(sim)
        print("== detection across 32 ports (units on COM8 at 115200, COM16 at 9600, COM24 at 57600,"
              " COM32 at 1200)")
        print("   update-all, all four found concurrently:   %7.1f s  (%s)" % (fleet_seconds, found))
        print("   updater, sequential scan to a unit on COM32 at 1200: %s"
              % ("%.1f s" % (at - started_wall) if at else "not reached"))
        sys.stdout.flush()
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--units", default="1,2,4,8")
    parser.add_argument("what", nargs="*", default=["units", "detection"])
    args = parser.parse_args()
    for name in ("updater", "tool", "unitsim"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    if "units" in args.what:
        results = []
        for count in (int(n) for n in args.units.split(",")):
            results.append(bench_units(args, count))
            report_units(results)
    if "detection" in args.what:
        bench_detection(args)
    return 0


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    sys.exit(main())
