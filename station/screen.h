// What the operator (or a factory script) sees of a round: on a terminal one
// line per fixture redrawn in place, elsewhere one plain line per change of
// state, or with --json one JSON object per event. Transcripts never reach
// the screen.
#pragma once

#include "station/runner.h"

#include <memory>

// The screen for standard output: JSON events, a terminal's lines, or
// plain lines. `data_frames`: the dots of a whole run, for the percentage.
std::unique_ptr<Screen> make_screen(bool json, long data_frames);

// The screen of `run --continuous`: a line when a board starts and one
// when it ends (PASS or FAIL, in colour on a terminal), kept apart from the
// prompt, which it puts back after each line.
class ContinuousScreen : public Screen {
  public:
    ContinuousScreen();
    void board_started(const Board& board) override;
    void board_progress(const Board&) override {}
    void board_finished(const Board& board) override;
    void tick(const std::list<Board>&) override {}
    // Shows the prompt and keeps it under what follows, until answered.
    void prompt(const std::string& text);
    // A line was read: the prompt is done with (a terminal echoed the line
    // end; through a pipe the line is ended here).
    void answered();
    // A line of the station's own (a refusal), above the prompt.
    void say(const std::string& line);

  private:
    bool terminal_;
    bool colour_;
    std::string prompt_;
    bool open_ = false; // a line of ours waits for its end
};

// The round's last words: a summary line and what `station retry` would
// run (plain or JSON as the screen is).
// `skipped`: the fixtures of the round that did not start (refused, no
// port, skipped at the prompt).
void print_round_end(const std::vector<Board>& boards, int skipped, const std::string& round,
                     bool json);
// A board that was not started (port missing, MAC refused), with why.
void print_skipped(const std::string& fixture, const std::string& why, bool json);
