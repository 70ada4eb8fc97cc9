// The configuration file "tivConfig.txt": each job's entries on their fixed
// lines.
#pragma once

#include <cstdint>
#include <string>

constexpr const char* CONFIG_FILE_NAME = "tivConfig.txt";

// True when the line starts with the key; `value` is then all after the
// line's first space, or the whole line when it has none.
bool match_entry(const std::string& line, const std::string& key, std::string& value);
// Reads a signed 32-bit hexadecimal number ("1A000", "0x1a000", "-1"); false
// when the text holds none or it lies outside the signed 32-bit range.
bool parse_otp_address(const std::string& text, uint32_t& address);

// Finds a job's image path on line `line_number` under `key` and echoes it;
// with `otp_address`, also reads the OTP address from line 3. Prints what is
// missing and returns false. The file is closed when this returns, before
// any image is opened.
bool look_up_image(int line_number, const char* key, const char* missing, std::string& path,
                   uint32_t* otp_address);
