// The children and the poll loop.
#include "station/runner.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int TICK_MS = 100;
// A host that does not end this long after SIGTERM is killed.
constexpr auto KILL_AFTER = std::chrono::seconds(10);
// The most of one pass of the loop that counts towards a stall: a station
// that was not scheduled does not make its boards silent.
constexpr auto MOST_QUIET_PER_PASS = std::chrono::milliseconds(500);
// How often the ports' device nodes are looked at.
constexpr auto PORT_CHECK_EVERY = std::chrono::milliseconds(500);
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
        chdir((board.folder.empty() ? settings.snapshot : board.folder).c_str()) != 0) {
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
    board.started = Clock::now();
    struct stat node;
    board.device_id = stat(board.record.device.c_str(), &node) == 0 ? node.st_rdev : 0;
}

// The board's log, made new for its record; a board without one (no room,
// no folder) still has its transcript in the record.
void open_log(Board& board, const RoundSettings& settings) {
    std::string path = log_path(settings.log_folder, board.record.id);
    board.log = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

void close_pipe_and_log(Board& board) {
    for (int* fd : {&board.output, &board.log}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

// Counts the dots that follow "Programming" in what host wrote.
bool count_dots(Board& board, const char* chunk, size_t n) {
    bool new_dot = false;
    for (size_t i = 0; i < n; ++i) {
        char c = chunk[i];
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
    return new_dot;
}

// Takes all that host has written so far into the transcript and the log;
// closes the pipe at its end. A new dot ends the board's quiet time.
void drain(Board& board) {
    char chunk[4096];
    while (board.output >= 0) {
        ssize_t n = read(board.output, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        if (n <= 0) {
            close(board.output);
            board.output = -1;
            return;
        }
        board.record.transcript.append(chunk, static_cast<size_t>(n));
        // The log is a copy for people: a full disk loses the copy, not the board.
        if (board.log >= 0 && write(board.log, chunk, static_cast<size_t>(n)) != n) {
            close(board.log);
            board.log = -1;
        }
        if (count_dots(board, chunk, static_cast<size_t>(n))) {
            board.quiet = Clock::duration::zero();
        }
    }
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
                        after.rfind("\nVersion matches", 0) != 0 &&
                        stage_of(transcript) == Stage::otp;
    return execute_sent ? frames : frames - 1;
}

} // namespace

void hold_back_station_signals() {
    sigset_t set = station_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
}

Stage stage_of(const std::string& transcript) {
    if (transcript.find("\nInit failed\n") != std::string::npos ||
        (transcript.find("Opening ") == std::string::npos &&
         transcript.find("Could not") == std::string::npos &&
         transcript.find("Programming") == std::string::npos)) {
        return Stage::open;
    }
    // Each job starts right after the one before it succeeded.
    size_t succeeded = 0;
    for (const char* result :
         {"Programming board data successful\n", "Programming OTP successful\n"}) {
        succeeded += transcript.find(result) != std::string::npos ? 1 : 0;
    }
    static const Stage stages[] = {Stage::board_data, Stage::otp, Stage::firmware};
    return stages[succeeded];
}

long frames_so_far(const Board& board) {
    const std::string& t = board.record.transcript;
    return t.empty() ? 0 : std::max(0L, acknowledged(t, board.dots, false));
}

void analyse(Board& board, int wait_status, long all_frames) {
    Record& record = board.record;
    const std::string& t = record.transcript;
    // A host that exited said how it went, whatever the station was about
    // to do to it.
    bool exited = WIFEXITED(wait_status);
    record.exit_status = exited ? std::to_string(WEXITSTATUS(wait_status)) : "";
    bool passed =
        exited && WEXITSTATUS(wait_status) == 0 && ends_with(t, "Programming TIV successful\n");
    record.frames = std::min(acknowledged(t, board.dots, passed), all_frames);
    if (passed) {
        record.outcome = Outcome::passed;
        record.stage = Stage::none;
        record.message = "";
        return;
    }
    record.stage = stage_of(t);
    std::string next_frame = std::to_string(std::min(record.frames + 1, all_frames));
    if (exited) {
        record.outcome = Outcome::failed;
        record.message = fault_line(t);
        bool configuration =
            record.message.rfind("Could not", 0) == 0 || record.message == "Invalid OTP address";
        if (configuration) {
            record.stage = Stage::configuration;
        }
    } else if (board.port_lost) {
        record.outcome = Outcome::failed;
        record.message = "port lost at frame " + next_frame;
    } else if (board.stalled) {
        record.outcome = Outcome::stalled;
        record.message = "no answer to frame " + next_frame;
    } else if (board.stopped) {
        record.outcome = Outcome::aborted;
        record.message = board.pid > 0 ? "stopped by the station at frame " + next_frame
                                       : "stopped by the station before host started";
    } else {
        record.outcome = Outcome::failed;
        record.message = "host ended by signal " + std::to_string(WTERMSIG(wait_status));
    }
}

std::string log_path(const std::string& log_folder, const std::string& record_id) {
    return log_folder + "/" + record_id + ".log";
}

void judge_interrupted(Record& record, const std::string& log_folder) {
    record.outcome = Outcome::interrupted;
    record.ended = utc_now();
    std::string path = log_path(log_folder, record.id);
    std::ifstream log(path, std::ios::binary);
    struct stat about;
    if (!log || stat(path.c_str(), &about) != 0) {
        return; // host never started, or its log is gone: nothing more is known
    }
    record.transcript.assign(std::istreambuf_iterator<char>(log), std::istreambuf_iterator<char>());
    record.ended = utc_text(std::chrono::system_clock::time_point(
        std::chrono::seconds(about.st_mtim.tv_sec) +
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(about.st_mtim.tv_nsec))));
    Board board;
    count_dots(board, record.transcript.data(), record.transcript.size());
    const std::string& t = record.transcript;
    record.frames = t.empty() ? 0 : acknowledged(t, board.dots, false);
    record.stage = t.empty() ? Stage::none : stage_of(t);
    std::string text = t;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    size_t line = text.rfind('\n');
    record.message = line == std::string::npos ? text : text.substr(line + 1);
}

namespace {

// What the signals that wait ask of the round.
struct Asked {
    bool stop = false;        // SIGINT, SIGTERM or SIGHUP
    bool child_ended = false; // SIGCHLD
};

// Reads every signal that waits.
Asked signals_asked(int signal_fd) {
    Asked asked;
    signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof(info)) == sizeof(info)) {
        (info.ssi_signo == SIGCHLD ? asked.child_ended : asked.stop) = true;
    }
    return asked;
}

// Reaps the board's host if it has ended: judged then by what it did, with
// all it wrote.
bool reaped(Board& board, long all_frames, const std::function<void(Board&)>& finished,
            Screen& screen);

void end_board(Board& board, int wait_status, long all_frames,
               const std::function<void(Board&)>& finished, Screen& screen) {
    board.running = false;
    board.ended = Clock::now();
    analyse(board, wait_status, all_frames);
    board.record.ended = utc_now();
    close_pipe_and_log(board);
    finished(board);
    screen.board_finished(board);
}

bool reaped(Board& board, long all_frames, const std::function<void(Board&)>& finished,
            Screen& screen) {
    int status = 0;
    if (waitpid(board.pid, &status, WNOHANG) != board.pid) {
        return false;
    }
    drain(board);
    end_board(board, status, all_frames, finished, screen);
    return true;
}

// Whether the node the board's port resolved to is still the one host opened.
bool port_still_there(const Board& board) {
    struct stat node;
    return stat(board.record.device.c_str(), &node) == 0 && node.st_rdev == board.device_id;
}

} // namespace

RoundRunner::RoundRunner(const RoundSettings& settings, Screen& screen,
                         std::function<void(Board&)> finished, std::function<void()> tick)
    : settings_(settings), screen_(screen), finished_(std::move(finished)), tick_(std::move(tick)) {
    sigset_t signals = station_signals();
    signal_fd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    all_frames_ = settings.data_frames + 1;
    stall_ = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(settings.stall_seconds));
    last_pass_ = last_port_check_ = Clock::now();
    stopping_ = signals_asked(signal_fd_).stop;
}

RoundRunner::~RoundRunner() {
    close(signal_fd_);
}

Board& RoundRunner::start(Board board) {
    boards_.push_back(std::move(board));
    Board& b = boards_.back();
    if (stopping_) {
        b.stopped = true;
    } else {
        open_log(b, settings_);
        ::start(b, settings_);
    }
    screen_.board_started(b);
    if (!b.running) {
        end_board(b, stopping_ ? SIGTERM : 127 << 8, all_frames_, finished_, screen_);
    }
    return b;
}

bool RoundRunner::running() const {
    return std::any_of(boards_.begin(), boards_.end(), [](const Board& b) { return b.running; });
}

short RoundRunner::pass(int extra_fd, short extra_events) {
    std::vector<pollfd> entries = {{signal_fd_, POLLIN, 0}, {extra_fd, extra_events, 0}};
    std::vector<Board*> which;
    for (Board& board : boards_) {
        if (board.output >= 0) {
            entries.push_back({board.output, POLLIN, 0});
            which.push_back(&board);
        }
    }
    poll(entries.data(), entries.size(), TICK_MS);
    Asked asked = (entries[0].revents & POLLIN) ? signals_asked(signal_fd_) : Asked{};
    stopping_ = stopping_ || asked.stop;
    for (size_t k = 0; k < which.size(); ++k) {
        Board& board = *which[k];
        long before = board.dots;
        if (entries[k + 2].revents != 0) {
            drain(board);
        }
        if (board.dots != before) {
            screen_.board_progress(board);
        }
    }
    Clock::time_point now = Clock::now();
    Clock::duration attended = std::min<Clock::duration>(now - last_pass_, MOST_QUIET_PER_PASS);
    last_pass_ = now;
    bool check_ports = now - last_port_check_ >= PORT_CHECK_EVERY;
    if (check_ports) {
        last_port_check_ = now;
    }
    for (Board& board : boards_) {
        if (!board.running) {
            continue;
        }
        // A host that has ended is judged by what it did: looked for
        // whenever a child ended, and before the station stops one.
        bool look = asked.child_ended || asked.stop || board.output < 0;
        if (look && reaped(board, all_frames_, finished_, screen_)) {
            continue;
        }
        board.quiet += attended;
        if (asked.stop) {
            stop(board);
        } else if (!board.stopped && check_ports && !port_still_there(board)) {
            board.port_lost = true;
            stop(board);
        } else if (!board.stopped && board.quiet > stall_) {
            // Only what the station has read counts: the pipe first.
            drain(board);
            if (board.quiet > stall_ && !reaped(board, all_frames_, finished_, screen_)) {
                board.stalled = true;
                stop(board);
            }
        } else if (board.stopped && now - board.stopped_at > KILL_AFTER) {
            kill(board.pid, SIGKILL);
        }
    }
    tick_();
    screen_.tick(boards_);
    return extra_fd >= 0 ? entries[1].revents : 0;
}
