// The spool of finished records, as JSON beside their transcripts.
#include "station/store/spool.h"

#include "station/base/base.h"

#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <functional>
#include <memory>
#include <unistd.h>

namespace {

// Every column as text, as spools of earlier releases keep them (and read
// them); the transcript is kept apart, as bytes.
nlohmann::json to_json(const Record& r) {
    nlohmann::json item;
    for (const std::string& column : record_columns()) {
        item[column] = column_value(r, column);
    }
    item["round"] = r.round;
    item["mac_kept"] = r.mac_kept;
    return item;
}

Record from_json(const nlohmann::json& item, std::string transcript) {
    Record r = record_of_json(item, std::move(transcript));
    r.mac_kept = item.value("mac_kept", false);
    return r;
}

void check(sqlite3* db, int result) {
    if (result != SQLITE_OK && result != SQLITE_DONE && result != SQLITE_ROW) {
        throw StationError{std::string("spool: ") + sqlite3_errmsg(db)};
    }
}

// Runs one statement, `values` bound in order (the last as bytes when
// `bytes_last`), handing each row to `row`.
void exec(sqlite3* db, const char* sql, const std::vector<std::string>& values,
          bool bytes_last = false, const std::function<void(sqlite3_stmt*)>& row = nullptr) {
    sqlite3_stmt* s = nullptr;
    check(db, sqlite3_prepare_v2(db, sql, -1, &s, nullptr));
    std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> finalized(s, sqlite3_finalize);
    for (size_t i = 0; i < values.size(); ++i) {
        int at = static_cast<int>(i + 1), size = static_cast<int>(values[i].size());
        bytes_last&& i + 1 == values.size()
            ? sqlite3_bind_blob(s, at, values[i].data(), size, SQLITE_TRANSIENT)
            : sqlite3_bind_text(s, at, values[i].data(), size, SQLITE_TRANSIENT);
    }
    int result;
    while ((result = sqlite3_step(s)) == SQLITE_ROW && row) {
        row(s);
    }
    check(db, result);
}

std::string column_text(sqlite3_stmt* s, int column) {
    const void* bytes = sqlite3_column_blob(s, column);
    return std::string(bytes ? static_cast<const char*>(bytes) : "",
                       static_cast<size_t>(sqlite3_column_bytes(s, column)));
}

std::string json_text(const Record& record) {
    return to_json(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// How long a claim's finished record stays in the journal, and a claim of
// another store at the most.
constexpr long long KEPT_FINISHED = 15 * 60;
constexpr long long KEPT_ELSEWHERE = 7 * 24 * 3600;
const char NOW[] = "CAST(strftime('%s', 'now') AS INTEGER)";

} // namespace

Spool::Spool(const std::string& path, bool journal) : journal_(journal) {
    // Its records reach the store as this station's: a link, or a file that
    // another user made, is refused.
    close(open_own_file(path, "the spool"));
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                        nullptr) != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        throw StationError{"cannot open the spool " + path + ": " + message};
    }
    sqlite3_busy_timeout(db_, static_cast<int>(STORE_PATIENCE.count() * 1000));
    int made = sqlite3_exec(db_,
                            "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; "
                            "CREATE TABLE IF NOT EXISTS spool (id TEXT PRIMARY KEY, "
                            "at INTEGER NOT NULL, record TEXT NOT NULL, transcript BLOB NOT NULL); "
                            "CREATE TABLE IF NOT EXISTS journal (id TEXT PRIMARY KEY, "
                            "store TEXT NOT NULL, made INTEGER NOT NULL, finished INTEGER NOT "
                            "NULL, record TEXT NOT NULL, transcript BLOB NOT NULL)",
                            nullptr, nullptr, nullptr);
    // The store each record is for; a spool from before keeps '' (its
    // records go to a store that started them).
    if (made == SQLITE_OK && sqlite3_exec(db_, "SELECT store FROM spool LIMIT 0", nullptr, nullptr,
                                          nullptr) != SQLITE_OK) {
        made = sqlite3_exec(db_,
                            "ALTER TABLE spool ADD COLUMN store TEXT NOT NULL DEFAULT ''; "
                            "ALTER TABLE spool ADD COLUMN store_shown TEXT NOT NULL DEFAULT ''",
                            nullptr, nullptr, nullptr);
    }
    if (made != SQLITE_OK) {
        std::string message = sqlite3_errmsg(db_);
        sqlite3_close(db_);
        throw StationError{"cannot open the spool " + path + ": " + message};
    }
}

Spool::~Spool() {
    sqlite3_close(db_);
}

void Spool::add(const Record& record, const Store& store) {
    sqlite3_stmt* s = nullptr;
    check(db_, sqlite3_prepare_v2(db_,
                                  "INSERT OR REPLACE INTO spool (id, at, record, transcript, "
                                  "store, store_shown) VALUES (?, "
                                  "(SELECT coalesce(max(at), 0) + 1 FROM spool), ?, ?, ?, ?)",
                                  -1, &s, nullptr));
    std::string text =
        to_json(record).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    sqlite3_bind_text(s, 1, record.id.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 2, text.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_blob(s, 3, record.transcript.data(), static_cast<int>(record.transcript.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 4, store.id().c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s, 5, store.shown().c_str(), -1, SQLITE_TRANSIENT);
    int result = sqlite3_step(s);
    sqlite3_finalize(s);
    check(db_, result);
}

int Spool::waiting() {
    sqlite3_stmt* s = nullptr;
    check(db_, sqlite3_prepare_v2(db_, "SELECT count(*) FROM spool", -1, &s, nullptr));
    sqlite3_step(s);
    int count = sqlite3_column_int(s, 0);
    sqlite3_finalize(s);
    return count;
}

Spool::Delivery Spool::deliver(Store& store) {
    Delivery delivery;
    long long after = 0; // the place of the last record looked at
    for (;;) {
        sqlite3_stmt* s = nullptr;
        check(db_, sqlite3_prepare_v2(db_,
                                      "SELECT id, record, transcript, store, store_shown, at "
                                      "FROM spool WHERE at > ? ORDER BY at LIMIT 1",
                                      -1, &s, nullptr));
        sqlite3_bind_int64(s, 1, after);
        if (sqlite3_step(s) != SQLITE_ROW) {
            sqlite3_finalize(s);
            return delivery;
        }
        auto text = [&](int column) {
            const unsigned char* t = sqlite3_column_text(s, column);
            return std::string(t ? reinterpret_cast<const char*>(t) : "");
        };
        std::string id = text(0), record = text(1), owner = text(3), owner_shown = text(4);
        const void* bytes = sqlite3_column_blob(s, 2);
        std::string transcript(bytes ? static_cast<const char*>(bytes) : "",
                               static_cast<size_t>(sqlite3_column_bytes(s, 2)));
        after = sqlite3_column_int64(s, 5);
        sqlite3_finalize(s);
        // Finished once by its id: a record delivered before changes
        // nothing. One spooled for another store waits for that store.
        if (!owner.empty() && owner != store.id()) {
            delivery.kept += 1;
            delivery.why = "for the store " + owner_shown + " (id " + owner + "), not this store " +
                           store.shown() + " (id " + store.id() + ")";
            continue;
        }
        Record delivered = from_json(nlohmann::json::parse(record), std::move(transcript));
        Finish finish = store.finish(delivered);
        if (finish.conflict) {
            delivery.conflicts.push_back(*finish.conflict);
        }
        if (finish.reclaimed) {
            delivered.transcript.clear();
            delivery.reclaimed.push_back(std::move(delivered));
        }
        if (!finish.found) {
            delivery.kept += 1;
            delivery.why = "started in another store: this store " + store.shown() + " (id " +
                           store.id() + ") has no such record";
            continue;
        }
        check(db_, sqlite3_prepare_v2(db_, "DELETE FROM spool WHERE id = ?", -1, &s, nullptr));
        sqlite3_bind_text(s, 1, id.c_str(), -1, SQLITE_TRANSIENT);
        int result = sqlite3_step(s);
        sqlite3_finalize(s);
        check(db_, result);
        delivery.delivered += 1;
    }
}

void Spool::claimed(const Record& record, const Store& store) {
    if (journal_) {
        exec(db_,
             (std::string("INSERT OR REPLACE INTO journal VALUES (?, ?, ") + NOW + ", 0, ?, '')")
                 .c_str(),
             {record.id, store.id(), json_text(record)});
    }
}

void Spool::finished(const Record& record) {
    if (journal_) {
        exec(db_,
             (std::string("UPDATE journal SET finished = ") + NOW +
              ", record = ?, transcript = ? WHERE id = ?")
                 .c_str(),
             {json_text(record), record.transcript, record.id});
    }
}

std::vector<std::string> Spool::Rechecked::said() const {
    std::vector<std::string> lines;
    for (const Record& r : restored) {
        lines.push_back(restored_said(r));
    }
    for (const Conflict& c : conflicts) {
        lines.push_back(conflict_said(c));
    }
    return lines;
}

Spool::Rechecked Spool::recheck(Store& store) {
    struct Entry {
        Record record;
        bool finished;
    };
    std::vector<Entry> entries;
    if (!journal_) {
        return {};
    }
    exec(db_, "SELECT record, transcript, finished FROM journal WHERE store = ? ORDER BY made",
         {store.id()}, false, [&](sqlite3_stmt* s) {
             try {
                 entries.push_back(
                     {from_json(nlohmann::json::parse(column_text(s, 0)), column_text(s, 1)),
                      sqlite3_column_int64(s, 2) != 0});
             } catch (const nlohmann::json::exception& e) {
                 throw StationError{std::string("spool: a claim of its journal: ") + e.what()};
             }
         });
    Rechecked found;
    for (const Entry& e : entries) {
        Recheck r = store.recheck(e.record);
        std::optional<Conflict> conflict = r.conflict;
        bool open = r.outcome == Outcome::started || r.outcome == Outcome::interrupted;
        if (e.finished && (!r.present || open)) {
            // Its end was lost with the claim, or after it.
            conflict = store.finish(e.record).conflict;
        } else if (!e.finished && r.present && !open) {
            exec(db_,
                 (std::string("UPDATE journal SET finished = ") + NOW + " WHERE id = ?").c_str(),
                 {e.record.id});
        }
        if (conflict) {
            found.conflicts.push_back(*conflict);
        } else if (!r.present) {
            found.restored.push_back(e.record);
            found.restored.back().transcript.clear();
        }
    }
    exec(db_,
         (std::string("DELETE FROM journal WHERE (finished > 0 AND finished < ") + NOW + " - " +
          std::to_string(KEPT_FINISHED) + ") OR (store <> ? AND made < " + NOW + " - " +
          std::to_string(KEPT_ELSEWHERE) + ")")
             .c_str(),
         {store.id()});
    return found;
}
