// Reading a MAC in the forms a label gives it.
#include "station/base/macs.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <string>

const char MAC_FORMS[] = "a MAC is 12 hexadecimal digits (001122AABBCC, 00:11:22:aa:bb:cc, "
                         "00-11-22-AA-BB-CC or 0011.22aa.bbcc)";

namespace {

// Whether `text` is groups of `group` hexadecimal digits with `separator`
// between them (none when it is 0).
bool grouped(const std::string& text, size_t group, char separator) {
    size_t expected = separator ? 12 + 12 / group - 1 : 12;
    if (text.size() != expected) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        bool at_separator = separator && (i + 1) % (group + 1) == 0;
        if (at_separator ? text[i] != separator
                         : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

} // namespace

std::string checked_mac(const std::string& text) {
    if (!grouped(text, 12, 0) && !grouped(text, 2, ':') && !grouped(text, 2, '-') &&
        !grouped(text, 4, '.')) {
        return "";
    }
    std::string mac;
    for (char c : text) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            mac += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return mac;
}

namespace {

constexpr unsigned long long ALL_ONES = 0xFFFFFFFFFFFFULL;
// The first octet's lowest bit: the group (multicast) bit.
constexpr unsigned long long GROUP_BIT = 1ULL << 40;

} // namespace

std::string mac_fault(const std::string& mac) {
    unsigned long long n = mac_number(mac);
    if (n == 0) {
        return "MAC " + mac + " is all zeros, which no board may carry";
    }
    if (n == ALL_ONES) {
        return "MAC " + mac + " is the broadcast address, which no board may carry";
    }
    if (n & GROUP_BIT) {
        return "MAC " + mac +
               " is a multicast address (its first octet's lowest bit is set), which no board "
               "may carry";
    }
    return "";
}

unsigned long long mac_number(const std::string& mac) {
    return std::stoull(mac, nullptr, 16);
}

std::string mac_text(unsigned long long number) {
    char text[24];
    std::snprintf(text, sizeof(text), "%012llX", number);
    return text;
}

unsigned long long next_unicast(unsigned long long number) {
    if (number & GROUP_BIT) {
        // The next first octet, which is even: past every MAC of this one.
        number = ((number >> 40) + 1) << 40;
    }
    return number == 0 ? 1 : number;
}

namespace {

// MACs from 0 to `n` without the group bit: half of each 2^41 block.
unsigned long long without_group_bit(unsigned long long n) {
    unsigned long long block = GROUP_BIT << 1, count = n + 1;
    return count / block * GROUP_BIT + std::min(count % block, GROUP_BIT);
}

} // namespace

unsigned long long unicast_count(unsigned long long first, unsigned long long last) {
    unsigned long long count =
        without_group_bit(last) - (first == 0 ? 0 : without_group_bit(first - 1));
    return first == 0 ? count - 1 : count; // all zeros
}

std::string mac_with_colons(const std::string& mac) {
    std::string text;
    for (size_t i = 0; i < mac.size(); i += 2) {
        text += (i ? ":" : "") + mac.substr(i, 2);
    }
    return text;
}
