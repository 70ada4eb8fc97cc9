"""A TCP proxy of the test's own between a station and a PostgreSQL server's
Unix socket, as a network between them would behave: it can freeze the
connections it carries (stop forwarding, keep them open: a half-open
connection, a frozen switch), freeze one as soon as its client has sent a
given statement, or cut them all (RST); new connections may pass meanwhile.
With a delay, every piece crosses it that much later, each way, as over a
slow link: a statement is in flight for most of its time."""

import heapq
import itertools
import os
import selectors
import socket
import struct
import threading
import time


class Pair:
    def __init__(self, client, server):
        self.client = client
        self.server = server
        self.frozen = False
        self.freeze_after = None  # bytes that freeze the pair once the client sent them


class Proxy:
    def __init__(self, unix_socket, delay=0.0):
        self.target = unix_socket
        self.delay = delay
        self.due = []  # (when, order, pair, sink, data), sent when due
        self.order = itertools.count()
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.pairs = []
        self.freeze_new = False
        self.trigger = None
        self.trigger_freezes = False
        self.fired = None
        self.wake_read, self.wake_write = os.pipe()
        self.ending = False
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def keywords(self, role, database):
        return "host=127.0.0.1 port=%d user=%s dbname=%s" % (self.port, role, database)

    def freeze(self, new_too=False):
        """Every connection it carries now stops, held open; new ones pass
        unless `new_too`."""
        with self.lock:
            for pair in self.pairs:
                pair.frozen = True
            self.freeze_new = new_too
        self.wake()

    def when_sent(self, *texts, freeze=False, then=None):
        """Once a client sends all of `texts` in one piece: its connection is
        frozen right after the server has it (`freeze`), and `then` is called,
        once."""
        with self.lock:
            self.trigger = [t.encode() for t in texts]
            self.trigger_freezes = freeze
            self.fired = then

    def thaw(self):
        """New connections pass; frozen ones stay frozen until cut."""
        with self.lock:
            self.freeze_new = False
            self.trigger = None
        self.wake()

    def cut(self):
        """Every connection reset at once, at both ends."""
        with self.lock:
            pairs, self.pairs = self.pairs, []
        for pair in pairs:
            for end in (pair.client, pair.server):
                end.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                end.close()
        self.wake()

    def close(self):
        self.ending = True
        self.wake()
        self.thread.join(10)
        self.cut()
        self.listener.close()
        os.close(self.wake_read)
        os.close(self.wake_write)

    def wake(self):
        os.write(self.wake_write, b"x")

    def serve(self):
        while not self.ending:
            with self.lock:
                live = [p for p in self.pairs if not p.frozen]
            selector = selectors.DefaultSelector()
            selector.register(self.listener, selectors.EVENT_READ, None)
            selector.register(self.wake_read, selectors.EVENT_READ, "wake")
            for pair in live:
                selector.register(pair.client, selectors.EVENT_READ, (pair, True))
                selector.register(pair.server, selectors.EVENT_READ, (pair, False))
            timeout = max(0.0, self.due[0][0] - time.monotonic()) if self.due else None
            for key, _ in selector.select(timeout):
                if key.data == "wake":
                    os.read(self.wake_read, 4096)
                elif key.data is None:
                    self.accept()
                else:
                    self.forward(*key.data)
            selector.close()
            self.send_due()

    def send_due(self):
        while self.due and self.due[0][0] <= time.monotonic():
            _, _, pair, sink, data = heapq.heappop(self.due)
            with self.lock:
                if pair not in self.pairs or pair.frozen:
                    continue
            try:
                sink.sendall(data)
            except OSError:
                pass

    def accept(self):
        client, _ = self.listener.accept()
        server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            server.connect(self.target)
        except OSError:
            # The server is down: its client is refused, as it would be.
            server.close()
            client.close()
            return
        pair = Pair(client, server)
        with self.lock:
            pair.frozen = self.freeze_new
            self.pairs.append(pair)

    def forward(self, pair, from_client):
        source, sink = (pair.client, pair.server) if from_client else (pair.server, pair.client)
        try:
            data = source.recv(65536)
        except OSError:
            data = b""
        fired = None
        with self.lock:
            if pair not in self.pairs or pair.frozen:
                return
            if not data:
                self.pairs.remove(pair)
                pair.client.close()
                pair.server.close()
                return
            if from_client and self.trigger and all(t in data for t in self.trigger):
                pair.frozen = self.trigger_freezes
                self.trigger = None
                fired, self.fired = self.fired, None
        if self.delay:
            heapq.heappush(self.due, (time.monotonic() + self.delay, next(self.order), pair, sink,
                                      data))
        else:
            try:
                sink.sendall(data)
            except OSError:
                pass
        if fired is not None:
            fired()
