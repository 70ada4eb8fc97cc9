"""The production station against simulated agents, one per fixture on its own
pseudo-terminal: rounds, records, transcripts, retries, duplicate MACs, a
station killed mid-round, and its refusals."""

import calendar
import csv
import fcntl
import io
import json
import glob
import os
import pwd
import re
import select
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import time
import types
import unittest

from harness import HOST, RUN_TIMEOUT, Agent, Workspace, run_host, sample

STATION = os.environ.get("STATION", "")
BOARD, OTP, FIRMWARE = sample(3000, 1), sample(1500, 2), sample(5000, 3)
# board data 3, OTP 2 and the execute frame, firmware 5
FRAMES = 11
COLUMNS = ("id,station,fixture,port,device,mac,profile,board_data_sha256,otp_sha256,"
           "firmware_sha256,otp_address,host_version,attempt,rework,started,ended,outcome,"
           "stage,message,frames,exit_status,lot,operator,started_local,ended_local,mac_colons,"
           "label_printed,label_job,label_reprints")
UTC_MS = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
UUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")


def mac(n):
    return "0011223344%02X" % n


class Line(Workspace):
    """A station folder: images, their tivConfig.txt, a station file, and a
    stable port name per fixture (a link, as /dev/serial/by-path gives)."""

    def __init__(self, name="line1", stall=2, fixtures=8):
        super().__init__()
        os.mkdir(os.path.join(self.path, "images"))
        for file, data in (("board.bin", BOARD), ("otp.bin", OTP), ("fw.bin", FIRMWARE)):
            with open(os.path.join(self.path, "images", file), "wb") as f:
                f.write(data)
        with open(os.path.join(self.path, "images", "tivConfig.txt"), "w") as f:
            f.write("Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: 1A000\nFirmware: fw.bin\n")
        self.name = name
        self.agents = {}
        self.station_file(stall=stall, fixtures=fixtures)

    def station_file(self, stall=2, fixtures=8, extra="", store="records.db", name=None):
        text = ('station = "%s"\nstore = "%s"\nconfig = "images/tivConfig.txt"\n'
                'stall = %s\nhost = "%s"\n%s' % (name or self.name, store, stall, HOST, extra))
        for n in range(1, fixtures + 1):
            text += '[[fixture]]\nname = "A%d"\nport = "%s"\n' % (n, self.port(n))
        path = os.path.join(self.path, "station.toml")
        with open(path, "w") as f:
            f.write(text)
        return path

    def port(self, n):
        return os.path.join(self.path, "port-A%d" % n)

    def plug(self, n, *options):
        """A new agent behind fixture n's port, with a folder of its own for
        what it receives."""
        if n in self.agents:
            self.agents[n].stop()
        folder = tempfile.mkdtemp(prefix="agent-A%d-" % n, dir=self.path)
        # The agent takes its link away as it ends (it ends once its host
        # closes the line), as udev takes a by-path link away with its
        # adapter: a dangling link would name whatever terminal another
        # program opens next under that number.
        agent = Agent("--link", self.port(n), *options,
                      workspace=types.SimpleNamespace(path=folder))
        # A link to the node this agent now holds is left over from an agent
        # that was killed: the fixture has no port.
        for other in self.agents:
            if other != n and os.path.islink(self.port(other)) and \
                    os.readlink(self.port(other)) == agent.port:
                os.unlink(self.port(other))
        self.agents[n] = agent
        return agent

    def unplug(self, n):
        """Fixture n's adapter pulled: its link goes, if its agent (which may
        be ending) has not taken it away already."""
        try:
            os.unlink(self.port(n))
        except FileNotFoundError:
            pass

    def env(self):
        """The station's environment: its alive lock (in TMPDIR) is the
        workspace's own, so that no other station of the machine meets it."""
        return dict(os.environ, TMPDIR=self.path)

    def start(self, *args, stderr=subprocess.DEVNULL):
        # Unbuffered, so that a select on the pipe sees every line not yet read.
        return subprocess.Popen([STATION, *args], cwd=self.path, env=self.env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=stderr,
                                bufsize=0)

    def station(self, *args, stdin=b"", timeout=RUN_TIMEOUT * 2):
        result = subprocess.run([STATION, *args], cwd=self.path, input=stdin, env=self.env(),
                                capture_output=True, timeout=timeout)
        return result.stdout.decode(), result.stderr.decode(), result.returncode

    def export(self):
        out, err, status = self.station("export", "--json")
        if status != 0:
            raise AssertionError("export failed: " + err)
        return json.loads(out)

    def stop_agents(self):
        for agent in self.agents.values():
            agent.stop()

    def remove(self):
        self.stop_agents()
        super().remove()


# An ARM station under emulation: "qemu-aarch64" or "qemu-arm", the
# binfmt_misc entry through which the kernel runs it and its host.
EMULATED = os.environ.get("EMULATED", "")


class StationCase(unittest.TestCase):
    def setUp(self):
        if not STATION:
            self.skipTest("STATION is not set")
        if EMULATED and not os.path.exists("/proc/sys/fs/binfmt_misc/" + EMULATED):
            self.skipTest("the ARM station runs its ARM host through binfmt_misc, and %s is not "
                          "registered there (scripts/install-deps.sh does it as root)" % EMULATED)

    def line(self, **options):
        line = Line(**options)
        self.addCleanup(line.remove)
        out, err, status = line.station("lock")
        self.assertEqual(status, 0, err)
        return line

    def macs(self, numbers):
        return [arg for n in numbers for arg in ("--mac", "A%d=%s" % (n, mac(n).lower()))]

    def shift(self, line):
        """A continuous round through a pipe: (write a line, wait for a text
        on standard output, end and take what is left)."""
        station = subprocess.Popen([STATION, "run", "--continuous"], cwd=line.path,
                                   env=line.env(), stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        self.addCleanup(station.stderr.close)
        self.addCleanup(station.stdout.close)
        seen = []
        found = [0]  # where the next text is looked for

        def wait_for(text):
            # What is there, not whole lines: a prompt ends without one, and
            # a text waited for is looked for after the last one found.
            while text not in "".join(seen)[found[0]:]:
                self.assertTrue(select.select([station.stdout], [], [], RUN_TIMEOUT)[0], seen)
                chunk = os.read(station.stdout.fileno(), 65536).decode()
                self.assertTrue(chunk, seen)
                seen.append(chunk)
            text_so_far = "".join(seen)
            found[0] = text_so_far.index(text, found[0]) + len(text)

        def end(close=True):
            if close:
                station.stdin.close()
            station.wait(timeout=RUN_TIMEOUT)
            seen.append(station.stdout.read().decode())
            return "".join(seen), station.stderr.read().decode(), station.returncode

        return types.SimpleNamespace(process=station, write=lambda t: station.stdin.write(
            t.encode() + b"\n"), wait_for=wait_for, end=end)

    def run_beside_a_hold(self, line, waits, let_go):
        """A round of A1 started while another holds the station's lock:
        `waits`, with a reader's mark beside it (the round waits, then
        passes once `let_go` lets both go); else alone (refused at once)."""
        run = line.start("run", "--mac", "A1=" + mac(1 + waits), stderr=subprocess.PIPE)
        said = run.stderr.readline().decode()
        let_go()
        out, err = run.communicate(timeout=RUN_TIMEOUT)
        if waits:
            self.assertIn("a command that reads the store holds station line1 a moment", said)
            self.assertEqual((run.returncode, err), (0, b""))
            self.assertIn("A1 %s passed" % mac(2), out.decode())
        else:
            self.assertEqual((run.returncode, said), (2, "station: station line1 is running: "
                             "another command holds its lock on the store\n"))

    def locked_line(self, fixtures, extra):
        """A line of `fixtures` without agents yet, `extra` in its station
        file, its images locked."""
        line = Line(fixtures=0)
        self.addCleanup(line.remove)
        line.station_file(fixtures=fixtures, extra=extra)
        self.assertEqual(line.station("lock")[2], 0)
        return line


class Round(StationCase):
    def test_eight_fixtures_in_one_round_then_a_retry_of_the_failed_ones(self):
        line = self.line()
        for n in range(1, 6):
            line.plug(n)
        line.plug(6, "--answer", "3=000600000000")  # CRC error at frame 3
        line.plug(7, "--silent-from", "4")          # no answer from frame 4 on
        line.plug(8, "--hangup-at", "5")            # the line drops at frame 5
        out, err, status = line.station("run", *self.macs(range(1, 9)))
        self.assertEqual((status, err), (1, ""))
        self.assertIn("8 boards, 2 failed, 5 passed, 1 stalled", out)
        self.assertIn("station retry would run A6,A7,A8\n  A6 %s failed\n  A7 %s stalled\n"
                      % (mac(6), mac(7)), out)
        records = {r["fixture"]: r for r in line.export()}
        self.assertEqual(sorted(records), ["A%d" % n for n in range(1, 9)])
        expected = {  # outcome, stage, message, frames, exit status
            "A6": ("failed", "board data", "CRC Error", 2, 1),
            "A7": ("stalled", "OTP", "no answer to frame 4", 3, None),
            # The pseudo-terminal's node goes with the hang-up: noticed at
            # once, not after the stall time.
            "A8": ("failed", "OTP", "port lost at frame 5", 4, None),
        }
        for n in range(1, 9):
            r = records["A%d" % n]
            got = (r["outcome"], r["stage"], r["message"], r["frames"], r["exit_status"])
            self.assertEqual(got, expected.get("A%d" % n, ("passed", "", "", FRAMES, 0)), n)
            self.assertEqual((r["mac"], r["port"], r["otp_address"], r["attempt"], r["rework"]),
                             (mac(n), line.port(n), "0001a000", 1, 0))
            self.assertEqual(r["device"], line.agents[n].port)
            # No --operator: the login's name.
            self.assertEqual(r["operator"], pwd.getpwuid(os.getuid()).pw_name)
            self.assertRegex(r["id"], UUID)
            self.assertRegex(r["started"], UTC_MS)
            self.assertRegex(r["ended"], UTC_MS)
        line.stop_agents()
        # What a lone host prints against the same agent, byte for byte.
        for n, options in ((1, []), (6, ["--answer", "3=000600000000"])):
            # The engineer's own files, as the station's configuration names them.
            lone = Workspace()
            self.addCleanup(lone.remove)
            lone.file("board.bin", BOARD)
            lone.file("otp.bin", OTP)
            lone.file("fw.bin", FIRMWARE)
            lone.config("Boarddata: board.bin\nOTP: otp.bin\nOTPAddress: 1A000\n"
                        "Firmware: fw.bin\n")
            agent = Agent(*options, workspace=lone)
            self.addCleanup(agent.stop)
            lone_out, lone_err, _ = run_host([agent.port, mac(n)], lone.path)
            self.assertEqual(lone_err, "")
            self.assertEqual(records["A%d" % n]["transcript"], lone_out)

        # The retry takes exactly the three that did not pass, with their MACs.
        # The others' adapters are pulled.
        for n in range(1, 6):
            line.unplug(n)
        for n in (6, 7, 8):
            line.plug(n)
        out, err, status = line.station("retry")
        self.assertEqual((status, err), (0, ""), out)
        retried = [r for r in line.export() if r["attempt"] == 2]
        self.assertEqual(sorted((r["fixture"], r["mac"], r["outcome"]) for r in retried),
                         [("A%d" % n, mac(n), "passed") for n in (6, 7, 8)])

        # Every export column, in order; the report counts boards and yield.
        out, _, _ = line.station("export", "--csv")
        rows = list(csv.reader(io.StringIO(out)))
        self.assertEqual(",".join(rows[0]), COLUMNS)
        self.assertEqual(len(rows), 1 + 8 + 3)
        # The columns for spreadsheets: local times with their offset, the
        # MAC with colons.
        for row in csv.DictReader(io.StringIO(out)):
            for column in ("started", "ended"):
                local = row[column + "_local"]
                self.assertRegex(local, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")
                self.assertEqual(calendar.timegm(time.strptime(row[column][:19], "%Y-%m-%dT%H:%M:%S")),
                                 calendar.timegm(time.strptime(local[:19], "%Y-%m-%dT%H:%M:%S"))
                                 - (int(local[-6:-3]) * 60 + int(local[-6] + local[-2:])) * 60)
            self.assertEqual(row["mac_colons"].replace(":", ""), row["mac"])
            self.assertRegex(row["mac_colons"], r"^([0-9A-F]{2}:){5}[0-9A-F]{2}$")
        # A row a group, so that a spreadsheet's sums count each board once.
        days = {row["started_local"][:10] for row in csv.DictReader(io.StringIO(out))}
        out, _, _ = line.station("report", "--csv")
        rows = list(csv.reader(io.StringIO(out)))
        self.assertEqual(rows[0], ["day", "boards", "passed", "first_pass_yield",
                                   "labels_verified"])
        self.assertEqual(({r[0] for r in rows[1:]}, sum(int(r[1]) for r in rows[1:])), (days, 8))
        if len(days) == 1:  # a round across midnight counts in two days
            self.assertEqual(rows[1][1:], ["8", "8", "62.5", ""])
        # Its failures a table of their own, frame numbers folded.
        out, _, _ = line.station("report", "--csv", "--failures")
        rows = list(csv.DictReader(io.StringIO(out)))
        self.assertEqual(sorted((r["stage"], r["failure"], r["failures"], r["fixtures"])
                                for r in rows),
                         [("OTP", "port lost at frame N", "1", "A8"),
                          ("OTP", "stalled: no answer to frame N", "1", "A7"),
                          ("board data", "CRC Error", "1", "A6")])

    def test_a_transcript_names_the_engineers_files_unless_their_names_clash(self):
        cases = [
            ("own names, in folders", {"data/board.bin": BOARD, "otp.bin": OTP, "/fw.bin": FIRMWARE},
             ["data/board.bin", "otp.bin", "/fw.bin"], ["board.bin", "otp.bin", "fw.bin"]),
            ("one name twice", {"a/image.bin": BOARD, "b/image.bin": OTP, "fw.bin": FIRMWARE},
             ["a/image.bin", "b/image.bin", "fw.bin"],
             ["board_data.bin", "otp.bin", "firmware.bin"]),
            ("the snapshot's own", {"cfg/tivConfig.txt": BOARD, "otp.bin": OTP, "fw.bin": FIRMWARE},
             ["cfg/tivConfig.txt", "otp.bin", "fw.bin"],
             ["board_data.bin", "otp.bin", "firmware.bin"]),
        ]
        for name, files, entries, opened in cases:
            with self.subTest(name):
                line = Line(fixtures=1)
                self.addCleanup(line.remove)
                for path, data in files.items():
                    path = os.path.join(line.path, "images", path.lstrip("/"))
                    os.makedirs(os.path.dirname(path), exist_ok=True)
                    with open(path, "wb") as f:
                        f.write(data)
                # An absolute path is given as one.
                entries = [os.path.join(line.path, "images", e[1:]) if e.startswith("/") else e
                           for e in entries]
                with open(os.path.join(line.path, "images", "tivConfig.txt"), "w") as f:
                    f.write("Boarddata: %s\nOTP: %s\nOTPAddress: 1A000\nFirmware: %s\n"
                            % tuple(entries))
                self.assertEqual(line.station("lock")[2], 0)
                agent = line.plug(1)
                out, err, status = line.station("run", *self.macs([1]))
                self.assertEqual((status, err), (0, ""), out)
                transcript = line.export()[0]["transcript"]
                self.assertEqual(re.findall(r"Opening (.*)\n", transcript), opened)
                agent.stop()
                self.assertEqual(agent.received("board_data.bin"), BOARD)

    def test_a_log_is_found_after_the_time_zone_changed(self):
        line = self.line(fixtures=1)
        line.plug(1)
        environment = line.env
        # POSIX zones, which need no time zone files: 9 hours east, 8 west.
        line.env = lambda: dict(environment(), TZ="JST-9")
        self.assertEqual(line.station("run", *self.macs([1]))[2], 0)
        (record,) = line.export()
        started = time.gmtime(utc_seconds(record["started"]) + 9 * 3600)
        (day,) = os.listdir(os.path.join(line.path, "station-logs"))
        self.assertEqual(day, time.strftime("%Y-%m-%d", started))
        line.env = lambda: dict(environment(), TZ="PST8")
        out, err, status = line.station("log", mac(1))
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(out.startswith("station: line1\nfixture: A1\nMAC: %s\nrecord: %s\n"
                                       % (mac(1), record["id"])), out)
        self.assertTrue(out.endswith("\n\n" + record["transcript"]), out)


class Events(StationCase):
    def test_json_events_a_missing_port_skipped_and_the_history(self):
        line = self.line(fixtures=2)
        line.plug(1)
        out, err, status = line.station("run", "--json", *self.macs([1, 2]))
        self.assertEqual((status, err), (1, ""))
        events = [json.loads(l) for l in out.splitlines()]
        self.assertEqual([(e["event"], e.get("fixture")) for e in events],
                         [("skipped", "A2"), ("started", "A1"), ("finished", "A1"),
                          ("round", None)])
        self.assertEqual(events[0]["why"], "port %s is missing" % line.port(2))
        self.assertEqual((events[2]["outcome"], events[2]["frames"]), ("passed", FRAMES))
        self.assertEqual(events[3]["outcomes"], {"passed": 1})
        self.assertEqual([r["fixture"] for r in line.export()], ["A1"], "no record for A2")
        out, _, status = line.station("history", mac(1))
        self.assertEqual(status, 0)
        self.assertIn("fixture A1", out)
        self.assertIn("Programming TIV successful\n", out)

    def test_macs_asked_for_fixture_by_fixture(self):
        line = self.line(fixtures=4)
        line.plug(1)
        line.plug(4)
        # As a barcode scanner types them: a MAC and Enter; a wrong one, and
        # r or n where no board is held, are refused and asked again, in the
        # continuous round's words; an empty line or - skips the fixture.
        out, err, status = line.station("run", stdin=b"0011223344zz\nr\nn\n001122334401\n\n"
                                                      b"-\n001122334404\n")
        self.assertEqual(status, 0, err)
        self.assertIn("MAC for A1: not a MAC: a MAC is 12 hexadecimal digits (001122AABBCC, "
                      "00:11:22:aa:bb:cc, 00-11-22-AA-BB-CC or 0011.22aa.bbcc)\n"
                      "MAC for A1: refused: A1 has no board to retry\n"
                      "MAC for A1: refused: A1 holds no board that keeps its MAC\n"
                      "MAC for A1: MAC for A2: MAC for A3: MAC for A4: ", out)
        self.assertEqual(sorted((r["fixture"], r["mac"], r["outcome"]) for r in line.export()),
                         [("A1", mac(1), "passed"), ("A4", mac(4), "passed")])

    def test_a_refused_scan_asks_the_same_fixture_again_at_once(self):
        line = self.line(fixtures=2)
        line.plug(1)
        self.assertEqual(line.station("run", "--fixtures", "A1", "--mac", "A1=" + mac(5))[2], 0)
        line.plug(1)
        line.plug(2)
        # A2: a MAC scanned for A1 already, then one that passed before, then
        # a fresh one in the dot form of a label.
        out, err, status = line.station("run", stdin=b"00:11:22:33:44:01\n001122334401\n"
                                                      b"00-11-22-33-44-05\n0011.2233.4402\n")
        self.assertEqual((status, err), (0, ""))
        self.assertIn("MAC for A1: MAC for A2: refused: MAC 001122334401 is given for A1 "
                      "already\nMAC for A2: refused: MAC 001122334405 was programmed on "
                      "station line1, fixture A1, at ", out)
        self.assertEqual(out.count("MAC for A1: "), 1, "no other fixture is asked again")
        self.assertEqual(sorted((r["fixture"], r["mac"]) for r in line.export()),
                         [("A1", mac(1)), ("A1", mac(5)), ("A2", mac(2))])

    def test_ctrl_c_at_the_prompt_ends_the_command_with_nothing_started(self):
        line = self.line(fixtures=1)
        agent = line.plug(1)
        station = subprocess.Popen([STATION, "run"], cwd=line.path, env=line.env(),
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, bufsize=0)
        self.addCleanup(station.stdin.close)
        seen = b""
        while not seen.endswith(b"MAC for A1: "):
            self.assertTrue(select.select([station.stdout], [], [], RUN_TIMEOUT)[0], seen)
            seen += station.stdout.read(100)
        station.send_signal(signal.SIGINT)
        station.communicate(timeout=RUN_TIMEOUT)
        self.assertEqual(station.returncode, -signal.SIGINT)
        self.assertEqual(line.export(), [])
        agent.process.terminate()
        agent.stop()
        self.assertEqual(agent.frames(), [])

    def test_ports_lists_this_machines_serial_ports(self):
        result = subprocess.run([STATION, "ports"], capture_output=True, text=True,
                                timeout=RUN_TIMEOUT)
        self.assertEqual(result.returncode, 0)
        nodes = [l for l in result.stdout.splitlines() if l.startswith("/dev/")]
        expected = sorted("/dev/" + n for n in os.listdir("/dev")
                          if re.match(r"^tty(USB|ACM|S|AMA)\d+$", n))
        self.assertEqual(sorted(nodes), expected)


def utc_seconds(text):
    """A record's UTC time as seconds since the epoch."""
    return calendar.timegm(time.strptime(text[:19], "%Y-%m-%dT%H:%M:%S")) + float(text[19:-1])


class Continuous(StationCase):
    """`run --continuous` through a pipe, as a factory script drives it."""

    def test_each_board_starts_as_its_mac_is_scanned_while_the_others_run(self):
        line = self.line(fixtures=2)
        line.plug(1, "--delay", "200")
        line.plug(2, "--delay", "200")
        s = self.shift(line)
        s.write("001122334401")
        s.wait_for("A1 001122334401 started")
        # A1 runs; the same MAC scanned for A2 is refused and A2 asked again.
        s.write("00:11:22:33:44:01")
        s.wait_for("refused: MAC 001122334401 is running on A1")
        scanned = time.time()
        s.write("0011.2233.4402")
        s.wait_for("A2 001122334402 started")
        # The end of input: running boards finish, then the round.
        text, err, status = s.end()
        self.assertEqual((status, err), (0, ""), text)
        self.assertIn("A1 001122334401 PASS 11 frames", text)
        self.assertIn("A2 001122334402 PASS 11 frames", text)
        self.assertIn("MAC for A2: \nrefused: MAC 001122334401 is running on A1\nMAC for A2: ",
                      text)
        records = {r["fixture"]: r for r in line.export()}
        self.assertEqual({f: r["outcome"] for f, r in records.items()},
                         {"A1": "passed", "A2": "passed"})
        # A2 started after its own scan, while A1 still ran.
        self.assertGreaterEqual(utc_seconds(records["A2"]["started"]), scanned - 0.01)
        self.assertLess(utc_seconds(records["A2"]["started"]),
                        utc_seconds(records["A1"]["ended"]))

    def test_a_shift_of_20_boards_on_4_fixtures_whose_agents_serve_board_after_board(self):
        line = self.locked_line(4, '[mac]\nfirst = "02AA00000000"\nlast = "02AA000000FF"\n')
        # Every third board of each fixture fails in board data.
        agents = [line.plug(n, "--boards", "--fault-every", "3", "--answer", "2=000600000000")
                  for n in (1, 2, 3, 4)]
        out, err, status = line.station("run", "--continuous", stdin=b"\n" * 20)
        self.assertEqual((status, err), (1, ""), out)
        records = line.export()
        self.assertEqual(len(records), 20, out)
        self.assertEqual(len({r["mac"] for r in records}), 20)
        for n, agent in enumerate(agents, 1):
            mine = [r for r in records if r["fixture"] == "A%d" % n]
            self.assertEqual([(r["outcome"], r["stage"], r["message"]) for r in mine],
                             [("failed", "board data", "CRC Error") if k % 3 == 2 else
                              ("passed", "", "") for k in range(len(mine))])
            agent.process.terminate()
            agent.stop()
            self.assertEqual(agent.printed.count("\nrun ") + agent.printed.startswith("run "),
                             len(mine), agent.printed)

    def test_the_readmes_shift_without_hardware_runs_as_written(self):
        with open(os.path.join(os.path.dirname(__file__), "..", "..", "README.md")) as f:
            readme = f.read()
        block = readme.split("**A shift without hardware**")[1].split("```\n")[1]
        # The build under test, wherever it is.
        script = block.replace("B=$PWD/build/native", "B=" + os.path.dirname(HOST), 1)
        self.assertNotEqual(script, block)
        # As pasted into a shell: its own process group, so that nothing it
        # started outlives the test.
        shell = subprocess.Popen(["bash", "-c", script], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, start_new_session=True)
        self.addCleanup(lambda: shell.poll() is None and os.killpg(shell.pid, signal.SIGKILL))
        out, err = shell.communicate(timeout=RUN_TIMEOUT * 2)
        self.assertEqual((shell.returncode, err), (0, ""), out)
        self.assertRegex(out, r"\nround [0-9a-f-]{36}: 20 boards, \d+ failed, \d+ passed\n")

    def test_scans_aimed_at_a_fixture_and_a_retry_of_where_each_board_is(self):
        line = self.line(fixtures=2)
        line.plug(1)
        line.plug(2, "--answer", "3=000600000000")  # CRC error at frame 3
        s = self.shift(line)
        s.wait_for("scan a MAC for the fixture asked, or a fixture's label and a MAC for it")
        s.write("A2 " + mac(2))  # aimed at A2, while A1 is asked
        s.wait_for("A2 %s FAIL failed in board data: CRC Error" % mac(2))
        line.plug(2, "--answer", "3=000600000000")  # the next board in A2 fails too
        s.write("fixture:A2 " + mac(3))
        s.wait_for("A2 %s FAIL" % mac(3))
        s.write("-")  # A1 asked: skipped, without a board
        s.write("q")
        out, err, status = s.end()
        self.assertEqual((status, err), (1, ""), out)
        self.assertNotIn("A1 %s" % mac(1), out)
        # A2 holds the board of the second scan: it alone is retried, once.
        self.assertIn("station retry would run A2\n", out)
        line.plug(2)
        out, err, status = line.station("retry")
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(sorted((r["mac"], r["attempt"], r["outcome"]) for r in line.export()),
                         [(mac(2), 1, "failed"), (mac(3), 1, "failed"), (mac(3), 2, "passed")])

    def test_a_fixture_without_its_port_is_out_of_service_until_it_is_back(self):
        line = self.line(fixtures=2)
        line.plug(1, "--delay", "100")
        s = self.shift(line)
        s.write(mac(1))
        s.wait_for("A1 %s started" % mac(1))
        # A2 is asked next: its port is missing, so it is out of service
        # and not asked again; once A1 ends, a label is asked for.
        s.wait_for("A2 out of service: port %s is missing" % line.port(2))
        s.wait_for("A1 %s PASS" % mac(1))
        # A board scanned for it while its port is still missing is left
        # unprogrammed: that counts (status 1).
        s.write("A2 " + mac(2))
        s.wait_for("refused: port %s is missing" % line.port(2))
        line.plug(2)
        s.wait_for("A2 back in service")
        s.write("A2 " + mac(2))  # A1 is the fixture asked
        s.wait_for("A2 %s PASS" % mac(2))
        out, err, status = s.end()
        self.assertEqual((status, err), (1, ""), out)
        self.assertEqual(sorted(r["mac"] for r in line.export()), [mac(1), mac(2)])
        # The notices that scrolled by are kept, each with its time; the
        # boards' lines are not notices.
        kept = []
        for path in sorted(glob.glob(os.path.join(line.path, "station-logs", "*",
                                                  "notices-line1.log"))):
            with open(path) as log:
                kept += log.read().splitlines()
        for l in kept:
            self.assertRegex(l, r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(\.\d+)?Z ")
        notices = [l.split(" ", 1)[1] for l in kept]
        self.assertTrue(set(notices) <= set(out.splitlines()), (notices, out))
        for notice in ("A2 out of service: port %s is missing" % line.port(2),
                       "refused: port %s is missing" % line.port(2), "A2 back in service"):
            self.assertIn(notice, notices)
        self.assertFalse([n for n in notices if mac(1) in n or mac(2) in n], notices)

    def test_ctrl_c_ends_a_shift_with_130(self):
        line = self.line(fixtures=1, stall=60)
        for running in (False, True):
            with self.subTest(running=running):
                line.plug(1, "--silent-from", "4")
                s = self.shift(line)
                if running:
                    s.write(mac(1))
                    s.wait_for("A1 %s started" % mac(1))
                else:
                    s.wait_for("scan a MAC")
                s.process.send_signal(signal.SIGINT)
                out, err, status = s.end(close=False)
                s.process.stdin.close()
                self.assertEqual((status, err), (130, ""), out)
                if running:
                    self.assertIn("A1 %s FAIL aborted" % mac(1), out)
                    self.assertRegex(out, r"\nround [0-9a-f-]+: 1 board, 1 aborted\n")
                else:
                    self.assertNotIn("round", out)  # no empty round told

    def test_mac_given_with_continuous_is_refused(self):
        line = self.line(fixtures=1)
        out, err, status = line.station("run", "--continuous", *self.macs([1]))
        self.assertEqual((status, out), (2, ""))
        self.assertIn("--continuous takes each MAC as its board is scanned", err)


class Duplicates(StationCase):
    def test_a_passed_mac_is_refused_unless_reworked(self):
        line = self.line(fixtures=1)
        line.plug(1)
        self.assertEqual(line.station("run", *self.macs([1]))[2], 0)
        line.plug(1)
        out, _, status = line.station("run", *self.macs([1]))
        self.assertEqual(status, 1)
        self.assertRegex(out, r"A1 skipped: MAC 001122334401 was programmed on station line1, "
                              r"fixture A1, at \S+Z \(--rework")
        self.assertEqual(len(line.export()), 1, "a refused board gets no record")
        out, _, status = line.station("run", "--rework", *self.macs([1]))
        self.assertEqual(status, 0, out)
        self.assertEqual([(r["outcome"], r["rework"]) for r in line.export()],
                         [("passed", 0), ("passed", 1)])

    def test_a_mac_in_progress_is_refused_on_another_station(self):
        line = self.line(fixtures=1, stall=60)
        line.plug(1, "--silent-from", "2")
        first = line.start("run", *self.macs([1]))
        self.addCleanup(first.wait)
        self.addCleanup(first.kill)
        self.assertIn("started", first.stdout.readline().decode())
        # A second station on the same store, with a fixture of its own.
        other = os.path.join(line.path, "other.toml")
        with open(other, "w") as f:
            f.write('station = "line2"\nconfig = "images/tivConfig.txt"\nhost = "%s"\n'
                    '[[fixture]]\nname = "B1"\nport = "%s"\n' % (HOST, line.port(2)))
        line.plug(2)
        self.assertEqual(line.station("-f", other, "lock")[2], 0)
        out, _, status = line.station("-f", other, "run", "--mac", "B1=" + mac(1))
        self.assertEqual(status, 1)
        self.assertIn("MAC 001122334401 is being programmed on station line1, fixture A1", out)
        first.send_signal(signal.SIGINT)
        self.assertEqual(first.wait(timeout=RUN_TIMEOUT), 1)
        first.stdout.close()
        self.assertEqual([r["outcome"] for r in line.export()], ["aborted"])


def children(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [int(p) for p in f.read().split()]


class Limits(StationCase):
    """What a 32-bit build must not cut short: a stall of a day, and counts
    past 2^31 in the store."""

    def test_a_day_long_stall_and_frames_past_2_31(self):
        line = self.line(fixtures=1, stall=86400)
        line.plug(1)
        out, err, status = line.station("run", "--mac", "A1=" + mac(1))
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(line.export()[0]["frames"], FRAMES)
        with sqlite3.connect(os.path.join(line.path, "records.db")) as db:
            db.execute("UPDATE records SET frames = 3000000000")
            db.execute("UPDATE fixtures SET frames = 2999999999, total = 3000000000")
        self.assertEqual(line.export()[0]["frames"], 3000000000)
        out, err, status = line.station("history", mac(1))
        self.assertIn(", 3000000000 frames\n", out)
        out, err, status = line.station("export", "--csv")
        self.assertEqual(list(csv.DictReader(io.StringIO(out)))[0]["frames"], "3000000000")
        out, err, status = line.station("report")
        self.assertEqual(status, 0, err)


class Crash(StationCase):
    def test_a_killed_station_leaves_no_host_and_its_round_is_interrupted(self):
        line = self.line(fixtures=2, stall=60)
        line.plug(1, "--silent-from", "3")
        line.plug(2, "--silent-from", "3")
        station = line.start("run", *self.macs([1, 2]))
        for _ in range(2):
            self.assertIn("started", station.stdout.readline().decode())
        # Each host runs once its line was quieted: until its frame 3, then
        # waits for an answer that does not come.
        folder = os.path.join(line.path, "station-logs")

        def programming(day, name):
            with open(os.path.join(folder, day, name)) as f:
                return "Programming." in f.read()
        deadline = time.monotonic() + RUN_TIMEOUT
        while sum(programming(day, name) for day in os.listdir(folder)
                  for name in os.listdir(os.path.join(folder, day))) < 2:
            self.assertLess(time.monotonic(), deadline, "the hosts did not start")
            time.sleep(0.02)  # polls files that the station writes
        hosts = [os.pidfd_open(pid) for pid in children(station.pid)]
        self.assertEqual(len(hosts), 2)
        station.kill()
        station.wait()
        station.stdout.close()
        for pidfd in hosts:
            # Each host ends with its station.
            self.assertTrue(select.select([pidfd], [], [], RUN_TIMEOUT)[0])
            os.close(pidfd)
        # The next command of that station marks what it left open.
        self.assertEqual(sorted((r["fixture"], r["outcome"]) for r in line.export()),
                         [("A1", "interrupted"), ("A2", "interrupted")])

    def test_a_round_waits_for_a_readers_hold_and_is_refused_by_a_live_commands(self):
        """The station's lock and a reader's mark beside it, held by another
        process as a reader holds them while it delivers the spool (and as a
        live round holds the lock alone)."""
        line = self.line(fixtures=1)
        line.plug(1)
        self.assertEqual(line.station("init")[2], 0)
        alive = os.path.join(line.path, ".records.db.line1.alive")
        for files, waits in (([alive, alive + ".reading"], True), ([alive], False)):
            held = [os.open(f, os.O_RDWR | os.O_CREAT, 0o600) for f in files]
            for fd in held:
                fcntl.flock(fd, fcntl.LOCK_EX)
            self.run_beside_a_hold(line, waits, lambda: [os.close(fd) for fd in held])


class Refusals(StationCase):
    def test_each_refusal_gives_its_message_and_status_2(self):
        line = self.line(fixtures=2)
        line.plug(1)
        cases = [
            ("bad MAC", ["run", "--mac", "A1=00112233445"], "12 hexadecimal digits"),
            ("unknown fixture", ["run", "--mac", "A9=001122334455"], 'unknown fixture "A9"'),
            ("unknown fixture in the list", ["run", "--fixtures", "A1,Z"], 'unknown fixture "Z"'),
            ("no subcommand", [], "required"),
        ]
        for name, args, message in cases:
            with self.subTest(name):
                out, err, status = line.station(*args)
                self.assertEqual(status, 2, out + err)
                self.assertIn(message, err)
        files = [
            ("unknown key", 'statoin = "x"\n', 'station.toml:6: unknown key "statoin"'),
            ("bad stall", "", "station.toml:4: \"stall\" takes seconds"),
            ("unwritable store", "", "cannot open the store"),
            ("broken TOML", "[[fixture\n", "station.toml:6:"),
            ("a standby of a SQLite store", 'read_store = "host=/tmp dbname=x"\n',
             'station.toml:6: "read_store" names a standby of the store\'s PostgreSQL server'),
        ]
        for name, extra, message in files:
            with self.subTest(name):
                line.station_file(fixtures=2, extra=extra,
                                  stall="-1" if name == "bad stall" else 2,
                                  store="no/such/folder/records.db"
                                  if name == "unwritable store" else "records.db")
                out, err, status = line.station("export")
                self.assertEqual(status, 2, out + err)
                self.assertIn(message, err)

    def test_a_store_of_a_newer_schema_is_refused(self):
        line = self.line(fixtures=1)
        store = sqlite3.connect(os.path.join(line.path, "records.db"))
        store.execute("PRAGMA user_version = 99")
        store.close()
        out, err, status = line.station("export")
        self.assertEqual((status, out), (2, ""))
        self.assertIn("schema version 99, newer than this station's", err)

    def test_an_image_changed_after_lock_is_refused(self):
        line = self.line(fixtures=1)
        line.plug(1)
        with open(os.path.join(line.path, "images", "fw.bin"), "r+b") as f:
            f.write(b"\xff")
        out, err, status = line.station("run", *self.macs([1]))
        self.assertEqual((status, out), (2, ""))
        self.assertIn("are not the locked ones", err)
        self.assertEqual(line.export(), [])


class HostileText(StationCase):
    """Texts from outside the station with control characters in them (a
    window title, a screen cleared, a bell, a line forged by a carriage
    return, a C1 CSI, a byte that is no UTF-8): a terminal is shown them
    visible; the data formats keep them exact."""

    TITLE = "\x1b]0;HACKED\x07"
    SHOWN_TITLE = "^[]0;HACKED^G"
    REASON = "\x1b[2J\r== forged \u009b1m\x7f"
    SHOWN_REASON = "^[[2J^M== forged <U+009B>1m^?"

    def assert_visible(self, text, where):
        self.assertIsNone(re.search("[\x00-\x08\x0b-\x1f\x7f\x80-\x9f]", text), where)

    def test_a_terminal_sees_control_characters_visible_and_data_keeps_them(self):
        line = self.line(fixtures=1)
        image = "b%s.bin" % self.TITLE
        os.rename(os.path.join(line.path, "images", "board.bin"),
                  os.path.join(line.path, "images", image))
        with open(os.path.join(line.path, "images", "tivConfig.txt"), "w") as f:
            f.write("Boarddata: %s\nOTP: otp.bin\nOTPAddress: 1A000\nFirmware: fw.bin\n" % image)
        line.station_file(fixtures=1, extra='[mac]\nimage = "otp"\noffset = 16\n')
        # A second fixture whose port, named with a line end, is missing.
        with open(os.path.join(line.path, "station.toml"), "a") as f:
            f.write('[[fixture]]\nname = "A2"\nport = "%s"\n'
                    % os.path.join(line.path, "port-A2\\n== forged"))
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1, "--answer", "4=000600000000")  # the OTP fails: its MAC kept
        out, err, status = line.station("run", "--mac", "A1=" + mac(1), "--mac", "A2=" + mac(2))
        self.assertEqual(status, 1, out + err)
        self.assertIn("port-A2^J== forged is missing", out)
        self.assertFalse([l for l in (out + err).splitlines() if l.startswith("== forged")],
                         out + err)
        out, err, status = line.station("release", mac(1), "--reason", self.REASON)
        self.assertEqual(status, 0, err)
        for what, args, shown in (
                ("history", ["history", mac(1)], [self.SHOWN_REASON, "Opening b" + self.SHOWN_TITLE]),
                ("a refusal quoting --lot", ["run", "--lot", "WO" + self.TITLE], ["WO" + self.SHOWN_TITLE]),
                ("a refusal quoting a MAC", ["history", self.TITLE], [self.SHOWN_TITLE]),
                ("the conflicts", ["conflicts", "--all"], [])):
            with self.subTest(what):
                out, err, status = line.station(*args)
                self.assert_visible(out, what + ": standard output")
                self.assert_visible(err, what + ": standard error")
                for text in shown:
                    self.assertIn(text, out + err)
        # The data formats keep every character as it was.
        (record,) = line.export()
        self.assertIn("Opening b" + self.TITLE, record["transcript"])
        with sqlite3.connect(os.path.join(line.path, "records.db")) as db:
            self.assertEqual(db.execute("SELECT reason FROM releases").fetchall(),
                             [(self.REASON,)])


class InTmux(StationCase):
    """A station command in a real terminal (tmux), its pane captured."""

    def setUp(self):
        super().setUp()
        self.tmux = shutil.which("tmux")
        if not self.tmux:
            self.skipTest("tmux is not installed")

    def in_tmux(self, line, args, width, height=20):
        """Starts `station ARGS` in a pane of WIDTH x HEIGHT; returns the
        tmux socket and a descriptor that reads the command's status."""
        socket = os.path.join(tempfile.mkdtemp(prefix="station_tmux_"), "tmux")
        self.addCleanup(shutil.rmtree, os.path.dirname(socket), ignore_errors=True)
        # The command tells its end through a FIFO, opened for reading and
        # writing so that it never reads an end of file.
        done = os.path.join(line.path, "done-%d" % len(os.listdir(line.path)))
        os.mkfifo(done)
        ended = os.open(done, os.O_RDWR | os.O_NONBLOCK)
        self.addCleanup(os.close, ended)
        command = "%s %s; echo $? > %s; sleep 600" % (STATION, " ".join(args), done)
        subprocess.run([self.tmux, "-S", socket, "new-session", "-d", "-x", str(width), "-y",
                        str(height), "-c", line.path, command], check=True, timeout=RUN_TIMEOUT)
        self.addCleanup(subprocess.run, [self.tmux, "-S", socket, "kill-server"],
                        capture_output=True, timeout=RUN_TIMEOUT)
        return socket, ended

    def pane(self, socket):
        return subprocess.run([self.tmux, "-S", socket, "capture-pane", "-p"],
                              capture_output=True, text=True, check=True,
                              timeout=RUN_TIMEOUT).stdout

    def wait_for(self, socket, text):
        """Captures the pane until it shows `text` (a regular expression;
        the screen is drawn 10 times a second)."""
        deadline = time.monotonic() + RUN_TIMEOUT
        while not re.search(text, self.pane(socket), re.M):
            self.assertLess(time.monotonic(), deadline, self.pane(socket))
            time.sleep(0.05)  # polls what tmux shows
        return self.pane(socket)

    def keys(self, socket, *keys):
        subprocess.run([self.tmux, "-S", socket, "send-keys", *keys], check=True,
                       timeout=RUN_TIMEOUT)

    def status(self, ended):
        self.assertTrue(select.select([ended], [], [], RUN_TIMEOUT)[0], "the command did not end")
        return int(os.read(ended, 100).decode().strip())


class TerminalScreen(InTmux):
    """The round's screen in a real terminal (tmux): one line a fixture,
    none wider than the screen, through a resize."""

    def round_in_tmux(self, width, stall=2):
        line = self.line(fixtures=3, stall=stall)
        line.plug(1)
        line.plug(2, "--answer", "3=000600000000")
        line.plug(3, "--silent-from", "4")
        return self.in_tmux(line, ["run"] + self.macs([1, 2, 3]), width)

    def check_end(self, socket, ended, width):
        self.assertEqual(self.status(ended), 1)
        lines = [l for l in self.pane(socket).splitlines() if l.strip()]
        self.assertTrue(all(len(l) < width for l in lines), lines)
        self.assertEqual([l.split()[0] for l in lines[:3]], ["A1", "A2", "A3"], lines)
        self.assertEqual(sum(l.startswith("A") for l in lines), 3, "one line a fixture")
        bar = r"(\[[#.]+\] +)?"  # the bar goes first when the lines do not fit
        self.assertRegex(lines[0], r"^A1 +001122334401 +100%% +%s\d+\.\d s +passed$" % bar)
        self.assertRegex(lines[1], r"^A2 +001122334402 +\d+%% +%s\d+\.\d s +failed" % bar)
        self.assertRegex(lines[2], r"^A3 +001122334403 +\d+%% +%s\d+\.\d s +stalled" % bar)
        # An outcome cut to the width keeps its frame number.
        self.assertRegex(lines[2], r"frame 4$")
        # The round's line, its id on a line of its own where the two do not fit.
        summary = "3 boards, 1 failed, 1 passed, 1 stalled"
        rest = lines[3:] if lines[3].endswith(summary) else [lines[3] + " " + lines[4]] + lines[5:]
        self.assertRegex(rest[0], r"^round [0-9a-f-]{36}:? %s$" % summary)
        self.assertEqual(rest[1], "station retry would run A2,A3")
        return lines

    def test_80_and_120_columns(self):
        for width in (80, 120):
            with self.subTest(width=width):
                socket, ended = self.round_in_tmux(width)
                # A finished board's time stands still while another runs (the
                # columns may move when another board's outcome needs room).
                took = re.compile(r" (\d+\.\d s) +passed$")
                first = self.wait_for(socket, "passed").splitlines()[0]
                self.wait_for(socket, "failed in")
                again = self.pane(socket).splitlines()[0]
                self.assertEqual(took.search(first).group(1), took.search(again).group(1))
                lines = self.check_end(socket, ended, width)
                if width == 120:
                    self.assertTrue(lines[1].endswith("failed in board data: CRC Error"))

    def test_lock_at_80_columns_puts_each_path_under_its_hash(self):
        line = self.line(fixtures=1)
        socket, ended = self.in_tmux(line, ["lock"], 80, 24)
        self.assertEqual(self.status(ended), 0)
        lines = self.pane(socket).rstrip("\n").splitlines()
        self.assertTrue(all(len(l) < 80 for l in lines), lines)
        self.assertRegex(lines[1], r"^  board data [0-9a-f]{64}$")
        self.assertEqual(lines[2], " " * 13 + os.path.join(line.path, "images", "board.bin"))
        self.assertEqual(lines[-1], "  OTP address 0001a000")

    def test_a_terminal_resized_during_the_round(self):
        socket, ended = self.round_in_tmux(120, stall=3)
        self.wait_for(socket, "passed")
        subprocess.run([self.tmux, "-S", socket, "resize-window", "-x", "60", "-y", "20"],
                       check=True, timeout=RUN_TIMEOUT)
        self.check_end(socket, ended, 60)


class Panel(InTmux):
    """`run --continuous` on a terminal: a row per fixture, the last events,
    the prompt with what is typed on the last row."""

    def shift_in_tmux(self, line, width, height):
        socket, ended = self.in_tmux(line, ["run", "--continuous"], width, height)
        self.wait_for(socket, r"^MAC for A1: ?$")
        return socket, ended

    def rows(self, socket, width):
        lines = self.pane(socket).splitlines()
        self.assertTrue(all(len(l) < width for l in lines), lines)
        rows = {}
        for l in lines:  # the rows come before the events
            if re.match(r"A\d ", l):
                rows.setdefault(l.split()[0], l)
        return rows

    def test_a_shift_of_four_fixtures_at_80x24_and_120x40(self):
        # An agent goes with its host's end, and the fixture's port with it
        # (soon, not at once), as a board taken off its fixture: which
        # fixture is asked next is left open, and each row is checked for
        # what its fixture may show.
        for width, height in ((80, 24), (120, 40)):
            with self.subTest(width=width):
                line = Line(fixtures=0)
                self.addCleanup(line.remove)
                line.station_file(fixtures=4, stall=4,
                                  extra='[mac]\nfirst = "0011223300A0"\nlast = "0011223300AF"\n')
                self.assertEqual(line.station("lock")[2], 0)
                line.plug(1, "--delay", "100")
                line.plug(2, "--answer", "3=000600000000")  # CRC error at frame 3
                line.plug(3, "--silent-from", "4")           # a silent board
                # A4's port is pulled.
                socket, ended = self.shift_in_tmux(line, width, height)
                for n in (1, 2, 3):
                    self.wait_for(socket, r"^MAC for A%d: ?$" % n)
                    self.keys(socket, mac(n), "Enter")
                    self.wait_for(socket, r"^A%d +(running|FAIL) +%s" % (n, mac(n)))
                self.wait_for(socket, r"^A4 +out of service +port missing$")
                self.wait_for(socket, r"^A1 %s PASS 11 frames" % mac(1))
                # Cut to 80 columns, an outcome keeps its frame number.
                self.wait_for(socket, r"^A3 +(FAIL|out of service) +%s +(port missing; )?"
                                      r"stalled in OTP.* frame 4 +0 pass 1 fail$" % mac(3))
                line.plug(1)
                line.plug(2)
                # A1 back in service (if it was out): its row shows its last board.
                self.wait_for(socket, r"^A1 +PASS +%s +11 frames" % mac(1))
                self.wait_for(socket, r"^(MAC for A\d|no fixture to ask.*): ?$")
                # A scan aimed at A2, whichever fixture is asked.
                self.keys(socket, "A2 " + mac(5), "Enter")
                self.wait_for(socket, r"^A2 %s PASS" % mac(5))
                self.wait_for(socket, r"^A2 +(PASS|out of service) +%s +(11 frames, \d+\.\d s|"
                                      r"port missing; passed) +1 pass 1 fail$" % mac(5))
                # The fixture asked is skipped: no MAC of the pool is spent.
                self.wait_for(socket, r"^MAC for A\d: ?$")
                self.keys(socket, "-", "Enter")
                self.keys(socket, "q", "Enter")
                self.assertEqual(self.status(ended), 1)  # boards failed, a fixture was out
                rows = self.rows(socket, width)
                self.assertEqual(len(rows), 4, "one row a fixture")
                self.assertRegex(rows["A1"], r"^A1 +PASS +%s +11 frames, \d+\.\d s +1 pass 0 fail$"
                                 % mac(1))
                self.assertRegex(rows["A4"], r"^A4 +out of service +port missing$")
                text = self.pane(socket)
                self.assertRegex(text, r"\nround [0-9a-f-]{36}:?\s4 boards, 1 failed, 2 passed, "
                                       r"1 stalled\n")
                self.assertIn("\nstation retry would run A3\n", text)
                self.assertNotIn("MAC pool", text, "no MAC came from the pool")
                self.assertIn("used  0\n", line.station("pool")[0])

    def test_what_is_typed_stays_across_a_redraw_and_counts_whole(self):
        line = self.line(fixtures=2)
        line.plug(1, "--delay", "300")
        line.plug(2)
        socket, ended = self.shift_in_tmux(line, 80, 24)
        self.keys(socket, mac(1), "Enter")
        self.wait_for(socket, r"^MAC for A2: ?$")
        self.keys(socket, "001122")
        self.wait_for(socket, r"^MAC for A2: 001122$")
        # A1's end redraws the panel; what was typed is still on the prompt.
        self.wait_for(socket, r"^A1 +PASS")
        self.wait_for(socket, r"^MAC for A2: 001122$")
        self.keys(socket, "3344XX", "BSpace", "BSpace", "02", "Enter")
        self.wait_for(socket, r"^A2 %s PASS" % mac(2))
        self.keys(socket, "C-d")
        self.assertEqual(self.status(ended), 0)
        self.assertEqual(sorted(r["mac"] for r in line.export()), [mac(1), mac(2)])

    def test_a_kept_board_at_80x24_its_refusal_whole_and_the_bell(self):
        line = self.locked_line(1, '[mac]\nimage = "otp"\noffset = 16\n'
                                   'first = "0011223300A0"\nlast = "0011223300AF"\n')
        line.plug(1, "--answer", "4=000600000000")  # the first OTP frame: its MAC kept
        socket, ended = self.shift_in_tmux(line, 80, 24)
        raw = os.path.join(line.path, "raw")
        subprocess.run([self.tmux, "-S", socket, "pipe-pane", "-o", "cat >> " + raw],
                       check=True, timeout=RUN_TIMEOUT)
        self.keys(socket, "Enter")
        self.wait_for(socket, r"^A1 keeps MAC 0011223300A0: r retries its board, n for a new one$")
        # Its agent went with its host (the port soon with it): a board on
        # the fixture again, which the panel finds within a second.
        line.plug(1)
        kept = r"^MAC for A1 \(kept 0011223300A0: r retries, n new board\): ?$"
        self.wait_for(socket, kept)
        self.wait_for(socket, r"^A1 +kept +0011223300A0 +OTP: CRC Error +0 pass 1 fail$")
        # Enter asks again, loudly, the refusal whole on the rows it needs.
        self.keys(socket, "Enter")
        text = self.wait_for(socket, r"^refused: ")
        self.assertIn("\nrefused: A1 holds the board that keeps MAC 0011223300A0: r retries it, "
                      "n for a new board\n", text.replace("\n  ", " "))
        self.wait_for(socket, kept)
        with open(raw, "rb") as f:
            self.assertIn(b"\a", f.read())
        self.keys(socket, "r", "Enter")
        self.wait_for(socket, r"^A1 0011223300A0 PASS")
        self.keys(socket, "q", "Enter")
        self.assertEqual(self.status(ended), 1)
        self.assertEqual([(r["mac"], r["attempt"], r["outcome"]) for r in line.export()],
                         [("0011223300A0", 1, "failed"), ("0011223300A0", 2, "passed")])

    def test_ctrl_c_at_an_idle_prompt_and_with_a_board_running(self):
        for running in (False, True):
            with self.subTest(running=running):
                line = self.line(fixtures=1, stall=60)
                line.plug(1, "--silent-from", "4")
                socket, ended = self.shift_in_tmux(line, 80, 24)
                if running:
                    self.keys(socket, mac(1), "Enter")
                    self.wait_for(socket, r"^A1 +running")
                self.keys(socket, "C-c")
                self.assertEqual(self.status(ended), 130)
                text = self.pane(socket)
                if running:
                    self.assertRegex(text, r"\nround [0-9a-f-]{36}: 1 board, 1 aborted\n")
                    self.assertEqual([r["outcome"] for r in line.export()], ["aborted"])
                else:
                    self.assertNotIn("round", text)
                    self.assertEqual(line.export(), [])
                # The terminal's echo is back for the shell.
                self.assertNotIn("MAC for", text.splitlines()[-1] if text.strip() else "")


if __name__ == "__main__":
    unittest.main()
