// The store in PostgreSQL, for many stations on one record: the same schema
// and claim rules as the SQLite store; a versioned schema that `station
// init` makes; the station's liveness lock as a session lock; no statement
// waited on longer than 10 s.
#include "station/store/interface.h"

#include "station/file/file.h"
#include "station/store/engines.h"

#include <libpq-fe.h>

#include "station/base/base.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <regex>
#include <set>
#include <thread>
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
// the other form. The readers' marks beside them (Store::hold_liveness).
const char LIVENESS_LOCKS[] = "7407";
const char READING_MARKS[] = "7408";
// The rows a cursor hands over at a time: few enough that a fetch's result
// is cheap to make and free (an export of 5,000-row fetches spent half its
// time in the allocator and the page faults of their results), enough that
// the round trips cost little with the next fetch asked ahead.
constexpr size_t FETCHED = 250;
// The longest one statement of an upgrade may take.
constexpr std::chrono::seconds UPGRADE_PATIENCE(3600);
// Every session of a station: a transaction left idle (its station stopped,
// frozen or cut off mid-write) is ended by the server within seconds, so
// that the rows it holds go to the stations that wait for them; a row not
// had within a second is said busy and asked for again; the server probes a
// connection gone quiet (TCP keepalives) and looks for a client gone while
// a statement runs. The last is PostgreSQL 14's; an older server goes
// without it. The others go in one exchange: over a slow link each costs a
// round trip, and a connection made again mid-round spends them from the
// patience of the write that waits.
const char* const SESSION[] = {
    "SET idle_in_transaction_session_timeout = '4s'; SET lock_timeout = '1s'; "
    "SET tcp_keepalives_idle = 5; SET tcp_keepalives_interval = 2; SET tcp_keepalives_count = 3",
    "SET client_connection_check_interval = '5s'"};
// A reader's cursor holds no row: its reader may take its time (a pager).
const char READER_IDLE[] = "SET LOCAL idle_in_transaction_session_timeout = '10min'";
// The session that holds a station's lock is ended by the server when it
// has said nothing for this long (PostgreSQL 14), whatever became of its
// station or the network between; the station speaks every PING_EVERY.
const char LIVENESS_SILENCE[] = "SET idle_session_timeout = '20s'";
constexpr std::chrono::seconds PING_EVERY(5);
// The server's codes for a row it would not wait for, and for a session it
// ended as idle in its transaction.
const std::string LOCK_NOT_AVAILABLE = "55P03";
const std::string IDLE_IN_TRANSACTION_ENDED = "25P03";
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
    // A peer that takes no data for 20 s (tcp_user_timeout) or answers no
    // probe for 11 s is gone.
    const char* keys[] = {
        "connect_timeout",  "keepalives",       "keepalives_idle", "keepalives_interval",
        "keepalives_count", "tcp_user_timeout", "dbname",          nullptr};
    const std::string patience = std::to_string(patience_to_connect.count());
    const char* values[] = {patience.c_str(), "1",    "5", "2", "3", "20000",
                            location.c_str(), nullptr};
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
        {
            std::lock_guard<std::mutex> lock(ping_mutex_);
            ending_ = true;
        }
        ping_wake_.notify_all();
        if (pinger_.joinable()) {
            pinger_.join();
        }
        PQfinish(connection_);
    }

    // A session lock per station, keyed by the station's own number: it
    // lives exactly as long as this connection, so a station on any machine
    // counts as alive while its connection lives, and a connection that
    // dropped takes it again before it writes anything more.
    bool try_liveness(const std::string& station) override {
        std::lock_guard<std::recursive_mutex> one_at_a_time(statement_mutex_);
        if (liveness_.count(station)) {
            return true; // held by this session already
        }
        std::string number = number_of(station);
        Rows rows =
            run("SELECT pg_try_advisory_lock($1::integer, $2::integer)", {LIVENESS_LOCKS, number});
        if (rows[0][0] != "t") {
            return false;
        }
        liveness_.insert(station);
        try {
            run(LIVENESS_SILENCE, {});
        } catch (const StationError&) {
            // a server before PostgreSQL 14: its keepalives alone
        }
        start_pinger();
        return true;
    }

    std::optional<Replication> replication() override {
        Replication r;
        for (const Row& row : run("SELECT coalesce(application_name, ''), "
                                  "coalesce(sync_state, '') FROM pg_stat_replication "
                                  "ORDER BY application_name",
                                  {})) {
            r.standbys.push_back({row[0], row[1]});
        }
        r.synchronous_commit = run("SELECT current_setting('synchronous_commit')", {})[0][0];
        return r;
    }

    void read_at_length() override {
        patience_ = UPGRADE_PATIENCE;
    }

    // The time of the last commit replayed tells how old what a reader
    // sees is, but only while more waits to be replayed: a standby of an
    // idle primary has replayed everything, however long ago that commit.
    std::optional<ReadFrom> read_from() override {
        Row row = run("SELECT pg_is_in_recovery(), CASE WHEN pg_is_in_recovery() AND "
                      "pg_last_wal_receive_lsn() IS DISTINCT FROM pg_last_wal_replay_lsn() THEN "
                      "greatest(extract(epoch FROM now() - pg_last_xact_replay_timestamp()), 0) "
                      "ELSE 0 END, coalesce(to_char(pg_last_xact_replay_timestamp() AT TIME ZONE "
                      "'UTC', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"'), '')",
                      {})[0];
        ReadFrom r;
        r.standby = row[0] == "t";
        r.behind = std::strtod(row[1].c_str(), nullptr);
        r.replayed = row[2];
        return r;
    }

    // The timeline the server writes its WAL on now, the first eight of
    // its WAL files' name's digits: a promotion moves it on at once. None
    // on a standby.
    std::optional<long long> server_timeline() override {
        std::string file = run("SELECT CASE WHEN pg_is_in_recovery() THEN '' ELSE "
                               "pg_walfile_name(pg_current_wal_lsn()) END",
                               {})[0][0];
        if (file.size() < 8) {
            return std::nullopt;
        }
        return std::stoll(file.substr(0, 8), nullptr, 16);
    }

    // Read halfway through the round trip.
    std::optional<double> clock_offset() override {
        auto asked = std::chrono::system_clock::now();
        Rows rows = run("SELECT extract(epoch FROM clock_timestamp())::text", {});
        auto answered = std::chrono::system_clock::now();
        double here =
            std::chrono::duration<double>((asked + (answered - asked) / 2).time_since_epoch())
                .count();
        return std::stod(rows[0][0]) - here;
    }

    void let_go_liveness(const std::string& station) override {
        std::lock_guard<std::recursive_mutex> one_at_a_time(statement_mutex_);
        if (liveness_.erase(station) != 0) {
            run("SELECT pg_advisory_unlock($1::integer, $2::integer)",
                {LIVENESS_LOCKS, numbers_[station]});
            if (liveness_.empty()) {
                run("SET idle_session_timeout = 0", {});
            }
        }
        let_go_reading_mark(station);
    }

    // Session locks too, beside the stations' own: a reader's dies with
    // its connection as its lock does.
    bool try_reading_mark(const std::string& station) override {
        std::lock_guard<std::recursive_mutex> one_at_a_time(statement_mutex_);
        if (reading_.count(station)) {
            return true;
        }
        std::string number = number_of(station);
        if (run("SELECT pg_try_advisory_lock($1::integer, $2::integer)",
                {READING_MARKS, number})[0][0] != "t") {
            return false;
        }
        reading_.insert(station);
        return true;
    }
    void let_go_reading_mark(const std::string& station) override {
        std::lock_guard<std::recursive_mutex> one_at_a_time(statement_mutex_);
        if (reading_.erase(station) != 0) {
            run("SELECT pg_advisory_unlock($1::integer, $2::integer)",
                {READING_MARKS, numbers_[station]});
        }
    }

    // The station's number, its row made on first sight.
    std::string number_of(const std::string& station) {
        auto known = numbers_.find(station);
        if (known != numbers_.end()) {
            return known->second;
        }
        run("INSERT INTO stations (name) VALUES ($1) ON CONFLICT (name) DO NOTHING", {station});
        return numbers_[station] =
                   run("SELECT number FROM stations WHERE name = $1", {station})[0][0];
    }

  protected:
    // A lost connection is tried again once; a store that stays away, or a
    // refused statement, is a StationError.
    Rows run(const std::string& sql, const std::vector<std::string>& values,
             int bytes_at = 0) override {
        std::lock_guard<std::recursive_mutex> one_at_a_time(statement_mutex_);
        Result result = result_of(sql, values, bytes_at);
        Rows rows(static_cast<size_t>(PQntuples(result.get())));
        for (size_t i = 0; i < rows.size(); ++i) {
            read_row(result, static_cast<int>(i), rows[i]);
        }
        return rows;
    }

    // A statement's result, once it succeeded.
    Result result_of(const std::string& sql, const std::vector<std::string>& values, int bytes_at) {
        if (!lost_.empty() && writes(sql)) {
            throw StationError{lost_};
        }
        bool outside = !in_transaction_;
        Result result = exchange(sql, values, bytes_at);
        last_used_ = std::chrono::steady_clock::now();
        if (!succeeded(result) && outside && dropped()) {
            // The server ended an idle session (a restart, the station
            // stopped past its silence): made again, its locks taken again,
            // and the statement sent once more.
            reconnect();
            result = exchange(sql, values, bytes_at);
        }
        bool ends = sql == "COMMIT" || sql == "ROLLBACK";
        if (ends || (succeeded(result) && sql.rfind("BEGIN", 0) == 0)) {
            in_transaction_ = !ends;
        }
        if (!succeeded(result)) {
            fail(result, sql, outside);
        }
        const char* count = PQcmdTuples(result.get());
        changed_ = count[0] ? std::stoll(count) : 0;
        return result;
    }

    long long changed() override {
        return changed_;
    }

    // Whether a statement may write (or begins a transaction that may).
    static bool writes(const std::string& sql) {
        for (const char* reading :
             {"SELECT", "FETCH", "DECLARE", "BEGIN READ ONLY", "COMMIT", "ROLLBACK", "SET"}) {
            if (sql.rfind(reading, 0) == 0) {
                return false;
            }
        }
        return true;
    }

    static bool succeeded(const Result& result) {
        ExecStatusType status = PQresultStatus(result.get());
        return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
    }
    bool dropped() const {
        return !gone_ && PQstatus(connection_) == CONNECTION_BAD;
    }

    // A failed statement as the station's fault: a connection that dropped
    // inside a transaction before its commit (rolled back by the server:
    // the work may be done again), a row another session holds (busy), or
    // what the server said; never an empty message.
    [[noreturn]] void fail(const Result& result, const std::string& sql, bool outside) {
        const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
        std::string code = state != nullptr ? state : "";
        if (PQstatus(connection_) == CONNECTION_BAD) {
            std::string why = said(PQerrorMessage(connection_));
            std::string message =
                "the store " + shown_ + " is unreachable" +
                (why.empty() ? std::string(": it closed the connection") : ": " + why);
            // A commit the server never had: it had ended the transaction
            // as idle (the station stopped between two of its statements).
            if (!outside && (sql != "COMMIT" || code == IDLE_IN_TRANSACTION_ENDED)) {
                throw StoreDropped{{message}};
            }
            throw StationError{message};
        }
        std::string why = said(PQresultErrorMessage(result.get()));
        if (why.empty()) {
            why = "the server gave no reason (" +
                  std::string(PQresStatus(PQresultStatus(result.get()))) + ")";
        }
        if (code == LOCK_NOT_AVAILABLE) {
            throw StoreBusy{{"the store " + shown_ + " is busy: " + why}};
        }
        throw StationError{"store: " + why};
    }

    // A cursor, read FETCHED rows at a time, each fetch with the store's
    // patience; in a read-only transaction of its own, no other statement
    // of this connection between its fetches.
    void each_row(const std::string& sql, const std::vector<std::string>& values,
                  const std::function<void(Row&)>& take) override {
        std::lock_guard<std::recursive_mutex> one_at_a_time(statement_mutex_);
        run("BEGIN READ ONLY", {});
        bool awaited = false;
        try {
            run(READER_IDLE, {});
            run("DECLARE rows_out NO SCROLL CURSOR FOR " + sql, values);
            // The next fetch is asked before this one's rows are handed
            // over, so that the server reads while the station writes them
            // out; each fetch is read from its result into one row, whose
            // strings keep their room from one row to the next.
            std::string fetch = "FETCH FORWARD " + std::to_string(FETCHED) + " FROM rows_out";
            send_fetch(fetch);
            awaited = true;
            Row row;
            for (;;) {
                Result result = fetched(fetch);
                awaited = false;
                int count = PQntuples(result.get());
                if (static_cast<size_t>(count) == FETCHED) {
                    send_fetch(fetch);
                    awaited = true;
                }
                for (int i = 0; i < count; ++i) {
                    read_row(result, i, row);
                    take(row);
                }
                if (!awaited) {
                    break;
                }
            }
        } catch (...) {
            if (awaited) {
                drain_quietly();
            }
            rollback_quietly();
            throw;
        }
        commit();
    }

    // A connection that dropped (a server restarted, a backend ended) is
    // made again by run, once, where no transaction is under way; its
    // liveness locks went with it and are taken again first.
    void begin() override {
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
    // A cursor's fetch sent, its rows read later by fetched.
    void send_fetch(const std::string& fetch) {
        Patience patience(patience_);
        if (gone_) {
            throw StationError{"the store " + shown_ + " stopped answering"};
        }
        fetch_sent_ = send(fetch, {}, 0, patience);
    }

    // The result of the fetch sent last; none when it was not sent.
    Result fetch_result() {
        Patience patience(patience_);
        return fetch_sent_ == Sent::not_at_all ? Result(nullptr, PQclear)
                                               : results(patience, fetch_sent_ == Sent::whole);
    }

    Result fetched(const std::string& fetch) {
        Result result = fetch_result();
        last_used_ = std::chrono::steady_clock::now();
        if (!succeeded(result)) {
            fail(result, fetch, false);
        }
        return result;
    }

    // A fetch still on its way when its reader stopped: read and let go,
    // so that the rollback can be sent.
    void drain_quietly() {
        try {
            fetch_result();
        } catch (const StationError&) {
        }
    }

    // Ends a transaction that failed; a connection that is gone has ended
    // it already (the server ends a transaction with its connection).
    void rollback_quietly() {
        try {
            rollback();
        } catch (const StationError&) {
        }
    }

    // A station whose lock another command took meanwhile writes nothing
    // more: every transaction after says so.
    void reconnect() {
        PQreset(connection_);
        in_transaction_ = false;
        if (PQstatus(connection_) != CONNECTION_OK) {
            throw StationError{"the store " + shown_ +
                               " is unreachable: " + said(PQerrorMessage(connection_))};
        }
        PQsetnonblocking(connection_, 1);
        set_session();
        std::set<std::string> held;
        held.swap(liveness_);
        for (const std::string& station : held) {
            if (!try_liveness(station)) {
                lost_ = "station " + station + " lost its lock on the store " + shown_ +
                        " when its connection dropped, and another command of it holds it now";
                throw StationError{lost_};
            }
        }
        reconnected();
    }

    void set_session() {
        for (const char* setting : SESSION) {
            try {
                run(setting, {});
            } catch (const StationError&) {
                // a setting this server does not have (before PostgreSQL 14)
            }
        }
        if (read_only_) {
            run(READ_ONLY, {});
        }
    }

    // The session that holds a station's lock says something at least every
    // PING_EVERY, so that the server ends it only when the station or the
    // network between is gone. Its thread takes no signal: they are the
    // station's main loop's.
    void start_pinger() {
        if (pinger_.joinable()) {
            return;
        }
        sigset_t all, was;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &was);
        pinger_ = std::thread([this] { keep_alive(); });
        pthread_sigmask(SIG_SETMASK, &was, nullptr);
    }

    void keep_alive() {
        std::unique_lock<std::mutex> lock(ping_mutex_);
        while (!ending_) {
            ping_wake_.wait_for(lock, PING_EVERY);
            std::unique_lock<std::recursive_mutex> statement(statement_mutex_, std::try_to_lock);
            // A session in use, or in a transaction, speaks for itself.
            if (ending_ || !statement.owns_lock() || gone_ || liveness_.empty() ||
                in_transaction_ || std::chrono::steady_clock::now() - last_used_ < PING_EVERY) {
                continue;
            }
            try {
                run("SELECT 1", {});
            } catch (const StationError&) {
                // the next statement of the station finds out for itself
            }
        }
    }

    // libpq's words, trimmed, without the connection text's secrets.
    std::string said(const char* message) const {
        return cleaned(one_line(message ? message : ""), secrets_);
    }

    // A column as text; bytes as their raw bytes.
    static void read_row(const Result& r, int row, Row& into) {
        int columns = PQnfields(r.get());
        into.resize(static_cast<size_t>(columns));
        for (int c = 0; c < columns; ++c) {
            read_value(r, row, c, into[static_cast<size_t>(c)]);
        }
    }

    static void read_value(const Result& r, int row, int column, std::string& into) {
        const char* text = PQgetvalue(r.get(), row, column);
        if (PQftype(r.get(), column) != BYTEA_TYPE) {
            into.assign(text, static_cast<size_t>(PQgetlength(r.get(), row, column)));
            return;
        }
        size_t size = 0;
        unsigned char* bytes = PQunescapeBytea(reinterpret_cast<const unsigned char*>(text), &size);
        into.assign(reinterpret_cast<const char*>(bytes), size);
        PQfreemem(bytes);
    }

    // Sends one statement (several, without values) and takes its result,
    // waiting at most STORE_PATIENCE in all: a server that stops
    // answering (stopped, or cut off without a word) fails the statement
    // instead of holding the station, and the connection is given up.
    Result exchange(const std::string& sql, const std::vector<std::string>& values, int bytes_at) {
        if (gone_) {
            throw StationError{"the store " + shown_ + " stopped answering"};
        }
        Patience patience(patience_);
        Sent sent = send(sql, values, bytes_at, patience);
        if (sent == Sent::not_at_all) {
            return Result(nullptr, PQclear);
        }
        return results(patience, sent == Sent::whole);
    }

    enum class Sent { not_at_all, whole, in_part };

    // Sends a statement; libpq says why when it was sent in part.
    Sent send(const std::string& sql, const std::vector<std::string>& values, int bytes_at,
              Patience& patience) {
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
        if (!sent) {
            return Sent::not_at_all;
        }
        int flushed;
        while ((flushed = PQflush(connection_)) == 1) {
            await(POLLIN | POLLOUT, patience);
            PQconsumeInput(connection_);
        }
        return flushed == 0 ? Sent::whole : Sent::in_part;
    }

    // The last result of the statement sent; `whole`: it was, and its
    // answer is awaited.
    Result results(Patience& patience, bool whole) {
        Result last(nullptr, PQclear);
        for (;;) {
            while (whole && PQisBusy(connection_)) {
                await(POLLIN, patience);
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

    // The station's own stops (stops.h) are not the server's silence: a
    // wait that comes back much later than it asked gives its patience a
    // fresh start.
    void await(short events, Patience& patience) {
        for (;;) {
            auto now = std::chrono::steady_clock::now();
            if (patience.spent()) {
                // Spent a second or more before this thread looked (its wait
                // ends at the deadline): it was not running, a stop whose
                // SIGCONT no thread has counted yet. Counted once here, the
                // patience starts again.
                if (now - patience.deadline() > std::chrono::seconds(1)) {
                    note_late(now - patience.deadline());
                    continue;
                }
                gone_ = true;
                throw StationError{"the store " + shown_ + " did not answer in " +
                                   std::to_string(patience_.count()) + " s"};
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                patience.deadline() - now + std::chrono::milliseconds(1));
            pollfd entry{PQsocket(connection_), events, 0};
            int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
            note_late(std::chrono::steady_clock::now() - now - left);
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
            // An upgrade takes its time: another init waits for it.
            run("SET LOCAL lock_timeout = 0", {});
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
    std::chrono::seconds patience_; // for one statement
    std::string lost_;              // the station's lock, taken by another command
    bool in_transaction_ = false;
    std::map<std::string, std::string> numbers_; // the stations' numbers, by name
    // One statement at a time: the writer's thread, the command's and the
    // pinger share the connection.
    std::recursive_mutex statement_mutex_;
    std::chrono::steady_clock::time_point last_used_ = std::chrono::steady_clock::now();
    std::thread pinger_;
    std::mutex ping_mutex_;
    std::condition_variable ping_wake_;
    bool ending_ = false;
    std::vector<std::string> secrets_; // what no message may show
    PGconn* connection_ = nullptr;
    std::set<std::string> liveness_; // the stations whose locks this connection holds
    std::set<std::string> reading_;  // and whose reading marks
    bool gone_ = false;
    Sent fetch_sent_ = Sent::not_at_all; // how the cursor's next fetch went out              // a
                                         // statement went unanswered: nothing more is sent
    long long changed_ = 0;
};

} // namespace

std::string shown_location(const std::string& location) {
    return is_connection_text(location) ? read_connection(location).shown : location;
}

std::unique_ptr<Store> open_pg_store(const std::string& location, Schema schema) {
    return std::make_unique<PgStore>(location, schema);
}
