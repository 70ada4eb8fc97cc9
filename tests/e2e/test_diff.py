"""Our POSIX layer against the real kernel32: one program (tests/diff/comm_calls.cpp)
calls each serial function the link uses, with the link's values and the edge
values around them, built once against our layer and once with MinGW against
kernel32, run under Wine. Both print what every call gave; the two outputs must
agree field by field, except where Wine is known to differ from Windows."""

import os
import pty
import select
import subprocess
import sys
import termios
import tty
import unittest

from harness import RUN_TIMEOUT, WineRunner

NATIVE = os.environ.get("COMM_CALLS", "")
WINE = WineRunner(os.environ.get("COMM_CALLS_EXE", ""))
if WINE.exe and not os.path.isfile(WINE.exe):
    sys.exit("no comm_calls.exe at %s: build it first (cmake --build build/windows)" % WINE.exe)

# Bytes on the line before the port is opened, and the 7 the program asks for.
STALE = b"\x11\x22\x33"
ASKED = bytes(range(1, 8))

# Where Wine is known to differ from Windows: the value Windows gives, which
# our layer keeps, and why Wine differs.
WINE_DIFFERS = {
    # Windows opens a port for one handle at a time (share mode 0); Wine opens
    # the Unix device with no sharing check of its own.
    "open second opener": ("failed 5", "Wine does not refuse a second opener"),
    # A new handle on Windows starts with empty queues; Wine opens the Unix
    # device and reads what waits there.
    "read after open": ("ok count=0 bytes= time=about one total time-out",
                        "Wine does not discard what waits at open"),
}

# Where our layer refuses what Linux cannot keep as Windows would: the value
# our layer gives, and why. The link uses none of these.
LAYER_REFUSES = {
    # Linux's termios has no DTR/DSR flow control; Wine accepts the record
    # and leaves DTR as it was.
    "set state DTR handshake": ("failed 87", "Linux has no DTR/DSR handshake"),
    # Speed 0 is B0 to a tty, which drops DTR and hangs the line up; Wine
    # passes it on.
    "set state 0 baud": ("failed 87", "speed 0 would hang up the line"),
}


def run(command, env=None):
    """Runs comm_calls on a new pseudo-terminal with STALE waiting on it;
    returns {name: value} and the bytes the program wrote to the line."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    try:
        path = os.ttyname(slave)
        os.write(master, STALE)
        termios.tcdrain(master)
        process = subprocess.Popen(command(path), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=env)
        results, line_bytes, held = {}, b"", b""
        fd = process.stdout.fileno()
        while True:
            ready = select.select([fd, master], [], [], RUN_TIMEOUT)[0]
            if not ready:
                process.kill()
                raise AssertionError("comm_calls silent; so far %r" % results)
            if master in ready:
                line_bytes += os.read(master, 4096)
            if fd not in ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            held += chunk.replace(b"\r\n", b"\n")
            while b"\n" in held:
                line, held = held.split(b"\n", 1)
                name, _, value = line.decode("latin-1").partition(": ")
                if name == "@@WRITE":
                    os.write(master, ASKED[:int(value)])
                    process.stdin.write(b"go\n")
                    process.stdin.flush()
                else:
                    results[name] = value
        process.wait(timeout=RUN_TIMEOUT)
        process.stdin.close()
        process.stdout.close()
        process.stderr.close()
        return results, line_bytes
    finally:
        os.close(slave)
        os.close(master)


class AgainstKernel32(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not NATIVE:
            raise unittest.SkipTest("COMM_CALLS is not set")
        WINE.set_up()
        cls.addClassCleanup(WINE.tear_down)
        cls.native, cls.native_line = run(lambda path: [NATIVE, path])
        cls.wine, cls.wine_line = run(
            lambda path: [WINE.wine, WINE.exe, WINE.port(path)], env=WINE.env)

    def test_every_call_gives_what_kernel32_gives(self):
        self.assertEqual(sorted(self.native), sorted(self.wine))
        for name, wine_value in self.wine.items():
            with self.subTest(name):
                if name in WINE_DIFFERS or name in LAYER_REFUSES:
                    ours, _ = {**WINE_DIFFERS, **LAYER_REFUSES}[name]
                    self.assertEqual(self.native[name], ours)
                else:
                    self.assertEqual(self.native[name], wine_value)

    def test_the_layer_raises_dtr_and_rts_for_the_links_text(self):
        # The fact that this suite exists for: the old-style text without a
        # flow-control letter enables DTR and RTS.
        fields = dict(f.split("=") for f in self.native['build "115200,N,8,1" fields'].split())
        self.assertEqual((fields["fDtrControl"], fields["fRtsControl"]), ("1", "1"))

    def test_both_put_the_same_bytes_on_the_line(self):
        self.assertEqual(self.native_line, b"\xdd")
        self.assertEqual(self.wine_line, self.native_line)


if __name__ == "__main__":
    unittest.main()
