// Fuzzes the configuration-line functions with arbitrary line text.
#include "jobs/config.h"

#include <cstdlib>
#include <cstring>

namespace {

const char* const KEYS[] = {"Boarddata:", "OTP:", "OTPAddress:", "Firmware:"};

// The key test and the cut at the first space, checked from their outcome.
void check_match_entry(const std::string& line) {
    for (const char* key : KEYS) {
        std::string value;
        bool starts = line.compare(0, std::strlen(key), key) == 0;
        if (match_entry(line, key, value) != starts) {
            std::abort();
        }
        size_t space = line.find(' ');
        if (starts && value != (space == std::string::npos ? line : line.substr(space + 1))) {
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
