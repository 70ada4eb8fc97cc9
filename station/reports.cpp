// Exports and reports.
#include "station/reports.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <regex>
#include <map>
#include <set>
#include <tuple>

namespace {

// A cell as CSV writes it. Ports and messages come from outside: a cell
// that a spreadsheet would take for a formula gets a leading '.
std::string csv_field(const std::string& value) {
    std::string text = value;
    if (!text.empty() && std::string("=+-@\t\r").find(text[0]) != std::string::npos) {
        text.insert(0, "'");
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string quoted = "\"";
    for (char c : text) {
        quoted += c == '"' ? "\"\"" : std::string(1, c);
    }
    return quoted + "\"";
}

bool not_passed(const Record& r) {
    return r.outcome != Outcome::passed && r.outcome != Outcome::started;
}

} // namespace

void export_csv(const std::vector<Record>& records, std::ostream& out) {
    const auto& columns = record_columns();
    for (size_t i = 0; i < columns.size(); ++i) {
        out << (i ? "," : "") << columns[i];
    }
    out << "\n";
    for (const Record& r : records) {
        for (size_t i = 0; i < columns.size(); ++i) {
            out << (i ? "," : "") << csv_field(column_value(r, columns[i]));
        }
        out << "\n";
    }
}

void export_json(const std::vector<Record>& records, std::ostream& out) {
    nlohmann::json list = nlohmann::json::array();
    for (const Record& r : records) {
        nlohmann::json item;
        for (const std::string& column : record_columns()) {
            item[column] = column_value(r, column);
        }
        item["attempt"] = r.attempt;
        item["rework"] = r.rework ? 1 : 0;
        item["frames"] = r.frames;
        item["exit_status"] = r.exit_status.empty() ? nlohmann::json(nullptr)
                                                    : nlohmann::json(std::stoi(r.exit_status));
        // Bytes as host wrote them; anything not UTF-8 is replaced.
        item["transcript"] = r.transcript;
        list.push_back(item);
    }
    out << list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
}

void print_history(const std::vector<Record>& records, const std::vector<Release>& releases,
                   const std::function<std::string(const Record&)>& log_of, std::ostream& out) {
    for (const Record& r : records) {
        out << "== MAC " << r.mac << ", " << r.started << " station " << r.station << ", fixture "
            << r.fixture << " (" << r.device << "), attempt " << r.attempt
            << (r.rework ? ", rework" : "") << ": " << text_of(r.outcome);
        if (r.stage != Stage::none) {
            out << " in " << text_of(r.stage) << ": " << r.message;
        }
        // The bytes this board received, by their hashes.
        out << ", " << r.frames << " frames\n   board data " << r.board_data_sha256
            << "\n   OTP        " << r.otp_sha256 << "\n   firmware   " << r.firmware_sha256
            << "\n   record     " << r.id << "\n   log        ";
        std::string log = log_of(r);
        out << (log.empty() ? "not on this machine" : log) << "\n" << r.transcript;
        if (!r.transcript.empty() && r.transcript.back() != '\n') {
            out << "\n";
        }
    }
    for (const Release& x : releases) {
        out << "== MAC " << x.mac << " released " << x.released << " by " << x.who
            << " from record " << x.record << " of station " << x.station << ": " << x.reason
            << "\n";
    }
}

namespace {

// A failure as a supervisor counts it: the frame numbers folded, so that
// "no answer to frame 21" and "... frame 32" are one row.
std::string failure_of(const Record& r) {
    static const std::regex frame_number("frame [0-9]+");
    std::string message = std::regex_replace(r.message, frame_number, "frame N");
    return r.outcome == Outcome::failed ? message
                                        : std::string(text_of(r.outcome)) + ": " + message;
}

struct Failures {
    int count = 0;
    std::set<std::string> fixtures;
};

std::string joined(const std::set<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

} // namespace

void print_report(const std::vector<Record>& records, bool csv, std::ostream& out) {
    struct Day {
        std::set<std::string> boards, passed, first_passed;
        std::map<std::pair<std::string, std::string>, Failures> failures; // stage, failure
    };
    std::map<std::string, Day> days;
    std::map<std::pair<std::string, std::string>, Failures> all_failures;
    std::set<std::string> seen;       // MACs whose first attempt has been met
    for (const Record& r : records) { // oldest first
        Day& day = days[r.started.substr(0, 10)];
        day.boards.insert(r.mac);
        if (r.outcome == Outcome::passed) {
            day.passed.insert(r.mac);
        }
        if (seen.insert(r.mac).second && r.outcome == Outcome::passed) {
            day.first_passed.insert(r.mac);
        }
        if (not_passed(r)) {
            for (auto* table : {&day.failures, &all_failures}) {
                Failures& f = (*table)[{text_of(r.stage), failure_of(r)}];
                f.count += 1;
                f.fixtures.insert(r.fixture);
            }
        }
    }
    char line[256];
    if (csv) {
        // One table: a row for each failure of each day (a day without one
        // has one row with its failure columns empty).
        out << "day,boards,passed,first_pass_yield,stage,failure,failures,fixtures\n";
    } else {
        out << "day         boards  passed  first-pass yield\n";
    }
    for (const auto& [name, day] : days) {
        double yield = 100.0 * day.first_passed.size() / day.boards.size();
        std::snprintf(line, sizeof(line), csv ? "%s,%zu,%zu,%.1f" : "%-10s  %6zu  %6zu  %15.1f%%\n",
                      name.c_str(), day.boards.size(), day.passed.size(), yield);
        if (!csv) {
            out << line;
            continue;
        }
        if (day.failures.empty()) {
            out << line << ",,,,\n";
        }
        for (const auto& [key, f] : day.failures) {
            out << line << "," << csv_field(key.first) << "," << csv_field(key.second) << ","
                << f.count << "," << csv_field(joined(f.fixtures)) << "\n";
        }
    }
    if (csv) {
        return;
    }
    out << "\nfailures by stage\nstage          count  failure (fixtures)\n";
    for (const auto& [key, f] : all_failures) {
        std::snprintf(line, sizeof(line), "%-13s  %5d  ", key.first.c_str(), f.count);
        out << line << key.second << " (" << joined(f.fixtures) << ")\n";
    }
}
