// The round: claims, the room its records need, the snapshot, the hosts and
// the writers of its records.
#include "station/round.h"

#include "station/profile.h"
#include "station/recorder.h"
#include "station/runner.h"
#include "station/screen.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string folder_of(const StationFile& file) {
    return fs::absolute(file.path).parent_path().string();
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
        } catch (const StationError&) {
            for (Board& claimed : boards) {
                Record& r = claimed.record;
                r.outcome = Outcome::aborted;
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
        store.finish(record);
    }
    if (!left.empty()) {
        std::cerr << "station: " << left.size() << " record(s) left open by a station that ended "
                  << "were marked interrupted\n";
    }
}

int run_planned(const StationFile& file, const Opened& opened, const std::vector<Planned>& planned,
                bool json) {
    Store& store = *opened.store;
    std::optional<Profile> locked = store.locked_profile(file.station);
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
    std::string logs = log_folder(file);
    make_log_folder(logs);
    std::vector<std::string> folders = {folder_of(file), logs};
    if (!is_connection_text(file.store)) {
        folders.push_back(fs::path(file.store).parent_path().string());
    }
    check_room(folders, planned.size());
    check_open_files(planned.size());
    Snapshot snapshot(images, *locked, folder_of(file));
    RoundSettings settings{file.host, snapshot.folder(), file.stall_seconds, data_frames(images),
                           logs};
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
        auto finished = [&](Board& board) {
            // The snapshot is the round's own; should its files have changed
            // all the same, the board did not get the locked bytes.
            if (!snapshot.unchanged()) {
                mark_snapshot_changed(board.record);
            }
            recorder.finished(board.record);
        };
        run_round(boards, settings, *screen, finished, [&] { recorder.check(); });
        unrecorded = recorder.settle();
    }
    print_round_end(boards, round, json);
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
