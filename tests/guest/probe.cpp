// probe: watches a serial port inside the test guest while host runs on it.
//
//   probe watch DEV LOG FIRST [SECOND]
//     Opens DEV (a second opener beside host), then runs the shell command
//     FIRST and samples the port every 10 ms until FIRST has ended, writing to
//     LOG each new state of the line: speed, framing, flow control, DTR and RTS
//     as the driver holds them. The first time the speed differs from the one
//     found at the start, host holds the port: the probe then tries to open it
//     as an unprivileged user and runs the shell command SECOND (a second
//     host). After FIRST has ended it tries the unprivileged open again.
//   probe locked-by-nobody DEV COMMAND
//     Has an unprivileged user hold an flock on DEV's folder in sysfs (which
//     every user may open) while the shell command COMMAND runs; prints
//     "lock <locked|errno-N> exit <status>".
//   probe wait-node PATH SECONDS
//     Waits until PATH exists (a device node that the kernel is about to
//     create); exit status 0 when it does, 1 when SECONDS passed first.
//
// The probe is a test tool, linked statically so that the guest needs nothing
// else for it.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <libgen.h>
#include <poll.h>
#include <string>
#include <csignal>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int SAMPLE_MS = 10;
constexpr uid_t NOBODY = 65534;

struct LineState {
    speed_t speed;
    tcflag_t cflag;
    tcflag_t iflag;
    int modem;
};

unsigned long baud_of(speed_t speed) {
    static const struct {
        speed_t speed;
        unsigned long baud;
    } speeds[] = {{B0, 0},           {B1200, 1200},     {B2400, 2400},     {B4800, 4800},
                  {B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                  {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    for (const auto& entry : speeds) {
        if (entry.speed == speed) {
            return entry.baud;
        }
    }
    return 1; // a speed this table does not name
}

int data_bits(tcflag_t cflag) {
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

bool read_state(int fd, LineState& state) {
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0 || ioctl(fd, TIOCMGET, &state.modem) != 0) {
        return false;
    }
    state.speed = cfgetospeed(&settings);
    state.cflag = settings.c_cflag;
    state.iflag = settings.c_iflag;
    return true;
}

std::string describe(const LineState& s) {
    char text[200];
    std::snprintf(text, sizeof(text),
                  "state speed=%lu csize=%d parenb=%d cstopb=%d crtscts=%d ixon=%d ixoff=%d "
                  "dtr=%d rts=%d",
                  baud_of(s.speed), data_bits(s.cflag), (s.cflag & PARENB) != 0,
                  (s.cflag & CSTOPB) != 0, (s.cflag & CRTSCTS) != 0, (s.iflag & IXON) != 0,
                  (s.iflag & IXOFF) != 0, (s.modem & TIOCM_DTR) != 0, (s.modem & TIOCM_RTS) != 0);
    return text;
}

void log_line(FILE* log, const std::string& text) {
    std::fprintf(log, "%s\n", text.c_str());
    std::fflush(log);
}

pid_t run_shell(const char* command) {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

int exit_status(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Tries to open the port as an unprivileged user: "opened" or the errno name.
std::string open_as_nobody(const char* device) {
    pid_t pid = fork();
    if (pid == 0) {
        if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) {
            _exit(255);
        }
        int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
    if (code == 0) {
        return "opened";
    }
    if (code == EBUSY) {
        return "EBUSY";
    }
    return "errno-" + std::to_string(code);
}

int64_t now_ms() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

int watch(const char* device, const char* log_path, const char* first, const char* second) {
    FILE* log = std::fopen(log_path, "w");
    int fd = open(device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    LineState seen;
    if (log == nullptr || fd < 0 || !read_state(fd, seen)) {
        std::fprintf(stderr, "probe: %s: %s\n", device, std::strerror(errno));
        return 2;
    }
    log_line(log, describe(seen));
    speed_t initial_speed = seen.speed;
    bool held = false;
    int64_t start = now_ms();
    pid_t pid = run_shell(first);
    int pid_fd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    for (;;) {
        struct pollfd entry = {pid_fd, POLLIN, 0};
        bool ended = poll(&entry, 1, SAMPLE_MS) > 0;
        LineState now;
        if (read_state(fd, now) && describe(now) != describe(seen)) {
            seen = now;
            log_line(log, describe(seen));
        }
        if (!held && seen.speed != initial_speed) {
            held = true;
            log_line(log, "nobody-open-while-held " + open_as_nobody(device));
            if (second != nullptr) {
                int second_status = 0;
                waitpid(run_shell(second), &second_status, 0);
                log_line(log, "second-exit " + std::to_string(exit_status(second_status)));
            }
        }
        if (ended) {
            break;
        }
    }
    waitpid(pid, &status, 0);
    log_line(log, "first-exit " + std::to_string(exit_status(status)));
    log_line(log, "first-ms " + std::to_string(now_ms() - start));
    log_line(log, "nobody-open-after " + open_as_nobody(device));
    return 0;
}

int locked_by_nobody(const char* device, const char* command) {
    struct stat status;
    int result[2];
    if (stat(device, &status) != 0 || pipe(result) != 0) {
        std::fprintf(stderr, "probe: %s: %s\n", device, std::strerror(errno));
        return 2;
    }
    std::string folder = "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                         std::to_string(minor(status.st_rdev));
    pid_t holder = fork();
    if (holder == 0) {
        int error = 0;
        if (setgid(NOBODY) != 0 || setuid(NOBODY) != 0) {
            error = errno;
        }
        int fd = error == 0 ? open(folder.c_str(), O_RDONLY | O_DIRECTORY) : -1;
        if (error == 0 && (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0)) {
            error = errno;
        }
        if (write(result[1], &error, sizeof(error)) != sizeof(error)) {
            _exit(1);
        }
        pause();
        _exit(0);
    }
    int error = -1;
    if (read(result[0], &error, sizeof(error)) != sizeof(error)) {
        error = -1;
    }
    int host_status = 0;
    waitpid(run_shell(command), &host_status, 0);
    kill(holder, SIGKILL);
    waitpid(holder, nullptr, 0);
    std::printf("lock %s exit %d\n",
                error == 0 ? "locked" : ("errno-" + std::to_string(error)).c_str(),
                exit_status(host_status));
    return 0;
}

int wait_node(const char* path, int seconds) {
    std::string folder_text = path;
    int watcher = inotify_init1(IN_CLOEXEC);
    inotify_add_watch(watcher, dirname(&folder_text[0]), IN_CREATE | IN_ATTRIB);
    int64_t deadline = now_ms() + int64_t(seconds) * 1000;
    struct stat status;
    while (stat(path, &status) != 0) {
        int64_t left = deadline - now_ms();
        struct pollfd entry = {watcher, POLLIN, 0};
        if (left <= 0 || poll(&entry, 1, static_cast<int>(left)) <= 0) {
            return stat(path, &status) == 0 ? 0 : 1;
        }
        char events[4096];
        if (read(watcher, events, sizeof(events)) < 0 && errno != EINTR) {
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc >= 5 && std::strcmp(argv[1], "watch") == 0) {
        return watch(argv[2], argv[3], argv[4], argc >= 6 ? argv[5] : nullptr);
    }
    if (argc == 4 && std::strcmp(argv[1], "locked-by-nobody") == 0) {
        return locked_by_nobody(argv[2], argv[3]);
    }
    if (argc == 4 && std::strcmp(argv[1], "wait-node") == 0) {
        return wait_node(argv[2], std::atoi(argv[3]));
    }
    std::fprintf(stderr, "usage: probe watch DEV LOG FIRST [SECOND] | probe locked-by-nobody DEV "
                         "COMMAND | probe wait-node PATH S\n");
    return 2;
}
