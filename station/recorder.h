// Where a round's finished records go, off the poll loop: a thread that
// writes them to the store and one that writes them to the spool, so that
// the loop that reads and reaps the hosts never waits on a database, the
// network or a disk.
#pragma once

#include "station/spool.h"
#include "station/store.h"

#include <chrono>
#include <functional>
#include <memory>

// A write the store has not taken in this time makes the store lost for
// the rest of the round: its records go to the spool.
constexpr std::chrono::seconds STORE_PATIENCE(10);

class Recorder {
  public:
    Recorder(std::shared_ptr<Store> store, std::shared_ptr<Spool> spool);
    // Waits for what is queued (see settle) and ends the threads; a thread
    // that a store or disk holds is left to the process's end.
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Queues a finished record; never waits.
    void finished(const Record& record);

    // What the store said of a claim.
    struct Answer {
        Record record;       // its attempt set when claimed
        std::string refusal; // why the MAC was refused, or empty
        std::string error;   // the store's fault, or empty
        std::string folder;  // what `prepare` gave
    };
    // Work on the writer's thread before a claim (a MAC from the pool, the
    // board's own images); returns a folder for the answer. A StationError
    // with status 1 refuses the claim with its message.
    typedef std::function<std::string(Record& record, Store& store)> Prepare;
    // Queues a claim (before finished records); never waits. The answer
    // comes through answers().
    // `retry_of`: the record a retry programs again (the MAC it keeps).
    void claim(const Record& record, Prepare prepare, const std::string& retry_of = "");
    // Readable while answers wait: for the poll loop.
    int answers_fd() const;
    // The answers that wait.
    std::vector<Answer> answers();
    // Called from the poll loop: declares the store lost when a write has
    // waited longer than STORE_PATIENCE. Never waits.
    void check();
    // At the round's end: waits until every record is in the store or the
    // spool, at most STORE_PATIENCE for each; a record that neither takes
    // goes to standard error as one JSON line. Returns how many did.
    int settle();
    // Whether the store was lost during the round.
    bool store_lost() const;

    struct State;

  private:
    std::shared_ptr<State> state_;
};
