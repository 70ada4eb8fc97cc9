"""A store on a primary and a streaming standby of the suite's own, both
named in the stations' connection text (libpq takes the one that writes):
the primary dies mid-round and the standby is promoted, as a failover
does. With a synchronous standby no claim and no record is lost."""

import json
import os
import signal
import subprocess
import time
import unittest

import postgres
from harness import RUN_TIMEOUT
from test_station import STATION, Line, StationCase, mac
from test_station_serve import Serve


RISK = ("station: warning: a failover to an asynchronous standby may lose the store's last "
        "claims: a board may carry a MAC that the new primary never heard of, and hands out "
        "again (make a standby synchronous: synchronous_standby_names, synchronous_commit on)\n")


class Servers(StationCase):
    def servers(self, synchronous):
        primary = postgres.Server()
        self.addCleanup(primary.remove)
        standby = postgres.Standby(primary, synchronous)
        self.addCleanup(standby.remove)
        primary.sql("CREATE DATABASE line")
        return primary, standby

    def pg_line(self, store, fixtures, replication=None, name="line1", extra="", risk=""):
        line = Line(name=name, fixtures=0)
        self.addCleanup(line.remove)
        line.station_file(fixtures=fixtures, store=store, stall=60, extra=extra)
        for command in ("init", "lock"):
            out, err, status = line.station(command)
            self.assertEqual((status, err), (0, risk))
            if replication:
                self.assertEqual(out.splitlines()[-1], replication)
        return line



class Failover(Servers):
    def test_init_and_lock_say_how_the_server_replicates_and_warn_of_what_may_be_lost(self):
        primary = postgres.Server()
        self.addCleanup(primary.remove)
        primary.sql("CREATE DATABASE line")
        line = self.pg_line(primary.keywords("line"), 1,
                            "replication: no standby (the server is the store's only copy)")
        standby = postgres.Standby(primary, synchronous=False)
        self.addCleanup(standby.remove)
        for command in ("init", "lock"):
            out, err, status = line.station(command)
            self.assertEqual((status, err), (0, RISK))
            self.assertEqual(out.splitlines()[-1],
                             "replication: standby1 (asynchronous); synchronous_commit on")
        primary.sql("ALTER SYSTEM SET synchronous_commit = local")
        primary.sql("ALTER SYSTEM SET synchronous_standby_names = 'standby1'")
        primary.sql("SELECT pg_reload_conf()")
        out, err, status = line.station("lock")
        self.assertEqual(status, 0, err)
        self.assertIn("with synchronous_commit local, may lose the store's last claims", err)

    def test_a_synchronous_standby_takes_over_mid_round_with_every_claim_and_record(self):
        primary, standby = self.servers(synchronous=True)
        line = self.pg_line(postgres.both(primary, standby, "line"), 2,
                            "replication: standby1 (synchronous); synchronous_commit on")
        for n in (1, 2):
            line.plug(n, "--delay", "300")  # about 3.5 s a board
        station = line.start("run", *self.macs([1, 2]), stderr=subprocess.PIPE)
        for _ in range(2):
            self.assertIn("started", station.stdout.readline().decode())
        # Both claims are committed, so on the standby too. The station is
        # held while the primary dies and the standby takes over, so that
        # its next statement meets the new primary, whatever the timing.
        station.send_signal(signal.SIGSTOP)
        try:
            primary.stop("immediate")
            standby.promote()
        finally:
            station.send_signal(signal.SIGCONT)
        went_on = time.monotonic()
        out, err = station.communicate(timeout=RUN_TIMEOUT)
        print("\nfailover: the round ended %.1f s after the station went on"
              % (time.monotonic() - went_on))
        self.assertEqual((station.returncode, err.decode()), (0, ""), out)
        self.assertEqual(out.decode().count(" passed, 11 frames"), 2, out)
        self.assertEqual(standby.sql("SELECT mac || ' ' || outcome FROM records ORDER BY mac",
                                     "line").splitlines(),
                         ["%s passed" % mac(1), "%s passed" % mac(2)])
        self.assertEqual(standby.sql("SELECT mac || ' ' || state FROM claims ORDER BY mac",
                                     "line").splitlines(),
                         ["%s passed" % mac(1), "%s passed" % mac(2)])
        # The next round runs on the new primary, and knows the first.
        line.plug(1)
        out, err, status = line.station("run", "--fixtures", "A1", "--mac", "A1=" + mac(2))
        self.assertEqual(status, 1, (out, err))
        self.assertIn("A1 skipped: MAC %s was programmed on station line1, fixture A2" % mac(2),
                      out)
        line.plug(1)
        out, err, status = line.station("run", "--fixtures", "A1", "--mac", "A1=" + mac(3))
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual(len(line.export()), 3)

    def test_the_web_view_follows_the_new_primary(self):
        primary, standby = self.servers(synchronous=True)
        line = self.pg_line(postgres.both(primary, standby, "line"), 1)
        line.plug(1)
        self.assertEqual(line.station("run", *self.macs([1]))[2], 0)
        view = Serve(line)
        self.addCleanup(view.close)
        self.assertEqual(view.line()["store"], "answering")
        primary.stop("immediate")
        standby.promote()
        promoted = time.monotonic()
        # A board programmed on the new primary shows: the view reads there.
        line.plug(1)
        self.assertEqual(line.station("run", "--mac", "A1=" + mac(2))[2], 0)
        deadline = time.monotonic() + RUN_TIMEOUT
        while True:
            now = view.line()
            if now["store"] == "answering" and [f["mac"] for f in now["fixtures"]] == [mac(2)]:
                break
            self.assertLess(time.monotonic(), deadline, now)
            time.sleep(0.2)  # polls the page, as a browser does
        print("\nfailover: the line page showed a board of the new primary %.1f s after the "
              "promotion" % (time.monotonic() - promoted))
        self.assertEqual([page[0] for page in map(view.get, ["/", "/yield", "/board/" + mac(2)])],
                         [200, 200, 200])


class ReadStore(Servers):
    """report, export, history and serve read from the standby that the
    file's read_store names: the same answers as the primary gives, on
    when the primary stops, and the line page says how far behind the
    standby is."""

    READS = (["report"], ["report", "--by", "fixture"], ["export", "--csv"],
             ["history", mac(1)])

    def answers(self, line, file):
        said = []
        for args in self.READS:
            out, err, status = line.station("-f", file, *args)
            self.assertEqual((status, err), (0, ""), args)
            said.append(out)
        return said

    def test_the_reads_go_to_the_standby_and_on_without_the_primary(self):
        primary, standby = self.servers(synchronous=False)
        line = self.pg_line(primary.keywords("line"), 2, risk=RISK,
                            extra='read_store = "%s"\n' % standby.keywords("line"))
        with open(os.path.join(line.path, "station.toml")) as f:
            text = f.read()
        with open(os.path.join(line.path, "primary.toml"), "w") as f:
            f.write(text.replace("read_store", "# read_store"))
        for n in (1, 2):
            line.plug(n)
        self.assertEqual(line.station("run", *self.macs([1, 2]))[2], 0)
        standby.caught_up(primary)
        from_primary = self.answers(line, "primary.toml")
        self.assertEqual(self.answers(line, "station.toml"), from_primary)
        self.assertEqual(len(from_primary[2].splitlines()), 3)
        view = Serve(line)
        self.addCleanup(view.close)
        read_from = view.line()["read_from"]
        self.assertEqual((read_from["server"], read_from["behind_seconds"]), ("standby", 0))
        self.assertRegex(read_from["replayed"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertIn('id="standby">Read from a standby of the store, 0.0 s behind the primary.',
                      view.get("/")[2])
        # Its replay held: a board ends on the primary alone, and the page
        # says how old what it shows becomes.
        standby.sql("SELECT pg_wal_replay_pause()")
        paused = time.monotonic()
        line.plug(1)
        self.assertEqual(line.station("-f", "primary.toml", "run", "--mac", "A1=" + mac(3))[2], 0)
        deadline = time.monotonic() + RUN_TIMEOUT
        while view.line()["read_from"]["behind_seconds"] < 5:
            self.assertLess(time.monotonic(), deadline, view.line())
            time.sleep(0.2)  # polls the page, as a browser does
        print("\nread_store: the page said the standby 5 s behind %.1f s after its replay paused"
              % (time.monotonic() - paused))
        self.assertIn("behind the primary (its last commit replayed: ", view.get("/")[2])
        self.assertIn("what follows is as it was then.", view.get("/")[2])
        self.assertNotIn(mac(3), line.station("export")[0])
        self.assertIn(mac(3), line.station("-f", "primary.toml", "export")[0])
        standby.sql("SELECT pg_wal_replay_resume()")
        standby.caught_up(primary)
        from_primary = self.answers(line, "primary.toml")
        self.assertEqual(self.answers(line, "station.toml"), from_primary)
        while view.line()["read_from"]["behind_seconds"] > 0:
            self.assertLess(time.monotonic(), deadline, view.line())
            time.sleep(0.2)  # polls the page, as a browser does
        # The primary stopped: the reads go on from the standby.
        primary.stop()
        self.assertEqual(self.answers(line, "station.toml"), from_primary)
        now = view.line()
        self.assertEqual((now["store"], now["read_from"]["server"]), ("answering", "standby"))
        self.assertEqual([f["mac"] for f in now["fixtures"]], [mac(3), mac(2)])
        out, err, status = line.station("-f", "primary.toml", "report")
        self.assertNotEqual(status, 0, out)


POOL = '[mac]\nfirst = "02D000000000"\nlast = "02D0000000FF"\n'
LOST = "whose claim the store lost (its server had not received it when it took over)"


class AsynchronousFailover(Servers):
    """The standby cut off from the primary's last commits: station A's
    claims are on the primary alone when it dies, and station B, on the
    promoted standby, draws from the same pool."""

    def lines_cut_off(self):
        primary, standby = self.servers(synchronous=False)
        store = postgres.both(primary, standby, "line")
        a = self.pg_line(store, 2, extra=POOL, risk=RISK)
        b = self.pg_line(store, 1, name="line2", extra=POOL, risk=RISK)
        standby.caught_up(primary)
        standby.proxy.freeze(new_too=True)
        for n in (1, 2):
            a.plug(n, "--delay", "300")  # about 3.5 s a board
        station = a.start("run", stderr=subprocess.PIPE)
        for _ in range(2):
            self.started(station)
        station.send_signal(signal.SIGSTOP)
        primary.stop("immediate")
        standby.promote()
        promoted = time.monotonic()
        # B takes the pool's first MAC, which A's first board carries.
        b.plug(1)
        run_b = b.start("run")
        self.assertEqual(self.started(run_b), "A1 02D000000000 started")
        print("\nfailover: the first board on the new primary started %.1f s after the promotion"
              % (time.monotonic() - promoted))
        out, _ = run_b.communicate(timeout=RUN_TIMEOUT)
        self.assertEqual(run_b.returncode, 0, out)
        return a, b, standby, station

    def started(self, station):
        """The next board's line, past the prompts that the pool answers."""
        for line in station.stdout:
            if not line.startswith(b"MAC for "):
                self.assertTrue(line.endswith(b" started\n"), line)
                return line.decode().strip()
        self.fail("the station ended")

    def claims(self, standby):
        return standby.sql("SELECT r.station || ' ' || c.mac FROM claims c JOIN records r ON "
                           "r.id = c.record ORDER BY c.mac", "line").splitlines()

    def test_every_claim_lost_is_written_again_or_shown_as_a_conflict_within_the_round(self):
        a, b, standby, station = self.lines_cut_off()
        station.send_signal(signal.SIGCONT)
        out, err = station.communicate(timeout=RUN_TIMEOUT)
        out, err = out.decode(), err.decode()
        # A's boards both passed; the claim of 02D000000001 came back, and
        # 02D000000000 is on B's board too: said, and the round's status.
        self.assertEqual(station.returncode, 3, (out, err))
        self.assertEqual(out.count(" passed, 11 frames"), 2, out)
        self.assertEqual(err.count("station: the store had lost the claim of MAC 02D000000001 "
                                   "by record "), 1, err)
        self.assertIn("written again", err)
        self.assertEqual(err.count("station: MAC 02D000000000 is on two boards: record "), 2, err)
        self.assertIn(LOST, err)
        print("failover: 2 claims lost, 1 written again, 1 shown as a conflict")
        self.assertEqual(self.claims(standby), ["line2 02D000000000", "line1 02D000000001"])
        out, err, status = a.station("conflicts")
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(len(out.splitlines()), 1, out)
        self.assertIn(LOST, out)
        listed = json.loads(a.station("conflicts", "--json")[0])
        self.assertEqual([(c["mac"], c["late"]["station"], c["other"]["station"], c["claim_lost"])
                          for c in listed], [("02D000000000", "line1", "line2", True)])
        # B's next board gets a MAC nobody has.
        b.plug(1)
        out, err, status = b.station("run")
        self.assertEqual(status, 0, (out, err))
        self.assertIn("02D000000002", out)

    def test_a_station_killed_before_it_saw_the_new_primary_rechecks_its_journal_when_run_again(
            self):
        a, b, standby, station = self.lines_cut_off()
        station.kill()
        station.send_signal(signal.SIGCONT)
        station.communicate(timeout=RUN_TIMEOUT)
        out, err, status = a.station("history", "02D000000000")
        self.assertEqual(status, 3, (out, err))
        self.assertIn("station: the store had lost the claim of MAC 02D000000001 by record ", err)
        self.assertIn("station: MAC 02D000000000 is on two boards: ", err)
        self.assertIn("record(s) left open by a station that ended were marked interrupted", err)
        self.assertIn("CONFLICT: MAC 02D000000000 is on two boards", out)
        self.assertEqual(self.claims(standby), ["line2 02D000000000", "line1 02D000000001"])
        # Checked once: the next command finds nothing more.
        out, err, status = a.station("conflicts")
        self.assertEqual((status, err), (0, ""))

    def test_the_line_says_at_once_which_stations_have_not_checked_their_claims_since(self):
        a, b, standby, station = self.lines_cut_off()
        station.kill()
        station.send_signal(signal.SIGCONT)
        station.communicate(timeout=RUN_TIMEOUT)
        server = Serve(b)
        self.addCleanup(server.close)
        # Before line1 runs again: said at the top of the line, by every
        # command of another station, and in /api/line.
        said = server.line()["failover"]
        self.assertEqual(said["unchecked"], ["line1"])
        self.assertEqual(said["seen_by"], "line2")
        self.assertRegex(said["said"], r"^the store failed over at \d{4}-\d\d-\d\d \d\d:\d\d "
                                       r"\(first seen by station line2\); station line1 has not "
                                       r"checked its claims since$")
        status, _, page = server.get("/")
        self.assertIn("station line1 has not checked its claims since", page)
        out, err, status = b.station("kept")
        self.assertEqual(status, 0, err)
        self.assertIn("station: warning: " + said["said"] + "\n", err)
        # line1's next command checks them, and the line says no more.
        out, err, status = a.station("conflicts")
        self.assertIn("station: the store had lost the claim of MAC 02D000000001", err)
        deadline = time.monotonic() + RUN_TIMEOUT
        while "failover" in server.line():
            self.assertLess(time.monotonic(), deadline, "the failover still said")
            time.sleep(0.2)  # serve reads the store every second
        self.assertNotIn("failover", b.station("kept")[1])


if __name__ == "__main__":
    unittest.main()
