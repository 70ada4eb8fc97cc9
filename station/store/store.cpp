// What the store says of a MAC on two boards, whichever engine keeps it.
#include "station/store/interface.h"

#include <chrono>
#include <poll.h>

namespace {

std::string board_said(const Record& r) {
    return "record " + r.id + " (station " + r.station + ", fixture " + r.fixture + ", attempt " +
           std::to_string(r.attempt) + ", " + text_of(r.outcome) + ")";
}

} // namespace

std::string failover_said(const Failover& f) {
    std::string when = f.seen.empty()
                           ? " (its server's timeline is now " + std::to_string(f.timeline) + ")"
                           : " at " + local_text(f.seen).substr(0, 16) +
                                 " (first seen by station " + f.seen_by + ")";
    std::string stations;
    for (const std::string& s : f.unchecked) {
        stations += (stations.empty() ? "" : ", ") + s;
    }
    return "the store failed over" + when + "; " +
           (f.unchecked.size() == 1 ? "station " + stations + " has not checked its"
                                    : "stations " + stations + " have not checked their") +
           " claims since";
}

std::string replication_said(const Replication& r) {
    if (r.standbys.empty()) {
        return "replication: no standby (the server is the store's only copy)";
    }
    std::string said;
    for (const auto& [name, state] : r.standbys) {
        bool synchronous = state == "sync" || state == "quorum";
        // A role without pg_read_all_stats sees that a standby streams, no more.
        said += (said.empty() ? "" : ", ") + (name.empty() ? "a standby" : name) +
                (state.empty() ? " (its kind hidden from this role: grant it pg_read_all_stats)"
                 : synchronous ? " (synchronous)"
                               : " (asynchronous)");
    }
    return "replication: " + said + "; synchronous_commit " + r.synchronous_commit;
}

std::string replication_risk(const Replication& r) {
    bool synchronous = false, hidden = false;
    for (const auto& [name, state] : r.standbys) {
        synchronous = synchronous || state == "sync" || state == "quorum";
        hidden = hidden || state.empty();
    }
    if (r.standbys.empty() || hidden ||
        (synchronous && r.synchronous_commit != "off" && r.synchronous_commit != "local")) {
        return "";
    }
    return std::string("a failover to ") +
           (synchronous ? "a standby, with synchronous_commit " + r.synchronous_commit + ","
                        : "an asynchronous standby") +
           " may lose the store's last claims: a board may carry a MAC that the new primary "
           "never heard of, and hands out again (make a standby synchronous: "
           "synchronous_standby_names, synchronous_commit on)";
}

std::string reclaim_said(const Record& late) {
    return "the true end of " + board_said(late) + " came after MAC " + late.mac +
           " was released from it: its board may carry the MAC, and no other board has had it "
           "since, so MAC " +
           late.mac + " is that board's again";
}

std::string restored_said(const Record& r) {
    return "the store had lost the claim of MAC " + r.mac + " by " + board_said(r) +
           " (its server had not received it when it took over): written again";
}

std::string conflict_said(const Conflict& c) {
    std::string said = "MAC " + c.mac + " is on two boards: " + board_said(c.late) +
                       (c.claim_lost ? ", whose claim the store lost (its server had not received "
                                       "it when it took over)"
                                     : ", whose true end came after the MAC was released from it") +
                       ", and " + board_said(c.other) + ", programmed with it since";
    if (!c.resolved.empty()) {
        return said + "; resolved at " + c.resolved + ", " + c.resolution;
    }
    return said + ": look at both boards, then station release " + c.mac +
           " --record ID --reason TEXT for the one that gives it up";
}

// A reader holds the lock for as long as it delivers the spool and marks
// what a dead command left: the round starting meanwhile waits that out.
constexpr std::chrono::seconds READER_HOLDS_AT_MOST(10);

bool Store::hold_liveness(const std::string& station, const std::function<void()>& waiting) {
    auto deadline = std::chrono::steady_clock::now() + READER_HOLDS_AT_MOST;
    for (bool waited = false;; waited = true) {
        if (try_liveness(station)) {
            return true;
        }
        if (try_reading_mark(station)) {
            // No reader can take the lock while the mark is ours: if it is
            // still taken, a live command holds it.
            bool held = try_liveness(station);
            let_go_reading_mark(station);
            return held;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        if (!waited && waiting) {
            waiting();
        }
        poll(nullptr, 0, 20); // a reader holds it: tried again shortly
    }
}

bool Store::hold_liveness_to_read(const std::string& station) {
    if (!try_reading_mark(station)) {
        return false;
    }
    if (!try_liveness(station)) {
        let_go_reading_mark(station);
        return false;
    }
    return true;
}
