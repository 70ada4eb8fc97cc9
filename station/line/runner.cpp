// The children and the poll loop.
#include "station/line/runner.h"

#include "station/base/own_file.h"

#include "station/base/stops.h"

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
#include <time.h>
#include <unistd.h>

struct Runner::Child {
    int number = 0;
    pid_t pid = -1;
    int output = -1; // the child's standard output and error, one pipe
    int log = -1;    // a copy of the pipe as it comes
    int notes = -1;  // what quieting its line found, until its program starts
    std::string device;
    unsigned long device_id = 0; // the node's device number when it started
    // Time without progress in which the station was reading the pipe: a
    // station held up elsewhere never makes a child look stalled.
    Clock::duration quiet{};
    bool stopped = false;
    Ending::Why why = Ending::Why::station;
    Clock::time_point stopped_at;
    std::optional<Ending> unstarted; // ends in the next pass
};

namespace {

constexpr int TICK_MS = 100;
// A child that does not end this long after SIGTERM is killed.
constexpr auto KILL_AFTER = std::chrono::seconds(10);
// The most of one pass of the loop that counts towards a stall: a station
// that was not scheduled does not make its children silent.
constexpr auto MOST_QUIET_PER_PASS = std::chrono::milliseconds(500);
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

long long monotonic_ms() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// In the child, before its program: reads what the line brings and throws
// it away until nothing came for LINE_QUIET_FOR, with the port's lock as
// host takes it (a port another program holds is not touched: host then
// says so). Only calls that are safe after a fork. The port stays open,
// its lock given back, into the program: closing it would drop the modem
// lines between the two opens, and a board may take that for a reset.
LineQuieted quiet_the_line(const char* device) {
    LineQuieted q;
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios settings;
    if (fd < 0 || tcgetattr(fd, &settings) != 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
        q.error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return q;
    }
    // The line as host sets it: raw, so that every byte is read as it comes.
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);
    const long long quiet_ms = LINE_QUIET_FOR.count();
    const long long most_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(LINE_QUIET_AT_MOST).count();
    long long start = monotonic_ms(), last = start;
    char bytes[4096];
    for (;;) {
        long long now = monotonic_ms();
        if (now - last >= quiet_ms) {
            q.quiet = true;
            break;
        }
        if (now - start >= most_ms) {
            break;
        }
        pollfd entry = {fd, POLLIN, 0};
        int wait = static_cast<int>(std::min(quiet_ms - (now - last), most_ms - (now - start)));
        if (poll(&entry, 1, wait) < 0 && errno != EINTR) {
            break;
        }
        if (entry.revents == 0) {
            continue;
        }
        ssize_t n = read(fd, bytes, sizeof(bytes));
        if (n > 0) {
            q.discarded += n;
            last = monotonic_ms();
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break; // hung up: host finds out for itself
        }
    }
    flock(fd, LOCK_UN);
    fcntl(fd, F_SETFD, 0);
    return q;
}

// In the child. It dies with the station (SIGTERM, which frees its port)
// and stands in a process group of its own, so the terminal's Ctrl+C
// reaches only the station.
[[noreturn]] void become(const ChildCommand& command, const std::vector<char*>& argv, int output,
                         int notes, pid_t station) {
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
    if (notes >= 0) {
        LineQuieted q = quiet_the_line(command.device.c_str());
        if (write(notes, &q, sizeof(q)) != static_cast<ssize_t>(sizeof(q))) {
            _exit(127);
        }
    }
    execv(command.program.c_str(), argv.data());
    const char message[] = "station: host could not be started\n";
    if (write(2, message, sizeof(message) - 1) < 0) {
        _exit(127);
    }
    _exit(127);
}

// Forks the child with its pipe (and, to quiet its line first, its notes'
// pipe); the reason when it cannot.
std::string fork_child(const ChildCommand& command, pid_t& pid, int& output, int& notes) {
    // Built before the fork: the child only calls what is safe after it.
    std::vector<std::string> words = {"host"};
    words.insert(words.end(), command.arguments.begin(), command.arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    int ends[2];
    int note_ends[2] = {-1, -1};
    if (pipe2(ends, O_CLOEXEC) != 0) {
        return std::string("station: no pipe: ") + std::strerror(errno);
    }
    if (command.quiet_line && pipe2(note_ends, O_CLOEXEC) != 0) {
        std::string fault = std::string("station: no pipe: ") + std::strerror(errno);
        close(ends[0]);
        close(ends[1]);
        return fault;
    }
    pid_t station = getpid();
    pid = fork();
    if (pid == 0) {
        become(command, argv, ends[1], note_ends[1], station);
    }
    close(ends[1]);
    if (note_ends[1] >= 0) {
        close(note_ends[1]);
    }
    if (pid < 0) {
        close(ends[0]);
        if (note_ends[0] >= 0) {
            close(note_ends[0]);
        }
        return std::string("station: no process: ") + std::strerror(errno);
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    output = ends[0];
    if (note_ends[0] >= 0) {
        fcntl(note_ends[0], F_SETFL, O_NONBLOCK);
    }
    notes = note_ends[0];
    return "";
}

void close_fd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
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
    const std::string& header = command.log_header;
    if (child.log >= 0 &&
        write(child.log, header.data(), header.size()) != static_cast<ssize_t>(header.size())) {
        close_fd(child.log);
    }
    std::string fault = fork_child(command, child.pid, child.output, child.notes);
    if (!fault.empty()) {
        child.unstarted = Ending{Ending::How::could_not_start};
        events_.output(child.number, fault.data(), fault.size());
        return child.number;
    }
    child.device_id = device_number(command.device);
    return child.number;
}

// Takes all that the child has written so far; closes the pipe at its end.
void Runner::drain(Child& child) {
    char chunk[4096];
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
        if (child.log >= 0 && write(child.log, chunk, static_cast<size_t>(n)) != n) {
            close_fd(child.log);
        }
        if (events_.output(child.number, chunk, static_cast<size_t>(n))) {
            child.quiet = Clock::duration::zero();
        }
    }
}

// What the child found on its line, written before its program started;
// the end of the pipe without it: the program started without it, or the
// child died first.
void Runner::read_note(Child& child) {
    LineQuieted q;
    ssize_t n = read(child.notes, &q, sizeof(q));
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    close_fd(child.notes);
    // The child's program starts now: its stall clock too.
    child.quiet = Clock::duration::zero();
    if (n == static_cast<ssize_t>(sizeof(q))) {
        events_.line_quieted(child.number, q);
    }
}

void Runner::end(Child& child, const Ending& ending) {
    close_fd(child.notes);
    close_fd(child.output);
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
    drain(child);
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
    if ((asked.child_ended || asked_stop || child.output < 0) && reaped(child)) {
        return;
    }
    if (child.notes < 0) {
        child.quiet += attended;
    }
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
    std::vector<Child*> which, noting;
    for (Child& child : children_) {
        if (child.output >= 0) {
            entries.push_back({child.output, POLLIN, 0});
            which.push_back(&child);
        }
    }
    size_t notes_from = entries.size();
    for (Child& child : children_) {
        if (child.notes >= 0) {
            entries.push_back({child.notes, POLLIN, 0});
            noting.push_back(&child);
        }
    }
    bool unstarted = std::any_of(children_.begin(), children_.end(),
                                 [](const Child& c) { return c.unstarted.has_value(); });
    poll(entries.data(), entries.size(), unstarted ? 0 : TICK_MS);
    for (size_t k = 0; k < extra.size(); ++k) {
        extra[k].revents = entries[k + 1].revents;
    }
    Asked asked = (entries[0].revents & POLLIN) ? signals_asked(signal_fd_) : Asked{};
    stopping_ = stopping_ || asked.stop;
    // A child's note comes before anything its program wrote.
    for (size_t k = 0; k < noting.size(); ++k) {
        if (entries[notes_from + k].revents != 0) {
            read_note(*noting[k]);
        }
    }
    for (size_t k = 0; k < which.size(); ++k) {
        if (entries[k + 1 + extra.size()].revents != 0) {
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
            end(child, *child.unstarted);
        } else {
            watch(child, asked, check_ports, attended);
        }
    }
    events_.tick();
}
