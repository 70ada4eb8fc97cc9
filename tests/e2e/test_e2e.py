"""Full programming runs of the built host against the simulated agent."""

import ctypes
import os
import resource
import select
import signal
import stat
import subprocess
import threading
import time
import unittest

from harness import (AGENT, BANNER, BOARD_OK, HOST, HOST_RUNNER, OTP_OK, PROMPT, RUN_TIMEOUT,
                     Agent, NativeRunner, Workspace, cpu_seconds, dots, expected_frames,
                     host_command, job_output, read_until, run_host, sample, success_output)

MAC = "001122334455"
# A sysfs file: its size says 4096 bytes, a read brings a few.
SHORT_FILE = "/sys/devices/system/cpu/online"


class E2ETest(unittest.TestCase):
    """A case runs host through `runner`: the native build here, host.exe under
    Wine in test_wine_e2e."""

    runner = NativeRunner()
    # Cases that only the native build can show: Wine neither refuses a second
    # opener nor fails reads after a hang-up.
    native_only = False

    def setUp(self):
        if self.native_only and self.runner.name != "native":
            self.skipTest("native build only")
        self.ws = Workspace()
        self.addCleanup(self.ws.remove)

    def agent(self, *options):
        agent = Agent(*options, workspace=self.ws)
        self.addCleanup(agent.stop)
        return agent

    def run_against(self, agent, stdin=b""):
        out, err, status = self.runner.run([self.runner.port(agent.port), MAC], self.ws.path,
                                           stdin)
        agent.stop()
        self.assertEqual(self.ws.changed_files(), [], "a run never writes a file")
        return self.runner.plain(out), self.runner.plain(err), status

    def start(self, args):
        host = self.runner.start(args, self.ws.path)
        self.addCleanup(self.finish, host)
        return host

    def finish(self, host):
        if host.poll() is None:
            host.kill()
        host.wait()
        for stream in (host.stdin, host.stdout, host.stderr):
            stream.close()


class FullRuns(E2ETest):
    # (board data, OTP, firmware) sizes: every size of interest for each image.
    SIZES = [(0, 0, 0), (1, 1024, 1025), (1024, 1025, 2048), (1025, 0, 3000),
             (2048, 1024, 1), (3000, 1025, 1024)]

    def test_each_size_arrives_whole_in_the_right_frames(self):
        for board_size, otp_size, firmware_size in self.SIZES:
            with self.subTest(sizes=(board_size, otp_size, firmware_size)):
                board, otp, firmware = (sample(board_size, 1), sample(otp_size, 2),
                                        sample(firmware_size, 3))
                self.ws.images(board, otp, firmware, otp_address="0x1A000")
                agent = self.agent()
                out, err, status = self.run_against(agent)
                self.assertEqual(out, success_output(board, otp, firmware))
                self.assertEqual(err, "")
                self.assertEqual(status, 0)
                self.assertEqual(agent.received("board_data.bin"), board)
                self.assertEqual(agent.received("otp.bin"), otp)
                self.assertEqual(agent.received("firmware.bin"), firmware)
                self.assertEqual(agent.otp_address(), 0x1A000)
                # Byte for byte: markers, addresses, stale data beyond `length`
                # and the checksum over all of it.
                self.assertEqual(agent.frames(), expected_frames(board, otp, firmware, 0x1A000))

    def test_crlf_and_lf_configuration_read_alike(self):
        board, otp, firmware = sample(10, 1), sample(20, 2), sample(30, 3)
        for line_end in ("\n", "\r\n"):
            with self.subTest(line_end=repr(line_end)):
                self.ws.images(board, otp, firmware)
                self.ws.config("Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: -1\n"
                               "Firmware: fw.bin", line_end)
                agent = self.agent()
                out, _, status = self.run_against(agent)
                self.assertEqual(out, success_output(board, otp, firmware))
                self.assertEqual(status, 0)
                self.assertEqual(agent.otp_address(), 0xFFFFFFFF)

    def test_images_are_left_unchanged_and_may_be_read_only(self):
        board, otp, firmware = sample(2000, 1), sample(100, 2), sample(5000, 3)
        self.ws.images(board, otp, firmware)
        paths = [os.path.join(self.ws.path, n) for n in ("board.bin", "otp.bin", "fw.bin")]
        for path in paths:
            os.chmod(path, stat.S_IRUSR | stat.S_IRGRP)
            os.utime(path, (1_000_000_000, 1_000_000_000))
        self.ws.remember()
        agent = self.agent()
        out, _, status = self.run_against(agent)
        self.assertEqual(status, 0)
        self.assertEqual(out, success_output(board, otp, firmware))
        for path, data in zip(paths, (board, otp, firmware)):
            with open(path, "rb") as f:
                self.assertEqual(f.read(), data)
            self.assertEqual(os.stat(path).st_mtime, 1_000_000_000)


def board_failure(details, stderr=""):
    return BANNER + details + "Programming board data failed\n", stderr


class ConfigurationAndImageFailures(E2ETest):
    """Each failure before anything is sent: exact output, no frame."""

    def test_failures(self):
        board = sample(100, 1)
        otp_echo = job_output("board.bin", 100, "Programming board data successful\n")
        cases = [
            ("no configuration file", None, None,
             board_failure("Could not open tivConfig.txt\n")),
            ("configuration file is a directory", "dir", None,
             board_failure("Could not open tivConfig.txt\n")),
            ("empty configuration file", "", None,
             board_failure("Could not find board data file\n")),
            ("entries out of order", "Firmware: fw.bin\nBoarddata: board.bin\n", None,
             board_failure("Could not find board data file\n")),
            ("key in another case", "boarddata: board.bin\n", None,
             board_failure("Could not find board data file\n")),
            ("byte-order mark", "\ufeffBoarddata: board.bin\n", None,
             board_failure("Could not find board data file\n")),
            ("missing image", "Boarddata: none.bin\n", None,
             board_failure("Opening none.bin\n", "File error\n")),
            ("empty path", "Boarddata: \n", None, board_failure("Opening \n", "File error\n")),
            ("key glued to the path", "Boarddata:board.bin\n", None,
             board_failure("Opening Boarddata:board.bin\n", "File error\n")),
            ("image is a directory", "Boarddata: sub\n", None,
             board_failure("Opening sub\n", "File error\n")),
            ("image is a device", "Boarddata: /dev/zero\n", None,
             board_failure("Opening /dev/zero\n", "File error\n")),
            ("no OTP line", "Boarddata: board.bin\n", 1,
             (BANNER + otp_echo + "Could not find OTP file\nProgramming OTP failed\n", "")),
            ("no OTP address line", "Boarddata: board.bin\nOTP: otp.bin\n", 1,
             (BANNER + otp_echo + "Opening otp.bin\nCould not find OTP address\n"
              "Programming OTP failed\n", "")),
            ("OTP address without a number", "Boarddata: board.bin\nOTP: otp.bin\n"
             "OTPAddress: zz\nFirmware: fw.bin\n", 1,
             (BANNER + otp_echo + "Opening otp.bin\nInvalid OTP address\n"
              "Programming OTP failed\n", "")),
            ("line of 1 MB", "Boarddata: " + "d" * 1_000_000 + "\n", None,
             board_failure("Opening " + "d" * 1_000_000 + "\n", "File error\n")),
            ("NUL byte before the key", "\0Boarddata: board.bin\n", None,
             board_failure("Could not find board data file\n")),
            ("NUL byte inside the path", "Boarddata: board.bin\0.old\n", None,
             board_failure("Opening board.bin\0.old\n", "File error\n")),
            ("configuration file unreadable", "loop", None,
             board_failure("Could not open tivConfig.txt\n")),
            ("image unreadable", "Boarddata: loop.bin\n", None,
             board_failure("Opening loop.bin\n", "File error\n")),
            ("no line end after the only line", "Boarddata: board.bin", 1,
             (BANNER + otp_echo + "Could not find OTP file\nProgramming OTP failed\n", "")),
            ("image shorter than its size says", "Boarddata: %s\n" % SHORT_FILE, None,
             board_failure("Opening %s\nFile size 4096 bytes\n" % SHORT_FILE, "Reading error")),
            ("OTP address out of range", "Boarddata: board.bin\nOTP: otp.bin\n"
             "OTPAddress: 80000000\nFirmware: fw.bin\n", 1,
             (BANNER + otp_echo + "Opening otp.bin\nInvalid OTP address\n"
              "Programming OTP failed\n", "")),
            # Cut to the kept length it would read as 0: refused, never cut.
            ("OTP address line longer than a line is kept", "Boarddata: board.bin\nOTP: otp.bin\n"
             "OTPAddress: " + "0" * (4 * 1024 * 1024) + "1A000\nFirmware: fw.bin\n", 1,
             (BANNER + otp_echo + "Opening otp.bin\nInvalid OTP address\n"
              "Programming OTP failed\n", "")),
        ]
        for name, config, frames_sent, (expect_out, expect_err) in cases:
            with self.subTest(name):
                self.ws.remove()
                self.ws = Workspace()
                self.ws.file("board.bin", board)
                self.ws.file("otp.bin", sample(10, 2))
                os.mkdir(os.path.join(self.ws.path, "sub"))
                # Links to themselves: no one can read them, root included.
                os.symlink("loop.bin", os.path.join(self.ws.path, "loop.bin"))
                if config == "dir":
                    os.mkdir(os.path.join(self.ws.path, "tivConfig.txt"))
                elif config == "loop":
                    os.symlink("tivConfig.txt", os.path.join(self.ws.path, "tivConfig.txt"))
                elif config is not None:
                    self.ws.file("tivConfig.txt", config.encode("utf-8"))
                agent = self.agent()
                out, err, status = self.run_against(agent)
                self.assertEqual(out, expect_out)
                self.assertEqual(err, expect_err)
                self.assertEqual(status, 1)
                self.assertEqual(len(agent.frames()), frames_sent or 0)

    def test_no_memory_for_the_image(self):
        if self.runner.name != "native" or os.environ.get("SANITIZED") or HOST_RUNNER:
            # Under qemu-user the limit would bind the emulator, not host.
            self.skipTest("limits the address space of a plain native process")
        self.ws.images(sample(64 * 1024 * 1024 // 256, 1) * 256, b"", b"")
        agent = self.agent()
        limit = 48 * 1024 * 1024
        out, err, status = run_host(
            [agent.port, MAC], self.ws.path, program=HOST,
            preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        agent.stop()
        self.assertEqual(out, BANNER + "Opening board.bin\nFile size 67108864 bytes\n"
                         "Programming board data failed\n")
        self.assertEqual((err, status), ("Memory error", 1))
        self.assertEqual(agent.frames(), [])

    def test_image_of_2_gib_is_refused_before_anything_is_sent(self):
        with open(os.path.join(self.ws.path, "big.bin"), "wb") as f:
            f.truncate(2 ** 31)  # sparse: no disk space is used
        self.ws.config("Boarddata: big.bin\n")
        agent = self.agent()
        out, err, status = self.run_against(agent)
        self.assertEqual(out, BANNER + "Opening big.bin\nProgramming board data failed\n")
        self.assertEqual(err, "Image too large: 2147483648 bytes, at most 2147483647 can be sent\n")
        self.assertEqual(status, 1)
        self.assertEqual(agent.frames(), [])

    def test_image_that_cannot_be_opened_for_writing_is_programmed(self):
        # A running program's file refuses every opener for writing, root
        # included (ETXTBSY): the agent itself serves as the firmware image.
        agent = self.agent()
        with open(AGENT, "rb") as f:
            firmware = f.read()
        self.ws.images(b"b", b"o", b"")
        self.ws.config("Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: 1\nFirmware: %s\n" % AGENT)
        out, err, status = self.run_against(agent)
        self.assertEqual((err, status), ("", 0))
        self.assertTrue(out.endswith("File size %d bytes\n\nProgramming%sProgramming TIV successful\n"
                                     % (len(firmware), dots(len(firmware)))), out[-200:])
        self.assertEqual(agent.received("firmware.bin"), firmware)

    def test_missing_firmware_line_after_two_good_jobs(self):
        board, otp = sample(5, 1), sample(6, 2)
        self.ws.images(board, otp, b"")
        self.ws.config("Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: 10\n")
        agent = self.agent()
        out, _, status = self.run_against(agent)
        self.assertEqual(out, BANNER
                         + job_output("board.bin", 5, "Programming board data successful\n")
                         + job_output("otp.bin", 6,
                                      "\nExecute result 0x0\nProgramming OTP successful\n")
                         + "Could not find Firmware file\nProgramming TIV failed\n")
        self.assertEqual(status, 1)


class AgentFailures(E2ETest):
    """Failing answers end the job at once; nothing is sent again."""

    def test_failing_answers(self):
        board, otp, firmware = sample(5000, 1), sample(1500, 2), sample(100, 3)
        board_ok = job_output("board.bin", 5000, "Programming board data successful\n")
        cases = [
            ("program status 0 at the 2nd of 5 frames", ["--answer", "2=000100000000"], 2,
             BANNER + "Opening board.bin\nFile size 5000 bytes\n\nProgramming.."
             "Program command failed\nProgramming board data failed\n"),
            ("CRC error on the first OTP frame", ["--answer", "6=000600000000"], 6,
             BANNER + board_ok + "Opening otp.bin\nFile size 1500 bytes\n\nProgramming."
             "\nCRC Error\nProgramming OTP failed\n"),
            ("frame corrupted on the line", ["--corrupt", "3"], 3,
             BANNER + "Opening board.bin\nFile size 5000 bytes\n\nProgramming..."
             "\nCRC Error\nProgramming board data failed\n"),
            ("unknown command answer to the execute frame", ["--answer", "8=000800000000"], 8,
             BANNER + board_ok + job_output("otp.bin", 1500, "\nUnknown cmd\n"
                                            "Programming OTP failed\n")),
            ("version mismatch", ["--answer", "1=000702000000"], 1,
             BANNER + "Opening board.bin\nFile size 5000 bytes\n\nProgramming."
             "Version of Kestrovia Flash Agent does not match Host application  33554432\n"
             "Programming board data failed\n"),
            ("garbage code", ["--answer", "9=0900ffffffff"], 9,
             BANNER + board_ok + job_output("otp.bin", 1500, "\nExecute result 0x0\n"
                                            "Programming OTP successful\n")
             + "Opening fw.bin\nFile size 100 bytes\n\nProgramming."
             "\nInvalid response received 9\nProgramming TIV failed\n"),
        ]
        for name, options, frames_sent, expect_out in cases:
            with self.subTest(name):
                self.ws.images(board, otp, firmware)
                agent = self.agent(*options)
                out, err, status = self.run_against(agent)
                self.assertEqual(out, expect_out)
                self.assertEqual(err, "")
                self.assertEqual(status, 1)
                self.assertEqual(len(agent.frames()), frames_sent)

    def test_answers_in_pieces_make_one_answer(self):
        board = sample(1000, 1)
        ok = success_output(board, b"", b"")
        # Pauses shorter and longer than the 100 ms interval time-out.
        for first, pause in ((1, 50), (2, 50), (5, 50), (1, 250), (2, 250), (5, 250)):
            with self.subTest(first=first, pause=pause):
                self.ws.images(board, b"", b"")
                agent = self.agent("--split", "1=%d:%d" % (first, pause))
                out, err, status = self.run_against(agent)
                self.assertEqual((out, err, status), (ok, "", 0))

    def test_every_code_with_extreme_values(self):
        board = sample(1000, 1)
        head = BANNER + "Opening board.bin\nFile size 1000 bytes\n\nProgramming."
        mismatch = "Version of Kestrovia Flash Agent does not match Host application  "
        failed = "Programming board data failed\n"
        cases = [
            ("0001ffffffff", "", 0),
            ("000100000080", "", 0),
            ("0004ffffffff", "Execute result 0xffffffff\n", 0),
            ("000400000000", "Execute result 0x0\n", 0),
            ("000600000000", "\nCRC Error\n" + failed, 1),
            ("0007ffffffff", mismatch + "-1\n" + failed, 1),
            ("000780000000", mismatch + "-2147483648\n" + failed, 1),
            ("00077fffffff", mismatch + "2147483647\n" + failed, 1),
            ("0008ffffffff", "Unknown cmd\n" + failed, 1),
            ("0000ffffffff", "\nInvalid response received 0\n" + failed, 1),
            ("ffff00000000", "\nInvalid response received 65535\n" + failed, 1),
            ("fffe00000001", "\nInvalid response received 65279\n" + failed, 1),
        ]
        for answer, printed, expect_status in cases:
            with self.subTest(answer=answer):
                self.ws.images(board, b"", b"")
                agent = self.agent("--answer", "1=" + answer)
                out, err, status = self.run_against(agent)
                if expect_status == 0:
                    self.assertEqual(out, success_output(board, b"", b"",
                                                         board_answers={1: printed}))
                else:
                    self.assertEqual(out, head + printed)
                self.assertEqual((err, status), ("", expect_status))

    def test_extra_bytes_are_taken_as_the_next_answer(self):
        self.ws.images(sample(3000, 1), b"", b"")
        # Frame 1 is answered twice over: good, then a CRC error that frame 2
        # meets on the line before its own answer comes.
        agent = self.agent("--answer", "1=000100000001000600000000")
        out, err, status = self.run_against(agent)
        self.assertEqual(out, BANNER + "Opening board.bin\nFile size 3000 bytes\n\nProgramming.."
                         "\nCRC Error\nProgramming board data failed\n")
        self.assertEqual((err, status), ("", 1))
        self.assertEqual(len(agent.frames()), 2, "no frame is sent again")

    def test_answers_in_pieces_and_version_answers_pass(self):
        board, otp, firmware = sample(3000, 1), sample(10, 2), sample(10, 3)
        self.ws.images(board, otp, firmware)
        # Frame 1's answer arrives as 2 bytes, a pause past the 100 ms interval,
        # then 4; frame 2 is answered with a matching version.
        agent = self.agent("--split", "1=2:250", "--answer", "2=000700000002")
        out, _, status = self.run_against(agent)
        self.assertEqual(out, success_output(board, otp, firmware,
                                             board_answers={2: "\nVersion matches\n"}))
        self.assertEqual(status, 0)


class OneCharacterRead(E2ETest):
    def test_waits_for_the_operator_after_a_failure(self):
        agent = self.agent()
        host = self.start([self.runner.port(agent.port), MAC])
        read_until(host.stdout, "Programming board data failed\n")
        with self.assertRaises(subprocess.TimeoutExpired):
            host.wait(timeout=0.5)
        host.stdin.write(b"\n")
        host.stdin.flush()
        self.assertEqual(host.wait(timeout=30), 1)

    def test_line_end_left_by_the_prompt_ends_the_wait(self):
        agent = self.agent()
        host = self.start([])
        host.stdin.write(b"  " + self.runner.port(agent.port).encode() + b" more text\n")
        host.stdin.flush()
        # Standard input stays open: only what the prompt left unread ends the wait.
        out = read_until(host.stdout, "Programming board data failed\n")
        self.assertEqual(host.wait(timeout=30), 1)
        self.assertEqual(out, BANNER + PROMPT + "\n\nCould not open tivConfig.txt\n"
                         "Programming board data failed\n")

    def test_nothing_is_read_after_full_success(self):
        self.ws.images(b"a", b"b", b"c")
        agent = self.agent()
        host = self.start([self.runner.port(agent.port), MAC])
        self.assertEqual(host.wait(timeout=60), 0)
        self.assertEqual(self.runner.plain(host.stdout.read().decode()),
                         success_output(b"a", b"b", b"c"))


class Waiting(E2ETest):
    """While no answer comes, host waits without a limit and without spinning."""

    def cpu_share_while_waiting(self, *options):
        self.ws.images(sample(3000, 1), b"", b"")
        agent = self.agent(*options)
        host = self.start([self.runner.port(agent.port), MAC])
        read_until(host.stdout, "Programming..")
        before, start = cpu_seconds(host.pid), time.monotonic()
        with self.assertRaises(subprocess.TimeoutExpired):
            host.wait(timeout=3)
        share = (cpu_seconds(host.pid) - before) / (time.monotonic() - start)
        host.kill()
        host.wait()
        return share, host.stdout.read().decode()

    def test_silent_agent(self):
        share, rest = self.cpu_share_while_waiting("--silent-from", "2")
        self.assertLess(share, 0.02)
        self.assertEqual(rest, "")

    def test_hang_up(self):
        if self.runner.name != "native":
            # Measured under Wine 8: after a hang-up each ReadFile takes its
            # whole 160 ms time-out and returns 0 bytes, spinning inside Wine
            # all the while (100% of a CPU in host.exe's own thread); host
            # calls nothing between reads that it could pace.
            self.skipTest("Wine spins inside ReadFile on a line that hung up")
        share, rest = self.cpu_share_while_waiting("--hangup-at", "2")
        self.assertLess(share, 0.02)
        self.assertEqual(rest, "")

    def test_slow_agent_still_completes(self):
        board = sample(3000, 1)
        self.ws.images(board, b"", b"")
        agent = self.agent("--delay", "1000")
        out, _, status = self.run_against(agent)
        self.assertEqual(status, 0)
        self.assertEqual(out, success_output(board, b"", b""))
        self.assertEqual(agent.received("board_data.bin"), board)


class Exclusive(E2ETest):
    native_only = True

    def test_a_refused_second_host_leaves_the_run_unharmed(self):
        board, otp, firmware = sample(3000, 1), sample(1500, 2), sample(2048, 3)
        self.ws.images(board, otp, firmware)
        agent = self.agent()
        # The agent stopped: what the first host writes stays on the line,
        # where a second opener that discarded queues would lose it.
        agent.process.send_signal(signal.SIGSTOP)
        first = self.start([agent.port, MAC])
        read_until(first.stdout, "Programming.")
        out, _, status = self.runner.run([agent.port, MAC], self.ws.path)
        self.assertEqual((out, status), (BANNER + "Unable to Open serial port\n\nInit failed\n", 1))
        agent.process.send_signal(signal.SIGCONT)
        self.assertEqual(first.wait(timeout=RUN_TIMEOUT), 0)
        self.assertEqual(first.stdout.read().decode(),
                         success_output(board, otp, firmware)[len(BANNER + "Opening board.bin\n"
                                                                  "File size 3000 bytes\n\n"
                                                                  "Programming."):])
        agent.stop()
        self.assertEqual(agent.frames(), expected_frames(board, otp, firmware, 0x1A000))

    def test_a_late_answer_to_an_interrupted_run_is_not_taken_by_the_next(self):
        # 8 frames: board data 3, OTP 1 and its execute frame, firmware 3.
        board, otp, firmware = sample(3000, 1), sample(1000, 2), sample(3000, 3)
        self.ws.images(board, otp, firmware)
        agent = Agent("--delay", "200", "--answer", "8=000100000000", workspace=self.ws,
                      log_pipe=True)
        self.addCleanup(agent.stop)
        # The test keeps the line up between the runs, as a real line stays up.
        line = os.open(agent.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, line)
        first = self.start([agent.port, MAC])
        read_until(agent.process.stderr, "frame 1 ")
        first.send_signal(signal.SIGINT)
        self.assertEqual(first.wait(timeout=RUN_TIMEOUT), -signal.SIGINT)
        # The answer to frame 1 comes after host has gone, and waits.
        self.assertTrue(select.select([line], [], [], RUN_TIMEOUT)[0])
        out, err, status = self.runner.run([agent.port, MAC], self.ws.path)
        self.assertEqual(out, BANNER + job_output("board.bin", 3000, BOARD_OK)
                         + job_output("otp.bin", 1000, OTP_OK)
                         + job_output("fw.bin", 3000, "Program command failed\n"
                                      "Programming TIV failed\n"))
        self.assertEqual((err, status), ("", 1))

    def test_second_host_on_the_same_port_is_refused(self):
        self.ws.images(sample(3000, 1), b"", b"")
        agent = self.agent("--silent-from", "1")
        first = self.start([agent.port, MAC])
        read_until(first.stdout, "Programming.")
        out, _, status = self.runner.run([agent.port, MAC], self.ws.path)
        self.assertEqual(out, BANNER + "Unable to Open serial port\n\nInit failed\n")
        self.assertEqual(status, 1)
        first.kill()
        first.wait()
        agent.stop()
        self.assertEqual(len(agent.frames()), 1, "the refused host wrote nothing")


def open_as_nobody(path):
    """Whether a user other than root may open the port now: the errno name
    of the refusal, or "opened"."""
    probe = ("import errno, os, sys\n"
             "try:\n"
             "    os.close(os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK))\n"
             "    print('opened')\n"
             "except OSError as e:\n"
             "    print(errno.errorcode[e.errno])\n")
    result = subprocess.run(["python3", "-c", probe, path], user=65534, group=65534,
                            capture_output=True, text=True, timeout=RUN_TIMEOUT)
    return result.stdout.strip()


class UnixProcess(E2ETest):
    """The native build as a Unix process: standard streams, FIFOs, broken
    pipes, signals and the exclusive hold on the port."""

    native_only = True

    def full_run_expected(self):
        board, otp, firmware = sample(3000, 1), sample(1500, 2), sample(5000, 3)
        self.ws.images(board, otp, firmware)
        return board, otp, firmware, expected_frames(board, otp, firmware, 0x1A000)

    def test_closed_standard_streams_never_reach_the_line(self):
        board, otp, _, _ = self.full_run_expected()
        # The firmware is missing, so all three streams are used: the
        # banner and dots, "File error" and the one character read.
        os.remove(os.path.join(self.ws.path, "fw.bin"))
        expect_out = (BANNER + job_output("board.bin", len(board), BOARD_OK)
                      + job_output("otp.bin", len(otp), OTP_OK)
                      + "Opening fw.bin\nProgramming TIV failed\n")
        for closed in (0, 1, 2):
            with self.subTest(closed=closed):
                agent = self.agent()
                out, err, status = run_host([agent.port, MAC], self.ws.path,
                                            preexec=lambda: os.close(closed))
                agent.stop()
                self.assertEqual(status, 1)
                self.assertEqual(out, "" if closed == 1 else expect_out)
                self.assertEqual(err, "" if closed == 2 else "File error\n")
                self.assertEqual(agent.frames(), expected_frames(board, otp, b"", 0x1A000))

    def test_reader_of_the_output_going_away_does_not_end_the_run(self):
        board, otp, firmware, frames = self.full_run_expected()
        agent = self.agent()
        host = subprocess.Popen(host_command(agent.port, MAC), cwd=self.ws.path,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL)
        # As `host ... | head -c 100`: the reader takes 100 bytes and leaves.
        self.assertEqual(len(host.stdout.read(100)), 100)
        host.stdout.close()
        self.assertEqual(host.wait(timeout=RUN_TIMEOUT), 0)
        agent.stop()
        self.assertEqual(agent.frames(), frames)

    def test_fifos_are_refused_without_waiting_for_a_writer(self):
        cases = [
            ("image is a FIFO", "Boarddata: pipe.bin\n",
             BANNER + "Opening pipe.bin\nProgramming board data failed\n", "File error\n"),
            ("configuration file is a FIFO", None,
             BANNER + "Could not open tivConfig.txt\nProgramming board data failed\n", ""),
        ]
        for name, config, expect_out, expect_err in cases:
            with self.subTest(name):
                self.ws.remove()
                self.ws = Workspace()
                os.mkfifo(os.path.join(self.ws.path, "pipe.bin"))
                if config is None:
                    os.mkfifo(os.path.join(self.ws.path, "tivConfig.txt"))
                else:
                    self.ws.file("tivConfig.txt", config.encode())
                agent = self.agent()
                out, err, status = self.run_against(agent)
                self.assertEqual((out, err, status), (expect_out, expect_err, 1))
                self.assertEqual(agent.frames(), [])

    def test_an_image_swapped_for_a_fifo_at_the_open_is_refused_not_waited_on(self):
        libc = ctypes.CDLL(None, use_errno=True)
        at_fdcwd, rename_exchange = -100, 2
        image = os.path.join(self.ws.path, "board.bin").encode()
        fifo = os.path.join(self.ws.path, "pipe").encode()
        self.ws.file("board.bin", sample(10, 1))
        os.mkfifo(fifo)
        self.ws.config("Boarddata: board.bin\n")
        done = threading.Event()

        def swap():
            while not done.is_set():
                if libc.renameat2(at_fdcwd, image, at_fdcwd, fifo, rename_exchange) != 0:
                    raise OSError(ctypes.get_errno(), "renameat2")

        swapper = threading.Thread(target=swap)
        swapper.start()
        try:
            for attempt in range(40):
                with self.subTest(attempt=attempt):
                    agent = Agent(workspace=self.ws)
                    self.addCleanup(agent.stop)
                    # A host that waits on the FIFO fails here by its time limit.
                    out, err, status = run_host([agent.port, MAC], self.ws.path, timeout=20)
                    agent.stop()
                    self.assertEqual(status, 1)
                    self.assertIn(err, ("", "File error\n"))
                    self.assertTrue(out.endswith("failed\n"), out)
        finally:
            done.set()
            swapper.join()

    def test_standard_output_comes_before_an_error_on_one_file(self):
        self.ws.config("Boarddata: %s\n" % SHORT_FILE)
        agent = self.agent()
        with open(os.path.join(self.ws.path, "both.txt"), "w+b") as both:
            status = subprocess.run(host_command(agent.port, MAC), cwd=self.ws.path,
                                    stdin=subprocess.DEVNULL, stdout=both, stderr=both,
                                    timeout=RUN_TIMEOUT).returncode
            both.seek(0)
            printed = both.read().decode()
        agent.stop()
        self.assertEqual((printed, status), (
            BANNER + "Opening %s\nFile size 4096 bytes\nReading error"
            "Programming board data failed\n" % SHORT_FILE, 1))

    def test_huge_configuration_line_costs_a_bounded_amount_of_memory(self):
        if os.environ.get("SANITIZED") or HOST_RUNNER:
            # Under qemu-user the limit would bind the emulator, not host.
            self.skipTest("limits the address space of a plain native process")
        kept = 4 * 1024 * 1024  # bytes of a line that are kept
        with open(os.path.join(self.ws.path, "tivConfig.txt"), "wb") as f:
            f.write(b"Boarddata: " + b"d" * (64 * 1024 * 1024) + b"\n")
        agent = self.agent()
        limit = 96 * 1024 * 1024
        out, err, status = run_host(
            [agent.port, MAC], self.ws.path,
            preexec=lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit)))
        agent.stop()
        self.assertEqual(out, BANNER + "Opening " + "d" * (kept - len("Boarddata: ")) +
                         "\nProgramming board data failed\n")
        self.assertEqual((err, status), ("File error\n", 1))
        self.assertEqual(agent.frames(), [])

    def test_exclusive_hold_ends_with_the_process(self):
        if os.geteuid() != 0:
            self.skipTest("needs root to try the port as another user")
        # (how host ends, agent options, configuration present, exit status)
        endings = [
            ("success", [], True, 0),
            ("failed job", [], False, 1),
            ("SIGINT", ["--silent-from", "2"], True, -signal.SIGINT),
            ("SIGTERM", ["--silent-from", "2"], True, -signal.SIGTERM),
            ("SIGHUP", ["--silent-from", "2"], True, -signal.SIGHUP),
            ("SIGUSR1", ["--silent-from", "2"], True, -signal.SIGUSR1),
            ("SIGALRM", ["--silent-from", "2"], True, -signal.SIGALRM),
            ("SIGABRT", ["--silent-from", "2"], True, -signal.SIGABRT),
            ("SIGRTMIN", ["--silent-from", "2"], True, -signal.SIGRTMIN),
        ]
        if HOST_RUNNER:
            # qemu-user keeps the real-time signals for itself.
            endings = [e for e in endings if e[0] != "SIGRTMIN"]
        for name, options, configured, expect_status in endings:
            with self.subTest(name):
                self.ws.remove()
                self.ws = Workspace()
                if configured:
                    self.ws.images(sample(3000, 1), b"", b"")
                agent = self.agent(*options)
                os.chmod(agent.port, 0o666)
                # Another opener keeps the tty alive after host has gone.
                other = os.open(agent.port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                self.addCleanup(os.close, other)
                host = self.start([agent.port, MAC])
                read_until(host.stdout, "Programming.." if expect_status < 0 else "Programming")
                if expect_status < 0:
                    self.assertEqual(open_as_nobody(agent.port), "EBUSY")
                    host.send_signal(-expect_status)
                host.stdin.close()
                self.assertEqual(host.wait(timeout=RUN_TIMEOUT), expect_status)
                self.assertEqual(open_as_nobody(agent.port), "opened")
                agent.process.terminate()


if __name__ == "__main__":
    unittest.main()
