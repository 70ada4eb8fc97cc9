// Entries of the configuration file: the key test, the value cut and the
// OTP address.
#include "jobs/config.h"

#include <gtest/gtest.h>

namespace {

TEST(MatchEntry, KeyTestAndValueCut) {
    const struct {
        std::string line, key;
        bool found;
        std::string value;
    } cases[] = {
        {"Boarddata: images\\board.bin", "Boarddata:", true, "images\\board.bin"},
        {"Firmware: C:\\images\\main firmware.bin", "Firmware:", true,
         "C:\\images\\main firmware.bin"},
        {"OTP: ", "OTP:", true, ""},
        {"OTP:  two spaces", "OTP:", true, " two spaces"},
        {"OTP: a\tb ", "OTP:", true, "a\tb "},
        {"OTP:path", "OTP:", true, "OTP:path"},
        {"OTP:inner space.bin", "OTP:", true, "space.bin"},
        {"OTPAddress: 1A000", "OTP:", false, ""},
        {"otp: x", "OTP:", false, ""},
        {"OTP x", "OTP:", false, ""},
        {"OTP", "OTP:", false, ""},
        {"", "Boarddata:", false, ""},
        {"\xEF\xBB\xBF"
         "Boarddata: b.bin",
         "Boarddata:", false, ""},
        {std::string("OTP: a\0b", 8), "OTP:", true, std::string("a\0b", 3)},
    };
    for (const auto& c : cases) {
        std::string value = "untouched";
        EXPECT_EQ(match_entry(c.line, c.key, value), c.found) << c.line;
        if (c.found) {
            EXPECT_EQ(value, c.value) << c.line;
        }
    }
}

TEST(ParseOtpAddress, SignedHexadecimalIn32Bits) {
    const struct {
        std::string text;
        bool ok;
        uint32_t address;
    } cases[] = {
        {"1A000", true, 0x1A000},
        {"0x1A000", true, 0x1A000},
        {"0X1a000", true, 0x1A000},
        {"+1A000", true, 0x1A000},
        {" \t1A000", true, 0x1A000},
        {"1A000 trailing remark", true, 0x1A000},
        {"1A000g", true, 0x1A000},
        {"0", true, 0},
        {"-1", true, 0xFFFFFFFF},
        {"-80000000", true, 0x80000000},
        {"7FFFFFFF", true, 0x7FFFFFFF},
        {"00000000000000001", true, 1},
        {"80000000", false, 0},
        {"-80000001", false, 0},
        {"FFFFFFFFFFFFFFFFFFFF", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {"xyz", false, 0},
        {"0x", false, 0},
        {"-", false, 0},
        {"+-1", false, 0},
    };
    for (const auto& c : cases) {
        uint32_t address = 0x5A5A5A5A;
        EXPECT_EQ(parse_otp_address(c.text, address), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(address, c.address) << c.text;
        }
    }
}

} // namespace
