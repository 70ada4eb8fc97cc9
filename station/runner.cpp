// The children and the poll loop.
#include "station/runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int TICK_MS = 100;
// A host that does not end this long after SIGTERM is killed.
constexpr auto KILL_AFTER = std::chrono::seconds(10);
const char PROGRAMMING[] = "Programming";

sigset_t station_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigaddset(&set, s);
    }
    return set;
}

// In the child: host with the snapshot as its folder, standard input empty,
// standard output and error into the board's pipe. It dies with the station
// (SIGTERM, which frees its port) and stands in a process group of its own,
// so the terminal's Ctrl+C reaches only the station.
[[noreturn]] void become_host(const Board& board, const RoundSettings& settings, int output,
                              pid_t station) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != station) {
        _exit(127);
    }
    setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) {
        signal(s, SIG_DFL);
    }
    int input = open("/dev/null", O_RDONLY);
    if (input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0 ||
        chdir(settings.snapshot.c_str()) != 0) {
        _exit(127);
    }
    execl(settings.host.c_str(), "host", board.fixture.port.c_str(), board.record.mac.c_str(),
          static_cast<char*>(nullptr));
    const char message[] = "station: host could not be started\n";
    if (write(2, message, sizeof(message) - 1) < 0) {
        _exit(127);
    }
    _exit(127);
}

void start(Board& board, const RoundSettings& settings) {
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        board.record.transcript = std::string("station: no pipe: ") + std::strerror(errno);
        return;
    }
    pid_t station = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        become_host(board, settings, pipe_ends[1], station);
    }
    close(pipe_ends[1]);
    if (pid < 0) {
        close(pipe_ends[0]);
        board.record.transcript = std::string("station: no process: ") + std::strerror(errno);
        return;
    }
    fcntl(pipe_ends[0], F_SETFL, O_NONBLOCK);
    board.pid = pid;
    board.output = pipe_ends[0];
    board.running = true;
    board.started = board.last_dot = Clock::now();
}

// Takes what host wrote; counts the dots that follow "Programming".
bool take_output(Board& board) {
    char chunk[4096];
    ssize_t n = read(board.output, chunk, sizeof(chunk));
    if (n <= 0) {
        return n < 0 && (errno == EAGAIN || errno == EINTR);
    }
    bool new_dot = false;
    for (ssize_t i = 0; i < n; ++i) {
        char c = chunk[i];
        board.record.transcript.push_back(c);
        if (board.in_dots && c == '.') {
            board.dots += 1;
            new_dot = true;
            continue;
        }
        board.in_dots = false;
        board.dots_seen =
            c == PROGRAMMING[board.dots_seen] ? board.dots_seen + 1 : (c == PROGRAMMING[0] ? 1 : 0);
        if (board.dots_seen == static_cast<int>(sizeof(PROGRAMMING) - 1)) {
            board.in_dots = true;
            board.dots_seen = 0;
        }
    }
    if (new_dot) {
        board.last_dot = Clock::now();
    }
    return true;
}

void stop(Board& board) {
    if (board.running && !board.stopped) {
        board.stopped = true;
        board.stopped_at = Clock::now();
        kill(board.pid, SIGTERM);
    }
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// The line of host that named the fault: the last line before the job's
// result line, or the last line when there is none.
std::string fault_line(const std::string& transcript) {
    static const char* const results[] = {"Programming board data failed\n",
                                          "Programming OTP failed\n", "Programming TIV failed\n",
                                          "\nInit failed\n"};
    std::string text = transcript;
    for (const char* result : results) {
        if (ends_with(text, result)) {
            text.erase(text.size() - std::strlen(result));
            break;
        }
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    size_t start = text.rfind('\n');
    std::string line = start == std::string::npos ? text : text.substr(start + 1);
    // "Reading error" and "Memory error" come on the line of dots or sizes.
    size_t dots = line.find_last_of('.');
    if (line.rfind(PROGRAMMING, 0) == 0 && dots != std::string::npos) {
        line.erase(0, dots + 1);
    }
    return line;
}

// Frames acknowledged: every dot's frame, and the OTP execute frame, that got
// a good answer.
long acknowledged(const std::string& transcript, long dots, bool passed) {
    long frames = dots;
    if (transcript.find("Programming OTP successful\n") != std::string::npos) {
        frames += 1;
    }
    if (passed || dots == 0) {
        return frames;
    }
    size_t last_dot = transcript.rfind('.');
    std::string after = transcript.substr(last_dot + 1);
    // The last dot belongs to the failing job unless a job result followed it.
    if (after.find("successful\n") != std::string::npos) {
        return frames;
    }
    // After the OTP job's last data frame it writes a line end and the
    // execute frame: its data frames were all answered.
    bool execute_sent = !after.empty() && after[0] == '\n' && after.rfind("\nCRC Error", 0) != 0 &&
                        after.rfind("\nInvalid response", 0) != 0 &&
                        after.rfind("\nVersion matches", 0) != 0 && stage_of(transcript) == "OTP";
    return execute_sent ? frames : frames - 1;
}

} // namespace

void hold_back_station_signals() {
    sigset_t set = station_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

std::string stage_of(const std::string& transcript) {
    if (transcript.find("\nInit failed\n") != std::string::npos ||
        (transcript.find("Opening ") == std::string::npos &&
         transcript.find("Could not") == std::string::npos &&
         transcript.find("Programming") == std::string::npos)) {
        return "open";
    }
    // Each job starts right after the one before it succeeded.
    size_t succeeded = 0;
    for (const char* result :
         {"Programming board data successful\n", "Programming OTP successful\n"}) {
        succeeded += transcript.find(result) != std::string::npos ? 1 : 0;
    }
    static const char* const stages[] = {"board data", "OTP", "firmware"};
    return stages[succeeded];
}

void analyse(Board& board, int wait_status) {
    Record& record = board.record;
    const std::string& t = record.transcript;
    bool stopped = board.stopped;
    bool exited = WIFEXITED(wait_status);
    record.exit_status = exited && !stopped ? std::to_string(WEXITSTATUS(wait_status)) : "";
    bool passed = exited && WEXITSTATUS(wait_status) == 0 && !stopped &&
                  ends_with(t, "Programming TIV successful\n");
    record.frames = acknowledged(t, board.dots, passed);
    if (passed) {
        record.outcome = "passed";
        record.stage = "";
        record.message = "";
        return;
    }
    record.stage = stage_of(t);
    if (board.stalled) {
        record.outcome = "stalled";
        record.message = "no answer to frame " + std::to_string(record.frames + 1);
    } else if (stopped) {
        record.outcome = "aborted";
        record.message = "stopped by the station at frame " + std::to_string(record.frames + 1);
    } else {
        record.outcome = "failed";
        record.message = exited ? fault_line(t)
                                : "host ended by signal " + std::to_string(WTERMSIG(wait_status));
        bool configuration =
            record.message.rfind("Could not", 0) == 0 || record.message == "Invalid OTP address";
        if (configuration) {
            record.stage = "configuration";
        }
    }
}

void run_round(std::vector<Board>& boards, const RoundSettings& settings, Screen& screen,
               void (*finished)(Board& board, void* context), void* context) {
    sigset_t signals = station_signals();
    int signal_fd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    for (Board& board : boards) {
        start(board, settings);
        screen.board_started(board);
        if (!board.running) {
            analyse(board, 127 << 8);
            board.record.ended = utc_now();
            finished(board, context);
        }
    }
    auto stall = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(settings.stall_seconds));
    for (;;) {
        std::vector<pollfd> entries = {{signal_fd, POLLIN, 0}};
        std::vector<size_t> which;
        bool any_running = false;
        for (size_t i = 0; i < boards.size(); ++i) {
            any_running = any_running || boards[i].running;
            if (boards[i].output >= 0) {
                entries.push_back({boards[i].output, POLLIN, 0});
                which.push_back(i);
            }
        }
        if (!any_running) {
            break;
        }
        poll(entries.data(), entries.size(), TICK_MS);
        if (entries[0].revents & POLLIN) {
            signalfd_siginfo info;
            while (read(signal_fd, &info, sizeof(info)) == sizeof(info)) {
                if (info.ssi_signo != SIGCHLD) {
                    for (Board& board : boards) {
                        stop(board);
                    }
                }
            }
        }
        for (size_t k = 0; k < which.size(); ++k) {
            Board& board = boards[which[k]];
            if (entries[k + 1].revents != 0) {
                long before = board.dots;
                if (!take_output(board)) {
                    close(board.output);
                    board.output = -1;
                }
                if (board.dots != before) {
                    screen.board_progress(board);
                }
            }
        }
        Clock::time_point now = Clock::now();
        for (Board& board : boards) {
            if (!board.running) {
                continue;
            }
            if (!board.stopped && now - board.last_dot > stall) {
                board.stalled = true;
                stop(board);
            } else if (board.stopped && now - board.stopped_at > KILL_AFTER) {
                kill(board.pid, SIGKILL);
            }
            int status = 0;
            // A host is finished once it has ended and its pipe is drained.
            if (board.output < 0 && waitpid(board.pid, &status, WNOHANG) == board.pid) {
                board.running = false;
                analyse(board, status);
                board.record.ended = utc_now();
                finished(board, context);
                screen.board_finished(board);
            }
        }
        screen.tick(boards);
    }
    close(signal_fd);
}
