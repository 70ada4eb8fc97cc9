// MACs as labels print them, and as the records keep them.
#pragma once

#include <string>

// The forms a MAC is taken in, for the refusal of anything else.
extern const char MAC_FORMS[];

// The MAC in `text` as the records keep it (12 upper-case hexadecimal
// digits), from 12 hexadecimal digits, six pairs separated by ':' or '-', or
// three groups of four separated by '.', in either case; empty for
// anything else.
std::string checked_mac(const std::string& text);
