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
#include <regex>
#include <set>
#include <vector>

namespace {

// A connection text as libpq reads it: how messages show it, and the
// secrets (passwords as written and as read) that no message may hold.
struct Reading {
    bool readable = false;
    std::string shown;
    std::vector<std::string> secrets;
};

// Whether libpq's option is a secret: it marks them for display with "*".
bool secret(const PQconninfoOption& option) {
    return option.dispchar != nullptr && option.dispchar[0] == '*';
}

// A value as libpq's keyword form takes it.
std::string quoted(const std::string& value) {
    if (!value.empty() && value.find_first_of(" \t\n'\\") == std::string::npos) {
        return value;
    }
    std::string text = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') {
            text += '\\';
        }
        text += c;
    }
    return text + "'";
}

// libpq's words about a text it could not read, every quoted part that is
// not one of its keywords masked: it quotes the text itself.
std::string masked_quotes(const std::string& message) {
    std::set<std::string> keywords;
    std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> defaults(PQconndefaults(),
                                                                            PQconninfoFree);
    for (const PQconninfoOption* o = defaults.get(); o && o->keyword; ++o) {
        keywords.insert(o->keyword);
    }
    static const std::regex quote("\"([^\"]*)\"");
    std::string masked;
    auto begin = std::sregex_iterator(message.begin(), message.end(), quote);
    size_t done = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        std::string inside = m[1].str();
        masked += message.substr(done, static_cast<size_t>(m.position(0)) - done);
        masked += keywords.count(inside) || inside.size() <= 1 ? m.str(0) : "\"***\"";
        done = static_cast<size_t>(m.position(0) + m.length(0));
    }
    masked += message.substr(done);
    while (!masked.empty() && (masked.back() == '\n' || masked.back() == ' ')) {
        masked.pop_back();
    }
    return masked;
}

// The password of a URI as written: libpq takes the text after "://" up to
// the first '@' as user and password, unless a '/' comes first.
std::string written_uri_password(const std::string& location, bool& misread) {
    size_t start = location.find("://");
    misread = false;
    if (start == std::string::npos) {
        return "";
    }
    start += 3;
    size_t stop = location.find_first_of("@/", start);
    if (stop == std::string::npos) {
        return "";
    }
    if (location[stop] == '/') {
        // An '@' past the '/', before any parameter: a password that holds
        // a '/' the URI did not encode, which libpq reads as host and port.
        size_t at = location.find('@', stop);
        misread = at != std::string::npos && at < location.find('?', stop);
        return misread ? location.substr(start, at - start) : "";
    }
    size_t colon = location.find(':', start);
    return colon < stop ? location.substr(colon + 1, stop - colon - 1) : "";
}

// Passwords as written after "password=" (a keyword, or a URI's parameter).
std::vector<std::string> written_passwords(const std::string& location) {
    static const std::regex written(
        R"((?:^|[\s?&])(?:ssl)?password\s*=\s*('(?:[^'\\]|\\.)*'|[^\s&]*))", std::regex::icase);
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(location.begin(), location.end(), written);
         it != std::sregex_iterator(); ++it) {
        std::string value = (*it)[1].str();
        if (value.size() >= 2 && value.front() == '\'') {
            value = value.substr(1, value.size() - 2);
        }
        found.push_back(value);
    }
    return found;
}

Reading read_connection(const std::string& location) {
    Reading reading;
    bool misread = false;
    std::string uri_password = written_uri_password(location, misread);
    if (misread) {
        reading.shown = "(connection string not shown: an '@' after the first '/' of its URI; a "
                        "password that holds '/' is written %2F)";
        return reading;
    }
    char* error = nullptr;
    std::unique_ptr<PQconninfoOption, void (*)(PQconninfoOption*)> options(
        PQconninfoParse(location.c_str(), &error), PQconninfoFree);
    if (!options) {
        std::string why = error ? masked_quotes(error) : "out of memory";
        PQfreemem(error);
        reading.shown = "(connection string not shown: " + why + ")";
        return reading;
    }
    reading.readable = true;
    for (const PQconninfoOption* o = options.get(); o->keyword; ++o) {
        if (o->val == nullptr || o->val[0] == '\0') {
            continue;
        }
        if (secret(*o)) {
            reading.secrets.push_back(o->val);
        }
        reading.shown += std::string(reading.shown.empty() ? "" : " ") + o->keyword + "=" +
                         (secret(*o) ? "***" : quoted(o->val));
    }
    reading.secrets.push_back(uri_password);
    for (const std::string& written : written_passwords(location)) {
        reading.secrets.push_back(written);
    }
    return reading;
}

// A message with every secret of the connection text replaced.
std::string cleaned(std::string message, const std::vector<std::string>& secrets) {
    for (const std::string& s : secrets) {
        for (size_t at; !s.empty() && (at = message.find(s)) != std::string::npos;) {
            message.replace(at, s.size(), "***");
        }
    }
    return message;
}

typedef std::unique_ptr<PGresult, void (*)(PGresult*)> Result;

// PostgreSQL's type of a bytes column.
constexpr Oid BYTEA_TYPE = 17;
// The first key of the stations' liveness locks (the second is the
// station's number in the stations table); the schema's lock is a key of
// the other form.
const char LIVENESS_LOCKS[] = "7407";
// A session left inside a transaction (its station stopped mid-write) is
// ended by the server after this long, so that the rows it holds are freed.
// The rows a cursor hands over at a time: few enough to keep memory flat,
// enough that the round trips cost little.
constexpr size_t FETCHED = 5000;
// The longest one statement of an upgrade may take.
constexpr std::chrono::seconds UPGRADE_PATIENCE(3600);
const char IDLE_IN_TRANSACTION[] = "SET idle_in_transaction_session_timeout = '60s'";
// A reader's session: nothing it runs can write, whatever its role may do.
const char READ_ONLY[] = "SET default_transaction_read_only = on";
// A reader (the web view) says the store is lost sooner than a station
// gives up on it.
constexpr std::chrono::seconds READER_PATIENCE(4);

// libpq's message as one line: its lines (a server's, then libpq's own)
// joined with "; ", so that it never runs into the station's text.
std::string one_line(const std::string& text) {
    std::string line;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = std::min(text.find('\n', at), text.size());
        std::string part = text.substr(at, end - at);
        while (!part.empty() && (part.back() == ' ' || part.back() == '\r')) {
            part.pop_back();
        }
        size_t first = part.find_first_not_of(" \t");
        if (first != std::string::npos) {
            line += (line.empty() ? "" : "; ") + part.substr(first);
        }
        at = end + 1;
    }
    return line;
}

// A connection that gives up on a server that does not answer: the store's
// patience to connect, and TCP keepalives, so that a peer gone from the network is
// noticed; the location's own settings come last and win.
PGconn* connect(const std::string& location, std::chrono::seconds patience_to_connect) {
    const char* keys[] = {"connect_timeout",
                          "keepalives",
                          "keepalives_idle",
                          "keepalives_interval",
                          "keepalives_count",
                          "dbname",
                          nullptr};
    const std::string patience = std::to_string(patience_to_connect.count());
    const char* values[] = {patience.c_str(), "1", "10", "5", "3", location.c_str(), nullptr};
    return PQconnectdbParams(keys, values, 1);
}

class PgStore : public SqlStore {
  public:
    PgStore(const std::string& location, Schema schema)
        : read_only_(schema == Schema::read_only),
          patience_(read_only_ ? READER_PATIENCE : STORE_PATIENCE) {
        Reading reading = read_connection(location);
        shown_ = reading.shown;
        secrets_ = reading.secrets;
        if (!reading.readable) {
            throw StationError{"cannot reach the store " + shown_};
        }
        connection_ = connect(location, patience_);
        if (PQstatus(connection_) != CONNECTION_OK) {
            std::string message = said(PQerrorMessage(connection_));
            PQfinish(connection_);
            throw StationError{"cannot reach the store " + shown_ + ": " + message};
        }
        PQsetnonblocking(connection_, 1);
        PQsetNoticeProcessor(
            connection_, [](void*, const char*) {}, nullptr);
        try {
            set_session();
            prepare_schema(schema);
            read_id();
        } catch (...) {
            PQfinish(connection_);
            throw;
        }
    }
    ~PgStore() override {
        PQfinish(connection_);
    }

    // A session lock per station, keyed by the station's own number: it
    // lives exactly as long as this connection, so a station on any machine
    // counts as alive while its connection lives, and a connection that
    // dropped takes it again before it writes anything more.
    bool hold_liveness(const std::string& station) override {
        run("INSERT INTO stations (name) VALUES ($1) ON CONFLICT (name) DO NOTHING", {station});
        std::string number = run("SELECT number FROM stations WHERE name = $1", {station})[0][0];
        Rows rows =
            run("SELECT pg_try_advisory_lock($1::integer, $2::integer)", {LIVENESS_LOCKS, number});
        if (rows[0][0] != "t") {
            return false;
        }
        liveness_.insert(station);
        return true;
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
                                   " is unreachable: " + said(PQerrorMessage(connection_))};
            }
            throw StationError{"store: " + said(PQresultErrorMessage(result.get()))};
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

    // A cursor, read FETCHED rows at a time, each fetch with the store's
    // patience; in a read-only transaction of its own.
    void each_row(const std::string& sql, const std::vector<std::string>& values,
                  const std::function<void(Row&)>& take) override {
        run("BEGIN READ ONLY", {});
        try {
            run("DECLARE rows_out NO SCROLL CURSOR FOR " + sql, values);
            for (;;) {
                Rows rows = run("FETCH FORWARD " + std::to_string(FETCHED) + " FROM rows_out", {});
                for (Row& row : rows) {
                    take(row);
                }
                if (rows.size() < FETCHED) {
                    break;
                }
            }
        } catch (...) {
            rollback_quietly();
            throw;
        }
        commit();
    }

    // A connection that dropped (a server restarted, a backend ended) is
    // made again once, here, where no transaction is under way; its
    // liveness locks went with it and are taken again first.
    void begin() override {
        if (PQstatus(connection_) != CONNECTION_BAD) {
            try {
                run("BEGIN", {});
                return;
            } catch (const StationError&) {
                if (PQstatus(connection_) != CONNECTION_BAD || gone_) {
                    throw;
                }
            }
        }
        if (gone_) {
            throw StationError{"the store " + shown_ + " stopped answering"};
        }
        reconnect();
        run("BEGIN", {});
    }

    void script(const std::string& sql) override {
        run(sql, {});
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
    // Ends a transaction that failed; a connection that is gone has ended
    // it already (the server ends a transaction with its connection).
    void rollback_quietly() {
        try {
            rollback();
        } catch (const StationError&) {
        }
    }

    void reconnect() {
        PQreset(connection_);
        if (PQstatus(connection_) != CONNECTION_OK) {
            throw StationError{"the store " + shown_ +
                               " is unreachable: " + said(PQerrorMessage(connection_))};
        }
        PQsetnonblocking(connection_, 1);
        set_session();
        std::set<std::string> held;
        held.swap(liveness_);
        for (const std::string& station : held) {
            if (!hold_liveness(station)) {
                throw StationError{"station " + station + " lost its lock on the store " + shown_ +
                                   " when its connection dropped, and another command of it "
                                   "holds it now"};
            }
        }
    }

    void set_session() {
        run(IDLE_IN_TRANSACTION, {});
        if (read_only_) {
            run(READ_ONLY, {});
        }
    }

    // libpq's words, trimmed, without the connection text's secrets.
    std::string said(const char* message) const {
        return cleaned(one_line(message ? message : ""), secrets_);
    }

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
    // waiting at most STORE_PATIENCE in all: a server that stops
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
        auto deadline = std::chrono::steady_clock::now() + patience_;
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
                                   std::to_string(patience_.count()) + " s"};
            }
            pollfd entry{PQsocket(connection_), events, 0};
            int ready = poll(&entry, 1, static_cast<int>(left.count()));
            if (ready > 0 || (ready < 0 && errno != EINTR)) {
                return;
            }
        }
    }

    int schema_found() {
        if (run("SELECT to_regclass('schema_version') IS NOT NULL", {})[0][0] != "t") {
            return 0;
        }
        std::string version = run("SELECT max(version) FROM schema_version", {})[0][0];
        return version.empty() ? 0 : std::stoi(version);
    }

    void prepare_schema(Schema schema) {
        int found = schema_found();
        if (found > SCHEMA_VERSION) {
            throw StationError{"the store " + shown_ + " has schema version " +
                               std::to_string(found) + ", newer than this station's " +
                               std::to_string(SCHEMA_VERSION) +
                               ": update the station before it writes there"};
        }
        if (found == SCHEMA_VERSION) {
            return;
        }
        if (schema != Schema::make_or_upgrade || read_only_) {
            throw StationError{"the store " + shown_ + " has " +
                               (found == 0 ? std::string("no schema") : "an older schema") +
                               ": run `station init`"};
        }
        begin();
        try {
            // One station creates or upgrades it at a time.
            run("SELECT pg_advisory_xact_lock(7406)", {});
            run("SET LOCAL client_min_messages = warning", {});
            // Read again under the lock: another station may have done it.
            found = schema_found();
            run("CREATE TABLE IF NOT EXISTS schema_version (version INTEGER NOT NULL)", {});
            if (found < SCHEMA_VERSION) {
                // Moving a year of transcripts takes its time; a person
                // runs init and sees it wait.
                patience_ = UPGRADE_PATIENCE;
                make_or_upgrade(found, {"BYTEA", "BIGINT", "BIGSERIAL PRIMARY KEY"});
                patience_ = STORE_PATIENCE;
            }
            run("DELETE FROM schema_version", {});
            run("INSERT INTO schema_version VALUES ($1)", {std::to_string(SCHEMA_VERSION)});
        } catch (...) {
            rollback_quietly();
            throw;
        }
        commit();
    }

    bool read_only_;
    std::chrono::seconds patience_;    // for one statement
    std::vector<std::string> secrets_; // what no message may show
    PGconn* connection_ = nullptr;
    std::set<std::string> liveness_; // the stations whose locks this connection holds
    bool gone_ = false;              // a statement went unanswered: nothing more is sent
    long long changed_ = 0;
};

} // namespace

std::string shown_location(const std::string& location) {
    return is_connection_text(location) ? read_connection(location).shown : location;
}

std::unique_ptr<Store> open_pg_store(const std::string& location, Schema schema) {
    return std::make_unique<PgStore>(location, schema);
}
