"""The station's record through ordinary factory faults, with real processes:
a store held by another writer, a command with another TMPDIR during a round,
lock files that another user made, a full disk, a station killed, a port
that goes, and attempts counted across stations."""

import csv
import fcntl
import io
import grp
import json
import pwd
import os
import select
import shutil
import signal
import sqlite3
import subprocess
import tempfile
import threading
import time
import unittest

from harness import RUN_TIMEOUT
from test_station import EMULATED, FRAMES, Line, StationCase, mac, utc_seconds

NOBODY = 65534


def read(path):
    with open(path, "rb") as f:
        return f.read()


def root_only(test):
    def wrapper(self):
        if os.geteuid() != 0:
            self.skipTest("needs root: acts as user nobody or mounts a small file system")
        if EMULATED:
            self.skipTest("a fault that needs root: run natively, not under emulation")
        return test(self)
    wrapper.__name__ = test.__name__
    return wrapper


class Round:
    """A station run in the background whose plain screen is read line by
    line as it comes."""

    def __init__(self, line, *args, env=None, cwd=None):
        self.process = subprocess.Popen(
            [os.environ["STATION"], *args], cwd=cwd or line.path, env=env or line.env(),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0)
        self.lines = []

    def wait_for(self, count, word):
        """Reads the screen until `count` lines hold `word`."""
        while sum(word in l for l in self.lines) < count:
            if not select.select([self.process.stdout], [], [], RUN_TIMEOUT)[0]:
                raise AssertionError("no line in %d s: %r" % (RUN_TIMEOUT, self.lines))
            line = self.process.stdout.readline().decode()
            if not line:
                raise AssertionError("the station ended first: %r" % self.lines)
            self.lines.append(line)

    def end(self, timeout=RUN_TIMEOUT * 2):
        out, err = self.process.communicate(timeout=timeout)
        self.lines += out.decode().splitlines(True)
        return "".join(self.lines), err.decode(), self.process.returncode


class FaultCase(StationCase):
    def round(self, line, *args, **options):
        r = Round(line, *args, **options)
        self.addCleanup(r.process.kill)
        self.addCleanup(r.process.wait)
        for stream in (r.process.stdout, r.process.stderr):
            self.addCleanup(stream.close)
        return r

    def wait_for_logs(self, line, count, ending):
        """Waits until `count` boards' logs end with `ending` (host waits
        for an answer that does not come); returns their paths in the log
        folder ("DAY/NAME")."""
        folder = os.path.join(line.path, "station-logs")
        deadline = time.monotonic() + RUN_TIMEOUT
        while True:
            logs = [os.path.join(day, name) for day in sorted(os.listdir(folder))
                    for name in sorted(os.listdir(os.path.join(folder, day)))
                    if read(os.path.join(folder, day, name)).endswith(ending)]
            if len(logs) >= count:
                return logs
            self.assertLess(time.monotonic(), deadline, "the logs did not come")
            time.sleep(0.05)  # polls a file that the station writes

    def outcomes(self, line):
        return sorted((r["fixture"], r["outcome"], r["stage"], r["message"], r["frames"],
                       r["exit_status"]) for r in line.export())


class StoreHeldByAnotherWriter(FaultCase):
    """Another process holds the SQLite store's write lock while boards end:
    the poll loop goes on reading, reaping and judging."""

    def held_round(self, hold_after_finished):
        line = self.line(fixtures=2, stall=2)
        line.plug(1, "--delay", "150")
        line.plug(2, "--delay", "150", "--answer", "3=000600000000")
        r = self.round(line, "run", *self.macs([1, 2]))
        r.wait_for(2, "started")
        store = sqlite3.connect(os.path.join(line.path, "records.db"), isolation_level=None)
        self.addCleanup(store.close)
        store.execute("BEGIN IMMEDIATE")
        held_from = time.monotonic()
        # Both boards end while the store is held (and past the stall time):
        # each is judged by what its host did.
        r.wait_for(1, "passed")
        r.wait_for(1, "failed")
        r.process.send_signal(signal.SIGINT)
        if hold_after_finished:
            time.sleep(hold_after_finished)  # the fault itself: a writer that holds on
        else:
            time.sleep(max(0, 9 - (time.monotonic() - held_from)))
        store.execute("ROLLBACK")
        return line, r.end()

    def expected(self):
        return [("A1", "passed", "", "", FRAMES, 0),
                ("A2", "failed", "board data", "CRC Error", 2, 1)]

    def test_held_9_s_with_sigint_the_records_reach_the_store(self):
        line, (out, err, status) = self.held_round(0)
        self.assertEqual(status, 1, err)
        self.assertNotIn("spool", err)
        self.assertIn("A1 001122334401 passed, 11 frames", out)
        self.assertIn("A2 001122334402 failed in board data: CRC Error, 2 frames", out)
        self.assertEqual(self.outcomes(line), self.expected())

    def test_held_12_s_the_store_is_lost_and_the_records_wait_in_the_spool(self):
        line, (out, err, status) = self.held_round(12)
        self.assertEqual(status, 1, err)
        self.assertIn("records wait in the spool", err)
        _, err, status = line.station("export")
        self.assertEqual((status, err), (0, "station: 2 spooled record(s) delivered to the store\n"))
        self.assertEqual(self.outcomes(line), self.expected())


class Liveness(FaultCase):
    def test_a_command_with_another_tmpdir_leaves_a_live_round_alone(self):
        line = self.line(fixtures=2, stall=60)
        line.plug(1, "--silent-from", "3")
        line.plug(2, "--silent-from", "3")
        r = self.round(line, "run", *self.macs([1, 2]))
        r.wait_for(2, "started")
        elsewhere = tempfile.mkdtemp(prefix="station_other_tmp_")
        self.addCleanup(os.rmdir, elsewhere)
        env = dict(line.env(), TMPDIR=elsewhere)
        report = subprocess.run([os.environ["STATION"], "export", "--csv"], cwd=line.path,
                                env=env, capture_output=True, text=True, timeout=RUN_TIMEOUT)
        self.assertEqual((report.returncode, report.stderr), (0, ""))
        self.assertEqual([r["outcome"] for r in csv.DictReader(io.StringIO(report.stdout))],
                         ["started", "started"])
        # The same MAC is refused while the round runs.
        line.plug(3)
        with open(os.path.join(line.path, "other.toml"), "w") as f:
            f.write('station = "line2"\nconfig = "images/tivConfig.txt"\nhost = "%s"\n'
                    '[[fixture]]\nname = "B1"\nport = "%s"\n' % (os.environ["HOST"],
                                                                 line.port(3)))
        subprocess.run([os.environ["STATION"], "-f", "other.toml", "lock"], cwd=line.path,
                       env=env, capture_output=True, check=True, timeout=RUN_TIMEOUT)
        other = subprocess.run([os.environ["STATION"], "-f", "other.toml", "run", "--mac",
                                "B1=" + mac(1)], cwd=line.path, env=env, capture_output=True,
                               text=True, timeout=RUN_TIMEOUT)
        self.assertEqual(other.returncode, 1)
        self.assertIn("MAC 001122334401 is being programmed on station line1", other.stdout)
        self.wait_for_logs(line, 2, b"...")
        r.process.send_signal(signal.SIGINT)
        out, err, status = r.end()
        self.assertEqual((status, err), (1, ""))
        self.assertEqual([x[1:3] for x in self.outcomes(line)],
                         [("aborted", "board data"), ("aborted", "board data")])

    @root_only
    def test_nothing_in_tmp_decides_and_a_lock_of_another_user_is_refused(self):
        line = self.line(fixtures=1, name="liveness-%d" % os.getpid())
        line.plug(1)
        # Another user makes the old lock's name in /tmp first and holds it.
        planted = "/tmp/.station-%s.lock" % line.name
        holder = subprocess.Popen(
            ["python3", "-c", "import fcntl,os,sys; f=os.open(%r, os.O_CREAT|os.O_RDWR, 0o600);"
             " fcntl.flock(f, fcntl.LOCK_EX); print('held', flush=True); sys.stdin.read()"
             % planted], user=NOBODY, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.addCleanup(lambda: os.path.exists(planted) and os.unlink(planted))
        self.addCleanup(holder.wait)
        self.addCleanup(holder.stdin.close)
        self.assertEqual(holder.stdout.readline(), b"held\n")
        holder.stdout.close()
        out, err, status = line.station("run", *self.macs([1]), "--json")
        self.assertEqual((status, err), (0, ""))
        # The lock beside the store, made by another user, or a link there.
        alive = os.path.join(line.path, ".records.db.%s.alive" % line.name)
        for name, plant, message in (
                ("owned by nobody", lambda: os.chown(alive, NOBODY, NOBODY),
                 "is nobody's, group nogroup, mode 600, so it is not the station's own: "
                 "remove it"),
                ("a link", lambda: os.symlink("/tmp/elsewhere", alive),
                 "Too many levels of symbolic links")):
            with self.subTest(name):
                plant()
                out, err, status = line.station("run", "--rework", *self.macs([1]))
                self.assertEqual(status, 2, out + err)
                self.assertIn(message, err)
                self.assertFalse(os.path.exists("/tmp/elsewhere"))
                os.unlink(alive)
        self.assertEqual(len(line.export()), 1, "no record while refused")


class StoreOfAnotherUser(FaultCase):
    """SQLite keeps two files beside a store (-wal, -shm) that every reader
    writes too, made by whoever opens the store first: a reader of another
    user (the web view's service) must never leave them where the store's
    owner, whose station writes the records, cannot write them."""

    DAEMON = 1  # the owner of the store: Debian's user and group "daemon"

    def folder(self, mode, group=0, owner=0):
        path = tempfile.mkdtemp(prefix="store-of-another-")
        self.addCleanup(shutil.rmtree, path, ignore_errors=True)
        os.chown(path, owner, group)
        os.chmod(path, mode)
        with open(os.path.join(path, "station.toml"), "w") as f:
            f.write('station = "s1"\nconfig = "tivConfig.txt"\n'
                    '[[fixture]]\nname = "A1"\nport = "/dev/ttyS9"\n')
        out, err, status = self.as_user(0, path, "init")
        self.assertEqual(status, 0, err)
        return path

    def as_user(self, uid, folder, *args):
        group = {0: 0, self.DAEMON: self.DAEMON, NOBODY: 65534}[uid]
        result = subprocess.run([os.environ["STATION"], *args], cwd=folder, user=uid,
                                group=group, extra_groups=[], capture_output=True,
                                timeout=RUN_TIMEOUT, env=dict(os.environ, TMPDIR=folder))
        return result.stdout.decode(), result.stderr.decode(), result.returncode

    def owner_writes(self, store):
        """What the owner's station does next: a write of its own."""
        return subprocess.run(
            ["python3", "-c", "import sqlite3; c = sqlite3.connect(%r); "
             "c.execute('CREATE TABLE probe(x)'); c.commit()" % store],
            user=self.DAEMON, group=self.DAEMON, extra_groups=[], capture_output=True,
            text=True, timeout=RUN_TIMEOUT)

    @root_only
    def test_a_reader_of_another_user_leaves_the_owner_able_to_write(self):
        # (what, folder's mode, group and owner, store's mode, reader, refused with)
        cases = [
            ("the owner alone writes the store", 0o1777, 0, 0, 0o644, NOBODY,
             "belongs to user daemon, who could not write the files that this user (nobody) "
             "would make beside it"),
            ("a group the owner is not in", 0o1777, 0, 0, 0o664, NOBODY,
             "as group nogroup, and daemon's station would fail"),
            ("a folder the reader cannot write", 0o755, 0, self.DAEMON, 0o644, NOBODY,
             "this user (nobody) cannot make files in its folder"),
            ("a setgid folder of the owner's group", 0o3777, self.DAEMON, 0, 0o664, NOBODY,
             None),
        ]
        for what, folder_mode, group, owner, store_mode, reader, refused in cases:
            with self.subTest(what):
                folder = self.folder(folder_mode, group, owner)
                store = os.path.join(folder, "records.db")
                os.chown(store, self.DAEMON, group)
                os.chmod(store, store_mode)
                out, err, status = self.as_user(reader, folder, "export")
                if refused:
                    self.assertEqual(status, 2, out)
                    self.assertIn(refused, err)
                    self.assertFalse(os.path.exists(store + "-wal") or
                                     os.path.exists(store + "-shm"), "nothing made beside it")
                else:
                    self.assertEqual((status, err), (0, ""))
                written = self.owner_writes(store)
                self.assertEqual(written.returncode, 0, written.stderr)

    @root_only
    def test_files_a_reader_left_are_named_to_the_owner(self):
        folder = self.folder(0o1777)
        store = os.path.join(folder, "records.db")
        os.chown(store, self.DAEMON, self.DAEMON)
        with open(store + "-shm", "wb"):
            pass
        os.chown(store + "-shm", NOBODY, 65534)
        os.chmod(store + "-shm", 0o644)
        out, err, status = self.as_user(self.DAEMON, folder, "export")
        self.assertEqual(status, 2, out)
        self.assertIn("the store's file %s-shm belongs to user nobody (mode 644), and this user "
                      "(daemon) may not write it" % store, err)


    @root_only
    def test_a_store_made_read_only_is_refused_once_with_the_fix_and_nothing_left_read_only(self):
        folder = self.folder(0o755, self.DAEMON, self.DAEMON)
        store = os.path.join(folder, "records.db")
        os.chown(store, self.DAEMON, self.DAEMON)
        os.chmod(store, 0o444)
        out, err, status = self.as_user(self.DAEMON, folder, "export")
        self.assertEqual((status, out), (2, ""))
        self.assertEqual(err, "station: the store %s is read-only (daemon's, group daemon, mode "
                              "444), and SQLite would make the files beside it read-only too: "
                              "chmod u+w %s\n" % (store, store))
        self.assertFalse(os.path.exists(store + "-wal") or os.path.exists(store + "-shm"))
        os.chmod(store, 0o644)
        self.assertEqual(self.as_user(self.DAEMON, folder, "export")[2], 0)
        # Files beside it that its own user may not write: the fix named.
        with open(store + "-shm", "wb"):
            pass
        os.chown(store + "-shm", self.DAEMON, self.DAEMON)
        os.chmod(store + "-shm", 0o444)
        out, err, status = self.as_user(self.DAEMON, folder, "export")
        self.assertEqual(status, 2, out)
        self.assertIn("(daemon) may not write it, as SQLite needs: chmod u+w %s-shm" % store, err)


class ManyLogins(FaultCase):
    """Logins of the line's group run the station in turn, each with umask
    022, in the line's folder (setgid, of their group); a user outside the
    group is refused with the remedy."""

    def add(self, command, *args):
        subprocess.run([command, *args], check=True, capture_output=True, timeout=RUN_TIMEOUT)

    def logins(self):
        tag = "%05d" % (os.getpid() % 100000)
        group = "stline" + tag
        self.add("groupadd", group)
        self.addCleanup(subprocess.run, ["groupdel", group], capture_output=True)
        users = {}
        for name, groups in (("stop1", [group]), ("stop2", [group]), ("stop3", [])):
            user = name + tag
            self.add("useradd", "-M", "-N", "-s", "/usr/sbin/nologin",
                     *(["-G", ",".join(groups)] if groups else []), user)
            self.addCleanup(subprocess.run, ["userdel", user], capture_output=True)
            users[name] = user
        return group, users

    def as_login(self, line, user, group, *args):
        entry = pwd.getpwnam(user)
        extra = [grp.getgrnam(group).gr_gid] if user != "none" and \
            user in grp.getgrnam(group).gr_mem else []
        result = subprocess.run([os.environ["STATION"], *args], cwd=line.path, env=line.env(),
                                user=entry.pw_uid, group=entry.pw_gid, extra_groups=extra,
                                umask=0o022, capture_output=True, stdin=subprocess.DEVNULL,
                                timeout=RUN_TIMEOUT * 2)
        return result.stdout.decode(), result.stderr.decode(), result.returncode

    def plug_for_all(self, line, n):
        agent = line.plug(n)
        os.chmod(agent.port, 0o666)  # the fixture's port, as udev gives it to the group

    @root_only
    def test_two_logins_of_the_group_run_the_line_in_turn_and_an_outsider_is_told_why_not(self):
        group, users = self.logins()
        line = Line(fixtures=1)  # its store not made yet: the first login locks
        self.addCleanup(line.remove)
        os.chown(line.path, 0, grp.getgrnam(group).gr_gid)
        os.chmod(line.path, 0o2775)
        out, err, status = self.as_login(line, users["stop1"], group, "lock")
        self.assertEqual((status, err), (0, ""), out)
        for login, n in (("stop1", 1), ("stop2", 2)):
            with self.subTest(login):
                self.plug_for_all(line, 1)
                out, err, status = self.as_login(line, users[login], group, "run", "--mac",
                                                 "A1=" + mac(n))
                self.assertEqual((status, err), (0, ""), out)
        def records():
            out, err, status = self.as_login(line, users["stop1"], group, "export", "--json")
            self.assertEqual((status, err), (0, ""))
            return [(r["mac"], r["outcome"], r["operator"]) for r in json.loads(out)]
        self.assertEqual(records(), [(mac(1), "passed", users["stop1"]),
                                     (mac(2), "passed", users["stop2"])])
        logs = os.path.join(line.path, "station-logs")
        self.assertEqual(os.stat(logs).st_mode & 0o7777, 0o2770)
        for path in [os.path.join(line.path, "records.db"),
                     os.path.join(line.path, ".station-spool-line1.db")]:
            self.assertEqual(os.stat(path).st_mode & 0o777, 0o660, path)
            self.assertEqual(grp.getgrgid(os.stat(path).st_gid).gr_name, group, path)
        self.plug_for_all(line, 1)
        out, err, status = self.as_login(line, users["stop3"], group, "run", "--mac",
                                         "A1=" + mac(3))
        self.assertEqual(status, 2, out + err)
        self.assertIn("add %s to the group %s (sudo adduser %s %s), then log in again"
                      % (users["stop3"], group, users["stop3"], group), err)
        self.assertEqual(len(records()), 2)


class Killed(FaultCase):
    def test_an_interrupted_record_is_filled_from_its_log(self):
        line = self.line(fixtures=1, stall=60)
        line.plug(1, "--silent-from", "3")
        r = self.round(line, "run", *self.macs([1]))
        r.wait_for(1, "started")
        log_folder = os.path.join(line.path, "station-logs")
        logs = self.wait_for_logs(line, 1, b"...")
        written = os.stat(os.path.join(log_folder, logs[0])).st_mtime
        r.process.kill()
        r.process.wait()
        (record,) = line.export()
        # Named by the local day and time of its start, fixture, MAC and id,
        # and headed with whose it is; the record's transcript has no header.
        started = time.localtime(utc_seconds(record["started"]))
        self.assertEqual(logs[0], "%s/A1-%s-%s-%s.log" % (
            time.strftime("%Y-%m-%d", started), mac(1), time.strftime("%H%M%S", started),
            record["id"][:8]))
        self.assertEqual(read(os.path.join(log_folder, logs[0])).decode(),
                         "station: line1\nfixture: A1\nMAC: %s\nrecord: %s\nstarted: %s (%s)\n"
                         "operator: %s\n\n%s"
                         % (mac(1), record["id"], record["started"],
                            time.strftime("%Y-%m-%d %H:%M:%S %z", started),
                            pwd.getpwuid(os.getuid()).pw_name, record["transcript"]))
        self.assertEqual((record["outcome"], record["stage"], record["frames"],
                          record["message"]), ("interrupted", "board data", 2, "Programming..."))
        self.assertTrue(record["transcript"].startswith("####"))
        self.assertTrue(record["transcript"].endswith("\nProgramming..."))
        # The log's path in the history; the log itself by the MAC.
        out, _, status = line.station("history", mac(1))
        self.assertEqual(status, 0)
        self.assertIn("\n   record     %s\n   log        %s\n####" % (
            record["id"], os.path.join(log_folder, logs[0])), out)
        out, err, status = line.station("log", mac(1).lower())
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out.encode(), read(os.path.join(log_folder, logs[0])))
        # Gone, it is said where it was made.
        shutil.rmtree(log_folder)
        out, err, status = line.station("log", mac(1))
        self.assertEqual(status, 1)
        self.assertIn("the log of MAC %s's latest record %s (station line1, fixture A1" %
                      (mac(1), record["id"]), err)
        self.assertIn("   log        not on this machine\n", line.station("history", mac(1))[0])
        ended = time.mktime(time.strptime(record["ended"][:19], "%Y-%m-%dT%H:%M:%S"))
        self.assertAlmostEqual(ended - time.timezone, written, delta=1.5)


    def test_a_record_printed_as_written_nowhere_is_given_back_once_and_no_other(self):
        line = self.line(fixtures=1, stall=60)
        line.plug(1, "--silent-from", "3")
        r = self.round(line, "run", *self.macs([1]))
        r.wait_for(1, "started")
        self.wait_for_logs(line, 1, b"...")
        r.process.kill()
        r.process.wait()
        (record,) = line.export()
        self.assertEqual(record["outcome"], "interrupted")
        # The board's true end, as a station whose store and spool were
        # full prints it on standard error.
        true_end = dict(record, outcome="passed", stage="", message="", frames=FRAMES,
                        exit_status=0, ended=record["ended"][:-5] + "9.000Z", mac_kept=False,
                        transcript=record["transcript"] + "\nProgramming TIV successful\n")

        def printed(*records):
            path = os.path.join(line.path, "printed-%d.txt" % len(os.listdir(line.path)))
            with open(path, "w") as f:
                f.write("station: a line of its own\n")
                for rec in records:
                    f.write("station: " + json.dumps({"unrecorded": rec, "why": "disk full"}) + "\n")
            return path

        for what, records, status, said in (
                ("given back", [true_end], 0, "(A1 %s) passed: in the store" % mac(1)),
                ("given again: the same", [true_end], 0, "passed: in the store"),
                ("another end since", [dict(true_end, outcome="failed")], 2,
                 "is passed in the store since"),
                ("unknown", [dict(true_end, id="0" * 8 + true_end["id"][8:])], 2,
                 "is unknown to the store"),
                ("another station's", [dict(true_end, station="line9")], 2,
                 "is of station line9, not line1")):
            with self.subTest(what):
                out, err, got = line.station("record", "--from", printed(*records))
                self.assertEqual(got, status, out + err)
                self.assertIn(said, out + err)
        (stored,) = line.export()
        self.assertEqual((stored["outcome"], stored["frames"], stored["ended"]),
                         ("passed", FRAMES, true_end["ended"]))
        out, err, got = line.station("record", "--from", printed())
        self.assertEqual(got, 2)
        self.assertIn("holds no record printed as written nowhere", err)


def this_machine():
    try:
        with open("/etc/machine-id") as f:
            return f.readline().strip() or os.uname().nodename
    except OSError:
        return os.uname().nodename


class SnapshotsLeft(FaultCase):
    """Each round copies the images into a snapshot of its own, which a
    killed station leaves; the next command of that station removes those,
    and only what it can tell a dead round of its own left."""

    def test_the_next_command_removes_only_what_killed_rounds_left(self):
        line = self.line(fixtures=1, stall=60)
        line.plug(1, "--boards", "--silent-from", "3")

        def snapshots():
            return sorted(name for name in os.listdir(line.path)
                          if name.startswith(".station-round-"))
        killed = []
        for n in range(3):
            r = self.round(line, "run", "--mac", "A1=" + mac(70 + n))
            r.wait_for(1, "started")
            # Its own snapshot is locked while it runs: the round beside
            # it, were there one, would not take it.
            self.assertEqual(len(snapshots()), 1)
            r.process.kill()
            out, err, status = r.end()
            self.assertEqual("removed 1 snapshot " in err, n > 0, err)
            for name in killed:
                self.assertIn(name, err)
            killed = snapshots()
            self.assertEqual(len(killed), 1)
        # Folders the station must leave: no mark, another station's or
        # machine's, one whose round still holds it, one that only links.
        held = []
        marks = {"no mark": None, "another station": ("other", this_machine()),
                 "another machine": ("line1", "elsewhere"),
                 "a round still running": ("line1", this_machine())}
        for name, mark in marks.items():
            folder = os.path.join(line.path, ".station-round-" + name.replace(" ", "_"))
            os.mkdir(folder)
            if mark:
                path = os.path.join(folder, ".station-owner")
                with open(path, "w") as f:
                    f.write("station %s\nmachine %s\n" % mark)
                if name == "a round still running":
                    held.append(open(path))
                    fcntl.flock(held[-1], fcntl.LOCK_EX)
        os.symlink(killed[0], os.path.join(line.path, ".station-round-a_link"))
        others = snapshots()
        out, err, status = line.station("lock")
        self.assertEqual(status, 0, err)
        self.assertIn("removed 1 snapshot of the images that rounds of this station left when "
                      "they ended unfinished, in %s: %s" % (line.path, killed[0]), err)
        self.assertEqual(snapshots(), sorted(set(others) - set(killed)))
        # Let go, the last one is a dead round's too.
        held[0].close()
        out, err, status = line.station("lock")
        self.assertIn(".station-round-a_round_still_running", err)
        out, err, status = line.station("lock")
        self.assertNotIn("removed", err)


class NoClaimFreedByAGuess(FaultCase):
    def test_a_board_killed_in_its_otp_job_without_its_log_keeps_its_mac_until_released(self):
        line = self.line(fixtures=3, stall=60)
        line.station_file(fixtures=3, stall=60, extra='[mac]\nimage = "otp"\noffset = 16\n')
        self.assertEqual(line.station("lock")[2], 0)
        kept = mac(1)
        line.plug(1, "--silent-from", "5")  # the second OTP frame goes unanswered
        r = self.round(line, "run", "--fixtures", "A1", "--mac", "A1=" + kept)
        r.wait_for(1, "started")
        self.wait_for_logs(line, 1, b"Opening otp.bin\nFile size 1500 bytes\n\nProgramming..")
        # The log goes first, then the station, without a word.
        shutil.rmtree(os.path.join(line.path, "station-logs"))
        r.process.kill()
        r.process.wait()
        (record,) = line.export()
        self.assertEqual((record["outcome"], record["stage"], record["frames"]),
                         ("interrupted", "", 0))
        line.plug(1)  # a port's link goes with its agent, as udev removes it
        line.plug(2)
        out, err, status = line.station("run", "--fixtures", "A2", "--mac", "A2=" + kept)
        self.assertEqual(status, 1, out + err)
        self.assertIn("A2 skipped: MAC %s was being programmed on station line1, fixture A1"
                      % kept, out)
        self.assertIn("station retry --mac %s programs that board again; station release %s "
                      "--reason TEXT frees it" % (kept, kept), out)
        # Not while a command of the station that holds it runs.
        line.plug(3, "--silent-from", "2")
        holder = self.round(line, "run", "--fixtures", "A3", "--mac", "A3=" + mac(3))
        holder.wait_for(1, "started")
        out, err, status = line.station("release", kept, "--reason", "board scrapped")
        self.assertEqual(status, 2, out + err)
        self.assertIn("station line1 holds its lock on the store", err)
        holder.process.send_signal(signal.SIGINT)
        self.assertEqual(holder.end()[2], 1)
        out, err, status = line.station("release", kept, "--reason", "board scrapped")
        # Its station may yet deliver the board's true end: said, and done.
        self.assertEqual(status, 0, err)
        self.assertRegex(err, r"^station: note: station line1 may still hold this board's true "
                              r"outcome in its spool \(last heard from at [-0-9T:.]+Z\); if it "
                              r"arrives after MAC %s went to another board, the MAC is shown on "
                              r"two boards \(station conflicts\)\n$" % kept)
        self.assertEqual(out, "released MAC %s from record %s (station line1, fixture A1, "
                              "interrupted)\n" % (kept, record["id"]))
        line.plug(2)
        out, err, status = line.station("run", "--fixtures", "A2", "--mac", "A2=" + kept)
        self.assertEqual((status, err), (0, ""), out)
        out, _, _ = line.station("history", kept)
        self.assertRegex(out, r"== MAC %s released \S+ \S+ by \S+@\S* from record %s of station "
                              r"line1: board scrapped\n" % (kept, record["id"]))

    def test_a_lock_file_removed_mid_round_frees_no_claim(self):
        line = self.line(fixtures=2, stall=60)
        with open(os.path.join(line.path, "other.toml"), "w") as f:
            f.write('station = "line2"\nconfig = "images/tivConfig.txt"\nhost = "%s"\n'
                    '[[fixture]]\nname = "B1"\nport = "%s"\n' % (os.environ["HOST"],
                                                                 line.port(2)))
        self.assertEqual(line.station("-f", "other.toml", "lock")[2], 0)
        line.plug(1, "--delay", "200")
        r = self.round(line, "run", "--fixtures", "A1", "--mac", "A1=" + mac(1))
        r.wait_for(1, "started")
        os.unlink(os.path.join(line.path, ".records.db.line1.alive"))
        # Another command of the station finds no live round and marks its
        # board interrupted; the MAC stays with that board.
        self.assertEqual(line.station("report")[2], 0)
        line.plug(2)
        out, err, status = line.station("-f", "other.toml", "run", "--mac", "B1=" + mac(1))
        self.assertEqual(status, 1, out + err)
        self.assertRegex(out, "B1 skipped: MAC %s (was being programmed|was programmed) on "
                              "station line1" % mac(1))
        out, err, status = r.end()
        self.assertEqual((status, err), (0, ""), out)
        self.assertEqual([(x["station"], x["outcome"]) for x in line.export()],
                         [("line1", "passed")])


class PortLost(FaultCase):
    def test_an_unplugged_port_fails_its_board_at_once(self):
        line = self.line(fixtures=2, stall=60)
        line.plug(1, "--delay", "100")
        line.plug(2, "--hangup-at", "4")
        # Far less than the stall time.
        out, err, status = line.station("run", *self.macs([1, 2]), timeout=30)
        self.assertEqual((status, err), (1, ""))
        self.assertEqual(self.outcomes(line),
                         [("A1", "passed", "", "", FRAMES, 0),
                          ("A2", "failed", "OTP", "port lost at frame 4", 3, None)])


class Attempts(FaultCase):
    def test_attempts_count_every_record_of_the_mac_on_every_station(self):
        line = self.line(fixtures=1)
        for answer in ("3=000600000000", "5=000600000000"):
            line.plug(1, "--answer", answer)
            self.assertEqual(line.station("run", *self.macs([1]))[2], 1)
        other = os.path.join(line.path, "other.toml")
        with open(other, "w") as f:
            f.write('station = "line2"\nconfig = "images/tivConfig.txt"\nhost = "%s"\n'
                    '[[fixture]]\nname = "B1"\nport = "%s"\n' % (os.environ["HOST"],
                                                                 line.port(1)))
        self.assertEqual(line.station("-f", other, "lock")[2], 0)
        line.plug(1)
        self.assertEqual(line.station("-f", other, "run", "--mac", "B1=" + mac(1))[2], 0)
        self.assertEqual(sorted((r["attempt"], r["station"], r["outcome"])
                                for r in line.export()),
                         [(1, "line1", "failed"), (2, "line1", "failed"),
                          (3, "line2", "passed")])


class FullDisk(FaultCase):
    """The station's folder on a small file system of its own."""

    def disk_line(self, size):
        line = self.line(fixtures=2, stall=60)
        disk = os.path.join(line.path, "disk")
        os.mkdir(disk)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=%s" % size, "tmpfs", disk],
                       check=True, timeout=RUN_TIMEOUT)
        self.addCleanup(subprocess.run, ["umount", "-l", disk], timeout=RUN_TIMEOUT)
        with open(os.path.join(line.path, "station.toml")) as f:
            text = f.read()
        text = text.replace('config = "images/', 'config = "../images/')
        with open(os.path.join(disk, "station.toml"), "w") as f:
            f.write(text)
        self.assertEqual(self.station_in(line, disk, "lock")[2], 0)
        return line, disk

    def station_in(self, line, folder, *args, timeout=RUN_TIMEOUT * 2):
        result = subprocess.run([os.environ["STATION"], *args], cwd=folder, env=line.env(),
                                capture_output=True, timeout=timeout, stdin=subprocess.DEVNULL)
        return result.stdout.decode(), result.stderr.decode(), result.returncode

    def fill(self, disk):
        """Fills the file system to its last byte."""
        fd = os.open(os.path.join(disk, "filler"), os.O_WRONLY | os.O_CREAT | os.O_APPEND)
        for size in (65536, 4096, 512, 1):
            try:
                while True:
                    os.write(fd, b"\0" * size)
            except OSError:
                pass
        os.close(fd)

    @root_only
    def test_a_disk_filled_mid_round_stops_no_board_and_loses_no_record(self):
        line, disk = self.disk_line("4M")
        agents = [line.plug(n, "--delay", "200") for n in (1, 2)]
        r = self.round(line, "run", *self.macs([1, 2]), cwd=disk)
        r.wait_for(2, "started")
        self.fill(disk)
        out, err, status = r.end()
        for agent in agents:
            agent.stop()
            self.assertEqual(len(agent.frames()), FRAMES, "every frame reached the board")
        # What neither the store nor the spool took is on standard error,
        # whole. (SQLite may take a later record into the pages a failed
        # write left in its log, so which ones varies.)
        told = [json.loads(l[len("station: "):]) for l in err.splitlines()
                if l.startswith("station: {")]
        told = {t["unrecorded"]["fixture"]: t["unrecorded"] for t in told}
        self.assertEqual(status, 2 if told else 0, err)
        for record in told.values():
            self.assertEqual(record["outcome"], "passed")
            self.assertTrue(record["transcript"].endswith("Programming TIV successful\n"))
        os.unlink(os.path.join(disk, "filler"))
        printed = os.path.join(line.path, "printed.txt")
        with open(printed, "w") as f:
            f.write(err)
        out, err, status = self.station_in(line, disk, "export", "--json")
        self.assertEqual(status, 0, err)
        passed = {r["fixture"] for r in json.loads(out) if r["outcome"] == "passed"}
        self.assertEqual((passed | set(told), passed & set(told)), ({"A1", "A2"}, set()))
        # What was printed is given back: every board passed in the store.
        if told:
            out, err, status = self.station_in(line, disk, "record", "--from", printed)
            self.assertEqual((status, err), (0, ""), out)
            out, err, status = self.station_in(line, disk, "export", "--json")
            self.assertEqual({r["fixture"]: r["outcome"] for r in json.loads(out)},
                             {"A1": "passed", "A2": "passed"})

    @root_only
    def test_a_record_written_nowhere_is_kept_and_written_once_the_disk_has_room(self):
        line, disk = self.disk_line("4M")
        line.plug(1, "--delay", "50")
        waiting = line.plug(2, "--silent-from", "3")
        r = self.round(line, "run", *self.macs([1, 2]), cwd=disk)
        r.wait_for(2, "started")
        self.fill(disk)
        # A1 passes on a full disk: its row says its record is nowhere yet.
        r.wait_for(1, "is written nowhere yet")
        (held,) = [l for l in r.lines if "is written nowhere yet" in l]
        self.assertRegex(held, r"^A1 %s: its record [0-9a-f-]{36} is written nowhere yet \(.*full"
                         r".*\); the station keeps it and tries again\n$" % mac(1))
        os.unlink(os.path.join(disk, "filler"))
        r.wait_for(1, "is written, in the spool")
        waiting.process.kill()  # A2's line drops: the round ends
        out, err, status = r.end()
        self.assertNotIn('"unrecorded"', err)
        self.assertEqual(status, 1, "A2 failed; nothing is lost: " + err)
        out, err, status = self.station_in(line, disk, "export", "--json")
        self.assertEqual(status, 0, err)
        self.assertEqual({r["fixture"]: (r["outcome"], r["frames"]) for r in json.loads(out)},
                         {"A1": ("passed", FRAMES), "A2": ("failed", 2)})

    @root_only
    def test_a_round_does_not_start_without_room_for_its_records(self):
        line, disk = self.disk_line("4M")
        agent = line.plug(1)
        line.plug(2)
        self.fill(disk)
        os.truncate(os.path.join(disk, "filler"), os.path.getsize(os.path.join(disk, "filler"))
                    - 512 * 1024)
        out, err, status = self.station_in(line, disk, "run", *self.macs([1, 2]))
        self.assertEqual(status, 2, out + err)
        self.assertRegex(err, r"disk has \d+ KiB free; the records of 2 board\(s\) need 1152 KiB")
        agent.process.terminate()
        agent.stop()
        self.assertEqual(agent.frames(), [])


if __name__ == "__main__":
    unittest.main()
