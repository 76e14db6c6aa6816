#!/usr/bin/env python3
"""Fault campaign: many updates against unitsim, each with one fault drawn at
random, and after each run the checks that must hold whatever the fault.

    fault_campaign.py --tool PATH --unitsim PATH [--runs N] [--seed S] [--jobs J]
                      [--faults a,b,...] [--early] [--no-pace] [--keep]

Each run starts its own unitsim (held to the line rate unless --no-pace) and
runs either `TessaranFwTool update --port N` against one unit or
`TessaranFwTool update-all` against two or three units at once, with one fault
from FAULTS at a random moment (a random byte of either image, a random time).
--early keeps to the faults that end a run before the reboot wait, for a quick
sample (CI).

Checks after every run (a broken one is a violation):
  outcome    the exit status, the verdict line, the interrupt's state line and
             the report's `result` agree with what the unit received (its
             wire log: which images it took whole and accepted);
  bound      the run ended within the bound of its fault, and a stopping
             signal ended it within STOP_SECONDS unless it was warned about;
  released   no lock file left in FWUPGRADE_LOCK_DIRS, no exclusive flag or
             flock left on a port, no process but unitsim holding a port, the
             port's line settings as before the run;
  leftovers  no temporary file in the run's folder, no zombie and no
             process of the run still alive after it ended.
It prints one line per run and a table fault x runs x violations, with the seed.
The exit status is 1 when any check failed.
"""
import argparse
import concurrent.futures
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
sys.path.insert(0, HERE)
import e2e  # noqa: E402  (unitsim start and stop, wire log, port checks)
import update_bench  # noqa: E402  (line time)

BAUD = 115200
STOP_SECONDS = 20.0     # a stopping signal ends the run within this, unless it warned
REBOOT_AND_BANNER = 138.0 + 1.0 + 11.0
VERIFY_SECONDS = 30.0
READY_WAITS = 20.0 + 10.0  # the two "Ready" collections (logic, firmware)
# A loaded machine running many runs at once; more for a slower build
# (FWUPGRADE_TEST_TIME_FACTOR, which the sanitizer build's tests are given).
MARGIN = e2e.scaled(30.0)

# name: (what it does, modes it applies to, ends before the reboot wait)
FAULTS = {
    "unplug": ("the adapter goes away at a random byte of either image", "both", True),
    "corrupt": ("one byte of either image arrives changed: the unit refuses it", "both", True),
    "no-ready": ("silence after the announce", "both", True),
    "garbage": ("garbage replies after detection", "both", True),
    "trickle": ("a byte every 300 ms after detection, no answer", "both", True),
    "trickle-verify": ("after the reboot, a byte every 300 ms and no answer", "both", False),
    "no-banner": ("no banner after the reboot", "both", False),
    "sigint": ("one interrupt at a random moment", "both", True),
    "sigint-twice": ("two interrupts 0.5 to 5 s apart", "both", True),
    "sigint-apart": ("update-all --jobs 1: an interrupt in each unit's first stretch at risk",
                     "update-all", False),
    "sigterm": ("SIGTERM at a random moment", "both", True),
    "sighup": ("SIGHUP at a random moment", "both", True),
    "stdout-closed": ("the reader of stdout goes away at a random moment", "both", False),
    "report-unwritable": ("the report's folder cannot be written", "update-all", True),
}
# Faults after both images: the unit has them, yet the update cannot confirm it.
AFTER_IMAGES = {"no-banner", "trickle-verify"}
SIGNALS = {"sigint": signal.SIGINT, "sigint-apart": signal.SIGINT, "sigint-twice": signal.SIGINT, "sigterm": signal.SIGTERM,
           "sighup": signal.SIGHUP}
# Temporary names: ours (NAME.XXXXXX from mkstemp, NAME.PID-N.tmp) and the usual others.
TEMPORARY = re.compile(r"(\.tmp|~|\.part|\.new)$|^\.?tmp|\.tmp\.|^\.#|\.[A-Za-z0-9_]{6}$")
WARNING = "WARNING"
# The state lines of an update interrupted after the unit accepted both images.
INTERRUPTED_WITH_BOTH_IMAGES = ("the unit accepted both images", "the update is complete")


class Plan:
    """One run: its mode, units, fault and moment, all drawn from the run's seed."""

    def __init__(self, number, seed, fault, lengths, early, pace):
        rng = random.Random("%d/%d" % (seed, number))
        self.number, self.fault = number, fault
        modes = ["update", "update-all"] if FAULTS[fault][1] == "both" else [FAULTS[fault][1]]
        self.mode = rng.choice(modes)
        self.count = 1 if self.mode == "update" else 2 if fault == "sigint-apart" else rng.choice([2, 3])
        self.jobs = 1 if fault == "sigint-apart" else self.count
        self.faulty = rng.randint(1, self.count)
        self.types = [rng.choice(["tx", "rx"]) for _ in range(self.count)]
        self.pace, self.early = pace, early
        fpga = lengths[2] if self.types[self.faulty - 1] == "rx" else lengths[1]
        total = fpga + lengths[0]
        self.unit_fault = {"unplug": "unplug=%d", "corrupt": "corrupt=%d"}.get(fault)
        self.offset = None
        if self.unit_fault:
            # Early sample: within the first tenth of the logic image, or the firmware image.
            self.offset = (rng.randrange(fpga // 10) if early and rng.random() < 0.5 else
                           rng.randrange(fpga, total) if early else rng.randrange(total))
            self.unit_fault %= self.offset
        elif fault in ("no-ready", "garbage", "no-banner"):
            self.unit_fault = fault
        elif fault == "trickle":
            self.unit_fault = "trickle=300"
        elif fault == "trickle-verify":
            self.unit_fault = "trickle-after-reboot=300"
        # Signals and a closed stdout: a random moment up to the end of the streams.
        rate = BAUD / 10.0 if pace else 200000.0
        self.streams_end = 8.0 + READY_WAITS + total / rate + 4.0
        # Early sample: before the logic image is announced (from then on the
        # unit is at risk and an interrupt only warns), about 5 s into a run.
        horizon = 4.0 if early else self.streams_end
        self.at = rng.uniform(0.5, horizon)
        self.second_after = rng.uniform(0.5, 5.0)
        # sigint-apart: so long after the unit's logic announce (the 20 s "Ready" wait).
        self.after_announce = [rng.uniform(1.0, 15.0) for _ in range(self.count)]
        self.fpga, self.total = fpga, total
        self.largest = max(lengths[1:3]) + lengths[0]  # the larger logic image and the firmware
        # Early sample: the other units of update-all end early too (wrong device),
        # and so does the unit of a report that cannot be written.
        self.others = "device=2" if early else None
        if early and fault == "report-unwritable":
            self.unit_fault = self.others

    def unit_options(self):
        units = []
        for port in range(1, self.count + 1):
            unit_arg = "%d:%s:%d" % (port, self.types[port - 1], BAUD)
            if port == self.faulty and self.unit_fault:
                unit_arg += ":" + self.unit_fault
            elif port != self.faulty and self.others:
                unit_arg += ":" + self.others
            units += ["--unit", unit_arg]
        return units

    def full_bound(self):
        """Seconds a whole update through the reboot wait and read-back may take."""
        rate = BAUD / 10.0 if self.pace else 200000.0
        full = 8.0 + READY_WAITS + self.largest / rate + 4.0 + REBOOT_AND_BANNER + VERIFY_SECONDS
        probe = 15.0 if self.mode == "update-all" else 0.0
        return full * -(-self.count // self.jobs) + probe + MARGIN  # units in turns of `jobs`

    def bound(self):
        """Seconds the whole run may take."""
        rate = BAUD / 10.0 if self.pace else 200000.0
        probe = 15.0 if self.mode == "update-all" else 0.0
        if self.fault in ("no-ready", "garbage", "trickle"):
            early = 60.0
        elif self.fault in ("unplug", "corrupt"):
            reached = min(self.offset, self.fpga) + max(0, self.offset - self.fpga)
            early = 8.0 + READY_WAITS + (self.total if self.fault == "corrupt" else reached) / rate + 4.0
        elif self.early:  # a signal before any image, or every unit failing its check
            early = 60.0
        else:
            early = None
        if early is not None and (self.mode == "update" or self.others):
            return early + probe + MARGIN
        return self.full_bound()


def unit_state(events, port):
    """What the unit on `port` really got: untouched, updated or broken."""
    began, accepted = False, {}
    for _, p, _, event, detail in events:
        if p != port:
            continue
        if event == "stream-begin":
            began = True
            accepted[detail[0]] = False
        elif event == "stream-end":
            accepted[detail[0]] = "sum-ok 1 corrupt 0" in detail
    if not began:
        return "untouched"
    return "updated" if accepted.get("l") and accepted.get("h") else "broken"


STATE_LINES = [("no image was sent", {"untouched"}),
               ("has no working firmware", {"broken"}),
               ("accepted both images", {"updated"}),
               ("the update is complete", {"updated"})]


class Campaign:
    def __init__(self, args):
        self.args = args
        self.lengths = self.image_lengths()
        self.lock = threading.Lock()

    def image_lengths(self):
        out = subprocess.run([self.args.tool, "--version"], stdout=subprocess.PIPE, check=True).stdout
        return [int(m) for m in re.findall(rb"length (\d+)", out)][:3]

    def run(self, plan):
        run = e2e.Run(self.args, "campaign-%d-%s" % (plan.number, plan.fault))
        violations = []
        started = time.time()
        try:
            violations = self.one(run, plan)
        except Exception as error:  # a broken harness step is reported, never hidden
            violations = ["harness: %s: %s" % (type(error).__name__, error)]
        elapsed = time.time() - started
        run.stop_unit()
        if not violations and not self.args.keep:
            shutil.rmtree(run.dir, ignore_errors=True)
        elif violations:
            violations.append("(kept %s)" % run.dir)
        return plan, elapsed, violations

    def one(self, run, plan):
        v = []
        sim_options = ["--ports", "1-%d" % plan.count] + plan.unit_options()
        if plan.pace:
            sim_options.append("--pace")
        # The unit outlives the longest run the plan allows: an early signal
        # that lands after the announce only warns, and the run goes on to
        # the whole update (its bound is then extended to it, below).
        run.start_unit(*sim_options, max_seconds=max(plan.bound(), plan.full_bound()) + 60)
        locks = os.path.join(run.dir, "locks")
        os.mkdir(locks)
        settings = {port: port_settings(run, port) for port in range(1, plan.count + 1)}
        marker = "fwcampaign-%d-%d" % (os.getpid(), plan.number)
        env = dict(os.environ, FWUPGRADE_COM_DIR=run.com, FWUPGRADE_LOCK_DIRS=locks,
                   FWCAMPAIGN_RUN=marker)
        report = os.path.join(run.dir, "report.json")
        if plan.mode == "update":
            command = [self.args.tool, "update", "--port", str(plan.faulty)]
        else:
            if plan.fault == "report-unwritable":
                report = self.unwritable_report(run)
            command = [self.args.tool, "update-all", "--ports", "1-%d" % plan.count, "--jobs",
                       str(plan.jobs), "--report", report, "--log-dir", "logs"]
        live = e2e.LiveUpdater(run, command=command, env=env)
        seen = set()
        signalled = []   # when each signal was sent
        late = False
        bound = plan.bound()
        scanned = 0.0
        spoke_at = None
        while live.proc.poll() is None and time.time() - live.started < bound:
            if WARNING in live.text["err"].decode("latin-1"):
                bound = max(bound, plan.full_bound())  # warned: the update goes on
            if time.time() - scanned > 2.0:
                seen |= processes_of(marker)
                scanned = time.time()
            # A moment counts from the program's first output: a signal that
            # came before it had started would meet the system's default
            # action, not the program.
            if spoke_at is None and (live.text["out"] or live.text["err"]):
                spoke_at = time.time()
            t = -1.0 if spoke_at is None else time.time() - spoke_at
            if plan.fault == "sigint-apart" and len(signalled) < plan.count:
                # One interrupt into each unit's logic stretch, in turn.
                port = len(signalled) + 1
                begun = [when for when, p, _, event, detail in run.wire()
                         if p == port and event == "stream-begin" and detail.startswith("l ")]
                if begun and time.time() >= begun[0] + plan.after_announce[port - 1]:
                    live.proc.send_signal(signal.SIGINT)
                    signalled.append(time.time())
            elif plan.fault in SIGNALS and len(signalled) < (2 if plan.fault == "sigint-twice" else 1):
                due = plan.at + (plan.second_after if signalled else 0)
                if t >= due:
                    live.proc.send_signal(SIGNALS[plan.fault])
                    signalled.append(time.time())
            if plan.fault == "stdout-closed" and "out" in live.pipes and t >= plan.at:
                live.close_stdout()
            live.pump(0.25)
            for when in signalled:
                if not late and time.time() - when > STOP_SECONDS and live.proc.poll() is None \
                        and WARNING not in live.text["err"].decode("latin-1"):
                    v.append("bound: still running %.0f s after a signal, no warning" % STOP_SECONDS)
                    late = True
        if live.proc.poll() is None:
            # Killed here: what it leaves behind is this kill's doing, not the fault's.
            live.proc.kill()
            for pid in processes_of(marker):  # update-all's children too
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            live.finish(5)
            return v + ["bound: still running after %.0f s (killed)" % bound]
        status, out, err = live.finish(30)
        elapsed = run.elapsed
        time.sleep(1.0)  # children that outlive the tool show now
        seen |= processes_of(marker)
        events = run.wire()
        states = {port: unit_state(events, port) for port in range(1, plan.count + 1)}
        v += self.check_outcome(plan, status, out, err, states, report, run)
        v += check_released(run, plan, locks, settings, events)
        v += check_leftovers(run, seen, marker)
        self.note(plan, status, elapsed, states)
        return v

    def unwritable_report(self, run):
        folder = os.path.join(run.dir, "readonly")
        if os.geteuid() == 0:
            # Permissions do not stop root: a file where the folder should be.
            with open(folder, "w"):
                pass
        else:
            os.mkdir(folder, 0o555)
        return os.path.join(folder, "report.json")

    def check_outcome(self, plan, status, out, err, states, report, run):
        v = []
        allowed_status = {0, 1, 2, 3, 130}
        if status not in allowed_status:
            v.append("outcome: exit status %d" % status)
        signalled = plan.fault in SIGNALS
        if plan.mode == "update":
            state = states[plan.faulty]
            verified = "1.0.4 VERIFIED" in out
            if status == 0 and state != "updated":
                v.append("outcome: exit 0 but the unit is %s" % state)
            if status == 0 and plan.fault != "stdout-closed" and not verified:
                v.append("outcome: exit 0 without the VERIFIED line")
            if status != 0 and verified and "NOT VERIFIED" not in out:
                v.append("outcome: VERIFIED line with exit status %d" % status)
            if status == 1 and state == "updated" and plan.fault not in AFTER_IMAGES:
                v.append("outcome: exit 1 but the unit took both images (%s)" % plan.fault)
            if status == 3 and state != "untouched":
                v.append("outcome: exit 3 (no unit) but the unit is %s" % state)
            if status == 130:
                if not signalled:
                    v.append("outcome: exit 130 without an interrupt")
                lines = [(text, ok) for text, ok in STATE_LINES if text in err]
                if not lines and "Interrupted." not in err:
                    v.append("outcome: exit 130 without a state line on stderr: %r" % err[-200:])
                for text, ok in lines:
                    if state not in ok:
                        v.append("outcome: says '%s' but the unit is %s" % (text, state))
            elif signalled and status != 0 and plan.fault != "stdout-closed":
                # A signal that stopped nothing may meet an update that failed anyway.
                pass
            return v
        # update-all: the report against every unit.
        records = None
        if plan.fault != "report-unwritable":
            try:
                with open(report) as f:
                    records = {r["port"]: r for r in json.load(f)["units"]}
            except (OSError, ValueError, KeyError) as error:
                # Stopped while looking for units: nothing was done, and an
                # earlier report is left as it was rather than emptied.
                stopped_looking = (status == 130 and "interrupted while looking for units" in err
                                   and all(s == "untouched" for s in states.values()))
                if status in (0, 1, 130) and not stopped_looking:
                    v.append("outcome: exit %d but no readable report (%s)" % (status, error))
        elif status == 0:
            v.append("outcome: exit 0 with a report that cannot be written")
        if plan.fault == "report-unwritable" and status == 2 and any(s != "untouched" for s in states.values()):
            v.append("outcome: refused its report but touched a unit")
        if records is not None:
            for port, state in states.items():
                r = records.get(port)
                if r is None:
                    if state != "untouched":
                        v.append("outcome: COM%d is %s but not in the report" % (port, state))
                    continue
                # Interrupted once both images were in: the unit has them, and
                # the report's state line says so.
                took_both = r["result"] == "interrupted" and any(
                    words in r.get("message", "") for words in INTERRUPTED_WITH_BOTH_IMAGES)
                if (r["result"] == "updated") != (state == "updated") and not took_both and \
                        not (plan.fault in AFTER_IMAGES and port == plan.faulty and r["result"] == "failed"):
                    v.append("outcome: COM%d reported %s, the unit is %s" % (port, r["result"], state))
                if r["result"] == "interrupted" and not signalled:
                    v.append("outcome: COM%d interrupted without an interrupt" % port)
            results = [r["result"] for r in records.values()]
            expected = (0 if results and all(x == "updated" for x in results) else
                        1 if "failed" in results else 130 if "interrupted" in results else 3)
            if status != expected and not (status == 130 and signalled and "failed" not in results):
                v.append("outcome: exit %d for results %s" % (status, sorted(results)))
        if plan.fault == "sigint-apart" and any(s == "broken" for s in states.values()):
            # Each interrupt came in a stretch of its own: each may only warn.
            v.append("outcome: an interrupt stopped a stretch it had not warned about (%s)"
                     % sorted(states.items()))
        if status == 0 and any(s != "updated" for s in states.values()):
            v.append("outcome: exit 0 but units are %s" % sorted(states.values()))
        return v

    def note(self, plan, status, elapsed, states):
        if self.args.quiet:
            return
        with self.lock:
            print("run %3d %-17s %-10s units %d  exit %3d  %6.1f s  units: %s"
                  % (plan.number, plan.fault, plan.mode, plan.count, status, elapsed,
                     ",".join(states[p] for p in sorted(states))), flush=True)


def port_settings(run, port):
    """The slave's termios as any program opening it would find them (None when gone)."""
    path = os.path.join(run.com, "COM%d" % port)
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError:
        return None
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


def holders(device):
    """PIDs with `device` open, from /proc/*/fd."""
    try:
        rdev = os.stat(device).st_rdev
    except OSError:
        return set()
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        fds = "/proc/%s/fd" % pid
        try:
            for fd in os.listdir(fds):
                try:
                    st = os.stat(os.path.join(fds, fd))
                except OSError:
                    continue
                if st.st_rdev == rdev and (st.st_mode & 0o170000) == 0o020000:
                    found.add(int(pid))
                    break
        except OSError:
            continue
    return found


def check_released(run, plan, locks, settings, events):
    v = []
    left = os.listdir(locks)
    if left:
        v.append("released: lock files left %s" % left)
    unplugged = {p for _, p, _, event, _ in events if event == "hangup"}
    for port in range(1, plan.count + 1):
        if port in unplugged:
            continue
        link = os.path.join(run.com, "COM%d" % port)
        if not os.path.lexists(link):
            continue
        problem = e2e.port_left_free(run, port)
        if problem:
            v.append("released: " + problem)
        others = holders(link) - {run.sim.pid, os.getpid()}
        if others:
            v.append("released: COM%d still held by %s" % (port, sorted(others)))
        if settings.get(port) is not None and port_settings(run, port) != settings[port]:
            v.append("released: COM%d line settings not restored" % port)
    return v


def processes_of(marker):
    """PIDs whose environment carries the run's marker."""
    needle = ("FWCAMPAIGN_RUN=" + marker).encode() + b"\0"
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/environ" % pid, "rb") as f:
                if needle in f.read():
                    found.add(int(pid))
        except OSError:
            continue
    return found


def check_leftovers(run, seen, marker):
    v = []
    for pid in sorted(seen):
        try:
            with open("/proc/%d/stat" % pid) as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if state == "Z":
            v.append("leftovers: zombie %d" % pid)
        elif pid in processes_of(marker):
            v.append("leftovers: process %d outlived the run" % pid)
            try:
                os.kill(pid, signal.SIGKILL)  # the next runs must not meet it
            except OSError:
                pass
    for folder, _, files in os.walk(run.dir):
        for name in files:
            if TEMPORARY.search(name):
                v.append("leftovers: temporary file %s" % os.path.relpath(os.path.join(folder, name), run.dir))
    return v


def main():
    # The programs the runs start must take SIGINT at its default: started from a
    # background job they would inherit an ignored one and keep it, and every
    # interrupt fault would then go unheard.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--tool", required=True)
    parser.add_argument("--unitsim", required=True)
    parser.add_argument("--updater", help="unused; accepted like the other drivers")
    parser.add_argument("--runs", type=int, default=40)
    parser.add_argument("--seed", type=int, default=None,
                        help="default: $FWUPGRADE_CAMPAIGN_SEED, else a random one (printed)")
    parser.add_argument("--jobs", type=int, default=8)
    parser.add_argument("--faults", default=",".join(FAULTS))
    parser.add_argument("--early", action="store_true",
                        help="only faults that end a run before the reboot wait")
    parser.add_argument("--no-pace", action="store_true", help="streams at pty speed")
    parser.add_argument("--keep", action="store_true", help="keep every run's folder")
    parser.add_argument("--quiet", action="store_true", help="the table only")
    args = parser.parse_args()
    args.tool, args.unitsim = os.path.abspath(args.tool), os.path.abspath(args.unitsim)
    if args.seed is None:  # FWUPGRADE_CAMPAIGN_SEED replays an earlier run's sample
        args.seed = int(os.environ.get("FWUPGRADE_CAMPAIGN_SEED") or
                        int.from_bytes(os.urandom(4), "little"))
    faults = [f for f in args.faults.split(",") if f]
    unknown = [f for f in faults if f not in FAULTS]
    if unknown:
        parser.error("unknown faults %s (known: %s)" % (unknown, ", ".join(FAULTS)))
    if args.early:
        faults = [f for f in faults if FAULTS[f][2]]
    print("fault campaign: seed %d, %d runs, %d at a time%s%s"
          % (args.seed, args.runs, args.jobs, ", early faults" if args.early else "",
             ", unpaced" if args.no_pace else ""), flush=True)
    campaign = Campaign(args)
    rng = random.Random(args.seed)
    # Every fault in turn, in a shuffled order, so a short sample still spreads.
    order = []
    while len(order) < args.runs:
        round_ = list(faults)
        rng.shuffle(round_)
        order += round_
    plans = [Plan(n + 1, args.seed, fault, campaign.lengths, args.early, not args.no_pace)
             for n, fault in enumerate(order[:args.runs])]
    # The longest runs first, so that the short ones fill the gaps beside them.
    plans.sort(key=lambda p: -p.bound())
    table = {f: [0, 0, []] for f in faults}
    started = time.time()
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for plan, elapsed, violations in pool.map(campaign.run, plans):
            row = table[plan.fault]
            row[0] += 1
            if violations:
                row[1] += 1
                row[2].append((plan, violations))
    print("\nfault                 runs  violations   (seed %d, %.0f s)" % (args.seed, time.time() - started))
    for fault in faults:
        runs, bad, _ = table[fault]
        if runs:
            print("%-20s %5d  %10d" % (fault, runs, bad))
    total_runs = sum(r[0] for r in table.values())
    total_bad = sum(r[1] for r in table.values())
    print("%-20s %5d  %10d" % ("total", total_runs, total_bad))
    for fault in faults:
        for plan, violations in table[fault][2]:
            print("\nrun %d (%s, %s, %d units, unit COM%d%s, moment %.1f s):"
                  % (plan.number, fault, plan.mode, plan.count, plan.faulty,
                     ", " + plan.unit_fault if plan.unit_fault else "", plan.at))
            for text in violations:
                print("  " + text)
    print("\nseed %d: rerun with --seed %d --runs %d%s" % (args.seed, args.seed, args.runs,
                                                           " --early" if args.early else ""))
    return 1 if total_bad else 0


if __name__ == "__main__":
    sys.exit(main())
