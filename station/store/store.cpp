// What the store says of a MAC on two boards, whichever engine keeps it.
#include "station/store/store.h"

namespace {

std::string board_said(const Record& r) {
    return "record " + r.id + " (station " + r.station + ", fixture " + r.fixture + ", attempt " +
           std::to_string(r.attempt) + ", " + text_of(r.outcome) + ")";
}

} // namespace

std::string reclaim_said(const Record& late) {
    return "the true end of " + board_said(late) + " came after MAC " + late.mac +
           " was released from it: its board may carry the MAC, and no other board has had it "
           "since, so MAC " +
           late.mac + " is that board's again";
}

std::string conflict_said(const Conflict& c) {
    std::string said = "MAC " + c.mac + " is on two boards: " + board_said(c.late) +
                       ", whose true end came after the MAC was released from it, and " +
                       board_said(c.other) + ", programmed with it since";
    if (!c.resolved.empty()) {
        return said + "; resolved at " + c.resolved + ", " + c.resolution;
    }
    return said + ": look at both boards, then station release " + c.mac +
           " --record ID --reason TEXT for the one that gives it up";
}
