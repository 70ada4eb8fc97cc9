// The store in PostgreSQL, for many stations on one record: the same schema
// and claim rules as the SQLite store; a versioned schema that `station
// init` makes; the station's liveness lock as a session lock; no statement
// waited on longer than 10 s.
#include "station/store.h"

#include "station/store_engines.h"

#include <libpq-fe.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <poll.h>

namespace {

typedef std::unique_ptr<PGresult, void (*)(PGresult*)> Result;

// The longest a statement may go unanswered.
constexpr std::chrono::seconds STATEMENT_PATIENCE(10);
// PostgreSQL's type of a bytes column.
constexpr Oid BYTEA_TYPE = 17;
// The first key of the stations' liveness locks (the second is the
// station's name hashed); the schema's lock is a key of the other form.
const char LIVENESS_LOCKS[] = "7407";

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// A connection that gives up on a server that does not answer: 10 s to
// connect, and TCP keepalives, so that a peer gone from the network is
// noticed; the location's own settings come last and win.
PGconn* connect(const std::string& location) {
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

class PgStore : public SqlStore {
  public:
    PgStore(const std::string& location, Schema schema) : shown_(shown_location(location)) {
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
            prepare_schema(schema);
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
        Rows rows = run("SELECT pg_try_advisory_lock($1, hashtext($2))", {LIVENESS_LOCKS, station});
        liveness_ = rows[0][0] == "t" ? station : "";
        return !liveness_.empty();
    }

  protected:
    // A lost connection is tried again once; a store that stays away, or a
    // refused statement, is a StationError.
    Rows run(const std::string& sql, const std::vector<std::string>& values,
             int bytes_at = 0) override {
        Result result = exchange(sql, values, bytes_at);
        ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            if (PQstatus(connection_) == CONNECTION_BAD) {
                throw StationError{"the store " + shown_ +
                                   " is unreachable: " + trimmed(PQerrorMessage(connection_))};
            }
            throw StationError{"store: " + trimmed(PQresultErrorMessage(result.get()))};
        }
        const char* count = PQcmdTuples(result.get());
        changed_ = count[0] ? std::stoll(count) : 0;
        Rows rows;
        for (int i = 0; i < PQntuples(result.get()); ++i) {
            std::vector<std::string> row;
            for (int c = 0; c < PQnfields(result.get()); ++c) {
                row.push_back(value(result, i, c));
            }
            rows.push_back(std::move(row));
        }
        return rows;
    }

    long long changed() override {
        return changed_;
    }

    void begin() override {
        if (PQstatus(connection_) == CONNECTION_BAD && !gone_) {
            PQreset(connection_);
            PQsetnonblocking(connection_, 1);
            // The liveness lock went with the old connection.
            if (!liveness_.empty() && !hold_liveness(liveness_)) {
                throw StationError{"station " + liveness_ +
                                   " lost its lock on the store to another command"};
            }
        }
        run("BEGIN", {});
    }
    void commit() override {
        run("COMMIT", {});
    }
    void rollback() override {
        run("ROLLBACK", {});
    }
    std::string for_update() const override {
        return " FOR UPDATE";
    }

  private:
    // A column as text; bytes as their raw bytes.
    static std::string value(const Result& r, int row, int column) {
        const char* text = PQgetvalue(r.get(), row, column);
        if (PQftype(r.get(), column) != BYTEA_TYPE) {
            return std::string(text, static_cast<size_t>(PQgetlength(r.get(), row, column)));
        }
        size_t size = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
        std::string raw(reinterpret_cast<const char*>(bytes), size);
        PQfreemem(bytes);
        return raw;
    }

    // Sends one statement (several, without values) and takes its result,
    // waiting at most STATEMENT_PATIENCE in all: a server that stops
    // answering (stopped, or cut off without a word) fails the statement
    // instead of holding the station, and the connection is given up.
    Result exchange(const std::string& sql, const std::vector<std::string>& values, int bytes_at) {
        if (gone_) {
            throw StationError{"the store " + shown_ + " stopped answering"};
        }
        std::vector<const char*> pointers;
        std::vector<int> lengths, formats;
        for (size_t i = 0; i < values.size(); ++i) {
            pointers.push_back(values[i].data());
            lengths.push_back(static_cast<int>(values[i].size()));
            formats.push_back(static_cast<int>(i + 1) == bytes_at ? 1 : 0);
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

    void prepare_schema(Schema schema) {
        int found = 0;
        if (run("SELECT to_regclass('schema_version') IS NOT NULL", {})[0][0] == "t") {
            std::string version = run("SELECT max(version) FROM schema_version", {})[0][0];
            found = version.empty() ? 0 : std::stoi(version);
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
        if (schema != Schema::make_or_upgrade) {
            throw StationError{"the store " + shown_ + " has " +
                               (found == 0 ? std::string("no schema") : "an older schema") +
                               ": run `station init`"};
        }
        begin();
        try {
            // One station creates or upgrades it at a time.
            run("SELECT pg_advisory_xact_lock(7406)", {});
            run("SET client_min_messages = warning", {});
            run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL);" +
                    store_schema("BYTEA", "BIGINT"),
                {});
            run("DELETE FROM schema_version", {});
            run("INSERT INTO schema_version VALUES ($1)", {std::to_string(SCHEMA_VERSION)});
        } catch (...) {
            try {
                rollback();
            } catch (const StationError&) {
                // gone: the server ends the transaction with the connection
            }
            throw;
        }
        commit();
    }

    std::string shown_; // the location without its password, for messages
    PGconn* connection_ = nullptr;
    std::string liveness_; // the station whose lock this connection holds
    bool gone_ = false;    // a statement went unanswered: nothing more is sent
    long long changed_ = 0;
};

} // namespace

std::unique_ptr<Store> open_pg_store(const std::string& location, Schema schema) {
    return std::make_unique<PgStore>(location, schema);
}
