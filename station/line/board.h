// A board of a round: its fixture, its record, what its host wrote and how
// far it got, and its label, as the round keeps them and its screens show them.
#pragma once

#include "station/base/base.h"
#include "station/file/file.h"

#include <chrono>
#include <string>

typedef std::chrono::steady_clock Clock;

// One fixture's board in a round, as the screens see it.
struct Board {
    Fixture fixture;
    Record record;
    std::string folder; // host's folder when the board has images of its own
    DotCounter dots;
    // What host wrote, within the bound; the record's transcript once it
    // ended.
    KeptOutput output{TRANSCRIPT_KEEPS_FIRST, TRANSCRIPT_KEEPS_LAST};
    // Worked out from the transcript once its dots changed, at most every
    // tick, and from the record once it ended.
    BoardProgress progress;
    bool progress_due = false;
    bool running = false;
    bool stopping = false;  // the station is stopping its host
    bool unwritten = false; // its record written nowhere yet: tried again
    // Its label: "" (none, or not yet), "printed", "not printed" (tried
    // again while the round runs); read back: "verified", "mismatch",
    // "unverified" (set aside).
    std::string label;
    bool reads_back = false; // a passed board's label is read back at its fixture
    Clock::time_point started, ended;
    // The station's stopped time (stops.h) when the board started and ended:
    // a board's time leaves out the time the station stood still.
    Clock::duration stopped_at_start{}, stopped_at_end{};
};
