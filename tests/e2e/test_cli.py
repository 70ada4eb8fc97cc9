"""The built host as a process: command line, prompt, opening the port."""

import os
import pty
import select
import tty
import unittest

from harness import BANNER, PROMPT, Agent, Workspace, run_host, sample, success_output

HELP = ("host.exe -h         - Prints this help menu\n"
        "host.exe -v         - Prints current version\n"
        "\nUsage -  \n\n"
        "host.exe <COM PORT>  <Path to image [optional]>   <MAC address>\n"
        "          where-   COM PORT= serial port e.g. COM8\n"
        "                   Path to image- if not provided, default will be assumed\n"
        "                   MAC address= 12 HEX characters, no special characters\n")
INVALID = "Invalid option, please use -h for help menu\n"
NOT_OPENED = "Unable to Open serial port\n\nInit failed\n"
NOT_FOUND = " serial port does not exist \n" + NOT_OPENED


class CommandLine(unittest.TestCase):
    def setUp(self):
        self.ws = Workspace()
        self.addCleanup(self.ws.remove)

    def test_options_and_failed_opens(self):
        cases = [
            (["-v"], b"", BANNER + "Current version = 2\n", 0),
            (["-h"], b"", BANNER + HELP, 0),
            (["-V"], b"", BANNER + INVALID, 1),
            (["--help"], b"", BANNER + INVALID, 1),
            (["COM8"], b"", BANNER + INVALID, 1),
            ([""], b"", BANNER + INVALID, 1),
            (["-v", "001122334455"], b"", BANNER + NOT_FOUND, 1),
            (["/dev/host_missing", "001122334455"], b"", BANNER + NOT_FOUND, 1),
            (["COM123", "image.bin", "001122334455", "extra"], b"", BANNER + NOT_FOUND, 1),
            (["", ""], b"", BANNER + NOT_OPENED, 1),
            (["x" * 300, ""], b"", BANNER + NOT_OPENED, 1),
            (["/tmp", "001122334455"], b"", BANNER + NOT_FOUND, 1),
            (["\xe9t\xe9", "001122334455"], b"", BANNER + NOT_FOUND, 1),
            (["/dev/host_missing", "p" * 10000, "m" * 10000], b"", BANNER + NOT_FOUND, 1),
            ([], b"", BANNER + PROMPT + "\n\n" + NOT_OPENED, 1),
            ([], b"  \n\t ", BANNER + PROMPT + "\n\n" + NOT_OPENED, 1),
            ([], b"  host_missing more text\n", BANNER + PROMPT + "\n\n" + NOT_FOUND, 1),
            ([], b"x" * 1_000_000, BANNER + PROMPT + "\n\n" + NOT_OPENED, 1),
            ([], b"\x01\x02\xff\x00\x7f\n", BANNER + PROMPT + "\n\n" + NOT_FOUND, 1),
        ]
        for args, stdin, expect_out, expect_status in cases:
            with self.subTest(args=[a[:20] for a in args], stdin=stdin[:20]):
                out, err, status = run_host([a.encode("latin-1") for a in args],
                                            self.ws.path, stdin)
                self.assertEqual(out, expect_out)
                self.assertEqual(err, "")
                self.assertEqual(status, expect_status)

    def test_open_writes_the_sync_byte_once(self):
        master, slave = pty.openpty()
        tty.setraw(slave)
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        port = os.ttyname(slave)
        # No configuration: the run ends at the board data job, the one
        # character read meeting the end of input.
        out, err, status = run_host([port, "001122334455"], self.ws.path)
        self.assertEqual(out, BANNER + "Could not open tivConfig.txt\n"
                                       "Programming board data failed\n")
        self.assertEqual(status, 1)
        self.assertEqual(os.read(master, 100), b"\xdd")
        self.assertEqual(select.select([master], [], [], 0.2)[0], [])

    def test_port_typed_at_the_prompt_and_arguments_cut_to_fit(self):
        board, otp, firmware = sample(1500, 1), sample(3, 2), sample(2, 3)
        self.ws.images(board, otp, firmware)
        for args, typed in (([], True), (["PORT", "i" * 5000, "m" * 5000, "x"], False)):
            with self.subTest(typed=typed):
                agent = Agent(workspace=self.ws)
                self.addCleanup(agent.stop)
                args = [agent.port if a == "PORT" else a for a in args]
                stdin = b" \t" + agent.port.encode() + b"\n" if typed else b""
                out, err, status = run_host(args, self.ws.path, stdin)
                agent.stop()
                prompt = PROMPT + "\n\n" if typed else ""
                self.assertEqual(out, success_output(board, otp, firmware, prompt=prompt))
                self.assertEqual((err, status), ("", 0))
                self.assertEqual(agent.received("board_data.bin"), board)


if __name__ == "__main__":
    unittest.main()
