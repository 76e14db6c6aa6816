#!/usr/bin/env python3
"""update-all benchmarks: several units at once against unitsim held to the line rate.

    fleet_bench.py --updater PATH --tool PATH --unitsim PATH [--units 1,2,4,8]
                   [--network 1,128] [units] [detection]

units      for each count N of --units: N TX units at 115200 on COM1..N, local
           pseudo-terminals; for each of --network: the same units each behind
           ser2net (rfc2217://, one server for all). Each updated by one
           `update-all` whose output is a terminal (the live table drawn, as
           at a station). Figures: wall time and its ratio to one unit alone
           on the same kind of line in the same run, units per hour, CPU time
           and peak memory of the parent (update-all itself, its probes left
           out) and of each child (`update`, measured by GNU time given as
           FWUPGRADE_FLEET_CHILD: a few kilobytes and no interpreter per
           child), the live table's bytes, the station page's (--page: its
           largest size and how often it was rewritten), and the CPU time of
           unitsim and ser2net, which share the machine.
detection  units on COM8, COM16, COM24 and COM32 among 32 ports: the time
           update-all takes to find them all against the time the updater's
           sequential scan takes to reach the first (COM8) and the last (COM32).
Figures, not pass/fail.
"""
import argparse
import fcntl
import json
import os
import pty
import resource
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import netfixture  # noqa: E402  (ser2net)
import update_bench  # noqa: E402  (unitsim start and stop)

# The child wrapper: GNU time runs the real `update` (the channel's descriptor
# is inherited through it) and appends its usage: wall s, user s, system s,
# peak KiB, then the port argument.
WRAPPER = """#!/bin/sh
exec /usr/bin/time -a -o "$FLEET_BENCH_USAGE" -f "%e %U %S %M $3" "$FLEET_BENCH_TOOL" "$@"
"""
CLOCK = os.sysconf("SC_CLK_TCK")


def start_sim(args, workdir, *options):
    """unitsim paced at line rate, with room for the longest benchmark run."""
    return update_bench.start_unit(args, workdir, *options, max_seconds=1200)


stop_sim = update_bench.stop_unit


def own_cpu(pid):
    """User plus system CPU seconds of the process itself (its children not included)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK


def follow(pid, seen):
    """Follows the process while it runs: its peak resident size (VmHWM, KiB)
    and its own CPU time, read every 0.2 s."""
    while True:
        try:
            with open("/proc/%d/status" % pid) as f:
                for line in f:
                    if line.startswith("VmHWM:"):
                        seen["peak"] = max(seen["peak"], int(line.split()[1]))
            seen["cpu"] = own_cpu(pid)
        except (OSError, IndexError, ValueError):
            return
        time.sleep(0.2)


def drain(fd, seen):
    """Reads the terminal update-all writes to, counting the bytes, and notes
    when it has said what it found (the search's end)."""
    tail = b""
    while True:
        try:
            chunk = os.read(fd, 65536)
        except OSError:
            return
        if not chunk:
            return
        seen["terminal"] += len(chunk)
        if "found" not in seen and b"Found " in tail[-8:] + chunk:
            seen["found"] = time.monotonic()
        tail = chunk


def follow_page(path, seen, done):
    """Counts the rewrites of the page at PATH (each a new file renamed over
    it) and notes its largest size, until DONE is set."""
    last = None
    while not done.is_set():
        try:
            st = os.stat(path)
        except OSError:
            st = None
        if st is not None and (st.st_ino, st.st_mtime_ns, st.st_size) != last:
            last = (st.st_ino, st.st_mtime_ns, st.st_size)
            seen["page_writes"] += 1
            seen["page_peak"] = max(seen["page_peak"], st.st_size)
        time.sleep(0.02)


def bench_units(args, count, network):
    workdir = tempfile.mkdtemp(prefix="bench-fleet-%d-" % count)
    server = None
    try:
        units = []
        for port in range(1, count + 1):
            units += ["--unit", "%d:tx:115200" % port]
        sim, com, _ = start_sim(args, workdir, "--ports", "1-%d" % count, *units)
        try:
            ports = "1-%d" % count
            if network:
                server = netfixture.Ser2net(workdir, [(netfixture.pty_of(com, p), "rfc2217",
                                                       "9600n81") for p in range(1, count + 1)])
                server.start()
                ports = ",".join(server.url(i) for i in range(count))
            wrapper = os.path.join(workdir, "child.sh")
            with open(wrapper, "w") as f:
                f.write(WRAPPER)
            os.chmod(wrapper, 0o755)
            usage = os.path.join(workdir, "usage.txt")
            # The station history is written, as at a station, but in the run's folder.
            env = dict(os.environ, FWUPGRADE_COM_DIR=com, FWUPGRADE_FLEET_CHILD=wrapper,
                       FLEET_BENCH_TOOL=args.tool, FLEET_BENCH_USAGE=usage, TERM="xterm",
                       XDG_STATE_HOME=workdir, LOCALAPPDATA=workdir)
            # A terminal of 50 rows of 132 columns, as a station's window.
            master, slave = pty.openpty()
            fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 50, 132, 0, 0))
            seen = {"peak": 0, "cpu": 0.0, "terminal": 0, "page_writes": 0, "page_peak": 0}
            drainer = threading.Thread(target=drain, args=(master, seen), daemon=True)
            drainer.start()
            page_done = threading.Event()
            threading.Thread(target=follow_page, args=(os.path.join(workdir, "page.html"), seen,
                                                       page_done), daemon=True).start()
            started = time.monotonic()
            proc = subprocess.Popen([args.tool, "update-all", "--ports", ports, "--log-dir", "logs",
                                     "--report", "report.json", "--page", "page.html"],
                                    cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                    stdout=slave, stderr=slave)
            os.close(slave)
            follower = threading.Thread(target=follow, args=(proc.pid, seen), daemon=True)
            follower.start()
            proc.wait()
            wall = time.monotonic() - started
            time.sleep(0.1)
            page_done.set()
            drainer.join(timeout=5)
            os.close(master)
            helpers = {"unitsim": own_cpu(sim.pid),
                       "ser2net": own_cpu(server.proc.pid) if server else None}
        finally:
            if server:
                server.stop()
            stop_sim(sim)
        # A unit not updated is named with its step and message, its log kept.
        failed = []
        if os.path.exists(os.path.join(workdir, "report.json")):
            with open(os.path.join(workdir, "report.json")) as f:
                failed = [r for r in json.load(f)["units"] if r["result"] != "updated"]
        for r in failed:
            fd, kept = tempfile.mkstemp(prefix="bench-fleet-log-")
            os.close(fd)
            if r["log"]:
                shutil.copy(os.path.join(workdir, r["log"]), kept)
            print("   %d units, %s: %s after %.0f s while %s: %s (log: %s)" % (
                count, r["address"], r["result"], r["seconds"], r["failed_step"], r["message"], kept))
        children = []
        if os.path.exists(usage):
            with open(usage) as f:
                children = [line.split() for line in f if len(line.split()) == 5]
        return {"count": count, "line": "ser2net" if network else "pty", "wall": wall,
                "search": seen.get("found", started) - started,
                "child_wall": [float(c[0]) for c in children],
                "status": proc.returncode, "parent_cpu": seen["cpu"], "parent_peak": seen["peak"],
                "terminal": seen["terminal"], "helpers": helpers,
                "page_writes": seen["page_writes"], "page_peak": seen["page_peak"],
                "child_cpu": [float(c[1]) + float(c[2]) for c in children],
                "child_peak": [int(c[3]) for c in children]}
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def spread(values, text):
    """median / max, or - when there is none."""
    if not values:
        return "-"
    return "%s / %s" % (text % statistics.median(values), text % max(values))


def report_units(results):
    print("== update-all, N TX units at 115200 (COM1..N on local pseudo-terminals, or each behind"
          " ser2net), line-rate pacing (unitsim --pace), output on a terminal")
    print("     N  line      exit  wall (s)   ratio  units/h  search s  child wall s med/max"
          "  parent CPU s  parent peak MiB  child CPU s med/max  child peak MiB med/max"
          "  children  table KiB  page KiB max  page writes (per s)  unitsim CPU s  ser2net CPU s")
    for r in results:
        one = next((o["wall"] for o in results if o["count"] == 1 and o["line"] == r["line"]), None)
        ratio = "%7.4f" % (r["wall"] / one) if one else "      -"
        ser2net = r["helpers"]["ser2net"]
        print("  %4d  %-8s  %4d  %8.1f  %s  %7.0f  %8.1f  %20s  %12.2f  %15.1f  %19s  %22s  %8d"
              "  %9.0f  %12.1f  %11d (%5.2f)  %13.2f  %13s"
              % (r["count"], r["line"], r["status"], r["wall"], ratio, r["count"] * 3600 / r["wall"],
                 r["search"], spread(r["child_wall"], "%.1f"), r["parent_cpu"], r["parent_peak"] / 1024.0, spread(r["child_cpu"], "%.2f"),
                 spread([p / 1024.0 for p in r["child_peak"]], "%.1f"), len(r["child_cpu"]),
                 r["terminal"] / 1024.0, r["page_peak"] / 1024.0, r["page_writes"],
                 r["page_writes"] / r["wall"], r["helpers"]["unitsim"],
                 "-" if ser2net is None else "%.2f" % ser2net))
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
    parser.add_argument("--units", default="1,2,4,8", help="counts on local pseudo-terminals")
    parser.add_argument("--network", default="", help="counts each behind ser2net")
    parser.add_argument("what", nargs="*", default=["units", "detection"])
    args = parser.parse_args()
    for name in ("updater", "tool", "unitsim"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    if "units" in args.what:
        if args.network and not os.access(netfixture.SER2NET, os.X_OK):
            parser.error("%s is not installed" % netfixture.SER2NET)
        runs = [(int(n), False) for n in args.units.split(",") if n] + \
            [(int(n), True) for n in args.network.split(",") if n]
        results = []
        for count, network in runs:
            results.append(bench_units(args, count, network))
            report_units(results)
    if "detection" in args.what:
        bench_detection(args)
    return 0


if __name__ == "__main__":
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
    sys.exit(main())
