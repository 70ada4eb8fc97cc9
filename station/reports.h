// What the records tell: the export of the records, one board's history,
// and the report of yields and failures by day, shift, lot, station or
// fixture. Counting is the store's; these choose, fold and print.
#pragma once

#include "station/local_days.h"
#include "station/store.h"

#include <functional>
#include <ostream>
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

// Each record with its id, lot, operator, its log's path (`log_of`: empty
// when the log is not on this machine) and its transcript, as host printed
// it, at local times. Then each release of the MAC: when, by whom, why.
void print_history(const std::vector<Record>& records, const std::vector<Release>& releases,
                   const std::function<std::string(const Record&)>& log_of, std::ostream& out);

// What a report counts and how it groups the records.
struct ReportAsk {
    RecordFilter filter;       // `since` and `until` as UTC bounds of local days
    std::string by = "day";    // day, shift, lot, station or fixture
    std::vector<Shift> shifts; // for `by` shift
};
// Per group: boards, passed, first-pass yield; the failures by stage and
// message, frame numbers folded, with their fixtures. As CSV, one table.
void print_report(Store& store, const ReportAsk& ask, bool csv, std::ostream& out);
