// Running host once per fixture, all at once, each as a child process with
// its own pipe: one poll loop over every pipe and the station's signals.
#pragma once

#include "station/record.h"
#include "station/station_file.h"

#include <chrono>
#include <functional>
#include <list>
#include <string>
#include <sys/types.h>
#include <vector>

typedef std::chrono::steady_clock Clock;

// One fixture's board in a round.
struct Board {
    Fixture fixture;
    Record record;
    std::string folder; // host's folder when the board has images of its own
    pid_t pid = -1;
    int output = -1; // host's standard output and error, one pipe
    int log = -1;    // the board's log, a copy of the pipe as it comes
    long dots = 0;
    int dots_seen = 0; // of "Programming" matched so far, to find the dots
    bool in_dots = false;
    Clock::time_point started, ended;
    // Time without a new dot in which the station was reading the pipe:
    // a station held up elsewhere never makes a board look stalled.
    Clock::duration quiet{};
    bool stopped = false;   // the station ended it (stall, interrupt, port lost)
    bool stalled = false;   // ... because no dot came for the stall time
    bool port_lost = false; // ... because its port's device node went
    Clock::time_point stopped_at;
    unsigned long device_id = 0; // the node's device number when host started
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
    virtual void tick(const std::list<Board>& boards) = 0;
};

struct RoundSettings {
    std::string host;
    std::string snapshot; // the folder host runs in
    double stall_seconds;
    long data_frames;       // dots of a whole run
    std::string log_folder; // each board's log, named by its record's id
};

// The round's poll loop, one pass at a time: host for each board whose
// record is claimed, each record's end, outcome, stage, message, frames,
// exit status and transcript filled in; `finished` called for each as it
// ends and `tick` at least every 100 ms, neither of which may wait. A host
// that has exited is judged by its exit status and transcript alone. A
// running board without a new dot for the stall time gets SIGTERM and ends
// stalled; one whose port's node goes is stopped at once and fails ("port
// lost"); SIGINT, SIGTERM or SIGHUP to the station stops every host still
// running, its board aborted. Once such a signal came, no host is started.
class RoundRunner {
  public:
    RoundRunner(const RoundSettings& settings, Screen& screen, std::function<void(Board&)> finished,
                std::function<void()> tick);
    ~RoundRunner();
    RoundRunner(const RoundRunner&) = delete;
    RoundRunner& operator=(const RoundRunner&) = delete;

    // Starts host for a board whose record is claimed; not once a stop was
    // asked (the board ends aborted).
    Board& start(Board board);
    // One pass of the loop: waits at most 100 ms for the hosts' pipes, the
    // signals and `extra_fd`, then reads, reaps and judges. Returns what
    // happened on `extra_fd`.
    short pass(int extra_fd = -1, short extra_events = 0);
    bool running() const;
    // Whether SIGINT, SIGTERM or SIGHUP came.
    bool stopping() const {
        return stopping_;
    }
    const std::list<Board>& boards() const {
        return boards_;
    }

  private:
    RoundSettings settings_;
    Screen& screen_;
    std::function<void(Board&)> finished_;
    std::function<void()> tick_;
    std::list<Board> boards_; // a board stays where it is while others come
    int signal_fd_ = -1;
    long all_frames_ = 0;
    Clock::duration stall_{};
    Clock::time_point last_pass_, last_port_check_;
    bool stopping_ = false;
};

// Holds back the signals the round takes through its poll loop, from the
// first claim to the last record.
void hold_back_station_signals();

// The stage a transcript reached: open, configuration, board data, OTP or
// firmware.
Stage stage_of(const std::string& transcript);
// The frames acknowledged so far of a board still running, as its record
// will count them.
long frames_so_far(const Board& board);
// Fills in the board's outcome, stage, message and frames from host's
// transcript, the dots counted as they came, and how host ended;
// `all_frames`: the frames of a whole run.
void analyse(Board& board, int wait_status, long all_frames);
// A record that a station left started when it died, as far as its log
// tells: frames, stage, its last line, the transcript, and when the log was
// last written; marked interrupted.
void judge_interrupted(Record& record, const std::string& log_folder);
// The path of a record's log.
std::string log_path(const std::string& log_folder, const std::string& record_id);
