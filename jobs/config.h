// The configuration file "tivConfig.txt": each entry on its own fixed line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

constexpr const char* CONFIG_FILE_NAME = "tivConfig.txt";

// The layout: each entry is found by its line number; the key confirms it.
constexpr int BOARD_DATA_LINE = 1;
constexpr int OTP_LINE = 2;
constexpr int OTP_ADDRESS_LINE = 3;
constexpr int FIRMWARE_LINE = 4;

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

// Opens the configuration file; prints why not and returns false when it
// cannot be opened as a regular file.
bool open_config(ConfigFile& config);
// Reads down to line `number` and takes the image path under `key` from it;
// echoes the path, or prints `missing` and returns false.
bool find_image_path(ConfigFile& config, int number, const char* key, const char* missing,
                     std::string& path);
// Reads the OTP address from its line, below the OTP path; prints what is
// missing or wrong and returns false. A line too long to be kept whole is
// refused, never cut and read.
bool find_otp_address(ConfigFile& config, uint32_t& address);
