"""A board passes only when every frame was answered in step. A host stopped
mid-frame (Ctrl+C, the station killed, a stall, its port lost) leaves its
board's agent answering a frame nobody waits for; the wire has no frame
numbers, so the next host would read that answer as its own. Against both
kinds of agent (one that drops a frame left unfinished after a gap, one that
keeps it for ever), paced at 115200 baud and unpaced: no record says passed
unless its transcript is the whole run in step."""

import itertools
import os
import signal
import time
import unittest

from harness import RUN_TIMEOUT
from test_station import EMULATED, FRAMES, Line, StationCase, mac
from test_station_faults import Round

# What host prints of a whole run in step with the agent, after its banner.
IN_STEP = ("Opening board.bin\nFile size 3000 bytes\n\nProgramming..."
           "Programming board data successful\n"
           "Opening otp.bin\nFile size 1500 bytes\n\nProgramming..\nExecute result 0x0\n"
           "Programming OTP successful\n"
           "Opening fw.bin\nFile size 5000 bytes\n\nProgramming....."
           "Programming TIV successful\n")
OUT_OF_STEP = "answers out of step with the frames: "

KINDS = {"drops": [], "keeps": ["--keep-unfinished"]}
# Unpaced, an answer comes after a pause all the same, so that a stop can
# find a frame unanswered.
PACES = {"115200 baud": ["--baud", "115200"], "unpaced": ["--delay", "60"]}


class InStep(StationCase):
    def setUp(self):
        super().setUp()
        if EMULATED:
            self.skipTest("timed faults: natively")

    def line_with_agent(self, *options, stall=5):
        line = self.line(fixtures=1, stall=stall)
        line.plug(1, "--boards", *options)
        return line

    def started(self, line, *args):
        r = Round(line, *args)
        self.addCleanup(lambda: r.process.poll() is None and r.process.kill())
        for stream in (r.process.stdout, r.process.stderr):
            self.addCleanup(stream.close)
        return r

    def wait_for_log(self, line, text):
        """Waits until the one board log that is still growing holds `text`."""
        folder = os.path.join(line.path, "station-logs")
        deadline = time.monotonic() + RUN_TIMEOUT
        while True:
            logs = [os.path.join(folder, day, name) for day in os.listdir(folder)
                    for name in os.listdir(os.path.join(folder, day))] \
                if os.path.isdir(folder) else []
            newest = max(logs, key=os.path.getmtime, default=None)
            if newest is not None:
                with open(newest) as f:
                    if text in f.read():
                        return
            self.assertLess(time.monotonic(), deadline, "host did not get to %r" % text)
            time.sleep(0.02)  # polls a file that the station writes

    def assert_every_pass_in_step(self, line):
        """Every record that says passed holds the whole run in step;
        returns the records, oldest first."""
        records = line.export()
        for r in records:
            if r["outcome"] == "passed":
                self.assertTrue(r["transcript"].endswith(IN_STEP), r["transcript"])
                self.assertEqual(r["frames"], FRAMES)
            if r["message"].startswith(OUT_OF_STEP):
                self.assertLess(r["frames"], FRAMES)
        return records

    # Each way a host is stopped mid-frame, then what follows on the fixture.
    def stopped_by_signal(self, line, number, options):
        first = self.started(line, "run", "--mac", "A1=" + mac(number))
        self.wait_for_log(line, "Opening fw.bin\nFile size 5000 bytes\n\nProgramming.")
        first.process.send_signal(signal.SIGINT)
        out, err, status = first.end()
        self.assertEqual(status, 1, out + err)
        return line.station("retry")

    def killed(self, line, number, options):
        first = self.started(line, "run", "--mac", "A1=" + mac(number))
        self.wait_for_log(line, "Opening otp.bin")
        first.process.kill()
        first.end()
        return line.station("run", "--mac", "A1=" + mac(number + 1))

    def port_lost_and_back(self, line, number, options):
        # The adapter goes at frame 5 (its node with it) and comes back as
        # a new node: the board behind it was never reset.
        line.plug(1, "--boards", "--hangup-at", "5", *options)
        out, err, status = line.station("run", "--mac", "A1=" + mac(number))
        self.assertIn("port lost at frame 5", out + err)
        line.plug(1, "--boards", *options)
        return line.station("retry")

    def test_a_stopped_host_leaves_no_answer_to_the_next(self):
        cases = {"Ctrl+C, then retry": self.stopped_by_signal,
                 "the station killed, then run": self.killed,
                 "its port lost and back, then retry": self.port_lost_and_back}
        number = 0
        for (kind, kind_options), (pace, pace_options), (what, fault) in itertools.product(
                KINDS.items(), PACES.items(), cases.items()):
            with self.subTest(agent=kind, pace=pace, fault=what):
                number += 2
                options = kind_options + pace_options
                line = self.line_with_agent(*options)
                out, err, status = fault(line, number, options)
                records = self.assert_every_pass_in_step(line)
                # On a line that was quieted first, the next board passes.
                self.assertEqual(status, 0, out + err)
                self.assertEqual(records[-1]["outcome"], "passed")

    def test_a_stall_with_its_answer_still_coming(self):
        """The agent sends half of frame 8's answer and the rest 1.5 s later:
        the station stops host after 1 s without a frame; the rest comes
        while the retry's line is being quieted, and is thrown away."""
        for (kind, kind_options), (pace, pace_options) in itertools.product(KINDS.items(),
                                                                            PACES.items()):
            with self.subTest(agent=kind, pace=pace):
                line = self.line_with_agent(*kind_options, *pace_options, "--split", "8=3:1500",
                                            "--fault-first", "1", stall=1)
                out, err, status = line.station("run", "--mac", "A1=" + mac(40))
                self.assertIn("stalled", out)
                out, err, status = line.station("retry")
                self.assertIn("A1: 3 bytes an earlier run left on the line discarded "
                              "before host started", out + err)
                self.assertEqual(status, 0, out + err)
                self.assert_every_pass_in_step(line)

    def test_half_a_frame_left_on_the_line(self):
        """What a host killed mid-write on a real UART leaves: the sync byte
        and part of a frame, just before the next board starts. An agent
        that drops it after its gap is ready once the line was quiet for
        longer; one that keeps it fails the board (its first answer is a
        CRC error), and nothing is recorded passed."""
        for kind, kind_options in KINDS.items():
            with self.subTest(agent=kind):
                line = self.line_with_agent(*kind_options)
                fd = os.open(line.port(1), os.O_RDWR | os.O_NOCTTY)
                os.write(fd, b"\xdd" + bytes(600))
                os.close(fd)
                out, err, status = line.station("run", "--mac", "A1=" + mac(50))
                records = self.assert_every_pass_in_step(line)
                self.assertEqual(records[-1]["outcome"],
                                 "passed" if kind == "drops" else "failed", out + err)

    def test_answers_run_ahead_are_refused_whatever_host_says(self):
        """Frame 2 answered twice: host reads every later answer one frame
        early, ends its OTP job without the execute result and says the whole
        run succeeded; the record says why it failed."""
        line = self.line_with_agent("--answer", "2=000100000001000100000001",
                                    "--fault-first", "1")
        out, err, status = line.station("run", "--mac", "A1=" + mac(60))
        self.assertEqual(status, 1, out + err)
        records = self.assert_every_pass_in_step(line)
        r = records[-1]
        self.assertTrue(r["transcript"].endswith("Programming TIV successful\n"))
        self.assertEqual((r["outcome"], r["stage"]), ("failed", "OTP"))
        self.assertEqual(r["message"], OUT_OF_STEP + "OTP closed without its answer, "
                         "firmware answered 4 of 5; the board's agent was still answering an "
                         "earlier run: take the board out and put it back, then retry")
        self.assertIn(r["message"], out)
        self.assertEqual(r["frames"], FRAMES - 2)
        # The retry reminds the operator; the agent's next run is in step.
        out, err, status = line.station("retry")
        self.assertIn("A1 %s: its last run's answers were out of step with its frames; unless it "
                      "was taken out and put back since, it fails again" % mac(60), out)
        self.assertEqual(status, 0, out + err)
        self.assertEqual(self.assert_every_pass_in_step(line)[-1]["outcome"], "passed")


if __name__ == "__main__":
    unittest.main()
