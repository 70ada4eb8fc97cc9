// station: programs every fixture of a production station at once, through
// one host per fixture, and keeps a record of every board. Its main only
// wires the rooms: the station file, the store, the images, the runner, the
// screen and the reports.
#include "station/profile.h"
#include "station/recorder.h"
#include "station/reports.h"
#include "station/runner.h"
#include "station/screen.h"
#include "station/spool.h"
#include "station/station_file.h"
#include "station/store.h"

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// A fault that ends the command with its message and status 2.
struct UsageError {
    std::string message;
};

struct Options {
    std::string file = "station.toml";
    std::vector<std::string> macs;
    std::string fixtures;
    bool json = false;
    bool rework = false;
    std::string since;
    bool csv = false;
    std::string mac;
    std::string station; // report and export: only this station's records
};

std::string folder_of(const StationFile& file) {
    return fs::absolute(file.path).parent_path().string();
}

// The spool beside the station file.
std::string spool_path(const StationFile& file) {
    return (fs::path(folder_of(file)) / (".station-spool-" + file.station + ".db")).string();
}

std::string program_folder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? fs::path(std::string(path, static_cast<size_t>(n))).parent_path().string() : ".";
}

// The release version host carries for `strings`.
std::string host_version(const std::string& host) {
    std::ifstream file(host, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string mark = std::string("host release ");
    size_t at = bytes.find(mark);
    if (at == std::string::npos) {
        return "unknown";
    }
    size_t end = bytes.find('\0', at);
    return bytes.substr(at + mark.size(), end - at - mark.size());
}

// 12 hexadecimal digits, in upper case; empty for anything else.
std::string checked_mac(const std::string& text) {
    if (text.size() != 12) {
        return "";
    }
    std::string mac;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            return "";
        }
        mac += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return mac;
}

// Each board's log, beside the store (beside the station file for a
// PostgreSQL store): a folder the station made for itself, which no one
// else can write.
std::string log_folder(const StationFile& file) {
    fs::path beside = is_connection_text(file.store) ? fs::path(folder_of(file))
                                                     : fs::path(file.store).parent_path();
    return (beside / "station-logs").string();
}

void make_log_folder(const std::string& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw StoreError{"cannot make the log folder " + folder + ": " + std::strerror(errno)};
    }
    struct stat about;
    if (lstat(folder.c_str(), &about) != 0 || !S_ISDIR(about.st_mode) ||
        about.st_uid != geteuid() || (about.st_mode & 022) != 0) {
        throw StoreError{"the log folder " + folder +
                         " is not the station's own (a folder of this user that no one else "
                         "can write): remove it"};
    }
}

// The store, whether this command holds the station's liveness lock, and
// the spool.
struct Opened {
    std::shared_ptr<Store> store;
    bool alive = false;
    std::shared_ptr<Spool> spool;
};

enum class Need { shared_store, station_to_itself };

// Marks what a dead command of this station left started as interrupted,
// with what each board's log tells.
void interrupt_left_records(Store& store, const StationFile& file) {
    std::vector<Record> left = store.started_records(file.station);
    for (Record& record : left) {
        judge_interrupted(record, log_folder(file));
        store.finish(record);
    }
    if (!left.empty()) {
        std::cerr << "station: " << left.size() << " record(s) left open by a station that ended "
                  << "were marked interrupted\n";
    }
}

// Opens the store and takes the station's liveness lock on it; the holder
// of that lock alone marks what a dead command left open as interrupted,
// before anything else. With Need::station_to_itself (the command runs
// boards or locks) a live command of the station refuses it.
Opened open_for(const StationFile& file, Need need) {
    Opened opened;
    opened.store = open_store(file.store);
    opened.alive = opened.store->hold_liveness(file.station);
    opened.spool = std::make_shared<Spool>(spool_path(file));
    // Records a lost store could not take are delivered first, each once.
    int delivered = opened.spool->deliver(*opened.store);
    if (delivered > 0) {
        std::cerr << "station: " << delivered << " spooled record(s) delivered to the store\n";
    }
    if (!opened.alive) {
        if (need == Need::station_to_itself) {
            throw UsageError{"station " + file.station +
                             " is running: another command holds its lock on the store"};
        }
        return opened;
    }
    interrupt_left_records(*opened.store, file);
    return opened;
}

// The fixtures a round takes, in the file's order.
std::vector<Fixture> chosen_fixtures(const StationFile& file, const std::string& list) {
    if (list.empty()) {
        return file.fixtures;
    }
    std::vector<Fixture> chosen;
    std::stringstream names(list);
    std::string name;
    while (std::getline(names, name, ',')) {
        auto it = std::find_if(file.fixtures.begin(), file.fixtures.end(),
                               [&](const Fixture& f) { return f.name == name; });
        if (it == file.fixtures.end()) {
            throw UsageError{"unknown fixture \"" + name + "\" (not in " + file.path + ")"};
        }
        chosen.push_back(*it);
    }
    return chosen;
}

// The MACs given with --mac, by fixture; every one checked at once.
std::map<std::string, std::string> given_macs(const StationFile& file,
                                              const std::vector<std::string>& pairs) {
    std::map<std::string, std::string> macs;
    for (const std::string& pair : pairs) {
        size_t equals = pair.find('=');
        std::string name = pair.substr(0, equals);
        if (equals == std::string::npos ||
            std::none_of(file.fixtures.begin(), file.fixtures.end(),
                         [&](const Fixture& f) { return f.name == name; })) {
            throw UsageError{"--mac " + pair + ": unknown fixture \"" + name + "\""};
        }
        std::string mac = checked_mac(pair.substr(equals + 1));
        if (mac.empty()) {
            throw UsageError{"--mac " + pair + ": a MAC is 12 hexadecimal digits"};
        }
        macs[name] = mac;
    }
    return macs;
}

// Asks for a fixture's MAC (a barcode scanner types it and Enter); an empty
// line or the end of input skips the fixture.
std::string ask_mac(const std::string& fixture) {
    for (;;) {
        std::cout << "MAC for " << fixture << ": " << std::flush;
        std::string line;
        if (!std::getline(std::cin, line)) {
            std::cout << "\n";
            return "";
        }
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
            line.pop_back();
        }
        if (line.empty()) {
            return "";
        }
        std::string mac = checked_mac(line);
        if (!mac.empty()) {
            return mac;
        }
        std::cout << "not a MAC: 12 hexadecimal digits\n";
    }
}

struct Planned {
    Fixture fixture;
    std::string mac;
    bool rework;
};

// What a round's records need on disk: the store, the spool and the logs.
constexpr unsigned long long ROUND_ROOM = 1024 * 1024;
constexpr unsigned long long BOARD_ROOM = 64 * 1024;

// A round starts only where its records have room: a full disk would leave
// boards programmed without a record.
void check_room(const std::vector<std::string>& folders, size_t boards) {
    unsigned long long needed = ROUND_ROOM + BOARD_ROOM * boards;
    for (const std::string& folder : folders) {
        struct statvfs about;
        if (statvfs(folder.c_str(), &about) != 0) {
            continue; // a folder that cannot be asked fails when written
        }
        unsigned long long free_bytes =
            static_cast<unsigned long long>(about.f_bavail) * about.f_frsize;
        if (free_bytes < needed) {
            throw UsageError{folder + " has " + std::to_string(free_bytes / 1024) +
                             " KiB free; the records of " + std::to_string(boards) +
                             " board(s) need " + std::to_string(needed / 1024) + " KiB"};
        }
    }
}

// Each board holds a pipe and a log open: the soft limit of open files is
// raised as far as the hard one allows, and a round that would pass it is
// refused before anything starts.
void check_open_files(size_t boards) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    rlim_t needed = 2 * static_cast<rlim_t>(boards) + 64;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        throw UsageError{std::to_string(boards) + " boards need " + std::to_string(needed) +
                         " open files; this process may open " + std::to_string(limit.rlim_cur) +
                         " (ulimit -n)"};
    }
}

Record new_record(const StationFile& file, const Planned& p, const Profile& locked,
                  const std::string& device, const std::string& version, const std::string& round) {
    Record r;
    r.id = new_uuid();
    r.station = file.station;
    r.fixture = p.fixture.name;
    r.port = p.fixture.port;
    r.device = device;
    r.mac = p.mac;
    r.profile = locked.id;
    r.board_data_sha256 = locked.board_data_sha256;
    r.otp_sha256 = locked.otp_sha256;
    r.firmware_sha256 = locked.firmware_sha256;
    r.otp_address = locked.otp_address;
    r.host_version = version;
    r.rework = p.rework;
    r.started = utc_now();
    r.round = round;
    return r;
}

// Claims and writes each planned board's record as started; a refused MAC
// or a missing port skips its fixture. A store lost half-way ends the
// command before any host starts: the records claimed so far are ended
// aborted, into the spool.
std::vector<Board> claim_boards(const StationFile& file, const Opened& opened,
                                const std::vector<Planned>& planned, const Profile& locked,
                                const std::string& round, bool json, bool& all_taken) {
    std::string version = host_version(file.host);
    std::vector<Board> boards;
    for (const Planned& p : planned) {
        std::error_code missing;
        fs::path device = fs::canonical(p.fixture.port, missing);
        if (missing) {
            print_skipped(p.fixture.name, "port " + p.fixture.port + " is missing", json);
            all_taken = false;
            continue;
        }
        Board board;
        board.fixture = p.fixture;
        board.record = new_record(file, p, locked, device.string(), version, round);
        std::string refusal;
        try {
            refusal = opened.store->claim_and_start(board.record);
        } catch (const StoreError&) {
            for (Board& claimed : boards) {
                Record& r = claimed.record;
                r.outcome = "aborted";
                r.message = "not started: the store was lost";
                r.ended = utc_now();
                opened.spool->add(r);
            }
            throw;
        }
        if (!refusal.empty()) {
            print_skipped(p.fixture.name, refusal, json);
            all_taken = false;
            continue;
        }
        boards.push_back(board);
    }
    return boards;
}

// Checks the images against the locked profile, snapshots them, claims and
// starts every planned board, runs the round and reports it. Returns the
// exit status.
int run_boards(const StationFile& file, const Opened& opened, const std::vector<Planned>& planned,
               bool json) {
    Store& store = *opened.store;
    std::optional<Profile> locked = store.locked_profile(file.station);
    if (!locked) {
        throw UsageError{"no locked profile for station " + file.station +
                         ": run `station lock` first"};
    }
    Images images = read_images(file.config);
    Profile now = profile_of(images);
    if (now.id != locked->id) {
        throw UsageError{"the images of " + file.config + " are not the locked ones (locked " +
                         locked->locked + "): run `station lock` to program the new ones"};
    }
    std::string logs = log_folder(file);
    make_log_folder(logs);
    std::vector<std::string> folders = {folder_of(file), logs};
    if (!is_connection_text(file.store)) {
        folders.push_back(fs::path(file.store).parent_path().string());
    }
    check_room(folders, planned.size());
    check_open_files(planned.size());
    fs::path snapshots = fs::path(folder_of(file)) / ".station-snapshots";
    RoundSettings settings{file.host, make_snapshot(images, *locked, snapshots.string()),
                           file.stall_seconds, data_frames(images), logs};
    std::string round = new_uuid();
    // From the first claim to the last record, signals wait for the round.
    hold_back_station_signals();
    bool all_taken = true; // no port missing, no MAC refused
    std::vector<Board> boards =
        claim_boards(file, opened, planned, *locked, round, json, all_taken);
    std::unique_ptr<Screen> screen = make_screen(json, settings.data_frames);
    int unrecorded = 0;
    {
        Recorder recorder(opened.store, opened.spool);
        run_round(
            boards, settings, *screen, [&](Board& board) { recorder.finished(board.record); },
            [&] { recorder.check(); });
        unrecorded = recorder.settle();
    }
    print_round_end(boards, round, json);
    if (unrecorded > 0) {
        std::cerr << "station: " << unrecorded
                  << " record(s) could be written neither to the store nor to the spool; "
                     "each is above, as one JSON line\n";
        return 2;
    }
    bool all_passed = std::all_of(boards.begin(), boards.end(),
                                  [](const Board& b) { return b.record.outcome == "passed"; });
    return all_passed && all_taken ? 0 : 1;
}

int command_lock(const StationFile& file) {
    Opened opened = open_for(file, Need::station_to_itself);
    Store* store = opened.store.get();
    Images images = read_images(file.config);
    Profile profile = profile_of(images);
    store->lock_profile(file.station, profile);
    std::cout << "locked profile " << profile.id << "\n  board data " << profile.board_data_sha256
              << "  " << images.board_data << "\n  OTP        " << profile.otp_sha256 << "  "
              << images.otp << "\n  firmware   " << profile.firmware_sha256 << "  "
              << images.firmware << "\n  OTP address " << profile.otp_address << "\n";
    return 0;
}

int command_run(const StationFile& file, const Options& options) {
    Opened opened = open_for(file, Need::station_to_itself);
    std::map<std::string, std::string> macs = given_macs(file, options.macs);
    std::vector<Planned> planned;
    for (const Fixture& fixture : chosen_fixtures(file, options.fixtures)) {
        auto given = macs.find(fixture.name);
        std::string mac = given != macs.end() ? given->second : ask_mac(fixture.name);
        if (mac.empty()) {
            continue; // the operator skipped it
        }
        planned.push_back({fixture, mac, options.rework});
    }
    // The same MAC twice in one round is refused before anything runs.
    for (size_t i = 0; i < planned.size(); ++i) {
        for (size_t j = i + 1; j < planned.size(); ++j) {
            if (planned[i].mac == planned[j].mac) {
                throw UsageError{"MAC " + planned[i].mac + " given for " + planned[i].fixture.name +
                                 " and " + planned[j].fixture.name};
            }
        }
    }
    return run_boards(file, opened, planned, options.json);
}

int command_retry(const StationFile& file, const Options& options) {
    Opened opened = open_for(file, Need::station_to_itself);
    Store* store = opened.store.get();
    std::string round = store->last_round(file.station);
    if (round.empty()) {
        throw UsageError{"station " + file.station + " has no round to retry"};
    }
    RecordFilter filter;
    filter.station = file.station;
    filter.round = round;
    std::vector<Planned> planned;
    for (const Record& r : store->records(filter)) {
        if (r.outcome == "passed") {
            continue;
        }
        auto fixture = std::find_if(file.fixtures.begin(), file.fixtures.end(),
                                    [&](const Fixture& f) { return f.name == r.fixture; });
        if (fixture == file.fixtures.end()) {
            print_skipped(r.fixture, "no longer in " + file.path, options.json);
            continue;
        }
        planned.push_back({*fixture, r.mac, r.rework});
    }
    if (planned.empty()) {
        std::cout << "nothing to retry: every board of round " << round << " passed\n";
        return 0;
    }
    return run_boards(file, opened, planned, options.json);
}

std::vector<Record> all_records(const StationFile& file, const Options& options,
                                const std::string& mac, bool transcripts) {
    Opened opened = open_for(file, Need::shared_store);
    RecordFilter filter;
    filter.station = options.station;
    const std::string& since = options.since;
    filter.since = since;
    filter.mac = mac;
    filter.with_transcripts = transcripts;
    return opened.store->records(filter);
}

// The serial ports of this machine with their stable names.
int command_ports() {
    std::map<std::string, std::vector<std::string>> names; // node -> stable names
    for (const char* folder : {"/dev/serial/by-path", "/dev/serial/by-id"}) {
        std::error_code none;
        for (const auto& entry : fs::directory_iterator(folder, none)) {
            std::error_code broken;
            fs::path node = fs::canonical(entry.path(), broken);
            if (!broken) {
                names[node.string()].push_back(entry.path().string());
            }
        }
    }
    std::error_code none;
    for (const auto& entry : fs::directory_iterator("/dev", none)) {
        std::string name = entry.path().filename().string();
        for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS", "ttyAMA"}) {
            if (name.rfind(prefix, 0) == 0 && name.size() > std::strlen(prefix)) {
                names[entry.path().string()];
            }
        }
    }
    if (names.empty()) {
        std::cout << "no serial ports\n";
    }
    for (const auto& [node, stable] : names) {
        std::cout << node << "\n";
        for (const std::string& name : stable) {
            std::cout << "  " << name << "\n";
        }
    }
    return 0;
}

int dispatch(CLI::App& app, const Options& options) {
    if (app.got_subcommand("ports")) {
        return command_ports();
    }
    StationFile file = read_station_file(options.file, program_folder() + "/host");
    if (app.got_subcommand("lock")) {
        return command_lock(file);
    }
    if (app.got_subcommand("run")) {
        return command_run(file, options);
    }
    if (app.got_subcommand("retry")) {
        return command_retry(file, options);
    }
    if (app.got_subcommand("init")) {
        open_store(file.store, true);
        std::cout << "the store " << file.store << " is ready\n";
        return 0;
    }
    if (app.got_subcommand("report")) {
        print_report(all_records(file, options, "", false), options.csv, std::cout);
        int waiting = Spool(spool_path(file)).waiting();
        if (waiting > 0) {
            std::cout << "\n" << waiting << " record(s) wait in the spool for the store\n";
        }
        return 0;
    }
    if (app.got_subcommand("export")) {
        std::vector<Record> records = all_records(file, options, "", options.json);
        options.json ? export_json(records, std::cout) : export_csv(records, std::cout);
        return 0;
    }
    std::vector<Record> records = all_records(file, options, checked_mac(options.mac), true);
    if (records.empty()) {
        std::cout << "no records of MAC " << options.mac << "\n";
        return 1;
    }
    print_history(records, std::cout);
    return 0;
}

// After a store error: how many records wait in the spool, if any.
void report_spool(const Options& options) {
    try {
        StationFile file = read_station_file(options.file, program_folder() + "/host");
        if (fs::exists(spool_path(file))) {
            int waiting = Spool(spool_path(file)).waiting();
            if (waiting > 0) {
                std::cerr << "station: " << waiting
                          << " record(s) wait in the spool; they are delivered when the store "
                             "answers again\n";
            }
        }
    } catch (...) {
    }
}

} // namespace

int main(int argc, char* argv[]) {
    signal(SIGPIPE, SIG_IGN);
    CLI::App app{"station: programs every fixture at once and records every board"};
    app.require_subcommand(1);
    Options options;
    app.add_option("-f,--file", options.file, "the station file (default station.toml)");
    app.add_subcommand("lock", "lock the images of the configuration as the station's profile");
    CLI::App* run = app.add_subcommand("run", "program every fixture (or --fixtures) at once");
    run->add_option("--mac", options.macs, "FIXTURE=MAC, the board's MAC (else asked for)");
    run->add_option("--fixtures", options.fixtures, "A1,A2: only these fixtures");
    run->add_flag("--json", options.json, "one JSON object per event");
    run->add_flag("--rework", options.rework, "program boards that passed before (recorded)");
    CLI::App* retry = app.add_subcommand("retry", "run the boards of the last round that failed");
    retry->add_flag("--json", options.json, "one JSON object per event");
    CLI::App* report = app.add_subcommand("report", "boards, yield and failures per day");
    report->add_option("--since", options.since, "YYYY-MM-DD: records started that day or later");
    report->add_flag("--csv", options.csv, "as CSV");
    report->add_option("--station", options.station, "only this station's records");
    CLI::App* exporting = app.add_subcommand("export", "every record (CSV, or --json)");
    exporting->add_flag("--csv", options.csv, "as CSV (the default)");
    exporting->add_flag("--json", options.json, "as JSON, with the transcripts");
    exporting->add_option("--station", options.station, "only this station's records");
    app.add_subcommand("init", "create or upgrade the store's schema");
    CLI::App* history = app.add_subcommand("history", "one board's records with transcripts");
    history->add_option("MAC", options.mac, "the board's MAC")->required();
    app.add_subcommand("ports", "the serial ports of this machine and their stable names");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }
    try {
        return dispatch(app, options);
    } catch (const StationFileError& error) {
        std::cerr << "station: " << error.message << "\n";
    } catch (const StoreError& error) {
        std::cerr << "station: " << error.message << "\n";
        report_spool(options);
    } catch (const ProfileError& error) {
        std::cerr << "station: " << error.message << "\n";
    } catch (const UsageError& error) {
        std::cerr << "station: " << error.message << "\n";
    } catch (const std::exception& error) {
        std::cerr << "station: " << error.what() << "\n";
    }
    return 2;
}
