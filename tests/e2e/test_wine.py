"""host.exe, the Windows build, under Wine: the real kernel32 serial calls on
a pseudo-terminal mapped to a COM port. The end-to-end suite runs here again,
case for case, with Wine's runner."""

import os
import sys
import unittest

import test_e2e as suites
from harness import BANNER, PROMPT, Workspace, WineRunner

WINE = WineRunner()
if WINE.exe and not os.path.isfile(WINE.exe):
    sys.exit("no host.exe at %s: build it first (cmake --preset windows && "
             "cmake --build build/windows)" % WINE.exe)


def setUpModule():
    WINE.set_up()


def tearDownModule():
    WINE.tear_down()


class Options(unittest.TestCase):
    def test_options_and_a_missing_port(self):
        ws = Workspace()
        self.addCleanup(ws.remove)
        # As the native build: the same output for each.
        cases = [
            (["-v"], BANNER + "Current version = 2\n", 0),
            ([], BANNER + PROMPT + "\n\nUnable to Open serial port\n\nInit failed\n", 1),
            (["x" * 300, ""], BANNER + "Unable to Open serial port\n\nInit failed\n", 1),
            (["-V"], BANNER + "Invalid option, please use -h for help menu\n", 1),
            ([WINE.port(None), "001122334455"], BANNER + " serial port does not exist \n"
             "Unable to Open serial port\n\nInit failed\n", 1),
        ]
        for args, expect_out, expect_status in cases:
            with self.subTest(args=args):
                out, err, status = WINE.run(args, ws.path)
                self.assertEqual(WINE.plain(out), expect_out)
                self.assertEqual((err, status), ("", expect_status))


class FullRuns(suites.FullRuns):
    runner = WINE


class ConfigurationAndImageFailures(suites.ConfigurationAndImageFailures):
    runner = WINE


class AgentFailures(suites.AgentFailures):
    runner = WINE


class OneCharacterRead(suites.OneCharacterRead):
    runner = WINE


class Waiting(suites.Waiting):
    runner = WINE


if __name__ == "__main__":
    unittest.main()
