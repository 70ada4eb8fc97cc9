// The counts a report reads, kept as boards finish. Each kind of cell is
// one way a report groups: an hour of a station and lot (local days and
// shifts are whole hours in every zone that has no half hours), a day of a
// station and lot, and the same with a fixture or an operator. A cell's row
// counts the boards seen in that cell and in no other of its kind, and the
// failures of its records; a board seen in several cells of a kind (a retry
// in the next hour, a rework on another station) is kept apart, a row per
// cell, so that a group of several cells counts it once. A report reads the
// rows of the cells wholly inside its groups and counts the records of the
// cells cut by a group's bounds itself.
#include "station/store/engines.h"

#include "station/base/local_days.h"

#include <algorithm>
#include <tuple>

namespace {

struct Kind {
    const char* name;
    size_t slot_length; // of a UTC text: "2026-06-15T08" or "2026-06-15"
    long long seconds;
    const char* item; // the records' column a cell holds besides station and lot
};
const Kind HOURS{"hour", 13, 3600, ""};
const Kind DAYS{"day", 10, 86400, ""};
const Kind FIXTURE_DAYS{"fixture", 10, 86400, "fixture"};
const Kind OPERATOR_DAYS{"operator", 10, 86400, "operator"};
const Kind* const KINDS[] = {&HOURS, &DAYS, &FIXTURE_DAYS, &OPERATOR_DAYS};

struct Cell {
    std::string kind, slot, station, lot, item;
    bool operator<(const Cell& o) const {
        return std::tie(kind, slot, station, lot, item) <
               std::tie(o.kind, o.slot, o.station, o.lot, o.item);
    }
    bool operator==(const Cell& o) const {
        return key() == o.key();
    }
    std::vector<std::string> key() const {
        return {kind, slot, station, lot, item};
    }
};

// A board in a group: each 1 or 0.
struct BoardFlags {
    long long ended = 0, passed = 0, first_passed = 0, verified = 0;
    void join(const BoardFlags& o) {
        ended = std::max(ended, o.ended);
        passed = std::max(passed, o.passed);
        first_passed = std::max(first_passed, o.first_passed);
        verified = std::max(verified, o.verified);
    }
    bool operator==(const BoardFlags& o) const {
        return std::tie(ended, passed, first_passed, verified) ==
               std::tie(o.ended, o.passed, o.first_passed, o.verified);
    }
};

// Stage, outcome, message (frame numbers folded) and fixture.
typedef std::tuple<std::string, std::string, std::string, std::string> FailureKey;
typedef std::map<FailureKey, long long> FailureMap;

// One MAC's part in the counts, as its records say.
struct BoardPart {
    std::map<std::string, std::map<Cell, BoardFlags>> cells; // by kind
    std::map<Cell, FailureMap> failures;
};

// What a change of one MAC's records changes in one cell's row.
struct CellChange {
    long long boards = 0, passed = 0, first_passed = 0, running = 0, verified = 0;
    FailureMap failures;
    void count(const BoardFlags& f, long long sign) {
        boards += sign * f.ended;
        running += sign * (1 - f.ended);
        passed += sign * f.passed;
        first_passed += sign * f.first_passed;
        verified += sign * f.verified;
    }
    bool empty() const {
        return boards == 0 && passed == 0 && first_passed == 0 && running == 0 && verified == 0 &&
               failures.empty();
    }
};

// What the counts read of a record, in the order of SEEN_COLUMNS.
const char* const SEEN_COLUMNS =
    "r.started, r.station, r.lot, r.fixture, r.operator, r.mac, r.outcome, r.attempt, r.stage, "
    "r.message, CASE WHEN r.outcome = 'passed' AND EXISTS (SELECT 1 FROM labels l WHERE "
    "l.record = r.id AND l.event = 'verified') THEN 1 ELSE 0 END";
enum SeenColumn { STARTED, STATION, LOT, FIXTURE, OPERATOR, MAC, OUTCOME, ATTEMPT, STAGE, MESSAGE };

BoardFlags flags_of(const std::vector<std::string>& r) {
    BoardFlags f;
    f.ended = r[OUTCOME] != "started";
    f.passed = r[OUTCOME] == "passed";
    f.first_passed = f.passed && r[ATTEMPT] == "1";
    f.verified = f.passed && r[MESSAGE + 1] == "1";
    return f;
}

bool is_failure(const std::string& outcome) {
    return outcome != "passed" && outcome != "started";
}

Cell cell_of(const Kind& kind, const std::vector<std::string>& r) {
    std::string item = kind.item == std::string("fixture")    ? r[FIXTURE]
                       : kind.item == std::string("operator") ? r[OPERATOR]
                                                              : "";
    return {kind.name, r[STARTED].substr(0, kind.slot_length), r[STATION], r[LOT], item};
}

FailureKey failure_of(const std::vector<std::string>& r) {
    return {r[STAGE], r[OUTCOME], folded_frames(r[MESSAGE]), r[FIXTURE]};
}

// A cell's failures as one text: a line each, its fields apart by tabs,
// with backslashes, tabs and line ends escaped.
std::string escaped(const std::string& text) {
    std::string out;
    for (char c : text) {
        out += c == '\\'   ? std::string("\\\\")
               : c == '\t' ? "\\t"
               : c == '\n' ? "\\n"
                           : std::string(1, c);
    }
    return out;
}

std::string failures_text(const FailureMap& failures) {
    std::string text;
    for (const auto& [key, count] : failures) {
        text += escaped(std::get<0>(key)) + "\t" + escaped(std::get<1>(key)) + "\t" +
                escaped(std::get<2>(key)) + "\t" + escaped(std::get<3>(key)) + "\t" +
                std::to_string(count) + "\n";
    }
    return text;
}

FailureMap failures_read(const std::string& text) {
    FailureMap failures;
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\\' && i + 1 < text.size()) {
            char n = text[++i];
            fields.back() += n == 't' ? '\t' : n == 'n' ? '\n' : n;
        } else if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\n') {
            if (fields.size() == 5) {
                failures[{fields[0], fields[1], fields[2], fields[3]}] += std::stoll(fields[4]);
            }
            fields.assign(1, "");
        } else {
            fields.back() += c;
        }
    }
    return failures;
}

std::string slot_start(const Kind& kind, const std::string& slot) {
    return slot + (kind.slot_length == 13 ? ":00:00.000Z" : "T00:00:00.000Z");
}

std::string next_slot(const Kind& kind, const std::string& slot) {
    return utc_text_at(utc_seconds(slot_start(kind, slot)) + kind.seconds)
        .substr(0, kind.slot_length);
}

// A group's time: its whole cells [first, end) (empty: unbounded) and the
// stretches at its bounds that cut a cell, read from the records.
struct Stretch {
    std::string since, until; // UTC; empty: unbounded
    std::string first, end;   // slots
    std::vector<std::pair<std::string, std::string>> cut;
};

Stretch stretch_of(const Kind& kind, const std::string& since, const std::string& until) {
    Stretch s{since, until, "", "", {}};
    if (!since.empty()) {
        s.first = since.substr(0, kind.slot_length);
        if (slot_start(kind, s.first) != since) {
            s.first = next_slot(kind, s.first);
            s.cut.push_back({since, slot_start(kind, s.first)});
        }
    }
    if (!until.empty()) {
        s.end = until.substr(0, kind.slot_length);
        if (slot_start(kind, s.end) < until) {
            s.cut.push_back({slot_start(kind, s.end), until});
        }
    }
    if (!since.empty() && !until.empty() && s.first >= s.end) {
        // Within one cell, or two cut ones: all read from the records.
        s.cut = {{since, until}};
        s.end = s.first;
    }
    return s;
}

bool inside(const Stretch& s, const std::string& slot) {
    return (s.first.empty() || slot >= s.first) && (s.end.empty() || slot < s.end);
}

} // namespace

// How a report's groups lie on the cells of one kind.
struct SqlStore::TallyPlan {
    const Kind* kind = nullptr;
    std::string column;             // station, lot, fixture, operator; empty: by spans
    std::vector<std::string> names; // each stretch's group (spans)
    std::vector<Stretch> stretches; // in time's order
    RecordFilter filter;

    // The group a whole cell is counted in; none for a cell cut by a bound
    // or outside every stretch.
    const std::string* group_of(const std::string& slot, const std::string& station,
                                const std::string& lot, const std::string& item) const {
        auto after = std::upper_bound(
            stretches.begin(), stretches.end(), slot,
            [](const std::string& s, const Stretch& t) { return !t.first.empty() && s < t.first; });
        if (after == stretches.begin() || !inside(*(after - 1), slot)) {
            return nullptr;
        }
        if (column.empty()) {
            return &names[static_cast<size_t>(after - 1 - stretches.begin())];
        }
        return column == "station" ? &station : column == "lot" ? &lot : &item;
    }
    // The group of a record read from a cut cell.
    std::string group_of_record(const std::vector<std::string>& r) const {
        if (column.empty()) {
            auto after = std::upper_bound(stretches.begin(), stretches.end(), r[STARTED],
                                          [](const std::string& s, const Stretch& t) {
                                              return !t.since.empty() && s < t.since;
                                          });
            return names[static_cast<size_t>(after - 1 - stretches.begin())];
        }
        return column == "station"   ? r[STATION]
               : column == "lot"     ? r[LOT]
               : column == "fixture" ? r[FIXTURE]
                                     : r[OPERATOR];
    }
    // The tests of a query over cells of the plan's kind and the filter.
    std::string where(std::vector<std::string>& values) const {
        values = {kind->name};
        std::string where = "kind = $1";
        auto test = [&](const std::string& value, const char* sql) {
            if (!value.empty()) {
                values.push_back(value);
                where += std::string(" AND ") + sql + " $" + std::to_string(values.size());
            }
        };
        test(stretches.front().first, "slot >=");
        test(stretches.back().end, "slot <");
        test(filter.station, "station =");
        test(filter.lot, "lot =");
        return where;
    }
};

std::vector<GroupCounts> SqlStore::group_counts(const RecordFilter& f, const Grouping& grouping,
                                                CountFrom from) {
    if (grouping.column.empty() && grouping.spans.empty()) {
        return {};
    }
    std::optional<TallyPlan> plan =
        from == CountFrom::kept ? tally_plan(f, grouping) : std::nullopt;
    std::vector<GroupCounts> counts = plan ? tallied_groups(*plan) : counted_groups(f, grouping);
    if (!has_labels()) {
        for (GroupCounts& g : counts) {
            g.labels_verified = -1;
        }
    }
    std::sort(counts.begin(), counts.end(),
              [](const GroupCounts& a, const GroupCounts& b) { return a.group < b.group; });
    return counts;
}

void SqlStore::failure_counts(const RecordFilter& f, const Grouping& grouping,
                              const std::function<void(const FailureCounts&)>& take,
                              CountFrom from) {
    if (grouping.column.empty() && grouping.spans.empty()) {
        return;
    }
    std::optional<TallyPlan> plan =
        from == CountFrom::kept ? tally_plan(f, grouping) : std::nullopt;
    if (plan) {
        tallied_failures(*plan, take);
    } else {
        counted_failures(f, grouping, take);
    }
}

std::optional<SqlStore::TallyPlan> SqlStore::tally_plan(const RecordFilter& f,
                                                        const Grouping& grouping) {
    const std::string& c = grouping.column;
    if (!f.mac.empty() || !f.round.empty() || !f.id.empty() ||
        !(c.empty() || c == "station" || c == "lot" || c == "fixture" || c == "operator")) {
        return std::nullopt;
    }
    TallyPlan plan;
    plan.filter = f;
    plan.column = grouping.column;
    plan.kind = grouping.column.empty()         ? &HOURS
                : grouping.column == "fixture"  ? &FIXTURE_DAYS
                : grouping.column == "operator" ? &OPERATOR_DAYS
                                                : &DAYS;
    if (grouping.column.empty()) {
        for (const Span& span : grouping.spans) {
            plan.names.push_back(span.name);
            plan.stretches.push_back(stretch_of(*plan.kind, span.since, span.until));
        }
    } else {
        plan.names.push_back("");
        plan.stretches.push_back(stretch_of(*plan.kind, f.since, f.until));
    }
    return plan;
}

void SqlStore::each_cut_record(const TallyPlan& plan, const std::function<void(const Row&)>& take) {
    for (const Stretch& stretch : plan.stretches) {
        for (const auto& [since, until] : stretch.cut) {
            RecordFilter f;
            f.station = plan.filter.station;
            f.lot = plan.filter.lot;
            f.since = std::max(since, plan.filter.since);
            f.until = plan.filter.until.empty() ? until : std::min(until, plan.filter.until);
            std::vector<std::string> values;
            std::string where = records_where(f, values);
            each_row(std::string("SELECT ") + SEEN_COLUMNS + " FROM records r WHERE " + where,
                     values, [&take](Row& row) { take(row); });
        }
    }
}

std::vector<GroupCounts> SqlStore::tallied_groups(const TallyPlan& plan) {
    std::map<std::string, GroupCounts> groups;
    auto group_at = [&groups](const std::string& name) -> GroupCounts& {
        auto [at, made] = groups.try_emplace(name);
        if (made) {
            at->second.labels_verified = 0;
        }
        return at->second;
    };
    auto count = [&group_at](const std::string& group, const BoardFlags& f) {
        GroupCounts& g = group_at(group);
        g.boards += f.ended;
        g.running += 1 - f.ended;
        g.passed += f.passed;
        g.first_passed += f.first_passed;
        g.labels_verified += f.verified;
    };
    std::vector<std::string> values;
    std::string where = plan.where(values);
    each_row("SELECT slot, station, lot, item, boards, passed, first_passed, running, verified "
             "FROM tallies WHERE " +
                 where,
             values, [&](Row& row) {
                 const std::string* group = plan.group_of(row[0], row[1], row[2], row[3]);
                 if (group) {
                     GroupCounts& g = group_at(*group);
                     g.boards += std::stoll(row[4]);
                     g.passed += std::stoll(row[5]);
                     g.first_passed += std::stoll(row[6]);
                     g.running += std::stoll(row[7]);
                     g.labels_verified += std::stoll(row[8]);
                 }
             });
    // The boards of several cells and those of the cut cells, a MAC at a
    // time: each once in each of its groups.
    std::vector<std::tuple<std::string, std::string, BoardFlags>> cut;
    each_cut_record(plan, [&](const Row& r) {
        cut.emplace_back(r[MAC], plan.group_of_record(r), flags_of(r));
    });
    std::sort(cut.begin(), cut.end(),
              [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    std::string mac;
    std::map<std::string, BoardFlags> board;
    auto flush = [&] {
        for (const auto& [group, flags] : board) {
            count(group, flags);
        }
        board.clear();
    };
    size_t next_cut = 0;
    auto take = [&](const std::string& m, const std::string& group, const BoardFlags& f) {
        if (m != mac) {
            flush();
            mac = m;
        }
        board[group].join(f);
    };
    auto take_cut_before = [&](const std::string* m) {
        for (; next_cut < cut.size() && (!m || std::get<0>(cut[next_cut]) <= *m); ++next_cut) {
            take(std::get<0>(cut[next_cut]), std::get<1>(cut[next_cut]),
                 std::get<2>(cut[next_cut]));
        }
    };
    each_row("SELECT mac, slot, station, lot, item, ended, passed, first_passed, verified "
             "FROM tally_boards WHERE " +
                 where + " ORDER BY mac",
             values, [&](Row& row) {
                 const std::string* group = plan.group_of(row[1], row[2], row[3], row[4]);
                 if (!group) {
                     return;
                 }
                 take_cut_before(&row[0]);
                 take(row[0], *group,
                      BoardFlags{std::stoll(row[5]), std::stoll(row[6]), std::stoll(row[7]),
                                 std::stoll(row[8])});
             });
    take_cut_before(nullptr);
    flush();
    std::vector<GroupCounts> counted;
    for (auto& [name, g] : groups) {
        if (g.boards + g.running > 0) {
            g.group = name;
            counted.push_back(g);
        }
    }
    return counted;
}

void SqlStore::tallied_failures(const TallyPlan& plan,
                                const std::function<void(const FailureCounts&)>& take) {
    auto give = [&take](const std::string& group, const FailureKey& key, long long count) {
        take({group, stage_named(std::get<0>(key)), outcome_named(std::get<1>(key)),
              std::get<2>(key), std::get<3>(key), count});
    };
    std::vector<std::string> values;
    std::string where = plan.where(values);
    each_row("SELECT slot, station, lot, item, failures FROM tallies WHERE " + where +
                 " AND failures <> ''",
             values, [&](Row& row) {
                 const std::string* group = plan.group_of(row[0], row[1], row[2], row[3]);
                 if (group) {
                     for (const auto& [key, count] : failures_read(row[4])) {
                         give(*group, key, count);
                     }
                 }
             });
    each_cut_record(plan, [&](const Row& r) {
        if (is_failure(r[OUTCOME])) {
            give(plan.group_of_record(r), failure_of(r), 1);
        }
    });
}

namespace {

BoardPart part_of(const std::vector<std::vector<std::string>>& records) {
    BoardPart part;
    for (const auto& r : records) {
        for (const Kind* kind : KINDS) {
            Cell cell = cell_of(*kind, r);
            part.cells[kind->name][cell].join(flags_of(r));
            if (is_failure(r[OUTCOME])) {
                part.failures[cell][failure_of(r)] += 1;
            }
        }
    }
    return part;
}

} // namespace

void SqlStore::tallied(const std::string& mac, const std::function<void()>& write) {
    // One change of a MAC's records at a time, whichever station makes it.
    run("SELECT mac FROM macs_used WHERE mac = $1" + for_update(), {mac});
    const std::string read =
        std::string("SELECT ") + SEEN_COLUMNS + " FROM records r WHERE r.mac = $1";
    BoardPart before = part_of(run(read, {mac}));
    write();
    BoardPart after = part_of(run(read, {mac}));
    std::map<Cell, CellChange> changes;
    for (const Kind* kind : KINDS) {
        const auto& was = before.cells[kind->name];
        const auto& now = after.cells[kind->name];
        if (was == now) {
            continue;
        }
        if (was.size() == 1) {
            changes[was.begin()->first].count(was.begin()->second, -1);
        } else if (was.size() > 1) {
            run("DELETE FROM tally_boards WHERE kind = $1 AND mac = $2", {kind->name, mac});
        }
        if (now.size() == 1) {
            changes[now.begin()->first].count(now.begin()->second, 1);
        } else if (now.size() > 1) {
            for (const auto& [cell, f] : now) {
                std::vector<std::string> values = cell.key();
                values.insert(values.begin() + 1, mac);
                for (long long flag : {f.ended, f.passed, f.first_passed, f.verified}) {
                    values.push_back(std::to_string(flag));
                }
                run("INSERT INTO tally_boards VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10)",
                    values);
            }
        }
    }
    for (auto [part, sign] : {std::pair(&before, -1), {&after, 1}}) {
        for (const auto& [cell, failures] : part->failures) {
            for (const auto& [key, count] : failures) {
                if ((changes[cell].failures[key] += sign * count) == 0) {
                    changes[cell].failures.erase(key);
                }
            }
        }
    }
    for (const auto& [cell, change] : changes) {
        if (!change.empty()) {
            change_tally(cell.key(), change.boards, change.passed, change.first_passed,
                         change.running, change.verified, failures_text(change.failures));
        }
    }
}

void SqlStore::change_tally(const std::vector<std::string>& key, long long boards, long long passed,
                            long long first_passed, long long running, long long verified,
                            const std::string& failures) {
    const std::string is_key =
        " WHERE kind = $1 AND slot = $2 AND station = $3 AND lot = $4 AND item = $5";
    run("INSERT INTO tallies (kind, slot, station, lot, item) VALUES ($1, $2, $3, $4, $5) "
        "ON CONFLICT (kind, slot, station, lot, item) DO NOTHING",
        key);
    Row row = run("SELECT boards, passed, first_passed, running, verified, failures FROM tallies" +
                      is_key + for_update(),
                  key)[0];
    long long sums[] = {std::stoll(row[0]) + boards, std::stoll(row[1]) + passed,
                        std::stoll(row[2]) + first_passed, std::stoll(row[3]) + running,
                        std::stoll(row[4]) + verified};
    FailureMap all = failures_read(row[5]);
    for (const auto& [k, count] : failures_read(failures)) {
        if ((all[k] += count) == 0) {
            all.erase(k);
        }
    }
    if (std::all_of(std::begin(sums), std::end(sums), [](long long n) { return n == 0; }) &&
        all.empty()) {
        run("DELETE FROM tallies" + is_key, key);
        return;
    }
    std::vector<std::string> values = key;
    for (long long n : sums) {
        values.push_back(std::to_string(n));
    }
    values.push_back(failures_text(all));
    run("UPDATE tallies SET boards = $6, passed = $7, first_passed = $8, running = $9, "
        "verified = $10, failures = $11" +
            is_key,
        values);
}

void SqlStore::build_tallies() {
    run("DELETE FROM tallies", {});
    run("DELETE FROM tally_boards", {});
    const std::string verified = "CASE WHEN r.outcome = 'passed' AND EXISTS (SELECT 1 FROM labels "
                                 "l WHERE l.record = r.id AND l.event = 'verified') THEN 1 ELSE 0 "
                                 "END";
    for (const Kind* kind : KINDS) {
        const std::string slot = "substr(r.started, 1, " + std::to_string(kind->slot_length) + ")";
        const std::string item = *kind->item ? std::string("r.") + kind->item : "''";
        const std::string name = std::string("'") + kind->name + "'";
        run("CREATE TEMP TABLE tally_seen AS SELECT r.mac AS mac, " + slot + " AS slot, " +
                "r.station AS station, r.lot AS lot, " + item +
                " AS item, max(CASE WHEN r.outcome <> 'started' THEN 1 ELSE 0 END) AS ended, "
                "max(CASE WHEN r.outcome = 'passed' THEN 1 ELSE 0 END) AS passed, "
                "max(CASE WHEN r.outcome = 'passed' AND r.attempt = 1 THEN 1 ELSE 0 END) AS "
                "first_passed, max(" +
                verified + ") AS verified FROM records r GROUP BY r.mac, " + slot +
                ", r.station, r.lot" + (*kind->item ? ", " + item : ""),
            {});
        run("CREATE TEMP TABLE tally_many AS SELECT mac FROM tally_seen GROUP BY mac "
            "HAVING count(*) > 1",
            {});
        run("INSERT INTO tally_boards SELECT " + name +
                ", mac, slot, station, lot, item, ended, passed, first_passed, verified FROM "
                "tally_seen WHERE mac IN (SELECT mac FROM tally_many)",
            {});
        run("INSERT INTO tallies (kind, slot, station, lot, item, boards, passed, first_passed, "
            "running, verified) SELECT " +
                name +
                ", slot, station, lot, item, sum(ended), sum(passed), sum(first_passed), "
                "count(*) - sum(ended), sum(verified) FROM tally_seen WHERE mac NOT IN "
                "(SELECT mac FROM tally_many) GROUP BY slot, station, lot, item",
            {});
        run("DROP TABLE tally_seen", {});
        run("DROP TABLE tally_many", {});
    }
    build_failure_tallies();
}

void SqlStore::build_failure_tallies() {
    Rows ends = run("SELECT min(started), max(started) FROM records", {});
    if (ends.empty() || ends[0][0].empty()) {
        return;
    }
    // A week of records at a time: a week's cells are few, a year's not.
    const long long week = 7 * 86400;
    for (long long from = utc_seconds(ends[0][0].substr(0, 10) + "T00:00:00.000Z"),
                   last = utc_seconds(ends[0][1]);
         from <= last; from += week) {
        std::map<Cell, FailureMap> cells;
        for (const Row& r : run(std::string("SELECT ") + SEEN_COLUMNS +
                                    " FROM records r WHERE r.started >= $1 AND r.started < $2 "
                                    "AND r.outcome NOT IN ('passed', 'started')",
                                {utc_text_at(from), utc_text_at(from + week)})) {
            for (const Kind* kind : KINDS) {
                cells[cell_of(*kind, r)][failure_of(r)] += 1;
            }
        }
        for (const auto& [cell, failures] : cells) {
            change_tally(cell.key(), 0, 0, 0, 0, 0, failures_text(failures));
        }
    }
}
