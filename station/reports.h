// What the records tell: the export of every record, one board's history,
// and the report of days, yields and failures.
#pragma once

#include "station/record.h"

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// One header line and one line per record, the export's columns in order.
void export_csv(const std::vector<Record>& records, std::ostream& out);
// An array of records with the export's columns and the transcript.
void export_json(const std::vector<Record>& records, std::ostream& out);
// Each record with its id, its log's path (`log_of`: empty when the log is
// not on this machine) and its transcript, as host printed it. Then each
// release of the MAC: when, by whom, why.
void print_history(const std::vector<Record>& records, const std::vector<Release>& releases,
                   const std::function<std::string(const Record&)>& log_of, std::ostream& out);
// Per day: boards, passed, first-pass yield; the failures by stage and
// message, frame numbers folded, with their fixtures. As CSV, one table.
void print_report(const std::vector<Record>& records, bool csv, std::ostream& out);
