// Looking up entries of the configuration file.
#include "jobs.h"

#include <cctype>

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
