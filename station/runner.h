// Running host once per fixture, all at once, each as a child process with
// its own pipe: one poll loop over every pipe and the station's signals.
#pragma once

#include "station/record.h"
#include "station/station_file.h"

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

typedef std::chrono::steady_clock Clock;

// One fixture's board in a round.
struct Board {
    Fixture fixture;
    Record record;
    pid_t pid = -1;
    int output = -1; // host's standard output and error, one pipe
    long dots = 0;
    int dots_seen = 0; // of "Programming" matched so far, to find the dots
    bool in_dots = false;
    Clock::time_point started, last_dot;
    bool stopped = false; // the station ended it (stall or interrupt)
    bool stalled = false; // ... because no dot came for the stall time
    Clock::time_point stopped_at;
    bool running = false;
};

// What the screen is told, as it happens.
class Screen {
  public:
    virtual ~Screen() = default;
    virtual void board_started(const Board& board) = 0;
    virtual void board_progress(const Board& board) = 0;
    virtual void board_finished(const Board& board) = 0;
    // Called at least every 100 ms while boards run.
    virtual void tick(const std::vector<Board>& boards) = 0;
};

struct RoundSettings {
    std::string host;
    std::string snapshot; // the folder host runs in
    double stall_seconds;
    long data_frames; // dots of a whole run
};

// Starts a host for every board whose record is started (the caller has
// claimed and stored it), waits for all to end, and fills in each record's
// end, outcome, stage, message, frames, exit status and transcript; calls
// `finished` for each as it ends. A board without a new dot for the stall
// time gets SIGTERM and ends stalled; SIGINT, SIGTERM or SIGHUP to the
// station ends every host with SIGTERM and its board aborted.
void run_round(std::vector<Board>& boards, const RoundSettings& settings, Screen& screen,
               void (*finished)(Board& board, void* context), void* context);

// Blocks the signals the round takes through its poll loop; call before
// anything that may be interrupted.
void hold_back_station_signals();

// The stage a transcript reached: open, configuration, board data, OTP or
// firmware.
std::string stage_of(const std::string& transcript);
// Fills in the board's outcome, stage, message and frames from host's
// transcript, the dots counted as they came, and how host ended.
void analyse(Board& board, int wait_status);
