// Where a round's claims and finished records go, off the poll loop: a
// writer thread for the store and one for the spool, each draining one
// queue of jobs, so that the loop that reads and reaps the hosts never
// waits on a database, the network or a disk.
#pragma once

#include "station/file/file.h"
#include "station/store/interface.h"
#include "station/store/spool.h"

#include <functional>
#include <memory>
#include <variant>
#include <vector>

class Recorder {
  public:
    struct Answer;
    struct Said;
    struct Written;
    struct Unwritten;
    // What the writers tell the round, each as it happens, through `post`
    // (from their threads): its inbox.
    using News = std::variant<Answer, Said, Written, Unwritten>;
    using Post = std::function<void(News)>;

    // `station`: whose claims are checked again when the store's
    // connection was made again.
    Recorder(std::shared_ptr<Store> store, std::shared_ptr<Spool> spool, std::string station,
             Post post);
    // Waits for what is queued (see settle) and ends the threads; a thread
    // that a store or disk holds is left to the process's end.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Queues a finished record; never waits. Once in the store or the
    // spool, it is told Written.
    void finished(const Record& record);
    struct Written {
        std::string record;
    };
    // Queues a board's label event for the store; never waits. One the
    // store does not take is said whole, as one JSON line.
    void label(const LabelEvent& label);

    // What the store said of a claim.
    struct Answer {
        enum class Result { claimed, refused, store_lost } result = Result::claimed;
        std::string why;    // of a refusal or a lost store
        Record record;      // its attempt and start set when claimed
        std::string folder; // the board's own folder, if `prepare` made one
    };
    // What a claim needs done on the writer's thread before it, as data: a
    // MAC from the pool when the record has none (refused when the pool is
    // spent), and the board's own copy of the image that carries its MAC,
    // in the answer's folder (the record's hash of that image is then of
    // the bytes this board gets). Both outlive the recorder.
    struct ClaimNeeds {
        const MacPlan* mac = nullptr;       // the station's [mac]; none: neither
        const Snapshot* snapshot = nullptr; // the round's, where a board's own image is made
    };
    // Queues a claim, before every finished record; never waits. Its
    // Answer is told. `retry_of`: the record a retry programs again (the
    // MAC it keeps).
    void claim(const Record& record, const ClaimNeeds& needs, const std::string& retry_of = "");
    // What the writers say (a store lost, a late end's conflict, a record
    // written nowhere else as one JSON line): a line for the station's
    // standard error, through the round's screen.
    struct Said {
        std::string line;
    };
    // From now on what is said goes straight to standard error: the round
    // reads its inbox no more.
    void tell_directly();
    // Called from the poll loop: declares the store lost when a write has
    // waited longer than STORE_PATIENCE. Never waits.
    void check();
    // A finished record that neither the store nor the spool took (a full
    // disk) is kept and tried again in the spool every 5 s. Told: `why` it
    // was written nowhere, or empty: written at last.
    struct Unwritten {
        std::string record, why;
    };
    // At the round's end: waits until every record is in the store or the
    // spool, at most STORE_PATIENCE for each, a record written nowhere yet
    // tried once more; a record that neither takes goes to standard error
    // as one JSON line. Returns how many did.
    int settle();
    // MACs that records of the round put on two boards (their true ends
    // came after a release): said on standard error as they are found.
    int conflicts() const;
    // Whether the store was lost during the round.
    bool store_lost() const;

    // Live writes for the line's page, once `live` names the station: each
    // running board's frames at most once a second (the latest only), and
    // the station's heartbeat every 5 s (and once more, as ended, when the
    // recorder ends). The store's writer does them when no claim or record
    // waits; they are dropped while the store is slow, never queued.
    void live(const std::string& station, const std::string& host_version);
    // Never waits.
    void progress(const Progress& progress);

    struct State;

  private:
    std::shared_ptr<State> state_;
};
