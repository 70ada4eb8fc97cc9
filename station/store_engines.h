// What the store's engines share: the tables, and the claim rules written
// once over SQL that both engines take ($1, $2, ... placeholders). Each
// engine keeps only its connection, running a statement, its transactions,
// its schema's version and its liveness lock. Only the engines and the
// store's face include this.
#pragma once

#include "station/store.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// The schema's version, which every engine keeps and checks.
constexpr int SCHEMA_VERSION = 2;

// The tables, with `bytes` the engine's type for raw bytes and `big` its type
// for a 64-bit integer.
std::string store_schema(const std::string& bytes, const std::string& big);

class SqlStore : public Store {
  public:
    std::optional<Profile> locked_profile(const std::string& station) override;
    void lock_profile(const std::string& station, const Profile& profile) override;
    std::string claim_and_start(Record& record, const std::string& retry_of) override;
    std::optional<std::string> hand_out(const std::string& first, const std::string& last) override;
    long long pool_used(const std::string& first, const std::string& last) override;
    std::string refusal(const std::string& mac, bool rework) override;
    void finish(const Record& record) override;
    std::vector<Record> started_records(const std::string& station) override;
    std::vector<Record> records(const RecordFilter& filter) override;
    std::string last_round(const std::string& station) override;

  protected:
    typedef std::vector<std::vector<std::string>> Rows;
    // Runs one statement with its values for $1, $2, ... as text (the one at
    // `bytes_at`, counted from 1, as raw bytes); returns its rows, each
    // column as text and a column of bytes as its raw bytes.
    virtual Rows run(const std::string& sql, const std::vector<std::string>& values,
                     int bytes_at = 0) = 0;
    // The rows the last statement changed.
    virtual long long changed() = 0;
    // A transaction that writes: the engine takes what it needs at once.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    // What a SELECT adds to hold its rows until the transaction ends
    // (SQLite's write transaction holds the whole store already).
    virtual std::string for_update() const = 0;

  private:
    // Runs `work` in one transaction; it returns false to roll back, and a
    // fault rolls back and goes on.
    void transaction(const std::function<bool()>& work);
    void insert_record(const Record& record);
    void settle_claim(const std::string& record, const std::string& mac, bool passed);
    std::string why_claimed(const std::string& mac);
    std::string why_kept(const std::string& mac);
    void settle_kept(const Record& record);
    std::vector<Record> selected(const std::string& where, const std::vector<std::string>& values,
                                 bool transcripts);
};

std::unique_ptr<Store> open_sqlite_store(const std::string& path);
std::unique_ptr<Store> open_pg_store(const std::string& location, Schema schema);
