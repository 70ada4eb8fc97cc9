// The configuration file "tivConfig.txt": each entry on its own fixed line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

constexpr const char* CONFIG_FILE_NAME = "tivConfig.txt";

// The layout: each entry is found by its line number; the key confirms it.
// An image entry: its line, its key, and what a job prints when the line
// does not carry the key.
struct ImageEntry {
    int line;
    const char* key;
    const char* missing;
};
constexpr ImageEntry BOARD_DATA_ENTRY = {1, "Boarddata:", "Could not find board data file"};
constexpr ImageEntry OTP_ENTRY = {2, "OTP:", "Could not find OTP file"};
constexpr ImageEntry FIRMWARE_ENTRY = {4, "Firmware:", "Could not find Firmware file"};
constexpr int OTP_ADDRESS_LINE = 3;
constexpr const char* OTP_ADDRESS_KEY = "OTPAddress:";
constexpr const char* OTP_ADDRESS_MISSING = "Could not find OTP address";
constexpr const char* OTP_ADDRESS_INVALID = "Invalid OTP address";
constexpr const char* CONFIG_UNREADABLE = "Could not open tivConfig.txt";

// Bytes of a configuration line that are kept (paths are at most a few KiB).
constexpr size_t MAX_LINE_LENGTH = 4 * 1024 * 1024;

// True when the line starts with the key; `value` is then all after the
// line's first space, or the whole line when it has none.
bool match_entry(const std::string& line, const std::string& key, std::string& value);
// Reads a signed 32-bit hexadecimal number ("1A000", "0x1a000", "-1"); false
// when the text holds none or it lies outside the signed 32-bit range.
bool parse_otp_address(const std::string& text, uint32_t& address);

// The configuration file while a job reads it, read from the top down; the
// file closes when this goes out of scope.
struct ConfigFile {
    std::unique_ptr<FILE, int (*)(FILE*)> file{nullptr, std::fclose};
    int line_number = 0; // of the last line read
    std::string line;
    bool line_whole = true; // false when the line was longer than MAX_LINE_LENGTH
};

// Reading without printing, for every reader of the file.
//
// Opens the configuration file at `path`; false when it cannot be opened as
// a regular file.
bool open_config_at(ConfigFile& config, const std::string& path);
// Reads down to the entry's line and takes the image path from it; false
// when the line does not carry the entry's key.
bool read_image_path(ConfigFile& config, const ImageEntry& entry, std::string& path);
// Reads the OTP address from its line, below the OTP path. Returns null, or
// what is wrong: OTP_ADDRESS_MISSING, or OTP_ADDRESS_INVALID for a line with
// no number in range or too long to be kept whole (never cut and read).
const char* read_otp_address(ConfigFile& config, uint32_t& address);

// The jobs' lookups, which print what they find or miss.
//
// Opens CONFIG_FILE_NAME in the working folder, or prints CONFIG_UNREADABLE.
bool open_config(ConfigFile& config);
// read_image_path, then the path echo ("Opening <path>") or the entry's
// missing-message.
bool find_image_path(ConfigFile& config, const ImageEntry& entry, std::string& path);
// read_otp_address, printing what is wrong.
bool find_otp_address(ConfigFile& config, uint32_t& address);
