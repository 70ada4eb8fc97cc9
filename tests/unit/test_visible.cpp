// Text for a terminal: every control character made visible, every other
// character kept, whichever way the bytes reach standard output.
#include "station/base/visible.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

TEST(Visible, ControlsAreShownAndTextIsKept) {
    const struct {
        const char* text;
        const char* shown;
    } cases[] = {
        {"plain text, a tab\tand\nlines", "plain text, a tab\tand\nlines"},
        {"\x1b]0;HACKED\x07", "^[]0;HACKED^G"},
        {"\x1b[2J\r== forged", "^[[2J^M== forged"},
        {"del\x7f", "del^?"},
        {"\xc2\x9b"
         "1m",
         "<U+009B>1m"}, // a C1 CSI in UTF-8
        {"\xc2\x85", "<U+0085>"},
        {"\xc2\xa0\xc2\xb5 \xe6\xbc\xa2 \xf0\x9f\x94\xa7",
         "\xc2\xa0\xc2\xb5 \xe6\xbc\xa2 \xf0\x9f\x94\xa7"},
        {"\x9b"
         "1m",
         "<\\x9B>1m"},                                        // a C1 byte alone is no UTF-8
        {"\xc0\x80", "<\\xC0><\\x80>"},                       // overlong
        {"\xed\xa0\x80", "<\\xED><\\xA0><\\x80>"},            // a surrogate
        {"\xf4\x90\x80\x80", "<\\xF4><\\x90><\\x80><\\x80>"}, // past U+10FFFF
        {"cut \xe6\xbc", "cut <\\xE6><\\xBC>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(visible(c.text), c.shown) << c.text;
    }
    EXPECT_EQ(visible(std::string("nul\0here", 8)), "nul^@here");
    // A line that must stay one shows the line ends it quotes.
    EXPECT_EQ(visible("port-A1\n== forged\tline", true), "port-A1^J== forged\tline");
}

TEST(VisibleStdout, ASequenceCutByAFlushIsKeptWholeAndOnlyPeopleGetTheFilter) {
    std::ostringstream captured;
    std::streambuf* before = std::cout.rdbuf(captured.rdbuf());
    {
        VisibleStdout shown(true);
        std::cout << "\xe6" << std::flush << "\xbc\xa2 \x1b[2J" << std::flush;
        std::cout << "\x07 ends";
    }
    EXPECT_EQ(captured.str(), "\xe6\xbc\xa2 ^[[2J^G ends");
    captured.str("");
    {
        VisibleStdout data(false);
        std::cout << "\x1b[2J";
    }
    EXPECT_EQ(captured.str(), "\x1b[2J");
    std::cout.rdbuf(before);
}

} // namespace
