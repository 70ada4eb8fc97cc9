"""Figure 12: the station's commands over a year's record. Makes a store of
COUNT records (bench/year_store.py: a year of boards on 20 stations, with
transcripts of a real run's size) on SQLite and on a PostgreSQL server of
its own, then times each command and takes its peak memory (the child's own
maximum resident set, from wait4): report of the whole store, of one day,
by shift and by lot; export as CSV (records a second); one board's history;
and a claim of a pool's MAC beside the big store against one beside an
empty store (figure 11's hand-out).

    python3 bench/year_bench.py [--records N] [--ten-million] [--sqlite-only] [--keep FOLDER]

--ten-million: 10,000,000 records, for a long run by hand; --keep FOLDER
keeps the stores made there (about 15 GB each at 10,000,000) for the next
run, which reads them without making or writing them.
Needs STATION and STORE_BENCH (the release build's) in the environment.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import postgres  # noqa: E402  (the tests' own PostgreSQL server)
import serve_bench  # noqa: E402
import year_store  # noqa: E402

SHIFTS = '[shifts]\nearly = "06:00"\nlate = "14:00"\nnight = "22:00"\n'


def station_file(folder, store):
    path = os.path.join(folder, "station.toml")
    with open(path, "w") as f:
        f.write('station = "bench"\nstore = "%s"\nconfig = "tivConfig.txt"\n%s'
                '[[fixture]]\nname = "A1"\nport = "/dev/null"\n' % (store, SHIFTS))
    return path


def measured(folder, *args):
    """Wall seconds, peak resident kB and output lines of one command, the
    best of three (the first warms the store's pages)."""
    best, peak = None, 0
    for _ in range(3):
        lines = [0]

        def count(chunk):
            lines[0] += chunk.count(b"\n")
        status, rss, wall = year_store.measured([os.environ["STATION"], *args], folder, None,
                                                count)
        if status != 0:
            raise RuntimeError("station %s failed" % " ".join(args))
        peak = max(peak, rss)
        best = min(best or wall, wall)
    return best, peak, lines[0]


def plain_query_rate(engine, store):
    """The records' own columns in the export's order, as CSV from the
    engine's own client (sqlite3, psql's COPY): the pace of the database,
    the best of three; none without the client."""
    query = ("SELECT id, station, fixture, port, device, mac, profile, board_data_sha256, "
             "otp_sha256, firmware_sha256, otp_address, host_version, attempt, rework, started, "
             "ended, outcome, stage, message, frames, exit_status, lot, operator FROM records r "
             "ORDER BY r.started, r.fixture")
    if engine == "SQLite":
        client = shutil.which("sqlite3")
        command = [client, "-csv", store, query]
    else:
        client = shutil.which("psql") or postgres.binary("psql")
        command = [client, "-X", "-c", "COPY (%s) TO STDOUT CSV" % query, store]
    if not client:
        return None
    best, lines = None, 0
    for _ in range(3):
        start = time.monotonic()
        with subprocess.Popen(command, stdout=subprocess.PIPE) as reading:
            lines = sum(chunk.count(b"\n") for chunk in iter(
                lambda: reading.stdout.read(1 << 16), b""))
        took = time.monotonic() - start
        best = min(best or took, took)
    return lines / best


def handout(location):
    out = subprocess.run([os.environ["STORE_BENCH"], "--pool", location, "1000"], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1])


def measured_once(folder, *args):
    status, rss, wall = year_store.measured([os.environ["STATION"], *args], folder, None,
                                            lambda chunk: None)
    if status != 0:
        raise RuntimeError("station %s failed" % " ".join(args))
    return wall, rss


def store_figures(engine, folder, store, count, empty_store, kept=False):
    """The figure's rows for one engine; `kept`: the store was made by an
    earlier run and is read, not made (nor written: no hand-out)."""
    rows = []
    station_file(folder, store)
    what = "%s, %d records" % (engine, count)
    if engine == "SQLite":
        what += ", %.2f GB" % (os.path.getsize(store) / 1e9) if os.path.exists(store) else ""
    if kept:
        rows.append(("12. the store, %s" % engine, "", "", "", what + ", kept from an earlier run"))
    else:
        subprocess.run([os.environ["STATION"], "init"], cwd=folder, check=True,
                       capture_output=True)
        start = time.monotonic()
        year_store.fill(store, count, psql=shutil.which("psql") or postgres.binary("psql"))
        made = time.monotonic() - start
        # The upgrade of a store that has its records: the counts, once.
        wall, rss = measured_once(folder, "init")
        if engine == "SQLite":
            what += ", %.2f GB" % (os.path.getsize(store) / 1e9)
        rows.append(("12. init: the kept counts made from every record, %s" % engine,
                     "%.1f s" % wall, "", "", "peak %.1f MB; %s, made in %.0f s"
                     % (rss / 1024, what, made)))
    cases = [("report, the whole year", ["report"], "< 1 s"),
             ("report, one day", ["report", "--since", "2026-06-15", "--until", "2026-06-15"],
              "< 50 ms"),
             ("report --by shift", ["report", "--by", "shift"], "< 1 s"),
             ("report --by lot", ["report", "--by", "lot"], "< 1 s"),
             ("report --by station", ["report", "--by", "station"], "< 1 s"),
             ("report --by fixture", ["report", "--by", "fixture"], "< 1 s"),
             ("report --by operator", ["report", "--by", "operator"], "< 1 s"),
             ("report, the whole year, --recount", ["report", "--recount"], ""),
             ("history MAC", ["history", "02000004D2A0"], "< 50 ms")]
    for name, args, goal in cases:
        wall, rss, _ = measured(folder, *args)
        limit = {"< 1 s": 1.0, "< 50 ms": 0.05}.get(goal)
        rows.append(("12. %s, %s" % (name, engine), "%.3f s" % wall, goal,
                     "%.3f" % (wall / limit) if limit else "", "peak %.1f MB" % (rss / 1024)))
    rows += serve_bench.store_rows(engine, folder, "")
    wall, rss, lines = measured(folder, "export", "--csv")
    rate = (lines - 1) / wall
    goal = 400000 if engine == "SQLite" else 250000
    plain = plain_query_rate(engine, store)
    rows.append(("    export --csv, %s" % engine, "%.0f records/s" % rate, "> %d/s" % goal,
                 "%.3f" % (goal / rate), "%.1f s; peak %.1f MB%s" % (
                     wall, rss / 1024, "; the plain query %.0f records/s" % plain
                     if plain else "")))
    if kept:
        return rows
    before = handout(empty_store)
    after = handout(store)
    rows.append(("    a pool's MAC and its record, %s" % engine, "%.2f ms" % after[0],
                 "within 20%", "%.3f" % (after[0] / before[0]),
                 "beside the big store; %.2f ms beside an empty one (medians of 1000)"
                 % before[0]))
    return rows


def figures(count=1_000_000, sqlite_only=False, keep=None):
    """`keep`: a folder the big stores stay in between runs (made there by
    the first run; the later ones read them)."""
    rows = []
    with tempfile.TemporaryDirectory(prefix="year_bench_") as folder:
        os.chmod(folder, 0o755)
        sqlite_folder = os.path.join(folder, "sqlite")
        os.mkdir(sqlite_folder)
        empty = os.path.join(folder, "empty.db")
        store = os.path.join(keep or sqlite_folder, "records-%d.db" % count)
        kept = keep is not None and os.path.exists(store + ".made")
        if keep is not None and not kept and os.path.exists(store):
            os.remove(store)  # cut short while it was made
        rows += store_figures("SQLite", sqlite_folder, store, count, empty, kept)
        if keep is None:
            os.remove(store)
        else:
            open(store + ".made", "w").close()
        if sqlite_only:
            return rows
        server_folder = os.path.join(keep, "pg-%d" % count) if keep else None
        kept = keep is not None and os.path.exists(os.path.join(server_folder, "made"))
        if keep is not None and not kept:
            shutil.rmtree(server_folder, ignore_errors=True)
        server = postgres.Server(folder=server_folder)
        try:
            if not kept:
                server.sql("CREATE DATABASE year")
                server.sql("CREATE DATABASE empty")
            pg_folder = os.path.join(folder, "pg")
            os.mkdir(pg_folder)
            empty_folder = os.path.join(folder, "pg_empty")
            os.mkdir(empty_folder)
            station_file(empty_folder, server.keywords("empty"))
            subprocess.run([os.environ["STATION"], "init"], cwd=empty_folder, check=True,
                           capture_output=True)
            rows += store_figures("PostgreSQL", pg_folder, server.keywords("year"), count,
                                  server.keywords("empty"), kept)
            if keep is not None:
                open(os.path.join(server_folder, "made"), "w").close()
        finally:
            if keep is None:
                server.remove()
            else:
                server.stop()
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--ten-million", action="store_true")
    parser.add_argument("--sqlite-only", action="store_true")
    parser.add_argument("--keep", metavar="FOLDER",
                        help="keep the stores there between runs (made by the first)")
    args = parser.parse_args()
    count = 10_000_000 if args.ten_million else args.records
    rows = figures(count, args.sqlite_only, args.keep)
    widths = [max(len(str(r[i])) for r in rows) for i in range(5)]
    for r in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)).rstrip())


if __name__ == "__main__":
    main()
