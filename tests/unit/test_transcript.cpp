// What the station reads from host's console, on plain text: the dots as
// they come, and the outcome of a host from its transcript and its end.
#include "station/base/transcript.h"

#include <gtest/gtest.h>

namespace {

// host's console, as it writes it, from the first job's opening.
const std::string BOARD_DATA = "Opening board_data.bin\nFile size 1500 bytes\n\nProgramming..";
const std::string BOARD_DATA_DONE = BOARD_DATA + "Programming board data successful\n";
const std::string OTP = "Opening otp.bin\nFile size 300 bytes\n\nProgramming.";
const std::string OTP_DONE = OTP + "\nExecute result 0x0\nProgramming OTP successful\n";
const std::string FIRMWARE = "Opening firmware.bin\nFile size 2500 bytes\n\nProgramming...";
const std::string PASSED = BOARD_DATA_DONE + OTP_DONE + FIRMWARE + "Programming TIV successful\n";
constexpr long ALL_FRAMES = 7; // six data frames and the OTP execute frame

long dots_in(const std::string& text) {
    DotCounter counter;
    counter.feed(text);
    return counter.dots();
}

TEST(DotCounter, CountsTheSameHoweverTheBytesAreCut) {
    for (const std::string& text :
         {PASSED, BOARD_DATA + "\nCRC Error\n", std::string("ProgrProgramming..")}) {
        long whole = dots_in(text);
        for (size_t cut = 0; cut <= text.size(); ++cut) {
            DotCounter counter;
            counter.feed(text.data(), cut);
            counter.feed(text.data() + cut, text.size() - cut);
            EXPECT_EQ(counter.dots(), whole) << "cut at " << cut << " of " << text;
        }
        DotCounter bytewise;
        for (char c : text) {
            bytewise.feed(&c, 1);
        }
        EXPECT_EQ(bytewise.dots(), whole) << text;
    }
    EXPECT_EQ(dots_in(PASSED), 6);
    EXPECT_EQ(dots_in("ProgrProgramming.."), 2);
    // Dots elsewhere (a file's name, a message) are no frames.
    EXPECT_EQ(dots_in("Opening a.b.c\nFile size 3 bytes.\nProgramming board data failed.\n"), 0);
}

TEST(DotCounter, SaysWhenANewDotCame) {
    DotCounter counter;
    EXPECT_FALSE(counter.feed("Opening x\n\nProgram"));
    EXPECT_FALSE(counter.feed("ming"));
    EXPECT_TRUE(counter.feed(".."));
    EXPECT_FALSE(counter.feed("\nCRC Error\n"));
}

Ending exited(int code) {
    return Ending{Ending::How::exited, code};
}
Ending stopped(Ending::Why why) {
    return Ending{Ending::How::stopped, 15, why};
}

TEST(Judge, EveryWayAHostEnds) {
    const struct {
        const char* name;
        std::string transcript;
        Ending ending;
        Outcome outcome;
        Stage stage;
        std::string message;
        long frames;
        std::string exit_status;
    } cases[] = {
        {"passed", PASSED, exited(0), Outcome::passed, Stage::none, "", 7, "0"},
        {"status 0 without the last job's word", BOARD_DATA_DONE + OTP_DONE + FIRMWARE, exited(0),
         Outcome::failed, Stage::firmware, "", 6, "0"},
        {"a CRC error in board data", BOARD_DATA + "\nCRC Error\nProgramming board data failed\n",
         exited(1), Outcome::failed, Stage::board_data, "CRC Error", 1, "1"},
        {"the OTP's data frame refused",
         BOARD_DATA_DONE + OTP + "\nCRC Error\nProgramming OTP failed\n", exited(1),
         Outcome::failed, Stage::otp, "CRC Error", 2, "1"},
        {"the OTP's execute frame refused",
         BOARD_DATA_DONE + OTP + "\nUnknown cmd\nProgramming OTP failed\n", exited(1),
         Outcome::failed, Stage::otp, "Unknown cmd", 3, "1"},
        {"an invalid response",
         BOARD_DATA_DONE + OTP_DONE + FIRMWARE +
             "\nInvalid response received 7\nProgramming TIV failed\n",
         exited(1), Outcome::failed, Stage::firmware, "Invalid response received 7", 6, "1"},
        {"an error on the line of dots",
         BOARD_DATA + "Reading error\nProgramming board data failed\n", exited(1), Outcome::failed,
         Stage::board_data, "Reading error", 1, "1"},
        {"a missing image", BOARD_DATA_DONE + "Could not find OTP file\nProgramming OTP failed\n",
         exited(1), Outcome::failed, Stage::configuration, "Could not find OTP file", 2, "1"},
        {"a bad OTP address", BOARD_DATA_DONE + "Invalid OTP address\nProgramming OTP failed\n",
         exited(1), Outcome::failed, Stage::configuration, "Invalid OTP address", 2, "1"},
        {"an image unreadable after the OTP job",
         BOARD_DATA_DONE + OTP_DONE + "Opening firmware.bin\nFile error\nProgramming TIV failed\n",
         exited(1), Outcome::failed, Stage::firmware, "File error", 4, "1"},
        {"the port not opened", "Unable to Open serial port\n\nInit failed\n", exited(1),
         Outcome::failed, Stage::open, "Unable to Open serial port", 0, "1"},
        {"exited after the station asked it to stop",
         BOARD_DATA + "\nCRC Error\n"
                      "Programming board data failed\n",
         exited(1), Outcome::failed, Stage::board_data, "CRC Error", 1, "1"},
        {"stalled mid-line",
         BOARD_DATA_DONE + OTP_DONE + "Opening firmware.bin\nFile size 2500 bytes\n\nProgr",
         stopped(Ending::Why::stalled), Outcome::stalled, Stage::firmware, "no answer to frame 5",
         4, ""},
        {"stalled after a dot", BOARD_DATA, stopped(Ending::Why::stalled), Outcome::stalled,
         Stage::board_data, "no answer to frame 2", 1, ""},
        {"its port lost", BOARD_DATA, stopped(Ending::Why::port_lost), Outcome::failed,
         Stage::board_data, "port lost at frame 2", 1, ""},
        {"stopped by the station", BOARD_DATA_DONE + OTP, stopped(Ending::Why::station),
         Outcome::aborted, Stage::otp, "stopped by the station at frame 3", 2, ""},
        {"a signal nobody sent", BOARD_DATA, Ending{Ending::How::signalled, 9}, Outcome::failed,
         Stage::board_data, "host ended by signal 9", 1, ""},
        {"stopped before it started", "", Ending{Ending::How::stopped_before_start},
         Outcome::aborted, Stage::open, "stopped by the station before host started", 0, ""},
        {"no process for it", "station: no process: Resource temporarily unavailable",
         Ending{Ending::How::could_not_start}, Outcome::failed, Stage::open,
         "station: no process: Resource temporarily unavailable", 0, ""},
    };
    for (const auto& c : cases) {
        Record r;
        r.transcript = c.transcript;
        judge(r, dots_in(c.transcript), c.ending, ALL_FRAMES);
        EXPECT_EQ(text_of(r.outcome), std::string(text_of(c.outcome))) << c.name;
        EXPECT_EQ(text_of(r.stage), std::string(text_of(c.stage))) << c.name;
        EXPECT_EQ(r.message, c.message) << c.name;
        EXPECT_EQ(r.frames, c.frames) << c.name;
        EXPECT_EQ(r.exit_status, c.exit_status) << c.name;
    }
}

TEST(Judge, FramesNeverPassAWholeRun) {
    Record r;
    r.transcript = PASSED;
    judge(r, 40, exited(0), ALL_FRAMES);
    EXPECT_EQ(r.frames, ALL_FRAMES);
}

TEST(JudgeInterrupted, FromTheLogAlone) {
    const struct {
        std::string log;
        Stage stage;
        std::string message;
        long frames;
    } cases[] = {
        {"", Stage::none, "", 0},
        {BOARD_DATA, Stage::board_data, "Programming..", 1},
        {BOARD_DATA_DONE + OTP_DONE + "Opening firmware.bin\nFile si", Stage::firmware, "File si",
         4},
        {BOARD_DATA + "\nCRC Error\r\n\n", Stage::board_data, "CRC Error", 1},
    };
    for (const auto& c : cases) {
        Record r;
        r.transcript = c.log;
        judge_interrupted(r);
        EXPECT_EQ(r.outcome, Outcome::interrupted) << c.log;
        EXPECT_EQ(text_of(r.stage), std::string(text_of(c.stage))) << c.log;
        EXPECT_EQ(r.message, c.message) << c.log;
        EXPECT_EQ(r.frames, c.frames) << c.log;
    }
}

TEST(BeganImage, OnlyTheWholeOpeningLineOfThatImage) {
    const struct {
        std::string transcript, file;
        bool began;
    } cases[] = {
        {BOARD_DATA_DONE + OTP, "otp.bin", true},
        {BOARD_DATA_DONE + "Opening otp.b", "otp.bin", false},
        {BOARD_DATA_DONE, "otp.bin", false},
        {"Opening ../../otp.bin\n", "otp.bin", false},
        {"Opening firmware.bin\n", "firmware.bin", true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(began_image(c.transcript, c.file), c.began) << c.transcript;
    }
}

TEST(FramesSoFar, OfAHostStillRunning) {
    EXPECT_EQ(frames_so_far("", 0), 0);
    EXPECT_EQ(frames_so_far("Opening board_data.bin\n", 0), 0);
    EXPECT_EQ(frames_so_far(BOARD_DATA, 2), 1);
    EXPECT_EQ(frames_so_far(BOARD_DATA_DONE + OTP_DONE, 3), 4);
}

} // namespace
