#!/usr/bin/env python3
"""The simulated unit on its own, driven by a small client on its pty.

    unitsim_test.py PATH_TO_UNITSIM
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time
import tty
import unittest

from e2e import scaled

UNITSIM = None
HELP = b"version\n\r   version <no parameters> {Get the current firmware version}\r\n>>"
TX_ID = b"Zarvel 6G SDI EXTENDER OVER FIBER TX\r\n>>"


class Sim:
    """One unitsim instance in its own folder."""

    def __init__(self, *options, ports="1", unit="1"):
        self.dir = tempfile.mkdtemp(prefix="unitsim-test-")
        self.com = os.path.join(self.dir, "bench", "com")  # unitsim makes it
        self.save = os.path.join(self.dir, "save")
        os.mkdir(self.save)
        self.log = os.path.join(self.dir, "wire.log")
        self.proc = subprocess.Popen(
            [UNITSIM, "--com-dir", self.com, "--ports", ports, "--unit-port", unit,
             "--save-dir", self.save, "--log", self.log, "--max-seconds", "60"] + list(options),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        while True:
            line = self.proc.stdout.readline()
            if not line or line.startswith(b"ready "):
                break

    def open(self, port=1, baud=115200):
        fd = os.open(os.path.join(self.com, "COM%d" % port), os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        set_baud(fd, baud)
        return fd

    def stop_keeping_log(self):
        """Stops it; the wire log's lines (the links left behind fail the test)."""
        with open(self.log) as f:
            lines = f.read().splitlines()
        self.log_left = self.stop()
        assert self.log_left == [], self.log_left
        return lines

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        status = self.proc.wait(timeout=10)
        left = os.listdir(self.com)
        if status != 0:  # a sanitizer report ends the program with a failure
            left.append("exit status %d" % status)
        shutil.rmtree(self.dir, ignore_errors=True)
        return left


def set_baud(fd, baud):
    attributes = termios.tcgetattr(fd)
    attributes[4] = attributes[5] = getattr(termios, "B%d" % baud)
    termios.tcsetattr(fd, termios.TCSANOW, attributes)


def collect(fd, silence=0.3, first=None):
    """Everything that arrives until the line is silent for `silence` seconds,
    with the arrival time of each piece. The first byte may take longer (up to
    `first` seconds when an answer is sure to come: the simulator may wait for
    a core on a loaded machine), more on a slower build."""
    pieces = []
    while True:
        ready, _, _ = select.select([fd], [], [], silence if pieces else scaled(first or silence))
        if not ready:
            return b"".join(p for _, p in pieces), pieces
        try:
            data = os.read(fd, 65536)
        except OSError:
            return b"".join(p for _, p in pieces), pieces
        if not data:
            return b"".join(p for _, p in pieces), pieces
        pieces.append((time.monotonic(), data))


def command(fd, text, silence=0.3, first=None):
    os.write(fd, b"%%" + text + b"\n\r")
    return collect(fd, silence, first)[0]


def write_all(fd, data, pause=0.0):
    """Writes in the updater's 10240-byte pieces, `pause` seconds after each
    one that leaves more to write (time for the simulator to read it even
    on a loaded machine)."""
    os.set_blocking(fd, False)
    done = 0
    while done < len(data):
        try:
            done += os.write(fd, data[done:done + 10240])
            if pause and done < len(data):
                time.sleep(pause)
        except BlockingIOError:
            select.select([], [fd], [])
    os.set_blocking(fd, True)


def trickled(fd, text, seconds=1.0):
    """Sends the command (none when empty), then takes what comes for `seconds`."""
    if text:
        os.write(fd, b"%%" + text + b"\n\r")
    reply = b""
    until = time.monotonic() + seconds
    while time.monotonic() < until:
        if select.select([fd], [], [], 0.1)[0]:
            reply += os.read(fd, 4096)
    return reply


def announce(fd, kind, data, checksum=None):
    if checksum is None:
        checksum = (-sum(data)) & 0xFFFFFFFF
    return command(fd, b"%%fw -%s %d %d" % (kind, checksum, len(data)), first=2.0)


class Console(unittest.TestCase):
    def test_replies_at_the_console_rate_and_garbage_elsewhere(self):
        sim = Sim("--baud", "9600", "--version", "1.0.3 XC7A35 1.3 1")
        try:
            fd = sim.open(baud=115200)
            wrong = command(fd, b"%help -c version")
            self.assertTrue(0 < len(wrong) < 10 and wrong != HELP, wrong)
            set_baud(fd, 9600)
            for text, expected in [
                    (b"%help -c version", HELP),
                    (b"%fw -v", b"1.0.3 XC7A35 1.3 1\r\n>>"),
                    (b"%fw -p", TX_ID),
                    (b"%fw -l 12 x", b"ERROR: invalid parameters\r\n>>"),
                    (b"%nonsense", b"ERROR: unknown command\r\n>>")]:
                with self.subTest(text=text):
                    self.assertEqual(command(fd, text), expected)
            # Without the two percent signs the console echoes the line.
            os.write(fd, b"%fw -v\n\r")
            self.assertEqual(collect(fd)[0], b"%fw -v\r\n1.0.3 XC7A35 1.3 1\r\n>>")
            os.close(fd)
        finally:
            self.assertEqual(sim.stop(), [])

    def test_other_ports_stay_silent_and_reopening_works(self):
        sim = Sim("--type", "rx", ports="1-3", unit="3")
        try:
            for port in (1, 2):
                fd = sim.open(port)
                self.assertEqual(command(fd, b"%help -c version"), b"")
                os.close(fd)
            for _ in range(2):  # a close by the client does not end the unit
                fd = sim.open(3)
                self.assertEqual(command(fd, b"%fw -p"), b"Zarvel 6G SDI EXTENDER OVER FIBER RX\r\n>>")
                os.close(fd)
            with open(sim.log) as log:
                heard = [line.split()[1] for line in log if " cmd " in line]
            self.assertEqual(heard, ["COM1", "COM2", "COM3", "COM3"])
        finally:
            self.assertEqual(sim.stop(), [])


class Streams(unittest.TestCase):
    def test_images_checked_saved_and_reboot_with_banner(self):
        sim = Sim("--baud", "57600", "--reboot-seconds", "1.5")
        try:
            fd = sim.open(baud=57600)
            fpga = bytes((i * 7 + 3) & 0xFF for i in range(50000))
            mcu = bytes((i * 13) & 0xFF for i in range(12345))
            self.assertEqual(announce(fd, b"l", fpga), b"Ready")
            set_baud(fd, 115200)
            write_all(fd, fpga)
            self.assertEqual(collect(fd)[0], b"SUCCESS")
            # A wrong checksum is refused; the console now runs at 115200.
            self.assertEqual(announce(fd, b"h", mcu, checksum=1), b"Ready")
            write_all(fd, mcu)
            self.assertEqual(collect(fd)[0], b"CHECKSUM ERROR")
            self.assertEqual(announce(fd, b"h", mcu), b"Ready")
            write_all(fd, mcu)
            reply, pieces = collect(fd)
            self.assertEqual(reply, b"SUCCESS")
            started = pieces[0][0]
            set_baud(fd, 57600)
            # Rebooting: deaf, then the banner at the console rate.
            self.assertEqual(command(fd, b"%fw -v", silence=0.2), b"")
            banner, pieces = collect(fd, silence=2.5)
            self.assertEqual(banner, b"[TX unit] boot complete\r\n>>")
            self.assertGreaterEqual(pieces[0][0] - started, 1.4)
            os.close(fd)
            with open(os.path.join(sim.save, "fpga.bin"), "rb") as f:
                self.assertEqual(f.read(), fpga)
            with open(os.path.join(sim.save, "mcu.bin"), "rb") as f:
                self.assertEqual(f.read(), mcu)
        finally:
            self.assertEqual(sim.stop(), [])

    def test_stream_sent_at_the_wrong_rate_is_refused(self):
        sim = Sim("--baud", "9600")
        try:
            fd = sim.open(baud=9600)
            data = bytes(range(256)) * 4
            self.assertEqual(announce(fd, b"l", data), b"Ready")
            write_all(fd, data)  # still at 9600: garbage to the unit
            # The verdict goes out at 115200, so a client at 9600 hears garbage.
            reply = collect(fd)[0]
            self.assertTrue(0 < len(reply) < 10 and reply != b"SUCCESS", reply)
            with open(sim.log) as log:
                self.assertIn("sum-ok 1 corrupt 1", log.read())
        finally:
            self.assertEqual(sim.stop(), [])


class Faults(unittest.TestCase):
    def test_reply_faults(self):
        for fault, text, expected in [
                ("silent", b"%help -c version", b""),
                ("extra-cr", b"%fw -p", b"Zarvel 6G SDI EXTENDER OVER FIBER TX\r\r\n>>"),
                ("device=2", b"%fw -v", b"1.0.3 XC7A35 1.3 2\r\n>>"),
                ("no-ready", b"%fw -l 0 0", b""),
                ("reject", b"%fw -l 0 0", b"ReadyFAILED")]:
            with self.subTest(fault=fault):
                sim = Sim("--fault", fault)
                try:
                    fd = sim.open()
                    self.assertEqual(command(fd, text), expected)
                    os.close(fd)
                finally:
                    self.assertEqual(sim.stop(), [])

    def test_timing_faults(self):
        sim = Sim("--fault", "pieces=150", "--fault", "late=400")
        try:
            fd = sim.open()
            sent = time.monotonic()
            os.write(fd, b"%%%help -c version\n\r")
            reply, pieces = collect(fd, silence=0.5)
            self.assertEqual(reply, HELP)
            self.assertEqual(len(pieces), 3)
            # Counted from the command: a piece read late (a busy machine)
            # shortens the gap to the next one, but none comes early.
            for i, (at, _) in enumerate(pieces):
                self.assertGreaterEqual(at - sent, 0.38 + 0.13 * i)
        finally:
            self.assertEqual(sim.stop(), [])

    def test_disconnect_in_a_stream(self):
        sim = Sim("--fault", "disconnect=5000")
        fd = sim.open()
        try:
            self.assertEqual(announce(fd, b"l", bytes(20000)), b"Ready")
            with self.assertRaises(OSError):
                for _ in range(100):
                    os.write(fd, bytes(1000))
                    time.sleep(0.005)
            # The port's name goes just after the line (a moment later when the
            # simulator waits for a core).
            until = time.monotonic() + scaled(5)
            while os.path.lexists(os.path.join(sim.com, "COM1")) and time.monotonic() < until:
                time.sleep(0.05)
            self.assertFalse(os.path.lexists(os.path.join(sim.com, "COM1")))
        finally:
            os.close(fd)
            sim.stop()

    def test_faults_placed_over_both_images(self):
        """unplug= and corrupt= count the bytes of both images together, so one
        offset reaches either image; no-banner reboots without a word."""
        fpga, mcu = bytes(range(256)) * 40, bytes(range(7, 250)) * 20  # 10240 + 4860
        for fault, verdicts, end in [
                ("corrupt=100", [b"CHECKSUM ERROR", b"SUCCESS"], "corrupted"),
                ("corrupt=12000", [b"SUCCESS", b"CHECKSUM ERROR"], "corrupted"),
                ("change=logic@100", [b"CHECKSUM ERROR", b"SUCCESS"], "line-change"),
                ("shift=mcu@50", [b"SUCCESS", b"CHECKSUM ERROR"], "line-shift"),
                ("unplug=12000", [b"SUCCESS", None], "hangup"),
                ("no-banner", [b"SUCCESS", b"SUCCESS"], "no-banner"),
                ("trickle-after-reboot=100", [b"SUCCESS", b"SUCCESS"], "banner")]:
            with self.subTest(fault=fault):
                sim = Sim("--fault", fault, "--reboot-seconds", "1.5")
                fd = sim.open()
                try:
                    got = []
                    for kind, data in ((b"l", fpga), (b"h", mcu)):
                        self.assertEqual(announce(fd, kind, data), b"Ready")
                        try:  # an unplugged port fails the write or falls silent
                            write_all(fd, data)
                            got.append(collect(fd, first=2.0)[0] or None)
                        except OSError:
                            got.append(None)
                    self.assertEqual(got, verdicts)
                    if fault == "no-banner":  # silent reboot, then the new release
                        self.assertEqual(collect(fd, silence=2.5)[0], b"")
                        self.assertEqual(command(fd, b"%fw -v"), b"1.0.4 XC7A35 1.3 1\r\n>>")
                    if fault.startswith("trickle"):  # rebooted: dots only from now on
                        self.assertTrue(collect(fd, silence=2.5)[0].endswith(b">>"))
                        reply = trickled(fd, b"%fw -v")
                        self.assertTrue(4 <= len(reply) <= 12 and set(reply) == {ord(".")}, reply)
                    with open(sim.log) as log:
                        self.assertIn(" %s " % end, log.read())
                finally:
                    os.close(fd)
                    sim.stop()

    def test_replies_after_detection(self):
        """garbage and trickle answer detection, then nothing usable; the trickle
        can wait for a reboot (here: none, so the unit answers)."""
        for fault in ("garbage", "trickle=100", "trickle-after-reboot=100"):
            with self.subTest(fault=fault):
                sim = Sim("--fault", fault)
                try:
                    fd = sim.open()
                    self.assertEqual(command(fd, b"%help -c version"), HELP)
                    if fault.startswith("trickle-after"):
                        self.assertEqual(command(fd, b"%fw -v"), b"1.0.3 XC7A35 1.3 1\r\n>>")
                        os.close(fd)
                        continue
                    reply = trickled(fd, b"%fw -v")
                    if fault == "garbage":
                        self.assertTrue(reply.startswith(b"\xff") and b">>" not in reply, reply)
                    else:
                        self.assertTrue(4 <= len(reply) <= 12 and set(reply) == {ord(".")}, reply)
                    os.close(fd)
                finally:
                    self.assertEqual(sim.stop(), [])

    def test_chatter_never_ends(self):
        sim = Sim("--fault", "chatter")
        try:
            fd = sim.open()
            os.write(fd, b"%%%fw -v\n\r")
            received = 0
            until = time.monotonic() + 1.0
            while time.monotonic() < until:
                ready, _, _ = select.select([fd], [], [], 0.2)
                self.assertTrue(ready, "the unit fell silent")
                received += len(os.read(fd, 65536))
            self.assertGreater(received, 10000)
            os.close(fd)
        finally:
            self.assertEqual(sim.stop(), [])


class Pacing(unittest.TestCase):
    def test_replies_and_streams_take_their_line_time(self):
        sim = Sim("--pace", "--baud", "1200")
        try:
            fd = sim.open(baud=1200)
            sent = time.monotonic()
            os.write(fd, b"%%%help -c version\n\r")
            # The reply's first byte comes after the command's 0.17 s of line time.
            reply, pieces = collect(fd, silence=0.2, first=2.0)
            self.assertEqual(reply, HELP)
            # 20 bytes in and 74 bytes out at 120 bytes/s.
            self.assertGreater(pieces[-1][0] - sent, (20 + 74) / 120 * 0.9)
            data = bytes(23040)
            self.assertEqual(announce(fd, b"l", data, checksum=0), b"Ready")
            set_baud(fd, 115200)
            started = time.monotonic()
            # Without the pause a busy machine may not run the simulator
            # before the pty has taken all 23040 bytes, and nothing is held.
            write_all(fd, data, pause=0.1)
            written = time.monotonic() - started
            reply, pieces = collect(fd, silence=1.0)
            self.assertEqual(reply, b"SUCCESS")
            # Two seconds of line time: the writer is held back for all but
            # the last write, and the reply comes at the end of the line time,
            # or at the latest half a second after the last write.
            self.assertGreater(written, 1.0)
            replied = pieces[0][0] - started
            self.assertGreater(replied, min(2.0, written + 0.5) - 0.1)
            self.assertLess(replied, 2.0 + scaled(0.5))
        finally:
            self.assertEqual(sim.stop(), [])


class Lifecycle(unittest.TestCase):
    def test_stops_by_itself_and_cleans_up(self):
        sim = Sim("--max-seconds", "0.5", ports="1-4")
        self.assertEqual(sorted(os.listdir(sim.com)), ["COM1", "COM2", "COM3", "COM4"])
        self.assertEqual(sim.proc.wait(timeout=5), 0)
        self.assertEqual(sim.stop(), [])

    def test_units_plugged_and_pulled_out_on_schedule(self):
        sim = Sim("--plug", "2:1:tx:115200", "--unplug", "2:2",
                  "--plug", "2:3:rx:9600:version=1.0.4 XC7A35 1.3 1", ports="1-2", unit="0")
        try:
            fd = sim.open(2)
            start = time.monotonic()
            # (seconds from the start, rate, command, reply)
            for at, baud, text, reply in ((0.3, 115200, b"%help -c version", b""),
                                          (1.3, 115200, b"%help -c version", HELP),
                                          (2.3, 115200, b"%help -c version", b""),
                                          (3.3, 9600, b"%fw -v", b"1.0.4 XC7A35 1.3 1\r\n>>")):
                time.sleep(max(0, start + at - time.monotonic()))
                set_baud(fd, baud)
                self.assertEqual(command(fd, text), reply, "at %.1f s" % at)
            os.close(fd)
        finally:
            left = sim.stop_keeping_log()
        changes = [line.split(" ", 3)[3] for line in left if " plug " in line or " unplug " in line]
        self.assertEqual(changes, ["plug tx 115200 unit 1", "unplug ", "plug rx 9600 unit 2"])

    def test_bad_options_are_refused(self):
        for options in (["--ports", "0-3"], ["--type", "xx"], ["--fault", "nonsense"], [],
                        ["--plug", "1:5:tx"], ["--plug", "1:soon:tx:9600"],
                        ["--ports", "1", "--unplug", "3:1"], ["--unplug-after-update", "-1"],
                        ["--bogus", "x"], ["--others", "loud"], ["--talker", "1:nmea"],
                        ["--unit", "1:tx:9600", "--type", "rx"],
                        ["--unit", "1:tx:9600", "--unit", "1:rx:9600"],
                        ["--fault", "drop=1/0"], ["--fault", "stall=fpga@5"],
                        ["--fault", "change=logic@7x"]):
            with self.subTest(options=options):
                args = [UNITSIM] + (["--com-dir", "/tmp"] if options else []) + options
                self.assertEqual(subprocess.run(args, capture_output=True, timeout=10).returncode, 2)


if __name__ == "__main__":
    UNITSIM = sys.argv.pop(1)
    unittest.main(verbosity=2)
