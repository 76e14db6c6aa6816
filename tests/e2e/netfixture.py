"""Terminal servers for the end-to-end tests and the network bench: the
simulated units' pseudo-terminals served over TCP by ser2net, and a proxy that
puts a wide-area link's latency and segmentation between the tool and it.

    with Ser2net(folder, [(pty, "rfc2217", "9600n81"), (pty2, "raw", "115200n81")]) as server:
        server.url(0)                      # "rfc2217://127.0.0.1:PORT"
        with LatencyProxy(server.ports[0]) as proxy:
            ...                            # "rfc2217://127.0.0.1:%d" % proxy.port

Every process started here is stopped by its PID on every path out of the
`with` block, and so is every thread.
"""
import collections
import os
import queue
import random
import re
import select
import signal
import socket
import subprocess
import threading
import time

SER2NET = "/usr/sbin/ser2net"
SCHEMES = {"rfc2217": ("telnet(rfc2217),tcp", "rfc2217"), "raw": ("tcp", "socket")}


def free_port():
    """A TCP port on the loopback that nothing listens on now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pty_of(com_dir, port):
    """The /dev/pts/N behind unitsim's COMn link (ser2net wants the real path)."""
    return os.path.realpath(os.path.join(com_dir, "COM%d" % port))


def listening(port):
    """Whether something listens on 127.0.0.1:port, read from /proc/net/tcp so
    that asking does not open a connection (ser2net would open the line)."""
    wanted = "0100007F:%04X" % port
    with open("/proc/net/tcp") as f:
        return any(fields[1] == wanted and fields[3] == "0A"
                   for fields in (line.split() for line in f.readlines()[1:]))


def stop_process(proc, grace=5.0):
    """SIGTERM, then SIGKILL after `grace` seconds; reaps it. Its exit status."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            proc.kill()
    return proc.wait()


def cpu_seconds(pid):
    """User plus system CPU time a running process has used so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Ser2net:
    """One ser2net with one accepter per line: (device, "rfc2217" or "raw",
    line settings such as "9600n81"). An RFC 2217 client sets the rate itself;
    a raw line keeps the settings given."""

    def __init__(self, folder, lines):
        self.folder = folder
        self.lines = lines
        self.proc = None
        self.ports = []

    def url(self, index, host="127.0.0.1"):
        return "%s://%s:%d" % (SCHEMES[self.lines[index][1]][1], host, self.ports[index])

    def start(self, seconds=10.0):
        # A port picked free can be taken before ser2net binds it: then it
        # exits or never listens there, and another set of ports is tried.
        for _ in range(3):
            self.ports = [free_port() for _ in self.lines]
            config = os.path.join(self.folder, "ser2net-%d.yaml" % self.ports[0])
            with open(config, "w") as f:
                for i, (device, kind, settings) in enumerate(self.lines):
                    f.write("connection: &line%d\n  accepter: %s,127.0.0.1,%d\n"
                            "  connector: serialdev,%s,%s,local\n"
                            % (i, SCHEMES[kind][0], self.ports[i], device, settings))
            # -u: no UUCP lock files (the tests run without /var/lock rights).
            self.proc = subprocess.Popen([SER2NET, "-n", "-u", "-c", config],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                         stderr=subprocess.DEVNULL)
            deadline = time.time() + seconds
            while time.time() < deadline and self.proc.poll() is None:
                if all(listening(p) for p in self.ports):
                    return self
                time.sleep(0.05)
            self.stop()
        raise RuntimeError("ser2net did not listen on %s" % self.ports)

    def kill(self):
        """The server gone at once, as a crash or a power cut would leave it."""
        self.proc.kill()
        self.proc.wait()

    def stop(self):
        if self.proc is not None:
            stop_process(self.proc)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class LatencyProxy:
    """Forwards TCP connections from a free loopback port to target_port, each
    way delayed by delay +/- jitter seconds and cut into segments of 1 to
    max_segment bytes. Order is kept: a segment is delivered at the later of
    the previous segment's delivery and its arrival plus its own delay.

    As a terminal server with an inactivity timer: `idle` seconds without a
    byte either way end the session (counted in `hangups`); after a session
    ends, connections are refused for `refuse` seconds (the listener is
    closed, as a server still freeing its line).

    A server that hangs up at a chosen moment: the first session whose stream
    to the client carries the text `hang_up_after` ends right after that text is
    delivered (also counted in `hangups`)."""

    def __init__(self, target_port, delay=0.020, jitter=0.010, max_segment=64, seed=None,
                 idle=None, refuse=0.0, hang_up_after=None):
        self.target = ("127.0.0.1", target_port)
        self.delay, self.jitter, self.max_segment = delay, jitter, max_segment
        self.idle, self.refuse, self.refuse_until, self.hangups = idle, refuse, 0.0, 0
        self.hang_up_after = hang_up_after
        self.random = random.Random(seed)
        self.lock = threading.Lock()
        self.threads = []
        self.sockets = []
        self.stopping = False
        self.segments = collections.Counter()  # direction ("up", "down") -> segments sent
        self.bytes = collections.Counter()
        self.listener = None
        self.port = None

    def _listen(self):
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", self.port or 0))
        self.listener.listen(8)
        self.listener.settimeout(0.1)
        self.port = self.listener.getsockname()[1]

    def start(self):
        self._listen()
        self._thread(self._accept)
        return self

    def stop(self):
        self.stopping = True
        with self.lock:
            sockets = list(self.sockets)
        for s in sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        for thread in list(self.threads):
            thread.join(timeout=5)
        for s in sockets + [self.listener]:
            s.close()
        alive = [t.name for t in self.threads if t.is_alive()]
        if alive:
            raise RuntimeError("proxy threads still running: %s" % alive)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def _thread(self, target, *args):
        thread = threading.Thread(target=target, args=args, daemon=True)
        self.threads.append(thread)
        thread.start()

    def _accept(self):
        while not self.stopping:
            if time.monotonic() < self.refuse_until:
                self.listener.close()  # connections refused meanwhile
                time.sleep(self.refuse_until - time.monotonic())
                self._listen()
                continue
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            client.settimeout(None)
            try:
                upstream = socket.create_connection(self.target, timeout=5)
                upstream.settimeout(None)
            except OSError:
                client.close()
                continue
            for s in (client, upstream):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self.lock:
                self.sockets += [client, upstream]
            self.active = time.monotonic()
            session = []
            for source, sink, name in ((client, upstream, "up"), (upstream, client, "down")):
                segments = queue.Queue()
                self._thread(self._read, source, segments)
                session.append(threading.Thread(target=self._deliver, daemon=True,
                                                args=(segments, sink, source, name)))
                self.threads.append(session[-1])
                session[-1].start()
            self._thread(self._watch, session, client, upstream)

    def _watch(self, session, client, upstream):
        """Ends the session after `idle` seconds without a byte; once it has
        ended, however, opens the refusal window."""
        hung_up = False
        while any(t.is_alive() for t in session) and not self.stopping:
            if not hung_up and self.idle is not None and time.monotonic() - self.active > self.idle:
                hung_up = True
                self.hangups += 1
                self._hang_up(client, upstream)
            for t in session:
                t.join(timeout=0.1)
        self.refuse_until = time.monotonic() + self.refuse

    def _read(self, source, segments):
        """Cuts what arrives into segments and gives each its delivery time.
        None marks the end of the stream (closed, reset or stopped)."""
        last = 0.0
        while True:
            try:
                chunk = source.recv(65536)
            except OSError:
                chunk = b""
            now = time.monotonic()
            with self.lock:  # one generator, shared by the threads
                cuts, at = [], 0
                while at < len(chunk):
                    size = self.random.randint(1, self.max_segment)
                    cuts.append(chunk[at:at + size])
                    at += size
                delays = [self.delay + self.random.uniform(-self.jitter, self.jitter)
                          for _ in cuts or [None]]
            for piece, delay in zip(cuts or [None], delays):
                last = max(last, now + delay)
                segments.put((last, piece))
            if not chunk:
                return

    def _hang_up(self, *sockets):
        for s in sockets:
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _deliver(self, segments, sink, source, name):
        seen = b""  # the stream's last bytes, for hang_up_after
        while True:
            at, piece = segments.get()
            pause = at - time.monotonic()
            if pause > 0 and not self.stopping:
                time.sleep(pause)
            try:
                if piece is None:
                    sink.shutdown(socket.SHUT_WR)  # pass the end on, as a FIN
                    return
                sink.sendall(piece)
                self.active = time.monotonic()
                self.segments[name] += 1
                self.bytes[name] += len(piece)
                text = self.hang_up_after
                if name == "down" and text:
                    seen += piece
                    if text in seen:
                        with self.lock:
                            self.hang_up_after, self.hangups = None, self.hangups + 1
                        self._hang_up(source, sink)
                    seen = seen[1 - len(text):]
            except OSError:
                # The far side is gone: drop the connection both ways, as a
                # router between two hosts would once one end resets.
                self._hang_up(source, sink)
                while piece is not None:  # let the reader's end marker go
                    at, piece = segments.get()
                return



# A server's agreement to the client's options: DO and WILL BINARY and SUPPRESS-GO-AHEAD, DO COM-PORT.
AGREE = bytes([255, 253, 0, 255, 251, 0, 255, 253, 3, 255, 251, 3, 255, 253, 44])


class ModemStateFlood:
    """A hostile RFC 2217 server on a free loopback port: NOTIFY-MODEMSTATE without end (one
    state, or two in turn) to each connection until it goes, the block ends, `seconds` pass or
    `until()` holds (checked between chunks). It takes the client's options and acknowledges
    each rate it is given, so that the client goes on through every rate of its search under
    the flood (seconds, not the 3 s of a missing acknowledgement: time for even a slow build to
    fill its trace); with `line_rate`, a server whose line runs at that rate whatever it is
    asked; without `flood`, no flood past the open's chunk.

    A session opens with one chunk of the flood, then the flood waits for the client's first
    rate question: what the server sends before an acknowledgement reaches the client first,
    and loopback buffers hold megabytes, more than a starved client decodes within its 3 s
    bound. Once answered, a session's open cannot fail on it whatever the machine's load."""

    def __init__(self, alternate=False, seconds=30.0, line_rate=None, until=None, flood=True):
        self.line_rate = line_rate and line_rate.to_bytes(4, "big")
        notify = [bytes([255, 250, 44, 107, s, 255, 240]) for s in ([0x30, 0xb0] if alternate else [0x30])]
        self.chunk = b"".join(notify) * 512
        self.until = until or (lambda: False)
        # Without flood: one chunk at the open, then only the answers (a server
        # of its own line rate, whose every answer must reach a starved client).
        self.flood = flood
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.listener.settimeout(0.2)
        self.port, self.deadline = self.listener.getsockname()[1], time.monotonic() + seconds
        self.thread = threading.Thread(target=self._serve, daemon=True)

    def _flooding(self):
        return time.monotonic() < self.deadline and not self.until()

    def _serve(self):
        while self._flooding():
            try:
                with self.listener.accept()[0] as client:
                    client.sendall(AGREE + self.chunk)
                    asked, answered = b"", False
                    while self._flooding():
                        flooding = answered and self.flood
                        if select.select([client], [], [], 0 if flooding else 0.1)[0]:
                            piece = client.recv(65536)
                            if not piece:
                                break
                            asked += piece
                            for rate in re.findall(rb"\xff\xfa\x2c\x01(....)\xff\xf0", asked, re.S):
                                client.sendall(b"\xff\xfa\x2c\x65" + (self.line_rate or rate)
                                               + b"\xff\xf0")
                                answered = True
                            asked = asked[asked.rfind(b"\xff\xf0") + 2:] if b"\xff\xf0" in asked else asked[-64:]
                        if flooding:
                            client.sendall(self.chunk)
            except OSError:
                continue

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.deadline = 0
        self.thread.join(timeout=5)
        self.listener.close()
