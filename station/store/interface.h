// The station's store: records, the locked profile, and the claims that keep
// a MAC from being programmed twice. One face, one file per engine.
#pragma once

#include "station/base/base.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The longest the station waits on the store (or the spool's disk) for one
// statement or write; past it the store is lost for the rest of a round.
constexpr std::chrono::seconds STORE_PATIENCE(10);

// The store's connection dropped inside a transaction before its commit
// was sent: the server rolled it back, and the work may be done again.
struct StoreDropped : StationError {};
// Another session held a row the station needed for longer than the store
// waits on a lock: the store answers, and is busy.
struct StoreBusy : StationError {};

// Which records a query takes; empty fields take all.
struct RecordFilter {
    std::string station;
    std::string mac;
    std::string since; // records started at or after this UTC time (as utc_now writes it)
    std::string until; // records started before this UTC time
    std::string round;
    std::string id; // one record
    std::string lot;
    bool with_transcripts = false;
};

// How a report groups records: by the spans they started in, or, when
// `column` is named (station, fixture, lot), by that column's value.
struct Grouping {
    std::string column;
    std::vector<Span> spans;
};

// Where a report's numbers come from: the counts kept as boards finish, or
// the records, counted again.
enum class CountFrom { kept, records };

// A group's boards (MACs with a record in it), those that passed there, and
// those whose first attempt anywhere was made and passed there.
// A group's boards: those with a finished record (`boards`), of which
// passed, and passed at their first attempt; and those whose every record
// is still running, counted apart so that they lower no yield.
struct GroupCounts {
    std::string group;
    long long boards = 0;
    long long passed = 0;
    long long first_passed = 0;
    long long running = 0;
    // Passed boards whose label was scanned back at their fixture; -1 in a
    // store that has no labels at all.
    long long labels_verified = -1;
};

// Records of a group that did not pass, with one stage, outcome, message
// and fixture.
struct FailureCounts {
    std::string group;
    Stage stage = Stage::none;
    Outcome outcome = Outcome::failed;
    std::string message;
    std::string fixture;
    long long count = 0;
};

// A running board's frames so far, as its station last wrote them: seen
// live, never part of its record.
struct Progress {
    std::string station;
    std::string fixture;
    std::string record;
    long long frames = 0;
    long long total = 0; // the frames of a whole run
    std::string written; // UTC
};

// A station's word that it is alive: written every few seconds while one of
// its rounds runs, and once more, as ended, when the round ends.
struct Beat {
    std::string station;
    std::string beat; // UTC
    bool ended = false;
    std::string host_version;
};

// Each fixture's newest board (running or finished) with its progress.
struct FixtureNow {
    Record record; // without its transcript
    long long frames = 0;
    long long total = 0;
    std::string written;
    std::string label; // its label's last event (LabelEvent::event); empty: none
};

// A MAC that a late truth put on two boards: a record marked interrupted
// (its station was not seen) whose MAC was released from it and went to
// another board, and then its true end, which says its board may carry the
// MAC too (passed, or kept by the one-time rule). Shown until a release of
// one of the two records resolves it.
struct Conflict {
    std::string mac;
    Record late;  // the record whose true end came late (no transcript)
    Record other; // the board the MAC went to meanwhile
    std::string found;
    std::string resolved;   // UTC; empty while open
    std::string resolution; // which record gave it up, who and why
    // `late`'s claim was not released: the store lost it (a failover to a
    // server that had not received it), and the MAC went to `other`.
    bool claim_lost = false;
};

// What finishing a record found.
struct Finish {
    bool found = true; // false: the store has no such record
    std::optional<Conflict> conflict;
    // Its MAC was released from it, its true end says its board may carry
    // the MAC, and no other board has had it since: the MAC is that
    // board's again, which is said.
    bool reclaimed = false;
};

// What a check of a claim the station made found in the store: its record
// (as the store has it now), or, the store having lost both, the record
// written again, its MAC claimed once more or, when another board has had
// it since, held with that board's as a conflict.
struct Recheck {
    bool present = true;
    Outcome outcome = Outcome::started; // the store's, when present
    std::optional<Conflict> conflict;
};

// The store's server was promoted (a standby took over) since some
// stations last checked their claims against it: those may have made
// claims that the new primary never received.
struct Failover {
    long long timeline = 0; // the server's now
    std::string seen;       // UTC: when a station first saw it
    std::string seen_by;    // that station
    std::vector<std::string> unchecked;
};
// As every view says it: "the store failed over at 2026-12-10 11:58 (first
// seen by station line2); station line1 has not checked its claims since".
std::string failover_said(const Failover& failover);

// The server a reader reads from (a standby named by read_store, or the
// primary when none answered), as the line's page says it.
struct ReadFrom {
    bool standby = false;
    // Seconds from the last commit the standby replayed to now, while it has
    // received more than it replayed; 0 when it replayed all it received.
    double behind = 0;
    std::string replayed; // UTC of that commit; empty: none
};

// What the line's page shows, as the store has it now.
struct LineNow {
    std::vector<Beat> beats;                                   // by station
    std::vector<std::pair<std::string, std::string>> profiles; // station, locked profile id
    std::vector<FixtureNow> fixtures;                          // by station, then fixture
    std::vector<Conflict> conflicts;                           // open ones: MACs on two boards
    std::vector<std::pair<std::string, long long>> kept;       // by station: MACs its boards keep
    std::optional<Failover> failover;
};

// What holds a MAC back from every other board: a claim (the board is
// running, was interrupted, or passed) or the one-time rule (kept).
struct Holder {
    std::string record; // the record that holds it
    std::string station;
    std::string fixture;
    Outcome outcome = Outcome::started;
    bool passed_claim = false; // a passed board's claim
};

// How the store's server keeps copies of what it commits: its standbys as
// it sees them (name, and its sync_state: "sync", "quorum", "potential",
// "async") and its synchronous_commit.
struct Replication {
    std::vector<std::pair<std::string, std::string>> standbys;
    std::string synchronous_commit;
};
// As `init` and `lock` say it: "replication: standby1 (synchronous);
// synchronous_commit on", or that there is no standby.
std::string replication_said(const Replication& replication);
// Why a failover may lose the last claims (a board may carry a MAC that the
// new primary never heard of, and hand it out again), or an empty text.
std::string replication_risk(const Replication& replication);

// A lost claim written again, as the station tells it.
std::string restored_said(const Record& record);
// The conflict as the station tells it, with what to do, on one line.
std::string conflict_said(const Conflict& conflict);
// What a late end told of a released MAC that no other board had (reclaimed).
std::string reclaim_said(const Record& late);

class Store {
  public:
    virtual ~Store() = default;

    // Made with the store and never changed: a spool's records go to the
    // store they were spooled for and no other.
    const std::string& id() const {
        return id_;
    }
    // The store's location as messages show it (no password).
    const std::string& shown() const {
        return shown_;
    }

    virtual std::optional<Profile> locked_profile(const std::string& station) = 0;
    virtual void lock_profile(const std::string& station, const Profile& profile) = 0;

    // Takes the lock that says station `station` is alive, for as long as
    // this store is open, on the store itself (a file beside a SQLite store,
    // a session lock on a PostgreSQL connection), so that every command of
    // that station sees it, whatever machine or temporary folder it runs
    // with. False when a live command of that station holds it. A lock
    // lost on the way (a connection that dropped, a lock file removed) is
    // taken again before the next transaction, or that transaction fails:
    // nothing is written by a command that no longer holds its station.
    // A reader that holds it a moment (to deliver the spool) is waited for,
    // a few seconds at most, rather than taken for a live command.
    // `waiting` is called once if it waits.
    bool hold_liveness(const std::string& station, const std::function<void()>& waiting = {});
    // The same lock for a command that only reads, taken only when it is
    // free, with a mark that has a round or a retry starting meanwhile wait
    // for it rather than be refused; false when another command holds
    // either (the reader then leaves the station's upkeep to that one).
    bool hold_liveness_to_read(const std::string& station);
    // Lets go of the station's lock (and a reader's mark), for a command
    // that only reads once it has delivered the spool: a reader that stalls
    // (a pager, a frozen network) holds no station back.
    virtual void let_go_liveness(const std::string& station) = 0;

  protected:
    // The station's lock taken if it is free, at once.
    virtual bool try_liveness(const std::string& station) = 0;
    // A reader's mark beside it: held by a reader while it holds the lock,
    // and for a moment by a command that finds the lock taken, to tell a
    // reader's hold from a live command's.
    virtual bool try_reading_mark(const std::string& station) = 0;
    virtual void let_go_reading_mark(const std::string& station) = 0;

  public:
    // Claims the record's MAC and writes the record as started, in one
    // transaction; the database's unique key on the MAC decides. A MAC with
    // a passed record is taken only for a rework, one in progress never, one
    // a board keeps only by a retry of that board's record (`retry_of`).
    // Sets the record's attempt: one more than the records of its MAC on
    // every station. A retry of an interrupted record takes over the claim
    // that record still holds. Returns an empty text, or why the MAC was
    // refused (where and when it was programmed, or is being programmed).
    virtual std::string claim_and_start(Record& record, const std::string& retry_of = "") = 0;
    // The pool's next unicast MAC, never handed out or claimed before, in
    // one transaction on the store that every station shares; none when the
    // pool is used up. The pool's place moves on in the same transaction,
    // and MACs used already are skipped a run at a time, so a hand-out
    // costs the same after a million MACs as at the first.
    virtual std::optional<std::string> hand_out(const std::string& first,
                                                const std::string& last) = 0;
    // How many MACs of the pool are handed out or claimed.
    virtual long long pool_used(const std::string& first, const std::string& last) = 0;
    // The MACs of the pool handed out that no record has (a station that
    // died between a hand-out and its claim, or one whose claim is still
    // on its way): their count and the first `most` of them. Never handed
    // out again: a board may have got one.
    virtual std::pair<long long, std::vector<std::string>>
    pool_unclaimed(const std::string& first, const std::string& last, size_t most) = 0;
    // Why the MAC would be refused now (passed before, unless reworked; in
    // progress on any station), or an empty text; the claim itself decides.
    virtual std::string refusal(const std::string& mac, bool rework) = 0;
    // Finishes a started record once; a passed board keeps its MAC claimed,
    // and so does one whose MAC-carrying image was being programmed
    // (record.mac_kept); any other outcome frees it. An interrupted record
    // frees nothing: nobody knows what its board holds, so its MAC stays
    // claimed until that board's retry, a release, or the record's true end,
    // which replaces `interrupted` when it arrives. Not found when the store
    // has no such record (it was started in another store). A true end that
    // says the board may carry a MAC that was released from it and went to
    // another board meanwhile is stored as it is, takes the MAC from no one,
    // and is a conflict.
    virtual Finish finish(const Record& record) = 0;
    // Checks that the store still has a record this station started (its
    // claim made in the same transaction); see Recheck. The record as the
    // station started it, an end it has being left to finish.
    virtual Recheck recheck(const Record& record) = 0;
    // What is done once the connection to the store was made again (a
    // server restarted, a standby promoted), before any other statement
    // goes there: the claims made before are checked again. Called by the
    // thread that found the connection gone; a fault fails its statement.
    void after_reconnect(std::function<void()> check) {
        std::lock_guard<std::mutex> lock(hook_mutex_);
        after_reconnect_ = std::move(check);
    }
    // The MACs on two boards (one MAC's, or every one), the open ones only
    // unless `all`.
    virtual std::vector<Conflict> conflicts(const std::string& mac, bool all) = 0;
    // The records of `station` still started, with their transcripts.
    virtual std::vector<Record> started_records(const std::string& station) = 0;
    // The boards still on `station`'s fixtures that keep their MACs: each
    // fixture's newest record, when the one-time rule holds its MAC
    // (mac_kept set), without its transcript.
    virtual std::vector<Record> kept_boards(const std::string& station) = 0;
    // Every MAC a board keeps, on every station: the records that keep
    // them (mac_kept set), in the order they started.
    virtual std::vector<Record> kept_macs() = 0;

    // The records, in the order they started; a MAC's (filter.mac) in the
    // order of their attempts.
    virtual std::vector<Record> records(const RecordFilter& filter) = 0;
    // Hands the records to `take` one at a time in the order they started,
    // as the store reads them: memory stays flat whatever the store's size.
    // The same, each record as its values (record_values' order), for a
    // writer that needs them as text only; its label's last three: its
    // first print's time (UTC) and job (empty: none), and its reprints.
    virtual void
    each_record_values(const RecordFilter& filter,
                       const std::function<void(const std::vector<std::string>&)>& take) = 0;
    virtual void each_record(const RecordFilter& filter,
                             const std::function<void(const Record&)>& take) = 0;
    // When the first and the last of the records started; empty when none.
    virtual std::pair<std::string, std::string> started_between(const RecordFilter& filter) = 0;
    // Group by group, in the order of the groups' names (as bytes); groups
    // without records are left out. Read from the counts the store keeps as
    // boards finish, unless `from` asks a count of the records themselves
    // (which a filter by MAC, round or record always takes).
    virtual std::vector<GroupCounts> group_counts(const RecordFilter& filter,
                                                  const Grouping& grouping,
                                                  CountFrom from = CountFrom::kept) = 0;
    virtual void failure_counts(const RecordFilter& filter, const Grouping& grouping,
                                const std::function<void(const FailureCounts&)>& take,
                                CountFrom from = CountFrom::kept) = 0;
    // Both at once, in one pass over the kept counts: a report's.
    virtual std::vector<GroupCounts>
    report_counts(const RecordFilter& filter, const Grouping& grouping,
                  const std::function<void(const FailureCounts&)>& take, CountFrom from) = 0;
    // What holds the MAC back, if anything.
    virtual std::optional<Holder> holder_of(const std::string& mac) = 0;
    // Frees a MAC that `release.record` holds (a claim that is not a passed
    // one, and the one-time rule) and records who freed it and why; false
    // when that record no longer holds it. Of a MAC on two boards, either
    // record may give it up, passed or not: the other keeps it, and the
    // conflict is resolved.
    virtual bool release(const Release& release) = 0;
    virtual std::vector<Release> releases(const std::string& mac) = 0;
    // A board's label printed, printed again or not printed; a MAC's, in
    // their order.
    virtual void add_label(const LabelEvent& label) = 0;
    virtual std::vector<LabelEvent> labels_of(const std::string& mac) = 0;
    // The last round of `station`, empty when it has none.
    virtual std::string last_round(const std::string& station) = 0;

    // Live progress and liveness, for the line's page: best-effort writes
    // of their own, never in a record's transaction.
    virtual void write_progress(const std::vector<Progress>& progress) = 0;
    virtual void write_beat(const Beat& beat) = 0;
    virtual LineNow line_now() = 0;

    // Records that `station` has checked its claims against the store's
    // server as it is now (its timeline), and when that timeline was first
    // seen; nothing for a store on this machine.
    virtual void claims_checked(const std::string& station) = 0;
    // The stations that have not checked their claims since the store's
    // server was promoted; none when every one has, or on this machine.
    virtual std::optional<Failover> failover() = 0;

    // How the store's server replicates; none for a store on this machine.
    virtual std::optional<Replication> replication() {
        return std::nullopt;
    }
    // The next statements read at length (a recount of every record): a
    // person runs them and sees them wait, as for an upgrade, where a
    // statement is otherwise given up as a server that stopped answering.
    virtual void read_at_length() {}
    // Which server this store reads from and how far its replay is
    // behind; none for a store on this machine.
    virtual std::optional<ReadFrom> read_from() {
        return std::nullopt;
    }
    // How many seconds the store's server's clock is ahead of this
    // machine's (behind: negative); none for a store on this machine.
    virtual std::optional<double> clock_offset() {
        return std::nullopt;
    }

  protected:
    // For an engine whose connection was made again; not from within.
    void reconnected() {
        std::function<void()> check;
        {
            std::lock_guard<std::mutex> lock(hook_mutex_);
            check = checking_ ? nullptr : after_reconnect_;
        }
        if (check) {
            checking_ = true;
            try {
                check();
            } catch (...) {
                checking_ = false;
                throw;
            }
            checking_ = false;
        }
    }

    std::string id_;
    std::string shown_;

  private:
    std::mutex hook_mutex_;
    std::function<void()> after_reconnect_;
    bool checking_ = false;
};

// The location as messages show it: a connection text as libpq reads it,
// rebuilt with its password replaced (host=db user=acc password=***), or,
// when libpq cannot read it, "(connection string not shown: why)".
std::string shown_location(const std::string& location);
// Opens the store at `location`. A SQLite file is created or upgraded as it
// is opened; a PostgreSQL database only with Schema::make_or_upgrade (station init), and
// is refused without it when its schema is missing or older. A store of a
// newer schema is always refused.
enum class Schema {
    as_it_is,        // every command but init: a store without the schema is refused
    make_or_upgrade, // station init
    read_only        // serve: nothing written; a store of another version is refused
};
std::unique_ptr<Store> open_store(const std::string& location, Schema schema = Schema::as_it_is);
