// kernel32's serial-port calls on termios and poll (promises in kernel32.h).
#include "link/posix/kernel32.h"

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>
#include <fcntl.h>
#include <csignal>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace {

DWORD last_error = 0;

// What a HANDLE points to: the descriptor and the time-outs applied to it.
struct Port {
    int fd;
    int device_lock; // see lock_device; -1 when the device has none
    COMMTIMEOUTS timeouts;
};

typedef std::chrono::steady_clock Clock;

Port* port_of(HANDLE handle) {
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return static_cast<Port*>(handle);
}

BOOL fail(DWORD error) {
    last_error = error;
    return FALSE;
}

// The port of a transfer, with its count of bytes moved set to 0; null, with
// ERROR_INVALID_HANDLE, when the handle is no open port.
Port* transfer_port(HANDLE handle, DWORD* count) {
    if (count != nullptr) {
        *count = 0;
    }
    Port* port = port_of(handle);
    if (port == nullptr) {
        fail(ERROR_INVALID_HANDLE);
    }
    return port;
}

DWORD error_from_errno(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
    case ENOTDIR:
    case EISDIR:
    case ELOOP:
        return ERROR_FILE_NOT_FOUND;
    case ENAMETOOLONG:
        return ERROR_INVALID_NAME;
    case EACCES:
    case EPERM:
    case EBUSY:
    case EWOULDBLOCK:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool starts_with(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// "COM<n>" with n >= 1 and no leading zero, in any letter case, as Windows
// takes it; returns 0 for anything else.
unsigned long com_number(const std::string& name) {
    if (name.size() < 4 || name.size() > 12 || strncasecmp(name.c_str(), "COM", 3) != 0 ||
        name[3] == '0') {
        return 0;
    }
    unsigned long number = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9') {
            return 0;
        }
        number = number * 10 + static_cast<unsigned long>(name[i] - '0');
    }
    return number;
}

// The device path that a Windows device name stands for. Each 16-bit
// character carries one byte of the name in its low half.
std::string device_path(LPCWSTR name) {
    std::string text;
    for (const WCHAR* c = name; *c != 0; ++c) {
        text.push_back(static_cast<char>(*c & 0xFF));
    }
    if (starts_with(text, "\\\\.\\")) {
        text.erase(0, 4);
    }
    if (text.empty() || text.find('/') != std::string::npos) {
        return text;
    }
    unsigned long number = com_number(text);
    if (number != 0) {
        return "/dev/ttyS" + std::to_string(number - 1);
    }
    return "/dev/" + text;
}

// Ports that hold TIOCEXCL. The hold outlives the descriptor while anything
// else keeps the tty open (a pty's other end, a second opener), so it is
// given up when the process ends. Plain ints: a signal handler reads them.
constexpr int MAX_HELD_PORTS = 8;
volatile sig_atomic_t held_ports[MAX_HELD_PORTS];
volatile sig_atomic_t held_port_count = 0;

void release_exclusive_holds() {
    for (int i = 0; i < held_port_count; ++i) {
        // Nothing is left to do if the port refuses: the process is ending.
        ioctl(held_ports[i], TIOCNXCL);
    }
}

// Gives up the holds, then lets the signal end the process as it would have.
void end_by_signal(int signal_number) {
    release_exclusive_holds();
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void release_holds_at_the_end() {
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    std::atexit(release_exclusive_holds);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction current;
        // A signal the process was started to ignore (SIGINT in a background
        // job of a shell script) stays ignored.
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction action = {};
            action.sa_handler = end_by_signal;
            sigemptyset(&action.sa_mask);
            sigaction(signal_number, &action, nullptr);
        }
    }
}

void note_held_port(int fd) {
    if (held_port_count < MAX_HELD_PORTS) {
        held_ports[held_port_count] = fd;
        held_port_count = held_port_count + 1;
    }
    release_holds_at_the_end();
}

void forget_held_port(int fd) {
    for (int i = 0; i < held_port_count; ++i) {
        if (held_ports[i] == fd) {
            held_ports[i] = held_ports[held_port_count - 1];
            held_port_count = held_port_count - 1;
            return;
        }
    }
}

// A refusal of a second opener: flock stops other programs that take it (a
// second host), TIOCEXCL stops any later open by a user other than root.
bool take_exclusive_access(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    // A tty that refuses TIOCEXCL is still guarded by the lock; root passes
    // TIOCEXCL anyway.
    if (ioctl(fd, TIOCEXCL) == 0) {
        note_held_port(fd);
    }
    return true;
}

// The first half of the refusal of a second opener, taken before the tty is
// opened: Linux raises DTR and RTS at every open of a tty, and root passes
// TIOCEXCL, so a second host refused only after its open would already have
// pulsed the lines of a board being programmed. The lock is on the device's
// folder in sysfs, which every user may open and every host finds the same;
// it ends with the process. Returns the lock's descriptor, -1 when the device
// has no such folder (a pseudo-terminal: the lock on the tty itself, after
// the open, then stands alone), or -2 when another opener holds the lock.
int lock_device(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) {
        return -1;
    }
    std::string folder = "/sys/dev/char/" + std::to_string(major(status.st_rdev)) + ":" +
                         std::to_string(minor(status.st_rdev));
    int lock = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock < 0) {
        return -1;
    }
    if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
        close(lock);
        return -2;
    }
    return lock;
}

// Before the first port opens: a closed standard descriptor gets /dev/null,
// so that the port (or a file opened later) never takes its number and the
// console's output never reaches the line; and a write to a pipe that nobody
// reads fails with EPIPE instead of ending the process, as on Windows.
void guard_standard_streams() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
            continue;
        }
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
    signal(SIGPIPE, SIG_IGN);
}

// DTR and RTS as the record asks. On a pseudo-terminal, which has no modem
// lines, the kernel refuses with ENOTTY or EINVAL: nothing to drive there.
bool apply_modem_lines(int fd, const DCB& dcb) {
    int raise_lines = (dcb.fDtrControl == DTR_CONTROL_ENABLE ? TIOCM_DTR : 0) |
                      (dcb.fRtsControl == RTS_CONTROL_ENABLE ? TIOCM_RTS : 0);
    int lower_lines = (TIOCM_DTR | TIOCM_RTS) & ~raise_lines;
    bool ok = (raise_lines == 0 || ioctl(fd, TIOCMBIS, &raise_lines) == 0) &&
              (lower_lines == 0 || ioctl(fd, TIOCMBIC, &lower_lines) == 0);
    return ok || errno == ENOTTY || errno == EINVAL;
}

// Milliseconds left until a deadline, rounded up so that a poll never wakes
// just before it and turns the wait into a string of zero-length polls.
int ms_until(Clock::time_point deadline) {
    auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

Clock::time_point after_ms(Clock::time_point from, uint64_t ms) {
    return from + std::chrono::milliseconds(ms);
}

// Waits until the descriptor is ready for `events` or the wait of `timeout_ms`
// (-1: none) ends. Returns 1 when ready, 0 on time-out, -1 when the line hung
// up or failed.
int wait_for(int fd, short events, int timeout_ms) {
    struct pollfd entry = {fd, events, 0};
    int ready = poll(&entry, 1, timeout_ms);
    if (ready < 0) {
        return errno == EINTR ? 1 : -1;
    }
    if (ready == 0) {
        return 0;
    }
    if ((entry.revents & events) != 0) {
        return 1;
    }
    return -1;
}

speed_t speed_of(DWORD baud) {
    static const struct {
        DWORD baud;
        speed_t speed;
    } speeds[] = {{9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& entry : speeds) {
        if (entry.baud == baud) {
            return entry.speed;
        }
    }
    return B0;
}

tcflag_t size_flag(BYTE bits) {
    switch (bits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    case 8:
        return CS8;
    default:
        return 0;
    }
}

// Reads an unsigned decimal field; false on anything else.
bool parse_number(const std::string& field, DWORD& value) {
    if (field.empty() || field.size() > 9 || field.find_first_not_of("0123456789") != field.npos) {
        return false;
    }
    value = static_cast<DWORD>(std::stoul(field));
    return true;
}

std::string trimmed(const std::string& text) {
    size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return "";
    }
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

} // namespace

DWORD GetLastError() {
    return last_error;
}

void SetLastError(DWORD error) {
    last_error = error;
}

HANDLE CreateFileW(LPCWSTR name, DWORD access, DWORD share_mode, SECURITY_ATTRIBUTES*,
                   DWORD disposition, DWORD, HANDLE) {
    // A port is opened for reading and writing, as the link asks; nothing
    // else is kept.
    if (name == nullptr || disposition != OPEN_EXISTING ||
        access != (GENERIC_READ | GENERIC_WRITE)) {
        fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = device_path(name);
    if (path.empty()) {
        fail(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    guard_standard_streams();
    int device_lock = share_mode == 0 ? lock_device(path) : -1;
    if (device_lock == -2) {
        fail(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    DWORD error = fd < 0 ? error_from_errno(errno) : 0;
    struct termios settings;
    if (error == 0 && tcgetattr(fd, &settings) != 0) {
        // A regular file or anything else that is no terminal is no port.
        error = ERROR_FILE_NOT_FOUND;
    } else if (error == 0 && share_mode == 0 && !take_exclusive_access(fd)) {
        error = ERROR_ACCESS_DENIED;
    }
    if (error != 0) {
        if (fd >= 0) {
            close(fd);
        }
        if (device_lock >= 0) {
            close(device_lock);
        }
        fail(error);
        return INVALID_HANDLE_VALUE;
    }
    Port* port = new Port{fd, device_lock, COMMTIMEOUTS{0, 0, 0, 0, 0}};
    return port;
}

BOOL CloseHandle(HANDLE handle) {
    Port* port = port_of(handle);
    if (port == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    forget_held_port(port->fd);
    // Not every tty took the hold; there is nothing to give up then.
    ioctl(port->fd, TIOCNXCL);
    close(port->fd);
    if (port->device_lock >= 0) {
        close(port->device_lock);
    }
    delete port;
    return TRUE;
}

// "baud,parity,data,stop", as in "115200,N,8,1": parity N, O or E and one or
// two stop bits, what SetCommState can keep (Windows also takes M, S and 1.5).
BOOL BuildCommDCBW(LPCWSTR definition, DCB* dcb) {
    if (definition == nullptr || dcb == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::string fields[4];
    size_t count = 0;
    for (const WCHAR* c = definition; *c != 0; ++c) {
        if (*c > 0x7F) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        if (*c == ',') {
            if (++count == 4) {
                return fail(ERROR_INVALID_PARAMETER);
            }
        } else {
            fields[count].push_back(static_cast<char>(*c));
        }
    }
    DWORD baud = 0;
    DWORD data_bits = 0;
    std::string parity = trimmed(fields[1]);
    std::string stop = trimmed(fields[3]);
    static const char parities[] = "NOE";
    const char* parity_letter =
        parity.size() == 1 ? std::strchr(parities, std::toupper(parity[0])) : nullptr;
    if (count != 3 || !parse_number(trimmed(fields[0]), baud) || baud == 0 ||
        parity_letter == nullptr || !parse_number(trimmed(fields[2]), data_bits) || data_bits < 5 ||
        data_bits > 8 || (stop != "1" && stop != "2")) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    dcb->BaudRate = baud;
    dcb->Parity = static_cast<BYTE>(parity_letter - parities);
    dcb->ByteSize = static_cast<BYTE>(data_bits);
    dcb->StopBits = stop == "1" ? ONESTOPBIT : TWOSTOPBITS;
    dcb->fBinary = 1;
    dcb->fParity = dcb->Parity != NOPARITY;
    return TRUE;
}

// Raw line at the record's speed and framing; no flow control of either kind;
// DTR and RTS as the record says.
BOOL SetCommState(HANDLE handle, DCB* dcb) {
    Port* port = port_of(handle);
    if (port == nullptr || dcb == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    speed_t speed = speed_of(dcb->BaudRate);
    tcflag_t size = size_flag(dcb->ByteSize);
    if (speed == B0 || size == 0 || dcb->Parity > EVENPARITY || dcb->StopBits == ONE5STOPBITS ||
        dcb->fDtrControl > DTR_CONTROL_ENABLE || dcb->fRtsControl > RTS_CONTROL_ENABLE) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    struct termios settings;
    if (tcgetattr(port->fd, &settings) != 0) {
        return fail(error_from_errno(errno));
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD | size;
    if (dcb->Parity != NOPARITY) {
        settings.c_cflag |= PARENB | (dcb->Parity == ODDPARITY ? PARODD : 0);
        settings.c_iflag |= INPCK;
    }
    if (dcb->StopBits == TWOSTOPBITS) {
        settings.c_cflag |= CSTOPB;
    }
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    // With O_NONBLOCK, "no data yet" is EAGAIN and a read of 0 means hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(port->fd, TCSANOW, &settings) != 0) {
        return fail(error_from_errno(errno));
    }
    // tcsetattr succeeds when any one change took; read back what the line has.
    struct termios applied;
    if (tcgetattr(port->fd, &applied) != 0 || cfgetospeed(&applied) != speed ||
        (applied.c_cflag & CSIZE) != size) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (!apply_modem_lines(port->fd, *dcb)) {
        return fail(error_from_errno(errno));
    }
    return TRUE;
}

BOOL SetupComm(HANDLE handle, DWORD, DWORD) {
    // The kernel sizes its own queues; the request is accepted as a hint.
    return port_of(handle) != nullptr ? TRUE : fail(ERROR_INVALID_HANDLE);
}

BOOL SetCommTimeouts(HANDLE handle, COMMTIMEOUTS* timeouts) {
    Port* port = port_of(handle);
    if (port == nullptr || timeouts == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    port->timeouts = *timeouts;
    return TRUE;
}

BOOL WriteFile(HANDLE handle, const void* buffer, DWORD count, DWORD* written, OVERLAPPED*) {
    Port* port = transfer_port(handle, written);
    if (port == nullptr) {
        return FALSE;
    }
    DWORD done = 0;
    const COMMTIMEOUTS& t = port->timeouts;
    uint64_t total_ms =
        uint64_t(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
    Clock::time_point deadline = after_ms(Clock::now(), total_ms);
    const char* bytes = static_cast<const char*>(buffer);
    BOOL result = TRUE;
    while (done < count) {
        ssize_t n = write(port->fd, bytes + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN) {
            result = fail(errno == EIO || errno == EPIPE ? ERROR_ACCESS_DENIED
                                                         : error_from_errno(errno));
            break;
        }
        int ready = wait_for(port->fd, POLLOUT, total_ms == 0 ? -1 : ms_until(deadline));
        if (ready == 0) {
            result = fail(ERROR_TIMEOUT);
            break;
        }
        if (ready < 0) {
            result = fail(ERROR_ACCESS_DENIED);
            break;
        }
    }
    if (written != nullptr) {
        *written = done;
    }
    return result;
}

BOOL ReadFile(HANDLE handle, void* buffer, DWORD count, DWORD* read_count, OVERLAPPED*) {
    Port* port = transfer_port(handle, read_count);
    if (port == nullptr) {
        return FALSE;
    }
    DWORD held = 0;
    const COMMTIMEOUTS& t = port->timeouts;
    uint64_t total_ms = uint64_t(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    bool has_total = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    bool has_interval = t.ReadIntervalTimeout != 0;
    Clock::time_point start = Clock::now();
    Clock::time_point total_deadline = after_ms(start, total_ms);
    Clock::time_point last_byte = start;
    char* bytes = static_cast<char*>(buffer);
    bool hung_up = false;
    while (held < count) {
        ssize_t n = read(port->fd, bytes + held, count - held);
        if (n > 0) {
            held += static_cast<DWORD>(n);
            last_byte = Clock::now();
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0 || errno == EIO) {
            hung_up = true;
            break;
        }
        if (errno != EAGAIN) {
            if (read_count != nullptr) {
                *read_count = held;
            }
            return fail(error_from_errno(errno));
        }
        int wait_ms = has_total ? ms_until(total_deadline) : -1;
        if (held > 0 && has_interval) {
            int interval_ms = ms_until(after_ms(last_byte, t.ReadIntervalTimeout));
            wait_ms = wait_ms < 0 ? interval_ms : std::min(wait_ms, interval_ms);
        }
        if (wait_ms == 0) {
            break;
        }
        int ready = wait_for(port->fd, POLLIN, wait_ms);
        if (ready == 0) {
            break;
        }
        if (ready < 0) {
            hung_up = true;
            break;
        }
    }
    if (read_count != nullptr) {
        *read_count = held;
    }
    // Bytes that came before a hang-up are delivered; the next call fails.
    if (hung_up && held == 0) {
        return fail(ERROR_ACCESS_DENIED);
    }
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += milliseconds / 1000;
    until.tv_nsec += long(milliseconds % 1000) * 1000000L;
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
