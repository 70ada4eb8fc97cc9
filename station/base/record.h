// What the station keeps of every board: one record per board and attempt,
// and the locked profile of the images it programs.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// How a board's attempt ended; `started` only while it runs.
enum class Outcome { started, passed, failed, stalled, interrupted, aborted };
// Where a board that did not pass stopped; none for one that passed.
enum class Stage { none, open, configuration, board_data, otp, firmware };

// The names the records, exports and screens use.
// A host's message with each frame's number folded ("no answer to frame
// N"), as failures are counted.
std::string folded_frames(const std::string& message);
const char* text_of(Outcome outcome);
const char* text_of(Stage stage);
Outcome outcome_named(const std::string& text);
Stage stage_named(const std::string& text);

// One board, one attempt: written as "started" before host starts, finished
// once. Field names are the export's column names.
struct Record {
    std::string id; // a UUID made by the station
    std::string station;
    std::string fixture;
    std::string port;   // as configured
    std::string device; // the node it resolved to
    std::string mac;    // 12 upper-case hexadecimal digits
    std::string profile;
    std::string board_data_sha256;
    std::string otp_sha256;
    std::string firmware_sha256;
    std::string otp_address; // 8 lower-case hexadecimal digits
    std::string host_version;
    int attempt = 1;
    bool rework = false;
    std::string started; // UTC, ISO 8601 with milliseconds
    std::string ended;
    Outcome outcome = Outcome::started;
    Stage stage = Stage::none;
    std::string message;       // the line of host that named the fault
    long long frames = 0;      // frames acknowledged
    std::string exit_status;   // host's, empty when the station stopped it
    std::string transcript;    // host's standard output and error, in order
    std::string round;         // the round of `station run` it belongs to
    std::string lot;           // the work order the board was built for; may be empty
    std::string operator_name; // who ran the station (the column "operator"); may be empty
    // Not a column: the board was being programmed with the image that
    // carries its MAC, so it keeps the MAC for ever.
    bool mac_kept = false;
};

// Of a round's records in the order they started, those a retry runs
// again: each fixture's last board, when it did not pass and its MAC went
// to no later board of the round (that board left the fixture); each
// fixture once.
std::vector<const Record*> boards_to_retry(const std::vector<const Record*>& round);

// Where and why a record did not pass, as every view says it ("board data:
// CRC Error"; the message alone without a stage); empty for one that passed
// or runs.
std::string why_not_passed(const Record& record);
// How a record ended, in words: "passed", "failed in board data: CRC
// Error", "aborted in firmware: stopped by the station at frame 12".
std::string outcome_said(const Record& record);
// A count of things as every view says it: "1 board", "2 boards".
std::string counted(long long count, const std::string& noun);

// The export's columns, in their order.
const std::vector<std::string>& record_columns();
// A record's value for one of the export's columns.
std::string column_value(const Record& record, const std::string& column);

// A record as JSON, wherever it is given out (the export, a record written
// nowhere else, the spool): the export's columns, numbers as numbers and an
// exit status null when there is none, and the transcript (bytes that are
// not UTF-8 are replaced when it is written out).
nlohmann::json json_of(const Record& record);
// Back from JSON (numbers or texts; a column missing is empty).
Record record_of_json(const nlohmann::json& item, std::string transcript);

// A record from its values: the export's columns in order, then the round
// and the transcript (as the stores and the spool keep them).
Record record_from_values(const std::vector<std::string>& values);
// A record's values in that order.
std::vector<std::string> record_values(const Record& record);

// A MAC freed by a person: what it was held by, who freed it, when, why.
struct Release {
    std::string mac;
    std::string record;
    std::string station;
    std::string released; // UTC
    std::string who;      // user@machine
    std::string reason;
};

// The images and OTP address that `station lock` fixed, by their hashes.
struct Profile {
    std::string id; // SHA-256 over the three hashes and the address
    std::string board_data_sha256;
    std::string otp_sha256;
    std::string firmware_sha256;
    std::string otp_address;
    std::string locked; // when
    // The label template's, when the station file has a [label]: part of
    // the id then, so a label changed is a profile changed.
    std::string label_sha256;
};

// A board's label: printed as it passed, printed again on request, or one
// that could not be printed when its round ended.
struct LabelEvent {
    std::string record;
    std::string mac;
    std::string event; // "printed", "reprinted", "not printed"
    std::string at;    // UTC
    std::string printer;
    std::string job;    // the printer's or the station's number of the job
    std::string who;    // user@machine
    std::string reason; // of a reprint; of one not printed, why
};

// Now, UTC, ISO 8601 with milliseconds ("2026-12-08T01:23:45.678Z").
std::string utc_now();
// A time as utc_now writes it.
std::string utc_text(std::chrono::system_clock::time_point when);
// A time in seconds since the epoch (and milliseconds), as utc_now writes
// it, for any year from 1970 to 9999 (a later one is written as the last
// moment of 9999, so that texts still sort as times do).
std::string utc_text_at(long long seconds, int millis = 0);
// A random (version 4) UUID.
std::string new_uuid();
