// The store in PostgreSQL, for many stations on one record: the same schema
// and rules as the SQLite store, the duplicate refusal by the same unique key
// across stations, one transaction per claim.
#include "station/store.h"

#include "station/store_engines.h"

#include <libpq-fe.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <poll.h>

namespace {

typedef std::unique_ptr<PGresult, void (*)(PGresult*)> Result;

// The longest a statement may go unanswered.
constexpr std::chrono::seconds STATEMENT_PATIENCE(10);

int from_hex(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

class PgStore : public Store {
  public:
    PgStore(const std::string& location, bool initialise) : shown_(shown_location(location)) {
        connection_ = connect(location);
        if (PQstatus(connection_) != CONNECTION_OK) {
            std::string message = PQerrorMessage(connection_);
            PQfinish(connection_);
            throw StationError{"cannot reach the store " + shown_ + ": " + trimmed(message)};
        }
        PQsetnonblocking(connection_, 1);
        PQsetNoticeProcessor(
            connection_, [](void*, const char*) {}, nullptr);
        try {
            prepare_schema(initialise);
        } catch (...) {
            PQfinish(connection_);
            throw;
        }
    }
    ~PgStore() override {
        PQfinish(connection_);
    }

    // A session lock per station name: it lives exactly as long as this
    // connection, so a station on any machine counts as alive while its
    // connection lives and as dead the moment it dies.
    bool hold_liveness(const std::string& station) override {
        Result r = run("SELECT pg_try_advisory_lock($1, hashtext($2))", {LIVENESS_LOCKS, station});
        liveness_ = text(r, 0, 0) == "t" ? station : "";
        return !liveness_.empty();
    }

    std::optional<Profile> locked_profile(const std::string& station) override {
        Result r = run("SELECT id, board_data_sha256, otp_sha256, firmware_sha256, otp_address, "
                       "locked FROM profiles WHERE station = $1",
                       {station});
        if (PQntuples(r.get()) == 0) {
            return std::nullopt;
        }
        return Profile{text(r, 0, 0), text(r, 0, 1), text(r, 0, 2),
                       text(r, 0, 3), text(r, 0, 4), text(r, 0, 5)};
    }

    void lock_profile(const std::string& station, const Profile& p) override {
        run("INSERT INTO profiles VALUES ($1, $2, $3, $4, $5, $6, $7) ON CONFLICT (station) "
            "DO UPDATE SET id = $2, board_data_sha256 = $3, otp_sha256 = $4, "
            "firmware_sha256 = $5, otp_address = $6, locked = $7",
            {station, p.id, p.board_data_sha256, p.otp_sha256, p.firmware_sha256, p.otp_address,
             p.locked});
    }

    std::string claim_and_start(Record& r) override {
        std::string refusal;
        transaction([&] {
            Result earlier = run("SELECT count(*) FROM records WHERE mac = $1", {r.mac});
            r.attempt = std::stoi(text(earlier, 0, 0)) + 1;
            insert_record(r);
            // A rework moves a passed claim on; any other claim is a new row,
            // which the primary key refuses when another station holds it.
            if (r.rework && changed(run("UPDATE claims SET record = $1, state = 'running' "
                                        "WHERE mac = $2 AND state = 'passed'",
                                        {r.id, r.mac}))) {
                return true;
            }
            if (!changed(run("INSERT INTO claims VALUES ($1, $2, 'running') "
                             "ON CONFLICT (mac) DO NOTHING",
                             {r.mac, r.id}))) {
                refusal = why_claimed(r.mac);
                return false;
            }
            return true;
        });
        return refusal;
    }

    void finish(const Record& r) override {
        transaction([&] {
            // Finished once: a record delivered again changes nothing.
            if (changed(run("UPDATE records SET ended = $1, outcome = $2, stage = $3, "
                            "message = $4, frames = $5, exit_status = $6, transcript = $7 "
                            "WHERE id = $8 AND outcome IN ('started', 'interrupted')",
                            {r.ended, r.outcome, r.stage, r.message, std::to_string(r.frames),
                             r.exit_status, r.transcript, r.id},
                            7))) {
                settle_claim(r.id, r.mac, r.outcome == "passed");
            }
            return true;
        });
    }

    std::vector<Record> started_records(const std::string& station) override {
        return rows(run(std::string("SELECT ") + RECORD_FIELDS +
                            ", encode(transcript, 'hex') FROM records WHERE station = $1 AND "
                            "outcome = 'started' ORDER BY started, fixture",
                        {station}));
    }

    std::vector<Record> records(const RecordFilter& f) override {
        Result r = run(std::string("SELECT ") + RECORD_FIELDS +
                           (f.with_transcripts ? ", encode(transcript, 'hex')" : ", ''") +
                           " FROM records WHERE ($1 = '' OR station = $1) AND "
                           "($2 = '' OR mac = $2) AND ($3 = '' OR started >= $3) AND "
                           "($4 = '' OR round = $4) ORDER BY started, fixture",
                       {f.station, f.mac, f.since, f.round});
        return rows(r);
    }

    std::string last_round(const std::string& station) override {
        Result r = run("SELECT round FROM records WHERE station = $1 ORDER BY started DESC LIMIT 1",
                       {station});
        return PQntuples(r.get()) > 0 ? text(r, 0, 0) : "";
    }

  private:
    // The first key of the stations' liveness locks (the second is the
    // station's name hashed); the schema's lock is a key of the other form.
    static constexpr const char* LIVENESS_LOCKS = "7407";

    // A connection that gives up on a server that does not answer: 10 s to
    // connect, and TCP keepalives, so that a peer gone from the network is
    // noticed; the location's own settings come last and win.
    static PGconn* connect(const std::string& location) {
        const char* keys[] = {"connect_timeout",
                              "keepalives",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "dbname",
                              nullptr};
        const char* values[] = {"10", "1", "10", "5", "3", location.c_str(), nullptr};
        return PQconnectdbParams(keys, values, 1);
    }

    // Records from a query that selects RECORD_FIELDS and the transcript as
    // hexadecimal.
    static std::vector<Record> rows(const Result& r) {
        std::vector<Record> found;
        for (int i = 0; i < PQntuples(r.get()); ++i) {
            std::vector<std::string> values;
            for (int column = 0; column < 22; ++column) {
                values.push_back(text(r, i, column));
            }
            std::string hex = text(r, i, 22), transcript;
            for (size_t k = 0; k + 1 < hex.size(); k += 2) {
                transcript.push_back(
                    static_cast<char>(from_hex(hex[k]) * 16 + from_hex(hex[k + 1])));
            }
            values.push_back(transcript);
            found.push_back(record_from_values(values));
        }
        return found;
    }

    static std::string trimmed(std::string text) {
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.pop_back();
        }
        return text;
    }

    static std::string text(const Result& r, int row, int column) {
        return std::string(PQgetvalue(r.get(), row, column),
                           static_cast<size_t>(PQgetlength(r.get(), row, column)));
    }

    static bool changed(const Result& r) {
        const char* count = PQcmdTuples(r.get());
        return count[0] != 0 && count[0] != '0';
    }

    // Runs one statement with text parameters (the one at `binary`, counted
    // from 1, goes as bytes). A lost connection is tried again once; a store
    // that stays away, or a refused statement, is a StationError.
    Result run(const std::string& sql, const std::vector<std::string>& values, int binary = 0) {
        Result result = exchange(sql, values, binary);
        ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            return result;
        }
        if (PQstatus(connection_) == CONNECTION_BAD) {
            throw StationError{"the store " + shown_ +
                               " is unreachable: " + trimmed(PQerrorMessage(connection_))};
        }
        throw StationError{"store: " + trimmed(PQresultErrorMessage(result.get()))};
    }

    // Sends one statement (several, without values) and takes its result,
    // waiting at most STATEMENT_PATIENCE in all: a server that stops
    // answering (stopped, or cut off without a word) fails the statement
    // instead of holding the station, and the connection is given up.
    Result exchange(const std::string& sql, const std::vector<std::string>& values, int binary) {
        if (gone_) {
            throw StationError{"the store " + shown_ + " stopped answering"};
        }
        std::vector<const char*> pointers;
        std::vector<int> lengths, formats;
        for (size_t i = 0; i < values.size(); ++i) {
            pointers.push_back(values[i].data());
            lengths.push_back(static_cast<int>(values[i].size()));
            formats.push_back(static_cast<int>(i + 1) == binary ? 1 : 0);
        }
        int sent =
            values.empty()
                ? PQsendQuery(connection_, sql.c_str())
                : PQsendQueryParams(connection_, sql.c_str(), static_cast<int>(values.size()),
                                    nullptr, pointers.data(), lengths.data(), formats.data(), 0);
        Result last(nullptr, PQclear);
        if (!sent) {
            return last;
        }
        auto deadline = std::chrono::steady_clock::now() + STATEMENT_PATIENCE;
        int flushed;
        while ((flushed = PQflush(connection_)) == 1) {
            await(POLLIN | POLLOUT, deadline);
            PQconsumeInput(connection_);
        }
        for (;;) {
            while (flushed == 0 && PQisBusy(connection_)) {
                await(POLLIN, deadline);
                if (!PQconsumeInput(connection_)) {
                    break;
                }
            }
            PGresult* next = PQgetResult(connection_);
            if (next == nullptr) {
                return last;
            }
            last.reset(next);
        }
    }

    void await(short events, std::chrono::steady_clock::time_point deadline) {
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                gone_ = true;
                throw StationError{"the store " + shown_ + " did not answer in " +
                                   std::to_string(STATEMENT_PATIENCE.count()) + " s"};
            }
            pollfd entry{PQsocket(connection_), events, 0};
            int ready = poll(&entry, 1, static_cast<int>(left.count()));
            if (ready > 0 || (ready < 0 && errno != EINTR)) {
                return;
            }
        }
    }

    // Runs `work` in one transaction; it returns false to roll back.
    void transaction(const std::function<bool()>& work) {
        if (PQstatus(connection_) == CONNECTION_BAD) {
            PQreset(connection_);
            PQsetnonblocking(connection_, 1);
            // The liveness lock went with the old connection.
            if (!liveness_.empty() && !hold_liveness(liveness_)) {
                throw StationError{"station " + liveness_ +
                                   " lost its lock on the store to another command"};
            }
        }
        run("BEGIN", {});
        bool commit = false;
        try {
            commit = work();
        } catch (...) {
            try {
                run("ROLLBACK", {});
            } catch (const StationError&) {
                // gone: the server ends the transaction with the connection
            }
            throw;
        }
        run(commit ? "COMMIT" : "ROLLBACK", {});
    }

    void prepare_schema(bool initialise) {
        Result exists = run("SELECT to_regclass('schema_version') IS NOT NULL", {});
        int found = 0;
        if (text(exists, 0, 0) == "t") {
            Result version = run("SELECT max(version) FROM schema_version", {});
            std::string value = text(version, 0, 0);
            found = value.empty() ? 0 : std::stoi(value);
        }
        if (found > SCHEMA_VERSION) {
            throw StationError{"the store " + shown_ + " has schema version " +
                               std::to_string(found) + ", newer than this station's " +
                               std::to_string(SCHEMA_VERSION) +
                               ": update the station before it writes there"};
        }
        if (found == SCHEMA_VERSION) {
            return;
        }
        if (!initialise) {
            throw StationError{"the store " + shown_ + " has " +
                               (found == 0 ? std::string("no schema") : "an older schema") +
                               ": run `station init`"};
        }
        transaction([&] {
            // One station creates or upgrades it at a time.
            run("SELECT pg_advisory_xact_lock(7406)", {});
            run("SET client_min_messages = warning", {});
            run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL);" +
                    store_schema("BYTEA", "BIGINT"),
                {});
            run("DELETE FROM schema_version", {});
            run("INSERT INTO schema_version VALUES ($1)", {std::to_string(SCHEMA_VERSION)});
            return true;
        });
    }

    void insert_record(const Record& r) {
        run(std::string("INSERT INTO records (") + RECORD_FIELDS +
                ", transcript) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12, $13, "
                "$14, $15, $16, $17, $18, $19, $20, $21, $22, $23)",
            {r.id,
             r.station,
             r.fixture,
             r.port,
             r.device,
             r.mac,
             r.profile,
             r.board_data_sha256,
             r.otp_sha256,
             r.firmware_sha256,
             r.otp_address,
             r.host_version,
             std::to_string(r.attempt),
             r.rework ? "1" : "0",
             r.started,
             r.ended,
             r.outcome,
             r.stage,
             r.message,
             std::to_string(r.frames),
             r.exit_status,
             r.round,
             r.transcript},
            23);
    }

    // As in the SQLite store: a passed board keeps its MAC; any other end
    // frees it, or gives it back to the board's last passed record.
    void settle_claim(const std::string& record, const std::string& mac, bool passed) {
        if (passed) {
            if (!changed(run("UPDATE claims SET state = 'passed' WHERE record = $1", {record}))) {
                run("INSERT INTO claims VALUES ($1, $2, 'passed') ON CONFLICT (mac) DO NOTHING",
                    {mac, record});
            }
            return;
        }
        Result last = run("SELECT p.id FROM records r JOIN records p ON p.mac = r.mac "
                          "WHERE r.id = $1 AND p.outcome = 'passed' "
                          "ORDER BY p.started DESC LIMIT 1",
                          {record});
        if (PQntuples(last.get()) > 0) {
            run("UPDATE claims SET state = 'passed', record = $1 WHERE record = $2",
                {text(last, 0, 0), record});
        } else {
            run("DELETE FROM claims WHERE record = $1", {record});
        }
    }

    std::string why_claimed(const std::string& mac) {
        Result r = run("SELECT c.state, r.station, r.fixture, r.started, r.ended FROM claims c "
                       "JOIN records r ON r.id = c.record WHERE c.mac = $1",
                       {mac});
        if (PQntuples(r.get()) == 0) {
            return "MAC " + mac + " is claimed";
        }
        if (text(r, 0, 0) == "passed") {
            return "MAC " + mac + " was programmed on station " + text(r, 0, 1) + ", fixture " +
                   text(r, 0, 2) + ", at " + text(r, 0, 4) + " (--rework to program it again)";
        }
        return "MAC " + mac + " is being programmed on station " + text(r, 0, 1) + ", fixture " +
               text(r, 0, 2) + ", since " + text(r, 0, 3);
    }

    std::string shown_; // the location without its password, for messages
    PGconn* connection_ = nullptr;
    std::string liveness_; // the station whose lock this connection holds
    bool gone_ = false;    // a statement went unanswered: nothing more is sent
};

} // namespace

std::unique_ptr<Store> open_pg_store(const std::string& location, bool initialise) {
    return std::make_unique<PgStore>(location, initialise);
}
