// The children and the poll loop.
#include "station/line/runner.h"

#include "station/base/base.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

struct Runner::Child {
    int number = 0;
    pid_t pid = -1;
    int output = -1;         // the child's standard output and error, one pipe
    int log = -1;            // a copy of the pipe as it comes
    KeptOutput logged{0, 0}; // what the log keeps
    // While its line is quieted, before its program starts: the port, the
    // command to start, and what came.
    int line = -1;
    std::optional<ChildCommand> waiting;
    Clock::time_point quieting_since, last_byte;
    LineQuieted quieted;
    std::string device;
    unsigned long device_id = 0; // the node's device number when it started
    // Time without progress in which the station was reading the pipe: a
    // station held up elsewhere never makes a child look stalled.
    Clock::duration quiet{};
    bool stopped = false;
    Ending::Why why = Ending::Why::station;
    Clock::time_point stopped_at;
    std::optional<Ending> unstarted; // ends in the next pass
    std::string unstarted_why;       // told then, as its output
};

namespace {

constexpr int TICK_MS = 100;
// A child that does not end this long after SIGTERM is killed.
constexpr auto KILL_AFTER = std::chrono::seconds(10);
// The most of one pass of the loop that counts towards a stall: a station
// that was not scheduled does not make its children silent.
constexpr auto MOST_QUIET_PER_PASS = std::chrono::milliseconds(500);
// The most of a child's output read in one pass of the loop.
constexpr ssize_t MOST_READ_PER_PASS = 1 << 20;
// How often the ports' device nodes are looked at.
constexpr auto PORT_CHECK_EVERY = std::chrono::milliseconds(500);

sigset_t station_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) {
        sigaddset(&set, s);
    }
    return set;
}

// In the child. It dies with the station (SIGTERM, which frees its port)
// and stands in a process group of its own, so the terminal's Ctrl+C
// reaches only the station.
[[noreturn]] void become(const ChildCommand& command, const std::vector<char*>& argv, int output,
                         int line, pid_t station) {
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
        chdir(command.folder.c_str()) != 0) {
        _exit(127);
    }
    // The quieted port stays open into the program: closing it would drop
    // the modem lines between the two opens, and a board may take that for
    // a reset.
    if (line >= 0) {
        fcntl(line, F_SETFD, 0);
    }
    if (command.hold >= 0) {
        fcntl(command.hold, F_SETFD, 0);
    }
    execv(command.program.c_str(), argv.data());
    const char message[] = "station: host could not be started\n";
    if (write(2, message, sizeof(message) - 1) < 0) {
        _exit(127);
    }
    _exit(127);
}

// Forks the child with its pipe (and the port its line was quieted on);
// the reason when it cannot.
std::string fork_child(const ChildCommand& command, pid_t& pid, int& output, int line) {
    // Built before the fork: the child only calls what is safe after it.
    std::vector<std::string> words = {"host"};
    words.insert(words.end(), command.arguments.begin(), command.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return std::string("station: no pipe: ") + std::strerror(errno);
    }
    pid_t station = getpid();
    pid = fork();
    if (pid == 0) {
        become(command, argv, ends[1], line, station);
    }
    close(ends[1]);
    if (pid < 0) {
        close(ends[0]);
        return std::string("station: no process: ") + std::strerror(errno);
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    output = ends[0];
    return "";
}

void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

// Opens a board's port to quiet its line: raw at host's speed, so that
// every byte is read as it comes, with the lock host takes (a port another
// program holds is not touched: host then says so). -1, with errno, when it
// cannot.
int open_line(const std::string& device) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && fd < 3) {
        // Never a standard descriptor: the child's own go there.
        int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = high;
    }
    termios settings;
    if (fd < 0 || tcgetattr(fd, &settings) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int error = errno;
        if (fd >= 0) {
            close(fd);
        }
        errno = error;
        return -1;
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

Runner::Asked signals_asked(int signal_fd) {
    Runner::Asked asked;
    signalfd_siginfo info;
    while (read(signal_fd, &info, sizeof(info)) == sizeof(info)) {
        (info.ssi_signo == SIGCHLD ? asked.child_ended : asked.stop) = true;
    }
    return asked;
}

unsigned long device_number(const std::string& path) {
    struct stat node;
    return stat(path.c_str(), &node) == 0 ? node.st_rdev : 0;
}

} // namespace

Runner::Runner(double stall_seconds, RunnerEvents& events) : events_(events) {
    sigset_t signals = station_signals();
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    signal_fd_ = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
    stall_ =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(stall_seconds));
    last_pass_ = last_port_check_ = Clock::now();
    stopping_ = signals_asked(signal_fd_).stop;
}

Runner::~Runner() {
    close(signal_fd_);
}

bool Runner::running() const {
    return !children_.empty();
}

int Runner::start(const ChildCommand& command) {
    children_.emplace_back();
    Child& child = children_.back();
    child.number = next_++;
    child.device = command.device;
    if (stopping_) {
        child.unstarted = Ending{Ending::How::stopped_before_start};
        return child.number;
    }
    // The log is a copy for people: a board without one still has its
    // transcript in the record.
    mode_t mode = own_file_mode(command.log);
    child.log =
        open(command.log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (child.log >= 0) {
        fchmod(child.log, mode); // what the umask took: the line's other logins read it
    }
    child.logged = KeptOutput(command.keep_first, TRANSCRIPT_KEEPS_LAST);
    const std::string& header = command.log_header;
    if (child.log >= 0 &&
        write(child.log, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
        close_fd(child.log);
    }
    // A port that cannot be opened to quiet its line is host's to report.
    if (command.quiet_line && (child.line = open_line(command.device)) >= 0) {
        child.waiting = command;
        child.quieting_since = child.last_byte = Clock::now();
        return child.number;
    }
    launch(child, command);
    return child.number;
}

// Reads what the line of a child being quieted brings and throws it away;
// starts the child once the line was quiet long enough, talked too long or
// hung up (its host then finds out for itself).
void Runner::quiet(Child& child) {
    char bytes[4096];
    bool hung_up = false;
    for (;;) {
        ssize_t n = read(child.line, bytes, sizeof(bytes));
        if (n > 0) {
            child.quieted.discarded += n;
            child.last_byte = Clock::now();
            continue;
        }
        hung_up = n == 0 || (errno != EAGAIN && errno != EINTR);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        break;
    }
    Clock::time_point now = Clock::now();
    child.quieted.quiet = now - child.last_byte >= LINE_QUIET_FOR;
    if (child.quieted.quiet || hung_up || now - child.quieting_since >= LINE_QUIET_AT_MOST) {
        ChildCommand command = std::move(*child.waiting);
        child.waiting.reset();
        launch(child, command);
    }
}

// When the next child being quieted may start.
Clock::time_point Runner::next_quiet() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Child& child : children_) {
        if (child.waiting) {
            next = std::min({next, child.last_byte + LINE_QUIET_FOR,
                             child.quieting_since + LINE_QUIET_AT_MOST});
        }
    }
    return next;
}

// Starts the child's program (with the port it quieted, if it did).
void Runner::launch(Child& child, const ChildCommand& command) {
    if (child.line >= 0) {
        // host takes the lock for itself on its own open.
        flock(child.line, LOCK_UN);
        events_.line_quieted(child.number, child.quieted);
    }
    std::string fault = fork_child(command, child.pid, child.output, child.line);
    close_fd(child.line);
    if (!fault.empty()) {
        // Told in the next pass: the caller of start() knows the child's
        // number only once it returns.
        child.unstarted = Ending{Ending::How::could_not_start};
        child.unstarted_why = fault;
        return;
    }
    child.device_id = device_number(command.device);
}

// Takes what the child has written so far (at most MOST_READ_PER_PASS,
// unless `all`); closes the pipe at its end.
void Runner::drain(Child& child, bool all) {
    char chunk[4096];
    ssize_t read_now = 0;
    while (child.output >= 0) {
        ssize_t n = read(child.output, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        if (n <= 0) {
            close_fd(child.output);
            return;
        }
        // A full disk loses the log's copy, not the board.
        size_t first = child.logged.append(chunk, static_cast<size_t>(n));
        if (child.log >= 0 && write(child.log, chunk, first) != static_cast<ssize_t>(first)) {
            close_fd(child.log);
        }
        if (events_.output(child.number, chunk, static_cast<size_t>(n))) {
            child.quiet = Clock::duration::zero();
        }
        // A child that writes without end does not hold up the loop.
        if ((read_now += n) >= MOST_READ_PER_PASS && !all) {
            return;
        }
    }
}

void Runner::end(Child& child, const Ending& ending) {
    close_fd(child.line);
    close_fd(child.output);
    std::string rest = child.logged.rest();
    if (child.log >= 0 && write(child.log, rest.data(), rest.size()) < 0) {
        close_fd(child.log);
    }
    close_fd(child.log);
    int number = child.number;
    children_.remove_if([&](const Child& c) { return c.number == number; });
    events_.ended(number, ending);
}

// Reaps the child if it has ended: judged then by what it did, with all
// it wrote.
bool Runner::reaped(Child& child) {
    int status = 0;
    if (waitpid(child.pid, &status, WNOHANG) != child.pid) {
        return false;
    }
    drain(child, true);
    Ending ending;
    if (WIFEXITED(status)) {
        ending = Ending{Ending::How::exited, WEXITSTATUS(status)};
    } else if (child.stopped) {
        ending = Ending{Ending::How::stopped, WTERMSIG(status), child.why};
    } else {
        ending = Ending{Ending::How::signalled, WTERMSIG(status)};
    }
    end(child, ending);
    return true;
}

void Runner::stop(Child& child, Ending::Why why) {
    if (!child.stopped) {
        child.stopped = true;
        child.why = why;
        child.stopped_at = Clock::now();
        kill(child.pid, SIGTERM);
        events_.stopping(child.number);
    }
}

// A running child: reaped when it has ended (looked for whenever a child
// ended, and before the station stops one), else stopped when asked, when
// its port went or when it stalled.
void Runner::watch(Child& child, const Asked& asked, bool check_ports, Clock::duration attended) {
    bool asked_stop = asked.stop;
    if (child.waiting) {
        if (asked_stop) {
            end(child, Ending{Ending::How::stopped_before_start});
        } else {
            quiet(child);
        }
        return;
    }
    if ((asked.child_ended || asked_stop || child.output < 0) && reaped(child)) {
        return;
    }
    child.quiet += attended;
    if (asked_stop) {
        stop(child, Ending::Why::station);
    } else if (!child.stopped && check_ports && device_number(child.device) != child.device_id) {
        stop(child, Ending::Why::port_lost);
    } else if (!child.stopped && child.quiet > stall_) {
        // Only what the station has read counts: the pipe first.
        drain(child);
        if (child.quiet > stall_ && !reaped(child)) {
            stop(child, Ending::Why::stalled);
        }
    } else if (child.stopped && Clock::now() - child.stopped_at > KILL_AFTER) {
        kill(child.pid, SIGKILL);
    }
}

void Runner::pass(std::vector<pollfd>& extra) {
    std::vector<pollfd> entries = {{signal_fd_, POLLIN, 0}};
    entries.insert(entries.end(), extra.begin(), extra.end());
    std::vector<Child*> which;
    for (Child& child : children_) {
        if (child.output >= 0) {
            entries.push_back({child.output, POLLIN, 0});
            which.push_back(&child);
        }
        if (child.line >= 0) {
            entries.push_back({child.line, POLLIN, 0});
            which.push_back(nullptr); // read in watch()
        }
    }
    bool unstarted = std::any_of(children_.begin(), children_.end(),
                                 [](const Child& c) { return c.unstarted.has_value(); });
    int wait = unstarted ? 0 : TICK_MS;
    Clock::time_point quiet_at = next_quiet();
    if (quiet_at != Clock::time_point::max()) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(quiet_at - Clock::now());
        wait = static_cast<int>(std::clamp<long long>(left.count(), 0, wait));
    }
    poll(entries.data(), entries.size(), wait);
    for (size_t k = 0; k < extra.size(); ++k) {
        extra[k].revents = entries[k + 1].revents;
    }
    Asked asked = (entries[0].revents & POLLIN) ? signals_asked(signal_fd_) : Asked{};
    stopping_ = stopping_ || asked.stop;
    for (size_t k = 0; k < which.size(); ++k) {
        if (which[k] != nullptr && entries[k + 1 + extra.size()].revents != 0) {
            drain(*which[k]);
        }
    }
    Clock::time_point now = Clock::now();
    // A pass never waits longer than a tick: one that comes much later was
    // stopped (Ctrl+Z, SIGSTOP), and the store's deadlines and the boards'
    // times leave that out.
    note_late(now - last_pass_ - std::chrono::milliseconds(TICK_MS));
    Clock::duration attended = std::min<Clock::duration>(now - last_pass_, MOST_QUIET_PER_PASS);
    last_pass_ = now;
    bool check_ports = now - last_port_check_ >= PORT_CHECK_EVERY;
    if (check_ports) {
        last_port_check_ = now;
    }
    for (auto it = children_.begin(); it != children_.end();) {
        Child& child = *it++; // ending a child removes it
        if (child.unstarted) {
            const std::string& why = child.unstarted_why;
            if (!why.empty()) {
                events_.output(child.number, why.data(), why.size());
            }
            end(child, *child.unstarted);
        } else {
            watch(child, asked, check_ports, attended);
        }
    }
    events_.tick();
}
