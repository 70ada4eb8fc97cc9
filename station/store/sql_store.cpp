// The tables and the claim rules, once for both engines: a MAC claimed in
// the same transaction that writes its record, refused by the claims
// table's primary key; settled when the record is finished.
#include "station/store/engines.h"

#include "station/base/base.h"

#include <algorithm>

namespace {

// The record's fields as the records table names them, each after `prefix`:
// the export's columns and the round, in the order of record_values (the
// transcript, last there, is kept in a table of its own).
std::string record_fields(const std::string& prefix = "") {
    std::string fields;
    for (const std::string& column : record_columns()) {
        fields += prefix + column + ", ";
    }
    return fields + prefix + "round";
}

} // namespace

// Only the tests a filter needs, so that each query can use the index that
// serves it.
std::string records_where(const RecordFilter& f, std::vector<std::string>& values) {
    std::string where = "1 = 1";
    for (const auto& [value, test] : {std::pair(&f.station, "r.station ="),
                                      {&f.mac, "r.mac ="},
                                      {&f.since, "r.started >="},
                                      {&f.until, "r.started <"},
                                      {&f.round, "r.round ="},
                                      {&f.id, "r.id ="},
                                      {&f.lot, "r.lot ="}}) {
        if (!value->empty()) {
            values.push_back(*value);
            where += std::string(" AND ") + test + " $" + std::to_string(values.size());
        }
    }
    return where;
}

namespace {

// A text as an SQL literal.
std::string literal(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += c == '\'' ? std::string("''") : std::string(1, c);
    }
    return quoted + "'";
}

// What a report reads its records from and the group each is counted in:
// the spans (a WITH before the query) joined by time, each span a look-up
// on the index by start; or one of the records' own columns.
struct Source {
    std::string with;
    std::string from;
    std::string group;
};

std::string placeholders(size_t count) {
    std::string text;
    for (size_t i = 1; i <= count; ++i) {
        text += (i > 1 ? ", $" : "$") + std::to_string(i);
    }
    return text;
}

Source grouped_source(const Grouping& grouping) {
    if (!grouping.column.empty()) {
        if (grouping.column != "station" && grouping.column != "fixture" &&
            grouping.column != "lot" && grouping.column != "operator") {
            throw StationError{"a report is not grouped by " + grouping.column};
        }
        return {"", "records r", "r." + grouping.column};
    }
    std::string spans;
    for (const Span& span : grouping.spans) {
        spans += std::string(spans.empty() ? "" : ", ") + "(" + literal(span.name) + ", " +
                 literal(span.since) + ", " + literal(span.until) + ")";
    }
    return {"WITH s (span_name, span_since, span_until) AS (VALUES " + spans + ") ",
            "s JOIN records r ON r.started >= s.span_since AND r.started < s.span_until",
            "s.span_name"};
}

} // namespace

std::string store_schema(const EngineTypes& types) {
    const std::string bytes = types.bytes, big = types.big;
    return R"(
CREATE TABLE IF NOT EXISTS profiles (
    station TEXT PRIMARY KEY, id TEXT NOT NULL, board_data_sha256 TEXT NOT NULL,
    otp_sha256 TEXT NOT NULL, firmware_sha256 TEXT NOT NULL, otp_address TEXT NOT NULL,
    locked TEXT NOT NULL, label_sha256 TEXT NOT NULL DEFAULT '');
CREATE TABLE IF NOT EXISTS records (
    id TEXT PRIMARY KEY, station TEXT NOT NULL, fixture TEXT NOT NULL, port TEXT NOT NULL,
    device TEXT NOT NULL, mac TEXT NOT NULL, profile TEXT NOT NULL,
    board_data_sha256 TEXT NOT NULL, otp_sha256 TEXT NOT NULL, firmware_sha256 TEXT NOT NULL,
    otp_address TEXT NOT NULL, host_version TEXT NOT NULL, attempt INTEGER NOT NULL,
    rework INTEGER NOT NULL, started TEXT NOT NULL, ended TEXT NOT NULL, outcome TEXT NOT NULL,
    stage TEXT NOT NULL, message TEXT NOT NULL, frames )" +
           big + R"( NOT NULL,
    exit_status TEXT NOT NULL, round TEXT NOT NULL, lot TEXT NOT NULL DEFAULT '',
    operator TEXT NOT NULL DEFAULT '');
-- What host printed for each record, apart: the records' own rows stay
-- small, so that counting a year of them reads little.
CREATE TABLE IF NOT EXISTS transcripts (
    record TEXT PRIMARY KEY REFERENCES records (id), transcript )" +
           bytes + R"( NOT NULL);
-- The MACs claimed: the primary key refuses a duplicate, whichever station asks.
CREATE TABLE IF NOT EXISTS claims (
    mac TEXT PRIMARY KEY, record TEXT NOT NULL REFERENCES records (id),
    state TEXT NOT NULL CHECK (state IN ('running', 'passed')));
-- MACs that a board keeps for ever: the image that carries its MAC was being
-- programmed (an OTP is written once). Only a retry of that record takes it.
CREATE TABLE IF NOT EXISTS kept (mac TEXT PRIMARY KEY, record TEXT NOT NULL);
-- Every MAC ever claimed or handed out: a pool hands out none of them.
CREATE TABLE IF NOT EXISTS macs_used (mac TEXT PRIMARY KEY);
-- Each pool's next MAC to try.
CREATE TABLE IF NOT EXISTS pools (
    first TEXT NOT NULL, last TEXT NOT NULL, next TEXT NOT NULL, PRIMARY KEY (first, last));
-- The used MACs again, as runs of consecutive numbers (first to last): a
-- pool skips a whole run with one look-up.
CREATE TABLE IF NOT EXISTS used_runs (first )" +
           big + R"( PRIMARY KEY, last )" + big + R"( NOT NULL);
-- The store's id, made with it: a spooled record goes to its own store only.
CREATE TABLE IF NOT EXISTS store_info (id TEXT PRIMARY KEY, made TEXT NOT NULL);
-- A number for each station name, made once: the key of its liveness lock.
CREATE TABLE IF NOT EXISTS stations (number )" +
           types.serial_key + R"(, name TEXT NOT NULL UNIQUE);
-- MACs a person freed from the board that held them, with who, when and why.
CREATE TABLE IF NOT EXISTS releases (
    mac TEXT NOT NULL, record TEXT NOT NULL, station TEXT NOT NULL, released TEXT NOT NULL,
    who TEXT NOT NULL, reason TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS releases_mac ON releases (mac);
-- MACs a late truth put on two boards: `late`'s true end came after its MAC
-- was released from it and programmed on `other`. Open until `resolved`.
CREATE TABLE IF NOT EXISTS conflicts (
    mac TEXT NOT NULL, late TEXT NOT NULL, other TEXT NOT NULL, found TEXT NOT NULL,
    resolved TEXT NOT NULL DEFAULT '', resolution TEXT NOT NULL DEFAULT '',
    PRIMARY KEY (mac, late));
-- Each fixture's newest record, set by its claim, and the frames its
-- running board has acknowledged so far (live, written at most once a
-- second, never part of the record).
CREATE TABLE IF NOT EXISTS fixtures (
    station TEXT NOT NULL, fixture TEXT NOT NULL, record TEXT NOT NULL,
    frames )" +
           big + R"( NOT NULL DEFAULT 0, total )" + big + R"( NOT NULL DEFAULT 0,
    written TEXT NOT NULL DEFAULT '', PRIMARY KEY (station, fixture));
-- Each board's labels: printed as it passed, again on request, or not.
CREATE TABLE IF NOT EXISTS labels (
    record TEXT NOT NULL, mac TEXT NOT NULL, event TEXT NOT NULL, at TEXT NOT NULL,
    printer TEXT NOT NULL, job TEXT NOT NULL, who TEXT NOT NULL, reason TEXT NOT NULL);
-- Each station's last check of its claims against the store's server: the
-- server's timeline then (PostgreSQL's, which each promotion of a standby
-- moves on).
CREATE TABLE IF NOT EXISTS claim_checks (
    station TEXT PRIMARY KEY, timeline )" +
           big + R"( NOT NULL, checked TEXT NOT NULL);
-- When, and by which station, each timeline of the server was first seen.
CREATE TABLE IF NOT EXISTS timelines (
    timeline )" +
           big + R"( PRIMARY KEY, seen TEXT NOT NULL, station TEXT NOT NULL);
-- The counts a report reads, kept as boards finish: per kind of cell
-- (hour: an hour of a station and lot; day: a day of them; fixture,
-- operator: a day of them and that item) the boards seen in that cell
-- alone, and the failures of its records (a line each: stage, outcome,
-- message with frame numbers folded, fixture, count).
CREATE TABLE IF NOT EXISTS tallies (
    kind TEXT NOT NULL, slot TEXT NOT NULL, station TEXT NOT NULL, lot TEXT NOT NULL,
    item TEXT NOT NULL, boards )" +
           big + R"( NOT NULL DEFAULT 0, passed )" + big + R"( NOT NULL DEFAULT 0,
    first_passed )" +
           big + R"( NOT NULL DEFAULT 0, running )" + big + R"( NOT NULL DEFAULT 0,
    verified )" +
           big + R"( NOT NULL DEFAULT 0, failures TEXT NOT NULL DEFAULT '',
    PRIMARY KEY (kind, slot, station, lot, item));
-- The boards seen in more than one cell of a kind, a row per cell.
CREATE TABLE IF NOT EXISTS tally_boards (
    kind TEXT NOT NULL, mac TEXT NOT NULL, slot TEXT NOT NULL, station TEXT NOT NULL,
    lot TEXT NOT NULL, item TEXT NOT NULL, ended INTEGER NOT NULL, passed INTEGER NOT NULL,
    first_passed INTEGER NOT NULL, verified INTEGER NOT NULL,
    PRIMARY KEY (kind, mac, slot, station, lot, item));
-- Each station's last word that it is alive, while its rounds run.
CREATE TABLE IF NOT EXISTS heartbeats (
    station TEXT PRIMARY KEY, beat TEXT NOT NULL, ended INTEGER NOT NULL,
    host_version TEXT NOT NULL);
)";
}

std::string store_indexes() {
    return R"(
CREATE INDEX IF NOT EXISTS records_mac ON records (mac);
CREATE INDEX IF NOT EXISTS labels_mac ON labels (mac);
CREATE INDEX IF NOT EXISTS labels_record ON labels (record);
CREATE INDEX IF NOT EXISTS records_round ON records (station, round);
-- By start, with what a report counts of each record: a report reads the
-- index alone.
CREATE INDEX IF NOT EXISTS records_started ON records (started, fixture, mac, outcome, attempt);
CREATE INDEX IF NOT EXISTS records_station_started ON records (station, started);
CREATE INDEX IF NOT EXISTS records_lot ON records (lot, started);
CREATE INDEX IF NOT EXISTS tally_boards_slot ON tally_boards (kind, slot);
-- The records still open, which every command of a station looks for first.
CREATE INDEX IF NOT EXISTS records_open ON records (station) WHERE outcome = 'started';
)";
}

std::optional<Profile> SqlStore::locked_profile(const std::string& station) {
    Rows rows = run("SELECT id, board_data_sha256, otp_sha256, firmware_sha256, otp_address, "
                    "locked, label_sha256 FROM profiles WHERE station = $1",
                    {station});
    if (rows.empty()) {
        return std::nullopt;
    }
    const auto& r = rows[0];
    return Profile{r[0], r[1], r[2], r[3], r[4], r[5], r[6]};
}

void SqlStore::lock_profile(const std::string& station, const Profile& p) {
    run("INSERT INTO profiles VALUES ($1, $2, $3, $4, $5, $6, $7, $8) ON CONFLICT (station) "
        "DO UPDATE SET id = $2, board_data_sha256 = $3, otp_sha256 = $4, "
        "firmware_sha256 = $5, otp_address = $6, locked = $7, label_sha256 = $8",
        {station, p.id, p.board_data_sha256, p.otp_sha256, p.firmware_sha256, p.otp_address,
         p.locked, p.label_sha256});
}

bool SqlStore::has_labels() {
    return !run("SELECT 1 FROM labels LIMIT 1", {}).empty();
}

void SqlStore::add_label(const LabelEvent& l) {
    auto insert = [&] {
        run("INSERT INTO labels VALUES ($1, $2, $3, $4, $5, $6, $7, $8)",
            {l.record, l.mac, l.event, l.at, l.printer, l.job, l.who, l.reason});
    };
    if (l.event != "verified") {
        insert();
        return;
    }
    // A verified label is counted by the reports.
    transaction([&] {
        Rows seen = tally_read(l.mac);
        insert();
        tallied(std::move(seen), {l.mac, nullptr, l.record});
        return true;
    });
}

std::vector<LabelEvent> SqlStore::labels_of(const std::string& mac) {
    std::vector<LabelEvent> found;
    for (auto& l : run("SELECT record, mac, event, at, printer, job, who, reason FROM labels "
                       "WHERE mac = $1 ORDER BY at",
                       {mac})) {
        found.push_back(LabelEvent{l[0], l[1], l[2], l[3], l[4], l[5], l[6], l[7]});
    }
    return found;
}

std::string SqlStore::claim_and_start(Record& r, const std::string& retry_of) {
    std::string fault = mac_fault(r.mac);
    if (!fault.empty()) {
        return fault;
    }
    std::string refusal;
    transaction([&] {
        Rows kept = run("SELECT record FROM kept WHERE mac = $1", {r.mac});
        if (!kept.empty() && kept[0][0] != retry_of) {
            refusal = why_kept(r.mac);
            return false;
        }
        mark_used(mac_number(r.mac));
        r.attempt =
            std::stoi(run("SELECT count(*) FROM records WHERE mac = $1", {r.mac})[0][0]) + 1;
        insert_record(r);
        // A rework moves a passed claim on to the new record, and a retry the
        // claim its interrupted record still holds; any other claim is a new
        // row, which the primary key refuses when the MAC is claimed
        // already, on whichever station.
        if (r.rework) {
            run("UPDATE claims SET record = $1, state = 'running' "
                "WHERE mac = $2 AND state = 'passed'",
                {r.id, r.mac});
            if (changed() == 1) {
                return true;
            }
        }
        bool taken_over = false;
        if (!retry_of.empty()) {
            run("UPDATE claims SET record = $1 WHERE mac = $2 AND record = $3 AND "
                "state = 'running' AND EXISTS (SELECT 1 FROM records "
                "WHERE id = $3 AND outcome = 'interrupted')",
                {r.id, r.mac, retry_of});
            taken_over = changed() == 1;
        }
        if (!taken_over) {
            run("INSERT INTO claims VALUES ($1, $2, 'running') ON CONFLICT (mac) DO NOTHING",
                {r.mac, r.id});
            if (changed() == 0) {
                refusal = why_claimed(r.mac);
                return false;
            }
        }
        if (!kept.empty()) {
            run("UPDATE kept SET record = $1 WHERE mac = $2", {r.id, r.mac});
        }
        run("INSERT INTO fixtures (station, fixture, record) VALUES ($1, $2, $3) "
            "ON CONFLICT (station, fixture) DO UPDATE SET record = excluded.record, frames = 0, "
            "total = 0, written = ''",
            {r.station, r.fixture, r.id});
        return true;
    });
    return refusal;
}

std::optional<std::string> SqlStore::hand_out(const std::string& first, const std::string& last) {
    std::optional<std::string> mac;
    transaction([&] {
        mac.reset(); // a transaction tried again begins afresh
        run("INSERT INTO pools VALUES ($1, $2, $1) ON CONFLICT (first, last) DO NOTHING",
            {first, last});
        // Held to the end of the transaction: two stations never take one MAC.
        std::string next =
            run("SELECT next FROM pools WHERE first = $1 AND last = $2" + for_update(),
                {first, last})[0][0];
        unsigned long long n = mac_number(next), end = mac_number(last);
        for (n = next_unicast(n); n <= end; n = next_unicast(n)) {
            unsigned long long unused = past_runs(n);
            if (unused != n) {
                n = unused;
            } else if (mark_used(n)) {
                mac = mac_text(n);
                break;
            } else {
                // Used, though no run said so: from now on one does.
                add_to_runs(n);
                n += 1;
            }
        }
        run("UPDATE pools SET next = $3 WHERE first = $1 AND last = $2",
            {first, last, mac_text(std::min(n, end) + 1)});
        return true;
    });
    return mac;
}

std::pair<long long, std::vector<std::string>>
SqlStore::pool_unclaimed(const std::string& first, const std::string& last, size_t most) {
    // MACs are 12 upper-case hexadecimal digits: their texts sort as their
    // numbers.
    const std::string unclaimed = " FROM macs_used u WHERE u.mac >= $1 AND u.mac <= $2 AND NOT "
                                  "EXISTS (SELECT 1 FROM records r WHERE r.mac = u.mac)";
    std::pair<long long, std::vector<std::string>> found;
    found.first = std::stoll(run("SELECT count(*)" + unclaimed, {first, last})[0][0]);
    for (auto& row : run("SELECT u.mac" + unclaimed + " ORDER BY u.mac LIMIT $3",
                         {first, last, std::to_string(most)})) {
        found.second.push_back(row[0]);
    }
    return found;
}

long long SqlStore::pool_used(const std::string& first, const std::string& last) {
    const unsigned long long from = mac_number(first), to = mac_number(last);
    // The runs that begin inside the pool, cut at its end, and the one that
    // begins before it and reaches in.
    long long used = std::stoll(run("SELECT coalesce(sum(CASE WHEN last > $2 THEN $2 ELSE last "
                                    "END - first + 1), 0) FROM used_runs "
                                    "WHERE first >= $1 AND first <= $2",
                                    {std::to_string(from), std::to_string(to)})[0][0]);
    Rows before = run("SELECT last FROM used_runs WHERE first < $1 ORDER BY first DESC LIMIT 1",
                      {std::to_string(from)});
    unsigned long long reach = before.empty() ? 0 : std::stoull(before[0][0]);
    if (!before.empty() && reach >= from) {
        used += static_cast<long long>(std::min(reach, to) - from + 1);
    }
    return used;
}

std::string SqlStore::refusal(const std::string& mac, bool rework) {
    if (!run("SELECT record FROM kept WHERE mac = $1", {mac}).empty()) {
        return why_kept(mac);
    }
    Rows claims = run("SELECT state FROM claims WHERE mac = $1", {mac});
    if (claims.empty() || (rework && claims[0][0] == "passed")) {
        return "";
    }
    return why_claimed(mac);
}

Finish SqlStore::finish(const Record& r) {
    Finish finish;
    transaction([&] {
        finish = Finish{};
        Rows seen = tally_read(r.mac);
        std::optional<Outcome> prior = outcome_in(seen, r.id);
        finish.found = prior.has_value();
        // Finished once: a record delivered again changes nothing.
        Outcome was = prior.value_or(Outcome::passed);
        if (was != Outcome::started && was != Outcome::interrupted) {
            return true;
        }
        // A person released the MAC from this board while its end was
        // unknown; its board may carry it after all, and another board may
        // carry it now: that is shown, never settled by overwriting.
        bool released =
            was == Outcome::interrupted &&
            !run("SELECT 1 FROM releases WHERE mac = $1 AND record = $2", {r.mac, r.id}).empty();
        // Its claim was lost and the MAC went to another board meanwhile
        // (Recheck): it takes the MAC from no one either.
        Rows lost = run("SELECT other, found FROM conflicts WHERE mac = $1 AND late = $2 AND "
                        "resolved = ''",
                        {r.mac, r.id});
        bool carries = r.outcome == Outcome::passed || r.mac_kept;
        bool may_carry = released && carries;
        std::optional<std::string> other = may_carry ? other_board(r) : std::nullopt;
        run("UPDATE records SET ended = $1, outcome = $2, stage = $3, message = $4, "
            "frames = $5, exit_status = $6 WHERE id = $7",
            {r.ended, text_of(r.outcome), text_of(r.stage), r.message, std::to_string(r.frames),
             r.exit_status, r.id});
        tallied(std::move(seen), {r.mac, &r, ""});
        run("INSERT INTO transcripts VALUES ($1, $2) ON CONFLICT (record) "
            "DO UPDATE SET transcript = excluded.transcript",
            {r.id, r.transcript}, 2);
        if (r.outcome == Outcome::interrupted) {
            // Nobody knows how far its board got: its claim stays, and with
            // an image that carries the MAC, the one-time rule holds too.
            settle_kept(r, false, false);
            return true;
        }
        settle_claim(r.id, r.mac, r.outcome == Outcome::passed);
        settle_kept(r, was == Outcome::interrupted, released || !lost.empty());
        if (!lost.empty() && !carries) {
            // Its board ended before the image that carries the MAC: one
            // board has it.
            run("UPDATE conflicts SET resolved = $1, resolution = $2 WHERE mac = $3 AND late = $4",
                {utc_now(),
                 "record " + r.id + " ended " + text_of(r.outcome) +
                     " before its board got the MAC",
                 r.mac, r.id});
        } else if (!lost.empty()) {
            Record late = r;
            late.transcript.clear();
            finish.conflict =
                Conflict{r.mac, late, record_by_id(lost[0][0]), lost[0][1], "", "", true};
        }
        if (other) {
            std::string found = utc_now();
            run("INSERT INTO conflicts (mac, late, other, found) VALUES ($1, $2, $3, $4) "
                "ON CONFLICT (mac, late) DO NOTHING",
                {r.mac, r.id, *other, found});
            Record late = r;
            late.transcript.clear();
            finish.conflict = Conflict{r.mac, late, record_by_id(*other), found, "", ""};
        }
        finish.reclaimed = may_carry && !other;
        return true;
    });
    return finish;
}

Recheck SqlStore::recheck(const Record& started) {
    Recheck found;
    transaction([&] {
        found = Recheck{};
        Rows rows = run("SELECT outcome FROM records WHERE id = $1", {started.id});
        if (!rows.empty()) {
            found.outcome = outcome_named(rows[0][0]);
            return false;
        }
        found.present = false;
        Record r = started;
        r.ended = r.message = r.exit_status = "";
        r.outcome = Outcome::started;
        r.stage = Stage::none;
        r.frames = 0;
        // The pool skips it, whoever has it now.
        mark_used(mac_number(r.mac));
        r.attempt =
            std::stoi(run("SELECT count(*) FROM records WHERE mac = $1", {r.mac})[0][0]) + 1;
        insert_record(r);
        Rows other = run("SELECT record FROM kept WHERE mac = $1", {r.mac});
        if (other.empty()) {
            run("INSERT INTO claims VALUES ($1, $2, 'running') ON CONFLICT (mac) DO NOTHING",
                {r.mac, r.id});
            if (changed() == 0) {
                other = run("SELECT record FROM claims WHERE mac = $1", {r.mac});
            }
        }
        if (other.empty()) {
            // The fixture's newest record, unless it has had a later one.
            run("INSERT INTO fixtures (station, fixture, record) VALUES ($1, $2, $3) "
                "ON CONFLICT (station, fixture) DO UPDATE SET record = excluded.record, "
                "frames = 0, total = 0, written = '' WHERE (SELECT started FROM records "
                "WHERE id = fixtures.record) < $4",
                {r.station, r.fixture, r.id, r.started});
            return true;
        }
        std::string now = utc_now();
        run("INSERT INTO conflicts (mac, late, other, found) VALUES ($1, $2, $3, $4) "
            "ON CONFLICT (mac, late) DO NOTHING",
            {r.mac, r.id, other[0][0], now});
        r.transcript.clear();
        found.conflict = Conflict{r.mac, r, record_by_id(other[0][0]), now, "", "", true};
        return true;
    });
    return found;
}

std::optional<std::string> SqlStore::other_board(const Record& late) {
    // The latest other record of the MAC that may carry it: passed,
    // running or unseen, or kept by the one-time rule.
    Rows rows = run("SELECT r.id FROM records r WHERE r.mac = $1 AND r.id <> $2 AND "
                    "r.attempt > $3 AND (r.outcome IN ('passed', 'started', 'interrupted') OR "
                    "EXISTS (SELECT 1 FROM kept k WHERE k.mac = r.mac AND k.record = r.id)) "
                    "ORDER BY r.attempt DESC LIMIT 1",
                    {late.mac, late.id, std::to_string(late.attempt)});
    if (rows.empty()) {
        return std::nullopt;
    }
    return rows[0][0];
}

Record SqlStore::record_by_id(const std::string& id) {
    std::vector<Record> found = selected("r.id = $1", {id}, false, false);
    return found.empty() ? Record{} : found[0];
}

std::vector<Conflict> SqlStore::conflicts(const std::string& mac, bool all) {
    std::vector<Conflict> found;
    std::vector<std::string> values;
    std::string where = all ? "1 = 1" : "resolved = ''";
    if (!mac.empty()) {
        values.push_back(mac);
        where += " AND mac = $1";
    }
    // A conflict of a released MAC has its release; one of a lost claim none.
    for (const Row& row : run("SELECT mac, late, other, found, resolved, resolution, NOT EXISTS "
                              "(SELECT 1 FROM releases x WHERE x.mac = c.mac AND x.record = "
                              "c.late) FROM conflicts c WHERE " +
                                  where + " ORDER BY found, mac",
                              values)) {
        found.push_back(Conflict{row[0], record_by_id(row[1]), record_by_id(row[2]), row[3], row[4],
                                 row[5], row[6] == "t" || row[6] == "1"});
    }
    return found;
}

std::vector<Record> SqlStore::started_records(const std::string& station) {
    return selected("r.station = $1 AND r.outcome = 'started'", {station}, true, false);
}

std::vector<Record> SqlStore::kept_boards(const std::string& station) {
    std::vector<Record> kept = selected("r.id IN (SELECT f.record FROM fixtures f JOIN kept k ON "
                                        "k.record = f.record WHERE f.station = $1)",
                                        {station}, false, false);
    for (Record& r : kept) {
        r.mac_kept = true;
    }
    return kept;
}

std::vector<Record> SqlStore::kept_macs() {
    std::vector<Record> kept = selected("r.id IN (SELECT record FROM kept)", {}, false, false);
    for (Record& r : kept) {
        r.mac_kept = true;
    }
    return kept;
}

std::vector<Record> SqlStore::records(const RecordFilter& f) {
    std::vector<std::string> values;
    std::string where = records_where(f, values);
    return selected(where, values, f.with_transcripts, !f.mac.empty());
}

void SqlStore::each_record(const RecordFilter& f, const std::function<void(const Record&)>& take) {
    std::vector<std::string> values;
    std::string where = records_where(f, values);
    each_row(records_query(where, f.with_transcripts, !f.mac.empty()), values,
             [&take](Row& row) { take(record_from_values(row)); });
}

void SqlStore::each_record_values(
    const RecordFilter& f, const std::function<void(const std::vector<std::string>&)>& take) {
    std::vector<std::string> values;
    std::string where = records_where(f, values);
    // Each record's label after its values: its first print (time, job;
    // the times are all 24 characters) and how often it was printed again.
    // Looked up only in a store that has labels: a store without any reads
    // as fast as before.
    std::string query = records_query(where, f.with_transcripts, !f.mac.empty());
    bool labels = has_labels();
    std::string from = " FROM records r";
    query.replace(query.find(from), from.size(),
                  labels ? ", coalesce(substr(lb.first, 1, 24), ''), "
                           "coalesce(substr(lb.first, 25), ''), coalesce(lb.reprints, 0) "
                           "FROM records r LEFT JOIN (SELECT record, min(CASE WHEN event <> "
                           "'not printed' THEN at || job END) AS first, sum(CASE WHEN event = "
                           "'reprinted' THEN 1 ELSE 0 END) AS reprints FROM labels GROUP BY "
                           "record) lb ON lb.record = r.id"
                         : ", '', '', 0 FROM records r");
    each_row_ahead(query, values, [&take](Row& row) { take(row); });
}

std::pair<std::string, std::string> SqlStore::started_between(const RecordFilter& f) {
    std::vector<std::string> values;
    std::string where = records_where(f, values);
    // Each end alone, so that both are one look-up on an index.
    std::string ends[2];
    for (int i = 0; i < 2; ++i) {
        Rows rows = run("SELECT r.started FROM records r WHERE " + where + " ORDER BY r.started" +
                            (i ? " DESC" : "") + " LIMIT 1",
                        values);
        ends[i] = rows.empty() ? "" : rows[0][0];
    }
    return {ends[0], ends[1]};
}

std::vector<GroupCounts> SqlStore::counted_groups(const RecordFilter& f, const Grouping& grouping) {
    std::vector<std::string> values;
    std::string where = records_where(f, values);
    Source source = grouped_source(grouping);
    // A board once per group: whether a record of it ended there, whether
    // it passed there, and whether its first attempt (on any station) was
    // made there and passed.
    // And, in a store that has labels, whether its passed record's label
    // was verified: a store without any counts as fast as before.
    bool labels = has_labels();
    std::string boards = "SELECT " + source.group +
                         " AS grp, r.mac, max(CASE WHEN r.outcome <> 'started' THEN 1 ELSE 0 END) "
                         "AS ended, max(CASE WHEN r.outcome = 'passed' THEN 1 ELSE 0 END) "
                         "AS passed, max(CASE WHEN r.outcome = 'passed' AND r.attempt = 1 "
                         "THEN 1 ELSE 0 END) AS first_passed, " +
                         (labels ? "max(CASE WHEN r.outcome = 'passed' AND EXISTS (SELECT 1 FROM "
                                   "labels l WHERE l.record = r.id AND l.event = 'verified') "
                                   "THEN 1 ELSE 0 END)"
                                 : std::string("0")) +
                         " AS verified FROM " + source.from + " WHERE " + where + " GROUP BY " +
                         source.group + ", r.mac";
    std::vector<GroupCounts> counts;
    for (const Row& row : run(source.with +
                                  "SELECT grp, sum(ended), sum(passed), sum(first_passed), "
                                  "count(*) - sum(ended), sum(verified) FROM (" +
                                  boards + ") AS boards GROUP BY grp ORDER BY grp",
                              values)) {
        counts.push_back({row[0], std::stoll(row[1]), std::stoll(row[2]), std::stoll(row[3]),
                          std::stoll(row[4]), labels ? std::stoll(row[5]) : -1});
    }
    return counts;
}

void SqlStore::counted_failures(const RecordFilter& f, const Grouping& grouping,
                                const std::function<void(const FailureCounts&)>& take) {
    std::vector<std::string> values;
    std::string where = records_where(f, values);
    Source source = grouped_source(grouping);
    std::string keys = source.group + ", r.stage, r.outcome, r.message, r.fixture";
    each_row(source.with + "SELECT " + keys + ", count(*) FROM " + source.from + " WHERE " + where +
                 " AND r.outcome NOT IN ('passed', 'started') GROUP BY " + keys,
             values, [&take](Row& row) {
                 take({row[0], stage_named(row[1]), outcome_named(row[2]), row[3], row[4],
                       std::stoll(row[5])});
             });
}

std::optional<Holder> SqlStore::holder_of(const std::string& mac) {
    for (const char* table : {"claims", "kept"}) {
        Rows rows = run(std::string("SELECT h.record, r.station, r.fixture, r.outcome, ") +
                            (table == std::string("claims") ? "h.state" : "''") + " FROM " + table +
                            " h JOIN records r ON r.id = h.record WHERE h.mac = $1",
                        {mac});
        if (!rows.empty()) {
            const auto& h = rows[0];
            return Holder{h[0], h[1], h[2], outcome_named(h[3]), h[4] == "passed"};
        }
    }
    return std::nullopt;
}

bool SqlStore::release(const Release& x) {
    bool freed = false;
    transaction([&] {
        Rows open = run("SELECT late, other FROM conflicts WHERE mac = $1 AND resolved = '' AND "
                        "(late = $2 OR other = $2)" +
                            for_update(),
                        {x.mac, x.record});
        // Of a MAC on two boards, the one named gives it up, passed or not.
        run(std::string("DELETE FROM claims WHERE mac = $1 AND record = $2") +
                (open.empty() ? " AND state = 'running'" : ""),
            {x.mac, x.record});
        long long claims = changed();
        run("DELETE FROM kept WHERE mac = $1 AND record = $2", {x.mac, x.record});
        freed = claims + changed() > 0 || !open.empty();
        if (!freed) {
            return false;
        }
        run("INSERT INTO releases VALUES ($1, $2, $3, $4, $5, $6)",
            {x.mac, x.record, x.station, x.released, x.who, x.reason});
        for (const Row& conflict : open) {
            const std::string& keeper = conflict[0] == x.record ? conflict[1] : conflict[0];
            // The other board holds it now, as its own outcome says.
            Rows outcome = run("SELECT outcome FROM records WHERE id = $1", {keeper});
            if (!outcome.empty() && outcome[0][0] != text_of(Outcome::failed) &&
                outcome[0][0] != text_of(Outcome::stalled) &&
                outcome[0][0] != text_of(Outcome::aborted)) {
                run("INSERT INTO claims VALUES ($1, $2, $3) ON CONFLICT (mac) DO NOTHING",
                    {x.mac, keeper,
                     outcome[0][0] == text_of(Outcome::passed) ? "passed" : "running"});
            }
            run("UPDATE conflicts SET resolved = $1, resolution = $2 WHERE mac = $3 AND late = $4",
                {x.released, "released from record " + x.record + " by " + x.who + ": " + x.reason,
                 x.mac, conflict[0]});
        }
        return true;
    });
    return freed;
}

std::vector<Release> SqlStore::releases(const std::string& mac) {
    std::vector<Release> found;
    for (auto& r : run("SELECT mac, record, station, released, who, reason FROM releases "
                       "WHERE mac = $1 ORDER BY released",
                       {mac})) {
        found.push_back(Release{r[0], r[1], r[2], r[3], r[4], r[5]});
    }
    return found;
}

std::string SqlStore::last_round(const std::string& station) {
    Rows rows = run("SELECT round FROM records WHERE station = $1 ORDER BY started DESC LIMIT 1",
                    {station});
    return rows.empty() ? "" : rows[0][0];
}

void SqlStore::write_progress(const std::vector<Progress>& progress) {
    without_waiting([&] {
        transaction([&] {
            for (const Progress& p : progress) {
                run("UPDATE fixtures SET frames = $1, total = $2, written = $3 "
                    "WHERE station = $4 AND fixture = $5 AND record = $6",
                    {std::to_string(p.frames), std::to_string(p.total), p.written, p.station,
                     p.fixture, p.record});
            }
            return true;
        });
    });
}

void SqlStore::write_beat(const Beat& b) {
    without_waiting([&] {
        run("INSERT INTO heartbeats VALUES ($1, $2, $3, $4) ON CONFLICT (station) DO UPDATE "
            "SET beat = excluded.beat, ended = excluded.ended, "
            "host_version = excluded.host_version",
            {b.station, b.beat, b.ended ? "1" : "0", b.host_version});
    });
}

void SqlStore::without_waiting(const std::function<void()>& write) {
    wait_for_writers(false);
    try {
        write();
    } catch (...) {
        wait_for_writers(true);
        throw;
    }
    wait_for_writers(true);
}

LineNow SqlStore::line_now() {
    LineNow now;
    for (const Row& row :
         run("SELECT station, beat, ended, host_version FROM heartbeats ORDER BY station", {})) {
        now.beats.push_back(Beat{row[0], row[1], row[2] == "1", row[3]});
    }
    for (const Row& row : run("SELECT station, id FROM profiles ORDER BY station", {})) {
        now.profiles.push_back({row[0], row[1]});
    }
    for (const Row& row : run("SELECT f.frames, f.total, f.written, coalesce((SELECT l.event "
                              "FROM labels l WHERE l.record = r.id ORDER BY l.at DESC LIMIT 1), "
                              "''), " +
                                  record_fields("r.") +
                                  ", '' FROM fixtures f JOIN records r ON r.id = f.record "
                                  "ORDER BY f.station, f.fixture",
                              {})) {
        FixtureNow f;
        f.frames = std::stoll(row[0]);
        f.total = std::stoll(row[1]);
        f.written = row[2];
        f.label = row[3];
        f.record = record_from_values(Row(row.begin() + 4, row.end()));
        now.fixtures.push_back(std::move(f));
    }
    now.conflicts = conflicts("", false);
    now.failover = failover();
    for (const Row& row : run("SELECT r.station, count(*) FROM kept k JOIN records r ON "
                              "r.id = k.record GROUP BY r.station ORDER BY r.station",
                              {})) {
        now.kept.push_back({row[0], std::stoll(row[1])});
    }
    return now;
}

void SqlStore::claims_checked(const std::string& station) {
    std::optional<long long> timeline = server_timeline();
    if (!timeline) {
        return;
    }
    std::string now = utc_now(), on = std::to_string(*timeline);
    transaction([&] {
        run("INSERT INTO timelines VALUES ($1, $2, $3) ON CONFLICT (timeline) DO NOTHING",
            {on, now, station});
        run("INSERT INTO claim_checks VALUES ($1, $2, $3) ON CONFLICT (station) DO UPDATE SET "
            "timeline = excluded.timeline, checked = excluded.checked",
            {station, on, now});
        return true;
    });
}

std::optional<Failover> SqlStore::failover() {
    std::optional<long long> timeline = server_timeline();
    if (!timeline) {
        return std::nullopt;
    }
    // A station that checked on an earlier timeline; one that never
    // checked on this store has no claims of its own to check.
    Failover f;
    f.timeline = *timeline;
    for (const Row& row : run("SELECT station FROM claim_checks WHERE timeline < $1 "
                              "ORDER BY station",
                              {std::to_string(*timeline)})) {
        f.unchecked.push_back(row[0]);
    }
    if (f.unchecked.empty()) {
        return std::nullopt;
    }
    Rows seen =
        run("SELECT seen, station FROM timelines WHERE timeline = $1", {std::to_string(*timeline)});
    if (!seen.empty()) {
        f.seen = seen[0][0];
        f.seen_by = seen[0][1];
    }
    return f;
}

void SqlStore::make_or_upgrade(int found, const EngineTypes& types) {
    script(store_schema(types));
    if (found > 0) {
        upgrade_from(found);
    }
    script(store_indexes());
    if (run("SELECT id FROM store_info", {}).empty()) {
        run("INSERT INTO store_info VALUES ($1, $2)", {new_uuid(), utc_now()});
    }
}

void SqlStore::upgrade_from(int found) {
    if (found < 7) {
        // The label template's hash, none for the profiles before.
        run("ALTER TABLE profiles ADD COLUMN label_sha256 TEXT NOT NULL DEFAULT ''", {});
    }
    if (found < 5) {
        // Each fixture's newest record, found once: few groups, each then
        // a look-up by station and start.
        Rows newest = run("SELECT station, fixture, max(started) FROM records "
                          "GROUP BY station, fixture",
                          {});
        for (const Row& f : newest) {
            run("INSERT INTO fixtures (station, fixture, record) SELECT station, fixture, id "
                "FROM records WHERE station = $1 AND fixture = $2 AND started = $3 LIMIT 1",
                f);
        }
    }
    if (found < 4) {
        // Lots and operators, none for the records before; the transcripts
        // move to their own table.
        run("ALTER TABLE records ADD COLUMN lot TEXT NOT NULL DEFAULT ''", {});
        run("ALTER TABLE records ADD COLUMN operator TEXT NOT NULL DEFAULT ''", {});
        run("INSERT INTO transcripts SELECT id, transcript FROM records", {});
        run("ALTER TABLE records DROP COLUMN transcript", {});
    }
    if (found < 3) {
        // Every MAC a record has was claimed once, and so is used for ever
        // (a store of version 1 kept no such table).
        run("INSERT INTO macs_used SELECT DISTINCT mac FROM records WHERE true "
            "ON CONFLICT (mac) DO NOTHING",
            {});
        // The runs of used MACs, read a slice at a time.
        std::string after;
        unsigned long long run_first = 0, run_last = 0;
        bool open_run = false;
        for (;;) {
            Rows slice =
                run("SELECT mac FROM macs_used WHERE mac > $1 ORDER BY mac LIMIT 10000", {after});
            for (const auto& row : slice) {
                unsigned long long n = mac_number(row[0]);
                if (open_run && n == run_last + 1) {
                    run_last = n;
                    continue;
                }
                if (open_run) {
                    run("INSERT INTO used_runs VALUES ($1, $2)",
                        {std::to_string(run_first), std::to_string(run_last)});
                }
                run_first = run_last = n;
                open_run = true;
            }
            if (slice.size() < 10000) {
                break;
            }
            after = slice.back()[0];
        }
        if (open_run) {
            run("INSERT INTO used_runs VALUES ($1, $2)",
                {std::to_string(run_first), std::to_string(run_last)});
        }
    }
    if (found < 9) {
        // The counts a report reads, from the records, once every column is
        // there.
        build_tallies();
    }
}
void SqlStore::read_id() {
    Rows rows = run("SELECT id FROM store_info", {});
    if (rows.empty()) {
        throw StationError{"the store " + shown_ + " has no id: run `station init`"};
    }
    id_ = rows[0][0];
}

namespace {

// How long a transaction that meets rows another session holds is tried
// again before the station is told the store is busy: past the seconds in
// which a PostgreSQL server ends a frozen peer's transaction, within a
// claim's patience.
constexpr std::chrono::seconds BUSY_PATIENCE(7);

} // namespace

void SqlStore::transaction(const std::function<bool()>& work) {
    Patience busy(BUSY_PATIENCE);
    for (bool dropped_once = false;;) {
        try {
            attempt(work);
            return;
        } catch (const StoreBusy&) {
            if (busy.spent()) {
                throw;
            }
        } catch (const StoreDropped&) {
            // The server rolled the transaction back with its connection:
            // done again, once, on a new one.
            if (dropped_once) {
                throw;
            }
            dropped_once = true;
        }
    }
}

void SqlStore::attempt(const std::function<bool()>& work) {
    begin();
    bool commit_it = false;
    try {
        commit_it = work();
    } catch (...) {
        try {
            rollback();
        } catch (const StationError&) {
            // the connection is gone, and the transaction with it
        }
        throw;
    }
    commit_it ? commit() : rollback();
}

// The record's row; its transcript, empty while it runs, is written when
// it is finished.
void SqlStore::insert_record(const Record& r) {
    std::vector<std::string> values = record_values(r);
    values.pop_back();
    // A record that runs is in no kept count: a report finds it among the
    // open records.
    run("INSERT INTO records (" + record_fields() + ") VALUES (" + placeholders(values.size()) +
            ")",
        values);
}

// A passed board keeps its MAC claimed; one whose claim was freed (it was
// marked interrupted before its true end arrived) claims it again, unless
// another board holds it now. Any other end frees the MAC, or, after a
// failed rework, gives the claim back to the board's last passed record: a
// board that passed once is never taken as new.
void SqlStore::settle_claim(const std::string& record, const std::string& mac, bool passed) {
    if (passed) {
        run("UPDATE claims SET state = 'passed' WHERE record = $1", {record});
        if (changed() == 0) {
            run("INSERT INTO claims VALUES ($1, $2, 'passed') ON CONFLICT (mac) DO NOTHING",
                {mac, record});
        }
        return;
    }
    Rows last = run("SELECT p.id FROM records r JOIN records p ON p.mac = r.mac "
                    "WHERE r.id = $1 AND p.outcome = 'passed' ORDER BY p.attempt DESC LIMIT 1",
                    {record});
    if (!last.empty()) {
        run("UPDATE claims SET state = 'passed', record = $1 WHERE record = $2",
            {last[0][0], record});
    } else {
        run("DELETE FROM claims WHERE record = $1", {record});
    }
}

// A board that passed needs no keeping (its claim is passed); one that did
// not, but whose MAC-carrying image was being programmed, keeps its MAC, by
// this record. A record that was marked interrupted and whose true end says
// its MAC-carrying image was never begun gives back what the mark kept.
// A true end that came after its MAC was released takes the keeping from no
// other board.
void SqlStore::settle_kept(const Record& r, bool was_interrupted, bool released) {
    if (r.outcome == Outcome::passed) {
        run("DELETE FROM kept WHERE mac = $1 AND record = $2", {r.mac, r.id});
        if (!released) {
            run("DELETE FROM kept WHERE mac = $1", {r.mac});
        }
    } else if (r.mac_kept) {
        run(std::string("INSERT INTO kept VALUES ($1, $2) ON CONFLICT (mac) ") +
                (released ? "DO NOTHING" : "DO UPDATE SET record = $2"),
            {r.mac, r.id});
    } else if (was_interrupted) {
        run("DELETE FROM kept WHERE mac = $1 AND record = $2", {r.mac, r.id});
    }
}

bool SqlStore::mark_used(unsigned long long mac) {
    run("INSERT INTO macs_used VALUES ($1) ON CONFLICT (mac) DO NOTHING", {mac_text(mac)});
    if (changed() == 0) {
        return false;
    }
    add_to_runs(mac);
    return true;
}

// The runs are kept as an exact cover of the used MACs: each MAC joins one
// run, once. Another station may change a neighbouring run meanwhile; a
// write that finds its run changed looks again. Rows are taken lowest
// first (a run, then the one right above it), so two stations never wait
// on each other in a circle.
void SqlStore::add_to_runs(unsigned long long mac) {
    const std::string n = std::to_string(mac);
    for (int tries = 0; tries < 100; ++tries) {
        Rows below = run("SELECT first, last FROM used_runs WHERE first <= $1 "
                         "ORDER BY first DESC LIMIT 1",
                         {n});
        if (!below.empty() && std::stoull(below[0][1]) >= mac) {
            return; // held by a run already
        }
        std::string start = n;
        if (!below.empty() && std::stoull(below[0][1]) + 1 == mac) {
            start = below[0][0];
            run("UPDATE used_runs SET last = $1 WHERE first = $2 AND last = $3",
                {n, start, below[0][1]});
        } else {
            run("INSERT INTO used_runs VALUES ($1, $1) ON CONFLICT (first) DO NOTHING", {n});
        }
        if (changed() == 0) {
            continue;
        }
        // The run that begins right above joins this one.
        Rows above =
            run("DELETE FROM used_runs WHERE first = $1 RETURNING last", {std::to_string(mac + 1)});
        if (!above.empty()) {
            run("UPDATE used_runs SET last = $1 WHERE first = $2", {above[0][0], start});
        }
        return;
    }
    throw StationError{"the runs of used MACs kept changing under this station"};
}

unsigned long long SqlStore::past_runs(unsigned long long mac) {
    for (;;) {
        Rows below = run("SELECT last FROM used_runs WHERE first <= $1 ORDER BY first DESC LIMIT 1",
                         {std::to_string(mac)});
        if (below.empty() || std::stoull(below[0][0]) < mac) {
            return mac;
        }
        mac = std::stoull(below[0][0]) + 1;
    }
}

namespace {

// Why a MAC that an interrupted record holds is refused, and what frees it.
std::string interrupted_holder(const std::string& mac, const std::string& station,
                               const std::string& fixture, const std::string& started) {
    return "MAC " + mac + " was being programmed on station " + station + ", fixture " + fixture +
           ", at " + started +
           " when that station's command ended unseen: its board may carry it (station retry "
           "--mac " +
           mac + " programs that board again; station release " + mac + " --reason TEXT frees it)";
}

} // namespace

std::string SqlStore::why_kept(const std::string& mac) {
    Rows rows = run("SELECT r.station, r.fixture, r.started, r.outcome FROM kept k "
                    "JOIN records r ON r.id = k.record WHERE k.mac = $1",
                    {mac});
    if (!rows.empty() && rows[0][3] == text_of(Outcome::interrupted)) {
        return interrupted_holder(mac, rows[0][0], rows[0][1], rows[0][2]);
    }
    std::string where = rows.empty() ? ""
                                     : " on station " + rows[0][0] + ", fixture " + rows[0][1] +
                                           ", at " + rows[0][2];
    return "MAC " + mac + " is kept by the board that was programmed with it" + where +
           " (station retry --mac " + mac + " programs that board again)";
}

std::string SqlStore::why_claimed(const std::string& mac) {
    Rows rows = run("SELECT c.state, r.station, r.fixture, r.started, r.ended, r.outcome "
                    "FROM claims c JOIN records r ON r.id = c.record WHERE c.mac = $1",
                    {mac});
    if (rows.empty()) {
        return "MAC " + mac + " is claimed";
    }
    const auto& r = rows[0];
    if (r[0] == "passed") {
        return "MAC " + mac + " was programmed on station " + r[1] + ", fixture " + r[2] + ", at " +
               r[4] + " (--rework to program it again)";
    }
    if (r[5] == text_of(Outcome::interrupted)) {
        return interrupted_holder(mac, r[1], r[2], r[3]);
    }
    return "MAC " + mac + " is being programmed on station " + r[1] + ", fixture " + r[2] +
           ", since " + r[3];
}

std::string SqlStore::records_query(const std::string& where, bool transcripts,
                                    bool by_attempt) const {
    return "SELECT " + record_fields("r.") +
           (transcripts ? ", coalesce(t.transcript, '') FROM records r LEFT JOIN transcripts t "
                          "ON t.record = r.id"
                        : ", '' FROM records r") +
           " WHERE " + where +
           (by_attempt ? " ORDER BY r.attempt, r.started" : " ORDER BY r.started, r.fixture");
}

std::vector<Record> SqlStore::selected(const std::string& where,
                                       const std::vector<std::string>& values, bool transcripts,
                                       bool by_attempt) {
    std::vector<Record> found;
    for (auto& row : run(records_query(where, transcripts, by_attempt), values)) {
        found.push_back(record_from_values(row));
    }
    return found;
}
