// What happens in a round, as values the round tells each of its sinks.
#pragma once

#include "station/line/board.h"

#include <list>
#include <string>
#include <variant>

// What happened in a round, each kind a type of its own: the round tells
// every one to each of its sinks (its screen; the line's page, through the
// recorder; the notices' log).
namespace round_event {

struct Started {
    const Board* board;
};
struct Progressed { // the board's progress changed
    const Board* board;
};
struct Finished {
    const Board* board;
};
// A fixture not started, and why.
struct Skipped {
    std::string fixture, why;
};
// A line of the station's own (a refused scan, a lost store); `refusal`: a
// scan refused, which the operator, who looks at the board, hears.
struct Notice {
    std::string text;
    bool refusal = false;
};
// A line for standard error (a store lost, a conflict).
struct Warning {
    std::string text;
};
struct OutOfService {
    std::string fixture, why, brief; // why, and why in a few words for its row
};
struct BackInService {
    std::string fixture;
};
// The fixture's board keeps `mac`; none: it keeps none any more (`why`).
struct Kept {
    std::string fixture, mac, why;
};
// The board's record is written nowhere yet (`why`); none: it is written.
struct Unwritten {
    const Board* board;
    std::string why;
};
// The board's label is `state` now: `why` of one not printed or set aside,
// or the scan of one read back wrong (a refusal); `late`: printed after
// the printer failed it; `round` set when the round's end gave it up.
struct Label {
    const Board* board;
    LabelState state;
    std::string why, printer, job, round;
    bool late = false;

    // "printed now" for a label printed late, else the state's name.
    std::string said_state() const {
        return late && state == LabelState::printed ? "printed now" : label_state_name(state);
    }
};
// Below a tenth of the MAC pool left.
struct PoolLow {
    const MacPlan* pool;
    unsigned long long left;
};
// The round's last words: `skipped` fixtures did not start.
struct Ended {
    const std::list<Board>* boards;
    int skipped;
    std::string round;
};

} // namespace round_event

using RoundEvent =
    std::variant<round_event::Started, round_event::Progressed, round_event::Finished,
                 round_event::Skipped, round_event::Notice, round_event::Warning,
                 round_event::OutOfService, round_event::BackInService, round_event::Kept,
                 round_event::Unwritten, round_event::Label, round_event::PoolLow,
                 round_event::Ended>;

// The visitor of a RoundEvent made of one lambda for each kind it tells
// apart.
template <typename... Each> struct Overloaded : Each... { using Each::operator()...; };
template <typename... Each> Overloaded(Each...) -> Overloaded<Each...>;

// Whether it is a refusal the operator hears: a scan refused, a label read
// back wrong.
inline bool is_refusal(const RoundEvent& event) {
    if (const auto* notice = std::get_if<round_event::Notice>(&event)) {
        return notice->refusal;
    }
    const auto* label = std::get_if<round_event::Label>(&event);
    return label != nullptr && label->state == LabelState::mismatch;
}

class RoundSink {
  public:
    virtual ~RoundSink() = default;
    virtual void take(const RoundEvent& event) = 0;
};
