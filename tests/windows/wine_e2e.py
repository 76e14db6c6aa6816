#!/usr/bin/env python3
"""The Windows executables under Wine, end to end.

Each case makes a fresh Wine prefix in its own temporary folder and maps the
simulated unit's pseudo-terminals (unitsim, a native program) as COM ports of
that prefix: Wine reads its serial ports from the registry key
HKLM\\Software\\Wine\\Ports, where each COMn the simulator offers points at
the simulator's COMn link. The console transcript of TessaranFwUpgrade.exe is
compared byte for byte with the one the Linux build prints (the texts are
shared with the Linux end-to-end tests), and so are the exit status and the
images the unit received.

Only runs whose unit answers on COM1 are played here, so the detection scan
stops there. Wine gives the machine's own serial devices (/dev/ttyS*, USB
adapters) the next free COM numbers whatever the registry says, and a port
listed in the registry without a device behind it opens and then refuses
its settings, where Windows would refuse the open: a scan past COM1 would
write probes to the machine's ports and see ports Windows would not.

    wine_e2e.py --windows-build DIR --tool NATIVE_TOOL --unitsim PATH
                --wine-run PATH CASE
"""
import argparse
import json
import os
import pty
import re
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import e2e  # noqa: E402  (the console texts and the unitsim runner of the Linux tests)
import tool_e2e  # noqa: E402  (the Linux tool cases, some played here by the Windows tool)

class WineRun(e2e.Run):
    """One case: a temporary folder with the simulator's ports and a Wine prefix."""

    def __init__(self, args, name):
        super().__init__(args, name)
        self.prefix = os.path.join(self.dir, "wine-prefix")
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")

    def make_prefix(self, com_ports):
        """A new prefix whose COM ports are exactly the simulator's com_ports."""
        started = time.time()
        lines = ["REGEDIT4", "", "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"]
        for port in com_ports:
            lines.append('"COM%d"="%s"' % (port, os.path.join(self.com, "COM%d" % port)))
        reg = os.path.join(self.dir, "ports.reg")
        with open(reg, "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL, env=self.env)
        subprocess.run(["wineboot", "-i"], check=True, timeout=120, **quiet)
        subprocess.run(["wine", "reg", "import", os.path.basename(reg)], cwd=self.dir,
                       check=True, timeout=60, **quiet)
        # Wine maps the ports when its server starts: end this one, so the
        # next start (the program's) reads the new key.
        subprocess.run(["wineserver", "-w"], check=True, timeout=60, **quiet)
        open(os.path.join(self.prefix, ".ready"), "w").close()
        self.prefix_seconds = time.time() - started

    def run_windows(self, program, arguments=(), stdin=b"", timeout=400):
        """Runs a Windows program; its standard output and exit status."""
        started = time.time()
        done = subprocess.run([self.args.wine_run, self.prefix, program] + list(arguments),
                              input=stdin, stdout=subprocess.PIPE, cwd=self.dir,
                              timeout=timeout, env=self.env)
        self.elapsed = time.time() - started
        return done.stdout.decode("latin-1"), done.returncode

    def run_updater(self, stdin=b"", timeout=400):
        return self.run_windows(self.args.updater, stdin=stdin, timeout=timeout)

    def run_tool(self, *arguments, timeout=180):
        """The Windows tool, as the Linux cases run the native one (stderr not kept)."""
        out, status = self.run_windows(self.args.windows_tool, arguments, timeout=timeout)
        return out, "", status

    def finish(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        return super().finish()


class ConsoleUpdater(e2e.LiveUpdater):
    """The program in a console: Wine makes one when its streams are a terminal."""

    def __init__(self, run, command, env):
        master, slave = pty.openpty()
        self.run, self.started, self.text = run, time.time(), {"out": b"", "err": b""}
        self.proc = subprocess.Popen(command, stdin=slave, stdout=slave, stderr=slave, env=env, cwd=run.dir)
        os.close(slave)
        self.pipes = {"out": os.fdopen(master, "rb", buffering=0)}

    def pump(self, seconds):
        try:
            super().pump(seconds)
        except OSError:  # EIO: the terminal's last holder has ended
            self.pipes.pop("out").close()


def case_tx_success(run):
    """A TX unit at 115200 on COM1, found by detection: the whole update."""
    fpga, mcu = run.image(1), run.image(0)
    run.make_prefix([1])
    run.start_unit("--ports", "1", "--unit-port", "1", "--type", "tx", "--baud", "115200")
    out, status = run.run_updater()
    run.expect_equal("transcript", out, e2e.header() + e2e.found(1, 115200)
                     + e2e.update_success(e2e.VERSION, False, len(fpga), len(mcu)))
    run.expect_equal("exit status", status, 0)
    run.expect_equal("FPGA image received", run.saved("fpga.bin") == fpga, True)
    run.expect_equal("MCU image received", run.saved("mcu.bin") == mcu, True)


def case_wrong_device(run):
    """The unit reports device code 2: the update stops at the product check."""
    run.make_prefix([1])
    run.start_unit("--ports", "1", "--fault", "device=2")
    out, status = run.run_updater(timeout=120)
    run.expect_equal("transcript", out, e2e.header() + e2e.found(1, 115200)
                     + e2e.versions("1.0.3 XC7A35 1.3 2")
                     + "Checking product .......... FAILED, Unknown product\r\n"
                     + e2e.NOT_SUCCESSFUL + e2e.PRESS_KEY)
    run.expect_equal("exit status", status, 1)


def case_export_web(run):
    """export-web writes the same file, and prints the same text, as on Linux."""
    native_dir = os.path.join(run.dir, "native")
    os.mkdir(native_dir)
    native = subprocess.run([run.args.tool, "export-web"], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, cwd=native_dir, timeout=60)
    run.make_prefix([])
    out, status = run.run_windows(run.args.windows_tool, ["export-web"], timeout=120)
    run.expect_equal("exit status", status, native.returncode)
    run.expect_equal("console text", out, native.stdout.decode("latin-1"))
    with open(os.path.join(native_dir, "FwToUpload.bin"), "rb") as f:
        expected = f.read()
    written = os.path.join(run.dir, "FwToUpload.bin")
    if not os.path.exists(written):
        run.fail("the Windows tool wrote no FwToUpload.bin")
        return
    with open(written, "rb") as f:
        got = f.read()
    if got != expected:
        run.fail("FwToUpload.bin differs\n" + e2e.describe_difference(
            got.decode("latin-1"), expected.decode("latin-1")))
    # The NUL device is written directly: no temporary (whose name would be a
    # device name too) and no file named after it.
    before = set(os.listdir(run.dir))
    out, status = run.run_windows(run.args.windows_tool, ["image", "--entry", "0", "-o", "NUL"],
                                  timeout=120)
    run.expect_equal("image -o NUL status", status, 0)
    run.expect_equal("files made by image -o NUL", sorted(set(os.listdir(run.dir)) - before), [])


def case_interrupt_twice_streaming(run):
    """Ctrl+C twice during the FPGA stream (Wine delivers a SIGINT to a console
    program as a Ctrl+C event, on a thread of its own as Windows does): the
    first warns and the update goes on, the second stops with 130."""
    run.make_prefix([1])
    run.start_unit("--ports", "1")
    e2e.interrupt_twice_streaming(run, e2e.LiveUpdater(
        run, command=[run.args.wine_run, run.prefix, run.args.updater], env=run.env))


def case_probe(run):
    """The Windows tool's probe of COM1 through the real kernel32 calls: the
    unit's data as JSON, only read-only commands on the wire, a trace of the calls."""
    run.make_prefix([1, 40])
    run.start_unit("--ports", "1,40", "--unit-port", "1", "--type", "rx", "--baud", "9600")
    # The system's COM list (Wine: its SERIALCOMM key, no SetupAPI details) reaches past COM32;
    # Wine adds COM ports of its own for the host's serial devices.
    out, status = run.run_windows(run.args.windows_tool, ["ports", "--json"], timeout=180)
    numbers = [p["port"] for p in json.loads(out) if p["state"] != "absent"]
    run.expect_equal("ports", (status, 1 in numbers, numbers[-1], numbers == sorted(numbers),
                               len(json.loads(out)) - len(numbers)), (0, True, 40, True, 0))
    out, status = run.run_windows(run.args.windows_tool,
                                  ["probe", "--port", "1", "--json", "--trace", "trace.txt"],
                                  timeout=180)
    run.expect_equal("exit status", status, 0)
    got = json.loads(out)
    got.pop("device", None)  # the DOS device Wine shows for COM1
    run.expect_equal("json", got, {
        "port": 1, "address": "COM1", "baud": 9600, "type": "RX", "firmware": "1.0.3", "fpga_family": "XC7A35",
        "fpga_version": "1.3", "fpga_device": "1", "release": "1.0.4", "up_to_date": False})
    sent = sorted({detail for _, _, _, event, detail in run.wire() if event == "cmd"})
    run.expect_equal("commands sent", sent, ["%%%fw -p", "%%%fw -v", "%%%help -c version"])
    with open(os.path.join(run.dir, "trace.txt"), encoding="latin-1") as f:
        records = [line.rstrip("\n").split(" ", 3)[3] for line in f]
    run.expect_equal("trace", (records[0], "open COM1 \\\\.\\COM1 ok" in records,
                               records[-1]),
                     ("start TessaranFwTool probe 1.0.4", True, "exit status 0"))
    # A COM number past the 255 of the POSIX table, in both its forms: COM257
    # is the same line as COM1. Wine's Ports key maps no number that high; its
    # DOS device link does.
    os.symlink(os.path.join(run.com, "COM1"), os.path.join(run.prefix, "dosdevices", "com257"))
    for port in ("COM257", "\\\\.\\COM257"):
        out, status = run.run_windows(run.args.windows_tool, ["probe", "--port", port, "--json"])
        run.expect_equal(port, (status, json.loads(out or "{}").get("port")), (0, 257))


def case_probe_network(run):
    """The Windows tool's probe over rfc2217:// (Winsock) through ser2net, to
    an RX unit at 57600 behind a line that starts at 9600: the rate the unit
    answers at was set across the server; only read-only commands were sent."""
    import netfixture
    run.make_prefix([])
    run.start_unit("--unit", "1:rx:57600")
    with netfixture.Ser2net(run.dir, [(netfixture.pty_of(run.com, 1), "rfc2217", "9600n81")]) as server:
        out, status = run.run_windows(run.args.windows_tool,
                                      ["probe", "--port", server.url(0), "--json"], timeout=180)
    run.expect_equal("exit status", status, 0)
    got = json.loads(out)
    got.pop("device", None)
    run.expect_equal("json", got, {
        "port": None, "address": server.url(0), "baud": 57600, "type": "RX", "firmware": "1.0.3",
        "fpga_family": "XC7A35", "fpga_version": "1.3", "fpga_device": "1", "release": "1.0.4",
        "up_to_date": False})
    sent = sorted({detail for _, _, _, event, detail in run.wire() if event == "cmd"})
    run.expect_equal("commands sent", sent, ["%%%fw -p", "%%%fw -v", "%%%help -c version"])


def case_update_network(run):
    """The Windows tool's whole update over rfc2217:// (Winsock) through ser2net,
    of a TX unit at 57600 behind a line that starts at 9600: verified, the
    images whole, and streamed at 115200, so each rate change crossed the server."""
    import netfixture
    fpga, mcu = run.image(1), run.image(0)
    run.make_prefix([])
    run.start_unit("--unit", "1:tx:57600")
    with netfixture.Ser2net(run.dir, [(netfixture.pty_of(run.com, 1), "rfc2217", "9600n81")]) as server:
        out, _, status = run.run_tool("update", "--port", server.url(0), timeout=400)
    verdict = (e2e.update_success(e2e.VERSION, False, len(fpga), len(mcu))[:-len(e2e.PRESS_KEY)]
               + tool_e2e.VERIFY_LINE + "1.0.4 VERIFIED\r\n")
    run.expect_equal("status, transcript from the version query, images, streams", (
        status, out[-len(verdict):], run.saved("COM1/fpga.bin") == fpga, run.saved("COM1/mcu.bin") == mcu,
        [(baud, d[0]) for _, _, baud, event, d in run.wire() if event == "stream-end"]),
        (0, verdict, True, True, [(115200, "l"), (115200, "h")]))


def case_update_skip_current(run):
    """update --skip-current, the Linux case played by the Windows tool."""
    run.make_prefix([1, 2])
    tool_e2e.case_update_skip_current(run)


def case_update_all_watch(run):
    """update-all --watch in a console (Wine's prints escape sequences as
    text: plain lines, no table), its two ports probed while empty: a current
    unit and an outdated one (rejecting its stream) plugged in 15 s on are
    each handled once; an interrupt then ends the watch, exit 1 (one failed)."""
    run.make_prefix([1, 2])
    run.start_unit("--ports", "1-2", "--plug", "1:15:rx:57600:version=1.0.4 XC7A35 1.3 1",
                   "--plug", "2:15:tx:115200:reject", max_seconds=200)
    tool = ConsoleUpdater(run, env=run.env, command=[
        run.args.wine_run, run.prefix, run.args.windows_tool, "update-all", "--ports", "1-2",
        "--watch", "--interval", "2", "--report", "report.json"])
    report, deadline = os.path.join(run.dir, "report.json"), time.time() + 150
    while time.time() < deadline and tool.proc.poll() is None and not (
            os.path.exists(report) and "sending logic" in open(report).read()):
        tool.pump(0.5)
    tool.pump(3)  # the failed unit's port is probed again, and left alone
    tool.proc.send_signal(signal.SIGINT)
    status, out = tool.finish(60)[:2]
    with open(report) as f:
        results = sorted((r["port"], r["result"], r["failed_step"]) for r in json.load(f)["units"])
    events = run.wire()
    plugged = {p: t for t, p, _, e, _ in events if e == "plug"}
    run.expect_equal("status, results, ports probed while empty, streams", (
        status, results, sorted({p for t, p, _, e, _ in events if e == "cmd" and t < plugged[p]}),
        [(p, d[0], t > plugged[p]) for t, p, _, e, d in events if e == "stream-begin"]),
        (1, [(1, "current", ""), (2, "failed", "sending logic")], [1, 2], [(2, "l", True)]))
    # Wine's console hides the cursor around each character (13 bytes each).
    shown = re.sub(r"\x1b\[\?25[lh]", "", out)
    run.expect_equal("the table's sequences, output within 64 KiB, the units' lines", (
        len(re.findall(r"\x1b\[2K|\x1b\[\d+F", shown)), len(out) <= 65536,
        all(word in shown for word in ("COM1", "current", "COM2", "failed"))), (0, True, True))


CASES = {
    "interrupt-twice-streaming": case_interrupt_twice_streaming,
    "probe": case_probe,
    "probe-network": case_probe_network,
    "tx-success": case_tx_success,
    "wrong-device": case_wrong_device,
    "export-web": case_export_web,
    "update-network": case_update_network,
    "update-skip-current": case_update_skip_current,
    "update-all-watch": case_update_all_watch,
}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--windows-build", required=True, help="the MinGW-w64 build folder")
    parser.add_argument("--tool", required=True, help="the native TessaranFwTool")
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    args = parser.parse_args()
    e2e.default_interrupt()
    args.updater = os.path.join(args.windows_build, "src", "updater", "TessaranFwUpgrade.exe")
    args.windows_tool = os.path.join(args.windows_build, "tools", "TessaranFwTool",
                                     "TessaranFwTool.exe")
    for program in (args.updater, args.windows_tool):
        if not os.path.isfile(program):
            print("FAIL: %s is missing: run scripts/build-windows first" % program)
            return 1
    if shutil.which("wine") is None or shutil.which("wineserver") is None:
        print("FAIL: wine is not installed (scripts/install-deps)")
        return 1

    run = WineRun(args, "wine-" + args.case)
    try:
        CASES[args.case](run)
    except Exception as error:  # report, then still clean up Wine and the simulator
        run.fail("%s: %s" % (type(error).__name__, error))
    status = run.finish()
    print("wine %s: %s (Wine prefix made in %.1f s, program ran %.1f s)"
          % (args.case, "FAILED" if status else "passed",
             getattr(run, "prefix_seconds", 0.0), getattr(run, "elapsed", 0.0)))
    return status


if __name__ == "__main__":
    sys.exit(main())
