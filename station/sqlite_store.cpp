// The store in a SQLite file: WAL, full synchronous commits, a versioned
// schema, and a table of claimed MACs whose primary key refuses a duplicate.
#include "station/store.h"

#include "station/store_engines.h"

#include <sqlite3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class Statement {
  public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr) != SQLITE_OK) {
            throw StationError{std::string("store: ") + sqlite3_errmsg(db)};
        }
    }
    ~Statement() {
        sqlite3_finalize(statement_);
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, const std::string& text) {
        sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, long long number) {
        sqlite3_bind_int64(statement_, index, number);
        return *this;
    }
    // True while a row is there.
    bool step() {
        int result = sqlite3_step(statement_);
        if (result == SQLITE_ROW) {
            return true;
        }
        if (result != SQLITE_DONE) {
            throw StationError{std::string("store: ") + sqlite3_errmsg(db_)};
        }
        return false;
    }
    std::string text(int column) const {
        const void* bytes = sqlite3_column_blob(statement_, column);
        int size = sqlite3_column_bytes(statement_, column);
        return bytes == nullptr ? "" : std::string(static_cast<const char*>(bytes), size);
    }
    long long number(int column) const {
        return sqlite3_column_int64(statement_, column);
    }

  private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

class SqliteStore : public Store {
  public:
    explicit SqliteStore(const std::string& path) : path_(path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                            nullptr) != SQLITE_OK) {
            std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
            sqlite3_close(db_);
            throw StationError{"cannot open the store " + path + ": " + message};
        }
        sqlite3_busy_timeout(db_, 10000);
        try {
            execute("PRAGMA journal_mode=WAL");
            execute("PRAGMA synchronous=FULL");
            execute("PRAGMA foreign_keys=ON");
            prepare_schema(path);
        } catch (...) {
            sqlite3_close(db_);
            throw;
        }
    }
    ~SqliteStore() override {
        sqlite3_close(db_);
        if (alive_ >= 0) {
            close(alive_);
        }
    }

    // A file beside the store, in the store's folder: made by this user
    // (O_NOFOLLOW, so a link planted there is refused, not followed), and
    // refused when another user owns it, since that user could hold it.
    bool hold_liveness(const std::string& station) override {
        namespace fs = std::filesystem;
        fs::path store(path_);
        fs::path lock =
            store.parent_path() / ("." + store.filename().string() + "." + station + ".alive");
        alive_ = open(lock.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (alive_ < 0) {
            throw StationError{"cannot open the station's lock " + lock.string() + ": " +
                               std::strerror(errno)};
        }
        struct stat about;
        if (fstat(alive_, &about) != 0 || !S_ISREG(about.st_mode) || about.st_uid != geteuid()) {
            throw StationError{"the station's lock " + lock.string() +
                               " is not a file of this user: remove it"};
        }
        return flock(alive_, LOCK_EX | LOCK_NB) == 0;
    }

    std::optional<Profile> locked_profile(const std::string& station) override {
        Statement s(db_, "SELECT id, board_data_sha256, otp_sha256, firmware_sha256, "
                         "otp_address, locked FROM profiles WHERE station = ?");
        s.bind(1, station);
        if (!s.step()) {
            return std::nullopt;
        }
        return Profile{s.text(0), s.text(1), s.text(2), s.text(3), s.text(4), s.text(5)};
    }

    void lock_profile(const std::string& station, const Profile& p) override {
        Statement s(db_, "INSERT OR REPLACE INTO profiles VALUES (?, ?, ?, ?, ?, ?, ?)");
        s.bind(1, station).bind(2, p.id).bind(3, p.board_data_sha256).bind(4, p.otp_sha256);
        s.bind(5, p.firmware_sha256).bind(6, p.otp_address).bind(7, p.locked).step();
    }

    std::string claim_and_start(Record& r) override {
        std::string refusal;
        transaction([&] {
            Statement earlier(db_, "SELECT count(*) FROM records WHERE mac = ?");
            earlier.bind(1, r.mac).step();
            r.attempt = static_cast<int>(earlier.number(0)) + 1;
            // A rework moves a passed claim on to the new record; any other
            // claim is a new row, which the primary key refuses if the MAC
            // is claimed already.
            if (r.rework) {
                Statement move(db_, "UPDATE claims SET record = ?, state = 'running' "
                                    "WHERE mac = ? AND state = 'passed'");
                move.bind(1, r.id).bind(2, r.mac);
                insert_record(r);
                move.step();
            } else {
                insert_record(r);
            }
            if (sqlite3_changes(db_) == 1 && r.rework) {
                return;
            }
            Statement claim(db_, "INSERT INTO claims VALUES (?, ?, 'running') "
                                 "ON CONFLICT (mac) DO NOTHING");
            claim.bind(1, r.mac).bind(2, r.id).step();
            if (sqlite3_changes(db_) == 0) {
                refusal = why_claimed(r.mac);
                throw Rollback{};
            }
        });
        return refusal;
    }

    void finish(const Record& r) override {
        transaction([&] {
            Statement s(db_, "UPDATE records SET ended = ?, outcome = ?, stage = ?, message = ?, "
                             "frames = ?, exit_status = ?, transcript = ? "
                             "WHERE id = ? AND outcome IN ('started', 'interrupted')");
            s.bind(1, r.ended).bind(2, r.outcome).bind(3, r.stage).bind(4, r.message);
            s.bind(5, r.frames).bind(6, r.exit_status).bind(7, r.transcript).bind(8, r.id).step();
            // Finished once: a record delivered again changes nothing.
            if (sqlite3_changes(db_) == 1) {
                settle_claim(r.id, r.mac, r.outcome == "passed");
            }
        });
    }

    std::vector<Record> started_records(const std::string& station) override {
        Statement s(db_, std::string("SELECT ") + RECORD_FIELDS +
                             ", transcript FROM records WHERE station = ? AND outcome = 'started' "
                             "ORDER BY started, fixture");
        s.bind(1, station);
        return rows(s);
    }

    std::vector<Record> records(const RecordFilter& f) override {
        std::string sql = std::string("SELECT ") + RECORD_FIELDS +
                          (f.with_transcripts ? ", transcript" : ", ''") +
                          " FROM records WHERE (? = '' OR station = ?) AND (? = '' OR mac = ?) "
                          "AND (? = '' OR started >= ?) AND (? = '' OR round = ?) "
                          "ORDER BY started, fixture";
        Statement s(db_, sql);
        s.bind(1, f.station).bind(2, f.station).bind(3, f.mac).bind(4, f.mac);
        s.bind(5, f.since).bind(6, f.since).bind(7, f.round).bind(8, f.round);
        return rows(s);
    }

    std::string last_round(const std::string& station) override {
        Statement s(db_, "SELECT round FROM records WHERE station = ? "
                         "ORDER BY started DESC LIMIT 1");
        s.bind(1, station);
        return s.step() ? s.text(0) : "";
    }

  private:
    struct Rollback {};

    // Records from a statement that selects RECORD_FIELDS and the transcript.
    static std::vector<Record> rows(Statement& s) {
        std::vector<Record> found;
        while (s.step()) {
            std::vector<std::string> values;
            for (int column = 0; column <= 22; ++column) {
                values.push_back(s.text(column));
            }
            found.push_back(record_from_values(values));
        }
        return found;
    }

    void execute(const char* sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : "unknown error";
            sqlite3_free(error);
            throw StationError{std::string("store: ") + message};
        }
    }

    // Runs `work` in one transaction, taken for writing at once; a Rollback
    // or any fault undoes it.
    void transaction(const std::function<void()>& work) {
        execute("BEGIN IMMEDIATE");
        try {
            work();
        } catch (const Rollback&) {
            execute("ROLLBACK");
            return;
        } catch (...) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            throw;
        }
        execute("COMMIT");
    }

    void prepare_schema(const std::string& path) {
        Statement version(db_, "PRAGMA user_version");
        version.step();
        long long found = version.number(0);
        if (found > SCHEMA_VERSION) {
            throw StationError{"the store " + path + " has schema version " +
                               std::to_string(found) + ", newer than this station's " +
                               std::to_string(SCHEMA_VERSION) + ": update the station"};
        }
        if (found < SCHEMA_VERSION) {
            transaction([&] {
                execute(store_schema("BLOB", "INTEGER").c_str());
                execute(("PRAGMA user_version = " + std::to_string(SCHEMA_VERSION)).c_str());
            });
        }
    }

    void insert_record(const Record& r) {
        Statement s(db_, std::string("INSERT INTO records (") + RECORD_FIELDS +
                             ", transcript) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                             "?, ?, ?, ?, ?, ?, ?, ?, ?)");
        s.bind(1, r.id).bind(2, r.station).bind(3, r.fixture).bind(4, r.port).bind(5, r.device);
        s.bind(6, r.mac).bind(7, r.profile).bind(8, r.board_data_sha256).bind(9, r.otp_sha256);
        s.bind(10, r.firmware_sha256).bind(11, r.otp_address).bind(12, r.host_version);
        s.bind(13, static_cast<long long>(r.attempt)).bind(14, r.rework ? 1LL : 0LL);
        s.bind(15, r.started).bind(16, r.ended).bind(17, r.outcome).bind(18, r.stage);
        s.bind(19, r.message).bind(20, static_cast<long long>(r.frames)).bind(21, r.exit_status);
        s.bind(22, r.round).bind(23, r.transcript).step();
    }

    // A passed board keeps its MAC claimed. Any other end frees the MAC, or,
    // after a failed rework, gives the claim back to the board's last passed
    // record: a board that passed once is never taken as new.
    // A passed record whose claim was freed (it was marked interrupted
    // before its true end arrived) claims its MAC again, unless another
    // board holds it now.
    void settle_claim(const std::string& record, const std::string& mac, bool passed) {
        if (passed) {
            Statement s(db_, "UPDATE claims SET state = 'passed' WHERE record = ?");
            s.bind(1, record).step();
            if (sqlite3_changes(db_) == 0) {
                Statement again(db_, "INSERT INTO claims VALUES (?, ?, 'passed') "
                                     "ON CONFLICT (mac) DO NOTHING");
                again.bind(1, mac).bind(2, record).step();
            }
            return;
        }
        Statement last(db_, "SELECT p.id FROM records r JOIN records p ON p.mac = r.mac "
                            "WHERE r.id = ? AND p.outcome = 'passed' "
                            "ORDER BY p.started DESC LIMIT 1");
        last.bind(1, record);
        if (last.step()) {
            Statement s(db_, "UPDATE claims SET state = 'passed', record = ? WHERE record = ?");
            s.bind(1, last.text(0)).bind(2, record).step();
        } else {
            Statement s(db_, "DELETE FROM claims WHERE record = ?");
            s.bind(1, record).step();
        }
    }

    std::string why_claimed(const std::string& mac) {
        Statement s(db_, "SELECT c.state, r.station, r.fixture, r.started, r.ended "
                         "FROM claims c JOIN records r ON r.id = c.record WHERE c.mac = ?");
        s.bind(1, mac);
        if (!s.step()) {
            return "MAC " + mac + " is claimed";
        }
        if (s.text(0) == "passed") {
            return "MAC " + mac + " was programmed on station " + s.text(1) + ", fixture " +
                   s.text(2) + ", at " + s.text(4) + " (--rework to program it again)";
        }
        return "MAC " + mac + " is being programmed on station " + s.text(1) + ", fixture " +
               s.text(2) + ", since " + s.text(3);
    }

    std::string path_;
    sqlite3* db_ = nullptr;
    int alive_ = -1;
};

} // namespace

std::unique_ptr<Store> open_sqlite_store(const std::string& path) {
    return std::make_unique<SqliteStore>(path);
}
