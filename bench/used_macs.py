"""The generator of used MACs: marks COUNT consecutive MACs from FIRST as used
in a station's store, as a pool that handed them all out would have left
them (the table of used MACs and its one run), and forgets every pool's
place, as a pool changed in the station file starts from its first MAC
again. The MACs must not be used yet. For the benchmark and the
tests of a pool a million MACs into its life.

    python3 bench/used_macs.py LOCATION FIRST COUNT

LOCATION: a SQLite file, or a PostgreSQL connection string (run through psql).
"""

import shutil
import sqlite3
import subprocess
import sys


def statements(first, count, postgres):
    """The SQL that marks them used."""
    start = int(first, 16)
    if postgres:
        rows = ("INSERT INTO macs_used SELECT upper(lpad(to_hex(%d + i), 12, '0')) "
                "FROM generate_series(0, %d) AS i" % (start, count - 1))
    else:
        rows = ("INSERT INTO macs_used WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL "
                "SELECT i + 1 FROM n WHERE i + 1 < %d) SELECT printf('%%012X', %d + i) FROM n"
                % (count, start))
    return [rows, "INSERT INTO used_runs VALUES (%d, %d)" % (start, start + count - 1),
            "DELETE FROM pools"]


def fill(location, first, count, psql=None):
    """Marks the MACs used in the store at `location` (made by the station)."""
    if "=" in location or location.startswith(("postgresql://", "postgres://")):
        psql = psql or shutil.which("psql")
        script = "BEGIN;\n%s;\nCOMMIT;\n" % ";\n".join(statements(first, count, True))
        subprocess.run([psql, "-X", "-q", "-v", "ON_ERROR_STOP=1", location], input=script,
                       text=True, check=True, capture_output=True, timeout=600)
        return
    with sqlite3.connect(location) as db:
        for statement in statements(first, count, False):
            db.execute(statement)


if __name__ == "__main__":
    fill(sys.argv[1], sys.argv[2], int(sys.argv[3]))
