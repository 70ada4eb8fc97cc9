"""A PostgreSQL server of the test's own: initdb and pg_ctl in a temporary
folder, run as an unprivileged user (initdb refuses root), listening on a Unix
socket only, with password-less local connections."""

import glob
import os
import shutil
import subprocess
import tempfile
import time
import unittest

import tcp_proxy

NOBODY = 65534


def binary(name):
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/" + name))
    if not found:
        raise unittest.SkipTest("no PostgreSQL server installed (Debian's postgresql)")
    return found[-1]


class Server:
    def __init__(self, made=True, folder=None):
        """`folder`: a server kept between runs there (a benchmark's big
        store), started again when it has one; removed by no one."""
        kept = folder is not None and os.path.isdir(os.path.join(folder, "data"))
        if folder is not None:
            os.makedirs(folder, exist_ok=True)
        self.folder = folder or tempfile.mkdtemp(prefix="station_pg_")
        os.chmod(self.folder, 0o755)
        self.data = os.path.join(self.folder, "data")
        self.socket = os.path.join(self.folder, "socket")
        os.makedirs(self.socket, exist_ok=True)
        self.user = NOBODY if os.geteuid() == 0 else None
        if self.user is not None:
            os.chown(self.socket, NOBODY, NOBODY)
            os.chown(self.folder, NOBODY, NOBODY)
        self.role = "nobody" if self.user is not None else os.environ.get("USER", "postgres")
        if kept:
            self.start()
        elif made:
            self.run(binary("initdb"), "-D", self.data, "-A", "trust", "-U", self.role,
                     "--no-sync", "-E", "UTF8")
            self.start()

    def run(self, *command):
        subprocess.run(command, check=True, capture_output=True, user=self.user,
                       group=self.user, cwd=self.folder, timeout=120)

    def start(self):
        self.run(binary("pg_ctl"), "-D", self.data, "-w", "-l",
                 os.path.join(self.folder, "log"), "-o",
                 "-c listen_addresses='' -c unix_socket_directories=%s" % self.socket, "start")

    def restart(self):
        """As a routine update does: every session ended at once."""
        self.run(binary("pg_ctl"), "-D", self.data, "-w", "-m", "fast", "-l",
                 os.path.join(self.folder, "log"), "-o",
                 "-c listen_addresses='' -c unix_socket_directories=%s" % self.socket, "restart")

    def processes(self):
        """The postmaster and every process it started."""
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            postmaster = int(f.readline())
        with open("/proc/%d/task/%d/children" % (postmaster, postmaster)) as f:
            return [postmaster] + [int(p) for p in f.read().split()]

    def stop(self, mode="fast"):
        """`immediate`: as a server that dies (no checkpoint, sessions cut)."""
        self.run(binary("pg_ctl"), "-D", self.data, "-w", "-m", mode, "stop")

    def promote(self):
        """A standby made the primary, as a failover does."""
        self.run(binary("pg_ctl"), "-D", self.data, "-w", "promote")

    def keywords(self, database="postgres"):
        """A libpq keyword=value connection text."""
        return "host=%s user=%s dbname=%s" % (self.socket, self.role, database)

    def uri(self, database="postgres"):
        return "postgresql:///%s?host=%s&user=%s" % (database, self.socket, self.role)

    def sql(self, statement, database="postgres"):
        psql = shutil.which("psql") or binary("psql")
        return subprocess.run([psql, "-X", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-c", statement,
                               self.keywords(database)], check=True, capture_output=True,
                              text=True, timeout=60).stdout.strip()

    def remove(self):
        try:
            self.stop()
        except subprocess.CalledProcessError:
            pass  # already stopped
        shutil.rmtree(self.folder, ignore_errors=True)


class Standby(Server):
    """A streaming standby of `primary` (pg_basebackup -R), its WAL through a
    TCP proxy of the test's own so that it can be kept from the primary's
    last commits; with `synchronous`, the primary's commits wait for it."""

    NAME = "standby1"

    def __init__(self, primary, synchronous):
        super().__init__(made=False)
        self.proxy = tcp_proxy.Proxy(os.path.join(primary.socket, ".s.PGSQL.5432"))
        # The copy straight from the primary's socket, its checkpoint at
        # once; the stream after it through the proxy.
        self.run(binary("pg_basebackup"), "-D", self.data, "-R", "-X", "stream", "-c", "fast",
                 "-d", primary.keywords())
        with open(os.path.join(self.data, "postgresql.auto.conf"), "a") as conf:
            conf.write("primary_conninfo = '%s application_name=%s'\n" % (
                self.proxy.keywords(primary.role, "postgres"), self.NAME))
        self.start()
        if synchronous:
            primary.sql("ALTER SYSTEM SET synchronous_standby_names = '%s'" % self.NAME)
            primary.sql("SELECT pg_reload_conf()")
        state = "sync" if synchronous else "async"
        deadline = time.monotonic() + 60
        while primary.sql("SELECT sync_state FROM pg_stat_replication WHERE application_name "
                          "= '%s' AND state = 'streaming'" % self.NAME) != state:
            if time.monotonic() > deadline:
                raise AssertionError("the standby did not stream as " + state)
            time.sleep(0.1)  # polls the primary's view of its standby

    def caught_up(self, primary):
        """Waits until the standby has replayed all that the primary wrote."""
        deadline = time.monotonic() + 60
        while primary.sql("SELECT replay_lsn >= pg_current_wal_lsn() FROM pg_stat_replication "
                          "WHERE application_name = '%s'" % self.NAME) != "t":
            if time.monotonic() > deadline:
                raise AssertionError("the standby did not catch up")
            time.sleep(0.1)  # polls the primary's view of its standby

    def remove(self):
        super().remove()
        self.proxy.close()


def both(primary, standby, database):
    """A connection text naming both servers: libpq takes the one that
    writes."""
    return "host=%s,%s user=%s dbname=%s target_session_attrs=read-write" % (
        primary.socket, standby.socket, primary.role, database)
