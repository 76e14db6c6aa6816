#!/usr/bin/env python3
"""update-all end to end: several simulated units updated at once.

Each case starts one unitsim playing a bench of units (--unit), runs
`TessaranFwTool update-all` with its output going to a pipe (the non-terminal
form), and checks the exit status, the report, every unit's log (as text),
the images every unit received and, from the wire log, that the streams of the
sound units ran at full line rate beside a failing one.

    fleet_e2e.py --updater PATH --tool PATH --unitsim PATH CASE
    fleet_e2e.py --windows-build DIR --wine-run PATH --tool PATH --unitsim PATH wine-two-units|wine-watch-page
"""
import argparse
import csv
import fcntl
import io
import json
import os
import pwd
import re
import resource
import select
import signal
import struct
import subprocess
import sys
import termios
import time

import browser
import e2e

VERIFIED = "\r\nVerifying firmware version .............  1.0.4 VERIFIED\r\n"
UPDATE_FAILED_VERDICT = "\r\nNOT VERIFIED, the update failed\r\n"
KEYS = ["port", "device", "baud", "type", "firmware_before", "fpga_before", "firmware_after",
        "fpga_after", "result", "failed_step", "message", "started", "finished", "seconds", "log",
        "address", "location", "serial_number", "vid", "pid", "label", "hook_status",
        "start_hook_status", "attempts"]
ISO = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$")
STEP_LINE = re.compile(r"^COM(\d+) +(\S+) +(\d+) +(.+?) +\d+:\d\d$")
SOUND_STEPS = ["sending logic", "sending firmware", "rebooting", "verifying", "done"]
LINE_115200 = 11520.0
READY_SECONDS = 20.0


def readable(raw, end="\n"):
    """A transcript as a terminal leaves it, in lines ended by END: a unit's log."""
    lines = []
    for part in re.split(r"\r\n|\n\r|\r|\n", raw):
        line, at = "", 0
        for c in part:
            line, at = (line, max(at - 1, 0)) if c == "\b" else (line[:at] + c + line[at + 1:], at + 1)
        lines.append(line if line[at:].strip(" ") else line[:at])
    return end.join(lines)


def updated_log(port, baud, version, rx, fpga, mcu):
    """What `update` prints for a unit it updates and verifies."""
    success = e2e.update_success(version, rx, len(fpga), len(mcu))
    return (e2e.header() + e2e.found(port, baud) + success[:-len(e2e.PRESS_KEY)] + VERIFIED)


def rejected_log(port, baud, fpga, attempts=1):
    return (e2e.header() + e2e.found(port, baud) + e2e.versions(e2e.VERSION)
            + "Checking product .......... " + e2e.identification(False)
            + "".join(attempt_line(n, attempts) + failed_logic(fpga, "FAILED")
                      for n in range(1, attempts + 1))
            + e2e.NOT_SUCCESSFUL + UPDATE_FAILED_VERDICT)


def failed_logic(fpga, reply):
    return e2e.FPGA_ANNOUNCE + "OK\r\n" + e2e.FPGA_SEND + e2e.progress(len(fpga)) + failed(reply)


def failed(reply):
    return ("\r\nExpected : SUCCESS  received : %s\r\n" % reply
            + "\r\nError: Expected response did  not matched !\r\n" + "FAILED\r\n")


def attempt_line(n, attempts):
    return ("" if n == 1 else
            "\r\nAttempt %d of %d: the update begins again from the first image\r\n" % (n, attempts))


WAITED = "\r\nWaiting for the unit to end the broken stream ....... OK\r\n"


def retried_log(port, baud, fpga, mcu):
    """update --retries 1 for a unit whose first logic stream was shifted by a
    byte and whose microcontroller image then stalled past the wait for its
    answer."""
    success = e2e.update_success(e2e.VERSION, False, len(fpga), len(mcu))[:-len(e2e.PRESS_KEY)]
    success = success.replace(" OK\n\r\n\rPlease wait", failed("") + WAITED
                              + "The unit accepted the image late: it restarts with both images"
                              "\r\n\r\nPlease wait", 1)
    at = success.index(e2e.FPGA_ANNOUNCE)
    return (e2e.header() + e2e.found(port, baud) + success[:at]
            + failed_logic(fpga, "CHECKSUM ERROR") + attempt_line(2, 2) + success[at:] + VERIFIED)


class FleetRun(e2e.Run):
    line_end, sep = "\n", "/"  # of the logs and their paths: POSIX's
    def update_all(self, *options, timeout=560, program=None, runner=None):
        env = dict(os.environ, FWUPGRADE_COM_DIR=self.com)
        command = (runner or []) + [program or self.args.tool, "update-all"] + list(options)
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=getattr(self, "env", env) if runner else env, cwd=self.dir,
                              timeout=e2e.scaled(timeout))
        self.output = done.stdout.decode("latin-1") + done.stderr.decode("latin-1")
        return done.stdout.decode("latin-1"), done.stderr.decode("latin-1"), done.returncode

    def expect_status(self, status, expected):
        if status != expected:
            self.fail("exit status %d, expected %d; update-all said:\n%s"
                      % (status, expected, getattr(self, "output", "")))

    def saved_unit(self, port, name):
        return self.saved(os.path.join("COM%d" % port, name))

    def log_text(self, name):
        path = os.path.join(self.dir, "logs", name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            text = f.read().decode("latin-1")
        if "\b" in text or set(re.findall(r"\r\n|\n\r|\r|\n", text)) - {self.line_end}:
            self.fail("log %s is not plain text: %r" % (name, text[:300]))
        return text

    def check_units(self, records, expected):
        """expected: {port: (result, failed_step)}; every record under exactly the keys."""
        self.expect_equal("units in the report", sorted(r["port"] for r in records), sorted(expected))
        for r in records:
            self.expect_equal("keys of COM%s" % r["port"], list(r.keys()), KEYS)
            want = expected.get(int(r["port"]))
            if want is None:
                continue
            self.expect_equal("result of COM%s" % r["port"], (r["result"], r["failed_step"]), want)
            for key in ("started", "finished"):
                if not ISO.match(r[key]):
                    self.fail("COM%s %s is no UTC ISO 8601 time: %r" % (r["port"], key, r[key]))
            self.expect_equal("log of COM%s" % r["port"], r["log"],
                              "logs%supdate-COM%s.log" % (self.sep, r["port"]))
            self.expect_equal("firmware after on COM%s" % r["port"], r["firmware_after"],
                              "1.0.4" if want[0] == "updated" else "")
            self.expect_equal("FPGA after on COM%s" % r["port"], r["fpga_after"],
                              "1.3" if want[0] == "updated" else "")

    def check_step_lines(self, out, expected):
        """The non-terminal form: no escape sequence, one line per change of step."""
        if "\x1b" in out:
            self.fail("terminal sequences in the non-terminal output")
        steps = {}
        for line in out.splitlines():
            m = STEP_LINE.match(line)
            if m:
                steps.setdefault(int(m.group(1)), []).append(m.group(4))
        for port, tail in expected.items():
            got = steps.get(port, [])
            if got[-len(tail):] != tail or any(a == b for a, b in zip(got, got[1:])):
                self.fail("step lines of COM%d: %r, expected to end in %r without repeats"
                          % (port, got, tail))

    def stream_seconds(self, port, kind):
        """How long the unit took to receive its image of that kind (wire log)."""
        begin = end = None
        for when, p, _, event, detail in self.wire():
            if p == port and detail.startswith(kind + " "):
                if event == "stream-begin":
                    begin = when
                elif event == "stream-end":
                    end = when
        return None if begin is None or end is None else end - begin


def case_three_units(run):
    """TX at 115200 on COM1, RX at 57600 on COM3, TX at 9600 whose stream is
    rejected on COM4, TX on COM2 whose line shifts a byte of its first logic
    stream and stalls its microcontroller image past the wait for its answer,
    silent COM5, with --retries 1: three updated (COM2 at its second attempt,
    its late answer taken), one failed while sending logic after two; logs,
    images, report (JSON) and the line-per-change output."""
    fpga_tx, fpga_rx, mcu = run.image(1), run.image(2), run.image(0)
    run.start_unit("--ports", "1-5", "--unit", "1:tx:115200", "--unit", "3:rx:57600",
                   "--unit", "4:tx:9600:reject", "--unit", "2:tx:115200:shift=logic@5000:stall=mcu@1000:stall-seconds=3",
                   max_seconds=560)
    out, err, status = run.update_all("--ports", "1-5", "--report", "report.json",
                                      "--log-dir", "logs", "--retries", "1")
    run.expect_status(status, 1)
    with open(os.path.join(run.dir, "report.json")) as f:
        report = json.load(f)
    records = report["units"]
    run.check_units(records, {1: ("updated", ""), 2: ("updated", ""), 3: ("updated", ""),
                              4: ("failed", "sending logic")})
    run.expect_equal("attempts", {r["port"]: r["attempts"] for r in records},
                     {1: 1, 2: 2, 3: 1, 4: 2})
    run.expect_equal("streams begun", {n: [d[0] for _, p, _, e, d in run.wire()
                                           if e == "stream-begin" and p == n] for n in (2, 4)},
                     {2: ["l", "l", "h"], 4: ["l", "l"]})
    by_port = {r["port"]: r for r in records}
    if 3 in by_port:
        run.expect_equal("COM3 facts", (by_port[3]["type"], by_port[3]["baud"],
                                        by_port[3]["firmware_before"]), ("RX", 57600, "1.0.3"))
    run.check_step_lines(out, {1: SOUND_STEPS, 3: SOUND_STEPS,
                               2: ["failed"] + [s + " (attempt 2)" for s in SOUND_STEPS[:2]
                                                + ["failed"] + SOUND_STEPS[2:]],
                               4: ["failed", "sending logic (attempt 2)", "failed (attempt 2)"]})
    run.expect_equal("COM1 log", run.log_text("update-COM1.log"),
                     readable(updated_log(1, 115200, e2e.VERSION, False, fpga_tx, mcu)))
    run.expect_equal("COM3 log", run.log_text("update-COM3.log"),
                     readable(updated_log(3, 57600, e2e.VERSION, True, fpga_rx, mcu)))
    run.expect_equal("COM4 log", run.log_text("update-COM4.log"),
                     readable(rejected_log(4, 9600, fpga_tx, 2)))
    run.expect_equal("COM2 log", run.log_text("update-COM2.log"),
                     readable(retried_log(2, 115200, fpga_tx, mcu)))
    run.expect_equal("logs written", sorted(os.listdir(os.path.join(run.dir, "logs"))),
                     ["update-COM1.log", "update-COM2.log", "update-COM3.log", "update-COM4.log"])
    for port, fpga, with_mcu in ((1, fpga_tx, True), (2, fpga_tx, True), (3, fpga_rx, True),
                                 (4, fpga_tx, False)):
        run.expect_equal("COM%d FPGA image" % port, run.saved_unit(port, "fpga.bin") == fpga, True)
        run.expect_equal("COM%d MCU image" % port,
                         run.saved_unit(port, "mcu.bin") == (mcu if with_mcu else None), True)
    # Read-only probing: the silent ports heard nothing but the detection command.
    silent = {d for _, p, _, event, d in run.wire() if p == 5 and event == "cmd"}
    run.expect_equal("commands on the silent ports", silent, {"%%%help -c version"})


def case_unplug(run):
    """Three units streaming at line rate; COM2's adapter goes away in the
    middle of its FPGA stream. The two others finish, images intact, their
    streams as fast as alone. The report is CSV."""
    fpga_tx, fpga_rx, mcu = run.image(1), run.image(2), run.image(0)
    run.start_unit("--ports", "1-3", "--pace", "--unit", "1:tx:115200",
                   "--unit", "2:tx:115200:disconnect=300000", "--unit", "3:rx:57600",
                   max_seconds=590)
    out, err, status = run.update_all("--ports", "1-3", "--jobs", "3", "--report", "report.csv",
                                      "--log-dir", "logs", timeout=590)
    run.expect_status(status, 1)
    with open(os.path.join(run.dir, "report.csv"), newline="") as f:
        text = f.read()
    rows = list(csv.DictReader(io.StringIO(text)))
    run.expect_equal("CSV columns", text.split("\r\n", 1)[0].split(","), KEYS)
    for r in rows:
        r["port"] = int(r["port"])
    run.check_units(rows, {1: ("updated", ""), 2: ("failed", "sending logic"),
                           3: ("updated", "")})
    for port, fpga in ((1, fpga_tx), (3, fpga_rx)):
        run.expect_equal("COM%d FPGA image" % port, run.saved_unit(port, "fpga.bin") == fpga, True)
        run.expect_equal("COM%d MCU image" % port, run.saved_unit(port, "mcu.bin") == mcu, True)
        seconds = run.stream_seconds(port, "l")
        # The unit counts from the announce; the updater then spends its two
        # 10 s reads collecting "Ready" before the first image byte.
        floor = READY_SECONDS + len(fpga) / LINE_115200
        # 10 % and 2 s of margin for a loaded machine (more for a slower
        # build); a stream held up by the unplugged unit would take far longer.
        if seconds is None or seconds > floor * (1 + e2e.scaled(0.10)) + e2e.scaled(2):
            run.fail("COM%d FPGA stream took %s s from its announce, at line rate %.1f s"
                     % (port, seconds, floor))
    hangups = [d for _, p, _, event, d in run.wire() if event == "hangup"]
    run.expect_equal("hang-up", hangups, ["after 300000 stream bytes"])


READ_ONLY = {"%%%help -c version", "%%%fw -v", "%%%fw -p"}
WATCH_RESULTS = [(1, "updated", ""), (2, "updated", ""), (3, "current", ""),
                 (4, "failed", "sending logic"), (4, "updated", "")]


def case_watch(run):
    """A station's day under --watch: COM1 outdated at the start; COM2 plugged
    20 s in; COM3 already current; COM4 rejects its stream, stays plugged a
    while, is pulled out and plugged back in as a sound unit. Updated units
    leave 5 s after they report the release. Stopped with SIGINT once every
    unit is handled: one report record per plug, the report whole at every
    read, the current unit and the failed one left alone."""
    fpga_tx, fpga_rx, mcu = run.image(1), run.image(2), run.image(0)
    run.start_unit("--ports", "1-4", "--unit", "1:tx:115200", "--plug", "2:20:rx:57600",
                   "--unit", "3:tx:9600:version=1.0.4 XC7A35 1.3 1",
                   "--unit", "4:tx:115200:reject", "--unplug", "4:50", "--plug", "4:65:tx:115200",
                   "--unplug-after-update", "5", max_seconds=560)
    out_path = os.path.join(run.dir, "out.txt")
    report_path = os.path.join(run.dir, "report.json")
    with open(out_path, "wb") as out:
        tool = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-4", "--watch",
                                 "--interval", "2", "--report", "report.json", "--log-dir", "logs"],
                                stdout=out, stderr=subprocess.STDOUT, cwd=run.dir,
                                env=dict(os.environ, FWUPGRADE_COM_DIR=run.com))
    # The report as it grows: whole at every read (an empty one from the
    # watch's start), one record more per unit.
    counts, deadline = [], time.time() + 480
    while time.time() < deadline and tool.poll() is None:
        time.sleep(0.5)
        if os.path.exists(report_path):
            with open(report_path) as f:
                records = json.load(f)["units"]
            if not counts or counts[-1] != len(records):
                counts.append(len(records))
            if len(records) == len(WATCH_RESULTS):
                break
    # The updated units (and the last of them) leave 5 s after their read-back;
    # the watch then shows their ports waiting again.
    time.sleep(e2e.scaled(12))
    tool.send_signal(signal.SIGINT)
    try:
        status = tool.wait(timeout=e2e.scaled(30))
    except subprocess.TimeoutExpired:
        tool.kill()
        status = tool.wait()
    with open(out_path, "rb") as f:
        run.output = f.read().decode("latin-1")
    run.expect_status(status, 1)
    run.expect_equal("report sizes as units ended", counts, [0, 1, 2, 3, 4, 5])
    with open(report_path) as f:
        records = sorted(json.load(f)["units"], key=lambda r: (r["port"], r["started"]))
    run.expect_equal("results", [(r["port"], r["result"], r["failed_step"]) for r in records],
                     WATCH_RESULTS)
    run.expect_equal("logs", [r["log"] for r in records],  # in the folder of the day each started
                     ["logs/%s/update-COM%s.log" % (r["started"][:10], n) for r, n in
                      zip(records, ["1", "2", "3", "4", "4-2"])])
    run.expect_equal("current unit's versions", (records[2]["firmware_before"],
                                                 records[2]["firmware_after"]), ("1.0.4", ""))
    for folder, fpga in (("COM1", fpga_tx), ("COM2", fpga_rx), ("COM4-2", fpga_tx)):
        run.expect_equal(folder + " images", (run.saved(os.path.join(folder, "fpga.bin")) == fpga,
                                              run.saved(os.path.join(folder, "mcu.bin")) == mcu),
                         (True, True))
    events = run.wire()
    unplugged = min(t for t, p, _, e, _ in events if p == 4 and e == "unplug")
    run.expect_equal("COM4 streams while the rejecting unit was plugged",
                     [d.split()[0] for t, p, _, e, d in events
                      if p == 4 and e == "stream-begin" and t < unplugged], ["l"])
    run.expect_equal("COM3 streams", [d for _, p, _, e, d in events
                                      if p == 3 and e == "stream-begin"], [])
    run.expect_equal("COM3 commands beyond the read-only ones",
                     {d for _, p, _, e, d in events if p == 3 and e == "cmd"} - READ_ONLY, set())
    lines = run.output.splitlines()
    for port in (1, 2, 4):
        if not any(re.match(r"^COM%d +- +- +waiting$" % port, line) for line in lines):
            run.fail("COM%d was never shown waiting again after its unit left" % port)
    run.expect_equal("last count", [l for l in lines if l.startswith("updated ")][-1:],
                     ["updated 3, current 1, failed 1, updating 0"])


def wine_prefix(run, ports):
    """A new Wine prefix in the run's folder whose COM ports are the simulator's PORTS."""
    import wine_e2e
    wine = wine_e2e.WineRun.__new__(wine_e2e.WineRun)
    wine.__dict__.update(run.__dict__)
    wine.prefix = os.path.join(run.dir, "wine-prefix")
    wine.env = dict(os.environ, WINEPREFIX=wine.prefix, WINEDEBUG="-all",
                    WINEDLLOVERRIDES="mscoree,mshtml=")
    wine.make_prefix(ports)
    return wine


def case_wine_two_units(run):
    """The Windows build updates two units at once under Wine."""
    fpga_tx, fpga_rx, mcu = run.image(1), run.image(2), run.image(0)
    wine = wine_prefix(run, [1, 2])
    run.env = wine.env
    run.line_end, run.sep = "\r\n", "\\"
    run.start_unit("--ports", "1-2", "--unit", "1:tx:115200", "--unit", "2:rx:57600",
                   max_seconds=560)
    out, err, status = run.update_all("--ports", "1-2", "--report", "report.json",
                                      "--log-dir", "logs", program=run.args.windows_tool,
                                      runner=[run.args.wine_run, wine.prefix])
    subprocess.run(["wineserver", "-k"], env=wine.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=e2e.scaled(60))
    run.expect_status(status, 0)
    with open(os.path.join(run.dir, "report.json")) as f:
        records = json.load(f)["units"]
    run.check_units(records, {1: ("updated", ""), 2: ("updated", "")})
    # Both streams overlapped: the updates ran side by side.
    spans = {}
    for when, p, _, event, _ in run.wire():
        if event in ("stream-begin", "stream-end"):
            spans.setdefault(p, []).append(when)
    if len(spans.get(1, [])) < 2 or len(spans.get(2, [])) < 2 or \
            max(spans[1][0], spans[2][0]) > min(spans[1][-1], spans[2][-1]):
        run.fail("the two units were not updated at the same time: %r" % spans)
    run.expect_equal("COM1 log", run.log_text("update-COM1.log"),
                     readable(updated_log(1, 115200, e2e.VERSION, False, fpga_tx, mcu), "\r\n"))
    run.expect_equal("COM2 log", run.log_text("update-COM2.log"),
                     readable(updated_log(2, 57600, e2e.VERSION, True, fpga_rx, mcu), "\r\n"))
    run.expect_equal("COM2 FPGA image", run.saved_unit(2, "fpga.bin") == fpga_rx, True)
    run.expect_equal("COM1 MCU image", run.saved_unit(1, "mcu.bin") == mcu, True)


# What differs between two honest runs' station pages, each masked alone so
# that anything else (an escape, a state, a tile's place, a count, the markup,
# a byte) still shows: the time the page was written, a unit's time on its
# slot, and in the last units' table the time of day each ended and its
# seconds. The host's name in the title is checked apart (HOST_IN_TITLE). The
# units per hour stay as they are: 0 on both, no unit being updated so soon.
PAGE_MASKS = [
    (re.compile(r"as of \d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC"), "as of TIME"),
    (re.compile(r"<dt>time</dt><dd>\d+:\d\d</dd>"), "<dt>time</dt><dd>M:SS</dd>"),
    (re.compile(r"(<tr data-result=\"[a-z]+\"><td>)\d\d:\d\d:\d\d</td>"), r"\1HH:MM:SS</td>"),
    (re.compile(r"<td class=\"hide-narrow\">\d+</td></tr>"), "<td class=\"hide-narrow\">S</td></tr>"),
]
HOST_IN_TITLE = re.compile(r"<title>(.*) \u2014 TessaranFwTool update-all</title>.*<h1>(.*)</h1>", re.S)
TILE_STATES = re.compile(r'<div class="tile s-[a-z-]+" data-state="([a-z-]+)"')


def page_masked(page, hosts):
    """PAGE (bytes) as text with LF line ends and the masks above, its host's name
    as HOST when it is one of HOSTS; else a text saying what the title holds."""
    text = page.decode("utf-8").replace("\r\n", "\n")
    m = HOST_IN_TITLE.search(text)
    if m is None or m.group(1) != m.group(2) or m.group(1) not in hosts:
        return "the title names %r, not one of %r: %s" % (m and m.groups(), hosts, text)
    text = text[:m.start(1)] + "HOST" + text[m.end(1):m.start(2)] + "HOST" + text[m.end(2):]
    for pattern, mask in PAGE_MASKS:
        text = pattern.sub(mask, text)
    return text


def case_wine_watch_page(run):
    """The Windows tool's station page under Wine against the Linux tool's, both watching COM1-4
    with --labels over the same units of one unitsim (the Linux tool's COM1-4 are its COM5-8):
    on COM1 a current unit, on COM2 one of another product, on COM3 one that gets no label,
    COM4 empty. Each probe finds them in that order, by the order it tries the rates in. Each
    tool is given a label once its COM1 needs one and another once its COM1 is current. Their
    pages once settled (current, failed, needs label, waiting), and their last ones after an
    interrupt, are the same but for the masks."""
    import socket
    started = time.time()
    wine = wine_prefix(run, [1, 2, 3, 4])
    linux_com, units = os.path.join(run.dir, "linux-com"), []
    os.mkdir(linux_com)
    for port, unit in enumerate(["tx:115200:version=1.0.4 XC7A35 1.3 1", "tx:4800:device=2", "rx:1200"], 1):
        units += ["--unit", "%d:%s" % (port, unit), "--unit", "%d:%s" % (port + 4, unit)]
    for port in range(1, 5):
        os.symlink(os.path.join(run.com, "COM%d" % (port + 4)), os.path.join(linux_com, "COM%d" % port))
    run.start_unit("--ports", "1-8", *units, max_seconds=120)
    # The host's name as each system gives it: Windows' computer name is the
    # host's first part in upper case, at most 15 characters.
    host = socket.gethostname()
    short = host.split(".")[0].upper()
    sides = {"windows": ([run.args.wine_run, wine.prefix, run.args.windows_tool], wine.env, (short, short[:15])),
             "linux": ([run.args.tool], dict(os.environ, FWUPGRADE_COM_DIR=linux_com), (host,))}
    procs = {}
    for side, (command, env, _) in sides.items():
        os.mkdir(os.path.join(run.dir, side))
        procs[side] = subprocess.Popen(
            command + ["update-all", "--ports", "1-4", "--watch", "--interval", "1", "--labels",
                       "--page", "station.html", "--log-dir", "logs", "--no-history"],
            cwd=os.path.join(run.dir, side), env=env, stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    page = lambda side: open(os.path.join(run.dir, side, "station.html"), "rb").read()
    # Each tool's labels go in as its own page asks for them.
    feeds = [(["needs-label"], b"SN-<1>&\"'\n"), (["current", "needs-label"], b"SN-2\n")]
    fed, settled, deadline = {side: 0 for side in procs}, {}, time.time() + e2e.scaled(60)
    while time.time() < deadline and len(settled) < len(procs):
        for side, proc in procs.items():
            shown = page(side) if os.path.exists(os.path.join(run.dir, side, "station.html")) else b""
            states = TILE_STATES.findall(shown.decode("utf-8"))
            if fed[side] < len(feeds) and states[:len(feeds[fed[side]][0])] == feeds[fed[side]][0]:
                proc.stdin.write(feeds[fed[side]][1])
                proc.stdin.flush()
                fed[side] += 1
            elif states == ["current", "failed", "needs-label", "waiting"] and shown.count(b"<tr data-") == 2:
                settled.setdefault(side, shown)
        time.sleep(0.2)
    settled_at = time.time() - started
    for proc in procs.values():
        proc.send_signal(signal.SIGINT)
    # Standard input stays open until the end, or a tool could see it end first.
    ends = {side: (proc.wait(timeout=e2e.scaled(60)), proc.stderr.read().decode("latin-1"), proc.stdin.close())
            for side, proc in procs.items()}
    subprocess.run(["wineserver", "-k"], env=wine.env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=e2e.scaled(60))
    run.expect_equal("exit statuses", {side: end[0] for side, end in ends.items()}, {"windows": 1, "linux": 1})
    if any("page" in end[1] for end in ends.values()):
        run.fail("a page was said on standard error: %r" % ends)
    if len(settled) < len(procs):
        run.fail("the pages did not settle: %r; standard error: %r" % (
            {side: TILE_STATES.findall(page(side).decode("utf-8")) for side in procs}, ends))
        return
    for when, pages in (("settled", settled), ("last", {side: page(side) for side in procs})):
        masked = {side: page_masked(pages[side], sides[side][2]) for side in procs}
        run.expect_equal("the Windows tool's %s page against the Linux tool's" % when,
                         masked["windows"], masked["linux"])
    print("Wine prefix made in %.1f s, pages settled at %.1f s, ended at %.1f s"
          % (wine.prefix_seconds, settled_at, time.time() - started))


# A stand-in for `update`: tells its steps on the channel, then does what the
# case needs. Arguments: update --port N --baud B [--no-verify] --progress-fd X.
FAKE_CHILD = r"""#!/bin/sh
AT_RISK="Interrupted while an image was being sent: the unit has no working firmware until it is updated again."
port=$3
eval "fd=\${$#}"
say() { echo "$1" >> /dev/fd/$fd; }  # dash takes no descriptor past 9 in >&N
printf 'update of COM%s\n\r  5%%\b\b\b\b 10%%\r\n' $port
say "step checking"
say "fact type TX"
case "$FAKE_MODE:$port" in
  stall:1) exec sleep 600 ;;
  stream:*)
    say "step sending logic"; say "percent 10"; echo $$ > pid-COM$port
    trap 'printf "\r\n%s\r\n" "$AT_RISK"; say "fact state $AT_RISK"; kill $!; exit 130' INT TERM
    sleep 600 & wait ;;
  slow:*) echo "arguments: $*"; sleep 1 ;;
  busy:*) i=0; while [ $i -lt 150 ]; do say "step checking"; say "step sending logic"; i=$((i+1)); sleep 0.01; done ;;
  watch:3|hooks:3|page:3) say "step sending logic"; say "step failed"; exit 1 ;;
  jump:*) [ -e started ] && [ ! -e jumped ] && : > jumped && echo "$JUMP" > "$FAKETIME_TIMESTAMP_FILE" && sleep 1
          : > started ;;
  watch:*|page:2|page:4) say "fact up_to_date true"; say "step done"; exit 0 ;;
  page:1) say "step sending logic"; say "percent 40"; while [ ! -e go-COM1 ]; do sleep 0.1; done ;;
  stretch:*)
    # Streams until the test lets it go; COM2 ends sound when interrupted.
    [ "$port" = 2 ] && trap 'say "step done"; exit 0' INT
    say "step sending logic"
    while [ ! -e go-COM$port ]; do sleep 0.1; done ;;
esac
say "step sending logic"
say "step rebooting"
say "step verifying"
say "fact firmware 1.0.4"
say "step done"
"""


def fake_children(run, mode, stall="2"):
    path = os.path.join(run.dir, "fake-update")
    with open(path, "w") as f:
        f.write(FAKE_CHILD)
    os.chmod(path, 0o755)
    return dict(os.environ, FWUPGRADE_COM_DIR=run.com, FWUPGRADE_FLEET_CHILD=path,
                FWUPGRADE_FLEET_STALL_SECONDS=stall, FAKE_MODE=mode)


def wait_for_lines(proc, text, count):
    seen = b""
    while seen.count(text) < count:
        line = proc.stdout.readline()
        if not line:
            break
        seen += line
    return seen


def wait_for_records(report, done, seconds):
    """Waits up to SECONDS until DONE holds of the report's [(port, result)]."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            with open(report) as f:
                if done([(r["port"], r["result"]) for r in json.load(f)["units"]]):
                    return
        except (OSError, ValueError):  # not written yet
            pass
        time.sleep(0.2)


def terminal_output(master, seconds, done=lambda shown: False):
    """What the terminal shows for SECONDS, or until DONE holds of it."""
    shown, end = b"", time.time() + seconds
    while time.time() < end and not done(shown):
        shown += os.read(master, 65536) if select.select([master], [], [], 0.1)[0] else b""
    return shown


def case_stall_and_interrupts(run):
    """Stand-in children: a hung child is killed after the stall bound while
    the other unit is updated; then, with both units streaming, the first
    interrupt only warns and the second stops both (reported interrupted,
    with the state their children told last, and the command to retry them)."""
    run.start_unit("--ports", "1-2", "--unit", "1:tx:115200", "--unit", "2:tx:115200",
                   max_seconds=120)
    started = time.time()
    done = subprocess.run([run.args.tool, "update-all", "--ports", "1-2", "--report", "stall.json",
                           "--log-dir", "logs"], env=fake_children(run, "stall"), cwd=run.dir,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=e2e.scaled(60))
    run.expect_equal("exit status with a hung unit", str(done.returncode), "1")
    if time.time() - started > e2e.scaled(40):
        run.fail("the hung child held update-all for %.0f s" % (time.time() - started))
    with open(os.path.join(run.dir, "stall.json")) as f:
        records = {r["port"]: r for r in json.load(f)["units"]}
    run.expect_equal("hung unit", (records[1]["result"], records[1]["failed_step"],
                                   records[1]["message"]),
                     ("failed", "checking", "no progress for 2 s: stopped"))
    run.expect_equal("the other unit", records[2]["result"], "updated")
    run.expect_equal("log of the hung unit", run.log_text("update-COM1.log"), "update of COM1\n 10%\n")

    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-2", "--report",
                             "stop.json", "--log-dir", "logs2"], env=fake_children(run, "stream"),
                            cwd=run.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = b""
    while seen.count(b"sending logic") < 2:
        line = proc.stdout.readline()
        if not line:
            break
        seen += line
    proc.send_signal(signal.SIGINT)
    time.sleep(1.5)
    run.expect_equal("running after the first interrupt", proc.poll(), None)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=e2e.scaled(30))
    run.expect_equal("exit status when stopped", str(proc.returncode), "130")
    if b"WARNING: COM1, COM2 being written" not in err:
        run.fail("no warning at the first interrupt: %r" % err)
    with open(os.path.join(run.dir, "stop.json")) as f:
        records = json.load(f)["units"]
    results = [(r["result"], r["failed_step"]) for r in records]
    run.expect_equal("stopped units", results, [("interrupted", "sending logic")] * 2)
    # The unit's state, as its child said it last, in the report and the summary,
    # and the command that tries again exactly these units.
    at_risk = ("Interrupted while an image was being sent: the unit has no working firmware"
               " until it is updated again.")
    run.expect_equal("messages", [r["message"] for r in records], [at_risk] * 2)
    if max(len(line) for line in out.decode().partition("SECONDS  LOG")[2].splitlines()) > 80:
        run.fail("summary wider than 80 columns:\n" + out.decode())
    run.expect_equal("summary lines with the state", out.decode().count(
        "        sending logic: " + at_risk.replace(" has no", " has\n        no") + "\n"), 2)
    if "\nTo try again: TessaranFwTool update-all --ports 1,2\n" not in out.decode():
        run.fail("no retry line in the summary:\n%s" % out.decode())

    # Real children, their log folder full: COM1's log is made but takes
    # nothing, COM2's cannot be made. Both said at once, both updates go on,
    # and the state each interrupt left comes on the channels.
    full = os.path.join(run.dir, "full")
    os.mkdir(full)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k,nr_inodes=3", "tmpfs", full]).returncode:
        return print("no tmpfs mounted: the full log folder is not tried")
    try:
        subprocess.run(["dd", "if=/dev/zero", "of=" + os.path.join(full, "fill")], stderr=subprocess.DEVNULL)
        proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-2", "--report", "full.json",
                                 "--log-dir", "full"], env=dict(os.environ, FWUPGRADE_COM_DIR=run.com),
                                cwd=run.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        wait_for_lines(proc, b"sending logic", 2)
        while proc.poll() is None:
            proc.send_signal(signal.SIGINT)
            time.sleep(1)
        err = proc.communicate(timeout=e2e.scaled(30))[1].decode()
        run.expect_equal("said at once", sorted(err.split("\n")[:2]), [
            "COM%d: its log full/update-COM%d.log is not being written: No space left on device; the "
            "update goes on." % (port, port) for port in (1, 2)])
        with open(os.path.join(run.dir, "full.json")) as f:
            run.expect_equal("states", [(r["message"][:12], r["log"]) for r in json.load(f)["units"]],
                             [("Interrupted ", "full/update-COM1.log"), ("Interrupted ", "")])
    finally:
        subprocess.run(["umount", full])


def case_watch_interrupts(run):
    """Stand-in children under --watch --jobs 2: the first interrupt ends the
    watch, drops the unit still waiting for its turn and, with two units
    streaming, warns as the rule does while they go on; the second stops them."""
    run.start_unit("--ports", "1-3", "--unit", "1:tx:115200", "--unit", "2:tx:115200",
                   "--unit", "3:tx:115200", max_seconds=120)
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-3", "--watch", "--jobs", "2",
                             "--interval", "1", "--report", "watch.json", "--log-dir", "logs"],
                            env=fake_children(run, "stream", stall="60"), cwd=run.dir,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    seen = wait_for_lines(proc, b"sending logic", 2)
    # The third unit waits for its turn without a line of its own: its probe's
    # last question ("%fw -p") on the wire, and a round after it, tell it was found.
    for _ in range(int(e2e.scaled(100))):
        try:
            if {p for _, p, _, e, d in run.wire() if e == "cmd" and "fw -p" in d} == {1, 2, 3}:
                break
        except ValueError:  # a line still being written
            pass
        time.sleep(0.1)
    time.sleep(e2e.scaled(1))
    proc.send_signal(signal.SIGINT)
    time.sleep(1.5)
    run.expect_equal("running after the first interrupt", proc.poll(), None)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=e2e.scaled(30))
    run.expect_equal("exit status when stopped", proc.returncode, 130)
    # Which two ports got the jobs depends on which probes ended first.
    with open(os.path.join(run.dir, "watch.json")) as f:
        records = sorted(json.load(f)["units"], key=lambda r: r["port"])
    streamed = sorted("COM%d" % r["port"] for r in records if r["failed_step"])
    for said in (rb"No longer watching; the updates running on (\S+), (\S+) go on",
                 rb"WARNING: (\S+), (\S+) being written"):
        named = re.search(said, err)
        if named is None or sorted(n.decode() for n in named.groups()) != streamed:
            run.fail("at the first interrupt, %r naming %s: %r" % (said, streamed, err))
    run.expect_equal("records", sorted((r["result"], r["failed_step"], r["message"][:12])
                                       for r in records),
                     [("interrupted", "", "not started:"),
                      ("interrupted", "sending logic", "Interrupted "),
                      ("interrupted", "sending logic", "Interrupted ")])
    run.expect_equal("step lines", seen.count(b"sending logic"), 2)


def case_watch_swap(run):
    """Stand-in children under --watch: COM1's unit swapped on the spot for one of another logic
    version, COM2's after 2.5 s unplugged (longer where the build is slower: the watch sees a unit
    gone by checking the port, a check of a second or more each); COM3's failed unit stays while its
    port is held 12 s."""
    same = "version=1.0.4 XC7A35 1.3 1"
    run.start_unit("--ports", "1-3", "--unit", "1:tx:115200:" + same, "--unit", "2:tx:115200:" + same,
                   "--unit", "3:tx:115200", "--plug", "1:12:tx:115200:version=1.0.4 XC7A35 1.4 1",
                   "--unplug", "2:12", "--plug", "2:%g:tx:115200:%s" % (12 + e2e.scaled(2.5), same),
                   max_seconds=120)
    out = open(os.path.join(run.dir, "out.txt"), "w+b")
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-3", "--watch", "--interval", "1",
                             "--report", "watch.json", "--log-dir", "logs"], env=fake_children(run, "watch"),
                            cwd=run.dir, stdout=out, stderr=subprocess.DEVNULL)
    report = os.path.join(run.dir, "watch.json")
    wait_for_records(report, lambda records: (3, "failed") in records, e2e.scaled(12))
    for _ in range(100):  # the watch's own check may hold the port (TIOCEXCL) a moment
        try:
            held = open(os.path.join(run.com, "COM3"), "rb", buffering=0)
            break
        except OSError:
            time.sleep(0.05)
    fcntl.flock(held, fcntl.LOCK_EX)
    time.sleep(12)
    held.close()
    # COM2's new unit may wait for a probe through all six rates; COM3's, were it
    # taken for a new one, would be recorded within a few seconds.
    released = time.time()
    wait_for_records(report, lambda records: len(records) >= 5 and time.time() > released + e2e.scaled(4),
                     e2e.scaled(14))
    proc.send_signal(signal.SIGINT)
    run.expect_status(proc.wait(timeout=e2e.scaled(30)), 1)
    with open(report) as f:
        records = sorted(json.load(f)["units"], key=lambda r: (r["port"], r["started"]))
    run.expect_equal("records", [(r["port"], r["result"]) for r in records],
                     [(1, "current"), (1, "current"), (2, "current"), (2, "current"), (3, "failed")])
    # The summary: the unit that failed, then the counts; the current ones are in the report.
    out.seek(0)
    summary = out.read().decode("latin-1").split("\nPORT ")[-1].splitlines()[1:]
    run.expect_equal("summary", [line.split()[:3] for line in summary if re.match(r"COM|\d+ units", line)],
                     [["COM3", "TX", "115200"], ["5", "units:", "updated"]])


def case_watch_clock_jump(run):
    """Stand-in children under --watch --jobs 1, libfaketime setting the wall clock back an hour, a minute into
    a day, while the second of three units runs: each log in its start day's folder, durations and history's rate
    on the monotonic clock, history's --since over the record gone back a day; --keep-logs removed only ours past it."""
    day = 20432 * 86400  # 2025-12-10
    dates = {n: time.strftime("%Y-%m-%d", time.gmtime(day + n * 86400)) for n in (-40, -31, -35, -1, 0)}
    for n, name in ((-40, "update-COM1.log"), (-31, "update-COM1.log"), (-35, "notes.txt")):
        os.makedirs(os.path.join(run.dir, "logs", dates[n]))
        open(os.path.join(run.dir, "logs", dates[n], name), "w").close()
    clock, offset = os.path.join(run.dir, "clock"), day + 60 - int(time.time())
    with open(clock, "w") as f:
        f.write("%+d\n" % offset)
    current = ":tx:115200:version=1.0.4 XC7A35 1.3 1"  # checked as the same unit after its stand-in's update
    run.start_unit("--ports", "1-3", *[a for n in "123" for a in ("--unit", n + current)])
    env = dict(fake_children(run, "jump"), JUMP="%+d" % (offset - 3600), FAKETIME_TIMESTAMP_FILE=clock,
               FAKETIME_NO_CACHE="1", FAKETIME_DONT_FAKE_MONOTONIC="1",
               LD_PRELOAD="/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1",  # before ASan's runtime too
               ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-3", "--watch", "--jobs", "1",
                             "--report", "r.json", "--history", "h.jsonl", "--log-dir", "logs"],
                            env=env, cwd=run.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for_records(os.path.join(run.dir, "r.json"), lambda records: len(records) == 3, e2e.scaled(20))
    proc.send_signal(signal.SIGINT)
    run.output = b"".join(proc.communicate(timeout=e2e.scaled(30))).decode()
    run.expect_status(proc.returncode, 0)
    with open(os.path.join(run.dir, "r.json")) as f:
        records = sorted(json.load(f)["units"], key=lambda r: (r["started"][:10], r["finished"]))[::-1]
    run.expect_equal("records", [(r["log"][5:15], r["finished"][:10], r["seconds"] < 30) for r in records],
                     [(dates[0], dates[0], True), (dates[0], dates[-1], True), (dates[-1], dates[-1], True)])
    run.expect_equal("day folders", sorted(os.listdir(os.path.join(run.dir, "logs"))),
                     sorted(dates[n] for n in (-35, -31, -1, 0)))
    if not re.search(r"3 of 3 units updated in 0:[0-5]\d: ", run.output) or "notes.txt, which" not in run.output:
        run.fail("a summary over the monotonic clock and the folder kept said")
    for since, count in ((dates[0], 1), (dates[-1] + "T23:00", 3)):
        shown = subprocess.run([run.args.tool, "history", "--history", "h.jsonl", "--since", since, "--json"],
                               cwd=run.dir, stdout=subprocess.PIPE, check=True).stdout
        run.expect_equal("records since " + since, len(shown.splitlines()), count)
    # Units per hour (table and page) over the monotonic clock's seconds, not the wall's hour; one hour's bar.
    table, page = (subprocess.run([run.args.tool, "history", "--history", "h.jsonl"] + more, cwd=run.dir,
                                  stdout=subprocess.PIPE, check=True).stdout.decode() for more in ([], ["--html", "-"]))
    rate = re.search(r"units per hour ([\d.]+) \(3 of 3 updated in 0:[0-5]\d from", table)
    if not rate or 'id="rate"><b>%s</b>' % rate.group(1) not in page or page.count('<g class="bar"') != 1:
        run.fail("history's rate not over the monotonic clock: %r, %r" % (table[-150:], page.count('class="bar"')))


def case_watch_idle_terminal(run):
    """The live table on a terminal: an idle watch's written at most once a second (it was six
    times); three units changing step 300 times each, at most ten times a second (it was once
    per change), each table within a window of 4 lines, a line telling the units left out."""
    master, slave = os.openpty()
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-3", "--watch", "--interval", "1"],
                            env=dict(os.environ, FWUPGRADE_COM_DIR=run.com, TERM="xterm"), cwd=run.dir,
                            stdin=slave, stdout=slave, stderr=slave)
    # Five seconds from its first table (a slow build starts later); then all
    # it says to its end, which the next run must not take for its own.
    shown = terminal_output(master, e2e.scaled(10), lambda shown: b"\x1b[2KPORT" in shown)
    shown = shown[shown.find(b"\x1b[2KPORT"):] + terminal_output(master, 5)
    proc.send_signal(signal.SIGINT)
    terminal_output(master, e2e.scaled(30), lambda _: proc.poll() is not None)
    run.expect_status(proc.wait(timeout=5), 0)
    terminal_output(master, 0.5)
    if not 1 <= shown.count(b"\x1b[2KPORT") <= 6:
        run.fail("%d tables in 5 s: %r" % (shown.count(b"\x1b[2KPORT"), shown[-300:]))

    run.start_unit("--unit", "1:tx:115200", "--unit", "2:tx:115200", "--unit", "3:tx:115200")
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 4, 80, 0, 0))
    started, shown = time.time(), b""
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-3", "--log-dir", "busy"],
                            env=dict(fake_children(run, "busy"), TERM="xterm"), cwd=run.dir,
                            stdin=slave, stdout=slave, stderr=slave)
    while proc.poll() is None or select.select([master], [], [], 0.2)[0]:
        shown += os.read(master, 65536) if select.select([master], [], [], 0.1)[0] else b""
    tables = shown.split(b"\x1b[2KPORT")[1:]
    if len(tables) > 10.5 * (time.time() - started) + 3 or max(t.count(b"\x1b[2K") + 1 for t in tables) > 3 \
            or b"\x1b[2K... 2 more units: 2 " not in shown:
        run.fail("%d tables in %.1f s, up to %d lines: %r" % (len(tables), time.time() - started,
                 max(t.count(b"\x1b[2K") + 1 for t in tables), tables[-1][:600]))


def case_watch_narrow_terminal(run):
    """On an 80-column terminal the watch's table, a label typed on it included, keeps every line within
    79 columns (a line that wrapped broke the redraw in place)."""
    import fcntl, struct, termios
    run.start_unit("--ports", "1-2", "--unit", "1:tx:115200:version=1.0.4 XC7A35 1.3 1")
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-2", "--watch", "--interval", "1", "--labels"],
                            env=dict(fake_children(run, "watch"), TERM="xterm"), cwd=run.dir,
                            stdin=slave, stdout=slave, stderr=slave)
    os.write(master, b"SN-2026-000141\n")
    shown = terminal_output(master, e2e.scaled(8), lambda shown: re.search(rb"current.*SN-2026-000141\r", shown))
    proc.send_signal(signal.SIGINT)
    shown += terminal_output(master, e2e.scaled(30), lambda _: proc.poll() is not None)
    run.expect_status(proc.wait(timeout=5), 0)
    lines = re.sub(rb"\x1b\[\d*[A-Za-z]", b"", shown).decode().split("\r\n")
    if max(map(len, lines)) > 79 or not any("current" in l and l.endswith("SN-2026-000141") for l in lines):
        run.fail("lines wider than 79 columns, or no label: %r" % lines)


def case_watch_slot(run):
    """Stand-in children under --watch --ports usb:1-1.4 (a hub) over a fake sysfs: the adapter at 1-1.4.1
    plugged back as another tty is the same slot; one plugged in later at 1-1.4.2 is watched too."""
    import shutil
    same = ":tx:115200:version=1.0.4 XC7A35 1.3 1"
    run.start_unit("--ports", "1-3", *[a for n in "123" for a in ("--unit", n + same)])
    sysfs = os.path.join(run.dir, "sys")
    ttys = os.path.join(sysfs, "class", "tty")
    os.makedirs(os.path.join(sysfs, "bus", "usb-serial"))

    def plug(location, com):  # the adapter at LOCATION shows as COMn's pty; com 0: pulled out
        tty = os.path.join(sysfs, "devices", location, location + ":1.0", "ttyUSB0")
        if not os.path.isdir(tty):
            os.makedirs(tty)
            os.symlink(os.path.join(sysfs, "bus", "usb-serial"), os.path.join(tty, "subsystem"))
        for name in os.listdir(ttys):
            if os.readlink(os.path.join(ttys, name, "device")) == tty:
                shutil.rmtree(os.path.join(ttys, name))
        if com:
            name = os.path.join(ttys, os.path.realpath(os.path.join(run.com, "COM%d" % com))[5:].replace("/", "!"))
            os.makedirs(name)
            os.symlink(tty, os.path.join(name, "device"))

    os.makedirs(ttys)
    plug("1-1.4.1", 1)
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "usb:1-1.4", "--watch", "--interval", "1",
                             "--report", "slot.json", "--log-dir", "logs"], cwd=run.dir, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL,
                            env=dict(fake_children(run, "watch"), FWUPGRADE_SYSFS_ROOT=sysfs))
    for pause, location, com in ((4, "1-1.4.1", 0), (3, "1-1.4.1", 2), (0, "1-1.4.2", 3), (5, None, 0)):
        time.sleep(e2e.scaled(pause))
        location and plug(location, com)
    proc.send_signal(signal.SIGINT)
    run.expect_status(proc.wait(timeout=e2e.scaled(30)), 0)
    with open(os.path.join(run.dir, "slot.json")) as f:
        got = sorted((r["address"], r["port"], r["result"], os.path.basename(r["log"])) for r in json.load(f)["units"])
    run.expect_equal("records", got, [("usb:1-1.4.1", 1, "current", "update-usb-1-1.4.1.log"),
                                      ("usb:1-1.4.1", 2, "current", "update-usb-1-1.4.1-2.log"),
                                      ("usb:1-1.4.2", 3, "current", "update-usb-1-1.4.2.log")])


def case_watch_labels(run):
    """--labels fed through a pipe: COM1 takes the label written first; COM2 waits (needs label), is
    unplugged and leaves the queue as it was; of COM3 and COM4 the first found takes the next label,
    the other waits past the end of the input and is reported not started at Ctrl+C."""
    unit = ":tx:115200:version=1.0.4 XC7A35 1.3 1"
    later = e2e.scaled(2) - 2  # COM2 comes once COM1 has taken its label, also on a slow build
    run.start_unit("--ports", "1-4", "--unit", "1" + unit, "--plug", "2:%g%s" % (2 + later, unit),
                   "--unplug", "2:%g" % (20 + later), "--plug", "3:%g%s" % (22 + later, unit),
                   "--plug", "4:%g%s" % (22 + later, unit), max_seconds=120)
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-4", "--watch", "--interval", "1",
                             "--labels", "--report", "labels.json", "--log-dir", "logs"], cwd=run.dir,
                            env=fake_children(run, "watch"), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    proc.stdin.write(b" SN-1\r\n\x1b[2J\n")
    proc.stdin.flush()
    out = wait_for_lines(proc, b"needs label", 1)
    out += wait_for_lines(proc, b"waiting\n", 1)  # COM2 gone
    out += wait_for_lines(proc, b"needs label", 2)
    proc.stdin.write(b"SN-3\n")
    proc.stdin.close()
    out += wait_for_lines(proc, b"SN-3\n", 1)
    time.sleep(e2e.scaled(2))
    proc.send_signal(signal.SIGINT)
    out, err = (out + proc.stdout.read()).decode(), proc.stderr.read()  # the lines read ahead kept
    proc.wait(timeout=e2e.scaled(30))
    waited = re.findall(r"^(COM\d) .* needs label$", out, re.M)
    run.expect_equal("ports that waited", sorted(waited), ["COM2", "COM3", "COM4"])
    run.expect_status(proc.returncode, 1 if waited[1] == "COM3" else 130)  # COM3's stand-in fails
    with open(os.path.join(run.dir, "labels.json")) as f:
        got = sorted((r["address"], r["label"], r["message"][:12] == "not started:")
                     for r in json.load(f)["units"])
    run.expect_equal("records", got, sorted([("COM1", "SN-1", False), (waited[1], "SN-3", False),
                                             (waited[2], "", True)]))
    for said in ('label refused: "\\x1b[2J" holds a character other than printable ASCII',
                 "Standard input has ended: no more labels."):
        if said not in err.decode():
            run.fail("not said: %r in %r" % (said, err))


# What the page shows, read in the browser: each tile's port, state, text and
# its state's letter size; the counts; the label queue.
PAGE_SHOWN = """({tiles: [...document.querySelectorAll('.tile')].map(t => [t.dataset.port, t.dataset.state,
    t.innerText, parseFloat(getComputedStyle(t.querySelector('.state')).fontSize)]),
  counts: Object.fromEntries([...document.querySelectorAll('.count')].map(c =>
    [c.dataset.count, c.querySelector('b').innerText])),
  columns: new Set([...document.querySelectorAll('.tile')].map(t => t.offsetLeft)).size})"""


def case_watch_page(run):
    """--watch --labels --page with stand-in children: COM1 updating (held at 40 % of the logic image),
    COM2 current, COM3 failed, COM4 plugged in after the three labels were taken (needs label). The page
    read in a real browser, as a file and from a web server: each tile's state, the labels as their
    characters, the counts, the state's size on a 1920 x 1080 screen, the tiles in one column on a
    phone; then COM1 let go, the page left open shows it updated after reloading itself."""
    unit = ":tx:115200:version=1.0.4 XC7A35 1.3 1"
    run.start_unit("--ports", "1-4", "--unit", "1" + unit, "--unit", "2" + unit, "--unit", "3" + unit,
                   "--plug", "4:%g%s" % (e2e.scaled(4), unit), max_seconds=60)
    labels = ["<script>alert(1)</script>", "\"><img src=x onerror=alert(1)>", "SN-3"]
    page = os.path.join(run.dir, "site", "station.html")
    os.mkdir(os.path.dirname(page))
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-4", "--watch", "--interval", "1",
                             "--labels", "--page", page, "--log-dir", "logs"], cwd=run.dir,
                            env=fake_children(run, "page", stall="60"), stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    proc.stdin.write(("\n".join(labels) + "\n").encode())
    proc.stdin.flush()
    expected = {"COM1": ("sending-logic", "40 %"), "COM2": ("current", None), "COM3": ("failed", "sending logic"),
                "COM4": ("needs-label", None)}
    settled = lambda shown: [t[1] for t in shown["tiles"]] == [expected[p][0] for p in sorted(expected)]
    with browser.Server(os.path.dirname(page)) as server, browser.Browser() as b:
        for url in (browser.file_url(page), server.url("station.html")):
            b.open(url)
            shown, load = b.wait_for(PAGE_SHOWN, settled, e2e.scaled(20))
            if shown is None:
                run.fail("%s never showed %r: %r" % (url, expected, b.evaluate(PAGE_SHOWN)[0]))
                break
            run.expect_equal("counts", shown["counts"], {"updated": "0", "current": "1", "failed": "1",
                                                         "interrupted": "0", "per-hour": "0"})
            for port, state, text, size in shown["tiles"]:
                want = expected[port][1]
                if want and want not in text or size < 32:
                    run.fail("tile %s %s: %r in %g px" % (port, state, text, size))
            run.expect_equal("labels shown", sorted(l for t in shown["tiles"] for l in labels if l in t[2]),
                             sorted(labels))
        if shown is not None:
            b.call("Emulation.setDeviceMetricsOverride", {"width": 390, "height": 844, "deviceScaleFactor": 1,
                                                          "mobile": True})
            run.expect_equal("columns on a phone", b.evaluate(PAGE_SHOWN)[0]["columns"], 1)
            open(os.path.join(run.dir, "go-COM1"), "w").close()
            shown, reloaded = b.wait_for(PAGE_SHOWN, lambda s: s["tiles"][0][1] == "updated", e2e.scaled(10))
            run.expect_equal("COM1 updated, the page reloaded", (shown or {}).get("counts", {}).get("updated"), "1")
            if reloaded == load or server.requests("station.html") < 2:
                run.fail("the page did not reload itself: %d requests" % server.requests("station.html"))
    proc.send_signal(signal.SIGINT)
    err = proc.communicate(timeout=e2e.scaled(30))[1].decode()
    run.expect_status(proc.returncode, 1)
    with open(page) as f:
        if "update-all has ended" not in f.read():
            run.fail("the last page does not say the run ended")
    if "page" in err:
        run.fail("the page was said on standard error: " + err)


def case_faults(run):
    """Stand-in children under the faults a bench meets: an interrupt rule
    re-armed for each stretch at risk, a child that ends sound after the stop
    request, signals ignored at start, a closed standard output, a parent
    killed outright, more ports than the soft limit on open files allows for."""
    run.start_unit("--ports", "1-2,40", "--unit", "1:tx:115200", "--unit", "2:tx:115200",
                   "--unit", "40:tx:115200", max_seconds=120)
    tool = [run.args.tool, "update-all", "--ports", "1-2"]

    # 0. An interrupt while the ports are probed: each probe closes its port
    # and removes its lock file.
    locks = os.path.join(run.dir, "locks")
    os.mkdir(locks)
    proc = subprocess.Popen(tool + ["--log-dir", "logs0"], cwd=run.dir,
                            env=dict(fake_children(run, "slow"), FWUPGRADE_LOCK_DIRS=locks),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    deadline = time.time() + e2e.scaled(10)
    while time.time() < deadline and len(os.listdir(locks)) < 2:
        time.sleep(0.05)
    run.expect_equal("ports locked while probed", len(os.listdir(locks)), 2)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=e2e.scaled(30))
    run.expect_equal("exit status of an interrupted search", proc.returncode, 130)
    run.expect_equal("what it said", err.decode(), "TessaranFwTool: interrupted while looking for units\n")
    run.expect_equal("lock files left", os.listdir(locks), [])

    # 1. One unit at a time. COM1 streams: warned, goes on, finishes. COM2
    # then streams: its own stretch warns again, and only the next interrupt
    # stops it; COM2 ends sound (exit 0) after that request: updated.
    proc = subprocess.Popen(tool + ["--jobs", "1", "--report", "stretch.json", "--log-dir", "logs1"],
                            env=fake_children(run, "stretch", stall="60"), cwd=run.dir,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for_lines(proc, b"sending logic", 1)
    proc.send_signal(signal.SIGINT)
    time.sleep(1)
    open(os.path.join(run.dir, "go-COM1"), "w").close()
    wait_for_lines(proc, b"sending logic", 1)  # COM2's stretch
    proc.send_signal(signal.SIGINT)
    time.sleep(1.5)
    run.expect_equal("running after a first interrupt in a new stretch", proc.poll(), None)
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=e2e.scaled(30))
    run.expect_equal("warnings, one per stretch",
                     re.findall(r"WARNING: (COM\d) being written", err.decode()), ["COM1", "COM2"])
    run.expect_equal("exit status, both sound", proc.returncode, 0)
    with open(os.path.join(run.dir, "stretch.json")) as f:
        results = [(r["port"], r["result"]) for r in json.load(f)["units"]]
    run.expect_equal("results", results, [(1, "updated"), (2, "updated")])

    # 2. Started with SIGINT and SIGHUP ignored (a background job, nohup):
    # they stay ignored; SIGTERM still counts.
    def ignore():
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        signal.signal(signal.SIGHUP, signal.SIG_IGN)
    proc = subprocess.Popen(tool + ["--log-dir", "logs2"], env=fake_children(run, "stream", stall="60"),
                            cwd=run.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            preexec_fn=ignore)
    wait_for_lines(proc, b"sending logic", 2)
    for sig in (signal.SIGINT, signal.SIGHUP, signal.SIGINT):
        proc.send_signal(sig)
        time.sleep(0.5)
    run.expect_equal("running after ignored signals", proc.poll(), None)
    proc.send_signal(signal.SIGTERM)
    time.sleep(0.5)
    proc.send_signal(signal.SIGTERM)
    out, err = proc.communicate(timeout=e2e.scaled(30))
    run.expect_equal("exit status after SIGTERM twice", proc.returncode, 130)
    run.expect_equal("warnings with signals ignored", err.decode().count("WARNING"), 1)

    # 3. Standard output closed at once (`| head`): update-all goes on, and
    # the earlier report stays whole until the new one replaces it.
    earlier = '{"units": ["earlier"]}\n'
    report = os.path.join(run.dir, "r.json")
    with open(report, "w") as f:
        f.write(earlier)
    proc = subprocess.Popen(tool + ["--report", "r.json", "--log-dir", "logs3", "--trace", "traces"],
                            env=fake_children(run, "slow"), cwd=run.dir,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    time.sleep(0.5)
    with open(report) as f:
        run.expect_equal("earlier report while the run goes on", f.read(), earlier)
    proc.wait(timeout=e2e.scaled(30))
    run.expect_equal("exit status with stdout closed", proc.returncode, 0)
    with open(report) as f:
        run.expect_equal("report after", [r["result"] for r in json.load(f)["units"]],
                         ["updated", "updated"])
    arguments = open(os.path.join(run.dir, "logs3", "update-COM1.log")).read()
    if "--trace traces/update-COM1.trace " not in arguments:
        run.fail("COM1's child was not given its trace beside its log: %r" % arguments)
    run.expect_equal("trace files made new", sorted(os.listdir(os.path.join(run.dir, "traces"))),
                     ["update-COM1.trace", "update-COM2.trace"])
    run.expect_equal("no temporary file left", sorted(n for n in os.listdir(run.dir) if "r.json" in n),
                     ["r.json"])

    # 4. A second run into the same log folder, with a link planted where its
    # COM2 log would go and FWUPGRADE_TRACE naming one file: logs are new files
    # (the earlier ones kept, the link neither followed nor replaced), and each
    # child traces to a file of its own.
    logs = os.path.join(run.dir, "logs3")
    victim = os.path.join(run.dir, "victim")
    with open(victim, "w") as f:
        f.write("kept")
    os.symlink(victim, os.path.join(logs, "update-COM2-2.log"))
    earlier_log = open(os.path.join(logs, "update-COM1.log")).read()
    done = subprocess.run(tool + ["--log-dir", "logs3", "--report", "again.json"], cwd=run.dir,
                          env=dict(fake_children(run, "slow"), FWUPGRADE_TRACE="wire.txt"),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=e2e.scaled(60))
    run.expect_equal("exit status of the second run", done.returncode, 0)
    with open(os.path.join(run.dir, "again.json")) as f:
        run.expect_equal("logs of the second run", [r["log"] for r in json.load(f)["units"]],
                         ["logs3/update-COM1-2.log", "logs3/update-COM2-3.log"])
    run.expect_equal("the earlier log", open(os.path.join(logs, "update-COM1.log")).read(), earlier_log)
    run.expect_equal("the link's target", open(victim).read(), "kept")
    arguments = open(os.path.join(logs, "update-COM2-3.log")).read()
    if "--trace wire-COM2.txt " not in arguments:
        run.fail("COM2's child was not given a trace of its own: %r" % arguments)
    # A folder already holding COM2's logs up to -999: the next number, no ceiling.
    for number in range(4, 1000):
        open(os.path.join(logs, "update-COM2-%d.log" % number), "w").close()
    done = subprocess.run(tool + ["--log-dir", "logs3", "--report", "many.json"], cwd=run.dir,
                          env=fake_children(run, "slow"), stdout=subprocess.PIPE, timeout=e2e.scaled(60))
    with open(os.path.join(run.dir, "many.json")) as f:
        run.expect_equal("logs past 999", [(r["result"], r["log"]) for r in json.load(f)["units"]],
                         [("updated", "logs3/update-COM1-3.log"), ("updated", "logs3/update-COM2-1000.log")])

    # 5. The parent killed outright: its children do not stream on unattended.
    for name in ("pid-COM1", "pid-COM2"):
        if os.path.exists(os.path.join(run.dir, name)):
            os.unlink(os.path.join(run.dir, name))
    proc = subprocess.Popen(tool + ["--log-dir", "logs4"], env=fake_children(run, "stream", stall="60"),
                            cwd=run.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for_lines(proc, b"sending logic", 2)
    time.sleep(e2e.scaled(0.3))
    pids = []
    for name in ("pid-COM1", "pid-COM2"):
        with open(os.path.join(run.dir, name)) as f:
            pids.append(int(f.read()))
    proc.kill()
    proc.communicate(timeout=e2e.scaled(30))
    deadline = time.time() + e2e.scaled(5)
    while time.time() < deadline and not all(e2e.process_gone(pid) for pid in pids):
        time.sleep(0.1)
    left = [pid for pid in pids if not e2e.process_gone(pid)]
    for pid in left:
        os.killpg(pid, signal.SIGKILL)  # each child leads a group of its own
    run.expect_equal("children left after the parent was killed", left, [])

    # 6. 40 ports under a soft limit of 24 open files: raised to the hard one,
    # so the unit on COM40 is found too (the ports between are absent).
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    done = subprocess.run(tool[:-1] + ["1-40", "--log-dir", "logs5", "--report", "nofile.json"],
                          env=fake_children(run, "slow"), cwd=run.dir, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=e2e.scaled(60),
                          preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (24, hard)))
    with open(os.path.join(run.dir, "nofile.json")) as f:
        run.expect_equal("units under a low open-file limit",
                         [(r["port"], r["result"]) for r in json.load(f)["units"]],
                         [(1, "updated"), (2, "updated"), (40, "updated")])
    # The summary's units per hour: the units updated over the run's time, its search included.
    m = re.search(rb"^3 of 3 units updated in (\d+):(\d\d): (\d+) updated units per hour$",
                  done.stdout, re.M)
    seconds = m and int(m[1]) * 60 + int(m[2])
    if not m or not 3 * 3600 / (seconds + 1) <= int(m[3]) <= 3 * 3600 / max(seconds, 1) + 1:
        run.fail("no units per hour of 3 units in the summary:\n" + done.stdout.decode())


def case_hooks(run):
    """Hooks drive a light per unit (a file per result); COM1's on-result hook
    hangs: stopped at its 30 s bound (124, said in its log, its own child gone
    too), COM1's result unchanged, and COM2 and COM3, one at a time, on time.
    COM2's floods its log: the log takes its first MiB and a count of the rest."""
    run.start_unit("--ports", "1-3", "--unit", "1:tx:115200", "--unit", "2:tx:115200",
                   "--unit", "3:tx:115200", max_seconds=120)
    started = time.time()
    done = subprocess.run(
        [run.args.tool, "update-all", "--ports", "1-3", "--jobs", "1", "--report", "r.json",
         "--log-dir", "logs", "--on-start", "echo $FWUPGRADE_EVENT >> start-$FWUPGRADE_PORT",
         "--on-result", "echo $FWUPGRADE_RESULT > light-$FWUPGRADE_PORT; [ $FWUPGRADE_PORT != 1 ]"
         " || { sleep 600 & echo $! > hang-pid; wait; }; [ $FWUPGRADE_PORT != 2 ] || yes | head -c 50000000"],
        env=fake_children(run, "hooks"), cwd=run.dir, capture_output=True, timeout=e2e.scaled(60))
    took = time.time() - started
    run.expect_equal("exit status, summary", (done.returncode, done.stdout.decode().count(
        "        on-result hook: exit status 124\n")), (1, 1))
    with open(os.path.join(run.dir, "r.json")) as f:
        records = json.load(f)["units"]
    run.expect_equal("results and hooks", [(r["result"], r["hook_status"], r["start_hook_status"])
                                           for r in records],
                     [("updated", 124, 0), ("updated", 0, 0), ("failed", 0, 0)])
    run.expect_equal("lights", [open(os.path.join(run.dir, "light-%d" % p)).read() for p in (1, 2, 3)],
                     ["updated\n", "updated\n", "failed\n"])
    run.expect_equal("on-start once a unit", open(os.path.join(run.dir, "start-3")).read(), "start\n")
    stamp = lambda text: time.mktime(time.strptime(text, "%Y-%m-%dT%H:%M:%SZ"))
    if not 30 <= took < 30 + e2e.scaled(10) or \
            stamp(records[2]["finished"]) - stamp(records[0]["started"]) > e2e.scaled(10):
        run.fail("took %.1f s; units from %s to %s" % (took, records[0]["started"], records[2]["finished"]))
    if "TessaranFwTool: on-result hook still running after 30 s: stopped (status 124)\n" \
            not in run.log_text("update-COM1.log"):
        run.fail("no stop line in COM1's log: %r" % run.log_text("update-COM1.log"))
    run.expect_equal("the hook's own child gone", e2e.process_gone(int(open(os.path.join(
        run.dir, "hang-pid")).read())), True)
    flooded = run.log_text("update-COM2.log")
    if len(flooded) > (1 << 21) or not flooded.endswith(
            "y\n\nTessaranFwTool: on-result hook output past 1 MiB: 48951424 bytes left out\n"):
        run.fail("COM2's log of %d bytes ends %r" % (len(flooded), flooded[-120:]))

    # Units stopped by the interrupt rule run their on-result hooks; one more
    # interrupt stops those at once.
    proc = subprocess.Popen([run.args.tool, "update-all", "--ports", "1-2", "--report", "stop.json",
                             "--log-dir", "logs2", "--on-result", "sleep 600"],
                            env=fake_children(run, "stream"), cwd=run.dir,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    wait_for_lines(proc, b"sending logic", 2)
    for pause in (1, 2):
        proc.send_signal(signal.SIGINT)
        time.sleep(pause)
    run.expect_equal("running while the hooks run", proc.poll(), None)
    started = time.time()
    proc.send_signal(signal.SIGINT)
    err = proc.communicate(timeout=e2e.scaled(30))[1].decode()
    with open(os.path.join(run.dir, "stop.json")) as f:
        run.expect_equal("stopped", (proc.returncode, [(r["result"], r["hook_status"]) for r in json.load(f)["units"]]),
                         (130, [("interrupted", 130)] * 2))
    if time.time() - started > e2e.scaled(3) or "Stopped the hooks running for COM1, COM2" not in err:
        run.fail("hooks not stopped at once (%.1f s): %s" % (time.time() - started, err))


def case_history(run):
    """Two update-all runs appending to one history at once, after a writer killed mid-line, and a third
    run killed (SIGKILL) while its units stream: `history` reads every record whole, the torn lines counted."""
    run.start_unit("--ports", "1-6", *[a for n in "123456" for a in ("--unit", n + ":tx:115200")])
    history = os.path.join(run.dir, "h", "history.jsonl")
    os.mkdir(os.path.dirname(history))
    with open(history, "w") as f:
        f.write('{"port":9,"result":"upda')  # what a writer killed mid-line leaves
    envs = {mode: fake_children(run, mode) for mode in ("plain", "stream")}
    runs = [subprocess.Popen([run.args.tool, "update-all", "--ports", ports, "--history", history, "--log-dir",
                              "logs" + ports[0]] + hook, env=envs[mode], cwd=run.dir, stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT) for ports, mode, hook in (
                                 ("1-2", "plain", ["--on-result", "exit 3"]), ("3-4", "plain", []), ("5-6", "stream", []))]
    wait_for_lines(runs[2], b"sending logic", 2)
    runs[2].kill()
    run.expect_equal("exit statuses", [proc.wait(timeout=e2e.scaled(60)) for proc in runs], [0, 0, -signal.SIGKILL])
    with open(history, "a") as f:
        f.write('{"port":7,')  # and one more torn line, last
    got = subprocess.run([run.args.tool, "history", "--history", history], cwd=run.dir, capture_output=True,
                         text=True, timeout=e2e.scaled(30))
    run.expect_equal("history's exit status", got.returncode, 0)
    run.expect_equal("notes", got.stderr, "TessaranFwTool: history: line 1 is not a record (skipped)\n"
                     "TessaranFwTool: history: line 6 is torn (it has no line end) (skipped)\n")
    rows = got.stdout.splitlines()
    run.expect_equal("slots and results", sorted(row.split()[2:6:3] for row in rows[1:5]),
                     [["COM%d" % n, "updated"] for n in range(1, 5)])
    run.expect_equal("footer", [rows[6], rows[8]], ["4 units: updated 4, current 0, failed 0, interrupted 0",
                                                  "2 lines skipped: 1 not a record, 0 too long, 1 torn"])
    records = [json.loads(line) for line in open(history).read().splitlines()[1:5]]
    run.expect_equal("keys", [list(r)[:len(KEYS)] for r in records], [KEYS] * 4)
    run.expect_equal("station", {(r["operator"], r["slot"][:3], r["release"]) for r in records},
                     {(pwd.getpwuid(os.getuid()).pw_name, "COM", "1.0.4")})
    run.expect_equal("hook statuses", sorted((r["address"], r["hook_status"]) for r in records),
                     [("COM1", 3), ("COM2", 3), ("COM3", None), ("COM4", None)])


def case_watch_restart(run):
    """A power cut under --watch: the watch killed outright once COM1's unit is recorded, the report's
    end then torn as a cut in the middle of the next record's write leaves it. Started again on the
    same report, history and log folder, the watch keeps the first record, repairs the end, says the
    report is continued, and records the unit still plugged in (current) after it, in a log of its own;
    meanwhile a second watch, and a run without --watch, on its report are refused (exit status 2)."""
    run.start_unit("--ports", "1", "--unit", "1:tx:115200", max_seconds=90)
    report, history = os.path.join(run.dir, "watch.json"), os.path.join(run.dir, "history.jsonl")
    command = [run.args.tool, "update-all", "--ports", "1", "--watch", "--interval", "1",
               "--report", "watch.json", "--history", history, "--log-dir", "logs"]
    proc = subprocess.Popen(command, env=fake_children(run, "watch"), cwd=run.dir,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    wait_for_records(report, lambda records: len(records) == 1, e2e.scaled(20))
    proc.kill()
    proc.wait()
    with open(report) as f:
        first = json.load(f)["units"]
    with open(report, "r+b") as f:
        f.seek(-len(b"\n  ]\n}\n"), os.SEEK_END)
        f.truncate()
        f.write(b',\n    {\n      "port": 1,\n      "dev')
    proc = subprocess.Popen(command, env=fake_children(run, "watch"), cwd=run.dir,
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    wait_for_records(report, lambda records: len(records) == 2, e2e.scaled(20))
    for others in (command, command[:4] + command[7:]):  # a second watch, a run without --watch
        other = subprocess.run(others, env=fake_children(run, "watch"), cwd=run.dir, capture_output=True,
                               timeout=e2e.scaled(10))
        run.expect_equal("refused", (other.returncode, b"a watch is writing" in other.stderr), (2, True))
    proc.send_signal(signal.SIGINT)
    out = proc.communicate(timeout=e2e.scaled(30))[0].decode("latin-1")
    run.expect_status(proc.returncode, 0)
    with open(report) as f:
        records = json.load(f)["units"]
    run.expect_equal("records", [(r["port"], r["result"]) for r in records], [(1, "current")] * 2)
    run.expect_equal("the first record as it was", records[:1], first)
    with open(history) as f:
        run.expect_equal("history", [json.loads(line)["result"] for line in f], ["current"] * 2)
    run.expect_equal("two logs", records[1]["log"] != first[0]["log"] and
                     os.path.exists(os.path.join(run.dir, first[0]["log"])), True)
    if "Report watch.json continued" not in out:
        run.fail("the second start did not say the report is continued: %r" % out)


CASES = {
    "hooks": case_hooks,
    "faults": case_faults,
    "history": case_history,
    "stall-and-interrupts": case_stall_and_interrupts,
    "three-units": case_three_units,
    "unplug": case_unplug,
    "watch": case_watch,
    "watch-interrupts": case_watch_interrupts,
    "watch-swap": case_watch_swap,
    "watch-restart": case_watch_restart,
    "watch-idle-terminal": case_watch_idle_terminal,
    "watch-slot": case_watch_slot,
    "watch-labels": case_watch_labels,
    "watch-narrow-terminal": case_watch_narrow_terminal,
    "watch-clock-jump": case_watch_clock_jump,
    "watch-page": case_watch_page,
    "wine-two-units": case_wine_two_units,
    "wine-watch-page": case_wine_watch_page,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater")
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--windows-build")
    parser.add_argument("--wine-run")
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    e2e.default_interrupt()
    for name in ("tool", "unitsim", "wine_run", "windows_build"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    if args.windows_build:
        sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "windows"))
        args.windows_tool = os.path.join(args.windows_build, "tools", "TessaranFwTool",
                                         "TessaranFwTool.exe")
    run = FleetRun(args, "fleet-" + args.case)
    try:
        CASES[args.case](run)
    except Exception as error:  # report, then still clean up the simulator
        import traceback
        traceback.print_exc()
        run.fail("%s: %s" % (type(error).__name__, error))
    status = run.finish()
    print("fleet %s: %s" % (args.case, "FAILED" if status else "passed"))
    return status


if __name__ == "__main__":
    sys.exit(main())
