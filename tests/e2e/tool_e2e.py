#!/usr/bin/env python3
"""End-to-end runs of TessaranFwTool's port commands and of the wire trace
against the simulated unit, with e2e.py's runner and console texts.

    tool_e2e.py --updater PATH --tool PATH --unitsim PATH CASE
"""
import fcntl
import html.parser
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402

READ_ONLY = {"%%%help -c version", "%%%fw -v", "%%%fw -p"}
VERIFY_LINE = "\r\nVerifying firmware version .............  "


class ToolRun(e2e.Run):
    def run_tool(self, *arguments, env=None, timeout=400):
        """Runs the tool with its stdin an open pipe nobody writes to: a key
        wait would hang until the timeout. Returns (stdout, stderr, status)."""
        env = dict(os.environ, FWUPGRADE_COM_DIR=self.com, **(env or {}))
        started = time.time()
        proc = subprocess.Popen([self.args.tool] + list(arguments), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                cwd=self.dir)
        try:
            out, err = proc.communicate(timeout=e2e.scaled(timeout))
        finally:
            if proc.poll() is None:
                proc.kill()
        self.elapsed = time.time() - started
        return out.decode("latin-1"), err.decode("latin-1"), proc.returncode

    def run_traced_updater(self, trace):
        env = dict(os.environ, FWUPGRADE_COM_DIR=self.com, FWUPGRADE_TRACE=trace)
        started = time.time()
        done = subprocess.run([self.args.updater], input=b"", stdout=subprocess.PIPE, env=env,
                              cwd=self.dir, timeout=e2e.scaled(400))
        self.elapsed = time.time() - started
        return done.stdout.decode("latin-1"), done.returncode


def read_trace(path):
    with open(path, encoding="latin-1") as f:
        return [line.rstrip("\n").split(" ", 3)[3] for line in f]


def trace_probes(records):
    """(port, baud) of every detection probe written, from the trace alone."""
    probes, port, baud = [], None, None
    for record in records:
        m = re.match(r"open COM(\d+) \S+ ok", record)
        if m:
            port = int(m.group(1))
        m = re.search(r"baud (\d+) cts", record)
        if m:
            baud = int(m.group(1))
        if record.startswith("write ") and record.endswith("|%%%help -c version..|"):
            probes.append((port, baud))
    return probes


def trace_writes(records):
    """The text of every write of at most 256 bytes."""
    return [m.group(1) for m in (re.search(r"\|(.*)\|$", r) for r in records
                                 if r.startswith("write ")) if m]


def case_traced_update(run):
    """The updater's tx-success run with FWUPGRADE_TRACE: the console is the
    untraced transcript byte for byte; the trace holds the release, every probe
    with its rate, the announces, the image chunks by their ends and the status."""
    fpga, mcu = run.image(1), run.image(0)
    run.start_unit("--ports", "1-2", "--unit-port", "2", "--type", "tx", "--baud", "9600")
    trace = os.path.join(run.dir, "trace.txt")
    out, status = run.run_traced_updater(trace)
    run.expect_equal("transcript", out, e2e.header() + e2e.found(2, 9600)
                     + e2e.update_success(e2e.VERSION, False, len(fpga), len(mcu)))
    run.expect_equal("exit status", status, 0)
    records = read_trace(trace)
    run.expect_equal("first records", [r.split(" ")[0] for r in records[:2]], ["start", "release"])
    run.expect_equal("release images", len([r for r in records if r.startswith("image ")]), 3)
    expected_probes = ([(1, rate) for rate in e2e.RATES for _ in range(2)]
                       + [(2, 115200), (2, 115200), (2, 9600)])
    run.expect_equal("probes in the trace", trace_probes(records), expected_probes)
    writes = trace_writes(records)
    announces = [w for w in writes if w.startswith("%%%fw -l ") or w.startswith("%%%fw -h ")]
    run.expect_equal("announces", announces,
                     ["%%%%%%fw -l %d %d.." % ((-sum(fpga)) % 2**32, len(fpga)),
                      "%%%%%%fw -h %d %d.." % ((-sum(mcu)) % 2**32, len(mcu))])
    chunks = [r for r in records if r.startswith("write 10240 of 10240 bytes")]
    run.expect_equal("image chunks shown by their ends",
                     bool(chunks) and all(" first " in c and " last " in c for c in chunks), True)
    run.expect_equal("last record", records[-1], "exit status 0")
    print("trace: %d records, %d bytes" % (len(records), os.path.getsize(trace)))


def case_ports(run):
    """ports: free, busy (another program's lock) and absent ports; a traced
    probe of the busy port shows the system's reason and finds no unit."""
    run.start_unit("--ports", "1-2,40", "--unit-port", "40", "--type", "rx", "--baud", "57600")
    os.symlink(os.path.join(run.dir, "no-such-device"), os.path.join(run.com, "COM3"))
    holder = os.open(os.path.join(run.com, "COM1"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        # The ports the system has (here the folder's), then the updater's table.
        for options, expected in ((["--json"], [(1, "busy"), (2, "free"), (40, "free")]),
                                  (["--all", "--json"], [(1, "busy"), (2, "free")]
                                   + [(n, "absent") for n in range(3, 33)])):
            out, err, status = run.run_tool("ports", *options)
            run.expect_equal("ports status", status, 0)
            ports = json.loads(out)
            run.expect_equal("states", [(p["port"], p["state"]) for p in ports], expected)
        out, _, _ = run.run_tool("ports")
        run.expect_equal("header and rows", [(line[:14], line[14:15] == "/") for line in out.splitlines()],
                         [("PORT   STATE  ", False), ("COM1   busy   ", True), ("COM2   free   ", True),
                          ("COM40  free   ", True)])
        # COM40's pty as sysfs would show a USB adapter's port: its slot in ports and probe, and
        # the unit on it found beyond the updater's table, or by its slot.
        sysfs, pty = os.path.join(run.dir, "sys"), os.path.realpath(os.path.join(run.com, "COM40"))
        usb = os.path.join(sysfs, "devices", "1-1.4")
        tty = os.path.join(usb, "1-1.4:1.0", "ttyUSB0")
        for folder in (os.path.join(sysfs, "bus", "usb-serial"), tty,
                       os.path.join(sysfs, "class", "tty", pty[5:].replace("/", "!"))):
            os.makedirs(folder)
        for name, text in (("idVendor", "0403\n"), ("idProduct", "6001\n"), ("serial", "A10K0002\n")):
            with open(os.path.join(usb, name), "w") as f:
                f.write(text)
        os.symlink(os.path.join(sysfs, "bus", "usb-serial"), os.path.join(tty, "subsystem"))
        os.symlink(tty, os.path.join(folder, "device"))
        slot = ("1-1.4", "A10K0002", "0403", "6001")
        keys = lambda p: tuple(p.get(k) for k in ("location", "serial_number", "vid", "pid"))
        env = {"FWUPGRADE_SYSFS_ROOT": sysfs}
        out, _, _ = run.run_tool("ports", "--json", env=env)
        run.expect_equal("slots", [keys(p) for p in json.loads(out)], [(None,) * 4] * 2 + [slot])
        for port in ([], ["--port", "usb:1-1.4", "--baud", "57600"]):
            out, _, status = run.run_tool("probe", "--json", *port, env=env, timeout=120)
            run.expect_equal("probe %s" % port, (status, json.loads(out or "{}").get("port"),
                                                 keys(json.loads(out or "{}"))), (0, 40, slot))
        run.expect_equal("COM2 device", ports[1]["device"], os.path.join(run.com, "COM2"))
        run.expect_equal("busy port", (ports[0].get("reason"), ports[0].get("holder_pid")),
                         ("Device or resource busy", os.getpid()))

        trace = os.path.join(run.dir, "trace.txt")
        out, err, status = run.run_tool("probe", "--port", "1", "--trace", trace)
        run.expect_equal("probe of a busy port", (out, status), ("", 3))
        run.expect_equal("error lines", err, "TessaranFwTool: no unit answered\n"
                         "TessaranFwTool: COM1: held by PID %d (%s)\n" % (os.getpid(), own_name()))
        failed = [r for r in read_trace(trace) if r.startswith("open COM1 ")]
        run.expect_equal("failed open in the trace", failed,
                         ["open COM1 %s FAILED: errno 16: Device or resource busy"
                          % os.path.join(run.com, "COM1")])

        # A folder at COM7, and a port past the table's last COM number, named by its path.
        os.mkdir(os.path.join(run.com, "COM7"))
        os.symlink("/dev/null", os.path.join(run.com, "COM999"))
        out, _, _ = run.run_tool("ports")
        run.expect_equal("a folder and a port past the table", [
            line for line in out.splitlines() if "COM7" in line or "COM999" in line],
            ["COM7   absent %s (a folder, not a serial port)" % os.path.join(run.com, "COM7"),
             "-      absent %s (not a serial port)" % os.path.join(run.com, "COM999")])
    finally:
        os.close(holder)
        os.unlink(os.path.join(run.com, "COM3"))
        os.unlink(os.path.join(run.com, "COM40"))
        shutil.rmtree(os.path.join(run.com, "COM7"), ignore_errors=True)
        if os.path.lexists(os.path.join(run.com, "COM999")):
            os.unlink(os.path.join(run.com, "COM999"))
    run.expect_equal("wire", e2e.commands(run.wire(), 1), [])


def own_name():
    with open("/proc/self/comm") as f:
        return f.read().strip()


def as_unprivileged(command):
    """The command run as nobody when the test runs as root, else None."""
    if os.geteuid() != 0 or not shutil.which("setpriv"):
        return None
    return ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"] + command


def case_open_failures(run):
    """When no unit answered, probe, update and update-all say per port why it
    could not be opened: absent, held (by whom), or denied with the remedy."""
    run.start_unit("--ports", "1-2", "--unit-port", "2", "--type", "tx", "--baud", "57600")
    for folder in (run.dir, run.com):
        os.chmod(folder, 0o755)  # nobody has to reach the links
    if os.geteuid() == 0:
        os.chmod(os.path.realpath(os.path.join(run.com, "COM2")), 0o600)  # whatever devpts gives
    absent = "TessaranFwTool: COM5: absent (no %s)\n" % os.path.join(run.com, "COM5")
    held = "TessaranFwTool: COM1: held by PID %d (%s)\n" % (os.getpid(), own_name())
    denied = ("TessaranFwTool: COM2: no permission to open %s: join the dialout group "
              "(sudo usermod -aG dialout $USER) and log in again\n" % os.path.join(run.com, "COM2"))
    no_unit = "TessaranFwTool: no unit answered\n"
    # name | command | as nobody | expected stderr
    table = [
        ("absent", ["probe", "--port", "5", "--baud", "9600"], False, no_unit + absent),
        ("held", ["update", "--port", "1", "--baud", "9600"], False, no_unit + held),
        ("held and absent, update-all", ["update-all", "--ports", "5,1,6-8"], False,
         held + "TessaranFwTool: COM5 to COM8: absent\n"),
        ("denied", ["probe", "--port", "2", "--baud", "57600"], True, no_unit + denied),
        ("not a serial port", ["update", "--port", "/dev/null", "--baud", "9600"], False,
         no_unit + "TessaranFwTool: /dev/null: not a serial port\n"),
        ("a plain file as COM9", ["probe", "--port", "9", "--baud", "9600"], False,
         no_unit + "TessaranFwTool: COM9: not a serial port (%s)\n"
         % os.path.join(run.com, "COM9")),
    ]
    with open(os.path.join(run.com, "COM9"), "w"):
        pass
    holder = os.open(os.path.join(run.com, "COM1"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX | fcntl.LOCK_NB)
        for name, command, unprivileged, expected in table:
            if unprivileged:
                wrapped = as_unprivileged([run.args.tool] + command)
                if wrapped is None:
                    print("skipped %s: needs root to run it as an unprivileged user" % name)
                    continue
                # A coverage build writes its counts beside the objects, which
                # nobody may not write to: they go to a folder of the run instead.
                counts = os.path.join(run.dir, "counts")
                os.makedirs(counts, exist_ok=True)
                os.chmod(counts, 0o777)
                env = dict(os.environ, FWUPGRADE_COM_DIR=run.com, GCOV_PREFIX=counts)
                done = subprocess.run(wrapped, stdin=subprocess.DEVNULL, capture_output=True,
                                      env=env, cwd=run.dir, timeout=60)
                err, status = done.stderr.decode("latin-1"), done.returncode
                ports = subprocess.run(wrapped[:-len(command)] + ["ports", "--json"],
                                       capture_output=True, env=env, timeout=60)
                states = {p["port"]: p["state"] for p in json.loads(ports.stdout)}
                run.expect_equal("%s: ports state" % name, states.get(2), "denied")
            else:
                _, err, status = run.run_tool(*command, timeout=60)
            run.expect_equal("%s: stderr" % name, err, expected)
            run.expect_equal("%s: status" % name, status, 3)
    finally:
        os.close(holder)
        os.unlink(os.path.join(run.com, "COM9"))
    run.expect_equal("wire", e2e.commands(run.wire(), 1), [])


def case_usage_errors(run):
    """The command line says what a valid value is, points update-all's --port to
    --ports, takes COMn where a port is wanted and keeps --progress-fd out of
    update's help. No unit is needed: every port is absent."""
    RATES = ('TessaranFwTool: --baud: expects a baud rate the unit\'s console can run at, 1200, '
             '2400, 4800, 9600, 19200, 38400, 57600 or 115200, not "%s"')
    # arguments | exit status | first stderr line (or a text update's help must not hold)
    table = [
        (["probe", "--port", "abc"], 2, 'TessaranFwTool: --port: expects a COM number 1-255 '
                                        '(3 or COM3), not "abc"'),
        (["update", "--port", "256"], 2, 'TessaranFwTool: --port: expects a COM number 1-255 '
                                         '(3 or COM3), not "256"'),
        (["probe", "--port", "socket://127.0.0.1:1", "--baud", "1"], 2, RATES % "1"),
        (["update-all", "--ports", "socket://127.0.0.1:1", "--baud", "250000"], 2,
         RATES % "250000"),
        (["update-all", "--ports", "1-4", "--baud", "115200"], 2, "TessaranFwTool: --baud is the "
         "rate of the socket:// ports' lines, and --ports names none (COM and rfc2217:// ports "
         "are asked at detection's rates)"),
        (["update-all", "--ports", "socket://127.0.0.010:47010"], 2, 'TessaranFwTool: bad port '
         'list "socket://127.0.0.010:47010": socket://127.0.0.010:47010: address 127.0.0.010: 010 '
         'has a leading zero (octal to some systems); write four decimal numbers 0-255 without '
         'leading zeros'),
        (["update-all", "--jobs", "0"], 2, 'TessaranFwTool: --jobs: expects a positive number '
                                           'of units, not "0"'),
        (["update-all", "--port", "3"], 2, "TessaranFwTool: update-all looks for units on "
                                           "--ports, not --port (e.g. --ports 3 or --ports 1-8,12)"),
        (["update-all", "--ports", "COM256"], 2, 'TessaranFwTool: bad port list "COM256" '
                                                 '(COM numbers 1 to 255, e.g. 1-8,12 or COM3)'),
        (["probe", "--port", "rfc2217://rack2"], 2,
         "TessaranFwTool: --port: rfc2217://rack2: no port"),
        (["update", "--port", "telnet://rack2:23"], 2, "TessaranFwTool: --port: telnet://rack2:23: "
                                                       "unknown scheme telnet (rfc2217 or socket)"),
        (["update-all", "--ports", "1,socket://[::1]:70000"], 2, 'TessaranFwTool: bad port list '
         '"1,socket://[::1]:70000": socket://[::1]:70000: port 70000 out of range 1-65535'),
        (["update-all", "--ports", "rfc2217://a:1,"], 2, 'TessaranFwTool: bad port list '
                                                        '"rfc2217://a:1," (COM numbers 1 to 255, '
                                                        'e.g. 1-8,12 or COM3)'),
        (["ports", "socket://"], 2, "TessaranFwTool: PORT: socket://: no host"),
        (["probe", "--port", "usb:9-9"], 2, "TessaranFwTool: --port: no serial port at usb:9-9 "
                                            "(ports shows each adapter's location)"),
        (["update-all", "--ports", "1,usb:9"], 2, 'TessaranFwTool: bad port list "1,usb:9": no '
                                                  "serial port at usb:9 (ports shows each "
                                                  "adapter's location)"),
        (["probe", "--port", "/dev/../x"], 2, 'TessaranFwTool: --port: /dev/../x: ".." in a '
                                              'device path'),
        (["update-all", "--ports", "1,/dev/"], 2, 'TessaranFwTool: bad port list "1,/dev/": '
                                                  '/dev/: a folder, not a device'),
        (["probe", "--port", "/nonexistent/ttyUSB0"], 3, "TessaranFwTool: no unit answered"),
        (["probe", "--port", "rfc2217://127.0.0.1:1"], 3, "TessaranFwTool: no unit answered"),
        (["probe", "--port", "com7", "--baud", "9600"], 3, "TessaranFwTool: no unit answered"),
        (["update-all", "--ports", "COM7-com8,200"], 3, "TessaranFwTool: COM7 to COM8: absent"),
        (["update", "--label", " SN\x1b]0;x\x07 "], 2, 'TessaranFwTool: --label: "SN\\x1b]0;x\\x07" '
         "holds a character other than printable ASCII (a control character or a byte from 0x80 up)"),
        (["update", "--label", "9" * 129], 2, 'TessaranFwTool: --label: "%s..." is longer than 128 '
                                              "characters" % ("9" * 40)),
        (["update-all", "--labels"], 2, "TessaranFwTool: --labels requires --watch"),
        (["probe", "--port", "/tmp"], 2, "TessaranFwTool: --port: /tmp: a folder, not a device"),
        (["history", "--history", "fifo"], 2,
         "TessaranFwTool: history: cannot read fifo: a fifo, not a plain file"),
        (["history", "--history", "."], 2, "TessaranFwTool: history: cannot read .: a folder, not "
                                           "a plain file"),
        (["history", "--since", "2026-12-10", "--until", "2026-12-09T23:00"], 2,
         "TessaranFwTool: history: --since 2026-12-10 is after --until 2026-12-09T23:00: no unit "
         "can have finished between"),
        (["history", "--html", "."], 2, "TessaranFwTool: history: .: cannot write the page: it is a folder"),
        (["history", "--html", "/dev/null"], 2, "TessaranFwTool: history: /dev/null: cannot write the page: "
                                                 "it is no plain file (a device, a fifo)"),
        (["update", "--help"], 0, None),
        ([], 0, ""),  # the name alone lists the commands
    ]
    os.mkfifo(os.path.join(run.dir, "fifo"))
    for arguments, status, first_line in table:
        out, err, got = run.run_tool(*arguments, timeout=60)
        run.expect_equal("%s: status" % arguments, got, status)
        if first_line is None:
            run.expect_equal("%s: --progress-fd shown" % arguments, "--progress-fd" in out, False)
        else:
            run.expect_equal("%s: message" % arguments, err.split("\n")[0], first_line)


def case_probe(run):
    """probe --json finds an RX unit on COM3 at 57600 and sends it nothing but
    read-only commands; a port without a unit gives exit status 3."""
    run.start_unit("--ports", "1-3", "--unit-port", "3", "--type", "rx", "--baud", "57600")
    out, err, status = run.run_tool("probe", "--json", timeout=120)
    run.expect_equal("status", status, 0)
    run.expect_equal("stderr", err, "")
    run.expect_equal("json", json.loads(out), {
        "port": 3, "address": "COM3", "device": os.path.join(run.com, "COM3"), "baud": 57600,
        "type": "RX",
        "firmware": "1.0.3", "fpga_family": "XC7A35", "fpga_version": "1.3", "fpga_device": "1",
        "release": "1.0.4", "up_to_date": False})
    out, err, status = run.run_tool("probe", "--port", "1", "--baud", "9600", timeout=60)
    run.expect_equal("no unit", (out, err, status), ("", "TessaranFwTool: no unit answered\n", 3))
    sent = {detail for _, _, _, event, detail in run.wire() if event == "cmd"}
    run.expect_equal("commands sent", sorted(sent - READ_ONLY), [])
    run.expect_equal("unit asked", sorted(d for _, d in e2e.commands(run.wire(), 3)
                                          if d != "%%%help -c version"),
                     ["%%%fw -p", "%%%fw -v"])
    # The same unit by its device's path: no COM number, the path names it.
    pts = os.path.realpath(os.path.join(run.com, "COM3"))
    out, err, status = run.run_tool("probe", "--json", "--port", pts, "--baud", "57600", timeout=60)
    run.expect_equal("by path", (status, err, {k: v for k, v in json.loads(out or "{}").items()
                                               if k in ("port", "address", "device", "type")}),
                     (0, "", {"port": None, "address": pts, "device": pts, "type": "RX"}))


def case_probe_raw_bytes(run):
    """A unit whose version reply carries bytes that are neither UTF-8 nor
    printable: probe --json stays valid JSON, the text output escapes them, and
    the trace of a probe over a pseudo-terminal has no FAILED record (DTR and
    settings kept for the next open are expected there)."""
    family = b"\xff\x1b[2J"
    run.start_unit("--unit", os.fsdecode(b"1:tx:115200:version=1.0.3 " + family + b" 1.3 1"))
    trace = os.path.join(run.dir, "trace.txt")
    out, err, status = run.run_tool("probe", "--port", "1", "--json", "--trace", trace, timeout=60)
    run.expect_equal("json status", (status, err), (0, ""))
    try:
        run.expect_equal("family in JSON", json.loads(out.encode("latin-1").decode("utf-8"))
                         ["fpga_family"], "\ufffd\x1b[2J")
    except ValueError as error:
        run.fail("probe --json is not JSON (%s): %r" % (error, out[:200]))
    run.expect_equal("FAILED in the trace",
                     [r for r in read_trace(trace) if "FAILED" in r], [])
    out, err, status = run.run_tool("probe", "--port", "1", timeout=60)
    run.expect_equal("text status", status, 0)
    run.expect_equal("family shown", [line for line in out.split("\n") if line.startswith("FPGA")],
                     ["FPGA         : \\xff\\x1b[2J 1.3 device 1"])
    run.expect_equal("labels' colons in one column", {line.index(":") for line in out.splitlines()}, {13})


def case_probe_interrupt(run):
    """SIGINT while probe looks at a port that keeps talking: status 130, one
    line on stderr, and the port is left as found: free, no lock file of ours."""
    run.start_unit("--ports", "1", "--unit-port", "0", "--talker", "1:trickle=300")
    locks = os.path.join(run.dir, "locks")
    os.mkdir(locks)
    env = dict(os.environ, FWUPGRADE_COM_DIR=run.com, FWUPGRADE_LOCK_DIRS=locks)
    probe = e2e.LiveUpdater(run, command=[run.args.tool, "probe", "--port", "1"], env=env)
    deadline = time.time() + e2e.scaled(10)
    while not os.listdir(locks) and time.time() < deadline:  # the port is open
        probe.pump(0.1)
    run.expect_equal("lock while probing", len(os.listdir(locks)), 1)
    probe.proc.send_signal(e2e.signal.SIGINT)
    status, out, err = probe.finish(10)
    run.expect_equal("exit status", status, 130)
    run.expect_equal("stderr", err, e2e.STOPPED_BEFORE_IMAGES)
    run.expect_equal("lock files left", os.listdir(locks), [])
    run.expect_equal("port after the run", e2e.port_left_free(run, 1), None)


def probe_children_left(run):
    """The probe children (update-all --probe-port) still running on this run's ports."""
    left = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as f:
                cmdline = f.read().split(b"\0")
            with open("/proc/%s/environ" % pid, "rb") as f:
                environ = f.read().split(b"\0")
        except OSError:
            continue
        if b"--probe-port" in cmdline and os.fsencode("FWUPGRADE_COM_DIR=" + run.com) in environ:
            left.append(int(pid))
    return left


def detection_rates(events, port, since):
    return [baud for at, p, baud, event, detail in events
            if p == port and at >= since and event == "cmd" and detail == "%%%help -c version"]


def check_probe_trace(run, expected, name="t.txt"):
    """Every probe's records in the trace, whole and in port order: (label, a
    record of it) for each port; no probe's own file left."""
    records = read_trace(os.path.join(run.dir, name))
    labels = [r.split(" ", 1)[0] for r in records if r.startswith("[")]
    blocks = [label for i, label in enumerate(labels) if i == 0 or label != labels[i - 1]]
    run.expect_equal(name + ": probes' blocks", blocks, [label for label, _ in expected])
    run.expect_equal(name + ": records missing", [(label, what) for label, what in expected
                                                  if not any(r.startswith(label + " " + what) for r in records)], [])
    run.expect_equal("files left", sorted(f for f in os.listdir(run.dir) if f.startswith(".t")), [])


def case_probe_all_ports(run):
    """probe without --port asks every port at once, each through detection's
    own rate order: a unit at 1200 on COM32 behind 31 silent ports is found
    well within the sequential scan's time, its port asked exactly as the scan
    asks it. Ctrl+C meanwhile stops every probe and leaves every port free."""
    run.start_unit("--ports", "1-32", "--unit-port", "32", "--type", "tx", "--baud", "1200")
    since = time.time()
    out, err, status = run.run_tool("probe", "--json", "--trace", "t.txt", timeout=120)
    run.expect_equal("status, stderr", (status, err), (0, ""))
    check_probe_trace(run, [("[COM%d]" % n, "open COM%d " % n) for n in range(1, 33)])
    unit = json.loads(out) if status == 0 else {}
    run.expect_equal("unit", (unit.get("port"), unit.get("baud"), unit.get("type")), (32, 1200, "TX"))
    print("probe found COM32 at 1200 in %.1f s" % run.elapsed)
    # (a slower build gets more; the sequential scan takes over 180 s)
    run.expect_equal("under 30 s", run.elapsed < e2e.scaled(30), True)
    events = run.wire()
    scan = [rate for rate in e2e.RATES for _ in range(2)]
    run.expect_equal("silent ports asked at every rate, twice each",
                     [n for n in range(1, 32) if detection_rates(events, n, since) != scan], [])
    run.expect_equal("COM32 asked as the scan asks",
                     detection_rates(events, 32, since), scan[:-1])
    sent = {detail for at, _, _, event, detail in events if event == "cmd" and at >= since}
    run.expect_equal("read-only", sorted(sent - READ_ONLY), [])

    locks = os.path.join(run.dir, "locks")
    os.mkdir(locks)
    env = dict(os.environ, FWUPGRADE_COM_DIR=run.com, FWUPGRADE_LOCK_DIRS=locks, FWUPGRADE_TRACE="t2.txt")
    probe = e2e.LiveUpdater(run, command=[run.args.tool, "probe"], env=env)
    deadline = time.time() + e2e.scaled(10)
    while len(os.listdir(locks)) < 16 and time.time() < deadline:  # the probes have begun
        probe.pump(0.1)
    probe.proc.send_signal(e2e.signal.SIGINT)
    status, out, err = probe.finish(10)
    run.expect_equal("interrupted", (status, out, err), (130, "", e2e.STOPPED_BEFORE_IMAGES))
    run.expect_equal("probes left running", probe_children_left(run), [])
    check_probe_trace(run, [("[COM%d]" % n, "probe stopped: interrupted") for n in range(1, 33)], "t2.txt")
    run.expect_equal("lock files left", os.listdir(locks), [])
    run.expect_equal("ports not free", [n for n in range(1, 33) if e2e.port_left_free(run, n)], [])


def case_probe_two_units(run):
    """Of two units that answer, probe takes the lower COM number, as the
    sequential scan does, though the higher answers first; with --baud the
    probes ask at that rate only."""
    run.start_unit("--unit", "3:tx:9600", "--unit", "7:rx:115200")
    # --baud | port chosen | rate | type | the rates asked on COM3 and COM7
    table = [
        (None, 3, 9600, "TX", {3: [115200, 115200, 9600], 7: [115200]}),
        (115200, 7, 115200, "RX", {3: [115200, 115200], 7: [115200]}),
    ]
    for baud, port, rate, kind, asked in table:
        since = time.time()
        out, err, status = run.run_tool("probe", "--json", *(["--baud", str(baud)] if baud else []),
                                        timeout=120)
        run.expect_equal("--baud %s: status, stderr" % baud, (status, err), (0, ""))
        unit = json.loads(out) if status == 0 else {}
        run.expect_equal("--baud %s: unit" % baud,
                         (unit.get("port"), unit.get("baud"), unit.get("type")), (port, rate, kind))
        events = run.wire()
        run.expect_equal("--baud %s: rates asked" % baud,
                         {n: detection_rates(events, n, since) for n in (3, 7)}, asked)
        run.expect_equal("--baud %s: under 30 s" % baud, run.elapsed < e2e.scaled(30), True)


def update_run(run, fault, expected_verdict, expected_status):
    fpga, mcu = run.image(1), run.image(0)
    run.start_unit("--ports", "1", "--unit-port", "1", "--type", "tx", "--baud", "115200",
                   *fault)
    out, err, status = run.run_tool("update")
    run.expect_equal("transcript", out, e2e.header() + e2e.found(1, 115200)
                     + e2e.update_success(e2e.VERSION, False, len(fpga), len(mcu))[
                         :-len(e2e.PRESS_KEY)] + VERIFY_LINE + expected_verdict)
    run.expect_equal("exit status", status, expected_status)
    run.expect_equal("MCU image received", run.saved("mcu.bin") == mcu, True)
    after = [d for _, d in e2e.commands(run.wire(), 1)][-1:]
    run.expect_equal("read back", after, ["%%%fw -v"])


def case_update(run):
    """update: the updater's texts, no key wait, the release read back: exit 0."""
    update_run(run, [], "1.0.4 VERIFIED\r\n", 0)


def case_update_keep_version(run):
    """update against a unit that comes back with its old version: exit 1."""
    update_run(run, ["--fault", "keep-version"], "1.0.3 NOT VERIFIED, expected 1.0.4\r\n", 1)


READ_ONLY = {"%%%help -c version", "%%%fw -v", "%%%fw -p"}


def case_update_skip_current(run):
    """update --skip-current: a unit on the release gets only the read-only
    queries and one line, exit 0; an outdated one (here rejecting its stream)
    is still sent its image. Its hooks see each result and its label; the transcript stays the update's."""
    run.start_unit("--ports", "1-2", "--unit", "1:rx:57600:version=1.0.4 XC7A35 1.3 1",
                   "--unit", "2:tx:115200:reject")
    # The Windows tool (under Wine) runs hooks through cmd, whose variables are !NAME!, and
    # keeps its default history in the prefix's profile: that case names its history.
    windows = hasattr(run, "make_prefix")
    hook = ("echo !FWUPGRADE_EVENT! !FWUPGRADE_RESULT! !FWUPGRADE_FAILED_STEP! !FWUPGRADE_LABEL!"
            if windows else
            "echo $FWUPGRADE_EVENT $FWUPGRADE_RESULT $FWUPGRADE_FAILED_STEP $FWUPGRADE_LABEL")
    history = ["--history", "station.jsonl"] if windows else []
    for port, status, transcript, streams, hooks in (
            (1, 0, e2e.header() + e2e.found(1, 57600)
             + "Release 1.0.4 is already installed: nothing was written to the unit\r\n", [],
             "result current SN-1\n"),
            (2, 1, None, ["l"], "start SN-2\nresult failed sending logic SN-2\n")):
        to = "%s>> hooks-%d" % ("" if windows else " ", port)
        out, err, got = run.run_tool("update", "--port", str(port), "--skip-current", "--label",
                                     " SN-%d\t" % port, "--on-start", hook + to,
                                     "--on-result", hook + to, *history)
        run.expect_equal("COM%d exit status" % port, got, status)
        with open(os.path.join(run.dir, "hooks-%d" % port)) as f:
            said = "".join(" ".join(line.split()) + "\n" for line in f)
        run.expect_equal("COM%d hooks" % port, said, hooks)
        if transcript is not None:
            run.expect_equal("COM%d transcript" % port, out, transcript)
        events = [(p, e, d) for _, p, _, e, d in run.wire() if p == port]
        run.expect_equal("COM%d streams" % port,
                         [d.split()[0] for _, e, d in events if e == "stream-begin"], streams)
        if not streams:
            run.expect_equal("COM%d commands" % port,
                             {d for _, e, d in events if e == "cmd"} - READ_ONLY, set())
    # Each unit in the station history, at its default place.
    with open(os.path.join(run.dir, "station.jsonl") if windows else
              os.path.join(run.dir, "state", "tessaranfwupgrade", "history.jsonl")) as f:
        run.expect_equal("history", [(r["address"], r["result"], r["failed_step"], r["type"])
                                     for r in map(json.loads, f)],
                         [("COM1", "current", "", "RX"), ("COM2", "failed", "sending logic", "TX")])


def case_update_interrupt(run):
    """update: two interrupts mid-stream, as the updater gets them; its on-start
    hook, still running then, ends with it."""
    run.start_unit("--ports", "1", "--pace")
    e2e.interrupt_twice_streaming(run, e2e.LiveUpdater(run, command=[
        run.args.tool, "update", "--port", "1", "--on-start", "sleep 600 & echo $! > pid; wait"]),
        relabelled=True)
    stat = "/proc/%s/stat" % open(os.path.join(run.dir, "pid")).read().strip()
    time.sleep(e2e.scaled(0.5))
    run.expect_equal("the hook's child gone", not os.path.exists(stat) or ") Z " in open(stat).read(), True)
    # The stop, where only system calls run, still records the unit.
    with open(os.path.join(run.dir, "state", "tessaranfwupgrade", "history.jsonl")) as f:
        run.expect_equal("history", [(r["address"], r["result"], r["failed_step"], r["message"])
                                     for r in map(json.loads, f)],
                         [("COM1", "interrupted", "sending logic", e2e.STOPPED_AT_RISK.strip())])


def case_update_retries_interrupted(run):
    """update --retries 2 and interrupts. COM1 rejects its image after an
    interrupt answered with its warning during the first announce: no second
    attempt, exit 1, the record says one. COM2's line loses a byte: stopped
    while the tool waits for the unit to give that stream up, the second
    attempt begun, it is recorded interrupted in the step that failed."""
    run.start_unit("--ports", "1-2", "--unit", "1:tx:115200:reject",
                   "--unit", "2:tx:115200:drop=logic@100")
    updaters = [e2e.LiveUpdater(run, command=[run.args.tool, "update", "--port", str(port),
                                              "--retries", "2", "--history", "h%d.jsonl" % port])
                for port in (1, 2)]
    updaters[0].wait_for("out", re.escape(e2e.FPGA_ANNOUNCE.encode()), 30)
    updaters[0].proc.send_signal(signal.SIGINT)
    updaters[0].wait_for("err", re.escape(e2e.WARNING_AT_RISK.encode()) + b"$", 5)
    updaters[1].wait_for("out", rb"Waiting for the unit to end the broken stream", 60)
    updaters[1].proc.send_signal(signal.SIGINT)
    for port, updater, expected in ((1, updaters[0], (1, ["l"], False, "failed", "sending logic", 1)),
                                    (2, updaters[1], (130, ["l"], False, "interrupted", "sending logic", 2))):
        status, out, err = updater.finish(60)
        with open(os.path.join(run.dir, "h%d.jsonl" % port)) as f:
            r = json.loads(f.readline())
        run.expect_equal("COM%d: status, streams, record" % port, (
            status, [d[0] for _, p, _, e, d in run.wire() if e == "stream-begin" and p == port],
            "Attempt" in out, r["result"], r["failed_step"], r["attempts"]), expected)


def case_closed_descriptors(run):
    """Each program started with descriptor 0, 1 or 2 closed (`N>&-`): the units
    hear what they hear with all three open, nothing else, and the result is the
    same (the updater: COM1's unknown product; the tool: COM2's unit current,
    in the history and to its hook, exit 0). The hooks start
    with 0 to 2 open; what one starts outside its group (setsid -f) is gone when
    the run ends, and holds neither the run nor its output pipe."""
    unit = ("--ports", "1-2", "--unit", "1:tx:115200:device=2",
            "--unit", "2:rx:115200:version=1.0.4 XC7A35 1.3 1")
    run.start_unit(*unit)
    env = dict(os.environ, FWUPGRADE_COM_DIR=run.com)
    hook = ("o=; for f in 0 1 2; do [ -e /dev/fd/$f ] && o=$o$f; done; echo $FWUPGRADE_RESULT $o"
            " > hook-{0}; setsid -f sh -c 'echo $$ > escaped-{0}; exec sleep 60';"
            " while [ ! -s escaped-{0} ]; do sleep 0.1; done")
    update = [run.args.tool, "update", "--port", "2", "--baud", "115200", "--skip-current",
              "--history", "h-{0}.jsonl", "--on-result", hook]
    programs = {  # argv, {0} the row's tag; unitsim: itself started so, the update as usual
        "updater": [run.args.updater], "update": update,
        "update-all": [run.args.tool, "update-all", "--ports", "2", "--skip-current", "--history",
                       "h-{0}.jsonl", "--log-dir", "logs-{0}", "--on-result", hook],
        "unitsim": update}

    def outcome(tag):
        with open(os.path.join(run.dir, "h-%s.jsonl" % tag)) as f:
            results = [r["result"] for r in map(json.loads, f)]
        with open(os.path.join(run.dir, "hook-%s" % tag)) as f:
            said = f.read()
        with open(os.path.join(run.dir, "escaped-%s" % tag)) as f:
            escaped = int(f.read())
        return results, said, e2e.process_gone(escaped)

    baseline = {}
    for name, closed in [(n, None) for n in programs] + [(n, fd) for n in programs for fd in (0, 1, 2)]:
        tag = "%s-%s" % (name, closed)
        argv = [arg.format(tag) for arg in programs[name]]
        if name == "unitsim" and closed is not None:
            run.stop_unit()
            run.log = os.path.join(run.dir, "wire-%s.log" % tag)
            ready = os.path.join(run.dir, "ready-%s" % tag)
            run.sim = subprocess.Popen(["sh", "-c", 'exec "$@" %d>&-' % closed, "sh", run.args.unitsim,
                                        "--com-dir", run.com, "--save-dir", run.save, "--log", run.log,
                                        "--ready-file", ready, *unit], stdout=subprocess.DEVNULL)
            deadline = time.time() + e2e.scaled(10)
            while not os.path.exists(ready) and run.sim.poll() is None and time.time() < deadline:
                time.sleep(0.05)
        elif closed is not None:
            argv = ["sh", "-c", 'exec "$@" %d>&-' % closed, "sh"] + argv
        before = len(run.wire()) if os.path.exists(run.log) else 0
        started = time.time()
        done = subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, env=env,
                              cwd=run.dir, timeout=e2e.scaled(120))
        took = time.time() - started
        heard = [(p, b, d) for _, p, b, e, d in run.wire()[before:] if e == "cmd"]
        got = (done.returncode, heard, None if name == "updater" else outcome(tag))
        if closed is None:
            baseline[name] = got
            run.expect_equal("%s: result" % name, got[2],
                             None if name == "updater" else (["current"], "current 012\n", True))
            run.expect_equal("%s: exit status" % name, got[0], 1 if name == "updater" else 0)
        else:
            run.expect_equal("%s with %d closed" % (name, closed), got, baseline[name])
        if took > min(e2e.scaled(30), 50):  # under the escaped process's 60 s however slow the build
            run.fail("%s took %.1f s" % (tag, took))


class PageDom(html.parser.HTMLParser):
    """What a browser rendered of a history page: its tags, the bars' counts,
    each slot's yield and the labels listed."""

    def __init__(self, text):
        super().__init__()
        self.tags, self.bars, self.yields, self.labels, self.cell, self.slot = set(), [], {}, [], None, None
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        self.tags.add(tag)
        if tag == "g" and a.get("class") == "bar":
            self.bars.append({k[5:]: int(v) for k, v in a.items() if k.startswith("data-") and k != "data-start"})
        self.slot = a.get("data-slot", self.slot) if tag == "tr" else self.slot
        self.cell = a.get("class") if tag == "td" else self.cell

    def handle_endtag(self, tag):
        self.cell = None if tag == "td" else self.cell

    def handle_data(self, data):
        if self.cell == "label":
            self.labels.append(data)
        elif self.cell == "n yield":
            self.yields[self.slot] = data


def case_history_page(run):
    """history --html over a small history, loaded in headless chromium: the DOM it rendered has
    the bars' counts by hour and result, each slot's yield, and hostile labels as plain text."""
    labels = ["<script>alert(1)</script>", '"><img src=x onerror=alert(1)>', "SN-3", "SN-4", "SN-5"]
    units = [("updated", "usb:1-1.1", "08:10"), ("failed", "usb:1-1.2", "08:20"), ("updated", "usb:1-1.2", "08:50"),
             ("current", "usb:1-1.1", "10:05"), ("updated", "usb:1-1.1", "10:30")]
    with open(os.path.join(run.dir, "h.jsonl"), "w") as f:
        f.write("not a record\n")
        for label, (result, slot, hour) in zip(labels, units):
            f.write(json.dumps({"result": result, "slot": slot, "label": label, "seconds": 280,
                                "started": "2026-12-09T%s:00Z" % hour, "finished": "2026-12-09T%s:00Z" % hour}) + "\n")
    out, err, status = run.run_tool("history", "--history", "h.jsonl", "--html", "page.html", "--since", "2026-12-09")
    run.expect_equal("status and notes", (status, err), (0, "TessaranFwTool: history: line 1 is not a record "
                                                            "(skipped)\n"))
    page = os.path.join(run.dir, "page.html")
    with open(page, "rb") as f:
        run.expect_equal("--html - is the page", run.run_tool("history", "--history", "h.jsonl", "--html", "-",
                                                              "--since", "2026-12-09")[0], f.read().decode("latin-1"))
    out, err, status = run.run_tool("history", "--history", "h.jsonl", "--html", "./h.jsonl")
    run.expect_equal("the history as its own page", (status, err), (2, "TessaranFwTool: history: ./h.jsonl: cannot "
                                                                      "write the page: it is the history it is made "
                                                                      "from\n"))
    started = time.time()
    dom = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--user-data-dir=" +
                          os.path.join(run.dir, "chromium"), "--dump-dom", "file://" + page],
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=e2e.scaled(60))
    print("chromium rendered the page in %.1f s" % (time.time() - started))
    got = PageDom(dom.stdout.decode("utf-8"))
    run.expect_equal("bars", got.bars, [dict(updated=2, current=0, failed=1, interrupted=0, other=0),
                                        dict(updated=0, current=0, failed=0, interrupted=0, other=0),
                                        dict(updated=1, current=1, failed=0, interrupted=0, other=0)])
    run.expect_equal("yields", got.yields, {"usb:1-1.1": "100.0 %", "usb:1-1.2": "50.0 %"})
    run.expect_equal("labels", got.labels, labels)
    run.expect_equal("markup from the labels", got.tags & {"script", "img"}, set())


CASES = {
    "traced-update": case_traced_update,
    "ports": case_ports,
    "probe": case_probe,
    "probe-raw-bytes": case_probe_raw_bytes,
    "probe-interrupt": case_probe_interrupt,
    "probe-all-ports": case_probe_all_ports,
    "probe-two-units": case_probe_two_units,
    "open-failures": case_open_failures,
    "usage-errors": case_usage_errors,
    "update": case_update,
    "update-keep-version": case_update_keep_version,
    "update-skip-current": case_update_skip_current,
    "update-interrupt": case_update_interrupt,
    "update-retries-interrupted": case_update_retries_interrupted,
    "closed-descriptors": case_closed_descriptors,
    "history-page": case_history_page,
}


def main():
    return e2e.run_cases(CASES, ToolRun, "tool-")


if __name__ == "__main__":
    sys.exit(main())
