#!/usr/bin/env python3
"""Network benchmarks: TessaranFwTool updating units behind ser2net, against
the same over a local pseudo-terminal. unitsim holds every line to its rate
(--pace), so a local run pays the line time as a UART would.

    network_bench.py --tool PATH --unitsim PATH [single] [fleet] [hostile] [links] [idle]

single  one TX unit at 115200, `update`: over the local pty, over ser2net on
        the loopback (rfc2217://) and through the latency proxy (20 +/- 10 ms
        each way, segments of 1 to 64 bytes): the wall time of each and its
        ratio to the local run.
fleet   `update-all` of 8 TX units through ser2net against one local unit.
hostile `probe --port` against each server of HOSTILE, then
        `update-all` against both floods (one probe per port): time to the
        end, exit status, the peak RSS of the largest process (GNU time's,
        which covers the probes it reaped), and the console (stdout and
        stderr in one file, as a terminal shows them).
links   one TX unit at 115200 updated over rfc2217:// through ser2net, directly
        and through links of LINKS (delay +/- jitter each way), all at once:
        wall time, ratio to the direct update, exit status and verdict; and
        `probe` through each link: wall time and whether it found the unit.
idle    the same update through a server that ends a session idle for 30 s
        (as a terminal server's inactivity timer), then refuses new
        sessions for 2 s: the console's last lines and the trace's records
        around the reboot wait.

The 138 s reboot wait and the announces' read timeouts are the same in every
run, so each image's stream is also shown alone: from the tool's first write
of the image (its trace) to the unit's last byte of it (unitsim's wire log).
Figures, not pass/fail.
"""
import argparse
import os
import re
import select
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
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


def telnet(*commands):
    """IAC VERB OPTION for each (verb, option)."""
    return bytes(b for verb, option in commands for b in (255, verb, option))


WILL, WONT, DO, DONT = 251, 252, 253, 254
AGREE = telnet((DO, 0), (WILL, 0), (DO, 3), (WILL, 3), (DO, 44))  # BINARY, SGA, COM-PORT
OPENING = 15  # bytes: the tool's WILL/DO BINARY and SGA, WILL COM-PORT
FLOOD = b"U" * 65536
# Servers that break the rules, by name: (scheme, sent once a client
# connects, sent for each piece the client sends past its opening, sent again
# and again). None acknowledges a setting.
HOSTILE = {
    "no-ack": ("rfc2217", AGREE, b"", b""),
    "flood": ("rfc2217", AGREE, b"", FLOOD),
    "raw-flood": ("socket", b"", b"", FLOOD),
    "no-binary": ("rfc2217", telnet((DONT, 0), (WONT, 0)) + AGREE[6:], b"", b""),
    "binary-off-later": ("rfc2217", AGREE, telnet((DONT, 0)), b""),
    "option-flood": ("rfc2217", AGREE, b"", telnet((WILL, 5)) * 4096),
    "will-dont-loop": ("rfc2217", AGREE + telnet((WILL, 1)), telnet((WILL, 1)), b""),
    "long-subnegotiation": ("rfc2217", AGREE, b"\xff\xfa\x2c\x65" + bytes(80) + b"\xff\xf0", b""),
}


class HostileServer(threading.Thread):
    """A server on a free loopback port that behaves as HOSTILE[name] on each
    connection in turn, from its creation until stopped."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.scheme, self.opening, self.answer, self.flood = HOSTILE[name]
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.stopping = False
        self.start()

    def url(self):
        return "%s://127.0.0.1:%d" % (self.scheme, self.listener.getsockname()[1])

    def stop(self):
        self.stopping = True
        self.join()
        self.listener.close()

    def run(self):
        while not self.stopping:
            if select.select([self.listener], [], [], 0.1)[0]:
                with self.listener.accept()[0] as client:
                    self.serve(client)

    def serve(self, client):
        taken = 0
        try:
            client.sendall(self.opening)
            while not self.stopping:
                if select.select([client], [], [], 0 if self.flood else 0.1)[0]:
                    piece = client.recv(65536)
                    if not piece:
                        return
                    taken += len(piece)
                    if taken > OPENING:
                        client.sendall(self.answer)
                client.sendall(self.flood)
        except OSError:
            return


def measured(args, *arguments):
    """Runs the tool under GNU time (a child forked from Python would carry the
    interpreter's RSS into its own peak); (seconds, exit status, console, peak
    RSS in MB)."""
    with tempfile.TemporaryDirectory(prefix="bench-net-hostile-") as workdir:
        timing, console = os.path.join(workdir, "timing"), os.path.join(workdir, "console")
        with open(console, "wb") as out:
            subprocess.run(["/usr/bin/time", "-f", "%e %x %M", "-o", timing, args.tool]
                           + list(arguments), stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                           cwd=workdir, env=dict(os.environ, FWUPGRADE_COM_DIR=workdir))
        with open(timing) as f:
            elapsed, status, rss = f.read().split()[-3:]
        with open(console, "rb") as f:
            text = f.read().decode("latin-1")
    return float(elapsed), int(status), text, int(rss) / 1024.0


def bench_hostile(args):
    print("== servers that break the rules: time to the end, exit status, peak RSS, console")
    servers = {name: HostileServer(name) for name in HOSTILE}
    try:
        runs = [(name, ["probe", "--port", server.url()]) for name, server in servers.items()]
        runs.append(("update-all, both floods", ["update-all", "--ports", "%s,%s" % (
            servers["flood"].url(), servers["raw-flood"].url())]))
        for name, arguments in runs:
            elapsed, status, err, rss = measured(args, *arguments)
            for server in servers.values():
                err = err.replace(server.url(), "URL")
            print("   %-24s %5.2f s  exit %d  %5.1f MB  %s" % (name, elapsed, status, rss,
                                                          err.strip().replace("\n", " / ")))
            sys.stdout.flush()
    finally:
        for server in servers.values():
            server.stop()


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


LINKS = [("direct", None), ("200 +/- 50 ms", (0.200, 0.050)), ("500 +/- 150 ms", (0.500, 0.150)),
         ("1000 +/- 250 ms", (1.000, 0.250))]


def linked_update(args, link, results, name, idle=None, refuse=0.0, command="update"):
    """One paced TX update (or COMMAND) through ser2net and, with LINK (delay,
    jitter) or IDLE, a proxy; results[name] = (seconds, status, console, trace)."""
    workdir = tempfile.mkdtemp(prefix="bench-net-link-")
    server = proxy = None
    try:
        sim, com, _ = start_unit(args, workdir, "--unit", "1:tx:115200")
        try:
            server = netfixture.Ser2net(workdir, [(netfixture.pty_of(com, 1), "rfc2217",
                                                   "9600n81")]).start()
            address = server.url(0)
            if link or idle:
                delay, jitter = link or (0.0, 0.0)
                proxy = netfixture.LatencyProxy(server.ports[0], delay=delay, jitter=jitter,
                                                seed=33, idle=idle, refuse=refuse).start()
                address = "rfc2217://127.0.0.1:%d" % proxy.port
            trace, console = os.path.join(workdir, "trace.txt"), os.path.join(workdir, "console")
            started = time.monotonic()
            with open(console, "wb") as out:
                status = subprocess.run([args.tool, command, "--port", address, "--trace", trace],
                                        stdin=subprocess.DEVNULL, stdout=out, stderr=out,
                                        cwd=workdir, env=dict(os.environ, FWUPGRADE_COM_DIR=com)
                                        ).returncode
            elapsed = time.monotonic() - started
        finally:
            for fixture in (proxy, server):
                if fixture:
                    fixture.stop()
            stop_unit(sim)
        with open(console, "rb") as f:
            text = f.read().decode("latin-1").replace(address, "URL")
        with open(trace, encoding="latin-1") as f:
            records = [r.rstrip("\n").replace(address, "URL") for r in f]
        results[name] = (elapsed, status, text, records)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


def verdict(console):
    lines = [l for l in console.replace("\r", "\n").split("\n") if l.strip()]
    return lines[-1] if lines else ""


def bench_links(args):
    print("== one TX update at 115200, line-rate pacing, over rfc2217:// through ser2net: directly "
          "and through delayed links (each way), all at once")
    results = {}
    threads = [threading.Thread(target=linked_update, args=(args, link, results, name))
               for name, link in LINKS]
    # The probes through the same links, beside the updates.
    threads += [threading.Thread(target=linked_update, args=(args, link, results, "probe " + name),
                                 kwargs={"command": "probe"}) for name, link in LINKS]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    direct = results["direct"][0]
    print("   %-16s %9s  %7s  %s" % ("link", "time", "ratio", "result"))
    for name, _ in LINKS:
        elapsed, status, console, records = results[name]
        trip = next((r.split("URL: ", 1)[-1] for r in records if "round trips measured" in r), "")
        print("   %-16s %7.1f s  x%.3f  exit %d, %s" % (name, elapsed, elapsed / direct, status,
                                                      verdict(console)))
        if trip:
            print("   %-16s %s" % ("", trip))
        sys.stdout.flush()
    for name, _ in LINKS:
        elapsed, status, console, _ = results["probe " + name]
        found = "a unit found" if "Type" in console else console.strip().replace("\n", " / ")
        print("   probe %-16s %5.1f s  exit %d, %s" % (name, elapsed, status, found))


def bench_idle(args):
    print("== one TX update through a server that ends a session idle for 30 s, then refuses "
          "new sessions for 2 s")
    results = {}
    linked_update(args, None, results, "idle", idle=30.0, refuse=2.0)
    elapsed, status, console, records = results["idle"]
    print("   %.1f s, exit %d; the console from the reboot wait on:" % (elapsed, status))
    tail = console[console.find("Please wait while the unit is rebooting"):]
    for line in tail.replace("\r", "").split("\n"):
        if line.strip():
            print("      " + re.sub(r"(?:\s*\d+%\x08+)+", " ", line).strip())
    print("   the trace from the hang-up on:")
    lost = [i for i, r in enumerate(records) if "connection lost" in r]  # the last: in the reboot wait
    at = lost[-1] if lost else len(records)
    for record in records[at:at + 12]:
        print("      " + record)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("which", nargs="*",
                        help="single, fleet, hostile, links, idle (default the first three)")
    args = parser.parse_args()
    args.tool, args.unitsim = os.path.abspath(args.tool), os.path.abspath(args.unitsim)
    if not os.access(netfixture.SER2NET, os.X_OK):
        print("%s is not installed" % netfixture.SER2NET)
        return 1
    benches = {"single": bench_single, "fleet": bench_fleet, "hostile": bench_hostile,
               "links": bench_links, "idle": bench_idle}
    if set(args.which) - set(benches):
        parser.error("which: " + ", ".join(benches))
    for which in args.which or ["single", "fleet", "hostile"]:
        benches[which](args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
