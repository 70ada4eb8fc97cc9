// Texts cut to a terminal's width: at a word, with the frame number a
// failure ends with kept; the lines the station says beside its boards,
// and the log that keeps them.
#include "station/line/screen.h"
#include "station/store/board_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sys/stat.h>

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

// The notices' log keeps each line whole and with its time, on one line of
// its own whatever the line holds, and says why when it cannot be written.
TEST(NoticeLog, KeepsEachNoticeOnALineOfItsOwn) {
    char folder[] = "/tmp/notices-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string logs = std::string(folder) + "/station-logs";
    ASSERT_EQ(mkdir(logs.c_str(), 0700), 0);
    EXPECT_EQ(add_notice(logs, "s1", "A2 out of service: port /dev/x is missing"), "");
    EXPECT_EQ(add_notice(logs, "s1", "refused: \x1b]0;title\a\r\nforged"), "");
    std::string text;
    for (const auto& day : std::filesystem::directory_iterator(logs)) {
        std::ifstream log(day.path() / "notices-s1.log");
        text.assign(std::istreambuf_iterator<char>(log), {});
    }
    std::regex kept("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(\\.\\d+)?Z A2 out of service: port "
                    "/dev/x is missing\n"
                    "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d(\\.\\d+)?Z refused: "
                    "\\?\\]0;title\\?\\?\\?forged\n");
    EXPECT_TRUE(std::regex_match(text, kept)) << text;
    // A log folder that is a file: the notice is not kept, and why is said.
    std::string file = std::string(folder) + "/a-file";
    std::ofstream(file) << "x";
    EXPECT_NE(add_notice(file, "s1", "lost"), "");
    std::filesystem::remove_all(folder);
}

TEST(SaidLine, EachEventBesideTheBoardsIsOneLine) {
    MacPlan pool;
    pool.first = "00112233AA00";
    pool.last = "00112233AAFF";
    std::list<Board> none;
    const struct {
        RoundEvent event;
        const char* line;
    } cases[] = {
        {round_event::Skipped{"A2", "port /dev/x is missing"},
         "A2 skipped: port /dev/x is missing"},
        {round_event::OutOfService{"A3", "its last three boards failed", "3 failed opens"},
         "A3 out of service: its last three boards failed"},
        {round_event::BackInService{"A3"}, "A3 back in service"},
        {round_event::Kept{"A3", "00112233AA07", ""},
         "A3 keeps MAC 00112233AA07: r retries its board, n for a new one"},
        {round_event::Kept{"A3", "", "A3: a new board"}, "A3: a new board"},
        {round_event::Notice{"refused: not a MAC", true}, "refused: not a MAC"},
        {round_event::PoolLow{&pool, 12}, "MAC pool 00112233AA00-00112233AAFF: 12 of 256 left"},
        {round_event::Ended{&none, 0, "r1"}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(said_line(c.event), c.line);
    }
}
