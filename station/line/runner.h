// The children: host once per board, each a process with its own pipe, and
// one poll loop over every pipe and the station's signals. The runner knows
// processes only; what a child's output means is the listener's to say.
#pragma once

#include "station/base/base.h"

#include <chrono>
#include <list>
#include <poll.h>
#include <string>
#include <sys/types.h>
#include <vector>

typedef std::chrono::steady_clock Clock;

// One child to run: `program` with `arguments`, in `folder`, standard input
// empty, standard output and error into one pipe, copied as it comes into a
// new file at `log`. It is stopped when the node `device` stands for goes.
// With `quiet_line`, the loop first reads and throws away what the line of
// `device` still brings until it has been quiet for LINE_QUIET_FOR (at most
// LINE_QUIET_AT_MOST), then starts the child: a board's agent may still be
// answering a frame of an earlier host that was stopped, and the wire has
// no frame numbers.
struct ChildCommand {
    std::string program;
    std::vector<std::string> arguments;
    std::string folder;
    std::string log;        // where a copy of its console goes (empty: none)
    std::string log_header; // written at the log's beginning
    std::string device;
    bool quiet_line = false;
    // A descriptor the child keeps open: the lock on the mark of the
    // snapshot it reads, which says that the snapshot is still in use.
    int hold = -1;
    // Of its output, the log keeps the first `keep_first` bytes as they
    // come and the last TRANSCRIPT_KEEPS_LAST, written at its end.
    size_t keep_first = TRANSCRIPT_KEEPS_FIRST;
};

// Longer than a frame and its answer at 115200 baud (90 ms) and than the
// time a board's agent waits before it drops an unfinished frame (500 ms).
constexpr std::chrono::milliseconds LINE_QUIET_FOR(700);
// A line that talks on past this starts its host anyway.
constexpr std::chrono::seconds LINE_QUIET_AT_MOST(5);

// What quieting a child's line found.
struct LineQuieted {
    long long discarded = 0; // bytes read and thrown away
    bool quiet = false;      // nothing came for LINE_QUIET_FOR
};

// What the runner tells, as it happens; none of it may wait.
class RunnerEvents {
  public:
    virtual ~RunnerEvents() = default;
    // What a child wrote; true when it was progress, which restarts the
    // child's stall clock.
    virtual bool output(int child, const char* bytes, size_t n) = 0;
    // The station began to stop a child (a stall, its port gone, a signal).
    virtual void stopping(int child) = 0;
    // A child's line was quieted; its program starts now.
    virtual void line_quieted(int, const LineQuieted&) {}
    // A child ended, with all it wrote told before.
    virtual void ended(int child, const Ending& ending) = 0;
    // At least every 100 ms.
    virtual void tick() = 0;
};

// A child that has exited is judged by what it did alone. A running child
// without progress for the stall time gets SIGTERM (stalled); one whose
// port's node goes is stopped at once; SIGINT, SIGTERM or SIGHUP to the
// station stops every child still running. Once such a signal came, no
// child is started. A child that does not end 10 s after SIGTERM is
// killed.
class Runner {
  public:
    // Holds back the station's signals from here to the process's end: the
    // loop takes them through its poll, and threads started after take none.
    Runner(double stall_seconds, RunnerEvents& events);
    ~Runner();
    Runner(const Runner&) = delete;
    Runner& operator=(const Runner&) = delete;

    // Starts a child (once its line is quiet); returns its number for the
    // events. One that cannot start, or comes after a stop was asked, ends
    // in the next pass.
    int start(const ChildCommand& command);
    // One pass of the loop: waits at most 100 ms for the pipes, the signals
    // and `extra` (whose revents it fills in), then reads, reaps and stops.
    void pass(std::vector<pollfd>& extra);
    bool running() const;
    // Whether SIGINT, SIGTERM or SIGHUP came.
    bool stopping() const {
        return stopping_;
    }

    struct Child;
    // What the signals that wait ask of the loop.
    struct Asked {
        bool stop = false;        // SIGINT, SIGTERM or SIGHUP
        bool child_ended = false; // SIGCHLD
    };

  private:
    void drain(Child& child, bool all = false);
    void quiet(Child& child);
    Clock::time_point next_quiet() const;
    void launch(Child& child, const ChildCommand& command);
    bool reaped(Child& child);
    void stop(Child& child, Ending::Why why);
    void end(Child& child, const Ending& ending);
    void watch(Child& child, const Asked& asked, bool check_ports, Clock::duration attended);

    RunnerEvents& events_;
    std::list<Child> children_;
    int next_ = 0;
    int signal_fd_ = -1;
    Clock::duration stall_{};
    Clock::time_point last_pass_, last_port_check_;
    bool stopping_ = false;
};
