// What happens in a round, as values the round tells each of its sinks.
#pragma once

#include "station/line/board.h"

#include <list>
#include <string>

// What happened in a round, as a value: the round tells every one to each of
// its sinks (its screen; the line's page, through the recorder). Each kind
// sets the fields its comment names; the others keep their defaults.
struct RoundEvent {
    enum class Kind {
        started,         // `board`
        progress,        // `board`: its progress changed
        finished,        // `board`
        skipped,         // `fixture` not started, `text` why
        notice,          // `text`: a line of the station's own (a refused scan, a lost store)
        warning,         // `text`: one for standard error (a store lost, a conflict)
        out_of_service,  // `fixture`, `text` why, `brief` why in a few words
        back_in_service, // `fixture`
        kept,            // `fixture`'s board keeps `mac`; none: no more (`text` why)
        unwritten,       // `board`'s record written nowhere yet (`text` why); none: written
        label,           // `board`'s label is `label` now (`text` why, of one not
                         // printed or set aside), `printer`, `job`; `late`: printed
                         // after the printer failed it; `round` set when the
                         // round's end gave it up
        pool_low,        // `pool`, `left`: below a tenth of the MAC pool left
        ended            // `boards`, `skipped`, `round`: the round's last words
    } kind = Kind::notice;
    const Board* board = nullptr;
    std::string fixture, text;
    std::string brief; // out of service: why in a few words
    std::string mac;   // kept
    LabelState label = LabelState::none;
    bool late = false;
    const MacPlan* pool = nullptr;
    unsigned long long left = 0;
    const std::list<Board>* boards = nullptr;
    int skipped = 0;
    std::string round;
    bool refusal = false;     // a scan refused: the operator, who looks at the board, hears it
    std::string printer, job; // a label's

    static RoundEvent of(Kind kind, const Board& board) {
        RoundEvent e;
        e.kind = kind;
        e.board = &board;
        return e;
    }
    static RoundEvent said(Kind kind, const std::string& text, const std::string& fixture = "") {
        RoundEvent e;
        e.kind = kind;
        e.text = text;
        e.fixture = fixture;
        return e;
    }
    // What a label event says of its state: "printed now" for a label
    // printed after the printer failed it.
    std::string label_said() const {
        return late && label == LabelState::printed ? "printed now" : label_state_name(label);
    }
};

class RoundSink {
  public:
    virtual ~RoundSink() = default;
    virtual void take(const RoundEvent& event) = 0;
};
