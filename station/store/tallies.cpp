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

#include "station/base/base.h"

#include <algorithm>
#include <charconv>
#include <set>
#include <tuple>
#include <unordered_map>
#include <string_view>

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
    "l.record = r.id AND l.event = 'verified') THEN 1 ELSE 0 END, r.id";
enum SeenColumn {
    STARTED,
    STATION,
    LOT,
    FIXTURE,
    OPERATOR,
    MAC,
    OUTCOME,
    ATTEMPT,
    STAGE,
    MESSAGE,
    VERIFIED,
    ID
};

BoardFlags flags_of(const std::vector<std::string>& r) {
    BoardFlags f;
    f.ended = r[OUTCOME] != "started";
    f.passed = r[OUTCOME] == "passed";
    f.first_passed = f.passed && r[ATTEMPT] == "1";
    f.verified = f.passed && r[VERIFIED] == "1";
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

// Each line of a cell's failures, its key's text (the four fields as
// written, escaped) apart from its count: separators and line ends are
// never escaped, so a line is cut at its last tab.
template <typename Take> void each_failure_line(const std::string& text, Take take) {
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            return; // a line cut short is no line
        }
        size_t tab = text.rfind('\t', end);
        if (tab != std::string::npos && tab >= at) {
            long long n = 0;
            std::from_chars(text.data() + tab + 1, text.data() + end, n);
            take(std::string_view(text.data() + at, tab - at), n);
        }
        at = end + 1;
    }
}

// A key's four fields from its text; false when it has not four.
bool failure_key_read(std::string_view text, FailureKey& key) {
    std::string* fields[] = {&std::get<0>(key), &std::get<1>(key), &std::get<2>(key),
                             &std::get<3>(key)};
    size_t field = 0;
    fields[0]->clear();
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\t') {
            if (++field == 4) {
                return false;
            }
            fields[field]->clear();
        } else if (c == '\\' && i + 1 < text.size()) {
            char n = text[++i];
            *fields[field] += n == 't' ? '\t' : n == 'n' ? '\n' : n;
        } else {
            *fields[field] += c;
        }
    }
    return field == 3;
}

// Each failure of a cell's text with its count.
template <typename Take> void each_failure_read(const std::string& text, Take take) {
    FailureKey key;
    each_failure_line(text, [&](std::string_view key_text, long long n) {
        if (failure_key_read(key_text, key)) {
            take(key, n);
        }
    });
}

FailureMap failures_read(const std::string& text) {
    FailureMap failures;
    each_failure_read(text,
                      [&failures](const FailureKey& key, long long n) { failures[key] += n; });
    return failures;
}

// A count as the store gives it: digits, perhaps a sign.
long long count_of(const std::string& text) {
    long long n = 0;
    std::from_chars(text.data(), text.data() + text.size(), n);
    return n;
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
    // The group of any record, none when the filter or the spans leave it out.
    std::optional<std::string> group_within(const std::vector<std::string>& r) const {
        const std::string& started = r[STARTED];
        if ((!filter.station.empty() && r[STATION] != filter.station) ||
            (!filter.lot.empty() && r[LOT] != filter.lot) ||
            (!filter.since.empty() && started < filter.since) ||
            (!filter.until.empty() && started >= filter.until)) {
            return std::nullopt;
        }
        if (column.empty()) {
            auto after = std::upper_bound(
                stretches.begin(), stretches.end(), started,
                [](const std::string& s, const Stretch& t) { return s < t.since; });
            if (after == stretches.begin() || started >= (after - 1)->until) {
                return std::nullopt;
            }
        }
        return group_of_record(r);
    }
    // Whether the plan's cells span more than a month (or are unbounded).
    bool wide() const {
        const std::string &first = stretches.front().first, &end = stretches.back().end;
        return first.empty() || end.empty() ||
               utc_seconds(slot_start(*kind, end)) - utc_seconds(slot_start(*kind, first)) >
                   31 * 86400;
    }
    // The tests of a query over cells of the plan's kind and the filter;
    // `bounded`: its time's too.
    std::string where(std::vector<std::string>& values, bool bounded = true) const {
        values = {kind->name};
        std::string where = "kind = $1";
        auto test = [&](const std::string& value, const char* sql) {
            if (!value.empty()) {
                values.push_back(value);
                where += std::string(" AND ") + sql + " $" + std::to_string(values.size());
            }
        };
        if (bounded) {
            test(stretches.front().first, "slot >=");
            test(stretches.back().end, "slot <");
        }
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
    return ordered(plan ? tallied_groups(*plan) : counted_groups(f, grouping));
}

std::vector<GroupCounts>
SqlStore::report_counts(const RecordFilter& f, const Grouping& grouping,
                        const std::function<void(const FailureCounts&)>& take, CountFrom from) {
    if (grouping.column.empty() && grouping.spans.empty()) {
        return {};
    }
    std::optional<TallyPlan> plan =
        from == CountFrom::kept ? tally_plan(f, grouping) : std::nullopt;
    if (plan) {
        return ordered(tallied_groups(*plan, &take));
    }
    std::vector<GroupCounts> counts = ordered(counted_groups(f, grouping));
    counted_failures(f, grouping, take);
    return counts;
}

std::vector<GroupCounts> SqlStore::ordered(std::vector<GroupCounts> counts) {
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
    report_counts(f, grouping, take, from);
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

std::vector<GroupCounts>
SqlStore::tallied_groups(const TallyPlan& plan,
                         const std::function<void(const FailureCounts&)>* failures) {
    auto give = [failures](const std::string& group, const FailureKey& key, long long count) {
        (*failures)({group, stage_named(std::get<0>(key)), outcome_named(std::get<1>(key)),
                     std::get<2>(key), std::get<3>(key), count});
    };
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
    std::string last_name;
    GroupCounts* last = nullptr;
    // Failures folded by the key's text as the cells have it, read into
    // their fields once each when handed over: to `group`, or (none) to the
    // fixture the key names.
    typedef std::unordered_map<std::string, long long> Folded;
    std::string scratch;
    auto fold = [&scratch](Folded& folded, const std::string& text) {
        each_failure_line(text, [&](std::string_view key, long long times) {
            scratch.assign(key.data(), key.size());
            folded[scratch] += times;
        });
    };
    auto give_folded = [&give](Folded& folded, const std::string* group) {
        FailureKey key;
        for (const auto& [text, times] : folded) {
            if (failure_key_read(text, key)) {
                give(group ? *group : std::get<3>(key), key, times);
            }
        }
        folded.clear();
    };
    std::string run_group;
    bool in_run = false;
    Folded run_failures;
    auto give_run = [&] {
        give_folded(run_failures, &run_group);
        in_run = false;
    };
    // A failure's key names its fixture: by fixture, the failures are read
    // from the day's cells of each station and lot, a few big texts, rather
    // than from each fixture's day, a group of its own at every row.
    bool failures_of_days = failures && plan.kind == &FIXTURE_DAYS;
    if (failures_of_days) {
        std::vector<std::string> day_values = values;
        day_values[0] = DAYS.name;
        Folded by_key;
        each_row("SELECT slot, station, lot, item, failures FROM tallies WHERE " + where +
                     " AND failures <> ''",
                 day_values, [&](Row& row) {
                     if (plan.group_of(row[0], row[1], row[2], row[3])) {
                         fold(by_key, row[4]);
                     }
                 });
        give_folded(by_key, nullptr);
    }
    each_row(std::string("SELECT slot, station, lot, item, boards, passed, first_passed, "
                         "running, verified") +
                 (failures && !failures_of_days ? ", failures" : "") + " FROM tallies WHERE " +
                 where,
             values, [&](Row& row) {
                 const std::string* group = plan.group_of(row[0], row[1], row[2], row[3]);
                 if (!group) {
                     return;
                 }
                 if (failures && !failures_of_days && !row[9].empty()) {
                     // Folded over a run of cells of one group (a span's
                     // hours come one after another), handed over once.
                     if (in_run && run_group != *group) {
                         give_run();
                     }
                     run_group = *group;
                     in_run = true;
                     fold(run_failures, row[9]);
                 }
                 // Cells come in the order of their slots: most rows of a
                 // span's group follow one another.
                 if (!last || *group != last_name) {
                     last_name = *group;
                     last = &group_at(*group);
                 }
                 last->boards += count_of(row[4]);
                 last->passed += count_of(row[5]);
                 last->first_passed += count_of(row[6]);
                 last->running += count_of(row[7]);
                 last->labels_verified += count_of(row[8]);
             });
    give_run();
    // The boards of several cells and those of the cut cells, a MAC at a
    // time: each once in each of its groups.
    std::vector<std::tuple<std::string, std::string, BoardFlags>> cut;
    each_cut_record(plan, [&](const Row& r) {
        if (r[OUTCOME] != "started") {
            cut.emplace_back(r[MAC], plan.group_of_record(r), flags_of(r));
        }
        if (failures && is_failure(r[OUTCOME])) {
            give(plan.group_of_record(r), failure_of(r), 1);
        }
    });
    std::sort(cut.begin(), cut.end(),
              [](const auto& a, const auto& b) { return std::get<0>(a) < std::get<0>(b); });
    // A board's groups so far: few, looked over in turn; their strings
    // kept from one board to the next.
    std::string mac;
    std::vector<std::pair<std::string, BoardFlags>> board;
    size_t groups_of_board = 0;
    auto flush = [&] {
        for (size_t i = 0; i < groups_of_board; ++i) {
            count(board[i].first, board[i].second);
        }
        groups_of_board = 0;
    };
    size_t next_cut = 0;
    auto take = [&](const std::string& m, const std::string& group, const BoardFlags& f) {
        if (m != mac) {
            flush();
            mac = m;
        }
        for (size_t i = 0; i < groups_of_board; ++i) {
            if (board[i].first == group) {
                board[i].second.join(f);
                return;
            }
        }
        if (groups_of_board == board.size()) {
            board.emplace_back();
        }
        board[groups_of_board].first = group;
        board[groups_of_board++].second = f;
    };
    auto take_cut_before = [&](const std::string* m) {
        for (; next_cut < cut.size() && (!m || std::get<0>(cut[next_cut]) <= *m); ++next_cut) {
            take(std::get<0>(cut[next_cut]), std::get<1>(cut[next_cut]),
                 std::get<2>(cut[next_cut]));
        }
    };
    // Over a long time most of the kind's rows are read: in the order of its
    // key, by MAC already, rather than sorted anew (a year of them at ten
    // million records was most of a report's time); the bounds are tested
    // by group_of.
    bool wide = plan.wide();
    std::vector<std::string> boards_values = values;
    std::string boards_where = wide ? plan.where(boards_values, false) : where;
    each_row("SELECT mac, slot, station, lot, item, ended, passed, first_passed, verified "
             "FROM tally_boards WHERE " +
                 boards_where +
                 (wide ? " ORDER BY kind, mac, slot, station, lot, item" : " ORDER BY mac"),
             boards_values, [&](Row& row) {
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
    // The boards still running: those of the open records (few, on their
    // own index) with no ended record in the same group. Asked by station
    // alone, the rest of the filter tested here: a time bound would take
    // the engine to the index of every record's start instead, a tenth of a
    // second for a year of them.
    std::set<std::pair<std::string, std::string>> running;
    RecordFilter open;
    open.station = plan.filter.station;
    std::vector<std::string> values_open;
    std::string where_open = records_where(open, values_open);
    each_row(std::string("SELECT ") + SEEN_COLUMNS + " FROM records r WHERE " + where_open +
                 " AND r.outcome = 'started'",
             values_open, [&](Row& r) {
                 std::optional<std::string> group = plan.group_within(r);
                 if (group) {
                     running.insert({r[MAC], *group});
                 }
             });
    for (const auto& [m, group] : running) {
        bool ended = false;
        for (const Row& r : run(std::string("SELECT ") + SEEN_COLUMNS +
                                    " FROM records r WHERE r.mac = $1 AND r.outcome <> 'started'",
                                {m})) {
            ended = ended || plan.group_within(r) == group;
        }
        if (!ended) {
            group_at(group).running += 1;
        }
    }
    std::vector<GroupCounts> counted;
    for (auto& [name, g] : groups) {
        if (g.boards + g.running > 0) {
            g.group = name;
            counted.push_back(g);
        }
    }
    return counted;
}

namespace {

BoardPart part_of(const std::vector<std::vector<std::string>>& records) {
    BoardPart part;
    for (const auto& r : records) {
        if (r[OUTCOME] == "started") {
            continue; // counted from the open records themselves
        }
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

namespace {

// "($1, $2, $3), ($4, $5, $6)": `rows` rows of `width` values each.
std::string value_rows(size_t rows, size_t width) {
    std::string text;
    for (size_t n = 1, row = 0; row < rows; ++row) {
        text += row ? ", (" : "(";
        for (size_t column = 0; column < width; ++column, ++n) {
            text += (column ? ", $" : "$") + std::to_string(n);
        }
        text += ")";
    }
    return text;
}

} // namespace

SqlStore::Rows SqlStore::tally_read(const std::string& mac) {
    // The held row makes one change of a MAC's records at a time, whichever
    // station makes it; the records' rows are held too.
    return run("WITH held AS (SELECT mac FROM macs_used WHERE mac = $1" + for_update() +
                   ") SELECT " + SEEN_COLUMNS +
                   " FROM records r WHERE r.mac = $1 AND (SELECT count(*) FROM held) >= 0" +
                   for_update(),
               {mac});
}

std::optional<Outcome> SqlStore::outcome_in(const Rows& records, const std::string& id) {
    for (const Row& r : records) {
        if (r[ID] == id) {
            return outcome_named(r[OUTCOME]);
        }
    }
    return std::nullopt;
}

void SqlStore::tallied(Rows records, const TallyChange& made) {
    const std::string mac = made.mac;
    BoardPart before = part_of(records);
    // The same records as the write left them.
    for (Row& r : records) {
        if (made.ended && r[ID] == made.ended->id) {
            r[OUTCOME] = text_of(made.ended->outcome);
            r[STAGE] = text_of(made.ended->stage);
            r[MESSAGE] = made.ended->message;
        }
        if (!made.verified.empty() && r[ID] == made.verified) {
            r[VERIFIED] = "1";
        }
    }
    BoardPart after = part_of(records);
    std::map<Cell, CellChange> changes;
    std::vector<std::string> apart_before, apart_now;
    for (const Kind* kind : KINDS) {
        const auto& was = before.cells[kind->name];
        const auto& now = after.cells[kind->name];
        if (was == now) {
            continue;
        }
        if (was.size() == 1) {
            changes[was.begin()->first].count(was.begin()->second, -1);
        } else if (was.size() > 1) {
            apart_before.push_back(kind->name);
        }
        if (now.size() == 1) {
            changes[now.begin()->first].count(now.begin()->second, 1);
        }
        for (const auto& [cell, f] : now) {
            if (now.size() > 1) {
                std::vector<std::string> values = cell.key();
                values.insert(values.begin() + 1, mac);
                for (long long flag : {f.ended, f.passed, f.first_passed, f.verified}) {
                    values.push_back(std::to_string(flag));
                }
                apart_now.insert(apart_now.end(), values.begin(), values.end());
            }
        }
    }
    if (!apart_before.empty()) {
        std::vector<std::string> values = apart_before;
        values.push_back(mac);
        run("DELETE FROM tally_boards WHERE kind IN " + value_rows(1, apart_before.size()) +
                " AND mac = $" + std::to_string(values.size()),
            values);
    }
    if (!apart_now.empty()) {
        run("INSERT INTO tally_boards VALUES " + value_rows(apart_now.size() / 10, 10), apart_now);
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
    std::vector<std::vector<std::string>> rows;
    for (const auto& [cell, change] : changes) {
        if (!change.empty()) {
            rows.push_back(cell.key());
            for (long long n : {change.boards, change.passed, change.first_passed, change.running,
                                change.verified}) {
                rows.back().push_back(std::to_string(n));
            }
            rows.back().push_back(failures_text(change.failures));
        }
    }
    bool failures_change =
        std::any_of(rows.begin(), rows.end(), [](const auto& row) { return !row[10].empty(); });
    if (failures_change) {
        // The failures are one text a cell: read under a lock, added to.
        std::vector<std::string> keys;
        for (const auto& row : rows) {
            keys.insert(keys.end(), row.begin(), row.begin() + 5);
        }
        std::map<std::vector<std::string>, std::string> had;
        // Each cell by its key (a row value list would scan the table).
        std::string cells;
        for (size_t i = 0; i < rows.size(); ++i) {
            cells += std::string(i ? " OR " : "") + "(kind = $" + std::to_string(5 * i + 1) +
                     " AND slot = $" + std::to_string(5 * i + 2) + " AND station = $" +
                     std::to_string(5 * i + 3) + " AND lot = $" + std::to_string(5 * i + 4) +
                     " AND item = $" + std::to_string(5 * i + 5) + ")";
        }
        for (Row& row : run("SELECT kind, slot, station, lot, item, failures FROM tallies WHERE " +
                                cells + for_update(),
                            keys)) {
            had[{row.begin(), row.begin() + 5}] = row[5];
        }
        for (auto& row : rows) {
            FailureMap all = failures_read(had[{row.begin(), row.begin() + 5}]);
            for (const auto& [key, count] : failures_read(row[10])) {
                if ((all[key] += count) == 0) {
                    all.erase(key);
                }
            }
            row[10] = failures_text(all);
        }
    }
    add_to_tallies(rows, failures_change);
}

void SqlStore::add_to_tallies(const std::vector<std::vector<std::string>>& rows,
                              bool set_failures) {
    // A few hundred cells a statement: within every engine's bound on values.
    const size_t most = 300;
    for (size_t from = 0; from < rows.size(); from += most) {
        size_t count = std::min(most, rows.size() - from);
        std::vector<std::string> values;
        for (size_t i = from; i < from + count; ++i) {
            values.insert(values.end(), rows[i].begin(), rows[i].end());
        }
        run("INSERT INTO tallies (kind, slot, station, lot, item, boards, passed, first_passed, "
            "running, verified, failures) VALUES " +
                value_rows(count, 11) +
                " ON CONFLICT (kind, slot, station, lot, item) DO UPDATE SET boards = "
                "tallies.boards + excluded.boards, passed = tallies.passed + excluded.passed, "
                "first_passed = tallies.first_passed + excluded.first_passed, running = "
                "tallies.running + excluded.running, verified = tallies.verified + "
                "excluded.verified, failures = " +
                (set_failures ? "excluded.failures" : "tallies.failures"),
            values);
    }
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
                verified +
                ") AS verified FROM records r WHERE r.outcome <> 'started' "
                "GROUP BY r.mac, " +
                slot + ", r.station, r.lot" + (*kind->item ? ", " + item : ""),
            {});
        // NOT EXISTS, not NOT IN, below: PostgreSQL hashes a NOT IN list only
        // while it fits its work_mem, and looks it over row by row past that
        // (the boards of several cells of ten million records: hours).
        run("CREATE TEMP TABLE tally_many AS SELECT mac FROM tally_seen GROUP BY mac "
            "HAVING count(*) > 1",
            {});
        // SQLite looks a correlated NOT EXISTS up on an index, or scans the
        // table once per row (200,000 records: minutes).
        run("CREATE INDEX tally_many_mac ON tally_many (mac)", {});
        run("INSERT INTO tally_boards SELECT " + name +
                ", mac, slot, station, lot, item, ended, passed, first_passed, verified FROM "
                "tally_seen WHERE mac IN (SELECT mac FROM tally_many)",
            {});
        run("INSERT INTO tallies (kind, slot, station, lot, item, boards, passed, first_passed, "
            "running, verified) SELECT " +
                name +
                ", slot, station, lot, item, sum(ended), sum(passed), sum(first_passed), "
                "count(*) - sum(ended), sum(verified) FROM tally_seen s WHERE NOT EXISTS "
                "(SELECT 1 FROM tally_many m WHERE m.mac = s.mac) GROUP BY slot, station, "
                "lot, item",
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
        // A week's records hold each of their cells' failures whole.
        std::vector<std::vector<std::string>> rows;
        for (const auto& [cell, failures] : cells) {
            rows.push_back(cell.key());
            rows.back().insert(rows.back().end(),
                               {"0", "0", "0", "0", "0", failures_text(failures)});
        }
        add_to_tallies(rows, true);
    }
}
