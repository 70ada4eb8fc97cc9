// Looking up entries of the configuration file.
//
// Each job opens the file itself, reads down to its own lines and closes it
// before it opens its image; nothing read here outlives the job.
#include "jobs/config.h"

#include "jobs/files.h"

#include <cctype>
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

// A message on its own line, flushed at once.
void say(const std::string& text) {
    std::cout << text << std::endl;
}

// Reads the next line. A carriage return right before the line feed is
// dropped, so CR LF and LF files read alike. Past the end of the file the
// line keeps what the last read left in it; a file that ends with a line end
// gives one empty line more. A line longer than MAX_LINE_LENGTH keeps its
// first MAX_LINE_LENGTH bytes and is marked as not whole; the rest is passed
// over, so a huge line costs no more memory than that.
void read_line(ConfigFile& config) {
    FILE* file = config.file.get();
    config.line_number += 1;
    if (std::feof(file) || std::ferror(file)) {
        return;
    }
    config.line.clear();
    config.line_whole = true;
    for (;;) {
        int c = std::getc(file);
        if (c == EOF) {
            return;
        }
        if (c == '\n') {
            if (!config.line.empty() && config.line.back() == '\r') {
                config.line.pop_back();
            }
            return;
        }
        if (config.line.size() < MAX_LINE_LENGTH) {
            config.line.push_back(static_cast<char>(c));
        } else {
            config.line_whole = false;
        }
    }
}

void read_down_to(ConfigFile& config, int number) {
    while (config.line_number < number) {
        read_line(config);
    }
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

bool open_config_at(ConfigFile& config, const std::string& path) {
    int64_t size = 0;
    config.file.reset(open_regular_file(path, size));
    return config.file != nullptr;
}

bool read_image_path(ConfigFile& config, const ImageEntry& entry, std::string& path) {
    read_down_to(config, entry.line);
    return match_entry(config.line, entry.key, path);
}

const char* read_otp_address(ConfigFile& config, uint32_t& address) {
    read_down_to(config, OTP_ADDRESS_LINE);
    std::string text;
    if (!match_entry(config.line, OTP_ADDRESS_KEY, text)) {
        return OTP_ADDRESS_MISSING;
    }
    // One-time-programmable memory is never written at an address that was
    // not read whole from the file.
    if (!config.line_whole || !parse_otp_address(text, address)) {
        return OTP_ADDRESS_INVALID;
    }
    return nullptr;
}

bool open_config(ConfigFile& config) {
    if (!open_config_at(config, CONFIG_FILE_NAME)) {
        say(CONFIG_UNREADABLE);
        return false;
    }
    return true;
}

bool find_image_path(ConfigFile& config, const ImageEntry& entry, std::string& path) {
    if (!read_image_path(config, entry, path)) {
        say(entry.missing);
        return false;
    }
    say("Opening " + path);
    return true;
}

bool find_otp_address(ConfigFile& config, uint32_t& address) {
    const char* wrong = read_otp_address(config, address);
    if (wrong != nullptr) {
        say(wrong);
        return false;
    }
    return true;
}
