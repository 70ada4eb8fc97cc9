// A board of a round: its fixture, its record, what its host wrote and how
// far it got, and its label, as the round keeps them and its screens show them.
#pragma once

#include "station/base/base.h"
#include "station/file/file.h"

#include <chrono>
#include <string>

typedef std::chrono::steady_clock Clock;

// Where a passed board's label is: none yet, printed, not taken by the
// printer (tried again); read back at its fixture: verified, read back
// wrong, or set aside unverified.
enum class LabelState { none, printed, not_printed, verified, mismatch, unverified };
// Its name in the store's label events and on the screens: "not printed".
inline const char* label_state_name(LabelState state) {
    switch (state) {
    case LabelState::printed:
        return "printed";
    case LabelState::not_printed:
        return "not printed";
    case LabelState::verified:
        return "verified";
    case LabelState::mismatch:
        return "mismatch";
    case LabelState::unverified:
        return "unverified";
    case LabelState::none:
        break;
    }
    return "";
}
// Whether the label is printed and still to be read back.
inline bool label_to_read_back(LabelState state) {
    return state == LabelState::printed || state == LabelState::mismatch;
}

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
    LabelState label = LabelState::none;
    bool reads_back = false; // a passed board's label is read back at its fixture
    Clock::time_point started, ended;
    // The station's stopped time (stops.h) when the board started and ended:
    // a board's time leaves out the time the station stood still.
    Clock::duration stopped_at_start{}, stopped_at_end{};
};
