"""The generator of a year's record: fills a station's store (made by the
station, empty) with the records of COUNT records' worth of boards, as a
line of stations would have left them: most boards pass at once; some fail
and pass on a retry minutes later, some fail for good, some are reworked
hours later, a few are interrupted; each with a lot, an operator, a round and
a transcript of a real run's size. The claims, used MACs and each fixture's
newest record follow the records. Deterministic: the same arguments make the same store.

    python3 bench/year_store.py LOCATION COUNT [--days N] [--transcript BYTES]

LOCATION: a SQLite file, or a PostgreSQL connection string (through psql's COPY).
"""

import argparse
import datetime
import shutil
import sqlite3
import subprocess
import sys

COLUMNS = ("id", "station", "fixture", "port", "device", "mac", "profile", "board_data_sha256",
           "otp_sha256", "firmware_sha256", "otp_address", "host_version", "attempt", "rework",
           "started", "ended", "outcome", "stage", "message", "frames", "exit_status", "round",
           "lot", "operator")
FIRST_MAC = 0x020000000000
HASH = "ab" * 32


def board_records(k, at, stations):
    """The records of board k, first tried at `at`: (offset s, attempt, rework,
    outcome, stage, message, frames, exit_status) each."""
    h = (k * 2654435761) % 100
    passed = ("passed", "", "", 67, "0")
    if h < 85:
        return [(0, 1, 0) + passed]
    if h < 93:
        frame = 3 + k % 60
        first = ("stalled", "OTP", "no answer to frame %d" % frame, frame - 1, "") \
            if h % 2 else ("failed", "firmware", "CRC Error at frame %d" % frame, frame - 1, "1")
        return [(0, 1, 0) + first, (420, 2, 0) + passed]
    if h < 96:
        return [(0, 1, 0) + passed, (3 * 3600, 2, 1) + passed]
    if h < 99:
        return [(0, 1, 0, "failed", "board data", "CRC Error", 0, "1")]
    return [(0, 1, 0, "interrupted", "OTP", "the station's command ended", 2, "")]


def utc(moment):
    return moment.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (moment.microsecond // 1000)


def records(count, start, days, stations=20, lot_size=2000):
    """COUNT records from `start` over `days` days, as (columns, transcript)."""
    # Boards average about 1.2 records.
    boards = max(1, int(count / 1.2))
    gap = days * 86400.0 / boards
    made = 0
    k = 0
    while made < count:
        at = start + datetime.timedelta(seconds=k * gap)
        station = "line%02d" % (k % stations)
        fixture = "A%d" % (k // stations % 16 + 1)
        mac = "%012X" % (FIRST_MAC + k)
        for n, (offset, attempt, rework, outcome, stage, message, frames, status) in enumerate(
                board_records(k, at, stations)):
            if made == count:
                return
            began = at + datetime.timedelta(seconds=offset)
            ended = began + datetime.timedelta(seconds=61, milliseconds=k % 1000)
            record = "%08x-%04x-4000-8000-%012x" % (k & 0xFFFFFFFF, n, k)
            row = (record, station, fixture, "/dev/serial/by-path/" + fixture, "/dev/ttyUSB%d" % (
                k % 16), mac, HASH, HASH, HASH, HASH, "00001000", "1.1.0", attempt, rework,
                utc(began), utc(ended), outcome, stage, message, frames, status,
                "r%d" % (k // stations // 16), "LOT-%03d" % (k // lot_size),
                "op%d" % (k // 100 % 4))
            yield row, transcript(k, frames, message)
            made += 1
        k += 1


TRANSCRIPT_SIZE = [1200]


def transcript(k, frames, message):
    text = ("host 1.1.0\nOpening board.bin\nProgramming board data" + "." * 3 +
            "\nOpening otp.bin\nProgramming OTP" + "." * 2 + "\nOpening firmware.bin\n"
            "Programming firmware")
    text += "." * max(0, TRANSCRIPT_SIZE[0] - len(text) - 40)
    return (text + ("\n" + message if message else "\nProgramming TIV successful") + "\n").encode()


def is_postgres(location):
    return "=" in location or location.startswith(("postgresql://", "postgres://"))


AFTER = ["INSERT INTO macs_used SELECT DISTINCT mac FROM records",
         "INSERT INTO claims SELECT mac, min(id), 'passed' FROM records WHERE outcome = 'passed' "
         "GROUP BY mac",
         # Each fixture's newest record, as the claims would have left it.
         "INSERT INTO fixtures (station, fixture, record) SELECT station, fixture, min(id) "
         "FROM records WHERE (station, fixture, started) IN (SELECT station, fixture, "
         "max(started) FROM records GROUP BY station, fixture) GROUP BY station, fixture",
         "INSERT INTO used_runs SELECT %d, %d WHERE EXISTS (SELECT 1 FROM records)"]


# Left as a store of the version before the counts a report reads were kept:
# the station's next `init` counts them from the records, as it does for a
# store that has a year of records already.
BEFORE_COUNTS = ["DELETE FROM tallies", "DELETE FROM tally_boards"]


def fill(location, count, days=365, start="2026-01-01", transcript_size=1200, psql=None):
    """Fills the store at `location` (made by the station, empty), which then
    needs the station's `init`."""
    TRANSCRIPT_SIZE[0] = transcript_size
    first = datetime.datetime.fromisoformat(start + "T06:00:00")
    rows = records(count, first, days)
    boards = max(1, int(count / 1.2)) + 1
    after = AFTER[:3] + [AFTER[3] % (FIRST_MAC, FIRST_MAC + boards)] + BEFORE_COUNTS
    if is_postgres(location):
        fill_postgres(location, rows, after, psql or shutil.which("psql"))
        return
    db = sqlite3.connect(location)
    # As a bulk load is done: the records' indexes made again after their
    # rows, not kept up row by row (past a few million rows the pages of the
    # indexes no longer fit the cache, and each row costs reads and writes
    # of them); a rollback journal, not a WAL as big as the store itself.
    db.execute("PRAGMA journal_mode=DELETE")
    db.execute("PRAGMA synchronous=OFF")
    db.execute("PRAGMA cache_size=-1048576")
    indexes = db.execute("SELECT name, sql FROM sqlite_master WHERE type = 'index' AND "
                         "tbl_name IN ('records', 'transcripts') AND sql IS NOT NULL").fetchall()
    marks = ", ".join("?" * len(COLUMNS))
    with db:
        for name, _ in indexes:
            db.execute("DROP INDEX %s" % name)
        for row, text in rows:
            db.execute("INSERT INTO records (%s) VALUES (%s)" % (", ".join(COLUMNS), marks), row)
            db.execute("INSERT INTO transcripts VALUES (?, ?)", (row[0], text))
        for _, sql in indexes:
            db.execute(sql)
        for statement in after:
            db.execute(statement)
    db.execute("PRAGMA user_version = 8")
    db.execute("PRAGMA journal_mode=WAL")
    db.close()


def copy_text(value):
    text = value.decode() if isinstance(value, bytes) else str(value)
    return text.replace("\\", "\\\\").replace("\t", "\\t").replace("\n", "\\n")


def fill_postgres(location, rows, after, psql):
    """Through psql: COPY from its standard input, in one transaction."""
    script = subprocess.Popen([psql, "-X", "-q", "-v", "ON_ERROR_STOP=1", location],
                              stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    out = script.stdin

    def send(text):
        out.write(text.encode())

    # The records' indexes made again after their rows (constraints' own
    # stay), as for SQLite.
    indexes = [line.split("\t", 1) for line in subprocess.run(
        [psql, "-X", "-A", "-t", "-F", "\t", "-c",
         "SELECT indexname, indexdef FROM pg_indexes WHERE tablename IN ('records', "
         "'transcripts') AND indexname NOT IN (SELECT conname FROM pg_constraint)", location],
        check=True, capture_output=True, text=True).stdout.splitlines() if line]
    send("BEGIN;\nSET maintenance_work_mem = '512MB';\n"
         "CREATE TEMP TABLE t (record TEXT, transcript TEXT);\n")
    for name, _ in indexes:
        send("DROP INDEX %s;\n" % name)
    after = [definition for _, definition in indexes] + after
    send("COPY records (%s) FROM STDIN;\n" % ", ".join(COLUMNS))
    kept = []
    for row, text in rows:
        send("\t".join(copy_text(v) for v in row) + "\n")
        kept.append((row[0], text))
        if len(kept) == 100000:
            break
    # The transcripts after their records: COPY takes one table at a time,
    # so records and transcripts go in alternating slices.
    while True:
        send("\\.\nCOPY transcripts FROM STDIN;\n")
        for record, text in kept:
            send(record + "\t\\\\x" + text.hex() + "\n")
        kept = []
        send("\\.\n")
        more = False
        for row, text in rows:
            if not more:
                send("COPY records (%s) FROM STDIN;\n" % ", ".join(COLUMNS))
                more = True
            send("\t".join(copy_text(v) for v in row) + "\n")
            kept.append((row[0], text))
            if len(kept) == 100000:
                break
        if not more:
            break
    send(";\n".join(after + ["UPDATE schema_version SET version = 8"]) + ";\nCOMMIT;\n")
    out.close()
    if script.wait() != 0:
        raise RuntimeError("psql could not fill the store")


# A small launcher that forks the command and reports its peak memory: a
# child's peak counts the pages of the process it was forked from, so the
# command is forked from this small one, not from a big test or benchmark.
LAUNCHER = """import os, sys, time
report = int(sys.argv[1])
start = time.monotonic()
pid = os.fork()
if pid == 0:
    os.close(report)
    os.execvp(sys.argv[2], sys.argv[2:])
_, status, usage = os.wait4(pid, 0)
os.write(report, b"%d %f" % (usage.ru_maxrss, time.monotonic() - start))
sys.exit(os.waitstatus_to_exitcode(status))
"""


def measured(command, cwd, env=None, take=None):
    """Runs `command`, handing its output to `take` (bytes at a time); returns
    its exit status, peak resident memory in kB and wall time in seconds
    (from its fork to its end, the launcher's own start left out)."""
    import os
    read, write = os.pipe()
    child = subprocess.Popen([sys.executable, "-c", LAUNCHER, str(write), *command], cwd=cwd,
                             env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                             pass_fds=(write,))
    os.close(write)
    for chunk in iter(lambda: child.stdout.read(1 << 16), b""):
        if take:
            take(chunk)
    child.stdout.close()
    status = child.wait()
    with os.fdopen(read, "rb") as report:
        peak, wall = (report.read() or b"0 0").split()
    return status, int(peak), float(wall)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("location")
    parser.add_argument("count", type=int)
    parser.add_argument("--days", type=int, default=365)
    parser.add_argument("--transcript", type=int, default=1200)
    args = parser.parse_args()
    fill(args.location, args.count, args.days, transcript_size=args.transcript)


if __name__ == "__main__":
    sys.exit(main())
