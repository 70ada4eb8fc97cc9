// Exports and reports.
#include "station/reports/reports.h"

#include "station/base/base.h"
#include "station/file/file.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>

namespace {

// A character that makes a cell quoted. A look over the cell's bytes, not
// find_first_of: that looks each byte up in the set with a call of its own,
// and an export of a year's records spent a fifth of its time there.
bool needs_quotes(const std::string& value) {
    for (char c : value) {
        if (c == ',' || c == '"' || c == '\r' || c == '\n') {
            return true;
        }
    }
    return false;
}

// A cell as CSV writes it. Ports and messages come from outside: a cell
// that a spreadsheet would take for a formula gets a leading '.
void append_csv(std::string& line, const std::string& value) {
    char lead = value.empty() ? '\0' : value[0];
    bool formula =
        lead == '=' || lead == '+' || lead == '-' || lead == '@' || lead == '\t' || lead == '\r';
    bool quoted = needs_quotes(value);
    if (!quoted) {
        (formula ? line += '\'' : line) += value;
        return;
    }
    line += formula ? "\"'" : "\"";
    for (char c : value) {
        c == '"' ? line += "\"\"" : line += c;
    }
    line += '"';
}

std::string csv_field(const std::string& value) {
    std::string text;
    append_csv(text, value);
    return text;
}

nlohmann::json json_of(const Conflict& c) {
    nlohmann::json late = json_of(c.late), other = json_of(c.other);
    late.erase("transcript");
    other.erase("transcript");
    return {{"mac", c.mac},
            {"late", late},
            {"other", other},
            {"found", c.found},
            {"resolved", c.resolved.empty() ? nlohmann::json(nullptr) : nlohmann::json(c.resolved)},
            {"resolution", c.resolution},
            {"claim_lost", c.claim_lost}};
}

// An item of a JSON array as a whole array's dump would indent it.
std::string in_array(const std::string& item) {
    std::string text = "  ";
    for (char c : item) {
        text += c == '\n' ? std::string("\n  ") : std::string(1, c);
    }
    return text;
}

// The CSV's columns after the record's own, for spreadsheets: the start
// and end in the station's time zone with their offset, and the MAC in its
// colon form, so that an all-digit MAC keeps its zeros; then its label's
// first print (UTC; empty: none) and job, and its reprints.
const char* const SPREADSHEET_COLUMNS[] = {"started_local", "ended_local", "mac_colons",
                                           "label_printed", "label_job",   "label_reprints"};

constexpr size_t LABEL_COLUMNS = 3;

size_t column_index(const std::string& name) {
    const auto& columns = record_columns();
    return static_cast<size_t>(std::find(columns.begin(), columns.end(), name) - columns.begin());
}

// A record's CSV line from its values, the export's columns first.
void csv_line(const std::vector<std::string>& values, LocalTimes& times, std::string& line) {
    static const size_t started = column_index("started"), ended = column_index("ended"),
                        mac = column_index("mac");
    line.clear();
    for (size_t i = 0; i < record_columns().size(); ++i) {
        if (i) {
            line += ',';
        }
        append_csv(line, values[i]);
    }
    for (const std::string& value :
         {times.with_offset(values[started]), times.with_offset(values[ended]),
          mac_with_colons(values[mac])}) {
        line += ',';
        append_csv(line, value);
    }
    // The label's, which the store gives last.
    for (size_t i = values.size() - LABEL_COLUMNS; i < values.size(); ++i) {
        line += ',';
        append_csv(line, values[i]);
    }
    line += '\n';
}

void export_line(const Record& r, ExportFormat format, std::string& line) {
    if (format == ExportFormat::jsonl) {
        line = json_text(json_of(r), -1) + "\n";
    } else {
        line = in_array(json_text(json_of(r), 2));
    }
}

} // namespace

void export_records(Store& store, const RecordFilter& filter, ExportFormat format,
                    std::ostream& out) {
    if (format == ExportFormat::csv) {
        const auto& columns = record_columns();
        for (size_t i = 0; i < columns.size(); ++i) {
            out << (i ? "," : "") << columns[i];
        }
        for (const char* column : SPREADSHEET_COLUMNS) {
            out << "," << column;
        }
        out << "\n";
    }
    RecordFilter chosen = filter;
    chosen.with_transcripts = format != ExportFormat::csv;
    bool first = true;
    std::string line;
    auto write = [&]() {
        if (format == ExportFormat::json) {
            out << (first ? "[\n" : ",\n");
        }
        out << line;
        first = false;
        if (!out) {
            // A reader that went away (a pipe to `head`) ends the export,
            // as quietly as a broken pipe ends a filter.
            throw StationError{"", 1};
        }
    };
    if (format == ExportFormat::csv) {
        // As text the values are already what the line needs.
        LocalTimes times;
        store.each_record_values(chosen, [&](const std::vector<std::string>& values) {
            csv_line(values, times, line);
            write();
        });
    } else {
        store.each_record(chosen, [&](const Record& r) {
            export_line(r, format, line);
            write();
        });
    }
    if (format == ExportFormat::json) {
        out << (first ? "[]\n" : "\n]\n");
    }
    out.flush();
}

long long print_history(const EachRecord& each, const std::vector<Release>& releases,
                        const std::vector<LabelEvent>& labels,
                        const std::function<std::string(const Record&)>& log_of,
                        std::ostream& out) {
    long long printed = 0;
    each([&](const Record& r) {
        if (printed++ == 0) {
            out << "times in " << local_zone_name() << "\n";
        }
        out << "== MAC " << r.mac << ", " << local_text(r.started) << " station " << r.station
            << ", fixture " << r.fixture << " (" << r.device << "), attempt " << r.attempt
            << (r.rework ? ", rework" : "") << ": " << outcome_said(r);
        // The bytes this board received, by their hashes.
        out << ", " << r.frames << " frames";
        for (const ImageInfo& image : image_kinds()) {
            out << "\n   " << hash_line(image, r.*image.hash);
        }
        out << "\n   lot        " << (r.lot.empty() ? "none" : r.lot) << ", operator "
            << (r.operator_name.empty() ? "none" : r.operator_name) << "\n   record     " << r.id
            << "\n   log        ";
        std::string log = log_of(r);
        out << (log.empty() ? "not on this machine" : log) << "\n" << r.transcript;
        if (!r.transcript.empty() && r.transcript.back() != '\n') {
            out << "\n";
        }
    });
    if (printed == 0) {
        return 0;
    }
    for (const Release& x : releases) {
        out << "== MAC " << x.mac << " released " << local_text(x.released) << " by " << x.who
            << " from record " << x.record << " of station " << x.station << ": " << x.reason
            << "\n";
    }
    for (const LabelEvent& l : labels) {
        out << "== MAC " << l.mac << " label " << l.event << " " << local_text(l.at) << " on "
            << l.printer << (l.job.empty() ? "" : ", job " + l.job) << " for record " << l.record
            << (l.who.empty() ? "" : ", by " + l.who) << (l.reason.empty() ? "" : ": " + l.reason)
            << "\n";
    }
    return printed;
}

namespace {

// A failure as a supervisor counts it: the frame numbers folded, so that
// "no answer to frame 21" and "... frame 32" are one row.
std::string failure_of(const FailureCounts& f) {
    std::string message = folded_frames(f.message);
    return f.outcome == Outcome::failed ? message
                                        : std::string(text_of(f.outcome)) + ": " + message;
}

// In GroupBy's order.
const char* const GROUPING_NAMES[] = {"day", "shift", "lot", "station", "fixture", "operator"};

} // namespace

const std::vector<GroupBy>& groupings() {
    static const std::vector<GroupBy> all = {GroupBy::day,     GroupBy::shift,
                                             GroupBy::lot,     GroupBy::station,
                                             GroupBy::fixture, GroupBy::operator_name};
    return all;
}

const char* name_of(GroupBy by) {
    return GROUPING_NAMES[static_cast<size_t>(by)];
}

std::optional<GroupBy> group_by_named(const std::string& word) {
    for (GroupBy by : groupings()) {
        if (word == name_of(by)) {
            return by;
        }
    }
    return std::nullopt;
}

std::string grouping_fault(const std::string& word, bool has_shifts, const std::string& file_path) {
    std::optional<GroupBy> by = group_by_named(word);
    if (!by) {
        return "day, shift, lot, station, fixture or operator";
    }
    return *by == GroupBy::shift && !has_shifts ? file_path + " names no [shifts]" : "";
}

namespace {

// The groups of a report by time: every local day (or shift) from the
// first record's to the last's, cut to the asked days. A shift begun the
// day before the first record may hold it.
Grouping grouping_of(Store& store, const ReportAsk& ask) {
    Grouping grouping;
    if (ask.by != GroupBy::day && ask.by != GroupBy::shift) {
        grouping.column = name_of(ask.by);
        return grouping;
    }
    auto [first, last] = store.started_between(ask.filter);
    if (first.empty()) {
        return grouping;
    }
    Date from = local_date(first), to = local_date(last);
    if (ask.by == GroupBy::day) {
        grouping.spans = day_spans(from, to);
    } else {
        grouping.spans = shift_spans(day_before(from), to, ask.shifts);
    }
    grouping.spans = clipped(grouping.spans, ask.filter.since, ask.filter.until);
    return grouping;
}

} // namespace

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

double first_pass_yield(const GroupCounts& g) {
    return g.boards == 0
               ? 0.0
               : 100.0 * static_cast<double>(g.first_passed) / static_cast<double>(g.boards);
}

Report count_report(Store& store, const ReportAsk& ask) {
    Grouping grouping = grouping_of(store, ask);
    Report report;
    // Folded as the store hands them over: a year of messages with their
    // frame numbers is many rows, their folds few.
    report.groups = store.report_counts(
        ask.filter, grouping,
        [&](const FailureCounts& f) {
            std::pair<std::string, std::string> key{text_of(f.stage), failure_of(f)};
            for (Failures* folded : {&report.by_group[f.group][key], &report.all[key]}) {
                folded->count += f.count;
                folded->fixtures.insert(f.fixture);
            }
        },
        ask.from);
    return report;
}

std::vector<std::string> report_differences(const Report& kept, const Report& counted) {
    std::vector<std::string> said;
    auto differ = [&said](const std::string& what, long long a, long long b) {
        if (a != b) {
            said.push_back(what + " " + std::to_string(a) + " kept, " + std::to_string(b) +
                           " in the records");
        }
    };
    std::map<std::string, std::pair<GroupCounts, GroupCounts>> groups;
    for (const GroupCounts& g : kept.groups) {
        groups[g.group].first = g;
    }
    for (const GroupCounts& g : counted.groups) {
        groups[g.group].second = g;
    }
    for (const auto& [name, both] : groups) {
        const GroupCounts &a = both.first, &b = both.second;
        differ(name + ": boards", a.boards, b.boards);
        differ(name + ": passed", a.passed, b.passed);
        differ(name + ": passed at the first attempt", a.first_passed, b.first_passed);
        differ(name + ": running", a.running, b.running);
        differ(name + ": labels verified", a.labels_verified, b.labels_verified);
    }
    std::set<std::string> names;
    for (const Report* r : {&kept, &counted}) {
        for (const auto& [name, table] : r->by_group) {
            names.insert(name);
        }
    }
    for (const std::string& name : names) {
        auto table = [&name](const Report& r) {
            auto found = r.by_group.find(name);
            return found == r.by_group.end() ? FailureTable{} : found->second;
        };
        FailureTable a = table(kept), b = table(counted);
        std::set<std::pair<std::string, std::string>> keys;
        for (const FailureTable* t : {&a, &b}) {
            for (const auto& [key, f] : *t) {
                keys.insert(key);
            }
        }
        for (const auto& key : keys) {
            std::string what = name + ": " + key.first + " " + key.second;
            differ(what, a[key].count, b[key].count);
            if (a[key].fixtures != b[key].fixtures) {
                said.push_back(what + ": fixtures " + joined(a[key].fixtures) + " kept, " +
                               joined(b[key].fixtures) + " in the records");
            }
        }
    }
    return said;
}

namespace {

// The failures of each group as a CSV table of their own: a row per group,
// stage and failure.
void print_failures_csv(const Report& report, const std::string& by, std::ostream& out) {
    out << by << ",stage,failure,failures,fixtures\n";
    for (const auto& [group, failures] : report.by_group) {
        for (const auto& [key, f] : failures) {
            out << csv_field(group) << "," << csv_field(key.first) << "," << csv_field(key.second)
                << "," << f.count << "," << csv_field(joined(f.fixtures)) << "\n";
        }
    }
}

} // namespace

void print_report(const Report& report, const ReportAsk& ask, bool csv, std::ostream& out,
                  bool failures_csv) {
    const std::vector<GroupCounts>& groups = report.groups;
    const FailureTable& all = report.all;
    const std::string by = name_of(ask.by);
    size_t width = by.size();
    for (const GroupCounts& g : groups) {
        width = std::max(width, std::max<size_t>(g.group.size(), 10));
    }
    char line[256];
    if (csv && failures_csv) {
        print_failures_csv(report, by, out);
        return;
    }
    // Labels verified against boards passed, in a store that has labels.
    bool labels = std::any_of(groups.begin(), groups.end(),
                              [](const GroupCounts& g) { return g.labels_verified >= 0; });
    if (csv) {
        // A row a group, so that a spreadsheet's sums count each board once.
        out << by << ",boards,passed,first_pass_yield,labels_verified\n";
    } else {
        out << "times in " << local_zone_name() << "\n"
            << by << std::string(width - by.size(), ' ') << "  boards  passed  first-pass yield"
            << (labels ? "  labels verified" : "") << "\n";
    }
    for (const GroupCounts& g : groups) {
        double yield = first_pass_yield(g);
        std::string name = g.group.empty() && !csv ? "(none)" : g.group;
        std::string verified = labels ? std::to_string(g.labels_verified) : "";
        if (!csv) {
            std::snprintf(line, sizeof(line), "%-*s  %6lld  %6lld  %15.1f%%",
                          static_cast<int>(width), name.c_str(), g.boards, g.passed, yield);
            out << line;
            if (labels) {
                std::snprintf(line, sizeof(line), "  %15s",
                              (verified + " of " + std::to_string(g.passed)).c_str());
                out << line;
            }
            out << "\n";
            continue;
        }
        std::snprintf(line, sizeof(line), "%lld,%lld,%.1f,", g.boards, g.passed, yield);
        out << csv_field(name) << "," << line << verified << "\n";
    }
    if (csv) {
        return;
    }
    if (all.empty()) {
        out << "\nfailures by stage: none\n";
        return;
    }
    out << "\nfailures by stage\nstage          count  failure (fixtures)\n";
    for (const auto& [key, f] : all) {
        std::snprintf(line, sizeof(line), "%-13s  %5lld  ", key.first.c_str(), f.count);
        out << line << key.second << " (" << joined(f.fixtures) << ")\n";
    }
}

nlohmann::json kept_json(const std::vector<Record>& kept) {
    nlohmann::json list = nlohmann::json::array();
    for (const Record& r : kept) {
        list.push_back({{"mac", r.mac},
                        {"station", r.station},
                        {"fixture", r.fixture},
                        {"outcome", text_of(r.outcome)},
                        {"stage", text_of(r.stage)},
                        {"message", r.message},
                        {"ended", r.ended},
                        {"record", r.id},
                        {"retry", "station retry --mac " + r.mac},
                        {"release", "station release " + r.mac + " --reason TEXT"}});
    }
    return list;
}

void print_kept(const std::vector<Record>& kept, std::ostream& out) {
    if (kept.empty()) {
        out << "no board keeps its MAC\n";
    }
    for (const Record& r : kept) {
        out << r.mac << "  " << r.station << " " << r.fixture << "  " << outcome_said(r) << "  "
            << local_text(r.ended.empty() ? r.started : r.ended) << "  (station retry --mac "
            << r.mac << " on " << r.station << "; station release " << r.mac << " --reason TEXT)\n";
    }
}

nlohmann::json conflicts_json(const std::vector<Conflict>& conflicts) {
    nlohmann::json list = nlohmann::json::array();
    for (const Conflict& conflict : conflicts) {
        list.push_back(json_of(conflict));
    }
    return list;
}

std::string json_text(const nlohmann::json& item, int indent) {
    return item.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}
