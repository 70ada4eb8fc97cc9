"""host.exe, the Windows build, under Wine: real kernel32 serial calls on a
pseudo-terminal mapped to a COM port."""

import os
import shutil
import subprocess
import tempfile
import unittest

from harness import BANNER, Agent, Workspace, run_host, sample, success_output

HOST_EXE = os.environ.get("HOST_EXE", "")
COM = 20  # above the ports Wine maps from /dev/ttyS*


def find_wine():
    for candidate in ("wine64", "/usr/lib/wine/wine64", "wine"):
        path = shutil.which(candidate)
        if path:
            return path
    raise unittest.SkipTest("wine is not installed")


def find_wineserver():
    for candidate in ("wineserver", "/usr/lib/wine/wineserver"):
        path = shutil.which(candidate)
        if path:
            return path
    raise unittest.SkipTest("wineserver is not installed")


def crlf(text):
    """What the Windows C runtime's text-mode output makes of a line end."""
    return text.replace("\n", "\r\n")


class UnderWine(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.wine = find_wine()
        cls.prefix = tempfile.mkdtemp(prefix="host_wine_")
        cls.env = dict(os.environ, WINEPREFIX=cls.prefix, WINEDEBUG="-all")
        # One server for all cases keeps each run fast; it is started first so
        # that no run starts one of its own. Its dumps (on a closed pty) go nowhere.
        cls.server = subprocess.Popen([find_wineserver(), "-p"], env=cls.env,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        subprocess.run([cls.wine, "wineboot", "-i"], env=cls.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=600, check=True)

    @classmethod
    def tearDownClass(cls):
        subprocess.run([find_wineserver(), "-k"], env=cls.env, capture_output=True, timeout=60)
        cls.server.wait(timeout=60)
        shutil.rmtree(cls.prefix, ignore_errors=True)

    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.remove)
        self.link = os.path.join(self.prefix, "dosdevices", "com%d" % COM)

    def host(self, args, stdin=b""):
        old = os.environ.copy()
        os.environ.update(self.env)
        try:
            return run_host([HOST_EXE, *args], self.ws.path, stdin, timeout=120,
                            program=self.wine)
        finally:
            os.environ.clear()
            os.environ.update(old)

    def test_options_and_a_missing_port(self):
        if os.path.lexists(self.link):
            os.unlink(self.link)
        cases = [
            (["-v"], BANNER + "Current version = 2\n", 0),
            (["-V"], BANNER + "Invalid option, please use -h for help menu\n", 1),
            (["COM%d" % COM, "001122334455"], BANNER + " serial port does not exist \n"
             "Unable to Open serial port\n\nInit failed\n", 1),
        ]
        for args, expect_out, expect_status in cases:
            with self.subTest(args=args):
                out, err, status = self.host(args)
                self.assertEqual(out, crlf(expect_out))
                self.assertEqual(status, expect_status)

    def test_full_run_on_a_com_port(self):
        board, otp, firmware = sample(3000, 1), sample(1025, 2), sample(2048, 3)
        self.ws.images(board, otp, firmware)
        agent = Agent(workspace=self.ws)
        self.addCleanup(agent.stop)
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(agent.port, self.link)
        out, err, status = self.host(["COM%d" % COM, "001122334455"])
        agent.stop()
        self.assertEqual(out, crlf(success_output(board, otp, firmware)))
        self.assertEqual((err, status), ("", 0))
        self.assertEqual(agent.received("board_data.bin"), board)
        self.assertEqual(agent.received("otp.bin"), otp)
        self.assertEqual(agent.received("firmware.bin"), firmware)


if __name__ == "__main__":
    unittest.main()
