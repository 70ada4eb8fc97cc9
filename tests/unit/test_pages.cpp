// The web view's readings: where to listen, and each station's state from
// its heartbeat, its silence and its fixtures' boards.
#include "station/base/transcript.h"
#include "station/web/pages.h"
#include "station/web/serve.h"

#include <gtest/gtest.h>

namespace {

TEST(ListenAddress, TakesAddressAndPortAndRefusesTheRest) {
    struct Case {
        const char* text;
        const char* host; // nullptr: refused
        int port;
    };
    for (const Case& c : std::vector<Case>{{"127.0.0.1:8080", "127.0.0.1", 8080},
                                           {"0.0.0.0:0", "0.0.0.0", 0},
                                           {"[::1]:65535", "::1", 65535},
                                           {"line-pc:80", "line-pc", 80},
                                           {"127.0.0.1:65536", nullptr, 0},
                                           {"127.0.0.1", nullptr, 0},
                                           {":8080", nullptr, 0},
                                           {"::1:8080", nullptr, 0},
                                           {"127.0.0.1:80x", nullptr, 0},
                                           {"", nullptr, 0}}) {
        SCOPED_TRACE(c.text);
        if (c.host == nullptr) {
            EXPECT_THROW(listen_address(c.text), StationError);
            continue;
        }
        ListenAddress where = listen_address(c.text);
        EXPECT_EQ(where.host, c.host);
        EXPECT_EQ(where.port, c.port);
    }
}

FixtureNow board(const std::string& station, Outcome outcome) {
    FixtureNow f;
    f.record.station = station;
    f.record.fixture = "A1";
    f.record.outcome = outcome;
    return f;
}

TEST(LineView, AStationsStateFromItsBeatAndItsBoards) {
    struct Case {
        const char* what;
        std::optional<Beat> beat;
        std::optional<long> silence;
        std::optional<Outcome> board;
        const char* state;
    };
    Beat beating{"s1", "2026-12-08T10:00:00.000Z", false, "1.1.0"};
    Beat ended = beating;
    ended.ended = true;
    for (const Case& c : std::vector<Case>{
             {"a board running, heard of lately", beating, 3, Outcome::started, "running"},
             {"waiting for boards, heard of lately", beating, 3, Outcome::passed, "idle"},
             {"silent for 16 s", beating, 16, Outcome::started, "not responding"},
             {"silent for 15 s", beating, 15, Outcome::started, "running"},
             {"a beat whose time cannot be read", beating, std::nullopt, Outcome::passed,
              "not responding"},
             {"its round ended long ago", ended, 86400, Outcome::failed, "idle"},
             {"never ran a round here", std::nullopt, std::nullopt, std::nullopt, "idle"},
             {"a board running, never heard of", std::nullopt, std::nullopt, Outcome::started,
              "running"}}) {
        SCOPED_TRACE(c.what);
        LineNow now;
        now.profiles.push_back({"s1", "profile"});
        if (c.beat) {
            now.beats.push_back(*c.beat);
        }
        if (c.board) {
            now.fixtures.push_back(board("s1", *c.board));
        }
        LineView line = line_view(now, {}, [&](const Beat&) { return c.silence; });
        ASSERT_EQ(line.stations.size(), 1u);
        EXPECT_EQ(line.stations[0].state, c.state);
        EXPECT_EQ(line.stations[0].profile, "profile");
    }
}

TEST(LineView, EveryStationOnceWhereverItIsNamed) {
    LineNow now;
    now.profiles = {{"b", "pb"}};
    now.beats = {Beat{"c", "2026-12-08T10:00:00.000Z", false, "1.1.0"}};
    now.fixtures = {board("a", Outcome::passed)};
    GroupCounts today{"a", 4, 3, 2};
    LineView line = line_view(now, {today}, [](const Beat&) { return 1L; });
    std::vector<std::string> names;
    for (const StationView& s : line.stations) {
        names.push_back(s.name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(line.stations[0].today.boards, 4);
    EXPECT_EQ(line.stations[1].today.boards, 0);
    EXPECT_EQ(line.stations[2].host_version, "1.1.0");
}

// A board's progress is worked out once, from its transcript by the judge:
// the line's JSON carries the same frames, total and percentage as the
// station's screen shows (BoardProgress::percent), running or ended.
TEST(LineView, ABoardsProgressIsTheJudgesWhereverItIsShown) {
    // Six data frames (two, one and three dots) and the OTP execute frame.
    const std::string board_data = "Opening board_data.bin\nFile size 1500 bytes\n\nProgramming";
    const std::string otp = board_data + "..Programming board data successful\n"
                                         "Opening otp.bin\nFile size 300 bytes\n\nProgramming."
                                         "\nExecute result 0x0\nProgramming OTP successful\n";
    const std::string firmware =
        otp + "Opening firmware.bin\nFile size 2500 bytes\n\nProgramming...";
    const struct {
        const char* what;
        std::string transcript;
        Outcome outcome;
        long long frames, percent;
    } cases[] = {
        {"nothing answered yet", "Opening board_data.bin\n", Outcome::started, 0, 0},
        {"two dots: the first frame answered", board_data + "..", Outcome::started, 1, 14},
        {"the OTP executed", otp, Outcome::started, 4, 57},
        {"passed", firmware + "Programming TIV successful\n", Outcome::passed, 7, 100},
        {"failed in firmware", firmware, Outcome::failed, 6, 85},
    };
    const RunFrames frames{2, 1, 3};
    const long long all_frames = frames.all();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FixtureNow f = board("s1", c.outcome);
        DotCounter dots;
        dots.feed(c.transcript);
        BoardProgress progress = progress_of(c.transcript, dots.dots(), all_frames);
        if (c.outcome != Outcome::started) {
            f.record.transcript = c.transcript;
            judge(f.record, dots.dots(),
                  Ending{Ending::How::exited, c.outcome == Outcome::passed ? 0 : 1}, frames);
            progress = progress_of(f.record, all_frames);
        }
        EXPECT_EQ(progress.frames, c.frames);
        EXPECT_EQ(progress.percent(c.outcome == Outcome::passed), c.percent);
        f.frames = progress.frames;
        f.total = progress.total;
        LineNow now;
        now.fixtures.push_back(f);
        nlohmann::json shown =
            line_json(line_view(now, {}, [](const Beat&) { return 1L; }))["fixtures"][0];
        EXPECT_EQ(shown["frames"], c.frames);
        EXPECT_EQ(shown["total_frames"], all_frames);
        if (c.outcome == Outcome::started) {
            EXPECT_EQ(shown["percent"], c.percent);
        }
    }
}

} // namespace
