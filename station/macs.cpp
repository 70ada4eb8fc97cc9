// Reading a MAC in the forms a label gives it.
#include "station/macs.h"

#include <cctype>

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
