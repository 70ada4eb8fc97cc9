// Records: their columns, times and identities.
#include "station/record.h"

#include <openssl/rand.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <stdexcept>

const std::vector<std::string>& record_columns() {
    static const std::vector<std::string> columns = {"id",          "station",
                                                     "fixture",     "port",
                                                     "device",      "mac",
                                                     "profile",     "board_data_sha256",
                                                     "otp_sha256",  "firmware_sha256",
                                                     "otp_address", "host_version",
                                                     "attempt",     "rework",
                                                     "started",     "ended",
                                                     "outcome",     "stage",
                                                     "message",     "frames",
                                                     "exit_status"};
    return columns;
}

std::string column_value(const Record& r, const std::string& column) {
    if (column == "id")
        return r.id;
    if (column == "station")
        return r.station;
    if (column == "fixture")
        return r.fixture;
    if (column == "port")
        return r.port;
    if (column == "device")
        return r.device;
    if (column == "mac")
        return r.mac;
    if (column == "profile")
        return r.profile;
    if (column == "board_data_sha256")
        return r.board_data_sha256;
    if (column == "otp_sha256")
        return r.otp_sha256;
    if (column == "firmware_sha256")
        return r.firmware_sha256;
    if (column == "otp_address")
        return r.otp_address;
    if (column == "host_version")
        return r.host_version;
    if (column == "attempt")
        return std::to_string(r.attempt);
    if (column == "rework")
        return r.rework ? "1" : "0";
    if (column == "started")
        return r.started;
    if (column == "ended")
        return r.ended;
    if (column == "outcome")
        return r.outcome;
    if (column == "stage")
        return r.stage;
    if (column == "message")
        return r.message;
    if (column == "frames")
        return std::to_string(r.frames);
    if (column == "exit_status")
        return r.exit_status;
    throw std::logic_error("no column " + column);
}

Record record_from_values(const std::vector<std::string>& v) {
    if (v.size() != record_columns().size() + 2) {
        throw std::logic_error("a record takes " + std::to_string(record_columns().size() + 2) +
                               " values");
    }
    Record r;
    r.id = v[0];
    r.station = v[1];
    r.fixture = v[2];
    r.port = v[3];
    r.device = v[4];
    r.mac = v[5];
    r.profile = v[6];
    r.board_data_sha256 = v[7];
    r.otp_sha256 = v[8];
    r.firmware_sha256 = v[9];
    r.otp_address = v[10];
    r.host_version = v[11];
    r.attempt = std::stoi(v[12]);
    r.rework = v[13] != "0";
    r.started = v[14];
    r.ended = v[15];
    r.outcome = v[16];
    r.stage = v[17];
    r.message = v[18];
    r.frames = std::stol(v[19]);
    r.exit_status = v[20];
    r.round = v[21];
    r.transcript = v[22];
    return r;
}

std::string utc_now() {
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(ms % 1000));
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
