// What the records tell: the export of the records, one board's history,
// and the report of yields and failures by day, shift, lot, station or
// fixture. Counting is the store's; these choose, fold and print.
#pragma once

#include "station/base/base.h"
#include "station/store/store.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

enum class ExportFormat {
    csv,  // one header line and one line per record, the export's columns in order
    json, // an array of records with the export's columns and the transcript
    jsonl // the same records, one a line
};
// Writes the records as the store reads them, one at a time.
void export_records(Store& store, const RecordFilter& filter, ExportFormat format,
                    std::ostream& out);

// The MACs on two boards as a JSON array: each with both records (their
// export's columns), when it was found and how it was resolved.
nlohmann::json conflicts_json(const std::vector<Conflict>& conflicts);
// The MACs boards keep (Store::kept_macs) as a JSON array: each with its
// board (station, fixture, how it ended, when, its record) and the commands
// that retry it or free its MAC.
nlohmann::json kept_json(const std::vector<Record>& kept);
// The same as lines for people, one a MAC; "no board keeps its MAC" when none.
void print_kept(const std::vector<Record>& kept, std::ostream& out);
// JSON as the station writes it: anything not UTF-8 replaced.
std::string json_text(const nlohmann::json& item, int indent);

// Records handed one at a time: `each` calls its argument with each record,
// in order (Store::each_record behind it).
typedef std::function<void(const Record&)> RecordTaker;
typedef std::function<void(const RecordTaker&)> EachRecord;

// Each record with its id, lot, operator, its log's path (`log_of`: empty
// when the log is not on this machine) and its transcript, as host printed
// it, at local times. Then each release of the MAC: when, by whom, why; and
// each of its labels: printed, printed again or not, where, by whom, why.
// The records come from `each` one at a time, each printed as it comes (a
// transcript is never held twice); returns how many came.
long long print_history(const EachRecord& each, const std::vector<Release>& releases,
                        const std::vector<LabelEvent>& labels,
                        const std::function<std::string(const Record&)>& log_of, std::ostream& out);

// How a report groups records: by local day or shift, or by a column.
enum class GroupBy { day, shift, lot, station, fixture, operator_name };
// Each, in the order they are offered.
const std::vector<GroupBy>& groupings();
const char* name_of(GroupBy by);
// The grouping a word names; none for any other word.
std::optional<GroupBy> group_by_named(const std::string& word);
// Why a grouping is not taken ("day, shift, lot, station, fixture or operator"), or
// an empty text: a word that names none, or shifts when `file_path` names
// none (`has_shifts`).
std::string grouping_fault(const std::string& word, bool has_shifts, const std::string& file_path);

// What a report counts and how it groups the records.
struct ReportAsk {
    RecordFilter filter; // `since` and `until` as UTC bounds of local days
    GroupBy by = GroupBy::day;
    std::vector<Shift> shifts; // for GroupBy::shift
    CountFrom from = CountFrom::kept;
};
// Failures of one stage and message (frame numbers folded: "no answer to
// frame N"), and the fixtures they happened on.
struct Failures {
    long long count = 0;
    std::set<std::string> fixtures;
};
typedef std::map<std::pair<std::string, std::string>, Failures> FailureTable; // stage, failure
// What a report counts: per group boards, passed and first-pass yield, and
// the failures of each group and of all.
struct Report {
    std::vector<GroupCounts> groups;
    std::map<std::string, FailureTable> by_group;
    FailureTable all;
};
Report count_report(Store& store, const ReportAsk& ask);
// Where two reports of one ask differ (the kept counts against the
// records, counted again), a line each: "2026-06-15: boards 10 kept, 11 in
// the records"; none when they agree.
std::vector<std::string> report_differences(const Report& kept, const Report& counted);
// A group's first-pass yield, in percent.
double first_pass_yield(const GroupCounts& group);
// The fixtures' names, space-separated.
std::string joined(const std::set<std::string>& names);

// Per group: boards, passed, first-pass yield; the failures by stage and
// message, frame numbers folded, with their fixtures. As CSV, a row a
// group, or (`failures_csv`) the failures alone, a row a group, stage and
// failure.
void print_report(const Report& report, const ReportAsk& ask, bool csv, std::ostream& out,
                  bool failures_csv = false);
