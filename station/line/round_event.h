// What happens in a round, as values the round tells each of its sinks.
#pragma once

#include "station/line/board.h"

#include <list>
#include <string>

// What happened in a round, as a value: the round tells every one to each of
// its sinks (its screen; the line's page, through the recorder).
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
        kept,            // `fixture`'s board keeps MAC `brief`; none: no more (`text` why)
        unwritten,       // `board`'s record written nowhere yet (`text` why); none: written
        label,           // `board`'s label: `brief` "printed", "printed now" (after a
                         // failure) or "not printed" (`text` why), `printer`, `job`;
                         // `round` set when the round's end gave it up
        pool_low,        // `pool`, `left`: below a tenth of the MAC pool left
        ended            // `boards`, `skipped`, `round`: the round's last words
    } kind;
    const Board* board = nullptr;
    std::string fixture, text, brief;
    const MacPlan* pool = nullptr;
    unsigned long long left = 0;
    const std::list<Board>* boards = nullptr;
    int skipped = 0;
    std::string round;
    bool refusal = false;     // a scan refused: the operator, who looks at the board, hears it
    std::string printer, job; // a label's

    static RoundEvent of(Kind kind, const Board& board) {
        return {kind, &board, "", "", "", nullptr, 0, nullptr, 0, "", false, "", ""};
    }
    static RoundEvent said(Kind kind, const std::string& text, const std::string& fixture = "",
                           const std::string& brief = "") {
        return {kind, nullptr, fixture, text, brief, nullptr, 0, nullptr, 0, "", false, "", ""};
    }
};

class RoundSink {
  public:
    virtual ~RoundSink() = default;
    virtual void take(const RoundEvent& event) = 0;
};
