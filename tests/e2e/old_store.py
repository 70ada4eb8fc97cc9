"""A store as the last version of the station laid it out (schema 3: each
record's transcript in its own row, no lot or operator, no live tables, no labels, no
kept counts), made from a store
the station of today filled with real rounds: the tables rewritten in that
version's own words, every record, transcript and claim kept. For the tests
of the upgrade."""

import subprocess
import sqlite3

# The records table of version 3, as that version created it.
RECORDS_3 = """CREATE TABLE records_3 (
    id TEXT PRIMARY KEY, station TEXT NOT NULL, fixture TEXT NOT NULL, port TEXT NOT NULL,
    device TEXT NOT NULL, mac TEXT NOT NULL, profile TEXT NOT NULL,
    board_data_sha256 TEXT NOT NULL, otp_sha256 TEXT NOT NULL, firmware_sha256 TEXT NOT NULL,
    otp_address TEXT NOT NULL, host_version TEXT NOT NULL, attempt INTEGER NOT NULL,
    rework INTEGER NOT NULL, started TEXT NOT NULL, ended TEXT NOT NULL, outcome TEXT NOT NULL,
    stage TEXT NOT NULL, message TEXT NOT NULL, frames INTEGER NOT NULL,
    exit_status TEXT NOT NULL, transcript BLOB NOT NULL, round TEXT NOT NULL)"""
KEPT = ("id, station, fixture, port, device, mac, profile, board_data_sha256, otp_sha256, "
        "firmware_sha256, otp_address, host_version, attempt, rework, started, ended, outcome, "
        "stage, message, frames, exit_status")
NEW_INDEXES = ("records_started", "records_station_started", "records_lot", "records_open")


def sqlite_to_3(path):
    db = sqlite3.connect(path, isolation_level=None)
    db.execute("BEGIN")
    db.execute(RECORDS_3)
    db.execute("INSERT INTO records_3 SELECT %s, coalesce((SELECT transcript FROM transcripts t "
               "WHERE t.record = r.id), X''), round FROM records r" % KEPT)
    db.execute("DROP TABLE transcripts")
    db.execute("DROP TABLE records")
    db.execute("DROP TABLE fixtures")
    db.execute("DROP TABLE heartbeats")
    db.execute("DROP TABLE labels")
    db.execute("DROP TABLE tallies")
    db.execute("DROP TABLE tally_boards")
    db.execute("ALTER TABLE profiles DROP COLUMN label_sha256")
    db.execute("ALTER TABLE records_3 RENAME TO records")
    db.execute("CREATE INDEX records_mac ON records (mac)")
    db.execute("CREATE INDEX records_round ON records (station, round)")
    db.execute("PRAGMA user_version = 3")
    db.execute("COMMIT")
    db.close()


def postgres_to_3(location, psql):
    script = """BEGIN;
ALTER TABLE records ADD COLUMN transcript BYTEA NOT NULL DEFAULT '';
UPDATE records r SET transcript = t.transcript FROM transcripts t WHERE t.record = r.id;
ALTER TABLE records ALTER COLUMN transcript DROP DEFAULT;
ALTER TABLE records DROP COLUMN lot, DROP COLUMN operator;
DROP TABLE transcripts, fixtures, heartbeats, labels, tallies, tally_boards;
ALTER TABLE profiles DROP COLUMN label_sha256;
DROP INDEX IF EXISTS %s;
UPDATE schema_version SET version = 3;
COMMIT;
""" % ", ".join(NEW_INDEXES)
    done = subprocess.run([psql, "-X", "-q", "-v", "ON_ERROR_STOP=1", location], input=script,
                          text=True, capture_output=True, timeout=600)
    if done.returncode != 0:
        raise RuntimeError("psql: " + done.stderr)
