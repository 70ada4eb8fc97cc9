"""One full run of the native host under valgrind memcheck."""

import os
import re
import unittest

from harness import Agent, Workspace, run_host, sample, success_output

VALGRIND = os.environ.get("VALGRIND", "valgrind")


class Memcheck(unittest.TestCase):
    def test_full_run_has_no_error_and_no_leak(self):
        ws = Workspace()
        self.addCleanup(ws.remove)
        board, otp, firmware = sample(3000, 1), sample(1025, 2), sample(5000, 3)
        ws.images(board, otp, firmware)
        agent = Agent(workspace=ws)
        self.addCleanup(agent.stop)
        report = os.path.join(ws.path, "memcheck.txt")
        out, _, status = run_host(
            ["--error-exitcode=99", "--leak-check=full", "--show-leak-kinds=all",
             "--errors-for-leak-kinds=definite,indirect,possible", "--log-file=" + report,
             os.environ["HOST"], agent.port, "001122334455"], ws.path, timeout=300,
            program=VALGRIND)
        agent.stop()
        with open(report) as f:
            text = f.read()
        self.assertEqual(status, 0, text)
        self.assertEqual(out, success_output(board, otp, firmware))
        self.assertIn("ERROR SUMMARY: 0 errors", text)
        for kind in ("definitely lost", "indirectly lost", "possibly lost"):
            match = re.search(kind + r": ([\d,]+) bytes", text)
            self.assertTrue(match is None or match.group(1) == "0", text)
        self.assertEqual(agent.received("firmware.bin"), firmware)


if __name__ == "__main__":
    unittest.main()
