"""The simulated agent as a tool: its options, and run after run on one line
as on a real serial line, where host's close is never seen."""

import os
import subprocess
import unittest

from harness import AGENT, RUN_TIMEOUT, Agent, Workspace, expected_frames, run_host, sample, \
    success_output


class Options(unittest.TestCase):
    def test_bad_options_end_with_a_message_and_status_2(self):
        cases = [
            (["--baud", "abc"], "--baud"),
            (["--baud", "-1"], "--baud"),
            (["--delay", "-5"], "--delay"),
            (["--delay", "99999999999999999999"], "--delay"),
            (["--silent-from", "0"], "--silent-from"),
            (["--split", "1=9:10"], "--split"),
            (["--split", "1=2"], "--split"),
            (["--answer", "x=0001"], "--answer"),
            (["--answer", "1=0g"], "hexadecimal"),
            (["--version"], "unknown option --version"),
            (["--out"], "missing value after --out"),
        ]
        for args, named in cases:
            with self.subTest(args=args):
                result = subprocess.run([AGENT, *args], capture_output=True, text=True,
                                        stdin=subprocess.DEVNULL, timeout=RUN_TIMEOUT)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertTrue(result.stderr.startswith("agent: "), result.stderr)
                self.assertIn(named, result.stderr)
                self.assertEqual(result.stdout, "")


class RunAfterRun(unittest.TestCase):
    def test_a_sync_byte_between_frames_starts_a_new_run(self):
        ws = Workspace()
        self.addCleanup(ws.remove)
        agent = Agent(workspace=ws)
        self.addCleanup(agent.stop)
        # Another opener keeps the line up between the runs, as a real line
        # stays up: the agent never sees host's close.
        line = os.open(agent.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        images = [(sample(3000, 1), sample(1500, 2), sample(2048, 3)),
                  (sample(10, 4), sample(1, 5), sample(1025, 6))]
        for board, otp, firmware in images:
            ws.images(board, otp, firmware)
            out, err, status = run_host([agent.port, "001122334455"], ws.path)
            self.assertEqual((out, err, status), (success_output(board, otp, firmware), "", 0))
        os.close(line)
        agent.stop()
        board, otp, firmware = images[1]
        # The output files hold the last run, frame for frame.
        self.assertEqual(agent.frames(), expected_frames(board, otp, firmware, 0x1A000))
        self.assertEqual(agent.received("firmware.bin"), firmware)
        self.assertEqual(agent.printed.splitlines(), [
            "run 1: 8 frames, stored board data 3000, OTP 1500, firmware 2048 bytes, 0 errors",
            "run 2: 5 frames, stored board data 10, OTP 1, firmware 1025 bytes, 0 errors"])


if __name__ == "__main__":
    unittest.main()
