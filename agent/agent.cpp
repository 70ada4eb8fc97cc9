// agent: a simulated flash agent, for running and testing host without a board.
//
// It opens a pseudo-terminal (or the device it is given), prints the port
// name, takes the sync byte and then 1038-byte request frames however their
// bytes arrive, and answers each frame with exactly one 6-byte response:
// RSP_CRC_ERROR for a bad checksum, RSP_PROGRAM_STATUS (value 1) for a data
// frame, RSP_EXECUTE_RESULT (value 0) for CMD_OTP_EXECUTE and RSP_UNKNOWN_CMD
// for anything else. With --out it stores the images it received, so a run can
// be checked byte for byte against the files sent.
#include "link/link.h"
#include "protocol/protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <csignal>
#include <map>
#include <random>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// Kept in the program although nothing reads it: what `strings agent` shows.
[[gnu::used]] const char RELEASE_VERSION[] = "agent release " HOST_RELEASE_VERSION;

const char USAGE[] =
    "usage: agent [options]\n"
    "Plays the flash agent on a new pseudo-terminal (or on --port) and prints\n"
    "\"PORT <path>\" on standard output: the port to give host.\n"
    "  --port PATH       play the agent on this device instead of a new pseudo-terminal\n"
    "  --link PATH       make PATH a link to the port, taken away when the agent ends, as the\n"
    "                    system takes away an adapter's link when it is pulled\n"
    "  --out DIR         store board_data.bin, otp.bin, firmware.bin, otp_address.txt and\n"
    "                    frames.bin (every frame as received, and the bytes of an unfinished\n"
    "                    one at the end) in DIR\n"
    "  --log FILE        log each frame received (command, length, address, checksum);\n"
    "                    --log - logs to standard error\n"
    "  --answer N=HEX    answer frame N with these bytes instead (any count, none included)\n"
    "  --split N=K:MS    send frame N's answer in two pieces: K bytes, a pause of MS ms, the rest\n"
    "  --corrupt N       flip a bit of frame N as it arrives, as a bad line would\n"
    "  --silent-from N   answer nothing from frame N on\n"
    "  --hangup-at N     hang up the line when frame N has arrived\n"
    "  --delay MS        wait MS ms before each answer\n"
    "  --baud B          pace the traffic as a line of B baud would (10 bits a byte; 0: no\n"
    "                    pacing, the default)\n"
    "  --boards          on its own pseudo-terminal, serve board after board: each time host\n"
    "                    opens the line is a new board, until the agent is stopped\n"
    "  --keep-unfinished keep a frame left unfinished for ever (an agent without a time-out):\n"
    "                    the next bytes, a new run's sync byte too, complete it\n"
    "  --fault-every N   the faults above (--answer, --split, --corrupt, --silent-from,\n"
    "                    --hangup-at) in every Nth run only\n"
    "  --fault-first N   the faults in the first N runs only\n"
    "  --fault-chance P  the faults in a run with a chance of P percent, drawn from --seed\n"
    "  --seed S          the seed of --fault-chance's draws (default 1): the same seed, the\n"
    "                    same runs with faults\n"
    "Frames count from 1 in each run. A sync byte between frames starts a new run (the\n"
    "output files then hold the new run's images). A frame left unfinished for 500 ms is\n"
    "dropped, as a real agent times it out (unless --keep-unfinished). A run ends after\n"
    "the answer to a firmware frame shorter than 1024 bytes, after 500 ms without a byte,\n"
    "when the line closes or hangs up, or when the agent is stopped; it is then reported\n"
    "in one summary line.\n"
    "On its own pseudo-terminal the agent ends when host closes the line (unless --boards);\n"
    "on --port it serves run after run until it is stopped. --hangup-at ends it.\n";

struct Split {
    size_t first;
    unsigned pause_ms;
};

struct Options {
    std::string port;
    std::string link;
    std::string out;
    std::string log;
    std::map<long, std::vector<uint8_t>> answers;
    std::map<long, Split> splits;
    long corrupt = 0;
    long silent_from = 0;
    long hangup_at = 0;
    unsigned delay_ms = 0;
    unsigned long baud = 0;
    bool boards = false; // keeps the line past host's close
    bool keep_unfinished = false;
    long fault_every = 0;   // faults in every Nth run; 0: see fault_first
    long fault_first = 0;   // faults in the first N runs; 0: see fault_chance
    long fault_chance = -1; // percent; -1: faults in every run
    unsigned long seed = 1;
};

// Files of the output folder, opened at start so that an image that never
// arrives is stored as an empty file.
struct Store {
    int board_data = -1;
    int otp = -1;
    int firmware = -1;
    int frames = -1;
    int log = -1;
    std::string otp_address_path;
};

// What one run brought: from a sync byte to the next one or to the line's end.
struct Run {
    long number = 0;
    long frames = 0;
    long errors = 0; // frames with a bad checksum or an unknown command
    size_t board_data = 0, otp = 0, firmware = 0; // image bytes stored
    size_t dropped = 0; // bytes of unfinished frames dropped after an idle gap
    bool reported = false;
    bool faulty = true; // the faults asked for apply to this run
};

// Bytes of a frame left unfinished this long are dropped, and a run that has
// seen no byte this long is over.
constexpr int IDLE_GAP_MS = 500;

// The line as the pacing sees it: when the last byte in each direction is
// through, in monotonic nanoseconds.
struct Line {
    int fd = -1;
    int own_slave = -1; // keeps the pty alive until host has opened it
    double byte_ns = 0;
    int64_t rx_free = 0;
    int64_t tx_free = 0;
};

[[noreturn]] void die(const std::string& message) {
    std::fprintf(stderr, "agent: %s\n", message.c_str());
    std::exit(2);
}

int64_t now_ns() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleep_until_ns(int64_t until) {
    struct timespec at = {static_cast<time_t>(until / 1000000000),
                          static_cast<long>(until % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// A whole decimal number from `min` to `max`, or the end of the agent with a
// message that names the option.
long checked_number(const std::string& option, const std::string& text, long min, long max) {
    char* end = nullptr;
    errno = 0;
    long number = std::strtol(text.c_str(), &end, 10);
    // Digits only, after an optional minus: strtol would also take leading
    // white space and a plus sign.
    size_t first_digit = text.compare(0, 1, "-") == 0 ? 1 : 0;
    bool digits = text.size() > first_digit &&
                  text.find_first_not_of("0123456789", first_digit) == std::string::npos;
    if (!digits || *end != 0 || errno != 0 || number < min || number > max) {
        die(option + " takes a whole number from " + std::to_string(min) + " to " +
            std::to_string(max) + ", not \"" + text + "\"");
    }
    return number;
}

long frame_number(const std::string& option, const std::string& text) {
    return checked_number(option, text, 1, 0x7FFFFFFF);
}

std::vector<uint8_t> hex_bytes(const std::string& hex) {
    if (hex.find_first_not_of("0123456789abcdefABCDEF") != hex.npos) {
        die("not hexadecimal bytes: " + hex);
    }
    if (hex.size() % 2 != 0) {
        die("an odd number of hexadecimal digits (two make a byte): " + hex);
    }
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

Options parse_options(int argc, char* argv[]) {
    static const char* const known[] = {
        "--port",        "--link",         "--out",     "--log",
        "--answer",      "--split",        "--corrupt", "--silent-from",
        "--hangup-at",   "--delay",        "--baud",    "--boards",
        "--fault-every", "--fault-chance", "--seed",    "--keep-unfinished",
        "--fault-first"};
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::fputs(USAGE, stdout);
            std::exit(0);
        }
        if (std::find(std::begin(known), std::end(known), name) == std::end(known)) {
            die("unknown option " + name + "\n" + USAGE);
        }
        if (name == "--keep-unfinished") {
            options.keep_unfinished = true;
            continue;
        }
        if (name == "--boards") {
            options.boards = true;
            continue;
        }
        if (i + 1 >= argc) {
            die("missing value after " + name + "\n" + USAGE);
        }
        std::string value = argv[++i];
        size_t equals = value.find('=');
        size_t colon = value.find(':', equals == value.npos ? 0 : equals);
        if (name == "--port") {
            if (value.empty()) {
                die("--port takes a device path, not an empty text");
            }
            options.port = value;
        } else if (name == "--link") {
            options.link = value;
        } else if (name == "--out") {
            options.out = value;
        } else if (name == "--log") {
            options.log = value;
        } else if (name == "--answer" && equals != value.npos) {
            options.answers[frame_number(name, value.substr(0, equals))] =
                hex_bytes(value.substr(equals + 1));
        } else if (name == "--split" && equals != value.npos && colon != value.npos) {
            options.splits[frame_number(name, value.substr(0, equals))] =
                Split{size_t(checked_number(name, value.substr(equals + 1, colon - equals - 1), 0,
                                            RESPONSE_FRAME_SIZE)),
                      unsigned(checked_number(name, value.substr(colon + 1), 0, 3600000))};
        } else if (name == "--corrupt") {
            options.corrupt = frame_number(name, value);
        } else if (name == "--silent-from") {
            options.silent_from = frame_number(name, value);
        } else if (name == "--hangup-at") {
            options.hangup_at = frame_number(name, value);
        } else if (name == "--delay") {
            options.delay_ms = unsigned(checked_number(name, value, 0, 3600000));
        } else if (name == "--fault-every") {
            options.fault_every = checked_number(name, value, 1, 0x7FFFFFFF);
        } else if (name == "--fault-first") {
            options.fault_first = checked_number(name, value, 1, 0x7FFFFFFF);
        } else if (name == "--fault-chance") {
            options.fault_chance = checked_number(name, value, 0, 100);
        } else if (name == "--seed") {
            options.seed = static_cast<unsigned long>(checked_number(name, value, 0, 0x7FFFFFFF));
        } else if (name == "--baud") {
            options.baud = static_cast<unsigned long>(checked_number(name, value, 0, 100000000));
        } else {
            die(name + " takes N=HEX (--answer) or N=K:MS (--split), not \"" + value + "\"");
        }
    }
    return options;
}

void make_raw(int fd) {
    struct termios settings;
    if (tcgetattr(fd, &settings) != 0) {
        die("not a terminal: " + std::string(std::strerror(errno)));
    }
    cfmakeraw(&settings);
    settings.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&settings, B115200);
    cfsetospeed(&settings, B115200);
    tcsetattr(fd, TCSANOW, &settings);
}

// The link to the port (--link) and what it names: taken away as the agent
// ends however it ends, before the port itself goes, so that no one finds
// it naming a node whose number another terminal took since.
std::string port_link;
std::string port_path;

void take_away_link() {
    char target[4096];
    ssize_t n = port_link.empty() ? -1 : readlink(port_link.c_str(), target, sizeof(target));
    if (n > 0 && std::string(target, size_t(n)) == port_path) {
        unlink(port_link.c_str());
    }
}

void make_link(const Options& options, const std::string& path) {
    if (options.link.empty()) {
        return;
    }
    unlink(options.link.c_str());
    if (symlink(path.c_str(), options.link.c_str()) != 0) {
        die(options.link + ": " + std::strerror(errno));
    }
    port_link = options.link;
    port_path = path;
    std::atexit(take_away_link);
}

// A new pseudo-terminal, its slave raw before host opens it: a fresh slave
// would echo our answers back to us as frame bytes.
void open_line(const Options& options, Line& line) {
    if (!options.port.empty()) {
        line.fd = open(options.port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (line.fd < 0) {
            die(options.port + ": " + std::strerror(errno));
        }
        make_raw(line.fd);
        make_link(options, options.port);
        std::printf("PORT %s\n", options.port.c_str());
    } else {
        line.fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0) {
            die(std::string("no pseudo-terminal: ") + std::strerror(errno));
        }
        const char* slave = ptsname(line.fd);
        line.own_slave = open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (line.own_slave < 0) {
            die(std::string(slave) + ": " + std::strerror(errno));
        }
        make_raw(line.own_slave);
        make_link(options, slave);
        std::printf("PORT %s\n", slave);
    }
    std::fflush(stdout);
    if (options.baud != 0) {
        line.byte_ns = 10.0 * 1e9 / double(options.baud);
    }
}

int create_file(const std::string& folder, const char* name) {
    std::string path = folder + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        die(path + ": " + std::strerror(errno));
    }
    return fd;
}

void open_store(const Options& options, Store& store) {
    if (!options.out.empty()) {
        mkdir(options.out.c_str(), 0755);
        store.board_data = create_file(options.out, "board_data.bin");
        store.otp = create_file(options.out, "otp.bin");
        store.firmware = create_file(options.out, "firmware.bin");
        store.frames = create_file(options.out, "frames.bin");
        store.otp_address_path = options.out + "/otp_address.txt";
        unlink(store.otp_address_path.c_str());
    }
    if (!options.log.empty()) {
        store.log = options.log == "-"
                        ? 2
                        : open(options.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (store.log < 0) {
            die(options.log + ": " + std::strerror(errno));
        }
    }
}

void write_all(int fd, const void* bytes, size_t count) {
    const char* next = static_cast<const char*>(bytes);
    while (fd >= 0 && count > 0) {
        ssize_t n = write(fd, next, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return;
        }
        next += n;
        count -= static_cast<size_t>(n);
    }
}

// Notes the arrival of `count` bytes at the pace of the line.
void pace_arrival(Line& line, size_t count) {
    if (line.byte_ns > 0) {
        int64_t start = std::max(line.rx_free, now_ns());
        line.rx_free = start + int64_t(line.byte_ns * double(count));
    }
}

// Sends bytes as the line would deliver them: all at once when the last of
// them would be through.
void transmit(Line& line, const uint8_t* bytes, size_t count) {
    if (line.byte_ns > 0) {
        int64_t start = std::max({line.tx_free, line.rx_free, now_ns()});
        line.tx_free = start + int64_t(line.byte_ns * double(count));
        sleep_until_ns(line.tx_free);
    }
    write_all(line.fd, bytes, count);
}

std::vector<uint8_t> response(uint16_t code, uint32_t value) {
    return {static_cast<uint8_t>(code >> 8),   static_cast<uint8_t>(code),
            static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8),  static_cast<uint8_t>(value)};
}

// Takes a good frame: stores its data and says what the agent answers.
std::vector<uint8_t> take_frame(const RequestFrame& frame, Store& store, Run& run) {
    uint16_t length = std::min<uint16_t>(frame.length, CHUNK_SIZE);
    switch (frame.command) {
    case CMD_BOARD_DATA:
        write_all(store.board_data, frame.data, length);
        run.board_data += length;
        return response(RSP_PROGRAM_STATUS, 1);
    case CMD_OTP_DATA:
        write_all(store.otp, frame.data, length);
        run.otp += length;
        return response(RSP_PROGRAM_STATUS, 1);
    case CMD_FIRMWARE_DATA:
        write_all(store.firmware, frame.data, length);
        run.firmware += length;
        return response(RSP_PROGRAM_STATUS, 1);
    case CMD_OTP_EXECUTE:
        if (!store.otp_address_path.empty()) {
            FILE* file = std::fopen(store.otp_address_path.c_str(), "w");
            if (file != nullptr) {
                std::fprintf(file, "0x%08x\n", frame.address);
                std::fclose(file);
            }
        }
        return response(RSP_EXECUTE_RESULT, 0);
    default:
        run.errors += 1;
        return response(RSP_UNKNOWN_CMD, 0);
    }
}

void log_frame(const Store& store, long number, const RequestFrame& frame, bool crc_good) {
    if (store.log < 0) {
        return;
    }
    char text[160];
    int n = std::snprintf(text, sizeof(text),
                          "frame %ld command %u length %u marker 0x%x address 0x%x crc %s\n",
                          number, frame.command, frame.length, frame.marker, frame.address,
                          crc_good ? "good" : "bad");
    write_all(store.log, text, static_cast<size_t>(n));
}

void answer(const Options& options, Line& line, long number, std::vector<uint8_t> bytes) {
    auto given = options.answers.find(number);
    if (given != options.answers.end()) {
        bytes = given->second;
    }
    if (options.delay_ms != 0) {
        sleep_until_ns(now_ns() + int64_t(options.delay_ms) * 1000000);
    }
    auto split = options.splits.find(number);
    if (split != options.splits.end() && split->second.first < bytes.size()) {
        transmit(line, bytes.data(), split->second.first);
        sleep_until_ns(now_ns() + int64_t(split->second.pause_ms) * 1000000);
        transmit(line, bytes.data() + split->second.first, bytes.size() - split->second.first);
    } else {
        transmit(line, bytes.data(), bytes.size());
    }
}

// One line a run on standard output, for an operator watching the agent.
void print_summary(const Run& run) {
    std::printf("run %ld: %ld frames, stored board data %zu, OTP %zu, firmware %zu bytes, "
                "%ld errors",
                run.number, run.frames, run.board_data, run.otp, run.firmware, run.errors);
    if (run.dropped > 0) {
        std::printf(", %zu bytes of unfinished frames dropped", run.dropped);
    }
    std::printf("\n");
    std::fflush(stdout);
}

// Reports a run once, when it is over.
void end_run(Run& run) {
    if (run.number > 0 && !run.reported) {
        print_summary(run);
        run.reported = true;
    }
}

// The agent hangs up: both its ends of the line close, so host sees the line
// drop as when an adapter is pulled. What it received is already stored.
[[noreturn]] void hang_up(Line& line, Run& run) {
    end_run(run);
    if (line.own_slave >= 0) {
        close(line.own_slave);
    }
    close(line.fd);
    std::exit(0);
}

// One whole frame has arrived.
void handle_frame(const Options& options, Line& line, Store& store, Run& run, RequestFrame& frame) {
    long number = ++run.frames;
    if (number == options.corrupt) {
        frame.data[0] ^= 0x01;
    }
    write_all(store.frames, &frame, sizeof(frame));
    bool crc_good = crc16(frame) == frame.crc;
    log_frame(store, number, frame, crc_good);
    if (number == options.hangup_at) {
        hang_up(line, run);
    }
    run.errors += crc_good ? 0 : 1;
    std::vector<uint8_t> bytes =
        crc_good ? take_frame(frame, store, run) : response(RSP_CRC_ERROR, 0);
    if (options.silent_from == 0 || number < options.silent_from) {
        answer(options, line, number, bytes);
    }
    // A firmware frame shorter than a full chunk is the last of a run.
    if (crc_good && frame.command == CMD_FIRMWARE_DATA && frame.length < CHUNK_SIZE) {
        end_run(run);
    }
}

// host has the line now: the agent's own hold on a pseudo-terminal ends, so
// that host's close ends the agent (unless it serves board after board).
void let_go_of_the_line(const Options& options, Line& line) {
    if (line.own_slave >= 0 && !options.boards) {
        close(line.own_slave);
        line.own_slave = -1;
    }
}

// Empties the output files for a new run: they hold the last run's images.
void restart_store(Store& store) {
    for (int fd : {store.board_data, store.otp, store.firmware, store.frames}) {
        if (fd >= 0 && (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0)) {
            die(std::string("cannot empty the output files: ") + std::strerror(errno));
        }
    }
    if (!store.otp_address_path.empty()) {
        unlink(store.otp_address_path.c_str());
    }
}

// SIGINT and SIGTERM are held back except while the agent waits for the
// line, so a stop always finds it between two steps of a run.
volatile sig_atomic_t stop_signal = 0;

void note_stop(int signal_number) {
    stop_signal = signal_number;
}

void hold_back_stop_signals(sigset_t& waiting_mask) {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &waiting_mask);
    sigdelset(&waiting_mask, SIGINT);
    sigdelset(&waiting_mask, SIGTERM);
    struct sigaction action = {};
    action.sa_handler = note_stop;
    sigemptyset(&action.sa_mask);
    for (int signal_number : {SIGINT, SIGTERM}) {
        struct sigaction current;
        // A signal the agent was started to ignore stays ignored.
        if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
            sigaction(signal_number, &action, nullptr);
        }
    }
}

// Ends the agent as the stop signal would have, after the run is reported.
[[noreturn]] void stop(Run& run) {
    end_run(run);
    int signal_number = stop_signal;
    take_away_link(); // the signal ends the agent without its exit handlers
    signal(signal_number, SIG_DFL);
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, signal_number);
    raise(signal_number);
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
    std::exit(128 + signal_number);
}

// Waits for the line: 1 when it has bytes or closed, 0 after an idle gap
// (only when `idle_matters`), and stops the agent on SIGINT or SIGTERM.
int wait_for_line(const Line& line, bool idle_matters, const sigset_t& waiting_mask, Run& run) {
    struct pollfd entry = {line.fd, POLLIN, 0};
    struct timespec gap = {IDLE_GAP_MS / 1000, (IDLE_GAP_MS % 1000) * 1000000L};
    for (;;) {
        int ready = ppoll(&entry, 1, idle_matters ? &gap : nullptr, &waiting_mask);
        if (stop_signal != 0) {
            stop(run);
        }
        if (ready >= 0 || errno != EINTR) {
            return ready == 0 ? 0 : 1;
        }
    }
}

// Takes run after run: a sync byte between frames starts a new one (on a real
// line host's close is not seen, so the next run's sync byte is the only
// sign). Frames are numbered from 1 in each run. Ends when the line closes.
void serve(const Options& options, Line& line, Store& store, const sigset_t& waiting_mask) {
    // A run without faults answers as a good board does.
    Options clean = options;
    clean.answers.clear();
    clean.splits.clear();
    clean.corrupt = clean.silent_from = clean.hangup_at = 0;
    std::mt19937 draws(static_cast<std::mt19937::result_type>(options.seed));
    auto faulty = [&](long number) {
        if (options.fault_every > 0) {
            return number % options.fault_every == 0;
        }
        if (options.fault_first > 0) {
            return number <= options.fault_first;
        }
        return options.fault_chance < 0 || static_cast<long>(draws() % 100) < options.fault_chance;
    };
    // The frame is gathered as bytes, as they arrive, and then read by field.
    RequestFrame frame;
    uint8_t* frame_bytes = reinterpret_cast<uint8_t*>(&frame);
    size_t held = 0;
    Run run;
    uint8_t chunk[4096];
    int64_t last_byte_ns = now_ns();
    // A real agent times an unfinished frame out the same way, so a stray
    // byte on an idle line never misaligns the runs after it.
    auto drop_unfinished = [&]() {
        if (held > 0 && !options.keep_unfinished) {
            run.dropped += held;
            write_all(store.log, "unfinished frame dropped\n", 25);
            held = 0;
        }
    };
    for (;;) {
        bool idle_matters =
            (held > 0 && !options.keep_unfinished) || (run.number > 0 && !run.reported);
        if (wait_for_line(line, idle_matters, waiting_mask, run) == 0) {
            drop_unfinished();
            end_run(run);
            continue;
        }
        ssize_t n = read(line.fd, chunk, sizeof(chunk));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // The gap is timed from the last byte, as a real agent's timer
        // does, however late this process is scheduled to see it.
        int64_t now = now_ns();
        if (n > 0 && now - last_byte_ns >= int64_t(IDLE_GAP_MS) * 1000000) {
            drop_unfinished();
        }
        last_byte_ns = now;
        if (n <= 0) {
            // host closed the line; bytes of an unfinished frame are kept too,
            // so that nothing that crossed the line goes unseen.
            write_all(store.frames, frame_bytes, held);
            end_run(run);
            return;
        }
        pace_arrival(line, static_cast<size_t>(n));
        for (size_t at = 0; at < size_t(n);) {
            if (held == 0 && chunk[at] == SYNC_BYTE) {
                if (run.number > 0) {
                    end_run(run);
                    restart_store(store);
                }
                run = Run{run.number + 1};
                run.faulty = faulty(run.number);
                at += 1;
                let_go_of_the_line(options, line);
                continue;
            }
            if (run.number == 0) {
                write_all(store.log, "no sync byte\n", 13);
                run.number = 1;
                run.faulty = faulty(run.number);
                let_go_of_the_line(options, line);
            }
            // Bytes after a run was reported and before a sync byte belong to
            // that run still; it is reported again when it ends.
            run.reported = false;
            size_t take = std::min(REQUEST_FRAME_SIZE - held, size_t(n) - at);
            std::memcpy(frame_bytes + held, chunk + at, take);
            held += take;
            at += take;
            if (held == REQUEST_FRAME_SIZE) {
                held = 0;
                handle_frame(run.faulty ? options : clean, line, store, run, frame);
            }
        }
    }
}

} // namespace

int main(int argc, char* argv[]) {
    // Before anything is opened: a line must never take the number of a
    // closed standard descriptor, or "PORT ..." would go down the line.
    guard_standard_streams();
    Options options = parse_options(argc, argv);
    sigset_t waiting_mask;
    hold_back_stop_signals(waiting_mask);
    Store store;
    open_store(options, store);
    Line line;
    open_line(options, line);
    serve(options, line, store, waiting_mask);
    return 0;
}
