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

// The round's last words: a summary line and what `station retry` would
// run (plain or JSON as the screen is).
void print_round_end(const std::vector<Board>& boards, const std::string& round, bool json);
// A board that was not started (port missing, MAC refused), with why.
void print_skipped(const std::string& fixture, const std::string& why, bool json);
