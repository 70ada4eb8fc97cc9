// Texts cut to a terminal's width: at a word, with the frame number a
// failure ends with kept.
#include "station/line/screen.h"

#include <gtest/gtest.h>

namespace {

TEST(Shortened, CutsAtAWordAndKeepsTheFrameNumber) {
    const struct {
        const char* text;
        size_t width;
        const char* shown;
    } cases[] = {
        {"failed in board data: CRC Error", 40, "failed in board data: CRC Error"},
        {"failed in board data: CRC Error", 31, "failed in board data: CRC Error"},
        {"failed in board data: CRC Error", 30, "failed in board data: CRC..."},
        {"stalled in OTP: no answer to frame 4", 30, "stalled in OTP: no... frame 4"},
        {"aborted in firmware: stopped by the station at frame 12", 40,
         "aborted in firmware: stopped... frame 12"},
        {"port lost at frame 123456", 12, "port lost..."},
        // A number not after "frame " is a word like any other.
        {"stopped by the station at 12345", 20, "stopped by the..."},
        // A frame number that would leave nothing of the text before it.
        {"no answer to frame 1234567890", 16, "no answer to..."},
        {"abcdefghijklmnop", 8, "abcde..."},
        {"abcdefghijklmnop", 3, "abc"},
        {"", 0, ""},
    };
    for (const auto& c : cases) {
        std::string shown = shortened(c.text, c.width);
        EXPECT_EQ(shown, c.shown) << c.text << " in " << c.width;
        EXPECT_LE(shown.size(), c.width) << c.text;
    }
}

} // namespace
