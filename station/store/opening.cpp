// The store opened for a command, and the places its records need.
#include "station/store/opening.h"

#include "station/store/board_log.h"

#include "station/base/base.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

namespace {

namespace fs = std::filesystem;

std::string folder_of(const StationFile& file) {
    return fs::absolute(file.path).parent_path().string();
}

// What a round's records need on disk: the store, the spool and the logs.
constexpr unsigned long long ROUND_ROOM = 1024 * 1024;
constexpr unsigned long long BOARD_ROOM = 64 * 1024;

// A full disk would leave boards programmed without a record.
void check_disk_room(const std::vector<std::string>& folders, size_t boards) {
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

// Each board holds a pipe and a log open, and while its line is quieted
// its port: the soft limit of open files is
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
    rlim_t needed = 3 * static_cast<rlim_t>(boards) + 64;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
        throw StationError{std::to_string(boards) + " boards need " + std::to_string(needed) +
                           " open files; this process may open " + std::to_string(limit.rlim_cur) +
                           " (ulimit -n)"};
    }
}

// What a record's log tells of a board that a dead station left: the
// transcript so far, and when it was last written (the record's end).
void read_log(Record& record, const std::string& logs) {
    std::optional<std::string> path = find_board_log(logs, record);
    struct stat about;
    if (!path || stat(path->c_str(), &about) != 0) {
        return; // host never started, or its log is gone: nothing more is known
    }
    // Read within a bound: a log the station wrote is within it already
    // (a run's frames are at most 2 GiB / 1 KiB, one dot each).
    KeptOutput kept(TRANSCRIPT_KEEPS_FIRST + (size_t(1) << 21), TRANSCRIPT_KEEPS_LAST);
    std::ifstream log(*path, std::ios::binary);
    char chunk[65536];
    while (log.read(chunk, sizeof(chunk)) || log.gcount() > 0) {
        kept.append(chunk, static_cast<size_t>(log.gcount()));
    }
    record.transcript = transcript_in_log(kept.text());
    record.ended = utc_text(std::chrono::system_clock::time_point(
        std::chrono::seconds(about.st_mtim.tv_sec) +
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::nanoseconds(about.st_mtim.tv_nsec))));
}

// Marks what a dead command of this station left started as interrupted,
// with what each board's log tells. Each keeps its MAC claimed (and kept,
// with an image that carries it): the log may not tell how far its board
// got.
void interrupt_left_records(Store& store, const StationFile& file) {
    std::vector<Record> left = store.started_records(file.station);
    for (Record& record : left) {
        record.ended = utc_now();
        read_log(record, log_folder(file));
        judge_interrupted(record);
        record.mac_kept = file.mac.image.has_value();
        store.finish(record);
    }
    if (!left.empty()) {
        say_on_stderr(std::to_string(left.size()) +
                      " record(s) left open by a station that ended were marked interrupted");
    }
}

// The snapshots of the images that rounds of this station left when they
// died are removed, and said; one that cannot be is said, and the command
// goes on.
void remove_snapshots_left(const StationFile& file) {
    try {
        std::vector<std::string> removed = remove_left_snapshots(folder_of(file), file.station);
        std::string names;
        for (const std::string& name : removed) {
            names += (names.empty() ? "" : ", ") + name;
        }
        if (!removed.empty()) {
            say_on_stderr("removed " + counted(static_cast<long long>(removed.size()), "snapshot") +
                          " of the images that rounds of this station left when they ended "
                          "unfinished, in " +
                          folder_of(file) + ": " + names);
        }
    } catch (const StationError& error) {
        say_on_stderr(error.message);
    }
}

// The claims this station made that a failover of the store may have lost
// are checked first: each is in the store, or written again, or a conflict.
void recheck_claims(Opened& opened, const std::string& station) {
    Spool::Rechecked found = opened.spool->recheck(*opened.store);
    for (const std::string& line : found.said()) {
        say_on_stderr(line);
    }
    opened.conflicts += static_cast<int>(found.conflicts.size());
    // Checked against this server: a failover since is the others' to
    // check, and said until they have.
    opened.store->claims_checked(station);
    if (std::optional<Failover> failover = opened.store->failover()) {
        say_on_stderr("warning: " + failover_said(*failover));
    }
}

// Records a lost store could not take are delivered first, each once.
void deliver_spool(const StationFile& file, Opened& opened) {
    Spool::Delivery delivery = opened.spool->deliver(*opened.store);
    if (delivery.delivered > 0) {
        say_on_stderr(std::to_string(delivery.delivered) +
                      " spooled record(s) delivered to the store");
    }
    for (const Record& late : delivery.reclaimed) {
        say_on_stderr(reclaim_said(late));
    }
    for (const Conflict& conflict : delivery.conflicts) {
        say_on_stderr(conflict_said(conflict));
    }
    opened.conflicts += static_cast<int>(delivery.conflicts.size());
    if (delivery.kept > 0) {
        say_on_stderr(std::to_string(delivery.kept) + " spooled record(s) are " + delivery.why +
                      ": they stay in the spool " + spool_path(file));
    }
}

} // namespace

Opened open_for(const StationFile& file, Hold hold) {
    Opened opened;
    try {
        opened.store = open_store(file.store);
    } catch (StationError& error) {
        // While records wait, a command that cannot reach the store says so.
        if (fs::exists(spool_path(file))) {
            int waiting = Spool(spool_path(file)).waiting();
            if (waiting > 0) {
                error.message += "\nstation: " + std::to_string(waiting) +
                                 " record(s) wait in the spool; they are delivered when the "
                                 "store answers again";
            }
        }
        throw;
    }
    opened.alive =
        hold == Hold::to_read
            ? opened.store->hold_liveness_to_read(file.station)
            : opened.store->hold_liveness(file.station, [&] {
                  say_on_stderr("a command that reads the store holds station " + file.station +
                                " a moment (it delivers the spool): waiting for "
                                "it");
              });
    opened.spool = std::make_shared<Spool>(spool_path(file), file.store_on_server);
    if (!opened.alive && hold == Hold::to_itself) {
        throw StationError{"station " + file.station +
                           " is running: another command holds its lock on the store"};
    }
    // Only the command that holds the station delivers its spool and marks
    // what it left (never one beside its round).
    if (opened.alive) {
        recheck_claims(opened, file.station);
        deliver_spool(file, opened);
        interrupt_left_records(*opened.store, file);
        remove_snapshots_left(file);
    }
    return opened;
}

std::string spool_path(const StationFile& file) {
    return (fs::path(folder_of(file)) / (".station-spool-" + file.station + ".db")).string();
}

std::string log_folder(const StationFile& file) {
    fs::path beside =
        file.store_on_server ? fs::path(folder_of(file)) : fs::path(file.store).parent_path();
    return (beside / "station-logs").string();
}

std::string make_room_for_round(const StationFile& file, size_t boards) {
    std::string logs = log_folder(file);
    make_own_folder(logs, "the log folder");
    std::vector<std::string> folders = {folder_of(file), logs};
    if (!file.store_on_server) {
        folders.push_back(fs::path(file.store).parent_path().string());
    }
    check_disk_room(folders, boards);
    check_open_files(boards);
    return logs;
}
