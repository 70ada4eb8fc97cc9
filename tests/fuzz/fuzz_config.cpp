// Fuzzes the configuration-line functions with arbitrary line text.
#include "jobs/config.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

const char* const KEYS[] = {"Boarddata:", "OTP:", "OTPAddress:", "Firmware:"};

bool has_prefix(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin());
}

// Properties of the outcome: an entry is found exactly when the line begins
// with the key; its value is a suffix of the line, either the whole line (no
// space in it) or what follows a space that has no space before it.
void check_match_entry(const std::string& line) {
    for (const char* key : KEYS) {
        std::string value;
        bool found = match_entry(line, key, value);
        if (found != has_prefix(line, key)) {
            std::abort();
        }
        if (!found) {
            continue;
        }
        if (value.size() > line.size() ||
            line.compare(line.size() - value.size(), value.size(), value) != 0) {
            std::abort();
        }
        size_t cut = line.size() - value.size(); // where the value starts
        bool whole = cut == 0 && line.find(' ') == std::string::npos;
        bool after_first_space = cut > 0 && line[cut - 1] == ' ' && line.find(' ') == cut - 1;
        if (!whole && !after_first_space) {
            std::abort();
        }
    }
}

// Any number read must be what the C library reads from the same text, and in
// the signed 32-bit range.
void check_parse_otp_address(const std::string& text) {
    uint32_t address = 0;
    if (!parse_otp_address(text, address) || text.find('\0') != std::string::npos) {
        return;
    }
    long long reference = std::strtoll(text.c_str(), nullptr, 16);
    if (reference < -0x80000000LL || reference > 0x7FFFFFFFLL ||
        static_cast<uint32_t>(reference) != address) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string line(reinterpret_cast<const char*>(data), size);
    check_match_entry(line);
    check_parse_otp_address(line);
    return 0;
}
