// Records: their columns, times and identities.
#include "station/base/record.h"

#include <map>

#include <openssl/rand.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iterator>
#include <stdexcept>

namespace {

// The export's columns in their order, each with its text field; the three
// numbers (attempt, rework, frames) and the outcome and stage have none and
// are read and written apart.
struct Column {
    const char* name;
    std::string Record::*text;
};
const Column COLUMNS[] = {
    {"id", &Record::id},
    {"station", &Record::station},
    {"fixture", &Record::fixture},
    {"port", &Record::port},
    {"device", &Record::device},
    {"mac", &Record::mac},
    {"profile", &Record::profile},
    {"board_data_sha256", &Record::board_data_sha256},
    {"otp_sha256", &Record::otp_sha256},
    {"firmware_sha256", &Record::firmware_sha256},
    {"otp_address", &Record::otp_address},
    {"host_version", &Record::host_version},
    {"attempt", nullptr},
    {"rework", nullptr},
    {"started", &Record::started},
    {"ended", &Record::ended},
    {"outcome", nullptr},
    {"stage", nullptr},
    {"message", &Record::message},
    {"frames", nullptr},
    {"exit_status", &Record::exit_status},
    // Added last: factory scripts read the columns before them by position.
    {"lot", &Record::lot},
    {"operator", &Record::operator_name},
};

const Column& column_named(const std::string& name) {
    for (const Column& column : COLUMNS) {
        if (name == column.name) {
            return column;
        }
    }
    throw std::logic_error("no column " + name);
}

void set_column(Record& r, const Column& column, const std::string& value) {
    if (column.text != nullptr) {
        r.*column.text = value;
    } else if (column.name == std::string("attempt")) {
        r.attempt = std::stoi(value);
    } else if (column.name == std::string("rework")) {
        r.rework = value != "0";
    } else if (column.name == std::string("outcome")) {
        r.outcome = outcome_named(value);
    } else if (column.name == std::string("stage")) {
        r.stage = stage_named(value);
    } else {
        r.frames = std::stoll(value);
    }
}

// A record's value for one column, as the export writes it.
std::string value_of(const Record& r, const Column& column) {
    if (column.text != nullptr) {
        return r.*column.text;
    }
    const std::string name = column.name;
    if (name == "attempt") {
        return std::to_string(r.attempt);
    }
    if (name == "rework") {
        return r.rework ? "1" : "0";
    }
    if (name == "outcome") {
        return text_of(r.outcome);
    }
    if (name == "stage") {
        return text_of(r.stage);
    }
    return std::to_string(r.frames);
}

} // namespace

std::vector<const Record*> boards_to_retry(const std::vector<const Record*>& round) {
    std::map<std::string, const Record*> last_on_fixture, last_of_mac;
    for (const Record* r : round) {
        last_on_fixture[r->fixture] = r;
        last_of_mac[r->mac] = r;
    }
    std::vector<const Record*> retried;
    for (const Record* r : round) {
        bool still_there = last_on_fixture[r->fixture] == r && last_of_mac[r->mac] == r;
        if (still_there && r->outcome != Outcome::passed && r->outcome != Outcome::started) {
            retried.push_back(r);
        }
    }
    return retried;
}

const std::vector<std::string>& record_columns() {
    // Never destroyed: a store's writer that a frozen store held is left
    // to the process's end, and may still write a record while the process
    // exits.
    static const std::vector<std::string>& names = *new std::vector<std::string>([] {
        std::vector<std::string> list;
        for (const Column& column : COLUMNS) {
            list.push_back(column.name);
        }
        return list;
    }());
    return names;
}

nlohmann::json json_of(const Record& r) {
    nlohmann::json item;
    for (const std::string& column : record_columns()) {
        item[column] = column_value(r, column);
    }
    item["attempt"] = r.attempt;
    item["rework"] = r.rework ? 1 : 0;
    item["frames"] = r.frames;
    item["exit_status"] =
        r.exit_status.empty() ? nlohmann::json(nullptr) : nlohmann::json(std::stoi(r.exit_status));
    item["transcript"] = r.transcript;
    return item;
}

Record record_of_json(const nlohmann::json& item, std::string transcript) {
    std::vector<std::string> values;
    for (const std::string& column : record_columns()) {
        // A record spooled before lots and operators were kept has none.
        auto value = item.find(column);
        values.push_back(value == item.end() || value->is_null() ? ""
                         : value->is_string()                    ? value->get<std::string>()
                                                                 : value->dump());
    }
    values.push_back(item.value("round", std::string()));
    values.push_back(std::move(transcript));
    return record_from_values(values);
}

std::string column_value(const Record& r, const std::string& name) {
    return value_of(r, column_named(name));
}

Record record_from_values(const std::vector<std::string>& values) {
    const size_t columns = std::size(COLUMNS);
    if (values.size() != columns + 2) {
        throw std::logic_error("a record takes " + std::to_string(columns + 2) + " values");
    }
    Record r;
    for (size_t i = 0; i < columns; ++i) {
        set_column(r, COLUMNS[i], values[i]);
    }
    r.round = values[columns];
    r.transcript = values[columns + 1];
    return r;
}

namespace {

const char* const OUTCOMES[] = {"started", "passed", "failed", "stalled", "interrupted", "aborted"};
const char* const STAGES[] = {"", "open", "configuration", "board data", "OTP", "firmware"};

} // namespace

const char* text_of(Outcome outcome) {
    return OUTCOMES[static_cast<int>(outcome)];
}

const char* text_of(Stage stage) {
    return STAGES[static_cast<int>(stage)];
}

std::string why_not_passed(const Record& r) {
    if (r.outcome == Outcome::passed || r.outcome == Outcome::started) {
        return "";
    }
    return r.stage == Stage::none ? r.message : std::string(text_of(r.stage)) + ": " + r.message;
}

std::string counted(long long count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string outcome_said(const Record& r) {
    std::string said = text_of(r.outcome);
    if (r.outcome == Outcome::passed || r.outcome == Outcome::started) {
        return said;
    }
    if (r.stage != Stage::none) {
        said += std::string(" in ") + text_of(r.stage);
    }
    return r.message.empty() ? said : said + ": " + r.message;
}

Outcome outcome_named(const std::string& text) {
    for (size_t i = 0; i < std::size(OUTCOMES); ++i) {
        if (text == OUTCOMES[i]) {
            return static_cast<Outcome>(i);
        }
    }
    throw std::runtime_error("a record with the outcome \"" + text + "\"");
}

Stage stage_named(const std::string& text) {
    for (size_t i = 0; i < std::size(STAGES); ++i) {
        if (text == STAGES[i]) {
            return static_cast<Stage>(i);
        }
    }
    throw std::runtime_error("a record with the stage \"" + text + "\"");
}

std::vector<std::string> record_values(const Record& r) {
    std::vector<std::string> values;
    for (const Column& column : COLUMNS) {
        values.push_back(value_of(r, column));
    }
    values.push_back(r.round);
    values.push_back(r.transcript);
    return values;
}

std::string utc_now() {
    return utc_text(std::chrono::system_clock::now());
}

std::string utc_text(std::chrono::system_clock::time_point when) {
    long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count();
    long long seconds = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
    return utc_text_at(seconds, static_cast<int>(ms - seconds * 1000));
}

namespace {

// The civil date of a day counted from 1970-01-01 (Howard Hinnant's
// days-to-civil): plain 64-bit arithmetic, whatever the width of time_t.
void civil_from_days(long long days, long long& year, int& month, int& day) {
    days += 719468;
    long long era = (days >= 0 ? days : days - 146096) / 146097;
    long long of_era = days - era * 146097;
    long long year_of_era = (of_era - of_era / 1460 + of_era / 36524 - of_era / 146096) / 365;
    long long of_year = of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    long long shifted_month = (5 * of_year + 2) / 153;
    day = static_cast<int>(of_year - (153 * shifted_month + 2) / 5 + 1);
    month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
}

} // namespace

std::string utc_text_at(long long seconds, int millis) {
    long long days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
    long long of_day = seconds - days * 86400;
    long long year = 0;
    int month = 0, day = 0;
    civil_from_days(days, year, month, day);
    if (year > 9999) {
        return "9999-12-31T23:59:59.999Z";
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%04lld-%02d-%02dT%02d:%02d:%02d.%03dZ", year, month, day,
                  static_cast<int>(of_day / 3600), static_cast<int>(of_day / 60 % 60),
                  static_cast<int>(of_day % 60), millis);
    return text;
}

std::string new_uuid() {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof(bytes)) != 1) {
        throw std::runtime_error("no random bytes for a record id");
    }
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[40];
    std::snprintf(text, sizeof(text),
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8],
                  bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string folded_frames(const std::string& message) {
    static const std::string word = "frame ";
    std::string folded;
    size_t at = 0;
    for (size_t found; (found = message.find(word, at)) != std::string::npos;) {
        size_t digits = found + word.size(), end = digits;
        while (end < message.size() && message[end] >= '0' && message[end] <= '9') {
            ++end;
        }
        folded.append(message, at, digits - at);
        folded += end > digits ? "N" : "";
        at = end;
    }
    return folded + message.substr(at);
}
