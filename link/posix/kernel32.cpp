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
#include <termios.h>
#include <unistd.h>
#include <vector>

// In custom_speed.cpp: sets a speed that has no termios constant.
bool set_custom_speed(int fd, uint32_t baud);

namespace {

DWORD last_error = 0;

// What a HANDLE points to: the descriptor and the time-outs applied to it.
struct Port {
    int fd;
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

// Every signal whose default action ends the process, but SIGKILL and SIGSTOP
// (beyond reach: the kernel drops the hold at the port's last close) and
// SIGPIPE (ignored: output nobody reads is lost, as on Windows).
void catch_ending_signals() {
    static const int ending[] = {SIGHUP,    SIGINT,  SIGQUIT, SIGILL,    SIGTRAP, SIGABRT,
                                 SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGALRM,
                                 SIGTERM,   SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#ifdef SIGSTKFLT
                                 SIGSTKFLT,
#endif
#ifdef SIGPWR
                                 SIGPWR,
#endif
                                 SIGIO};
    std::vector<int> signals(std::begin(ending), std::end(ending));
    for (int real_time = SIGRTMIN; real_time <= SIGRTMAX; ++real_time) {
        signals.push_back(real_time);
    }
    for (int signal_number : signals) {
        struct sigaction current;
        // A signal the process was started to ignore (SIGINT in a background
        // job of a shell script) stays ignored.
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            struct sigaction action = {};
            action.sa_handler = end_by_signal;
            // One release at a time: a second signal waits for the first.
            sigfillset(&action.sa_mask);
            sigaction(signal_number, &action, nullptr);
        }
    }
}

// Called before the first hold is taken, so that no signal can end the
// process between the hold and its handlers.
void release_holds_at_the_end() {
    static bool registered = false;
    if (registered) {
        return;
    }
    registered = true;
    std::atexit(release_exclusive_holds);
    catch_ending_signals();
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
// The port is listed among the held ones before TIOCEXCL, so that a signal
// at any moment finds the hold it has to give up.
bool take_exclusive_access(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        return false;
    }
    release_holds_at_the_end();
    if (held_port_count < MAX_HELD_PORTS) {
        held_ports[held_port_count] = fd;
        held_port_count = held_port_count + 1;
    }
    // A tty that refuses TIOCEXCL is still guarded by the lock; root passes
    // TIOCEXCL anyway. TIOCNXCL on a tty without the hold does nothing.
    ioctl(fd, TIOCEXCL);
    return true;
}

// DTR and RTS as the record asks; RTS under handshake is the driver's. On a
// pseudo-terminal, which has no modem lines, the kernel refuses with ENOTTY
// or EINVAL: nothing to drive there.
bool apply_modem_lines(int fd, const DCB& dcb) {
    int raise_lines = (dcb.fDtrControl == DTR_CONTROL_ENABLE ? TIOCM_DTR : 0) |
                      (dcb.fRtsControl == RTS_CONTROL_ENABLE ? TIOCM_RTS : 0);
    int lower_lines = (dcb.fDtrControl == DTR_CONTROL_DISABLE ? TIOCM_DTR : 0) |
                      (dcb.fRtsControl == RTS_CONTROL_DISABLE ? TIOCM_RTS : 0);
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
    } speeds[] = {{110, B110},       {300, B300},      {600, B600},       {1200, B1200},
                  {2400, B2400},     {4800, B4800},    {9600, B9600},     {19200, B19200},
                  {38400, B38400},   {57600, B57600},  {115200, B115200}, {230400, B230400},
                  {460800, B460800}, {921600, B921600}};
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

// The definition text, a byte a character; 0 past its end.
struct Definition {
    std::string text;
    size_t at = 0;
    char next() const {
        return at < text.size() ? text[at] : 0;
    }
    void skip_one_space() {
        at += next() == ' ' ? 1 : 0;
    }
    void skip_spaces() {
        while (next() == ' ') {
            ++at;
        }
    }
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// An optional "COM<n>" with ":" or spaces after it, as Windows accepts at the
// start of a definition; false when the text starts with a space or a
// broken prefix.
bool skip_port_prefix(Definition& d) {
    if (strncasecmp(d.text.c_str(), "COM", 3) != 0) {
        return d.next() != ' ';
    }
    d.at = 3;
    if (d.next() < '1' || d.next() > '9') {
        return false;
    }
    while (is_digit(d.next())) {
        ++d.at;
    }
    if (d.next() != ':' && d.next() != ' ') {
        return false;
    }
    d.skip_spaces();
    if (d.next() == ':') {
        ++d.at;
        d.skip_spaces();
    }
    return true;
}

// Decimal digits; at least one. Too large a number reads as 0xFFFFFFFF.
bool read_decimal(Definition& d, DWORD& value) {
    if (!is_digit(d.next())) {
        return false;
    }
    uint64_t number = 0;
    while (is_digit(d.next())) {
        number = std::min<uint64_t>(number * 10 + uint64_t(d.text[d.at++] - '0'), 0xFFFFFFFFu);
    }
    value = static_cast<DWORD>(number);
    return true;
}

// A comma between two fields, with at most one space on either side.
bool read_comma(Definition& d) {
    d.skip_one_space();
    if (d.next() != ',') {
        return false;
    }
    ++d.at;
    d.skip_one_space();
    return true;
}

// Two-digit speeds stand for the old speeds: 11 is 110, 96 is 9600.
DWORD full_speed(DWORD baud) {
    switch (baud) {
    case 11:
    case 30:
    case 60:
        return baud * 10;
    case 12:
    case 24:
    case 48:
    case 96:
        return baud * 100;
    default:
        return baud;
    }
}

// "1", "1.5" or "2".
bool read_stop_bits(Definition& d, BYTE& stop_bits) {
    if (d.text.compare(d.at, 3, "1.5") == 0) {
        d.at += 3;
        stop_bits = ONE5STOPBITS;
        return true;
    }
    DWORD number = 0;
    if (!read_decimal(d, number) || (number != 1 && number != 2)) {
        return false;
    }
    stop_bits = number == 1 ? ONESTOPBIT : TWOSTOPBITS;
    return true;
}

// The flow-control letter after the stop bits, or none; sets the modem-line
// and flow-control fields as Windows does for each.
bool read_flow_control(Definition& d, DCB& dcb) {
    d.skip_spaces();
    char letter = 0;
    if (d.next() == ',') {
        ++d.at;
        d.skip_spaces();
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(d.next())));
        d.at += letter != 0 ? 1 : 0;
        d.skip_spaces();
    }
    if (d.next() != 0 || (letter != 0 && letter != 'X' && letter != 'P')) {
        return false;
    }
    bool xon_xoff = letter == 'X';
    bool handshake = letter == 'P';
    dcb.fInX = xon_xoff;
    dcb.fOutX = xon_xoff;
    dcb.fOutxCtsFlow = handshake;
    dcb.fOutxDsrFlow = handshake;
    dcb.fDtrControl = handshake ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
    dcb.fRtsControl = handshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    return true;
}

// "baud,parity,data,stop[,x|p]".
bool read_old_form(Definition& d, DCB& dcb) {
    static const char parities[] = "NOEMS"; // in the order of their values
    DWORD baud = 0;
    DWORD data_bits = 0;
    if (!read_decimal(d, baud) || !read_comma(d)) {
        return false;
    }
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(d.next())));
    const char* parity = letter != 0 ? std::strchr(parities, letter) : nullptr;
    if (parity == nullptr) {
        return false;
    }
    ++d.at;
    if (!read_comma(d) || !read_decimal(d, data_bits) || data_bits < 5 || data_bits > 8 ||
        !read_comma(d) || !read_stop_bits(d, dcb.StopBits) || !read_flow_control(d, dcb)) {
        return false;
    }
    dcb.BaudRate = full_speed(baud);
    dcb.Parity = static_cast<BYTE>(parity - parities);
    dcb.ByteSize = static_cast<BYTE>(data_bits);
    return true;
}

} // namespace

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
        fail(error);
        return INVALID_HANDLE_VALUE;
    }
    // A new handle starts with empty queues, as on Windows: what reached the
    // port before (a late answer to an interrupted run) is not taken for an
    // answer to this run. Only the holder flushes: a second opener, refused
    // above, never throws away what the first one waits for.
    tcflush(fd, TCIOFLUSH);
    Port* port = new Port{fd, COMMTIMEOUTS{0, 0, 0, 0, 0}};
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
    delete port;
    return TRUE;
}

// The old form, "baud,parity,data,stop[,x|p]" ("115200,N,8,1"): parity N, O,
// E, M or S in either case, 5 to 8 data bits, 1, 1.5 or 2 stop bits. Without
// a last letter DTR and RTS are enabled and there is no flow control; "x"
// adds XON/XOFF, "p" hands DTR and RTS to hardware handshaking. fBinary,
// fParity and the other fields keep what they held. Of the "baud=..." form
// only the empty text is taken (it gives one stop bit). On failure the record
// is left as it was.
BOOL BuildCommDCBW(LPCWSTR definition, DCB* dcb) {
    if (definition == nullptr || dcb == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    Definition d;
    for (const WCHAR* c = definition; *c != 0; ++c) {
        if (*c > 0x7F) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        d.text.push_back(static_cast<char>(*c));
    }
    DCB built = *dcb;
    if (!skip_port_prefix(d)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (d.text.find(',', d.at) == std::string::npos) {
        if (d.next() != 0) {
            return fail(ERROR_INVALID_PARAMETER);
        }
        built.StopBits = ONESTOPBIT;
    } else if (!read_old_form(d, built)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    *dcb = built;
    return TRUE;
}

// Framing the line has no way to keep: ERROR_NOT_SUPPORTED, as Windows
// gives for it.
bool framing_unsupported(const DCB& dcb) {
    return dcb.ByteSize < 5 || dcb.ByteSize > 8 || dcb.Parity > SPACEPARITY ||
           dcb.StopBits > TWOSTOPBITS || dcb.fRtsControl == RTS_CONTROL_TOGGLE;
}

// Raw line at the record's speed and framing, with the flow control it asks
// for (XON/XOFF; CTS/RTS, which Linux handles as one); DTR and RTS as the
// record says.
BOOL SetCommState(HANDLE handle, DCB* dcb) {
    Port* port = port_of(handle);
    if (port == nullptr || dcb == nullptr) {
        return fail(ERROR_INVALID_HANDLE);
    }
    if (framing_unsupported(*dcb)) {
        return fail(ERROR_NOT_SUPPORTED);
    }
    // No speed 0 (it would hang the line up), and no DTR/DSR handshake:
    // Linux has none.
    if (dcb->BaudRate == 0 || dcb->fDtrControl > DTR_CONTROL_ENABLE) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    tcflag_t size = size_flag(dcb->ByteSize);
    struct termios settings;
    if (tcgetattr(port->fd, &settings) != 0) {
        return fail(error_from_errno(errno));
    }
    // A speed without a termios constant is set after the rest, as the
    // driver takes it (or refuses it).
    speed_t speed = speed_of(dcb->BaudRate);
    bool custom = speed == B0;
    if (custom) {
        speed = cfgetospeed(&settings);
    }
    cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |= CLOCAL | CREAD | size;
    if (dcb->Parity != NOPARITY) {
        bool odd = dcb->Parity == ODDPARITY || dcb->Parity == MARKPARITY;
        bool sticky = dcb->Parity == MARKPARITY || dcb->Parity == SPACEPARITY;
        settings.c_cflag |= PARENB | (odd ? PARODD : 0) | (sticky ? CMSPAR : 0);
        settings.c_iflag |= INPCK;
    }
    // 1.5 stop bits: a UART gives them for 5 data bits when asked for two.
    if (dcb->StopBits != ONESTOPBIT) {
        settings.c_cflag |= CSTOPB;
    }
    if (dcb->fOutxCtsFlow || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE) {
        settings.c_cflag |= CRTSCTS;
    }
    settings.c_iflag &= ~(IXON | IXOFF | IXANY);
    settings.c_iflag |= (dcb->fOutX ? IXON : 0) | (dcb->fInX ? IXOFF : 0);
    // With O_NONBLOCK, "no data yet" is EAGAIN and a read of 0 means hang-up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    if (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0 ||
        tcsetattr(port->fd, TCSANOW, &settings) != 0) {
        return fail(error_from_errno(errno));
    }
    if (custom && !set_custom_speed(port->fd, dcb->BaudRate)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // tcsetattr succeeds when any one change took; read back what the line has.
    struct termios applied;
    if (tcgetattr(port->fd, &applied) != 0 || (!custom && cfgetospeed(&applied) != speed) ||
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
