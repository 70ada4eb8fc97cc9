// What the store's engines share: the tables, and the claim rules written
// once over SQL that both engines take ($1, $2, ... placeholders). Each
// engine keeps only its connection, running a statement, its transactions,
// its schema's version and its liveness lock. Only the engines and the
// store's face include this.
#pragma once

#include "station/store/interface.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The schema's version, which every engine keeps and checks.
constexpr int SCHEMA_VERSION = 9;

// The types the tables need that the engines write differently.
struct EngineTypes {
    const char* bytes;      // raw bytes
    const char* big;        // a 64-bit integer
    const char* serial_key; // a primary key the engine numbers by itself
};

// A filter as SQL over the records `r`, its values appended to `values`.
std::string records_where(const RecordFilter& filter, std::vector<std::string>& values);

// The tables, created where missing.
std::string store_schema(const EngineTypes& types);
// Their indexes, made once the tables have every column.
std::string store_indexes();

class SqlStore : public Store {
  public:
    std::optional<Profile> locked_profile(const std::string& station) override;
    void lock_profile(const std::string& station, const Profile& profile) override;
    std::string claim_and_start(Record& record, const std::string& retry_of) override;
    std::optional<std::string> hand_out(const std::string& first, const std::string& last) override;
    long long pool_used(const std::string& first, const std::string& last) override;
    std::pair<long long, std::vector<std::string>>
    pool_unclaimed(const std::string& first, const std::string& last, size_t most) override;
    std::string refusal(const std::string& mac, bool rework) override;
    Finish finish(const Record& record) override;
    Recheck recheck(const Record& record) override;
    std::vector<Conflict> conflicts(const std::string& mac, bool all) override;
    std::vector<Record> started_records(const std::string& station) override;
    std::vector<Record> kept_boards(const std::string& station) override;
    std::vector<Record> kept_macs() override;
    std::vector<Record> records(const RecordFilter& filter) override;
    void
    each_record_values(const RecordFilter& filter,
                       const std::function<void(const std::vector<std::string>&)>& take) override;
    void each_record(const RecordFilter& filter,
                     const std::function<void(const Record&)>& take) override;
    std::pair<std::string, std::string> started_between(const RecordFilter& filter) override;
    std::vector<GroupCounts> group_counts(const RecordFilter& filter, const Grouping& grouping,
                                          CountFrom from) override;
    void failure_counts(const RecordFilter& filter, const Grouping& grouping,
                        const std::function<void(const FailureCounts&)>& take,
                        CountFrom from) override;
    std::vector<GroupCounts> report_counts(const RecordFilter& filter, const Grouping& grouping,
                                           const std::function<void(const FailureCounts&)>& take,
                                           CountFrom from) override;
    std::optional<Holder> holder_of(const std::string& mac) override;
    bool release(const Release& release) override;
    std::vector<Release> releases(const std::string& mac) override;
    void add_label(const LabelEvent& label) override;
    std::vector<LabelEvent> labels_of(const std::string& mac) override;
    std::string last_round(const std::string& station) override;
    void write_progress(const std::vector<Progress>& progress) override;
    void write_beat(const Beat& beat) override;
    LineNow line_now() override;
    void claims_checked(const std::string& station) override;
    std::optional<Failover> failover() override;

  protected:
    // The server's timeline, for an engine whose server a standby may
    // take over from; none for one that has no standby.
    virtual std::optional<long long> server_timeline() {
        return std::nullopt;
    }
    typedef std::vector<std::string> Row;
    typedef std::vector<Row> Rows;
    // Runs one statement with its values for $1, $2, ... as text (the one at
    // `bytes_at`, counted from 1, as raw bytes); returns its rows, each
    // column as text and a column of bytes as its raw bytes.
    virtual Rows run(const std::string& sql, const std::vector<std::string>& values,
                     int bytes_at = 0) = 0;
    // Runs one query and hands its rows to `take` one at a time, holding
    // only a few in memory (a stepping statement, a cursor).
    virtual void each_row(const std::string& sql, const std::vector<std::string>& values,
                          const std::function<void(Row&)>& take) = 0;
    // The same for a long read whose `take` touches nothing of the store
    // (an export): an engine may read the next rows while `take` works.
    virtual void each_row_ahead(const std::string& sql, const std::vector<std::string>& values,
                                const std::function<void(Row&)>& take) {
        each_row(sql, values, take);
    }
    // Runs statements without values, several at once.
    virtual void script(const std::string& sql) = 0;
    // The rows the last statement changed.
    virtual long long changed() = 0;
    // A transaction that writes: the engine takes what it needs at once.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
    // Whether a write waits (up to the store's patience) for the store
    // another writer holds, or gives up at once: what is written only for
    // the web view never holds up a record.
    virtual void wait_for_writers(bool) {}
    // What a SELECT adds to hold its rows until the transaction ends
    // (SQLite's write transaction holds the whole store already).
    virtual std::string for_update() const = 0;

    // Makes the tables, or upgrades them from version `found` (0: none), in
    // the caller's transaction; then reads the store's id.
    void make_or_upgrade(int found, const EngineTypes& types);
    // Reads the store's id (made with the tables).
    void read_id();

  private:
    // The counts a report reads, kept as boards finish (tallies.cpp).
    struct TallyPlan;
    // A MAC's records as the kept counts read them, read before a change of
    // them in the caller's transaction, which they and the MAC are held for.
    Rows tally_read(const std::string& mac);
    // The outcome of the record `id` among them; none when it is not there.
    std::optional<Outcome> outcome_in(const Rows& records, const std::string& id);
    // What a write changed of a MAC's records, as the counts see them.
    struct TallyChange {
        std::string mac;
        const Record* ended = nullptr; // a record's end written
        std::string verified;          // the record whose label was read back
    };
    // Brings the counts along after that change, `records` being the MAC's
    // as tally_read read them before it.
    void tallied(Rows records, const TallyChange& made);
    // Adds to each cell's counts (its row made when missing): each row the
    // cell's kind, slot, station, lot and item, then what it adds to its
    // boards, passed, first_passed, running and verified, then its failures'
    // text, which replaces the cell's with `set_failures`.
    void add_to_tallies(const std::vector<std::vector<std::string>>& rows, bool set_failures);
    // The counts made again from every record, in the caller's transaction.
    void build_tallies();
    void build_failure_tallies();
    // How a report's groups lie on the kept counts; none when the filter
    // asks what they do not keep.
    std::optional<TallyPlan> tally_plan(const RecordFilter& filter, const Grouping& grouping);
    // The groups' counts; with `failures`, the failures too, in the same pass.
    std::vector<GroupCounts>
    tallied_groups(const TallyPlan& plan,
                   const std::function<void(const FailureCounts&)>* failures = nullptr);
    // The records of the cells a group's bound cuts.
    void each_cut_record(const TallyPlan& plan, const std::function<void(const Row&)>& take);
    // In the order of their names' bytes; without labels verified in a
    // store that has no labels.
    std::vector<GroupCounts> ordered(std::vector<GroupCounts> counts);
    // Counted from the records themselves.
    std::vector<GroupCounts> counted_groups(const RecordFilter& filter, const Grouping& grouping);
    void counted_failures(const RecordFilter& filter, const Grouping& grouping,
                          const std::function<void(const FailureCounts&)>& take);
    // Runs `work` in one transaction; it returns false to roll back, and a
    // fault rolls back and goes on. A transaction that met a row another
    // session holds is tried again for a few seconds, and one whose
    // connection dropped before its commit once: `work` may run again.
    void transaction(const std::function<bool()>& work);
    void attempt(const std::function<bool()>& work);
    void insert_record(const Record& record);
    // Marks a MAC used, once for ever; false when it was used already.
    bool mark_used(unsigned long long mac);
    // Adds a MAC to the runs of used MACs that the pool skips by.
    void add_to_runs(unsigned long long mac);
    // The first MAC at or after `mac` that no run of used MACs holds.
    unsigned long long past_runs(unsigned long long mac);
    void settle_claim(const std::string& record, const std::string& mac, bool passed);
    std::string why_claimed(const std::string& mac);
    std::string why_kept(const std::string& mac);
    void settle_kept(const Record& record, bool was_interrupted, bool released);
    // The other board a late true end shares its MAC with, if any.
    std::optional<std::string> other_board(const Record& late);
    Record record_by_id(const std::string& id);
    std::vector<Record> selected(const std::string& where, const std::vector<std::string>& values,
                                 bool transcripts, bool by_attempt);
    // The records' query, `where` over `r`, ordered as they started; one
    // MAC's by attempt, which the store counts, whatever the clocks of the
    // stations that wrote them said.
    std::string records_query(const std::string& where, bool transcripts, bool by_attempt) const;
    // Whether any label is recorded: a store without labels reads none.
    bool has_labels();
    // Moves a store of an older version to this one's tables.
    void upgrade_from(int found);
    // Runs `write` without waiting for another writer.
    void without_waiting(const std::function<void()>& write);
};

std::unique_ptr<Store> open_sqlite_store(const std::string& path, Schema schema);
std::unique_ptr<Store> open_pg_store(const std::string& location, Schema schema);
