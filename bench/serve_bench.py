"""Figure 13: `station serve`. The first byte of its pages over a year's store
(called by year_bench.py on the stores of figure 12), and a round of many
fixtures with many browsers' event streams open (called by benchmark.py
beside figure 8): the round's mean against a lone run, and how long each
record's end takes to reach every stream."""

import calendar
import json
import os
import re
import resource
import selectors
import socket
import statistics
import subprocess
import threading
import time

CARD = re.compile(r'data-fixture="([^"]+)">.*?<div class="status">([^<]*)</div>')


def start(folder):
    """`station serve` on a free port, once it has read the line: (process, port)."""
    process = subprocess.Popen([os.environ["STATION"], "serve", "--listen", "127.0.0.1:0"],
                               cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
    first = process.stdout.readline().decode()
    if " at http://" not in first:
        process.kill()
        raise RuntimeError("serve did not start: %r" % first)
    port = int(first.strip().rstrip("/").rsplit(":", 1)[1])
    deadline = time.monotonic() + 120
    while json.loads(get(port, "/api/line"))["as_of"] == "":
        if time.monotonic() > deadline:
            raise RuntimeError("serve never read the line")
        time.sleep(0.1)
    return process, port


def stop(process):
    process.terminate()
    process.wait(timeout=30)
    process.stdout.close()


def get(port, path):
    with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
        s.sendall(b"GET %s HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n" % path.encode())
        data = b""
        while True:
            piece = s.recv(65536)
            if not piece:
                break
            data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    if b" 200 " not in head.split(b"\r\n")[0]:
        raise RuntimeError("%s: %r" % (path, head[:100]))
    if b"chunked" in head.lower():
        body = dechunked(body)
    return body.decode()


def dechunked(body):
    out = b""
    while body:
        size, _, body = body.partition(b"\r\n")
        n = int(size, 16)
        if n == 0:
            break
        out, body = out + body[:n], body[n + 2:]
    return out


def first_byte(port, path, times=20):
    """Seconds from a request's last byte sent to the answer's first byte
    read: (median, slowest) of `times`, after one to warm the store."""
    took = []
    for i in range(times + 1 if times > 1 else 1):
        with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
            request = b"GET %s HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n" % path.encode()
            began = time.monotonic()
            s.sendall(request)
            s.recv(1)
            if i or times == 1:
                took.append(time.monotonic() - began)
            while s.recv(65536):
                pass
    return statistics.median(took), max(took)


def store_rows(engine, folder, what):
    """Figure 13's rows for the store of the station file in `folder`."""
    process, port = start(folder)
    rows = []
    try:
        for name, path, goal in (("/", "/", 0.1), ("/yield, the last 7 days", "/yield", 0.3),
                                 ("/yield, the whole year",
                                  "/yield?since=2026-01-01&until=2026-12-31", 0.3),
                                 ("/yield?by=shift", "/yield?by=shift", 0.3),
                                 ("/yield?by=lot", "/yield?by=lot", 0.3),
                                 ("/board/MAC", "/board/02000004D2A0", None)):
            median, slowest = first_byte(port, path)
            rows.append(("13. first byte of %s, %s" % (name, engine), "%.1f ms" % (median * 1000),
                         "< %d ms" % (goal * 1000) if goal else "",
                         "%.3f" % (median / goal) if goal else "",
                         "median of 20, slowest %.1f ms%s" % (slowest * 1000, what)))
            what = ""
    finally:
        stop(process)
    return rows


def utc_seconds(text):
    return calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) + int(text[20:23]) / 1000


class Streams:
    """`count` browsers' event streams, read in one thread: when each saw
    each fixture's board end. From 250 loopback addresses, as browsers on
    a LAN are: the server caps the connections and streams of one address,
    and shares its streams fairly between addresses."""

    def __init__(self, port, count):
        self.selector = selectors.DefaultSelector()
        self.sockets = []
        for i in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=30,
                                         source_address=("127.0.8.%d" % (1 + i % 250), 0))
            s.sendall(b"GET /events HTTP/1.1\r\nHost: bench\r\n\r\n")
            s.setblocking(False)
            self.sockets.append(s)
            self.selector.register(s, selectors.EVENT_READ)
        self.text = {s: "" for s in self.sockets}
        self.ended = {s: {} for s in self.sockets}  # fixture -> when its end was seen

    def read(self, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            ready = self.selector.select(max(0, deadline - time.time()))
            now = time.time()
            for key, _ in ready:
                s = key.fileobj
                piece = s.recv(1 << 20)
                if not piece:
                    self.selector.unregister(s)
                    continue
                self.text[s] += piece.decode(errors="replace")
                *events, self.text[s] = self.text[s].split("\n\n")
                for event in events:
                    for fixture, status in CARD.findall(event):
                        if status in ("PASS", "FAIL") or status.startswith("FAIL ("):
                            self.ended[s].setdefault(fixture, now)

    def close(self):
        self.selector.close()
        for s in self.ended:
            s.close()


def resident_mb(pid):
    with open("/proc/%d/status" % pid) as f:
        return [int(l.split()[1]) for l in f if l.startswith("VmRSS:")][0] / 1024


def header_flood(port):
    """A request of 200 MB of 8 KB header lines, or as much of it as the
    server reads: (bytes sent, what the server answered)."""
    line = b"X-Fill: " + b"f" * 8182 + b"\r\n"
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(b"GET / HTTP/1.1\r\nHost: bench\r\n")
        watch = selectors.DefaultSelector()
        watch.register(s, selectors.EVENT_READ)
        sent, answer = 0, b""
        try:
            while sent < 200 << 20 and not watch.select(timeout=0):
                s.sendall(line * 16)
                sent += len(line) * 16
        except OSError:
            pass  # closed by the server: its answer may be there still
        try:
            answer = s.recv(200)
        except OSError:
            pass
        watch.close()
        return sent, answer


def tcp_memory_mb():
    """What the kernel's TCP sockets hold, all of them (/proc/net/sockstat
    counts pages)."""
    with open("/proc/net/sockstat") as f:
        for l in f:
            if l.startswith("TCP:"):
                words = l.split()
                return int(words[words.index("mem") + 1]) * os.sysconf("SC_PAGE_SIZE") / 2**20
    raise RuntimeError("no TCP line in /proc/net/sockstat")


def stuck_stream(port, source):
    """An event stream with a 1 KB receive window that is never read."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1024)
    s.bind((source, 0))
    s.connect(("127.0.0.1", port))
    s.sendall(b"GET /events HTTP/1.1\r\nHost: bench\r\n\r\n")
    return s


class Attack:
    """What a hostile LAN does beside the line's browsers, all at once:
    `slow` clients from ten loopback addresses, each sending a header line
    every 2 s and never the request's end; `idle` connections from 40
    addresses that send nothing (each of both that the server closes is
    opened again); `stuck` event streams from four addresses with a 1 KB
    receive window, never read; and one request with 200 MB of header
    lines. Meanwhile the line page is asked every 100 ms, and the server's
    memory and the kernel's TCP memory are read."""

    def __init__(self, port, pid, slow=1000, idle=5000, stuck=512):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 8192)), hard))
        self.port, self.pid, self.count = port, pid, slow
        self.stopping = threading.Event()
        self.page_times, self.peak_mb, self.closed = [], resident_mb(pid), 0
        self.kernel_before = self.kernel_peak = tcp_memory_mb()
        self.selector = selectors.DefaultSelector()
        self.slow, self.idle = set(), set()
        for i in range(slow):
            self.open_slow(i)
        self.stuck = [stuck_stream(port, "127.0.10.%d" % (1 + i % 4)) for i in range(stuck)]
        self.idle_refused = 0
        for i in range(idle):
            self.open_idle(i)
        self.rss_before_header = resident_mb(pid)
        self.header_sent, answer = header_flood(port)
        self.header_answer = answer.split(b"\r\n")[0].decode(errors="replace")
        self.rss_after_header = resident_mb(pid)
        self.threads = [threading.Thread(target=self.drip), threading.Thread(target=self.ask)]
        for t in self.threads:
            t.start()

    def open_slow(self, i):
        s = socket.create_connection(("127.0.0.1", self.port), timeout=30,
                                     source_address=("127.0.9.%d" % (1 + i % 10), 0))
        s.sendall(b"GET / HTTP/1.1\r\nHost: bench\r\n")
        s.setblocking(False)
        self.selector.register(s, selectors.EVENT_READ, i)
        self.slow.add(s)

    def open_idle(self, i):
        try:
            s = socket.create_connection(("127.0.0.1", self.port), timeout=30,
                                         source_address=("127.0.11.%d" % (1 + i % 40), 0))
        except OSError:
            self.idle_refused += 1
            return
        s.setblocking(False)
        self.selector.register(s, selectors.EVENT_READ, -1 - i)
        self.idle.add(s)

    def drip(self):
        while not self.stopping.wait(2):
            for s in list(self.slow):
                try:
                    s.send(b"X-Slow: 1\r\n")
                except OSError:
                    pass
            for key, _ in self.selector.select(0):
                # Closed by the server (its 10 s for a whole request, or to
                # make room): again.
                self.selector.unregister(key.fileobj)
                self.slow.discard(key.fileobj)
                self.idle.discard(key.fileobj)
                key.fileobj.close()
                self.closed += 1
                if key.data >= 0:
                    self.open_slow(key.data)
                else:
                    self.open_idle(-1 - key.data)
            self.peak_mb = max(self.peak_mb, resident_mb(self.pid))
            self.kernel_peak = max(self.kernel_peak, tcp_memory_mb())

    def ask(self):
        while not self.stopping.wait(0.1):
            took, _ = first_byte(self.port, "/", times=1)
            self.page_times.append(took)

    def stop(self):
        self.stopping.set()
        for t in self.threads:
            t.join()
        self.selector.close()
        for s in self.slow | self.idle:
            s.close()
        for s in self.stuck:
            s.close()

    def p99_page(self):
        return sorted(self.page_times)[max(0, int(len(self.page_times) * 0.99) - 1)]


def delays(streams, records):
    """Each record's end to its sight on each stream, in seconds."""
    out = []
    for r in records:
        for seen in streams.ended.values():
            if r["fixture"] in seen:
                out.append(seen[r["fixture"]] - utc_seconds(r["ended"]))
            else:
                out.append(float("inf"))
    return out
