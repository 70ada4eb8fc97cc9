// Naming, heading, finding and reading boards' logs.
#include "station/store/board_log.h"

#include "station/base/base.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const char HEADER_START[] = "station: ";

// The record's start ("2026-12-08T14:30:05.123Z"), to the second.
time_t start_of(const Record& record) {
    std::tm utc = {};
    std::sscanf(record.started.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d", &utc.tm_year, &utc.tm_mon,
                &utc.tm_mday, &utc.tm_hour, &utc.tm_min, &utc.tm_sec);
    utc.tm_year -= 1900;
    utc.tm_mon -= 1;
    return timegm(&utc);
}

// The record's start in local time.
std::tm local_start(const Record& record) {
    time_t at = start_of(record);
    std::tm local = {};
    localtime_r(&at, &local);
    return local;
}

std::string formatted(const std::tm& when, const char* format) {
    char text[64];
    size_t n = std::strftime(text, sizeof(text), format, &when);
    return std::string(text, n);
}

std::string day_of(const Record& record) {
    return formatted(local_start(record), "%Y-%m-%d");
}

bool is_log_of(const fs::path& path, const Record& record) {
    std::ifstream log(path, std::ios::binary);
    std::string line;
    while (std::getline(log, line) && !line.empty()) {
        if (line == "record: " + record.id) {
            return true;
        }
    }
    return false;
}

} // namespace

std::string board_log_path(const std::string& logs, const Record& record) {
    std::string name = record.fixture + "-" + record.mac + "-" +
                       formatted(local_start(record), "%H%M%S") + "-" + record.id.substr(0, 8) +
                       ".log";
    return (fs::path(logs) / day_of(record) / name).string();
}

std::string make_board_log_path(const std::string& logs, const Record& record) {
    try {
        make_own_folder((fs::path(logs) / day_of(record)).string(), "the day's log folder");
    } catch (const StationError&) {
        return "";
    }
    return board_log_path(logs, record);
}

std::string board_log_header(const Record& record) {
    return HEADER_START + record.station + "\nfixture: " + record.fixture + "\nMAC: " + record.mac +
           "\nrecord: " + record.id + "\nstarted: " + record.started + " (" +
           formatted(local_start(record), "%Y-%m-%d %H:%M:%S %z") + ")\n" +
           (record.lot.empty() ? "" : "lot: " + record.lot + "\n") +
           (record.operator_name.empty() ? "" : "operator: " + record.operator_name + "\n") + "\n";
}

std::optional<std::string> find_board_log(const std::string& logs, const Record& record) {
    std::error_code error;
    fs::path named = board_log_path(logs, record);
    if (fs::is_regular_file(named, error)) {
        return named.string();
    }
    fs::path old = fs::path(logs) / (record.id + ".log");
    if (fs::is_regular_file(old, error)) {
        return old.string();
    }
    // Made under another time zone: in the folder of a day next to the
    // record's UTC day (no zone is more than 14 hours off), named with the
    // same id, which its header gives whole.
    std::string ending = "-" + record.id.substr(0, 8) + ".log";
    time_t start = start_of(record);
    for (time_t day : {start - 86400, start, start + 86400}) {
        std::tm date = {};
        gmtime_r(&day, &date);
        fs::path folder = fs::path(logs) / formatted(date, "%Y-%m-%d");
        for (const auto& entry : fs::directory_iterator(folder, error)) {
            std::string name = entry.path().filename().string();
            if (name.size() > ending.size() &&
                name.compare(name.size() - ending.size(), ending.size(), ending) == 0 &&
                is_log_of(entry.path(), record)) {
                return entry.path().string();
            }
        }
    }
    return std::nullopt;
}

std::string transcript_in_log(const std::string& log) {
    if (log.rfind(HEADER_START, 0) != 0) {
        return log; // a log of before headers
    }
    size_t end = log.find("\n\n");
    return end == std::string::npos ? "" : log.substr(end + 2);
}

std::string add_notice(const std::string& logs, const std::string& station,
                       const std::string& line) {
    std::string text = utc_now() + " " + line;
    for (char& c : text) {
        c = static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? '?' : c;
    }
    text += "\n";
    time_t now = time(nullptr);
    std::tm today = {};
    localtime_r(&now, &today);
    fs::path day = fs::path(logs) / formatted(today, "%Y-%m-%d");
    std::string path = (day / ("notices-" + station + ".log")).string();
    try {
        make_own_folder(day.string(), "the day's log folder");
        int fd = open_own_file(path, "the station's notices");
        bool written = lseek(fd, 0, SEEK_END) >= 0 &&
                       write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        close(fd);
        return written ? "" : "cannot write " + path;
    } catch (const StationError& e) {
        return e.message;
    }
}
