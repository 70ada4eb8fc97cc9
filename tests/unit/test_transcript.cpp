// What the station reads from host's console, on plain text: the dots as
// they come, and the outcome of a host from its transcript and its end.
#include "station/base/transcript.h"

#include <gtest/gtest.h>

#include <deque>
#include <random>

namespace {

std::deque<char> operator+(std::deque<char> a, const std::deque<char>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// host's console, as it writes it, from the first job's opening.
const std::string BOARD_DATA = "Opening board_data.bin\nFile size 1500 bytes\n\nProgramming..";
const std::string BOARD_DATA_DONE = BOARD_DATA + "Programming board data successful\n";
const std::string OTP = "Opening otp.bin\nFile size 300 bytes\n\nProgramming.";
const std::string OTP_DONE = OTP + "\nExecute result 0x0\nProgramming OTP successful\n";
const std::string FIRMWARE = "Opening firmware.bin\nFile size 2500 bytes\n\nProgramming...";
const std::string PASSED = BOARD_DATA_DONE + OTP_DONE + FIRMWARE + "Programming TIV successful\n";
const RunFrames FRAMES{2, 1, 3}; // six data frames and the OTP execute frame

long dots_in(const std::string& text) {
    DotCounter counter;
    counter.feed(text);
    return counter.dots();
}

TEST(DotCounter, CountsTheSameHoweverTheBytesAreCut) {
    for (const std::string& text :
         {PASSED, BOARD_DATA + "\nCRC Error\n", std::string("ProgrProgramming.."),
          std::string("Programming.Execute result 0x0\n..\nVersion matches\n.Programming T")}) {
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
    // An answer's line between two dots does not end a job's dots.
    EXPECT_EQ(dots_in("Programming.\nVersion matches\n..Programming board data successful\n"), 3);
    EXPECT_EQ(dots_in("Programming.Execute result 0x0\n...Programming TIV successful\n"), 4);
    EXPECT_EQ(dots_in("ProgrammingProgramming board data successful\nOpening a.b\n"), 0);
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
        judge(r, dots_in(c.transcript), c.ending, FRAMES);
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
    judge(r, 40, exited(0), FRAMES);
    EXPECT_EQ(r.frames, FRAMES.all());
}

// What host prints when the three jobs read these answers, one per frame,
// as its jobs do ('P' a data frame's good status, 'V' a matching version,
// 'E' an execute result); empty when it would still be waiting.
std::string console_of(const RunFrames& frames, std::deque<char> answers) {
    std::string out;
    auto read_answer = [&]() {
        if (answers.empty()) {
            return false;
        }
        char a = answers.front();
        answers.pop_front();
        out += a == 'V' ? "\nVersion matches\n" : a == 'E' ? "Execute result 0x0\n" : "";
        return true;
    };
    const struct {
        long long frames;
        const char* file;
        const char* result;
    } jobs[] = {{frames.board_data, "board_data.bin", "Programming board data successful\n"},
                {frames.otp, "otp.bin", "Programming OTP successful\n"},
                {frames.firmware, "firmware.bin", "Programming TIV successful\n"}};
    for (const auto& job : jobs) {
        out += std::string("Opening ") + job.file + "\nFile size " +
               std::to_string(job.frames * 1000) + " bytes\n\nProgramming";
        for (long long k = 0; k < job.frames; ++k) {
            out += ".";
            if (!read_answer()) {
                return "";
            }
        }
        if (job.frames == frames.otp && job.file == std::string("otp.bin")) {
            out += "\n";
            if (!read_answer()) {
                return "";
            }
        }
        out += job.result;
    }
    return out;
}

TEST(CheckSteps, WhatTheTranscriptShows) {
    const RunFrames frames{3, 2, 16};
    const struct {
        const char* what;
        std::deque<char> answers;
        std::string why; // after "answers out of step with the frames: "
        long long answered;
    } cases[] = {
        {"in step",
         std::deque<char>(3 + 2, 'P') + std::deque<char>{'E'} + std::deque<char>(16, 'P'), "", 22},
        {"late by one frame (a Ctrl+C, then a retry)",
         std::deque<char>(1 + 3 + 2, 'P') + std::deque<char>{'E'} + std::deque<char>(16, 'P'),
         "OTP closed without its answer, firmware answered 15 of 16", 20},
        {"the earlier run's execute result first",
         std::deque<char>{'E'} + std::deque<char>(3 + 2, 'P') + std::deque<char>{'E'} +
             std::deque<char>(16, 'P'),
         "board data answered 2 of 3, OTP closed without its answer, firmware answered 15 of 16",
         19},
        {"a version between frames",
         std::deque<char>{'P', 'V', 'P', 'P', 'V', 'E'} + std::deque<char>(16, 'P'), "", 22},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string t = console_of(frames, c.answers);
        ASSERT_FALSE(t.empty());
        Steps steps = check_steps(t, frames);
        EXPECT_EQ(steps.why.empty() ? "" : steps.why.substr(std::strlen(OUT_OF_STEP), c.why.size()),
                  c.why);
        EXPECT_EQ(steps.answered, c.answered);
    }
    // Texts no host run in step writes.
    const std::string otp_missing_answer =
        console_of(frames, std::deque<char>(3 + 2 + 1 + 16, 'P'));
    const struct {
        const char* what;
        std::string transcript;
        std::string why;
    } texts[] = {
        {"a job short of a frame",
         console_of({2, 2, 16}, std::deque<char>(2 + 2, 'P') + std::deque<char>{'E'} +
                                    std::deque<char>(16, 'P')),
         "board data sent 2 of 3 frames"},
        {"the OTP closed by a data frame's answer", otp_missing_answer,
         "OTP closed without its answer"},
        {"no OTP result at all",
         "Opening board_data.bin\nFile size 3000 bytes\n\nProgramming..."
         "Programming board data successful\nProgramming TIV successful\n",
         "OTP has no result"},
    };
    for (const auto& c : texts) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(
            check_steps(c.transcript, frames).why.substr(std::strlen(OUT_OF_STEP), c.why.size()),
            c.why);
    }
}

// Whether an earlier run left an answer (host waits for each frame's
// answer before the next frame, so a stopped host leaves at most one, of
// any kind), whatever the images' sizes and the versions an agent may send:
// the judge passes a host that said it succeeded only when none was left.
// All three images empty is the one run of a single frame, where a
// left-over execute result looks like the run's own.
TEST(CheckSteps, PassesOnlyRunsWithNothingLeftOver) {
    std::mt19937 draws(58);
    for (int n = 0; n < 4000; ++n) {
        auto draw = [&](unsigned below) { return static_cast<long long>(draws() % below); };
        RunFrames frames{draw(4), draw(3), draw(20)};
        if (frames.board_data + frames.otp + frames.firmware == 0) {
            frames.firmware = 1;
        }
        std::deque<char> answers;
        size_t left_over = draws() % 2;
        for (size_t k = 0; k < left_over; ++k) {
            answers.push_back(draws() % 2 ? 'E' : 'P');
        }
        auto data = [&](long long count) {
            for (long long k = 0; k < count; ++k) {
                answers.push_back(draws() % 10 == 0 ? 'V' : 'P');
            }
        };
        data(frames.board_data);
        data(frames.otp);
        answers.push_back('E');
        data(frames.firmware);
        std::string t = console_of(frames, answers);
        Record r;
        r.transcript = t;
        judge(r, dots_in(t), exited(0), frames);
        std::string seen = "seed 58, case " + std::to_string(n) + ": " + t;
        if (left_over == 0) {
            EXPECT_EQ(r.outcome, Outcome::passed) << seen << r.message;
            EXPECT_EQ(r.frames, frames.all()) << seen;
        } else {
            EXPECT_EQ(r.outcome, Outcome::failed) << seen;
            EXPECT_TRUE(out_of_step(r)) << seen << r.message;
            EXPECT_LT(r.frames, frames.all()) << seen;
        }
    }
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

// Whatever the bounds and however the output is cut into reads: the first
// bytes as they came, the last ones, every byte kept or counted, and the
// first part handed back at once exactly.
TEST(KeptOutput, KeepsTheFirstAndLastBytesAndCountsTheRest) {
    std::mt19937 draws(54);
    for (int run = 0; run < 2000; ++run) {
        size_t first = draws() % 40, last = draws() % 40;
        size_t total = draws() % 200;
        std::string output;
        for (size_t i = 0; i < total; ++i) {
            output += static_cast<char>('a' + draws() % 26);
        }
        KeptOutput kept(first, last);
        std::string handed_back;
        for (size_t at = 0; at < total;) {
            size_t n = std::min<size_t>(total - at, draws() % 30);
            size_t went = kept.append(output.data() + at, n);
            handed_back += output.substr(at, went);
            at += n;
        }
        SCOPED_TRACE("first " + std::to_string(first) + ", last " + std::to_string(last) +
                     ", total " + std::to_string(total));
        long long left = static_cast<long long>(total) - static_cast<long long>(first + last);
        std::string expected = output;
        if (left > 0) {
            expected = output.substr(0, first) + left_out_line(left) + output.substr(total - last);
        }
        EXPECT_EQ(kept.left_out(), std::max(left, 0LL));
        EXPECT_EQ(kept.text(), expected);
        EXPECT_EQ(handed_back, output.substr(0, std::min(first, total)));
        EXPECT_EQ(output.substr(0, std::min(first, total)) + kept.rest(), expected);
    }
}
