"""The simulated agent as a tool: its options, and run after run on one line
as on a real serial line, where host's close is never seen."""

import os
import pty
import signal
import subprocess
import tty
import unittest

from harness import (AGENT, RUN_TIMEOUT, host_command, Agent, Workspace, expected_frames, frame_bytes,
                     read_until, run_host, sample, success_output)

SUMMARY = "run %d: %d frames, stored board data %d, OTP %d, firmware %d bytes, 0 errors"


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
            (["--answer", "1=0"], "odd number of hexadecimal digits"),
            (["--delay", " 7"], "--delay"),
            (["--delay", "+7"], "--delay"),
            (["--port", ""], "--port"),
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
        # A stray "AT" and line end on the idle line: dropped after the idle
        # gap, so the next sync byte starts a run.
        os.write(line, b"AT\r")
        self.assertEqual(agent.process.stdout.readline().decode(),
                         SUMMARY % (1, 0, 0, 0, 0)
                         + ", 3 bytes of unfinished frames dropped\n")
        for number, (board, otp, firmware) in enumerate(images, start=2):
            ws.images(board, otp, firmware)
            out, err, status = run_host([agent.port, "001122334455"], ws.path)
            self.assertEqual((out, err, status), (success_output(board, otp, firmware), "", 0))
            # Each run is reported when it ends, not when the next begins.
            frames = -(-len(board) // 1024) + -(-len(otp) // 1024) + 1 + -(-len(firmware) // 1024)
            self.assertEqual(agent.process.stdout.readline().decode(), SUMMARY % (
                number, frames, len(board), len(otp), len(firmware)) + "\n")
        os.close(line)
        agent.stop()
        board, otp, firmware = images[1]
        # The output files hold the last run, frame for frame.
        self.assertEqual(agent.frames(), expected_frames(board, otp, firmware, 0x1A000))
        self.assertEqual(agent.received("firmware.bin"), firmware)
        self.assertEqual(agent.printed, "")

    def test_a_run_is_reported_when_the_agent_hangs_up_or_is_stopped(self):
        ws = Workspace()
        self.addCleanup(ws.remove)
        ws.images(sample(5000, 1), b"", b"")
        # (options, the signal that stops the agent, frames, board data stored):
        # the agent hangs up as frame 2 arrives, before storing it.
        cases = [(["--hangup-at", "2"], None, 2, 1024),
                 (["--silent-from", "3"], signal.SIGTERM, 3, 3072)]
        for options, stop, frames, stored in cases:
            with self.subTest(options=options):
                agent = Agent(*options, workspace=ws, log_pipe=True)
                self.addCleanup(agent.stop)
                host = subprocess.Popen(host_command(agent.port, "001122334455"),
                                        cwd=ws.path, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
                self.addCleanup(host.wait)
                self.addCleanup(host.kill)
                if stop:
                    read_until(agent.process.stderr, "frame 3 ")
                    agent.process.send_signal(stop)
                self.assertEqual(agent.process.wait(timeout=RUN_TIMEOUT), -stop if stop else 0)
                self.assertEqual(agent.process.stdout.readline().decode(),
                                 SUMMARY % (1, frames, stored, 0, 0) + "\n")


class StandardStreams(unittest.TestCase):
    def test_closed_standard_output_never_reaches_the_line(self):
        master, slave = pty.openpty()
        tty.setraw(slave)
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        agent = subprocess.Popen([AGENT, "--port", os.ttyname(slave)], stdin=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, preexec_fn=lambda: os.close(1))
        self.addCleanup(agent.wait)
        self.addCleanup(agent.kill)
        os.write(master, b"\xdd" + frame_bytes(0, bytes(1024), 0, 0, 1))
        answer = b""
        while len(answer) < 6:
            answer += os.read(master, 6 - len(answer))
        # The first bytes from the agent are its answer, not "PORT ...".
        self.assertEqual(answer, bytes.fromhex("000100000001"))


if __name__ == "__main__":
    unittest.main()
