"""No fault of one station stops or fools another: a late truth after a
release is a conflict, a half-open session lets go of its station, a peer
frozen mid hand-out costs seconds, a station stopped by Ctrl+Z or SIGSTOP
ends its clean round 0, records of one MAC keep their order whatever the
stations' clocks say, every date a person may type is counted right, and the
web view outlives a server restart. A TCP proxy of the test's own stands
between a station and the suite's PostgreSQL server where the network is
the fault."""

import csv
import io
import json
import os
import shutil
import signal
import subprocess
import threading
import time
import unittest

import test_station_pg as pg
from harness import RUN_TIMEOUT
from tcp_proxy import Proxy
from test_station import STATION, Line, StationCase
from test_station_pg import line_within, other_station
from test_station_serve import Serve

# The PostgreSQL suite's own server, started and removed as it does.
from test_station_pg import setUpModule, tearDownModule  # noqa: F401


def server():
    return pg.SERVER


class FaultCase(StationCase):
    count = 0

    def setUp(self):
        super().setUp()
        FaultCase.count += 1
        self.database = "faults%d" % FaultCase.count
        server().sql("CREATE DATABASE %s" % self.database)

    def line(self, fixtures=1, through_proxy=False, extra="", delay=0.0):
        """Station line1 with its store made and its images locked, through a
        proxy of its own when asked; and its direct connection text."""
        line = Line(fixtures=0)
        self.addCleanup(line.remove)
        direct = server().keywords(self.database)
        line.station_file(fixtures=fixtures, store=direct, stall=60, extra=extra)
        for command in ("init", "lock"):
            out, err, status = line.station(command)
            self.assertEqual(status, 0, out + err)
        self.proxy = None
        if through_proxy:
            self.proxy = Proxy(os.path.join(server().socket, ".s.PGSQL.5432"), delay)
            self.addCleanup(self.proxy.close)
            line.station_file(fixtures=fixtures, store=self.proxy.keywords(server().role,
                                                                           self.database),
                              stall=60, extra=extra)
        return line, direct

    def other(self, line, direct, name="p2", fixtures=(2,), extra="", store=None):
        path = other_station(line, name, [("B%d" % (i + 1), line.port(n))
                                          for i, n in enumerate(fixtures)], store or direct)
        with open(path, "a") as f:
            f.write(extra)
        out, err, status = line.station("-f", path, "lock")
        self.assertEqual(status, 0, out + err)
        return path

    def start(self, line, *args):
        """A command left running, ended with the test whatever it did."""
        process = line.start(*args, stderr=subprocess.PIPE)

        def end():
            if process.poll() is None:
                process.kill()
            process.wait()
            process.stdout.close()
            process.stderr.close()
        self.addCleanup(end)
        return process

    def started(self, process):
        """The next board a round started (its prompts before it passed over)."""
        said = line_within(process.stdout, RUN_TIMEOUT)
        while "started" not in said:
            self.assertTrue(said.startswith("MAC for "), said)
            said = line_within(process.stdout, RUN_TIMEOUT)
        return said


BOARD = "02AA00000000"


class LateTruth(FaultCase):
    def released_while_its_end_waits(self):
        """Station line1's board passes while the network under it is frozen
        (its record waits in its spool), the connection is cut, a command of
        line1 elsewhere marks the board interrupted, and p2 releases its MAC."""
        line, direct = self.line(through_proxy=True)
        p2 = self.other(line, direct)
        line.plug(1, "--delay", "300")  # about 3.5 s a board
        p1 = self.start(line, "run", "--mac", "A1=" + BOARD)
        self.started(p1)
        # Heard from once before the network freezes: its first heartbeat
        # may come after its board starts (a loaded machine).
        deadline = time.monotonic() + RUN_TIMEOUT
        while server().sql("SELECT count(*) FROM heartbeats WHERE station = 'line1'",
                           self.database) != "1":
            self.assertLess(time.monotonic(), deadline, "line1 never beat")
            time.sleep(0.05)  # polls the store for the station's first heartbeat
        self.proxy.freeze()
        out, err = p1.communicate(timeout=RUN_TIMEOUT * 2)
        self.assertEqual(p1.returncode, 0, err)
        self.assertIn("A1 %s passed" % BOARD, out.decode())
        self.assertIn("records wait in the spool", err.decode())
        self.proxy.cut()
        elsewhere = Line(fixtures=0)
        self.addCleanup(elsewhere.remove)
        elsewhere.station_file(fixtures=1, store=direct)
        _, err, status = elsewhere.station("export")
        self.assertEqual(status, 0, err)
        self.assertIn("1 record(s) left open by a station that ended were marked interrupted", err)
        # The release says what may yet come, and goes ahead on a reason.
        out, err, status = line.station("-f", p2, "release", BOARD, "--reason", "board scrapped")
        self.assertEqual(status, 0, err)
        self.assertRegex(err, r"station line1 may still hold this board's true outcome in its "
                              r"spool \(last heard from at \d{4}-")
        return line, p2

    def test_a_late_end_after_a_release_and_no_other_board_takes_its_mac_back_saying_so(self):
        line, p2 = self.released_while_its_end_waits()
        out, err, status = line.station("export", "--csv")
        self.assertEqual(status, 0, err)
        self.assertRegex(err, r"the true end of record \S+ \(station line1, fixture A1, attempt 1, "
                              r"passed\) came after MAC %s was released from it: .* MAC %s is "
                              r"that board's again\n" % (BOARD, BOARD))
        line.plug(2)
        out, _, status = line.station("-f", p2, "run", "--mac", "B1=" + BOARD)
        self.assertEqual(status, 1)
        self.assertIn("was programmed on station line1", out)
        self.assertEqual(line.station("conflicts")[0], "no MAC is on two boards\n")

    def test_a_late_end_after_a_release_is_a_conflict_until_one_board_gives_it_up(self):
        line, p2 = self.released_while_its_end_waits()
        line.plug(2)
        out, err, status = line.station("-f", p2, "run", "--mac", "B1=" + BOARD)
        self.assertEqual(status, 0, out + err)

        # p1's spool delivers the true end: a conflict, said, with status 3.
        out, err, status = line.station("export", "--csv")
        self.assertEqual(status, 3, err)
        self.assertIn("1 spooled record(s) delivered to the store", err)
        self.assertIn("MAC %s is on two boards: record " % BOARD, err)
        records = list(csv.DictReader(io.StringIO(out)))
        self.assertEqual(sorted((r["station"], r["attempt"], r["outcome"]) for r in records),
                         [("line1", "1", "passed"), ("p2", "2", "passed")])
        late = next(r["id"] for r in records if r["station"] == "line1")
        out, _, status = line.station("history", BOARD)
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith("CONFLICT: MAC %s is on two boards: record %s "
                                       "(station line1, fixture A1, attempt 1, passed)" %
                                       (BOARD, late)), out)
        out, _, status = line.station("conflicts", "--json")
        self.assertEqual(status, 0)
        [conflict] = json.loads(out)
        self.assertEqual((conflict["mac"], conflict["late"]["station"],
                          conflict["other"]["station"], conflict["resolved"]),
                         (BOARD, "line1", "p2", None))
        view = Serve(line, file=p2)
        self.addCleanup(view.close)
        self.assertEqual([c["mac"] for c in view.line()["conflicts"]], [BOARD])
        status, _, page = view.get("/")
        self.assertEqual(status, 200)
        self.assertIn("is on two boards", page)

        # Resolved only by a release that names the board giving it up.
        _, err, status = line.station("release", BOARD, "--reason", "which one?")
        self.assertEqual(status, 2)
        self.assertIn("name the record of the board that gives it up with --record ID", err)
        out, err, status = line.station("release", BOARD, "--record", late, "--reason",
                                        "board 1 relabelled")
        self.assertEqual(status, 0, err)
        self.assertIn("the other board keeps it", out)
        self.assertEqual(line.station("conflicts")[0], "no MAC is on two boards\n")
        self.assertTrue(line.station("history", BOARD)[0].startswith("was in conflict: "))
        deadline = time.monotonic() + RUN_TIMEOUT
        while view.line()["conflicts"]:
            self.assertLess(time.monotonic(), deadline, "the alarm stayed on the line page")
            time.sleep(0.25)  # the view reads the store four times a second
        # The MAC is the other board's: refused to a third, as passed there.
        line.plug(2)
        out, _, status = line.station("-f", p2, "run", "--mac", "B1=" + BOARD)
        self.assertEqual(status, 1)
        self.assertIn("was programmed on station p2", out)


class HalfOpen(FaultCase):
    def test_a_frozen_session_lets_go_of_its_station_within_30_s(self):
        line, direct = self.line(through_proxy=True)
        # The same station, straight to the server, from the same folder.
        same = os.path.join(line.path, "direct.toml")
        with open(os.path.join(line.path, "station.toml")) as f:
            text = f.read()
        with open(same, "w") as f:
            f.write(text.replace(self.proxy.keywords(server().role, self.database), direct))
        line.plug(1, "--delay", "300")
        p1 = self.start(line, "run", "--mac", "A1=" + BOARD)
        self.started(p1)
        # Heard from once before the network freezes: its first heartbeat
        # may come after its board starts (a loaded machine).
        deadline = time.monotonic() + RUN_TIMEOUT
        while server().sql("SELECT count(*) FROM heartbeats WHERE station = 'line1'",
                           self.database) != "1":
            self.assertLess(time.monotonic(), deadline, "line1 never beat")
            time.sleep(0.05)  # polls the store for the station's first heartbeat
        self.proxy.freeze()
        frozen = time.monotonic()
        p1.communicate(timeout=RUN_TIMEOUT * 2)
        # The proxy holds the old session open; the server probes it no
        # more than the station's silence allows.
        refusals = 0
        while True:
            out, err, status = line.station("-f", same, "lock")
            if status == 0:
                break
            self.assertIn("station line1 is running", err)
            refusals += 1
            self.assertLess(time.monotonic() - frozen, 30, "the lock outlived 30 s")
            time.sleep(0.5)  # asks again, as an operator would
        held = time.monotonic() - frozen
        print("\na frozen session held its station's lock %.1f s (%d refusals after its "
              "station ended)" % (held, refusals))


class FrozenPeer(FaultCase):
    def test_a_peer_frozen_mid_hand_out_delays_another_station_by_seconds(self):
        pool = '[mac]\nfirst = "0011223300C0"\nlast = "0011223300CF"\n'
        line, direct = self.line(through_proxy=True, extra=pool)
        p2 = self.other(line, direct, fixtures=(2, 3), extra=pool)
        line.plug(1)
        fired = threading.Event()
        self.proxy.when_sent("FROM pools", "FOR UPDATE", freeze=True, then=fired.set)
        self.start(line, "run")
        self.assertTrue(fired.wait(RUN_TIMEOUT), "p1 never asked the pool")
        line.plug(2)
        line.plug(3)
        asked = time.monotonic()
        second = self.start(line, "-f", p2, "run")
        starts = [self.started(second) for _ in range(2)]
        waited = time.monotonic() - asked
        out, err = second.communicate(timeout=RUN_TIMEOUT * 2)
        print("\na peer frozen mid hand-out delayed another station's starts by %.1f s" % waited)
        self.assertTrue(all("started" in s for s in starts), starts)
        self.assertLess(waited, 10)
        self.assertEqual(second.returncode, 0, out + err)
        self.assertNotIn(b"spool", err)


class KilledBetweenHandOutAndClaim(FaultCase):
    def test_the_pool_says_what_was_handed_out_and_never_claimed(self):
        pool = '[mac]\nfirst = "0011223300C0"\nlast = "0011223300CF"\n'
        line, direct = self.line(through_proxy=True, extra=pool)
        line.plug(1)
        fired = threading.Event()
        # The hand-out is committed; the claim is on the server when the
        # station dies.
        self.proxy.when_sent("INSERT INTO claims", "'running'", freeze=True, then=fired.set)
        process = self.start(line, "run")
        self.assertTrue(fired.wait(RUN_TIMEOUT), "the station never claimed")
        process.kill()
        process.wait()
        self.proxy.cut()
        out, err, status = line.station("pool")
        self.assertEqual(status, 0, err)
        self.assertEqual(out, "first 0011223300C0\nlast  0011223300CF\nused  0\n"
                              "handed out and never claimed 1: 0011223300C0\nleft  15\n")
        # Never handed out again: the next board gets the next MAC.
        self.proxy.thaw()
        line.plug(1)
        out, err, status = line.station("run")
        self.assertEqual(status, 0, out + err)
        self.assertIn("A1 0011223300C1 passed", out)
        out, err, status = line.station("pool")
        self.assertIn("used  1\nhanded out and never claimed 1: 0011223300C0\nleft  14\n", out)


class Stopped(FaultCase):
    def test_a_station_stopped_20_s_or_70_s_mid_write_ends_its_clean_round_0(self):
        """Each station stopped (SIGSTOP, as Ctrl+Z) while a statement of its
        is on its way over a slow link (0.2 s each way): one in its claim,
        for 20 s, the other in a write of its board's progress, for 70 s."""
        line, direct = self.line(through_proxy=True, delay=0.2)
        first = self.proxy
        second = Proxy(os.path.join(server().socket, ".s.PGSQL.5432"), 0.2)
        self.addCleanup(second.close)
        p2 = self.other(line, direct, store=second.keywords(server().role, self.database))
        line.plug(1, "--delay", "500")  # about 6 s a board
        line.plug(2, "--delay", "500")
        stopped = {}

        def stop(seconds, process):
            process.send_signal(signal.SIGSTOP)
            stopped[seconds] = (process, time.monotonic())

        runs = {20: self.start(line, "run", "--mac", "A1=02BB00000001")}
        first.when_sent("INSERT INTO claims", then=lambda: stop(20, runs[20]))
        runs[70] = self.start(line, "-f", p2, "run", "--mac", "B1=02BB00000002")
        second.when_sent("UPDATE fixtures SET frames", then=lambda: stop(70, runs[70]))
        for seconds in (20, 70):
            deadline = time.monotonic() + RUN_TIMEOUT * 2
            while seconds not in stopped:
                self.assertLess(time.monotonic(), deadline, "no statement to stop in")
                time.sleep(0.05)  # the proxy's thread stops it
            process, at = stopped[seconds]
            time.sleep(max(0.0, at + seconds - time.monotonic()))  # the stop itself
            process.send_signal(signal.SIGCONT)
        for seconds, process in runs.items():
            with self.subTest(stopped=seconds):
                out, err = process.communicate(timeout=RUN_TIMEOUT * 2)
                self.assertEqual(process.returncode, 0, out.decode() + err.decode())
                self.assertEqual(err.decode(), "")
                passed = [l for l in out.decode().splitlines() if " passed, 11 frames (" in l]
                self.assertEqual(len(passed), 1, out)
                # Its time leaves the stop out.
                self.assertLess(float(passed[0].split("(")[1].split(" s")[0]), 15, passed)
        self.assertEqual(server().sql("SELECT station, outcome FROM records ORDER BY station",
                                      self.database), "line1|passed\np2|passed")


FAKETIME = shutil.which("faketime")


class Clocks(FaultCase):
    def ahead(self, line, *args):
        """A command of a station whose clock is a day ahead."""
        env = dict(line.env(), DONT_FAKE_MONOTONIC="1")
        result = subprocess.run([FAKETIME, "-f", "+1d", STATION, *args], cwd=line.path, env=env,
                                capture_output=True, timeout=RUN_TIMEOUT * 2)
        return result.stdout.decode(), result.stderr.decode(), result.returncode

    def test_a_station_a_day_ahead_is_warned_refused_and_ordered_by_attempt(self):
        if not FAKETIME:
            self.skipTest("faketime is not installed (scripts/install-deps.sh installs it)")
        line, direct = self.line()
        p2 = self.other(line, direct)
        board = "00AB00000001"
        line.plug(2)
        out, err, status = self.ahead(line, "-f", p2, "run", "--mac", "B1=" + board)
        self.assertEqual((status, out), (2, ""))
        self.assertRegex(err, r"^station: this machine's clock says \d{4}-\S+, the store's server "
                              r"\S+: 864\d\d s apart, more than the 60 s a round allows")
        with open(p2, "a") as f:
            f.write("[clock]\nrefuse = 90000\n")
        line.plug(2, "--answer", "3=000600000000")
        out, err, status = self.ahead(line, "-f", p2, "run", "--mac", "B1=" + board)
        self.assertEqual(status, 1, out + err)
        self.assertIn("station: warning: this machine's clock says", err)
        # The board moves to line1 and fails there too: attempt 2, which
        # started a day "before" attempt 1.
        line.plug(1, "--answer", "3=000600000000")
        self.assertEqual(line.station("run", "--mac", "A1=" + board)[2], 1)
        out, err, status = self.ahead(line, "-f", p2, "retry", "--mac", board)
        self.assertEqual(status, 2)
        self.assertIn("MAC %s was last on station line1, fixture A1" % board, err)
        line.plug(1)
        out, err, status = line.station("retry", "--mac", board)
        self.assertEqual(status, 0, out + err)
        out, _, _ = line.station("history", board)
        attempts = [l.split("attempt ")[1].split(":")[0] for l in out.splitlines()
                    if l.startswith("== MAC %s, " % board)]
        self.assertEqual(attempts, ["1", "2", "3"])


class Dates(StationCase):
    def test_dates_past_2262_and_before_1970_on_the_command_line_and_the_web(self):
        line = self.line(fixtures=1)
        line.plug(1)
        self.assertEqual(line.station("run", "--mac", "A1=001122334401")[2], 0)
        for flag, records in (("--since", 0), ("--until", 1)):
            with self.subTest(flag=flag):
                out, err, status = line.station("export", "--csv", flag, "2300-01-01")
                self.assertEqual((status, len(out.splitlines()) - 1), (0, records), err)
        out, err, status = line.station("export", "--until", "9999-12-31")
        self.assertEqual((status, len(out.splitlines()) - 1), (0, 1), err)
        _, err, status = line.station("report", "--since", "1969-12-31")
        self.assertEqual(status, 2)
        self.assertIn("--since 1969-12-31: a calendar date, YYYY-MM-DD, from 1970 to 9999", err)
        view = Serve(line)
        self.addCleanup(view.close)
        for path, records in (("/export.csv?since=2300-01-01", 0),
                              ("/export.csv?until=2300-01-01", 1),
                              ("/api/records?since=2300-01-01", 0),
                              ("/api/records?until=9999-12-31", 1)):
            with self.subTest(path=path):
                status, _, body = view.get(path)
                rows = body.splitlines()[1:] if path.startswith("/export") else body.splitlines()
                self.assertEqual((status, len(rows)), (200, records), body)
        for asked, boards in (("since=2300-01-01&until=2300-01-02", False),
                              ("since=2026-01-01&until=9999-12-31&by=station", True)):
            with self.subTest(yield_asked=asked):
                status, _, page = view.get("/yield?" + asked)
                self.assertEqual(status, 200)
                self.assertEqual("No records in these days." not in page, boards)


class WebAfterRestart(FaultCase):
    def test_no_page_fails_after_the_server_restarted(self):
        line, _ = self.line()
        view = Serve(line)
        self.addCleanup(view.close)
        paths = ["/", "/api/line", "/yield", "/api/records?since=2026-01-01"]

        def get_all():
            return sorted(view.get(path)[0] for path in paths)

        # Several at once, so that the view keeps several connections.
        threads = [threading.Thread(target=get_all) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        server().restart()
        for attempt in range(3):
            with self.subTest(attempt=attempt):
                self.assertEqual(get_all(), [200] * len(paths))


if __name__ == "__main__":
    unittest.main()
