"""A year of the line's record: a store of the last version upgraded with
every record, transcript and claim, and left whole when its upgrade is cut
short; reports counted by the store against a slow count of the export, in
three time zones and across a change of summer time; memory flat over
200,000 records; the lot and operator of every record; bad input refused.
On SQLite and on a PostgreSQL server that the suite starts itself."""

import csv
import datetime
import io
import json
import os
import pwd
import re
import resource
import shutil
import signal
import sqlite3
import subprocess
import sys
import time
import unittest
import zoneinfo

import old_store
import postgres
from harness import RUN_TIMEOUT
from test_station import STATION, Line, StationCase, mac

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench"))
import year_store  # noqa: E402  (the benchmark's generator of a year's record)

SERVER = None
ENGINES = ("sqlite", "postgres")
SHIFTS = {"early": "06:00", "late": "14:00", "night": "22:00"}
SHIFTS_TEXT = "[shifts]\n" + "".join('%s = "%s"\n' % kv for kv in SHIFTS.items())


def setUpModule():
    global SERVER
    if not STATION:
        raise unittest.SkipTest("STATION is not set")
    SERVER = postgres.Server()


def tearDownModule():
    if SERVER:
        SERVER.remove()


def psql():
    return shutil.which("psql") or postgres.binary("psql")


class YearCase(StationCase):
    def store_line(self, engine, extra="", fixtures=2):
        """A station with an empty store of this version on `engine`."""
        line = Line(fixtures=fixtures)
        self.addCleanup(line.remove)
        if engine == "sqlite":
            store = os.path.join(line.path, "records.db")
        else:
            YearCase.count = getattr(YearCase, "count", 0) + 1
            database = "year%d" % YearCase.count
            SERVER.sql("CREATE DATABASE %s" % database)
            store = SERVER.keywords(database)
        line.station_file(fixtures=fixtures, store=store, extra=extra)
        out, err, status = line.station("init")
        self.assertEqual(status, 0, err)
        return line, store

    def generated(self, engine, count, extra="", start="2026-03-27", days=5, transcript=300):
        line, store = self.store_line(engine, extra)
        year_store.fill(store, count, days=days, start=start, transcript_size=transcript,
                        psql=psql())
        out, err, status = line.station("init")
        self.assertEqual(status, 0, err)
        return line, store

    def station(self, line, *args, zone=None):
        env = line.env()
        if zone:
            env["TZ"] = zone
        result = subprocess.run([STATION, *args], cwd=line.path, env=env, capture_output=True,
                                timeout=RUN_TIMEOUT * 4)
        return result.stdout.decode(), result.stderr.decode(), result.returncode


def failure_of(record):
    message = re.sub("frame [0-9]+", "frame N", record["message"])
    return message if record["outcome"] == "failed" else record["outcome"] + ": " + message


def group_of(record, by, zone):
    """The group a record is counted in, from its UTC start, one record at a time."""
    if by not in ("day", "shift"):
        return record[by]
    started = datetime.datetime.fromisoformat(record["started"].replace("Z", "+00:00"))
    local = started.astimezone(zoneinfo.ZoneInfo(zone))
    if by == "day":
        return local.date().isoformat()
    minute = local.hour * 60 + local.minute
    starts = sorted((int(t[:2]) * 60 + int(t[3:]), name) for name, t in SHIFTS.items())
    day, shift = local.date(), None
    for at, name in starts:
        if minute >= at:
            shift = name
    if shift is None:  # before the day's first shift: the night before
        day, shift = day - datetime.timedelta(days=1), starts[-1][1]
    return "%s %s" % (day.isoformat(), shift)


def reference(records, by, zone):
    """The report's figures counted slowly: (groups, failures)."""
    boards, failures = {}, {}
    for r in records:
        group = group_of(r, by, zone)
        board = boards.setdefault(group, {}).setdefault(r["mac"], [False, False])
        if r["outcome"] == "passed":
            board[0] = True
            board[1] = board[1] or r["attempt"] == 1
        elif r["outcome"] != "started":
            f = failures.setdefault((group, r["stage"], failure_of(r)), [0, set()])
            f[0] += 1
            f[1].add(r["fixture"])
    groups = {(g, str(len(b)), str(sum(p for p, _ in b.values())),
               "%.1f" % (100.0 * sum(f for _, f in b.values()) / len(b)))
              for g, b in boards.items()}
    return groups, {(g, stage, text, str(c), " ".join(sorted(fx)))
                    for (g, stage, text), (c, fx) in failures.items()}


def counted(report_csv, failures_csv, by):
    """The groups of `report --csv` and the failures of `report --csv
    --failures`, as sets of rows."""
    rows = list(csv.DictReader(io.StringIO(report_csv)))
    groups = {(r[by], r["boards"], r["passed"], r["first_pass_yield"]) for r in rows}
    failures = {(r[by], r["stage"], r["failure"], r["failures"], r["fixtures"])
                for r in csv.DictReader(io.StringIO(failures_csv))}
    return groups, failures


class Reports(YearCase):
    def counted(self, line, zone, *args):
        """The report's groups and failures, each from its CSV."""
        tables = []
        for failures in ([], ["--failures"]):
            out, err, status = self.station(line, "report", "--csv", *failures, *args, zone=zone)
            self.assertEqual((status, err), (0, ""))
            tables.append(out)
        by = args[1] if args[0] == "--by" else "day"
        return counted(tables[0], tables[1], by)

    def test_the_stores_counts_match_a_slow_count_in_three_zones_and_across_summer_time(self):
        # Five days around Europe's change to summer time (Sunday 29 March
        # 2026), boards every 2 minutes or so on 20 stations: midnights and
        # shift changes crossed by retries, reworks, failures.
        zones = (("UTC", 'timezone = "UTC"\n', None), ("Asia/Shanghai", 'timezone = '
                 '"Asia/Shanghai"\n', None), ("Europe/Berlin", "", "Europe/Berlin"))
        for engine in ENGINES:
            for zone, key, tz in zones:
                line, _ = self.generated(engine, 4000, extra=key + 'lot = "L1"\n' + SHIFTS_TEXT)
                out, err, status = self.station(line, "export", "--jsonl", zone=tz)
                self.assertEqual((status, err), (0, ""))
                records = [json.loads(text) for text in out.splitlines()]
                self.assertEqual(len(records), 4000)
                for by in ("day", "shift", "lot", "station", "fixture", "operator"):
                    with self.subTest(engine=engine, zone=zone, by=by):
                        self.assertEqual(self.counted(line, tz, "--by", by),
                                         reference(records, by, zone))
                # Local days chosen: only records started in them, in the zone.
                with self.subTest(engine=engine, zone=zone, days="29 to 30 March"):
                    chosen = [r for r in records
                              if group_of(r, "day", zone) in ("2026-03-29", "2026-03-30")]
                    self.assertEqual(self.counted(line, tz, "--since", "2026-03-29", "--until",
                                                  "2026-03-30"), reference(chosen, "day", zone))
                    out, _, _ = self.station(line, "report", "--since", "2026-03-29", zone=tz)
                    self.assertTrue(out.startswith("times in %s\n" % zone), out)


class KeptCounts(YearCase):
    def test_the_kept_counts_equal_a_recount_after_random_histories(self):
        # Seeded histories through the store's own calls (rounds, retries on
        # other fixtures and stations, reworks, late truths, releases,
        # records given back, labels read back), each checked by the history
        # itself for 200 random groupings and filters, in zones of whole and
        # of half hours; then by `report --recount` for every grouping.
        history = os.environ.get("STORE_HISTORY") or os.path.join(
            os.path.dirname(STATION), "..", "tests", "store_history")
        for engine in ENGINES:
            line, store = self.store_line(engine, extra=SHIFTS_TEXT)
            for seed, zone in ((1, "Europe/Berlin"), (2, "Asia/Kolkata"), (3, "UTC")):
                with self.subTest(engine=engine, seed=seed, zone=zone):
                    made = subprocess.run([history, store, str(seed), "300"], cwd=line.path,
                                          env=dict(line.env(), TZ=zone), capture_output=True,
                                          text=True, timeout=RUN_TIMEOUT * 4)
                    self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
                    for by in ("day", "shift", "lot", "station", "fixture", "operator"):
                        out, err, status = self.station(line, "report", "--recount", "--by", by,
                                                        zone=zone)
                        # Boards left running are said (their stations are gone).
                        self.assertEqual(status, 0, by + ": " + err)
                        self.assertNotIn("differ", err)
            with self.subTest(engine=engine, counts="made wrong"):
                change = ("UPDATE tallies SET boards = boards + 1 WHERE kind = 'fixture' AND "
                          "item = 'A2'")
                if engine == "sqlite":
                    with sqlite3.connect(store) as db:
                        db.execute(change)
                else:
                    SERVER.sql(change, store.split("dbname=")[1])
                out, err, status = self.station(line, "report", "--recount", "--by", "fixture")
                self.assertEqual(status, 2)
                self.assertIn("station: the counts the store keeps differ from its records:\n"
                              "  A2: boards ", err)
                self.assertIn("A2  ", out)


class Memory(YearCase):
    def test_report_and_export_of_200000_records_stay_under_64_mb(self):
        if os.environ.get("SANITIZED"):
            self.skipTest("the sanitizer's shadow memory is not the station's")
        for engine in ENGINES:
            line, store = self.generated(engine, 200_000, extra=SHIFTS_TEXT, days=365,
                                     start="2026-01-01", transcript=600)
            ids = self.ids_in_order(engine, store)
            self.assertEqual(len(ids), 200_000)
            for args in (["report"], ["report", "--by", "shift"], ["report", "--by", "lot"],
                         ["export", "--csv"], ["export", "--jsonl"], ["export", "--json"]):
                with self.subTest(engine=engine, args=args):
                    out = bytearray()
                    status, peak, _ = year_store.measured([STATION, *args], line.path, line.env(),
                                                       out.extend)
                    self.assertEqual(status, 0)
                    if args[0] == "export":
                        # Every record once, in the store's order: the rows are
                        # read ahead of their writing in batches.
                        found = re.findall(rb'^([0-9a-f-]{36}),' if args[1] == "--csv"
                                           else rb'"id": ?"([0-9a-f-]{36})"', bytes(out), re.M)
                        self.assertEqual([i.decode() for i in found], ids)
                    self.assertLess(peak, 64 * 1024, "peak %d kB" % peak)
            self.reader_that_stops(engine, line, store)

    def ids_in_order(self, engine, store):
        query = "SELECT id FROM records ORDER BY started, fixture"
        if engine == "sqlite":
            with sqlite3.connect(store) as db:
                return [row[0] for row in db.execute(query)]
        return subprocess.run([psql(), store, "-XAtc", query], check=True, capture_output=True,
                              text=True).stdout.split()

    def reader_that_stops(self, engine, line, store):
        """An export whose reader goes away after a few lines ends at once,
        and leaves the store as it found it: no transaction held open on the
        server, a write taken at once."""
        for format in ("--csv", "--jsonl"):
            with self.subTest(engine=engine, reader="stops", format=format):
                export = subprocess.Popen([STATION, "export", format], cwd=line.path,
                                          env=line.env(), stdout=subprocess.PIPE,
                                          stderr=subprocess.PIPE)
                for _ in range(1000):
                    export.stdout.readline()
                export.stdout.close()
                self.assertEqual(export.wait(timeout=RUN_TIMEOUT), 1)
                self.assertEqual(export.stderr.read(), b"")
                export.stderr.close()
                if engine == "postgres":
                    held = SERVER.sql("SELECT count(*) FROM pg_stat_activity WHERE pid <> "
                                      "pg_backend_pid() AND (state LIKE 'idle in transaction%' "
                                      "OR query LIKE '%rows_out%')")
                    self.assertEqual(held.split(), ["0"])
                out, err, status = line.station("lock")
                self.assertEqual(status, 0, err)


class LotAndOperator(YearCase):
    def test_every_record_keeps_its_lot_and_operator_and_a_retry_its_own_lot(self):
        for engine in ENGINES:
            with self.subTest(engine=engine):
                self.lots_on(engine)

    def lots_on(self, engine):
        line, _ = self.store_line(engine, extra='lot = "W-100"\n')
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1)
        line.plug(2, "--answer", "3=000600000000")  # a CRC error at frame 3
        out, err, status = line.station("run", "--json", "--lot", "W-200", "--operator", "ann",
                                        "--mac", "A1=" + mac(1), "--mac", "A2=" + mac(2))
        self.assertEqual(status, 1, err)
        started = [json.loads(t) for t in out.splitlines() if '"started"' in t]
        self.assertEqual({(e["lot"], e["operator"]) for e in started}, {("W-200", "ann")})
        # The retry keeps its board's lot; a new board takes the file's.
        line.plug(2)
        self.assertEqual(line.station("retry", "--operator", "bo")[2], 0)
        line.plug(1)
        self.assertEqual(line.station("run", "--fixtures", "A1", "--mac", "A1=" + mac(3))[2], 0)
        out, _, _ = line.station("export", "--csv")
        rows = list(csv.reader(io.StringIO(out)))
        lot = rows[0].index("lot")
        self.assertEqual(rows[0][lot:lot + 2], ["lot", "operator"])
        self.assertEqual(sorted((r[5], r[12], r[lot], r[lot + 1]) for r in rows[1:]),
                         [(mac(1), "1", "W-200", "ann"), (mac(2), "1", "W-200", "ann"),
                          (mac(2), "2", "W-200", "bo"),
                          (mac(3), "1", "W-100", pwd.getpwuid(os.getuid()).pw_name)])
        out, _, _ = line.station("export", "--csv", "--lot", "W-100")
        self.assertEqual([r["mac"] for r in csv.DictReader(io.StringIO(out))], [mac(3)])
        out, _, _ = line.station("history", mac(2))
        self.assertIn("   lot        W-200, operator ann\n", out)
        self.assertIn("   lot        W-200, operator bo\n", out)
        # The board's log says whose and which lot's it is, after its start.
        out, _, _ = line.station("log", mac(2))
        self.assertRegex(out, r"^station: line1\nfixture: A2\nMAC: %s\nrecord: \S+\n"
                              r"started: [^\n]+\nlot: W-200\noperator: bo\n\n" % mac(2))
        out, _, _ = line.station("report", "--csv", "--by", "lot")
        self.assertEqual(counted(out, "lot\n", "lot")[0], {("W-100", "1", "1", "100.0"),
                                                          ("W-200", "2", "2", "50.0")})


class Upgrade(YearCase):
    def rounds(self, engine):
        """A store of this version with a passed board, a failed one and an
        interrupted one's claim, turned into the last version's."""
        line, store = self.store_line(engine)
        self.assertEqual(line.station("lock")[2], 0)
        line.plug(1)
        line.plug(2, "--answer", "3=000600000000")
        line.station("run", "--mac", "A1=" + mac(1), "--mac", "A2=" + mac(2))
        before = line.export()
        self.assertEqual([r["outcome"] for r in before], ["passed", "failed"])
        if engine == "sqlite":
            old_store.sqlite_to_3(store)
        else:
            old_store.postgres_to_3(store, psql())
        return line, store, before

    def claims(self, engine, store):
        query = "SELECT mac, record, state FROM claims ORDER BY mac"
        if engine == "sqlite":
            with sqlite3.connect(store) as db:
                return [tuple(r) for r in db.execute(query)]
        return [tuple(r.split("|")) for r in SERVER.sql(query, store.split("dbname=")[1])
                .splitlines()]

    def version(self, engine, store):
        if engine == "sqlite":
            with sqlite3.connect(store) as db:
                return db.execute("PRAGMA user_version").fetchone()[0]
        return int(SERVER.sql("SELECT version FROM schema_version", store.split("dbname=")[1]))

    def test_a_store_of_the_last_version_keeps_every_record_transcript_and_claim(self):
        for engine in ENGINES:
            with self.subTest(engine=engine):
                line, store, before = self.rounds(engine)
                claims = self.claims(engine, store)
                self.assertEqual(self.version(engine, store), 3)
                if engine == "postgres":
                    out, err, status = line.station("report")
                    self.assertEqual(status, 2)
                    self.assertIn("an older schema: run `station init`", err)
                self.assertEqual(line.station("init")[2], 0)
                self.assertEqual(self.version(engine, store), 9)
                after = line.export()
                self.assertEqual(after, [dict(r, lot="", operator="") for r in before])
                self.assertTrue(all("Opening board.bin" in r["transcript"] for r in after))
                self.assertEqual(self.claims(engine, store), claims)
                # The claims still hold: the passed MAC is refused, the
                # failed board is retried.
                line.plug(1)
                out, err, status = line.station("run", "--fixtures", "A1", "--mac",
                                                "A1=" + mac(1))
                self.assertIn("MAC %s was programmed on station line1" % mac(1), out + err)
                line.plug(2)
                self.assertEqual(line.station("retry")[2], 0)

    def test_an_upgrade_cut_short_leaves_the_last_version_whole(self):
        # SQLite: the disk fills mid-upgrade (a file-size limit on the
        # station); PostgreSQL: the station is killed while its upgrade waits.
        for engine in ENGINES:
            with self.subTest(engine=engine):
                line, store = self.store_line(engine)
                year_store.fill(store, 20_000, days=30, transcript_size=1200, psql=psql())
                (old_store.sqlite_to_3(store) if engine == "sqlite"
                 else old_store.postgres_to_3(store, psql()))
                counts = self.counts(engine, store)
                self.assertEqual(counts[0], 20_000)
                if engine == "sqlite":
                    self.cut_by_a_full_disk(line)
                else:
                    self.cut_by_a_kill(line, store)
                self.assertEqual(self.version(engine, store), 3)
                self.assertEqual(self.counts(engine, store), counts)
                self.assertEqual(line.station("init")[2], 0)
                self.assertEqual(self.version(engine, store), 9)
                self.assertEqual(len(line.station("export", "--csv")[0].splitlines()), 20_001)

    def counts(self, engine, store):
        """Records, and their transcripts' bytes, of a store of version 3."""
        query = "SELECT count(*), sum(length(transcript)) FROM records"
        if engine == "sqlite":
            with sqlite3.connect(store) as db:
                return tuple(db.execute(query).fetchone())
        return tuple(int(x) for x in SERVER.sql(query, store.split("dbname=")[1]).split("|"))

    def cut_by_a_full_disk(self, line):
        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (4 << 20, 4 << 20))
        result = subprocess.run([STATION, "report"], cwd=line.path, env=line.env(),
                                capture_output=True, timeout=RUN_TIMEOUT * 4, preexec_fn=limited)
        self.assertEqual(result.returncode, 2, result.stdout)
        self.assertIn(b"station: store:", result.stderr)

    def cut_by_a_kill(self, line, store):
        database = store.split("dbname=")[1]
        holder = subprocess.Popen([psql(), "-X", "-q", store], stdin=subprocess.PIPE, text=True)
        # The upgrade reads the store's id last, once it has moved the transcripts.
        holder.stdin.write("BEGIN; LOCK TABLE store_info IN ACCESS EXCLUSIVE MODE;\n")
        holder.stdin.flush()
        init = subprocess.Popen([STATION, "init"], cwd=line.path, env=line.env(),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + RUN_TIMEOUT
        while SERVER.sql("SELECT count(*) FROM pg_stat_activity WHERE datname = '%s' AND "
                         "wait_event_type = 'Lock'" % database, database) == "0":
            self.assertLess(time.monotonic(), deadline, "the upgrade never waited")
            self.assertIsNone(init.poll())
            time.sleep(0.05)  # polls the server's list of sessions
        init.kill()
        init.wait()
        holder.stdin.write("ROLLBACK;\n")
        holder.stdin.close()
        holder.wait(timeout=RUN_TIMEOUT)
        # The server ends the killed session's transaction once it sees it gone.
        while SERVER.sql("SELECT count(*) FROM pg_stat_activity WHERE datname = '%s' AND "
                         "pid <> pg_backend_pid()" % database, database) != "0":
            self.assertLess(time.monotonic(), deadline, "the killed session stayed")
            time.sleep(0.05)


class BadInput(YearCase):
    def test_each_is_refused_with_what_is_wrong_and_nothing_is_written(self):
        line, store = self.store_line("sqlite")
        with open(os.path.join(line.path, "station.toml")) as f:
            original = f.read()
        fixtures = original[original.index("[[fixture]]"):]
        head = original[:original.index("[[fixture]]")]
        # What a first command of the station leaves beside its store.
        self.assertEqual(line.station("report")[2], 0)
        cases = [
            ([], ["report", "--since", "2026-02-30"], "--since 2026-02-30: a calendar date"),
            ([], ["report", "--since", "2026-03-02", "--until", "2026-03-01"],
             "--until 2026-03-01 comes before --since 2026-03-02"),
            ([], ["export", "--until", "2026-13-01"], "--until 2026-13-01: a calendar date"),
            ([], ["report", "--by", "week"], "--by week: day, shift, lot, station, fixture or operator"),
            ([], ["report", "--by", "shift"], "--by shift: station.toml names no [shifts]"),
            ([], ["run", "--lot", "W 1"], '--lot "W 1": 1 to 64 letters'),
            ([], ["report", "--lot", "W 1"], '--lot "W 1": 1 to 64 letters'),
            ([], ["run", "--operator", "a/b"], '--operator "a/b": 1 to 64 letters'),
            (['lot = "W 1"\n'], ["report"], 'station.toml:6: lot "W 1": 1 to 64'),
            (['[shifts]\nearly = "06:00"\nlate = "25:00"\n'], ["report"],
             'station.toml:8: shift late takes the local time it starts, "HH:MM"'),
            (['[shifts]\nearly = "06:00"\nlate = "06:00"\n'], ["report"],
             "starts at the time of shift"),
            (['timezone = "Mars/Olympus"\n'], ["report"],
             'station.toml:6: time zone "Mars/Olympus" is not in this system'),
            (['timezone = "../../etc/passwd"\n'], ["report"], "is not in this system"),
        ]
        for extra, args, message in cases:
            with self.subTest(args=args, extra=extra):
                with open(os.path.join(line.path, "station.toml"), "w") as f:
                    f.write(head + "".join(extra) + fixtures)
                listing = sorted(os.listdir(line.path))
                with open(store, "rb") as f:
                    stored = f.read()
                out, err, status = line.station(*args)
                self.assertEqual((status, out), (2, ""))
                self.assertIn(message, err)
                self.assertEqual(sorted(os.listdir(line.path)), listing)
                with open(store, "rb") as f:
                    self.assertEqual(f.read(), stored)


if __name__ == "__main__":
    unittest.main()
