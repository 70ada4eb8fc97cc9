// The store in a SQLite file: WAL, full synchronous commits, a versioned
// schema (user_version), and the station's liveness lock on a file beside it.
#include "station/store/interface.h"

#include "station/base/base.h"
#include "station/store/engines.h"

#include <sqlite3.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <grp.h>
#include <map>
#include <mutex>
#include <memory>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Rows read in one thread and handed over in another, a batch at a time.
class ReadAhead {
  public:
    typedef std::vector<std::string> Row;

    // In the reader's thread: `step` hands each row to the put it is given.
    void read(const std::function<void(const std::function<void(Row&)>&)>& step) {
        std::vector<Row> batch;
        size_t used = 0;
        try {
            step([&](Row& row) {
                if (used == batch.size()) {
                    batch.emplace_back();
                }
                batch[used++].swap(row);
                if (used == BATCH) {
                    pass(batch, used);
                }
            });
            pass(batch, used);
        } catch (const Stopped&) {
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        changed_.notify_all();
    }

    // In the caller's thread, until the reader is done.
    void hand_over(const std::function<void(Row&)>& take) {
        std::vector<Row> batch;
        for (;;) {
            size_t count;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                changed_.wait(lock, [this] { return full_ || done_; });
                if (!full_) {
                    return;
                }
                batch.swap(batch_);
                count = count_;
                full_ = false;
                changed_.notify_all();
            }
            for (size_t i = 0; i < count; ++i) {
                take(batch[i]);
            }
        }
    }

    // The caller stopped taking: the reader ends at its next batch.
    void stop() {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

    void rethrow() {
        if (error_) {
            std::rethrow_exception(error_);
        }
    }

  private:
    struct Stopped {};
    static constexpr size_t BATCH = 256;

    // Hands a batch over once the last one was taken; the one taken back
    // keeps its strings' room for the next rows.
    void pass(std::vector<Row>& batch, size_t& used) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !full_ || stopped_; });
        if (stopped_) {
            throw Stopped{};
        }
        batch.swap(batch_);
        count_ = used;
        full_ = true;
        used = 0;
        changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Row> batch_;
    size_t count_ = 0;
    bool full_ = false, done_ = false, stopped_ = false;
    std::exception_ptr error_;
};

bool user_in_group(uid_t uid, gid_t gid) {
    const passwd* user = getpwuid(uid);
    if (!user) {
        return false;
    }
    if (user->pw_gid == gid) {
        return true;
    }
    int count = 64;
    std::vector<gid_t> groups;
    do {
        groups.resize(static_cast<size_t>(count));
    } while (getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0 &&
             count > static_cast<int>(groups.size()));
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// A store whose owner may not write it would be opened for reading only,
// and SQLite would make the files beside it with its mode, read-only too,
// which no later command could write, whoever runs it: refused before, once,
// with the fix.
void check_writable(const std::string& path) {
    struct stat store;
    if (stat(path.c_str(), &store) == 0 && (store.st_mode & S_IWUSR) == 0) {
        throw StationError{"the store " + path + " is read-only (" + owned(store) +
                           "), and SQLite would make the files beside it read-only too: " +
                           (store.st_uid == geteuid() ? "" : user_name(store.st_uid) + " runs ") +
                           "chmod u+w " + path};
    }
}

// A new store in the line's folder is made for the group to write, before
// SQLite makes it (and the files beside it, with its mode) for its owner.
void make_for_the_line(const std::string& path) {
    if (own_file_mode(path) != 0660) {
        return;
    }
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0660);
    if (fd >= 0) {
        fchmod(fd, 0660);
        close(fd);
    }
}

// SQLite keeps two files beside a WAL store (-wal and -shm) that every
// connection, a reader's too, must write; whoever opens the store first
// makes them, as its own, with the store's mode. A reader of another user
// (the web view's) would so leave files the station's user cannot write, and
// the station's next record would fail: refused here, before SQLite makes
// them, and said plainly when such files are already there. Root is safe:
// SQLite gives what root makes to the store's owner.
void check_shared_files(const std::string& path) {
    uid_t me = geteuid();
    struct stat store;
    if (stat(path.c_str(), &store) != 0) {
        return; // a new store is this user's own
    }
    std::string parent = std::filesystem::path(path).parent_path().string();
    if (parent.empty()) {
        parent = ".";
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        std::string beside = path + suffix;
        struct stat about;
        if (stat(beside.c_str(), &about) != 0) {
            if (access(parent.c_str(), W_OK) != 0) {
                struct stat folder;
                bool group_may = stat(parent.c_str(), &folder) == 0 &&
                                 (folder.st_mode & S_IWGRP) != 0 &&
                                 !user_in_group(me, folder.st_gid);
                throw StationError{
                    "cannot open the store " + path + ": this user (" + user_name(me) +
                    ") cannot make files in its folder " + parent + " (" + std::strerror(errno) +
                    "), and SQLite keeps two beside the store, for readers too (" + path +
                    "-wal, -shm)" +
                    (group_may ? ": add " + user_name(me) + " to the group " +
                                     group_name(folder.st_gid) + " (sudo adduser " + user_name(me) +
                                     " " + group_name(folder.st_gid) + "), then log in again"
                               : "")};
            }
            continue;
        }
        if (me != 0 && access(beside.c_str(), W_OK) != 0) {
            throw StationError{"the store's file " + beside + " belongs to user " +
                               user_name(about.st_uid) + " (mode " + mode_text(about.st_mode) +
                               "), and this user (" + user_name(me) +
                               ") may not write it, as SQLite needs: " +
                               (about.st_uid == me ? "chmod u+w " + beside
                                                   : std::string("while nothing has the store "
                                                                 "open, remove it or let a group "
                                                                 "of both users write it"))};
        }
    }
    if (me == 0 || store.st_uid == me || store.st_uid == 0) {
        return; // root writes whatever another makes, and gives what it makes away
    }
    struct stat folder;
    gid_t made_in = stat(parent.c_str(), &folder) == 0 && (folder.st_mode & S_ISGID) ? folder.st_gid
                                                                                     : getegid();
    bool owner_writes = (store.st_mode & S_IWOTH) ||
                        ((store.st_mode & S_IWGRP) && user_in_group(store.st_uid, made_in));
    if (!owner_writes) {
        throw StationError{"the store " + path + " belongs to user " + user_name(store.st_uid) +
                           ", who could not write the files that this user (" + user_name(me) +
                           ") would make beside it (" + path + "-wal, -shm) as group " +
                           group_name(made_in) + ", and " + user_name(store.st_uid) +
                           "'s station would fail: run this as " + user_name(store.st_uid) +
                           ", or let a group of both users write the store (chgrp " +
                           group_name(made_in) + " " + path + "; chmod g+w " + path + ")"};
    }
}

class SqliteStore : public SqlStore {
  public:
    SqliteStore(const std::string& path, Schema schema)
        : path_(path), read_only_(schema == Schema::read_only) {
        shown_ = path;
        if (!read_only_) {
            check_writable(path);
            make_for_the_line(path);
        }
        check_shared_files(path);
        int flags = read_only_ ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
        if (read_only_ && stat(path.c_str(), &opened_) != 0) {
            throw StationError{"cannot open the store " + path + ": " + std::strerror(errno)};
        }
        if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw StationError{"cannot open the store " + path + ": " + message};
        }
        // Another writer holds the store at most this long before a write
        // gives up (the round's writer then spools its records).
        wait_for_writers(true);
        try {
            if (read_only_) {
                execute("PRAGMA query_only=ON");
                check_version();
                read_id();
                return;
            }
            execute("PRAGMA journal_mode=WAL");
            execute("PRAGMA synchronous=FULL");
            execute("PRAGMA foreign_keys=ON");
            prepare_schema();
            read_id();
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
    }
    ~SqliteStore() override {
        sqlite3_close(db_);
        for (const auto& held : alive_) {
            close(held.second);
        }
        for (const auto& held : reading_) {
            close(held.second);
        }
    }

    void let_go_liveness(const std::string& station) override {
        let_go(alive_, station);
        let_go_reading_mark(station);
    }

  protected:
    bool try_liveness(const std::string& station) override {
        return try_lock(alive_, station, lock_path(station), "the station's lock");
    }
    bool try_reading_mark(const std::string& station) override {
        return try_lock(reading_, station, lock_path(station) + ".reading",
                        "the station's reading mark");
    }
    void let_go_reading_mark(const std::string& station) override {
        let_go(reading_, station);
    }

  private:
    // A file beside the store, in the store's folder: made by this user
    // (O_NOFOLLOW, so a link planted there is refused, not followed), and
    // refused when another user owns it, since that user could hold it.
    static bool try_lock(std::map<std::string, int>& held, const std::string& station,
                         const std::string& path, const char* what) {
        int fd = open_own_file(path, what);
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            return false;
        }
        // The entry is replaced, never erased: keep_liveness takes the lock
        // again while it walks these entries.
        auto was = held.find(station);
        if (was != held.end()) {
            close(was->second);
            was->second = fd;
        } else {
            held[station] = fd;
        }
        return true;
    }
    static void let_go(std::map<std::string, int>& held, const std::string& station) {
        auto lock = held.find(station);
        if (lock != held.end()) {
            close(lock->second);
            held.erase(lock);
        }
    }

  protected:
    Rows run(const std::string& sql, const std::vector<std::string>& values,
             int bytes_at) override {
        Rows rows;
        step(sql, values, bytes_at, [&rows](Row& row) { rows.push_back(std::move(row)); });
        return rows;
    }

    void each_row(const std::string& sql, const std::vector<std::string>& values,
                  const std::function<void(Row&)>& take) override {
        step(sql, values, 0, take);
    }

    // SQLite steps in the caller's thread: with a reader of its own the
    // next rows are read while `take` formats and writes these, which
    // brought a year's export near the pace of the plain query. Rows go
    // over in batches, two at most in memory.
    void each_row_ahead(const std::string& sql, const std::vector<std::string>& values,
                        const std::function<void(Row&)>& take) override {
        ReadAhead ahead;
        std::thread reader([&] {
            ahead.read([&](const std::function<void(Row&)>& put) { step(sql, values, 0, put); });
        });
        try {
            ahead.hand_over(take);
        } catch (...) {
            ahead.stop();
            reader.join();
            throw;
        }
        reader.join();
        ahead.rethrow();
    }

    long long changed() override {
        return sqlite3_changes(db_);
    }

    void script(const std::string& sql) override {
        execute(sql);
    }

    // Taken for writing at once, so that two writers never deadlock; only
    // while this command still holds its station's lock file.
    void begin() override {
        keep_liveness();
        execute("BEGIN IMMEDIATE");
    }
    void commit() override {
        execute("COMMIT");
    }
    void rollback() override {
        execute("ROLLBACK");
    }
    std::string for_update() const override {
        return "";
    }
    void wait_for_writers(bool wait) override {
        sqlite3_busy_timeout(db_, wait ? static_cast<int>(STORE_PATIENCE.count() * 1000) : 0);
    }

  private:
    // Prepares a statement, binds its values and steps through its rows.
    void step(const std::string& sql, const std::vector<std::string>& values, int bytes_at,
              const std::function<void(Row&)>& take) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            throw StationError{std::string("store: ") + sqlite3_errmsg(db_)};
        }
        std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> owned(statement, sqlite3_finalize);
        if (read_only_) {
            check_in_place();
        }
        for (size_t i = 0; i < values.size(); ++i) {
            // $1, $2, ...: named parameters to SQLite, found by their names.
            int index =
                sqlite3_bind_parameter_index(statement, ("$" + std::to_string(i + 1)).c_str());
            if (index == 0) {
                continue;
            }
            const std::string& v = values[i];
            static_cast<int>(i + 1) == bytes_at
                ? sqlite3_bind_blob(statement, index, v.data(), static_cast<int>(v.size()),
                                    SQLITE_TRANSIENT)
                : sqlite3_bind_text(statement, index, v.data(), static_cast<int>(v.size()),
                                    SQLITE_TRANSIENT);
        }
        int result;
        Row row;
        while ((result = sqlite3_step(statement)) == SQLITE_ROW) {
            // The row's strings kept from one row to the next (unless the
            // taker moved them away), so that a long read allocates nothing
            // per value.
            int columns = sqlite3_column_count(statement);
            row.resize(static_cast<size_t>(columns));
            for (int c = 0; c < columns; ++c) {
                const void* bytes = sqlite3_column_blob(statement, c);
                int size = sqlite3_column_bytes(statement, c);
                std::string& value = row[static_cast<size_t>(c)];
                if (bytes == nullptr) {
                    value.clear();
                } else {
                    value.assign(static_cast<const char*>(bytes), static_cast<size_t>(size));
                }
            }
            take(row);
        }
        if (result != SQLITE_DONE) {
            throw StationError{std::string("store: ") + sqlite3_errmsg(db_)};
        }
    }

    std::string lock_path(const std::string& station) const {
        std::filesystem::path store(path_);
        return (store.parent_path() / ("." + store.filename().string() + "." + station + ".alive"))
            .string();
    }

    // A lock file removed (or replaced) while held no longer keeps another
    // command of the station out: a new one is made and taken, or, when
    // another command holds it already, nothing more is written.
    void keep_liveness() {
        for (auto& [station, fd] : alive_) {
            struct stat held, named;
            std::string lock = lock_path(station);
            if (fstat(fd, &held) == 0 && lstat(lock.c_str(), &named) == 0 &&
                held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
                continue;
            }
            if (!try_liveness(station)) {
                throw StationError{"station " + station + " lost its lock on the store " + path_ +
                                   " (its lock file was removed) to another command"};
            }
        }
    }

    void execute(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw StationError{"store: " + message};
        }
    }

    // A reader holds the file it opened, wherever it is moved: one that is
    // no longer at its path (moved, removed, replaced) is a store lost.
    void check_in_place() const {
        struct stat now;
        if (stat(path_.c_str(), &now) != 0 || now.st_dev != opened_.st_dev ||
            now.st_ino != opened_.st_ino) {
            throw StationError{"the store " + path_ + " is no longer there (moved or removed)"};
        }
    }

    // The schema's version; a newer one is refused, and so, where nothing
    // may be written, is an older one.
    long long check_version() {
        long long found = std::stoll(run("PRAGMA user_version", {}, 0)[0][0]);
        if (found > SCHEMA_VERSION) {
            throw StationError{"the store " + path_ + " has schema version " +
                               std::to_string(found) + ", newer than this station's " +
                               std::to_string(SCHEMA_VERSION) + ": update the station"};
        }
        if (read_only_ && found < SCHEMA_VERSION) {
            throw StationError{"the store " + path_ + " has " +
                               (found == 0 ? std::string("no schema") : "an older schema") +
                               ": run `station init`"};
        }
        return found;
    }

    void prepare_schema() {
        long long found = check_version();
        if (found < SCHEMA_VERSION) {
            begin();
            try {
                make_or_upgrade(static_cast<int>(found),
                                {"BLOB", "INTEGER", "INTEGER PRIMARY KEY"});
                execute("PRAGMA user_version = " + std::to_string(SCHEMA_VERSION));
            } catch (...) {
                sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
            commit();
        }
    }

    std::string path_;
    bool read_only_;
    struct stat opened_ = {}; // the file a reader opened
    sqlite3* db_ = nullptr;
    std::map<std::string, int> alive_;   // station -> its held lock file
    std::map<std::string, int> reading_; // station -> its held reading mark
};

} // namespace

std::unique_ptr<Store> open_sqlite_store(const std::string& path, Schema schema) {
    return std::make_unique<SqliteStore>(path, schema);
}
