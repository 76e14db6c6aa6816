#!/usr/bin/env python3
"""End-to-end runs of the real updater against the simulated unit.

Each case starts its own unitsim in a fresh temporary folder, runs
TessaranFwUpgrade with FWUPGRADE_COM_DIR pointing at the simulator's ports,
feeds its standard input, and checks the console transcript byte for byte,
the exit status, the images the unit received and the wire log.

    e2e.py --updater PATH --tool PATH --unitsim PATH CASE
"""
import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time

# ---- The updater's console texts --------------------------------------------------

TX_ID = "Zarvel 6G SDI EXTENDER OVER FIBER TX\r\n>>"
RX_ID = "Zarvel 6G SDI EXTENDER OVER FIBER RX\r\n>>"
PRESS_KEY = "\r\nPress any key to exit"
NOT_SUCCESSFUL = "\n\rERROR: The update was not successful.\r\n"
RATES = [115200, 9600, 57600, 4800, 2400, 1200]


def header():
    return ("\n\rYou are about to upload the firmware version 1.0.4"
            "\n\r\n\rDetecting COM port and Baud Rate..................")


def found(port, baud):
    return "OK\r\n" + "COM PORT Number : %d" % port + "\r\nBaud rate       : %d \r\n\r\n" % baud


def manual(port, baud):
    return ("FAILED" + "\n\r\n\rEnter the COM port number : "
            + "\r\nOpening COM%d...................." % port + "OK\r\n"
            + "\n\r\n\rEnter the BAUD RATE       : "
            + "\r\nSetting baud rate at %d.........." % baud + "OK\r\n")


def versions(version):
    """The two version lines for a version reply such as "1.0.3 XC7A35 1.3 1"."""
    fw, model, fpga, device = version.split()
    v, r, s = (int(x) for x in fw.split("."))
    fv, fr = (int(x) for x in fpga.split("."))
    return ("Checking firmware version ..............  %d.%02d.%02d \r\n" % (v, r, s)
            + "Checking fpga version ..................  %s %d.%02d  device:%d\r\n"
            % (model, fv, fr, int(device)))


def identification(rx):
    return ("RX OK\r\n" + RX_ID if rx else "TX OK\r\n" + TX_ID) + "\r\n"


def progress(length):
    """The percentage display of one image stream, chunks of 10240 bytes."""
    text, sent, shown = "1%", 0, 0
    while sent != length:
        back = "\b\b" if shown <= 9 else "\b\b\b"
        if length - sent > 10240:
            sent += 10240
            shown = sent * 100 // length
            text += back + "%d%%" % shown
        else:
            text += back + "100%"
            sent = length
    return text


def reboot_display():
    text = ""
    for i in range(46):
        text += "%3d%%" % (i * 100 // 46) + "\b\b\b\b"
    return text + "%3d%%" % 100 + "\b\b\b\b" + "100%"


FPGA_ANNOUNCE = "Preparing to Upload Programmable Logic ............ "
FPGA_SEND = "Sending Programmable Logic data ................... "
MCU_ANNOUNCE = "Preparing to Upload Firmware ...................... "
MCU_SEND = "Sending data ...................................... "


def update_success(version, rx, fpga_length, mcu_length):
    return (versions(version) + "Checking product .......... " + identification(rx)
            + FPGA_ANNOUNCE + "OK\r\n" + FPGA_SEND + progress(fpga_length) + "OK\r\n"
            + MCU_ANNOUNCE + "OK\r\n" + MCU_SEND + progress(mcu_length)
            + " OK\n\r\n\r" + "Please wait while the unit is rebooting ........... "
            + reboot_display()
            + "\n\r\n\rThe update was successful, the unit is now operational\r\n"
            + PRESS_KEY)


# ---- Running things ---------------------------------------------------------------------

# The time bounds of the cases (waits for an event, the longest a step may take)
# are multiplied by FWUPGRADE_TEST_TIME_FACTOR, which CMake gives every driver:
# 3 for a sanitizer build (its programs run two to three times slower), else 1.
TIME_FACTOR = float(os.environ.get("FWUPGRADE_TEST_TIME_FACTOR") or 1)


def scaled(seconds):
    """A bound of SECONDS on this build: what the product itself waits stays unscaled."""
    return seconds * TIME_FACTOR


class Run:
    def __init__(self, args, name):
        self.args = args
        self.dir = tempfile.mkdtemp(prefix="e2e-%s-" % name)
        self.com = os.path.join(self.dir, "com")
        self.save = os.path.join(self.dir, "save")
        self.log = os.path.join(self.dir, "wire.log")
        os.mkdir(self.com)
        os.mkdir(self.save)
        # The tool's station history goes to the run's folder, not the user's.
        os.environ["XDG_STATE_HOME"] = os.path.join(self.dir, "state")
        self.sim = None
        self.failures = []

    def start_unit(self, *options, max_seconds=420):
        cmd = [self.args.unitsim, "--com-dir", self.com, "--save-dir", self.save,
               "--log", self.log, "--max-seconds", "%g" % scaled(max_seconds)] + list(options)
        self.sim = subprocess.Popen(cmd, stdout=subprocess.PIPE)
        # unitsim lists its ports, then prints "ready DIR" once they exist.
        fd = self.sim.stdout.fileno()
        seen = b""
        deadline = time.time() + scaled(10)
        while time.time() < deadline and not re.search(rb"(^|\n)ready ", seen):
            ready, _, _ = select.select([fd], [], [], 0.2)
            if ready:
                chunk = os.read(fd, 4096)
                if not chunk:
                    break
                seen += chunk
        if not re.search(rb"(^|\n)ready ", seen):
            self.sim.kill()
            self.sim.wait()
            raise RuntimeError("unitsim did not get ready: %r" % seen)

    def run_updater(self, stdin=b"", timeout=400, mark=None):
        """Runs the updater to its end. With `mark`, self.marked is the time from
        the start until that text first appeared on its console (None if never)."""
        env = dict(os.environ, FWUPGRADE_COM_DIR=self.com)
        started, timeout = time.time(), scaled(timeout)
        if mark is None:
            done = subprocess.run([self.args.updater], input=stdin, stdout=subprocess.PIPE,
                                  env=env, cwd=self.dir, timeout=timeout)
            self.elapsed = time.time() - started
            return done.stdout.decode("latin-1"), done.returncode
        self.marked = None
        updater = subprocess.Popen([self.args.updater], stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, env=env, cwd=self.dir)
        updater.stdin.write(stdin)
        updater.stdin.close()
        out = b""
        while True:
            left = started + timeout - time.time()
            if left <= 0:
                updater.kill()
                updater.wait()
                raise subprocess.TimeoutExpired(self.args.updater, timeout)
            ready, _, _ = select.select([updater.stdout], [], [], min(left, 1.0))
            if not ready:
                continue
            chunk = os.read(updater.stdout.fileno(), 65536)
            if not chunk:
                break
            out += chunk
            if self.marked is None and mark.encode("latin-1") in out:
                self.marked = time.time() - started
        status = updater.wait()
        self.elapsed = time.time() - started
        return out.decode("latin-1"), status

    def stop_unit(self):
        """Stops unitsim with SIGTERM and checks that it took its ports away."""
        if self.sim is None:
            return
        if self.sim.poll() is None:
            self.sim.send_signal(signal.SIGTERM)
        try:
            status = self.sim.wait(timeout=scaled(10))
            if status != 0:
                self.fail("unitsim ended with status %d" % status)
        except subprocess.TimeoutExpired:
            self.sim.kill()
            self.fail("unitsim did not stop on SIGTERM")
        left = os.listdir(self.com)
        if left:
            self.fail("unitsim left its links behind: %s" % left)

    def fail(self, message):
        self.failures.append(message)

    def expect_equal(self, what, got, expected):
        if got == expected:
            return
        if isinstance(got, str) and isinstance(expected, str):
            self.fail("%s differs\n%s" % (what, describe_difference(got, expected)))
        else:
            self.fail("%s: got %r, expected %r" % (what, got, expected))

    def wire(self):
        """The wire log as (time, port, baud, event, detail) tuples."""
        events = []
        with open(self.log, encoding="latin-1") as log:
            for line in log:
                parts = line.rstrip("\n").split(" ", 4)
                while len(parts) < 5:
                    parts.append("")
                events.append((float(parts[0]), int(parts[1][3:]), int(parts[2]), parts[3], parts[4]))
        return events

    def image(self, entry):
        path = os.path.join(self.dir, "image%d.bin" % entry)
        subprocess.run([self.args.tool, "image", "--entry", str(entry), "-o", path],
                       check=True, stdout=subprocess.DEVNULL)
        with open(path, "rb") as f:
            return f.read()

    def saved(self, name):
        path = os.path.join(self.save, name)
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def finish(self):
        self.stop_unit()
        if self.failures:
            for failure in self.failures:
                print("FAIL:", failure)
            print("(kept %s for inspection)" % self.dir)
            return 1
        shutil.rmtree(self.dir, ignore_errors=True)
        return 0


def describe_difference(got, expected):
    prefix = 0
    while prefix < min(len(got), len(expected)) and got[prefix] == expected[prefix]:
        prefix += 1
    start = max(0, prefix - 60)
    return ("first difference at byte %d of %d (expected %d)\n  got:      %r\n  expected: %r"
            % (prefix, len(got), len(expected), got[start:prefix + 80], expected[start:prefix + 80]))


def probe_order(events):
    """(port, baud) of every detection probe the ports heard, in order."""
    return [(port, baud) for _, port, baud, event, detail in events
            if event == "cmd" and detail == "%%%help -c version"]


def commands(events, port):
    return [(baud, detail) for _, p, baud, event, detail in events if p == port and event == "cmd"]


# ---- Cases --------------------------------------------------------------------------------

VERSION = "1.0.3 XC7A35 1.3 1"


def case_tx_success(run):
    """A TX unit at 115200 on COM1: the whole update, banner included."""
    fpga, mcu = run.image(1), run.image(0)
    run.start_unit("--ports", "1", "--unit-port", "1", "--type", "tx", "--baud", "115200")
    out, status = run.run_updater()
    run.expect_equal("transcript", out, header() + found(1, 115200)
                     + update_success(VERSION, False, len(fpga), len(mcu)))
    run.expect_equal("exit status", status, 0)
    run.expect_equal("FPGA image received", run.saved("fpga.bin") == fpga, True)
    run.expect_equal("MCU image received", run.saved("mcu.bin") == mcu, True)


def case_rx_com5(run):
    """An RX unit on COM5 at 57600 behind four silent ports."""
    fpga, mcu = run.image(2), run.image(0)
    run.start_unit("--ports", "1-5", "--unit-port", "5", "--type", "rx", "--baud", "57600",
                   "--version", "1.0.2 XC7A35 1.2 1")
    out, status = run.run_updater()
    run.expect_equal("transcript", out, header() + found(5, 57600)
                     + update_success("1.0.2 XC7A35 1.2 1", True, len(fpga), len(mcu)))
    run.expect_equal("exit status", status, 0)
    run.expect_equal("FPGA image received", run.saved("fpga.bin") == fpga, True)
    run.expect_equal("MCU image received", run.saved("mcu.bin") == mcu, True)

    events = run.wire()
    scan = [(port, rate) for port in range(1, 5) for rate in RATES for _ in range(2)]
    scan += [(5, 115200), (5, 115200), (5, 9600), (5, 9600), (5, 57600)]
    run.expect_equal("detection order", probe_order(events), scan)
    unit = [c for c in commands(events, 5) if c[1] != "%%%help -c version"]
    checksum_fpga = (-sum(fpga)) & 0xFFFFFFFF
    checksum_mcu = (-sum(mcu)) & 0xFFFFFFFF
    run.expect_equal("unit commands", unit, [
        (57600, "%%%fw -v"), (57600, "%%%fw -p"), (57600, "%%%fw -p"),
        (57600, "%%%%%%fw -l %d %d" % (checksum_fpga, len(fpga))),
        (115200, "%%%%%%fw -h %d %d" % (checksum_mcu, len(mcu)))])
    ends = [(baud, detail.split()[0]) for _, p, baud, event, detail in events if event == "stream-end"]
    run.expect_equal("streams at 115200", ends, [(115200, "l"), (115200, "h")])
    kinds = [event for _, p, _, event, _ in events if p == 5 and event in ("banner", "send", "garbage")]
    after_banner = kinds[kinds.index("banner") + 1:] if "banner" in kinds else []
    run.expect_equal("banner sent while the line runs at 57600", after_banner[:1], ["send"])
    banner_rates = [baud for _, p, baud, event, _ in events if p == 5 and event == "banner"]
    run.expect_equal("rate in force at the banner", banner_rates, [57600])


def case_manual(run):
    """Nothing answers at the six rates: the port and rate come from the keyboard."""
    fpga, mcu = run.image(1), run.image(0)
    run.start_unit("--ports", "1-3", "--unit-port", "3", "--baud", "19200")
    out, status = run.run_updater(stdin=b"3\n19200\n")
    run.expect_equal("transcript", out, header() + manual(3, 19200)
                     + update_success(VERSION, False, len(fpga), len(mcu)))
    run.expect_equal("exit status", status, 0)
    run.expect_equal("MCU image received", run.saved("mcu.bin") == mcu, True)


def case_manual_missing_port(run):
    """A port number typed in that does not exist: the driver's message, status -1."""
    run.start_unit("--ports", "1", "--unit-port", "0")
    out, status = run.run_updater(stdin=b"7\n")
    run.expect_equal("transcript", out, header() + "FAILED" + "\n\r\n\rEnter the COM port number : "
                     + "\r\nOpening COM7...................." + "ERROR: Opening COM7 failed !"
                     + PRESS_KEY)
    run.expect_equal("exit status", status, 255)


def case_arguments(run):
    """The updater acts on no argument: the usage words print the usage and exit
    0, anything else prints it on stderr and exits 2; neither run opens a port
    nor starts its trace, although a unit waits on COM1."""
    run.start_unit("--ports", "1", "--unit-port", "1", "--fault", "device=2")
    trace = os.path.join(run.dir, "trace.txt")
    env = dict(os.environ, FWUPGRADE_COM_DIR=run.com, FWUPGRADE_TRACE=trace)
    # arguments | exit status | usage on stdout
    for arguments, status, on_stdout in [(["--help"], 0, True), (["-h"], 0, True),
                                         (["/?"], 0, True), (["--version"], 0, True),
                                         (["-x"], 2, False), (["--help", "-x"], 2, False)]:
        done = subprocess.run([run.args.updater] + arguments, input=b"\n", capture_output=True,
                              env=env, cwd=run.dir, timeout=60)
        usage, other = (done.stdout, done.stderr) if on_stdout else (done.stderr, done.stdout)
        run.expect_equal("%s: status" % arguments, done.returncode, status)
        run.expect_equal("%s: usage" % arguments, b"takes no arguments" in usage
                         and b"TessaranFwTool" in usage and b"man TessaranFwUpgrade" in usage, True)
        run.expect_equal("%s: other stream" % arguments, other, b"")
    run.expect_equal("trace started", os.path.exists(trace), False)
    run.expect_equal("wire", run.wire(), [])


def failure_run(run, unit_options, expected_after_detection):
    run.start_unit("--ports", "1", *unit_options)
    out, status = run.run_updater(timeout=120)
    expected = header() + found(1, 115200) + expected_after_detection + NOT_SUCCESSFUL + PRESS_KEY
    return out, status, expected


def case_wrong_device(run):
    out, status, expected = failure_run(run, ["--fault", "device=2"],
                                        versions("1.0.3 XC7A35 1.3 2")
                                        + "Checking product .......... FAILED, Unknown product\r\n")
    run.expect_equal("transcript", out, expected)
    run.expect_equal("exit status", status, 1)
    run.expect_equal("commands after the version query",
                     [c for _, c in commands(run.wire(), 1)][1:], ["%%%fw -v"])


def case_extra_cr(run):
    """One CR too many in the identification: neither TX nor RX matches."""
    out, status, expected = failure_run(run, ["--fault", "extra-cr"],
                                        versions(VERSION) + "Checking product .......... FAILED\r\n")
    run.expect_equal("transcript", out, expected)
    run.expect_equal("exit status", status, 1)
    run.expect_equal("commands after detection", [c for _, c in commands(run.wire(), 1)][1:],
                     ["%%%fw -v", "%%%fw -p", "%%%fw -p"])


def case_no_ready(run):
    out, status, expected = failure_run(run, ["--fault", "no-ready"],
                                        versions(VERSION) + "Checking product .......... "
                                        + identification(False)
                                        + FPGA_ANNOUNCE + "FAILED [Unit not ready]\r\n")
    run.expect_equal("transcript", out, expected)
    run.expect_equal("exit status", status, 1)


def case_rejected(run):
    fpga = run.image(1)
    out, status, expected = failure_run(run, ["--fault", "reject"],
                                        versions(VERSION) + "Checking product .......... "
                                        + identification(False) + FPGA_ANNOUNCE + "OK\r\n"
                                        + FPGA_SEND + progress(len(fpga))
                                        + "\r\nExpected : SUCCESS  received : FAILED\r\n"
                                        + "\r\nError: Expected response did  not matched !\r\n"
                                        + "FAILED\r\n")
    run.expect_equal("transcript", out, expected)
    run.expect_equal("exit status", status, 1)
    run.expect_equal("image received in full", run.saved("fpga.bin") == fpga, True)


def case_disconnect(run):
    """The adapter goes away in the middle of the FPGA stream."""
    fpga = run.image(1)
    run.start_unit("--ports", "1", "--fault", "disconnect=300000")
    out, status = run.run_updater(timeout=120)
    before = header() + found(1, 115200) + versions(VERSION) + "Checking product .......... " \
        + identification(False) + FPGA_ANNOUNCE + "OK\r\n" + FPGA_SEND
    after = "FAILED\r\n" + NOT_SUCCESSFUL + PRESS_KEY
    # How far the display got depends on how much the pty took before the
    # hang-up: any whole step of the display short of 100% will do.
    full = progress(len(fpga))
    middle = out[len(before):len(out) - len(after)] if len(out) >= len(before) + len(after) else None
    shown_ok = (out.startswith(before) and out.endswith(after) and middle is not None
                and full.startswith(middle) and middle.endswith("%") and not middle.endswith("100%"))
    if not shown_ok:
        run.fail("transcript is not a cut FPGA stream\n" + describe_difference(out, before + full + after))
    run.expect_equal("exit status", status, 1)
    hangups = [detail for _, _, _, event, detail in run.wire() if event == "hangup"]
    run.expect_equal("hang-up", hangups, ["after 300000 stream bytes"])


def case_chatter(run):
    """A unit that never stops talking holds neither detection nor the update:
    each reply is cut after about a megabyte and counts as no answer."""
    run.start_unit("--ports", "1", "--fault", "chatter")
    out, status = run.run_updater(stdin=b"1\n115200\n", timeout=120)
    run.expect_equal("transcript", out, header() + manual(1, 115200)
                     + "Checking product .......... FAILED, Unknown product\r\n"
                     + NOT_SUCCESSFUL + PRESS_KEY)
    run.expect_equal("exit status", status, 1)


def case_held_port(run):
    """A terminal program holds COM1 without any lock; the unit is on COM2.
    COM1 is skipped without a byte and keeps its settings; the unit is found."""
    import termios
    master, slave = os.openpty()
    attrs = termios.tcgetattr(slave)
    attrs[3] |= termios.ICANON | termios.ECHO
    attrs[4] = attrs[5] = termios.B9600
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    before = termios.tcgetattr(master)
    link = os.path.join(run.com, "COM1")
    os.symlink(os.ttyname(slave), link)
    holder = subprocess.Popen(["sleep", "600"], stdin=slave)  # holds the slave only
    os.close(slave)
    locks = os.path.join(run.dir, "locks")
    os.mkdir(locks)
    os.environ["FWUPGRADE_LOCK_DIRS"] = locks
    heard, after = None, None
    try:
        run.start_unit("--ports", "2", "--unit-port", "2", "--fault", "device=2")
        out, status = run.run_updater(timeout=120)
        os.set_blocking(master, False)
        try:
            heard = os.read(master, 4096)
        except BlockingIOError:
            heard = b""
        after = termios.tcgetattr(master)
    finally:
        del os.environ["FWUPGRADE_LOCK_DIRS"]
        os.unlink(link)
        holder.kill()
        holder.wait()
    run.expect_equal("transcript", out, header() + found(2, 115200) + versions("1.0.3 XC7A35 1.3 2")
                     + "Checking product .......... FAILED, Unknown product\r\n"
                     + NOT_SUCCESSFUL + PRESS_KEY)
    run.expect_equal("exit status", status, 1)
    run.expect_equal("bytes the holder received", heard, b"")
    run.expect_equal("holder's line settings", after, before)
    run.expect_equal("lock files left", os.listdir(locks), [])
    os.close(master)


# A reply collection ends at the latest when a read begun 2 T + 2 x 616 ms after
# its start (T: the read timeout, 500 ms in detection) still brings bytes, so a
# port that never falls silent costs about 3 s per attempt, 36 s for its twelve.
# Before, a trickle held each attempt until a megabyte had come: days.
TALKER_DETECTION_LIMIT = scaled(60.0)


def talker_run(run, talker, unit_options, port, baud, expected_after_detection):
    """The unit on COM2 behind a port that never stops talking on COM1."""
    run.start_unit("--ports", "1-2", "--unit-port", "2", "--talker", "1:" + talker, *unit_options)
    out, status = run.run_updater(timeout=180, mark="OK\r\n")
    run.expect_equal("transcript", out, header() + found(port, baud) + expected_after_detection
                     + NOT_SUCCESSFUL + PRESS_KEY)
    run.expect_equal("exit status", status, 1)
    probes = probe_order(run.wire())
    expected = [(1, rate) for rate in RATES for _ in range(2)]
    expected += [(2, rate) for rate in RATES[:RATES.index(baud)] for _ in range(2)] + [(2, baud)]
    run.expect_equal("detection order", probes, expected)
    print("detection took %.1f s (start to its OK)" % run.marked)
    if run.marked is None or run.marked > TALKER_DETECTION_LIMIT:
        run.fail("detection did not end within %.0f s: %s" % (TALKER_DETECTION_LIMIT, run.marked))


def case_talker_trickle(run):
    """A logger on COM1 sends a byte every 300 ms: each attempt there ends at the
    time bound, and the unit on COM2 is found (it then reports a wrong device)."""
    talker_run(run, "trickle=300", ["--fault", "device=2"], 2, 115200,
               versions("1.0.3 XC7A35 1.3 2")
               + "Checking product .......... FAILED, Unknown product\r\n")


def case_talker_nmea(run):
    """A GPS receiver on COM1, its line busy most of every second, and the unit on
    COM2 at 9600 with both directions held to the line rate; its identification
    has one CR too many."""
    talker_run(run, "nmea", ["--pace", "--baud", "9600", "--fault", "extra-cr"], 2, 9600,
               versions(VERSION) + "Checking product .......... FAILED\r\n")


# ---- Interrupts and a closed standard output ----------------------------------------------

WARNING_AT_RISK = ("\r\nWARNING: an image is being sent to the unit. Stopping now leaves the unit"
                   " without a working firmware.\r\nThe update goes on. Interrupt again to stop"
                   " anyway.\r\n")
STOPPED_BEFORE_IMAGES = "\r\nInterrupted: no image was sent, the unit keeps the firmware it has.\r\n"
STOPPED_AT_RISK = ("\r\nInterrupted while an image was being sent: the unit has no working firmware"
                   " until it is updated again.\r\n")
STOPPED = "\r\nInterrupted.\r\n"
TIOCGEXCL = 0x80045440  # Linux: is the tty's exclusive flag set?


class LiveUpdater:
    """The updater running in the background, its two output streams collected
    as they come, so that a case can act at a given point of the dialogue."""

    def __init__(self, run, stdin=subprocess.DEVNULL, command=None, env=None):
        if env is None:
            env = dict(os.environ, FWUPGRADE_COM_DIR=run.com)
        self.run = run
        self.started = time.time()
        self.proc = subprocess.Popen(command or [run.args.updater], stdin=stdin,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     env=env, cwd=run.dir)
        self.text = {"out": b"", "err": b""}
        self.pipes = {"out": self.proc.stdout, "err": self.proc.stderr}

    def pump(self, seconds):
        """Collects output for up to `seconds` (less once every pipe has ended)."""
        deadline = time.time() + seconds
        while self.pipes and time.time() < deadline:
            fds = {pipe.fileno(): name for name, pipe in self.pipes.items()}
            ready, _, _ = select.select(list(fds), [], [], min(0.1, max(0, deadline - time.time())))
            for fd in ready:
                chunk = os.read(fd, 65536)
                if chunk:
                    self.text[fds[fd]] += chunk
                else:
                    self.pipes.pop(fds[fd]).close()

    def wait_for(self, stream, pattern, seconds):
        """Waits until the stream's text matches the regular expression."""
        deadline = time.time() + scaled(seconds)
        while not re.search(pattern, self.text[stream]):
            if time.time() > deadline or self.proc.poll() is not None:
                raise RuntimeError("never saw %r on std%s (got %r)"
                                   % (pattern, stream, self.text[stream][-200:]))
            self.pump(0.1)

    def close_stdout(self):
        self.pipes.pop("out").close()

    def finish(self, seconds):
        """Waits for the end; the exit status, stdout and stderr as text."""
        deadline = time.time() + scaled(seconds)
        while self.proc.poll() is None and time.time() < deadline:
            self.pump(0.2)
        if self.proc.poll() is None:
            self.proc.kill()
        self.pump(2)
        status = self.proc.wait()
        self.run.elapsed = time.time() - self.started
        return status, self.text["out"].decode("latin-1"), self.text["err"].decode("latin-1")


def port_left_free(run, port):
    """None when another program can take the port now: no exclusive flag left
    on the tty and its lock free; else what is wrong."""
    import fcntl
    import struct
    fd = os.open(os.path.join(run.com, "COM%d" % port), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, b"\0" * 4))[0]
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            locked = False
        except OSError:
            locked = True
    finally:
        os.close(fd)
    problems = (["exclusive flag still set"] if exclusive else []) + (["still locked"] if locked else [])
    return "COM%d: %s" % (port, ", ".join(problems)) if problems else None


def stream_started(updater):
    """Waits until the FPGA image is on its way (its percentage display runs)."""
    updater.wait_for("out", re.escape(FPGA_SEND.encode()) + rb"1%\x08\x08\d", 120)


def case_interrupt_detecting(run):
    """SIGINT while detection holds COM1: the run stops with 130, the port is free."""
    run.start_unit("--ports", "1-2", "--unit-port", "2")
    updater = LiveUpdater(run)
    updater.wait_for("out", re.escape(header().encode()) + b"$", 10)
    updater.pump(1.5)  # COM1 is probed for 6 s (12 silent replies of 500 ms)
    updater.proc.send_signal(signal.SIGINT)
    status, out, err = updater.finish(10)
    run.expect_equal("exit status", status, 130)
    run.expect_equal("transcript", out, header())
    run.expect_equal("stderr", err, STOPPED_BEFORE_IMAGES)
    for port in (1, 2):
        run.expect_equal("port after the run", port_left_free(run, port), None)


def case_interrupt_key_wait(run):
    """SIGTERM during the final key wait, standard input a terminal: its settings
    come back as they were, and the transcript is left as it was."""
    import termios
    master, slave = os.openpty()
    try:
        before = termios.tcgetattr(slave)
        run.start_unit("--ports", "1", "--fault", "device=2")
        updater = LiveUpdater(run, stdin=slave)
        updater.wait_for("out", re.escape(PRESS_KEY.encode()) + b"$", 60)
        deadline = time.time() + scaled(10)  # the key wait switches the terminal to raw
        while termios.tcgetattr(slave)[3] & termios.ICANON and time.time() < deadline:
            time.sleep(0.05)
        run.expect_equal("terminal raw during the key wait",
                         termios.tcgetattr(slave)[3] & (termios.ICANON | termios.ECHO), 0)
        updater.proc.send_signal(signal.SIGTERM)
        status, out, err = updater.finish(10)
        run.expect_equal("terminal settings after the run", termios.tcgetattr(slave), before)
    finally:
        os.close(master)
        os.close(slave)
    run.expect_equal("exit status", status, 130)
    run.expect_equal("transcript", out, header() + found(1, 115200) + versions("1.0.3 XC7A35 1.3 2")
                     + "Checking product .......... FAILED, Unknown product\r\n"
                     + NOT_SUCCESSFUL + PRESS_KEY)
    run.expect_equal("stderr", err, STOPPED)
    run.expect_equal("port after the run", port_left_free(run, 1), None)


def interrupt_twice_streaming(run, updater, relabelled=False):
    """Two interrupts during the FPGA stream: a warning, then the stop anyway.
    After the warning the progress goes on bare, or after its label again if RELABELLED.
    (Shared with the Wine tests, where Wine turns SIGINT into a Ctrl+C event.)"""
    stream_started(updater)
    updater.proc.send_signal(signal.SIGINT)
    updater.wait_for("err", re.escape(WARNING_AT_RISK.encode()) + b"$", 5)
    # Something more comes (a percentage about every 0.9 s at line rate, or
    # the next step): later when the unit or the updater waits for a core on
    # a loaded machine.
    before = len(updater.text["out"])
    until = time.time() + scaled(10)
    # A percentage is waited for too, so that a label printed again has one after it.
    while (updater.proc.poll() is None and time.time() < until
           and not re.search(rb"\d%", updater.text["out"][before:])):
        updater.pump(0.1)
    run.expect_equal("the stream goes on after the warning",
                     updater.proc.poll() is None and len(updater.text["out"]) > before, True)
    updater.proc.send_signal(signal.SIGINT)
    status, out, err = updater.finish(10)
    run.expect_equal("exit status", status, 130)
    run.expect_equal("stderr", err, WARNING_AT_RISK + STOPPED_AT_RISK)
    run.expect_equal("transcript cut in the stream", PRESS_KEY in out, False)
    # The FPGA stream's progress, whole: the second interrupt may come after it.
    label, percentages = re.escape(FPGA_SEND), r"\d+%(?:\x08+\d+%)*"
    run.expect_equal("progress after the warning", re.match(
        label + percentages + (label + percentages if relabelled else "") + r"(?![\d\x08]|%s)" % label,
        out[out.find(FPGA_SEND):]) is not None, True)
    run.expect_equal("port after the run", port_left_free(run, 1), None)


def case_interrupt_twice_streaming(run):
    run.start_unit("--ports", "1", "--pace")  # at line rate: the warning lands mid-stream
    interrupt_twice_streaming(run, LiveUpdater(run))


def case_interrupt_and_closed_stdout(run):
    """Mid-stream the reader of the updater's standard output goes away (a pager
    quit, `| head`), and one SIGINT comes: the update still completes, both
    images arrive intact, the status says so, the warning was printed once."""
    fpga, mcu = run.image(1), run.image(0)
    run.start_unit("--ports", "1")
    updater = LiveUpdater(run)
    stream_started(updater)
    updater.close_stdout()
    updater.pump(3)  # a percentage is printed about every 0.9 s
    run.expect_equal("alive after its stdout closed", updater.proc.poll(), None)
    updater.proc.send_signal(signal.SIGINT)
    status, _, err = updater.finish(400)
    run.expect_equal("exit status", status, 0)
    run.expect_equal("stderr", err, WARNING_AT_RISK)
    run.expect_equal("FPGA image received", run.saved("fpga.bin") == fpga, True)
    run.expect_equal("MCU image received", run.saved("mcu.bin") == mcu, True)


CASES = {
    "arguments": case_arguments,
    "held-port": case_held_port,
    "talker-trickle": case_talker_trickle,
    "talker-nmea": case_talker_nmea,
    "interrupt-detecting": case_interrupt_detecting,
    "interrupt-key-wait": case_interrupt_key_wait,
    "interrupt-twice-streaming": case_interrupt_twice_streaming,
    "interrupt-closed-stdout": case_interrupt_and_closed_stdout,
    "chatter": case_chatter,
    "extra-cr": case_extra_cr,
    "tx-success": case_tx_success,
    "rx-com5-57600": case_rx_com5,
    "manual": case_manual,
    "manual-missing-port": case_manual_missing_port,
    "wrong-device": case_wrong_device,
    "no-ready": case_no_ready,
    "rejected": case_rejected,
    "disconnect": case_disconnect,
}


def process_gone(pid):
    """True once PID has ended (gone, or a zombie left for its parent)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def default_interrupt():
    """SIGINT back to its default for the programs the cases start (they
    inherit an ignored one, as a background job's, and then keep it)."""
    signal.signal(signal.SIGINT, signal.default_int_handler)


def run_cases(cases, make_run, name_prefix=""):
    """The drivers' common entry: parse the program paths and the case name, run
    the case in its own folder, report, and return the exit status."""
    parser = argparse.ArgumentParser()
    parser.add_argument("--updater", required=True)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("case", choices=sorted(cases))
    args = parser.parse_args()
    default_interrupt()
    for name in ("updater", "tool", "unitsim"):
        setattr(args, name, os.path.abspath(getattr(args, name)))
    run = make_run(args, name_prefix + args.case)
    try:
        cases[args.case](run)
    except Exception as error:  # report, then still clean up the simulator
        run.fail("%s: %s" % (type(error).__name__, error))
    status = run.finish()
    print("%s: %s (updater ran %.1f s)" % (args.case, "FAILED" if status else "passed",
                                           getattr(run, "elapsed", 0.0)))
    return status


def main():
    return run_cases(CASES, Run)


if __name__ == "__main__":
    sys.exit(main())
