#!/usr/bin/env python3
"""Network benchmarks: TessaranFwTool updating units behind ser2net, against
the same over a local pseudo-terminal. unitsim holds every line to its rate
(--pace), so a local run pays the line time as a UART would.

    network_bench.py --tool PATH --unitsim PATH [single] [fleet]

single  one TX unit at 115200, `update`: over the local pty, over ser2net on
        the loopback (rfc2217://) and through the latency proxy (20 +/- 10 ms
        each way, segments of 1 to 64 bytes): the wall time of each and its
        ratio to the local run.
fleet   `update-all` of 8 TX units through ser2net against one local unit.

The 138 s reboot wait and the announces' read timeouts are the same in every
run, so each image's stream is also shown alone: from the tool's first write
of the image (its trace) to the unit's last byte of it (unitsim's wire log).
Figures, not pass/fail.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import netfixture  # noqa: E402
from update_bench import start_unit, stop_unit, wire  # noqa: E402

TRACE_TIME = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)\.(\d{3}) ")
WRITE_TIME = re.compile(r" write \d+ of \d+ bytes in ([\d.]+) ms")
TRACE_LINE = re.compile(r"(?:open COM(\d+) |connect (\S+) ok)")
ANNOUNCE = {"l": "|%%%fw -l ", "h": "|%%%fw -h "}


def trace_time(record):
    m = TRACE_TIME.match(record)
    return time.mktime(time.strptime(m.group(1), "%Y-%m-%d %H:%M:%S")) + int(m.group(2)) / 1000.0


def first_image_writes(trace):
    """The line the trace talks to (COM number or URL), and for each image
    kind the wall time the first write after its announce began (a record is
    written when its call returns: a paced write lasts its line time)."""
    line, starts, after = None, {}, None
    with open(trace, encoding="latin-1") as f:
        for record in f:
            m = TRACE_LINE.search(record)
            if m and line is None:
                line = int(m.group(1)) if m.group(1) else m.group(2)
            write = WRITE_TIME.search(record)
            if not write:
                continue
            if after and after not in starts:
                starts[after] = trace_time(record) - float(write.group(1)) / 1000.0
                after = None
            after = next((k for k, text in ANNOUNCE.items() if text in record), after)
    return line, starts


def stream_seconds(traces, log, port_of):
    """{port: {kind: seconds}} from the first image write to the unit's stream-end."""
    ends = {(int(p[3:]), d[0]): when for when, p, _, event, d in wire(log) if event == "stream-end"}
    result = {}
    for trace in traces:
        line, starts = first_image_writes(trace)
        port = port_of(line)
        result[port] = {k: ends[(port, k)] - t for k, t in starts.items() if (port, k) in ends}
    return result


def run_tool(args, workdir, com, *arguments):
    """Runs the tool; (wall seconds, exit status)."""
    started = time.monotonic()
    done = subprocess.run([args.tool] + list(arguments), stdin=subprocess.DEVNULL,
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=workdir,
                          env=dict(os.environ, FWUPGRADE_COM_DIR=com))
    return time.monotonic() - started, done.returncode


def single(args, how):
    """One TX update at 115200; how: local, ser2net or proxy."""
    workdir = tempfile.mkdtemp(prefix="bench-net-%s-" % how)
    server = proxy = None
    try:
        sim, com, log = start_unit(args, workdir, "--unit", "1:tx:115200")
        try:
            address = "1"
            if how != "local":
                server = netfixture.Ser2net(workdir, [(netfixture.pty_of(com, 1), "rfc2217",
                                                       "9600n81")]).start()
                address = server.url(0)
            if how == "proxy":
                proxy = netfixture.LatencyProxy(server.ports[0]).start()
                address = "rfc2217://127.0.0.1:%d" % proxy.port
            trace = os.path.join(workdir, "trace.txt")
            elapsed, status = run_tool(args, workdir, com, "update", "--port", address,
                                       "--trace", trace)
        finally:
            for fixture in (proxy, server):
                if fixture:
                    fixture.stop()
            stop_unit(sim)
        streams = stream_seconds([trace], log, lambda line: 1)[1]
        return elapsed, status, streams
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def fleet(args, units, network):
    """update-all of `units` TX units at 115200, local or each behind ser2net."""
    workdir = tempfile.mkdtemp(prefix="bench-net-fleet-%d-" % units)
    server = None
    try:
        sim, com, log = start_unit(args, workdir, *sum((["--unit", "%d:tx:115200" % p]
                                                        for p in range(1, units + 1)), []))
        try:
            ports = [str(p) for p in range(1, units + 1)]
            if network:
                server = netfixture.Ser2net(workdir, [(netfixture.pty_of(com, p), "rfc2217",
                                                       "9600n81") for p in range(1, units + 1)])
                server.start()
                ports = [server.url(i) for i in range(units)]
            elapsed, status = run_tool(args, workdir, com, "update-all", "--ports", ",".join(ports),
                                       "--trace", "traces", "--log-dir", "logs")
        finally:
            if server:
                server.stop()
            stop_unit(sim)
        folder = os.path.join(workdir, "traces")
        traces = [os.path.join(folder, n) for n in sorted(os.listdir(folder))]
        urls = {server.url(i): i + 1 for i in range(units)} if server else {}
        streams = stream_seconds(traces, log, lambda line: urls.get(line, line))
        return elapsed, status, streams
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def show_streams(streams):
    return "  ".join("%s %.2f s" % ({"l": "logic", "h": "firmware"}[k], s)
                     for k, s in sorted(streams.items(), key=lambda i: i[0] != "l"))


def bench_single(args):
    print("== one TX update at 115200, line-rate pacing: local pty, ser2net, ser2net behind the proxy")
    results = {}
    for how in ("local", "ser2net", "proxy"):
        results[how] = single(args, how)
        elapsed, status, streams = results[how]
        local = results["local"]
        print("   %-8s %8.2f s  x%.4f  (exit %d)   streams: %s  x%.4f"
              % (how, elapsed, elapsed / local[0], status, show_streams(streams),
                 sum(streams.values()) / sum(local[2].values())))
        sys.stdout.flush()


def bench_fleet(args):
    print("== update-all at 115200, line-rate pacing: 8 units behind ser2net against 1 local unit")
    one = fleet(args, 1, False)
    print("   1 local       %8.2f s  (exit %d)   streams: %s" % (one[0], one[1], show_streams(one[2][1])))
    sys.stdout.flush()
    eight = fleet(args, 8, True)
    slowest = {k: max(s[k] for s in eight[2].values() if k in s) for k in ("l", "h")}
    print("   8 over ser2net %7.2f s  x%.4f  (exit %d)   slowest streams: %s  x%.4f"
          % (eight[0], eight[0] / one[0], eight[1], show_streams(slowest),
             sum(slowest.values()) / sum(one[2][1].values())))
    for port, streams in sorted(eight[2].items()):
        print("      unit %d: %s" % (port, show_streams(streams)))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("which", nargs="*", help="single, fleet (default both)")
    args = parser.parse_args()
    args.tool, args.unitsim = os.path.abspath(args.tool), os.path.abspath(args.unitsim)
    if not os.access(netfixture.SER2NET, os.X_OK):
        print("%s is not installed" % netfixture.SER2NET)
        return 1
    if set(args.which) - {"single", "fleet"}:
        parser.error("which: single or fleet")
    for which in args.which or ["single", "fleet"]:
        {"single": bench_single, "fleet": bench_fleet}[which](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
