// Each board's log: a copy of its host's console for people, written as it
// comes, in a folder per local day, named so that a person finds it by its
// fixture, MAC and time ("2026-12-08/A3-001122334403-143005-5f0c2a91.log"),
// and beginning with a header that says whose it is.
#pragma once

#include "station/base/base.h"

#include <optional>
#include <string>

// The log's path under `logs` (the station's log folder): the day and time
// are the record's start in the station's local time.
std::string board_log_path(const std::string& logs, const Record& record);
// Makes the log's day folder (the station's own) and returns the log's
// path; empty when the folder cannot be had (the board then runs without a
// log: its transcript is in the record all the same).
std::string make_board_log_path(const std::string& logs, const Record& record);
// The header's lines, ending with an empty line.
std::string board_log_header(const Record& record);
// Where the log of `record` is on this machine, if it is (a log written
// before logs had days and names, "<record id>.log", is found too).
std::optional<std::string> find_board_log(const std::string& logs, const Record& record);
// A log's bytes without its header: the board's transcript.
std::string transcript_in_log(const std::string& log);

// The station's notices kept (the panel shows the last few): refused scans,
// fixtures skipped or out of service, the writers' warnings. Appends `line`
// with its UTC time to "notices-STATION.log" in today's folder of the log
// folder (the station's local day, as the boards' logs have it); control
// characters are written as '?', since the log is read on terminals.
// Returns why it could not, or an empty text.
std::string add_notice(const std::string& logs, const std::string& station,
                       const std::string& line);
