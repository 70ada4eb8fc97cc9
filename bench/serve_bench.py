"""Figure 13: `station serve`. The first byte of its pages over a year's store
(called by year_bench.py on the stores of figure 12), and a round of many
fixtures with many browsers' event streams open (called by benchmark.py
beside figure 8): the round's mean against a lone run, and how long each
record's end takes to reach every stream."""

import calendar
import json
import os
import re
import select
import socket
import statistics
import subprocess
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
    for i in range(times + 1):
        with socket.create_connection(("127.0.0.1", port), timeout=600) as s:
            request = b"GET %s HTTP/1.1\r\nHost: bench\r\nConnection: close\r\n\r\n" % path.encode()
            began = time.monotonic()
            s.sendall(request)
            s.recv(1)
            if i:
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
    """`count` browsers' event streams, read in one thread of select: when
    each saw each fixture's board end."""

    def __init__(self, port, count):
        self.sockets = []
        for _ in range(count):
            s = socket.create_connection(("127.0.0.1", port), timeout=30)
            s.sendall(b"GET /events HTTP/1.1\r\nHost: bench\r\n\r\n")
            s.setblocking(False)
            self.sockets.append(s)
        self.text = {s: "" for s in self.sockets}
        self.ended = {s: {} for s in self.sockets}  # fixture -> when its end was seen

    def read(self, seconds):
        deadline = time.time() + seconds
        while time.time() < deadline:
            ready, _, _ = select.select(self.sockets, [], [], max(0, deadline - time.time()))
            now = time.time()
            for s in ready:
                piece = s.recv(1 << 20)
                if not piece:
                    self.sockets.remove(s)
                    continue
                self.text[s] += piece.decode(errors="replace")
                *events, self.text[s] = self.text[s].split("\n\n")
                for event in events:
                    for fixture, status in CARD.findall(event):
                        if status in ("PASS", "FAIL") or status.startswith("FAIL ("):
                            self.ended[s].setdefault(fixture, now)

    def close(self):
        for s in self.ended:
            s.close()


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
