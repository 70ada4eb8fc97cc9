// The round: claims, the room its records need, the snapshot, the hosts and
// the writers of its records.
#include "station/round.h"

#include "station/macs.h"
#include "station/profile.h"
#include "station/recorder.h"
#include "station/runner.h"
#include "station/screen.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <list>
#include <map>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <tuple>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string folder_of(const StationFile& file) {
    return fs::absolute(file.path).parent_path().string();
}

void make_log_folder(const std::string& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        throw StationError{"cannot make the log folder " + folder + ": " + std::strerror(errno)};
    }
    struct stat about;
    if (lstat(folder.c_str(), &about) != 0 || !S_ISDIR(about.st_mode) ||
        about.st_uid != geteuid() || (about.st_mode & 022) != 0) {
        throw StationError{"the log folder " + folder +
                           " is not the station's own (a folder of this user that no one else "
                           "can write): remove it"};
    }
}

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
            throw StationError{folder + " has " + std::to_string(free_bytes / 1024) +
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
        throw StationError{std::to_string(boards) + " boards need " + std::to_string(needed) +
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

// The image that carries each board's MAC: its name in the snapshot and the
// record's hash of it.
struct Carrier {
    const char* file;
    std::string Record::*hash;
};

std::optional<Carrier> carrier_of(const MacPlan& plan) {
    if (plan.image == "board data") {
        return Carrier{"board_data.bin", &Record::board_data_sha256};
    }
    if (plan.image == "otp") {
        return Carrier{"otp.bin", &Record::otp_sha256};
    }
    if (plan.image == "firmware") {
        return Carrier{"firmware.bin", &Record::firmware_sha256};
    }
    return std::nullopt;
}

// Gives a board its own copy of the image that carries its MAC; the
// record's hash of that image is of the bytes this board receives.
void give_own_images(Board& board, const MacPlan& plan, const Snapshot& snapshot) {
    if (std::optional<Carrier> carrier = carrier_of(plan)) {
        std::string hash;
        board.folder = snapshot.board_folder(board.record.id, carrier->file, plan.offset,
                                             board.record.mac, hash);
        board.record.*carrier->hash = hash;
    }
}

// Whether a board that did not pass keeps its MAC for ever: the job of the
// image that carries it had started ("Opening" it), so its bytes may be in
// the board (an OTP is written once).
bool keeps_mac(const Record& r, const MacPlan& plan) {
    std::optional<Carrier> carrier = carrier_of(plan);
    return carrier && r.outcome != Outcome::passed &&
           r.transcript.find(std::string("Opening ") + carrier->file + "\n") != std::string::npos;
}

// Below a tenth of the pool left, the round's end says so.
void warn_of_pool(const StationFile& file, Store& store) {
    if (!file.mac.has_pool()) {
        return;
    }
    unsigned long long size = file.mac.pool_size();
    unsigned long long used =
        static_cast<unsigned long long>(store.pool_used(file.mac.first, file.mac.last));
    unsigned long long left = used >= size ? 0 : size - used;
    if (left * 10 < size) {
        std::printf("MAC pool %s-%s: %llu of %llu left\n", file.mac.first.c_str(),
                    file.mac.last.c_str(), left, size);
        std::fflush(stdout);
    }
}

// A board that ended after the snapshot changed: whatever host said, the
// bytes it sent are not known to be the locked ones.
void mark_snapshot_changed(Record& r) {
    r.outcome = Outcome::failed;
    r.message = "the round's snapshot of the images changed: not the locked bytes";
}

} // namespace

std::string spool_path(const StationFile& file) {
    return (fs::path(folder_of(file)) / (".station-spool-" + file.station + ".db")).string();
}

// Each board's log, beside the store (beside the station file for a
// PostgreSQL store): a folder the station made for itself, which no one
// else can write.
std::string log_folder(const StationFile& file) {
    fs::path beside = is_connection_text(file.store) ? fs::path(folder_of(file))
                                                     : fs::path(file.store).parent_path();
    return (beside / "station-logs").string();
}

// Marks what a dead command of this station left started as interrupted,
// with what each board's log tells.
void interrupt_left_records(Store& store, const StationFile& file) {
    std::vector<Record> left = store.started_records(file.station);
    for (Record& record : left) {
        judge_interrupted(record, log_folder(file));
        record.mac_kept = carrier_of(file.mac).has_value();
        store.finish(record);
    }
    if (!left.empty()) {
        std::cerr << "station: " << left.size() << " record(s) left open by a station that ended "
                  << "were marked interrupted\n";
    }
}

namespace {

// What every round needs before its first claim: the locked profile, the
// images checked against it, room for the records, the logs' folder, the
// round's own snapshot and its id.
struct Prepared {
    Profile locked;
    std::unique_ptr<Snapshot> snapshot;
    RoundSettings settings;
    std::string round;
};

Prepared prepare_round(const StationFile& file, const Opened& opened, size_t boards) {
    std::optional<Profile> locked = opened.store->locked_profile(file.station);
    if (!locked) {
        throw StationError{"no locked profile for station " + file.station +
                           ": run `station lock` first"};
    }
    Images images = read_images(file.config);
    Profile now = profile_of(images);
    if (now.id != locked->id) {
        throw StationError{"the images of " + file.config + " are not the locked ones (locked " +
                           locked->locked + "): run `station lock` to program the new ones"};
    }
    check_mac_fits(file, images);
    check_pool_bounds(file);
    std::string logs = log_folder(file);
    make_log_folder(logs);
    std::vector<std::string> folders = {folder_of(file), logs};
    if (!is_connection_text(file.store)) {
        folders.push_back(fs::path(file.store).parent_path().string());
    }
    check_room(folders, boards);
    check_open_files(boards);
    Prepared p{
        *locked, std::make_unique<Snapshot>(images, *locked, folder_of(file)), {}, new_uuid()};
    p.settings = RoundSettings{file.host, p.snapshot->folder(), file.stall_seconds,
                               data_frames(images), logs};
    return p;
}

// The round's exit status, once every record is somewhere.
int round_status(const std::list<Board>& boards, bool all_taken, int unrecorded,
                 const Snapshot& snapshot, const std::string& round) {
    if (!snapshot.hashes_match()) {
        std::cerr << "station: the round's snapshot of the images no longer hashes to the "
                     "locked profile: the boards of round "
                  << round << " may not have received the locked bytes\n";
        return 2;
    }
    if (unrecorded > 0) {
        std::cerr << "station: " << unrecorded
                  << " record(s) could be written neither to the store nor to the spool; "
                     "each is above, as one JSON line\n";
        return 2;
    }
    bool all_passed = std::all_of(boards.begin(), boards.end(), [](const Board& b) {
        return b.record.outcome == Outcome::passed;
    });
    return all_passed && all_taken ? 0 : 1;
}

// A finished board's record goes to the writers; a board that ended after
// the round's snapshot changed did not get the locked bytes.
std::function<void(Board&)> record_finished(Recorder& recorder, const Snapshot& snapshot,
                                            const MacPlan& plan) {
    return [&recorder, &snapshot, &plan](Board& board) {
        if (!snapshot.unchanged()) {
            mark_snapshot_changed(board.record);
        }
        board.record.mac_kept = keeps_mac(board.record, plan);
        recorder.finished(board.record);
    };
}

// What a claim of `run --continuous` needs done on the writer's thread: a
// MAC from the pool when none was scanned, and the board's own images.
Recorder::Prepare prepare_claim(const StationFile& file, const Snapshot& snapshot) {
    return [&file, &snapshot](Record& r, Store& store) {
        if (r.mac.empty()) {
            std::optional<std::string> mac = store.hand_out(file.mac.first, file.mac.last);
            if (!mac) {
                throw StationError{
                    "MAC pool exhausted (" + file.mac.first + "-" + file.mac.last + ")", 1};
            }
            r.mac = *mac;
        }
        Board board;
        board.record = r;
        give_own_images(board, file.mac, snapshot);
        r = board.record;
        return board.folder;
    };
}

// Lines typed or scanned on standard input, read only when poll says so.
class Input {
  public:
    // The next whole line, if one came; `ended` once input is over.
    std::optional<std::string> line() {
        size_t end = buffer_.find('\n');
        if (end == std::string::npos) {
            if (ended_ && !buffer_.empty()) {
                std::string last = buffer_;
                buffer_.clear();
                return last;
            }
            return std::nullopt;
        }
        std::string text = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
            text.pop_back();
        }
        return text;
    }
    void read_some() {
        char chunk[512];
        ssize_t n = read(0, chunk, sizeof(chunk));
        if (n > 0) {
            buffer_.append(chunk, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            ended_ = true;
        }
    }
    bool ended() const {
        return ended_ && buffer_.find('\n') == std::string::npos && buffer_.empty();
    }

  private:
    std::string buffer_;
    bool ended_ = false;
};

} // namespace

void check_mac_fits(const StationFile& file, const Images& images) {
    const MacPlan& plan = file.mac;
    if (plan.image.empty()) {
        return;
    }
    const std::string& path = plan.image == "board data" ? images.board_data
                              : plan.image == "otp"      ? images.otp
                                                         : images.firmware;
    std::error_code error;
    auto size = fs::file_size(path, error);
    if (error || static_cast<std::uintmax_t>(plan.offset) + 6 > size) {
        throw StationError{plan.offset_place + ": the MAC's six bytes at offset " +
                           std::to_string(plan.offset) + " do not fit in the " + plan.image +
                           " image " + path + " (" +
                           (error ? error.message() : std::to_string(size) + " bytes") + ")"};
    }
}

void check_pool_bounds(const StationFile& file) {
    const MacPlan& plan = file.mac;
    for (const auto& [mac, place, key] : {std::tuple(plan.first, plan.first_place, "first"),
                                          std::tuple(plan.last, plan.last_place, "last")}) {
        if (!mac.empty() && !mac_fault(mac).empty()) {
            throw StationError{place + ": the pool's \"" + key + "\": " + mac_fault(mac)};
        }
    }
}

int run_continuous(const StationFile& file, const Opened& opened,
                   const std::vector<Fixture>& fixtures, bool rework, bool json) {
    Prepared p = prepare_round(file, opened, fixtures.size());
    hold_back_station_signals();
    std::unique_ptr<ContinuousScreen> continuous =
        json ? nullptr : std::make_unique<ContinuousScreen>();
    std::unique_ptr<Screen> events = json ? make_screen(true, p.settings.data_frames) : nullptr;
    Screen& screen = json ? *events : *continuous;
    auto say = [&](const std::string& line) {
        json ? print_skipped("", line, true) : continuous->say(line);
    };
    Recorder recorder(opened.store, opened.spool);
    RoundRunner runner(p.settings, screen, record_finished(recorder, *p.snapshot, file.mac),
                       [&] { recorder.check(); });
    Input input;
    std::optional<Fixture> asking; // the fixture whose MAC is asked for
    bool claim_waits = false;      // its MAC is with the store
    bool taking = true;            // input is taken (until its end, q, Ctrl+C or a lost store)
    std::vector<std::string> lost; // fixtures whose claim the store could not answer
    int unserved = 0;              // empty lines the pool had no MAC for
    size_t next = 0;               // where the search for an idle fixture starts
    auto running_on = [&](const std::string& name) {
        return std::any_of(runner.boards().begin(), runner.boards().end(),
                           [&](const Board& b) { return b.running && b.fixture.name == name; });
    };
    auto ask_next = [&] {
        for (size_t k = 0; k < fixtures.size(); ++k) {
            const Fixture& f = fixtures[(next + k) % fixtures.size()];
            if (!running_on(f.name)) {
                asking = f;
                next = (next + k + 1) % fixtures.size();
                if (continuous) {
                    continuous->prompt("MAC for " + f.name + ": ");
                }
                return;
            }
        }
    };
    for (;;) {
        taking = taking && !runner.stopping();
        if (taking && !asking && !claim_waits) {
            ask_next();
        }
        if (!claim_waits && !runner.running() && (!taking || input.ended())) {
            break;
        }
        std::optional<std::string> line =
            asking && !claim_waits && taking ? input.line() : std::nullopt;
        if (!line) {
            int fd = claim_waits ? recorder.answers_fd() : (asking && taking ? 0 : -1);
            short ready = runner.pass(fd, POLLIN);
            if (fd == 0 && ready != 0) {
                input.read_some();
                if (input.ended()) {
                    taking = false;
                    if (continuous) {
                        continuous->answered();
                    }
                }
            }
            for (Recorder::Answer& a :
                 fd > 0 && ready ? recorder.answers() : std::vector<Recorder::Answer>{}) {
                claim_waits = false;
                if (!a.error.empty()) {
                    say(asking->name + " not started: " + a.error + "; no new board starts");
                    lost.push_back(asking->name);
                    taking = false;
                } else if (!a.refusal.empty()) {
                    // An empty line that the pool had no MAC for leaves a
                    // board unprogrammed, as a skipped fixture does.
                    unserved += a.record.mac.empty() ? 1 : 0;
                    say("refused: " + a.refusal); // the same fixture is asked again
                    if (continuous) {
                        continuous->prompt("MAC for " + asking->name + ": ");
                    }
                    continue;
                } else {
                    Board board;
                    board.fixture = *asking;
                    board.record = a.record;
                    board.folder = a.folder;
                    runner.start(std::move(board));
                }
                asking.reset();
            }
            continue;
        }
        if (continuous) {
            continuous->answered();
        }
        if (*line == "q") {
            taking = false;
            continue;
        }
        if (line->empty() && !file.mac.has_pool()) {
            asking.reset(); // the next idle fixture is asked
            continue;
        }
        // An empty line takes the pool's next MAC.
        std::string mac = line->empty() ? "" : checked_mac(*line);
        auto twin = std::find_if(runner.boards().begin(), runner.boards().end(),
                                 [&](const Board& b) { return b.running && b.record.mac == mac; });
        std::string why = mac.empty() && !line->empty() ? std::string("not a MAC: ") + MAC_FORMS
                          : !mac.empty() && !mac_fault(mac).empty() ? "refused: " + mac_fault(mac)
                          : twin != runner.boards().end()
                              ? "refused: MAC " + mac + " is running on " + twin->fixture.name
                              : "";
        std::error_code missing;
        fs::path device = fs::canonical(asking->port, missing);
        if (why.empty() && missing) {
            why = "refused: port " + asking->port + " is missing";
        }
        if (!why.empty()) {
            say(why);
            if (continuous) {
                continuous->prompt("MAC for " + asking->name + ": ");
            }
            continue;
        }
        Planned planned{*asking, mac, rework};
        recorder.claim(
            new_record(file, planned, p.locked, device.string(), file.host_version, p.round),
            prepare_claim(file, *p.snapshot));
        claim_waits = true;
    }
    if (continuous) {
        continuous->answered();
    }
    int unrecorded = recorder.settle();
    if (!recorder.store_lost()) {
        warn_of_pool(file, *opened.store);
    }
    std::vector<Board> ended(runner.boards().begin(), runner.boards().end());
    int not_started = static_cast<int>(lost.size()) + unserved;
    print_round_end(ended, not_started, p.round, json);
    return round_status(runner.boards(), not_started == 0, unrecorded, *p.snapshot, p.round);
}

int run_planned(const StationFile& file, const Opened& opened, const std::vector<Planned>& planned,
                int skipped, bool json) {
    Prepared p = prepare_round(file, opened, planned.size());
    // From the first claim to the last record, signals wait for the round.
    hold_back_station_signals();
    std::unique_ptr<Screen> screen = make_screen(json, p.settings.data_frames);
    Recorder recorder(opened.store, opened.spool);
    RoundRunner runner(p.settings, *screen, record_finished(recorder, *p.snapshot, file.mac),
                       [&] { recorder.check(); });
    // Every claim goes to the writer's thread at once, in the file's order;
    // each board starts as soon as its claim is answered.
    std::map<std::string, Fixture> claimed; // record id -> its fixture
    bool all_taken = true;                  // no port missing, no MAC refused
    bool store_failed = false;
    for (const Planned& plan : planned) {
        std::error_code missing;
        fs::path device = fs::canonical(plan.fixture.port, missing);
        if (missing) {
            print_skipped(plan.fixture.name, "port " + plan.fixture.port + " is missing", json);
            all_taken = false;
            continue;
        }
        Record record =
            new_record(file, plan, p.locked, device.string(), file.host_version, p.round);
        claimed[record.id] = plan.fixture;
        recorder.claim(record, prepare_claim(file, *p.snapshot), plan.retry_of);
    }
    while (!claimed.empty() || runner.running()) {
        short ready = runner.pass(claimed.empty() ? -1 : recorder.answers_fd(), POLLIN);
        for (Recorder::Answer& a : ready ? recorder.answers() : std::vector<Recorder::Answer>{}) {
            Fixture fixture = claimed[a.record.id];
            claimed.erase(a.record.id);
            if (!a.error.empty() || !a.refusal.empty()) {
                print_skipped(fixture.name, a.error.empty() ? a.refusal : "not started: " + a.error,
                              json);
                all_taken = false;
                store_failed = store_failed || !a.error.empty();
                continue;
            }
            Board board;
            board.fixture = fixture;
            board.record = a.record;
            board.folder = a.folder;
            runner.start(std::move(board));
        }
    }
    int unrecorded = recorder.settle();
    if (!recorder.store_lost()) {
        warn_of_pool(file, *opened.store);
    }
    std::vector<Board> boards(runner.boards().begin(), runner.boards().end());
    int not_started = skipped + static_cast<int>(planned.size() - boards.size());
    print_round_end(boards, not_started, p.round, json);
    int status = round_status(runner.boards(), all_taken, unrecorded, *p.snapshot, p.round);
    return store_failed ? 2 : status;
}
