"""Many stations, one record: the station's store on a real PostgreSQL server
that this suite starts itself. Two stations on one database, the same MAC
raced between them, the server lost in the middle of a round and down at the
start, and the same round on SQLite and on PostgreSQL."""

import csv
import io
import os
import select
import shutil
import signal
import subprocess
import sys
import time
import unittest

import postgres
from harness import HOST, RUN_TIMEOUT
from test_station import STATION, Line, StationCase, mac

SERVER = None


def setUpModule():
    global SERVER
    if not STATION:
        raise unittest.SkipTest("STATION is not set")
    SERVER = postgres.Server()


def tearDownModule():
    if SERVER:
        SERVER.remove()


def other_station(line, name, fixtures, store):
    """A second station file in the same folder, with fixtures of its own."""
    path = os.path.join(line.path, name + ".toml")
    text = 'station = "%s"\nstore = "%s"\nconfig = "images/tivConfig.txt"\nhost = "%s"\n' % (
        name, store, HOST)
    for fixture, port in fixtures:
        text += '[[fixture]]\nname = "%s"\nport = "%s"\n' % (fixture, port)
    with open(path, "w") as f:
        f.write(text)
    return path


def rows(export_csv, leave_out=()):
    table = list(csv.DictReader(io.StringIO(export_csv)))
    return sorted(tuple((k, v) for k, v in r.items() if k not in leave_out) for r in table)


class PgCase(StationCase):
    database = None

    def setUp(self):
        super().setUp()
        # Each case its own database, so that cases never see each other's MACs.
        PgCase.count = getattr(PgCase, "count", 0) + 1
        self.database = "case%d" % PgCase.count
        SERVER.sql("CREATE DATABASE %s" % self.database)

    def pg_line(self, fixtures, uri=False, **options):
        line = Line(fixtures=0, **options)
        self.addCleanup(line.remove)
        store = SERVER.uri(self.database) if uri else SERVER.keywords(self.database)
        line.station_file(fixtures=fixtures, store=store, stall=options.get("stall", 2))
        out, err, status = line.station("init")
        self.assertEqual(status, 0, err)
        out, err, status = line.station("lock")
        self.assertEqual(status, 0, err)
        return line, store


class TwoStations(PgCase):
    def test_records_of_both_in_one_report_and_a_mac_raced_50_times(self):
        line, store = self.pg_line(2, uri=True)
        other = other_station(line, "line2", [("B1", line.port(3))], store)
        self.assertEqual(line.station("-f", other, "lock")[2], 0)
        line.plug(1)
        line.plug(2)
        line.plug(3)
        self.assertEqual(line.station("run", *self.macs([1, 2]))[2], 0)
        self.assertEqual(line.station("-f", other, "run", "--mac", "B1=" + mac(3))[2], 0)
        out, _, _ = line.station("export", "--csv")
        self.assertEqual(sorted((r["station"], r["fixture"]) for r in csv.DictReader(
            io.StringIO(out))), [("line1", "A1"), ("line1", "A2"), ("line2", "B1")])
        out, _, _ = line.station("report", "--csv")
        self.assertEqual(out.splitlines()[1].split(",")[1:4], ["3", "3", "100.0"])
        out, _, _ = line.station("export", "--csv", "--station", "line2")
        self.assertEqual([r["fixture"] for r in csv.DictReader(io.StringIO(out))], ["B1"])

        # Both stations start the same MAC at once, each on an agent of its
        # own (an agent ends when its host closes the line, so a shared one
        # would be gone for the slower station): the database lets exactly
        # one of them run.
        for race in range(50):
            with self.subTest(race=race):
                line.plug(1)
                line.plug(3)
                board = "%012X" % (0xA00000000000 + race)
                first = line.start("run", "--fixtures", "A1", "--mac", "A1=" + board,
                                   stderr=subprocess.PIPE)
                second = line.start("-f", other, "run", "--mac", "B1=" + board,
                                    stderr=subprocess.PIPE)
                outs = [p.communicate(timeout=RUN_TIMEOUT) for p in (first, second)]
                statuses = sorted(p.returncode for p in (first, second))
                self.assertEqual(statuses, [0, 1], outs)
                loser, winner = ((outs[1][0].decode(), "line1") if first.returncode == 0
                                 else (outs[0][0].decode(), "line2"))
                self.assertRegex(loser, r"MAC %s (is being|was) programmed on station %s" % (
                    board, winner))
        self.assertEqual(SERVER.sql("SELECT count(*) FROM records WHERE outcome = 'passed' "
                                    "AND mac LIKE 'A%'", self.database), "50")


class ServerLost(PgCase):
    def test_a_server_stopped_mid_round_loses_no_record(self):
        line, _ = self.pg_line(4, stall=60)
        for n in range(1, 5):
            line.plug(n, "--delay", "300")  # about 3.5 s a board
        station = line.start("run", *self.macs(range(1, 5)), stderr=subprocess.PIPE)
        for _ in range(4):
            self.assertIn("started", station.stdout.readline().decode())
        SERVER.stop()
        try:
            out, err = station.communicate(timeout=RUN_TIMEOUT)
            # Every board finished; their records wait in the spool.
            self.assertEqual(station.returncode, 0, err)
            self.assertEqual(out.decode().count(" passed, 11 frames"), 4)
            self.assertIn("records wait in the spool", err.decode())
            _, err, status = line.station("report")
            self.assertEqual(status, 2)
            self.assertIn("4 record(s) wait in the spool", err)
        finally:
            SERVER.start()
        _, err, status = line.station("export")
        self.assertEqual((status, err), (0, "station: 4 spooled record(s) delivered to the store\n"))
        _, err, status = line.station("export")
        self.assertEqual((status, err), (0, ""), "delivered once")
        self.assertEqual(SERVER.sql("SELECT outcome, count(*) FROM records GROUP BY outcome",
                                    self.database), "passed|4")

    def test_spooled_records_wait_for_the_store_they_were_started_in(self):
        line, store = self.pg_line(2, stall=60)
        for n in (1, 2):
            line.plug(n, "--delay", "200")
        station = line.start("run", *self.macs([1, 2]), stderr=subprocess.PIPE)
        for _ in range(2):
            self.assertIn("started", station.stdout.readline().decode())
        SERVER.stop()
        try:
            out, err = station.communicate(timeout=RUN_TIMEOUT)
            self.assertEqual(station.returncode, 0, err)
            self.assertIn("records wait in the spool", err.decode())
            # The station file names another store now: the records are not its.
            line.station_file(fixtures=2, stall=60, store="other.db")
            out, err, status = line.station("export", "--csv")
            self.assertEqual((status, out.count("\n")), (0, 1), err)
            self.assertRegex(err, r"^station: 2 spooled record\(s\) are for the store .*dbname="
                                  r"%s.* \(id [-0-9a-f]{36}\), not this store .*other\.db \(id "
                                  r"[-0-9a-f]{36}\): they stay in the spool .*\n$" % self.database)
        finally:
            SERVER.start()
        line.station_file(fixtures=2, stall=60, store=store)
        _, err, status = line.station("export")
        self.assertEqual((status, err), (0, "station: 2 spooled record(s) delivered to the store\n"))
        self.assertEqual(SERVER.sql("SELECT outcome, count(*) FROM records GROUP BY outcome",
                                    self.database), "passed|2")

    def test_a_server_down_at_the_start_starts_no_host(self):
        line, _ = self.pg_line(1)
        agent = line.plug(1)
        SERVER.stop()
        try:
            out, err, status = line.station("run", *self.macs([1]))
        finally:
            SERVER.start()
        self.assertEqual((status, out), (2, ""))
        self.assertIn("cannot reach the store", err)
        agent.process.terminate()
        agent.stop()
        self.assertEqual(agent.frames(), [])
        self.assertFalse(os.path.getsize(os.path.join(agent.out, "frames.bin")))


def line_within(stream, seconds):
    """The next line of a pipe, or a failure once `seconds` have passed."""
    if not select.select([stream], [], [], seconds)[0]:
        raise AssertionError("no line in %d s" % seconds)
    return stream.readline().decode()


def server_processes():
    """The server's postmaster and every process it started."""
    with open(os.path.join(SERVER.data, "postmaster.pid")) as f:
        postmaster = int(f.readline())
    with open("/proc/%d/task/%d/children" % (postmaster, postmaster)) as f:
        return [postmaster] + [int(p) for p in f.read().split()]


class ServerFrozen(PgCase):
    def test_a_frozen_server_holds_no_board_and_loses_no_record(self):
        line, _ = self.pg_line(2, stall=2)
        line.plug(1, "--delay", "200")
        line.plug(2, "--delay", "200", "--answer", "3=000600000000")
        station = line.start("run", *self.macs([1, 2]), stderr=subprocess.PIPE)
        self.addCleanup(station.stderr.close)
        self.addCleanup(station.stdout.close)
        for _ in range(2):
            self.assertIn("started", station.stdout.readline().decode())
        frozen = server_processes()
        for pid in frozen:
            os.kill(pid, signal.SIGSTOP)
        try:
            # The boards end past the stall time while their records wait;
            # Ctrl+C then stops nothing that has ended, and the station ends
            # by itself.
            finished = [line_within(station.stdout, RUN_TIMEOUT) for _ in range(2)]
            station.send_signal(signal.SIGINT)
            out, err = station.communicate(timeout=RUN_TIMEOUT)
        finally:
            for pid in frozen:
                os.kill(pid, signal.SIGCONT)
        self.assertEqual(station.returncode, 1, err)
        self.assertIn("records wait in the spool", err.decode())
        self.assertEqual(sorted(l.split(",")[0] for l in finished),
                         ["A1 001122334401 passed", "A2 001122334402 failed in board data: "
                                                    "CRC Error"])
        _, err, status = line.station("export")
        self.assertEqual((status, err), (0, "station: 2 spooled record(s) delivered to the store\n"))
        _, err, status = line.station("export")
        self.assertEqual((status, err), (0, ""), "delivered once")
        self.assertEqual(SERVER.sql("SELECT fixture, outcome, exit_status, count(*) FROM records "
                                    "GROUP BY fixture, outcome, exit_status ORDER BY fixture",
                                    self.database), "A1|passed|0|1\nA2|failed|1|1")


class Liveness(PgCase):
    def test_a_round_waits_for_a_readers_hold_and_is_refused_by_a_live_commands(self):
        """The station's session lock and a reader's mark beside it, held by
        another session as a reader holds them while it delivers the spool
        (and as a live round holds the lock alone)."""
        line, store = self.pg_line(1)
        line.plug(1)
        number = SERVER.sql("SELECT number FROM stations WHERE name = 'line1'", self.database)
        for keys, waits in (((7407, 7408), True), ((7407,), False)):
            psql = subprocess.Popen([shutil.which("psql") or postgres.binary("psql"), "-X", "-q",
                                     "-A", "-t", "-v", "ON_ERROR_STOP=1",
                                     SERVER.keywords(self.database)],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            self.addCleanup(lambda p=psql: p.communicate(timeout=RUN_TIMEOUT))
            for key in keys:
                psql.stdin.write("SELECT pg_advisory_lock(%d, %s);\n" % (key, number))
            psql.stdin.flush()
            for _ in keys:
                psql.stdout.readline()
            self.run_beside_a_hold(line, waits, lambda p=psql: (
                p.stdin.write("SELECT pg_advisory_unlock_all();\n"), p.stdin.flush()))

    def test_a_station_is_alive_while_its_connection_lives_wherever_it_is_asked(self):
        line, store = self.pg_line(2, stall=60)
        line.plug(1, "--silent-from", "3")
        line.plug(2, "--silent-from", "3")
        station = line.start("run", *self.macs([1, 2]))
        self.addCleanup(station.stdout.close)
        for _ in range(2):
            self.assertIn("started", station.stdout.readline().decode())
        # Another machine: another folder, another TMPDIR, the same database.
        elsewhere = Line(fixtures=0)
        self.addCleanup(elsewhere.remove)
        elsewhere.station_file(fixtures=2, store=store)
        out, err, status = elsewhere.station("export", "--csv")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual([r["outcome"] for r in csv.DictReader(io.StringIO(out))],
                         ["started", "started"])
        out, err, status = elsewhere.station("run", *self.macs([1, 2]))
        self.assertEqual(status, 2)
        self.assertIn("station line1 is running", err)
        # Dead the moment its connection dies.
        station.kill()
        station.wait()
        out, err, status = elsewhere.station("export", "--csv")
        self.assertEqual(status, 0, err)
        self.assertIn("2 record(s) left open by a station that ended were marked interrupted",
                      err)
        self.assertEqual([r["outcome"] for r in csv.DictReader(io.StringIO(out))],
                         ["interrupted", "interrupted"])


class SharedPool(PgCase):
    def test_two_stations_at_once_on_one_pool_get_different_macs(self):
        line, store = self.pg_line(6)
        pool = '[mac]\nfirst = "0011223300B0"\nlast = "0011223300BB"\n'
        line.station_file(fixtures=6, store=store, extra=pool)
        self.assertEqual(line.station("lock")[2], 0)
        other = other_station(line, "line2", [("B%d" % n, line.port(6 + n))
                                              for n in range(1, 7)], store)
        with open(other, "a") as f:
            f.write(pool)
        self.assertEqual(line.station("-f", other, "lock")[2], 0)
        for n in range(1, 13):
            line.plug(n)
        stations = [line.start("run", stderr=subprocess.PIPE),
                    line.start("-f", other, "run", stderr=subprocess.PIPE)]
        outs = [s.communicate(timeout=RUN_TIMEOUT * 2) for s in stations]
        self.assertEqual([s.returncode for s in stations], [0, 0], outs)
        macs = SERVER.sql("SELECT mac FROM records ORDER BY mac", self.database).split()
        self.assertEqual(macs, ["0011223300B%X" % n for n in range(12)])


# How many times each way of losing the connection is raced; the soak in
# the README sets it higher.
RACES = int(os.environ.get("STATION_RACES", "10"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import used_macs  # noqa: E402  (the benchmark's generator of used MACs)


class ConnectionLost(PgCase):
    """Station A's connection drops while its board runs (the server
    restarted, or its backend ended): a command of A finds no live A and
    marks the board interrupted (unless A's new connection took its lock
    back first), and B at once scans the same MAC."""

    def race(self, disrupt):
        line, store = self.pg_line(1, stall=60)
        other = other_station(line, "line2", [("B1", line.port(2))], store)
        self.assertEqual(line.station("-f", other, "lock")[2], 0)
        for race in range(RACES):
            with self.subTest(race=race):
                board = "%012X" % (0x02AA00000000 + race)
                line.plug(1, "--delay", "250")  # about 3 s a board
                line.plug(2)
                a = line.start("run", "--mac", "A1=" + board, stderr=subprocess.PIPE)
                self.assertIn("started", line_within(a.stdout, RUN_TIMEOUT))
                disrupt()
                # Any command of A, once A's lock went with its connection.
                _, err, status = line.station("report")
                self.assertEqual(status, 0, err)
                out, err, status = line.station("-f", other, "run", "--mac", "B1=" + board)
                self.assertEqual(status, 1, out + err)
                # B is refused whichever came first: the command of A that
                # found A gone and marked its board interrupted, or A's own
                # new connection, which took A's lock back (A is alive, its
                # board still running: a lock A holds again is no proof of
                # its death).
                self.assertRegex(out, "B1 skipped: MAC %s (was being programmed on station line1"
                                      "|was programmed on station line1"
                                      "|is being programmed on station line1, fixture A1)" % board)
                a_out, a_err = a.communicate(timeout=RUN_TIMEOUT)
                self.assertEqual(a.returncode, 0, a_out.decode() + a_err.decode())
                # What A could not write waits in its spool: the next command
                # of A delivers it.
                self.assertEqual(line.station("export")[2], 0)
                self.assertEqual(SERVER.sql("SELECT station, fixture, outcome FROM records "
                                            "WHERE mac = '%s' ORDER BY started" % board,
                                            self.database), "line1|A1|passed")

    def test_a_server_restarted_mid_round_hands_no_mac_out_twice(self):
        self.race(SERVER.restart)

    def test_a_backend_ended_mid_round_hands_no_mac_out_twice(self):
        self.race(lambda: SERVER.sql(
            "SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
            "WHERE datname = '%s' AND pid <> pg_backend_pid()" % self.database))


class StationNumbers(PgCase):
    def test_two_names_of_one_hash_are_two_stations(self):
        first, second = "line197944", "line207382"
        self.assertEqual(SERVER.sql("SELECT hashtext('%s') = hashtext('%s')" % (first, second)),
                         "t", "the names no longer collide: pick two that do")
        line, store = self.pg_line(1, stall=60, name=first)
        other = other_station(line, second, [("B1", line.port(2))], store)
        line.plug(1, "--silent-from", "3")
        station = line.start("run", *self.macs([1]))
        self.addCleanup(station.wait)
        self.addCleanup(station.stdout.close)
        self.assertIn("started", line_within(station.stdout, RUN_TIMEOUT))
        out, err, status = line.station("-f", other, "lock")
        self.assertEqual(status, 0, out + err)
        station.send_signal(signal.SIGINT)


class PoolOfAMillion(PgCase):
    def test_a_claim_skips_a_million_used_macs_with_a_few_look_ups(self):
        line, store = self.pg_line(1)
        line.station_file(fixtures=1, store=store,
                          extra='[mac]\nfirst = "020000000000"\nlast = "0200FFFFFFFF"\n')
        self.assertEqual(line.station("lock")[2], 0)
        used_macs.fill(store, "020000000000", 1_000_000,
                       psql=shutil.which("psql") or postgres.binary("psql"))
        before = self.index_reads()
        line.plug(1)
        out, err, status = line.station("run")
        self.assertEqual((status, err), (0, ""), out)
        self.assertIn("A1 0200000F4240 passed", out)
        # Every look-up of a used MAC reads the tables' indexes: a hand-out
        # that walked the used MACs one by one would read a million.
        self.assertLess(self.index_reads() - before, 100)
        # The generator marks MACs used without records, as hand-outs whose
        # claims never came: counted apart, and none handed out again.
        out, _, _ = line.station("pool")
        self.assertIn("used  1\nhanded out and never claimed 1000000: 020000000000 ", out)
        self.assertIn(" 020000000009 ...\nleft  4293967295\n", out)

    def index_reads(self):
        """Index entries read from the used MACs' tables so far, once every
        other session's counts are in (a backend hands them in as it ends)."""
        deadline = time.monotonic() + RUN_TIMEOUT
        while SERVER.sql("SELECT count(*) FROM pg_stat_activity WHERE datname = '%s' AND "
                         "pid <> pg_backend_pid()" % self.database, self.database) != "0":
            self.assertLess(time.monotonic(), deadline, "a session did not end")
            time.sleep(0.05)  # polls the server's list of sessions
        return int(SERVER.sql("SELECT coalesce(sum(idx_tup_read), 0) FROM pg_stat_user_indexes "
                              "WHERE relname IN ('macs_used', 'used_runs')", self.database))


class Schema(PgCase):
    def test_no_schema_and_a_newer_schema_are_refused(self):
        line = Line(fixtures=0)
        self.addCleanup(line.remove)
        line.station_file(fixtures=1, store=SERVER.keywords(self.database))
        out, err, status = line.station("lock")
        self.assertEqual(status, 2)
        self.assertIn("has no schema: run `station init`", err)
        self.assertEqual(line.station("init")[2], 0)
        SERVER.sql("UPDATE schema_version SET version = 10", self.database)
        out, err, status = line.station("lock")
        self.assertEqual(status, 2)
        self.assertIn("schema version 10, newer than this station's 9", err)


class SameRecordOnBothEngines(PgCase):
    def test_the_same_round_gives_the_same_export(self):
        exports = []
        line = Line(fixtures=0)
        self.addCleanup(line.remove)
        for store in ("records.db", SERVER.keywords(self.database)):
            line.station_file(fixtures=2, store=store)
            self.assertEqual(line.station("init")[2], 0)
            self.assertEqual(line.station("lock")[2], 0)
            line.plug(1)
            line.plug(2, "--answer", "3=000600000000")
            self.assertEqual(line.station("run", *self.macs([1, 2]))[2], 1)
            exports.append(line.station("export", "--csv")[0])
        leave_out = ("id", "started", "ended", "device", "started_local", "ended_local")
        self.assertEqual(len(rows(exports[0])), 2)
        self.assertEqual(rows(exports[0], leave_out), rows(exports[1], leave_out))


if __name__ == "__main__":
    unittest.main()
