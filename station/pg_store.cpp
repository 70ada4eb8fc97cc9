// The store in PostgreSQL, for many stations on one record: the same schema
// and rules as the SQLite store, the duplicate refusal by the same unique key
// across stations, one transaction per claim.
#include "station/store.h"

#include "station/store_engines.h"

#include <libpq-fe.h>

#include <functional>
#include <memory>

namespace {

typedef std::unique_ptr<PGresult, void (*)(PGresult*)> Result;

int from_hex(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

class PgStore : public Store {
  public:
    PgStore(const std::string& location, bool initialise) : location_(location) {
        connection_ = PQconnectdb(location.c_str());
        if (PQstatus(connection_) != CONNECTION_OK) {
            std::string message = PQerrorMessage(connection_);
            PQfinish(connection_);
            throw StoreError{"cannot reach the store " + location + ": " + trimmed(message)};
        }
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

    std::string claim_and_start(const Record& r) override {
        std::string refusal;
        transaction([&] {
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
                            "WHERE id = $8 AND outcome = 'started'",
                            {r.ended, r.outcome, r.stage, r.message, std::to_string(r.frames),
                             r.exit_status, r.transcript, r.id},
                            7))) {
                settle_claim(r.id, r.outcome == "passed");
            }
            return true;
        });
    }

    int mark_interrupted(const std::string& station) override {
        int count = 0;
        transaction([&] {
            Result open = run("SELECT id FROM records WHERE station = $1 AND outcome = 'started' "
                              "FOR UPDATE",
                              {station});
            count = PQntuples(open.get());
            for (int i = 0; i < count; ++i) {
                std::string id = text(open, i, 0);
                run("UPDATE records SET outcome = 'interrupted', ended = $1 WHERE id = $2",
                    {utc_now(), id});
                settle_claim(id, false);
            }
            return true;
        });
        return count;
    }

    std::vector<Record> records(const RecordFilter& f) override {
        Result r = run(std::string("SELECT ") + RECORD_FIELDS +
                           (f.with_transcripts ? ", encode(transcript, 'hex')" : ", ''") +
                           " FROM records WHERE ($1 = '' OR station = $1) AND "
                           "($2 = '' OR mac = $2) AND ($3 = '' OR started >= $3) AND "
                           "($4 = '' OR round = $4) ORDER BY started, fixture",
                       {f.station, f.mac, f.since, f.round});
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

    std::string last_round(const std::string& station) override {
        Result r = run("SELECT round FROM records WHERE station = $1 ORDER BY started DESC LIMIT 1",
                       {station});
        return PQntuples(r.get()) > 0 ? text(r, 0, 0) : "";
    }

  private:
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
    // that stays away, or a refused statement, is a StoreError.
    Result run(const std::string& sql, const std::vector<std::string>& values, int binary = 0) {
        std::vector<const char*> pointers;
        std::vector<int> lengths, formats;
        for (size_t i = 0; i < values.size(); ++i) {
            pointers.push_back(values[i].data());
            lengths.push_back(static_cast<int>(values[i].size()));
            formats.push_back(static_cast<int>(i + 1) == binary ? 1 : 0);
        }
        Result result(PQexecParams(connection_, sql.c_str(), static_cast<int>(values.size()),
                                   nullptr, pointers.data(), lengths.data(), formats.data(), 0),
                      PQclear);
        ExecStatusType status = PQresultStatus(result.get());
        if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) {
            return result;
        }
        if (PQstatus(connection_) == CONNECTION_BAD) {
            throw StoreError{"the store " + location_ +
                             " is unreachable: " + trimmed(PQerrorMessage(connection_))};
        }
        throw StoreError{"store: " + trimmed(PQresultErrorMessage(result.get()))};
    }

    // Runs `work` in one transaction; it returns false to roll back.
    void transaction(const std::function<bool()>& work) {
        if (PQstatus(connection_) == CONNECTION_BAD) {
            PQreset(connection_);
        }
        run("BEGIN", {});
        bool commit = false;
        try {
            commit = work();
        } catch (...) {
            PQclear(PQexec(connection_, "ROLLBACK"));
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
            throw StoreError{"the store " + location_ + " has schema version " +
                             std::to_string(found) + ", newer than this station's " +
                             std::to_string(SCHEMA_VERSION) +
                             ": update the station before it writes there"};
        }
        if (found == SCHEMA_VERSION) {
            return;
        }
        if (!initialise) {
            throw StoreError{"the store " + location_ + " has " +
                             (found == 0 ? std::string("no schema") : "an older schema") +
                             ": run `station init`"};
        }
        transaction([&] {
            // One station creates or upgrades it at a time.
            run("SELECT pg_advisory_xact_lock(7406)", {});
            PQclear(PQexec(connection_, "SET client_min_messages = warning"));
            std::string schema = "CREATE TABLE IF NOT EXISTS schema_version "
                                 "(version INTEGER NOT NULL);" +
                                 store_schema("BYTEA", "BIGINT");
            Result made(PQexec(connection_, schema.c_str()), PQclear);
            if (PQresultStatus(made.get()) != PGRES_COMMAND_OK) {
                throw StoreError{"store: " + trimmed(PQresultErrorMessage(made.get()))};
            }
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
    void settle_claim(const std::string& record, bool passed) {
        if (passed) {
            run("UPDATE claims SET state = 'passed' WHERE record = $1", {record});
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

    std::string location_;
    PGconn* connection_ = nullptr;
};

} // namespace

std::unique_ptr<Store> open_pg_store(const std::string& location, bool initialise) {
    return std::make_unique<PgStore>(location, initialise);
}
