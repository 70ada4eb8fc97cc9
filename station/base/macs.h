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
// A MAC as the records keep it in the colon form labels print:
// "00:11:22:33:44:55".
std::string mac_with_colons(const std::string& mac);

// Why no board may carry `mac` (12 upper-case hexadecimal digits): all
// zeros, the broadcast address, or a multicast one (the first octet's lowest
// bit set); empty for a unicast MAC a board may carry.
std::string mac_fault(const std::string& mac);
// A MAC as a number, and back as the records keep it.
unsigned long long mac_number(const std::string& mac);
std::string mac_text(unsigned long long number);
// The first MAC at or after `number` that a board may carry.
unsigned long long next_unicast(unsigned long long number);
// How many MACs from `first` to `last` a board may carry.
unsigned long long unicast_count(unsigned long long first, unsigned long long last);
