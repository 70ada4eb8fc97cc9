// The judge of host's console: what a transcript says (the dots of data
// frames, the stage reached, the line that named the fault, the frames
// acknowledged) and the outcome of a host from its transcript and how it
// ended. Pure functions over text: no process, file or clock.
#pragma once

#include "station/base/record.h"

#include <cstddef>
#include <string>

// Counts the dots host writes after "Programming", one per data frame
// sent, fed as the bytes come (a word or a run of dots may be cut between
// two reads). An answer that prints a line between two dots ("Version
// matches", an execute result) does not end the job's dots; its result
// line ("Programming ... successful") does.
class DotCounter {
  public:
    // Returns whether a new dot came.
    bool feed(const char* bytes, size_t n);
    bool feed(const std::string& text) {
        return feed(text.data(), text.size());
    }
    long long dots() const {
        return dots_;
    }

  private:
    long long dots_ = 0;
    int matched_ = 0;         // of "Programming" matched so far
    bool word_ended_ = false; // "Programming" was the last thing read
    bool in_dots_ = false;
    char last_ = 0;
};

// Host's output as the station keeps it: its first `first` bytes and its
// last `last`; what lies between is counted, not kept, so that no host can
// grow the station, the store or a page past the bound.
class KeptOutput {
  public:
    KeptOutput(size_t first, size_t last) : first_(first), last_(last) {}
    // Returns how many of the bytes went into the first part (a copy made
    // as they come can take those at once).
    size_t append(const char* bytes, size_t n);
    // The bytes left out so far.
    long long left_out() const;
    // The first part, the line that says what was left out, and the last
    // part; the output itself while it is whole.
    const std::string& text() const;
    // The line that stands for the bytes left out, and the last part.
    std::string rest() const;

  private:
    size_t first_, last_;
    std::string head_, tail_;
    long long dropped_ = 0; // of the tail, trimmed as it grew
    mutable std::string text_;
    mutable bool text_due_ = true;
};
// What the station keeps of each host's output: the first
// TRANSCRIPT_KEEPS_FIRST bytes with a byte more for every frame of the run
// (so a host that runs as it should is kept whole, one dot a frame), and
// the last TRANSCRIPT_KEEPS_LAST.
constexpr size_t TRANSCRIPT_KEEPS_FIRST = 1 << 20;
constexpr size_t TRANSCRIPT_KEEPS_LAST = 1 << 20;
// The line that stands where bytes were left out.
std::string left_out_line(long long bytes);

// The data frames each job of a whole run sends, as the locked images need
// them.
struct RunFrames {
    long long board_data = 0;
    long long otp = 0;
    long long firmware = 0;
    // Every frame of a whole run: the data frames and the OTP execute frame.
    long long all() const {
        return board_data + otp + firmware + 1;
    }
};

// Whether the transcript of a host that said the whole run succeeded shows
// one answer for each frame, in order: every job sent the frames its image
// needs, no data job printed an answer that only the OTP execute frame
// gets, and the OTP job closed with its own execute result. The wire has
// no frame numbers: an agent still answering an earlier run's frame shifts
// every answer by one, and host, which reads one answer per frame, cannot
// tell; the transcript shows it where an execute result lands.
struct Steps {
    std::string why;           // empty: in step
    Stage stage = Stage::none; // the first job out of step
    long long answered = 0;    // the frames answered in step
};
Steps check_steps(const std::string& transcript, const RunFrames& frames);
// What a record's message begins with when its answers were out of step.
extern const char OUT_OF_STEP[];
bool out_of_step(const Record& record);

// The stage a transcript reached: open, board data, OTP or firmware.
Stage stage_of(const std::string& transcript);
// The line of host that named the fault: the last line before the job's
// result line, or the last line when there is none.
std::string fault_line(const std::string& transcript);
// The last line written, line ends aside.
std::string last_line(const std::string& transcript);
// Frames acknowledged: every dot's frame, and the OTP execute frame, that
// got a good answer; `passed`: host said the whole run succeeded.
long long acknowledged(const std::string& transcript, long long dots, bool passed);
// The frames acknowledged so far of a host still running.
long long frames_so_far(const std::string& transcript, long long dots);
// How far a board is, as every view shows it: the stage reached and the
// frames acknowledged of `total`, the frames of a whole run (the data
// frames and the OTP execute frame).
struct BoardProgress {
    Stage stage = Stage::none;
    long long frames = 0;
    long long total = 0;
    // The share done, 100 only for a board that passed.
    int percent(bool passed) const;
};
// Of a host still running, from its transcript so far.
BoardProgress progress_of(const std::string& transcript, long long dots, long long total);
// Of a finished record.
BoardProgress progress_of(const Record& record, long long total);
// Whether host began the job of the image it reads from `file` ("Opening
// otp.bin"): from then on that image's bytes may be in the board.
bool began_image(const std::string& transcript, const std::string& file);

// How a host ended.
struct Ending {
    enum class How {
        exited,               // with `code`
        signalled,            // by signal `code`, unasked by the station
        stopped,              // by the station, for `why`
        stopped_before_start, // a stop came before it was started
        could_not_start       // no pipe or process: the transcript says why
    } how = How::exited;
    int code = 0;
    enum class Why { station, stalled, port_lost } why = Why::station;
};

// Fills in a finished host's outcome, stage, message, frames and exit
// status from its transcript, the dots counted as they came, and how it
// ended. A host that exited is judged by what it said, whatever the station
// was about to do to it; it passes only when its answers were in step with
// `frames`, the frames the locked images need.
void judge(Record& record, long long dots, const Ending& ending, const RunFrames& frames);
// A record that a station left started when it died, from its transcript
// (the board's log) alone: frames, stage and its last line; marked
// interrupted.
void judge_interrupted(Record& record);
