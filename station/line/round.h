// A round: the boards of one `station run` or `station retry`, from the
// images' check to the last record, in one loop. What feeds it boards is
// the only difference between a planned round (every board at once) and
// `run --continuous` (each board as its MAC is scanned). The store and
// spool it writes to come open, with the station's liveness lock held.
#pragma once

#include "station/store/store.h"
#include "station/file/file.h"
#include "station/line/feeds.h"

#include <string>
#include <vector>

// What a command worked out for its round beside the station file: the
// host it runs, its records' lot and operator, and its events as JSON.
struct RoundRun {
    FoundHost host;
    std::string lot;
    std::string operator_name; // may be empty
    bool json = false;
};

// The boards `station run` asks for: the fixtures named (all when none),
// the MACs given (FIXTURE=MAC), passed
// boards programmed again, each board as its MAC is scanned.
struct RunAsk {
    std::string fixtures;
    std::vector<std::string> macs;
    bool rework = false;
    bool continuous = false;
};

// A command whose records put a MAC on two boards ends with this status,
// unless a fault of its own (2) or a signal came first.
constexpr int CONFLICT_STATUS = 3;

// Each runs a round and returns its exit status: 0 every board passed, 1
// one did not or was not started, 2 a record was written nowhere but
// standard error (or the store failed a claim of a planned round), 3 a
// record's late end put a MAC on two boards.
// `station run`: a planned round, its MACs given or asked for (refused at
// once when given twice, passed before or in progress) before anything
// runs; or with `continuous`, the MAC of the next idle fixture asked for
// (the file's order, skipping those running) and its board started as soon
// as the store has claimed it, while the others run; a refused MAC asks the
// same fixture again; the end of input, or "q", ends the round once the
// running boards end.
int run_round(const StationFile& file, const RoundRun& run, const Opened& opened,
              const RunAsk& ask);
// Checks the images against the locked profile, snapshots them, claims
// every planned board at once and starts each as its claim is answered.
int run_planned(const StationFile& file, const RoundRun& run, const Opened& opened,
                const std::vector<Planned>& planned, const std::vector<Skipped>& skipped);
