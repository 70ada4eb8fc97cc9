// Looking up entries of the configuration file.
//
// Each job opens the file itself, reads down to its own lines and closes it
// before it opens its image; nothing read here outlives the job.
#include "jobs/config.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iostream>

bool match_entry(const std::string& line, const std::string& key, std::string& value) {
    if (line.compare(0, key.size(), key) != 0) {
        return false;
    }
    // The value starts after the line's first space, not after the colon.
    size_t space = line.find(' ');
    value = space == std::string::npos ? line : line.substr(space + 1);
    return true;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The OTP address stands on the line after the OTP path.
constexpr int OTP_ADDRESS_LINE = 3;
// Bytes of a configuration line that are kept (paths are at most a few KiB).
constexpr size_t MAX_LINE_LENGTH = 4 * 1024 * 1024;

// A message on its own line, flushed at once.
void say(const std::string& text) {
    std::cout << text << std::endl;
}

// Only a regular file is opened: a FIFO with no writer would block the open
// for ever, with the port held.
bool open_config(std::ifstream& config) {
    std::error_code ignored;
    if (std::filesystem::is_regular_file(CONFIG_FILE_NAME, ignored)) {
        config.open(CONFIG_FILE_NAME, std::ios::in | std::ios::binary);
    }
    if (!config.is_open()) {
        say("Could not open tivConfig.txt");
        return false;
    }
    return true;
}

// Reads the next line. A carriage return right before the line feed is
// dropped, so CR LF and LF files read alike. Past the end of the file the
// line keeps what the last read left in it; a file that ends with a line end
// gives one empty line more. A line longer than MAX_LINE_LENGTH keeps its
// first MAX_LINE_LENGTH bytes and the rest is passed over, so a huge line
// costs no more memory than that: no path of that length can be opened on
// any system, so a cut path still ends in "File error".
void read_line(std::ifstream& config, std::string& line) {
    if (!config.good()) {
        return;
    }
    line.clear();
    std::streambuf* text = config.rdbuf();
    for (;;) {
        int c = text->sbumpc();
        if (c == std::char_traits<char>::eof()) {
            config.setstate(line.empty() ? std::ios::eofbit | std::ios::failbit : std::ios::eofbit);
            return;
        }
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            return;
        }
        if (line.size() < MAX_LINE_LENGTH) {
            line.push_back(static_cast<char>(c));
        }
    }
}

// Reads down to line `number` and takes the image path from it; echoes the
// path, or prints `missing` when the line does not carry the key.
bool find_path(std::ifstream& config, std::string& line, int number, const char* key,
               const char* missing, std::string& path) {
    for (int i = 0; i < number; ++i) {
        read_line(config, line);
    }
    if (!match_entry(line, key, path)) {
        say(missing);
        return false;
    }
    say("Opening " + path);
    return true;
}

} // namespace

bool parse_otp_address(const std::string& text, uint32_t& address) {
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        i += 2;
    }
    const uint64_t limit = negative ? 0x80000000u : 0x7FFFFFFFu;
    uint64_t magnitude = 0;
    size_t digits = 0;
    for (; i < text.size() && hex_digit(text[i]) >= 0; ++i, ++digits) {
        // Past the limit the number is refused anyway; stop growing it.
        if (magnitude <= limit) {
            magnitude = magnitude * 16 + static_cast<uint64_t>(hex_digit(text[i]));
        }
    }
    if (digits == 0 || magnitude > limit) {
        return false;
    }
    address = negative ? static_cast<uint32_t>(0 - magnitude) : static_cast<uint32_t>(magnitude);
    return true;
}

bool look_up_image(int line_number, const char* key, const char* missing, std::string& path,
                   uint32_t* otp_address) {
    std::ifstream config;
    std::string line;
    if (!open_config(config) || !find_path(config, line, line_number, key, missing, path)) {
        return false;
    }
    if (otp_address == nullptr) {
        return true;
    }
    // The OTP address is read, and checked, before the image is opened:
    // one-time-programmable memory is never written at an address nobody gave.
    std::string address_text;
    for (int i = line_number; i < OTP_ADDRESS_LINE; ++i) {
        read_line(config, line);
    }
    if (!match_entry(line, "OTPAddress:", address_text)) {
        say("Could not find OTP address");
        return false;
    }
    if (!parse_otp_address(address_text, *otp_address)) {
        say("Invalid OTP address");
        return false;
    }
    return true;
}
