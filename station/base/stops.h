// Time the station itself was stopped (Ctrl+Z then fg, SIGSTOP and SIGCONT,
// a suspended machine): no wait on the store counts it against the store,
// and no board's time includes it.
#pragma once

#include <chrono>

// Counts the process's continuations (SIGCONT); from main, once.
void watch_for_stops();
// Changes each time the station was continued after a stop, or was seen to
// have stood still.
unsigned long stops_seen();
// Told by a loop that came round `late` (after the time it waits at most):
// beyond a second, the station did not run meanwhile, whatever the cause.
void note_late(std::chrono::steady_clock::duration late);
// The time the station was seen standing still, in all.
std::chrono::steady_clock::duration time_stopped();

// A deadline in the station's own running time: a stop seen before it
// passes gives it a fresh start from the moment the station runs again.
class Patience {
  public:
    explicit Patience(std::chrono::steady_clock::duration patience);
    // Whether the patience is spent; a stop seen since it began starts it
    // again, once for each stop.
    bool spent();
    std::chrono::steady_clock::time_point deadline() const {
        return deadline_;
    }

  private:
    std::chrono::steady_clock::duration patience_;
    std::chrono::steady_clock::time_point deadline_;
    unsigned long stops_;
};
