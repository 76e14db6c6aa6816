#!/usr/bin/env python3
"""One watch, many units: whether update-all --watch costs the same after
100,000 units as after the first thousand.

    watch_flat_bench.py --tool PATH [--units 100000] [--ports 32] [--every 10000]
                        [--report json|csv|none] [--max-minutes M]

Stand-in programs take the place of the probes (FWUPGRADE_FLEET_PROBE) and of
the updates (FWUPGRADE_FLEET_CHILD), a few lines of shell each: a port's probe
answers with a unit whose firmware names the probe's process, so every check of
a handled port finds another unit there, handled at once (a swap the watch
can see); its update tells the unit current (one in a thousand fails). So each
port takes a unit about every check pause, and only the watch's own work is
measured. The report, the station history and the logs are written as at a
station, in a work folder.

After the first 1,000 units and then every --every units the bench makes the
ports idle (the probes find nothing), and samples: the watch's resident size,
its CPU per second while idle (over 10 s) and while busy (since the last
sample), its open descriptors and children, the report's size, the log
folder's size and files. Not part of CI.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PROBE = r"""#!/bin/sh
while [ $# -gt 0 ]; do
  case $1 in --probe-port) port=$2; shift ;; --progress-fd) fd=$2; shift ;; esac
  shift
done
read mode < "$BENCH_MODE"
[ "$mode" = busy ] || exit 3
printf 'fact port %s\nfact baud 115200\nfact device /dev/bench%s\nfact type TX\nfact firmware 1.0.%s\n' \
  "$port" "$port" $$ >> /dev/fd/$fd
"""

UPDATE = r"""#!/bin/sh
eval "fd=\${$#}"
echo "update of COM$3"
if [ $(($$ % 1000)) = 7 ]; then
  printf 'step checking\nfact type TX\nstep failed\n' >> /dev/fd/$fd; exit 1
fi
printf 'step checking\nfact type TX\nfact up_to_date true\nstep done\n' >> /dev/fd/$fd
"""


def cpu_seconds(pid):
    """PID's time on a CPU so far, to the nanosecond (the clock ticks of
    /proc/PID/stat are too coarse for an idle watch)."""
    with open("/proc/%d/schedstat" % pid) as f:
        return int(f.read().split()[0]) / 1e9


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


def folder_size(path):
    total = files = 0
    for root, _, names in os.walk(path):
        for name in names:
            try:
                total += os.lstat(os.path.join(root, name)).st_size
                files += 1
            except OSError:
                pass
    return total, files


class Counter:
    """The units recorded so far: the history's lines, read as they come."""

    def __init__(self, path):
        self.path, self.offset, self.count = path, 0, 0

    def read(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except OSError:
            return self.count
        end = data.rfind(b"\n") + 1
        self.offset += end
        self.count += data[:end].count(b"\n")
        return self.count


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--units", type=int, default=100000)
    parser.add_argument("--ports", type=int, default=32)
    parser.add_argument("--every", type=int, default=10000)
    parser.add_argument("--first", type=int, default=1000, help="the first sample, the baseline")
    parser.add_argument("--report", choices=["json", "csv", "none"], default="json")
    parser.add_argument("--idle-seconds", type=float, default=10)
    parser.add_argument("--max-minutes", type=float, default=0, help="stop there (0: no bound)")
    parser.add_argument("--keep", action="store_true", help="keep the work folder")
    args = parser.parse_args()
    args.tool = os.path.abspath(args.tool)
    workdir = tempfile.mkdtemp(prefix="watch-flat-")
    mode = os.path.join(workdir, "mode")
    for name, text in (("probe", PROBE), ("update", UPDATE)):
        with open(os.path.join(workdir, name), "w") as f:
            f.write(text)
        os.chmod(os.path.join(workdir, name), 0o755)
    os.makedirs(os.path.join(workdir, "com"))

    def set_mode(value):
        with open(mode + ".new", "w") as f:
            f.write(value + "\n")
        os.replace(mode + ".new", mode)

    set_mode("idle")
    history = os.path.join(workdir, "history.jsonl")
    report = os.path.join(workdir, "report." + args.report)
    command = [args.tool, "update-all", "--watch", "--interval", "0.5", "--ports", "1-%d" % args.ports,
               "--log-dir", "logs", "--history", history]
    if args.report != "none":
        command += ["--report", report]
    env = dict(os.environ, FWUPGRADE_COM_DIR=os.path.join(workdir, "com"), BENCH_MODE=mode,
               FWUPGRADE_FLEET_PROBE=os.path.join(workdir, "probe"),
               FWUPGRADE_FLEET_CHILD=os.path.join(workdir, "update"))
    out = open(os.path.join(workdir, "watch.txt"), "wb")
    watch = subprocess.Popen(command, cwd=workdir, env=env, stdout=out, stderr=subprocess.STDOUT,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    print("%s\nwork folder %s\n" % (" ".join(command), workdir), flush=True)
    print("%8s %9s %10s %10s %5s %8s %11s %12s %9s" % (
        "units", "RSS KiB", "idle CPU/s", "busy CPU/s", "fds", "children", "report KB",
        "logs KB", "log files"), flush=True)
    try:
        measure(args, watch, workdir, report, history, set_mode, out)
    finally:
        if watch.poll() is None:
            watch.kill()
    if not args.keep:
        shutil.rmtree(workdir, ignore_errors=True)


def measure(args, watch, workdir, report, history, set_mode, out):
    counter = Counter(history)
    started = time.monotonic()
    target = args.first
    rows = []
    while True:
        set_mode("busy")
        busy_from, busy_cpu = time.monotonic(), cpu_seconds(watch.pid)
        timed_out = False
        while counter.read() < target:
            if watch.poll() is not None:
                sys.exit("the watch ended: status %d" % watch.returncode)
            if args.max_minutes and time.monotonic() - started > args.max_minutes * 60:
                timed_out = True
                break
            time.sleep(0.2)
        busy = (cpu_seconds(watch.pid) - busy_cpu) / (time.monotonic() - busy_from)
        set_mode("idle")
        time.sleep(2)  # the units in hand end, their ports then found empty
        idle_from, idle_cpu = time.monotonic(), cpu_seconds(watch.pid)
        time.sleep(args.idle_seconds)
        idle = (cpu_seconds(watch.pid) - idle_cpu) / (time.monotonic() - idle_from)
        fds, children, rss = sample(watch.pid)
        logs, files = folder_size(os.path.join(workdir, "logs"))
        size = os.path.getsize(report) if os.path.exists(report) else 0
        row = (counter.read(), rss, idle, busy, fds, children, size // 1000, logs // 1000, files)
        rows.append(row)
        print("%8d %9d %10.4f %10.4f %5d %8d %11d %12d %9d" % row, flush=True)
        if timed_out or target >= args.units:
            break
        target = args.every if target < args.every else target + args.every
        target = min(target, args.units)
    watch.send_signal(signal.SIGINT)
    status = watch.wait(timeout=120)
    out.close()
    minutes = (time.monotonic() - started) / 60
    print("\n%d units in %.1f min; exit status %d%s" % (
        counter.read(), minutes, status, " (stopped at --max-minutes)" if timed_out else ""))
    base = rows[0]
    print("against the first sample: RSS %+d KiB, idle CPU/s x%.2f" % (
        rows[-1][1] - base[1], rows[-1][2] / base[2] if base[2] > 0 else float("nan")))
    with open(os.path.join(workdir, "watch.txt"), "rb") as f:
        f.seek(max(0, os.path.getsize(os.path.join(workdir, "watch.txt")) - 1500))
        print("the watch's last lines:\n" + f.read().decode(errors="replace").split("\n", 1)[-1])


if __name__ == "__main__":
    main()
