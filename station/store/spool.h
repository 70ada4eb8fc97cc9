// Finished records that the store could not take (it was lost during a
// round) wait here, in a SQLite file beside the station file, until the
// store answers again; each is delivered once, by its id, to the store it
// was started in and no other.
#pragma once

#include "station/store/interface.h"

#include <string>
#include <vector>

class Spool {
  public:
    // `journal`: the spool's file also keeps the claims the station made
    // and has not yet seen finished long enough in the store (a store on a
    // server, whose failover may lose its last commits).
    explicit Spool(const std::string& path, bool journal = false);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    // Keeps a record for `store`, the store it was started in.
    void add(const Record& record, const Store& store);
    int waiting();
    struct Delivery {
        int delivered = 0;
        int kept = 0;    // records of another store, left waiting
        std::string why; // what the kept ones wait for
        // MACs that a delivered record's true end put on two boards.
        std::vector<Conflict> conflicts;
        // Delivered records whose released MAC is their board's again.
        std::vector<Record> reclaimed;
    };
    // Delivers what waits for `store`, oldest first, until the store
    // refuses; a record of another store (or one this store never started)
    // stays in the spool.
    Delivery deliver(Store& store);

    // A claim the store took, and its record's end once the store took it.
    // A fault is said by the caller; the boards run all the same.
    void claimed(const Record& record, const Store& store);
    void finished(const Record& record);
    struct Rechecked {
        std::vector<Record> restored;    // lost by the store, written again
        std::vector<Conflict> conflicts; // lost, and the MAC on another board since
        // Each as the station says it, a line apiece.
        std::vector<std::string> said() const;
    };
    // Checks each claim of the journal against `store` (Store::recheck), and
    // gives an end the store lost to it again. A claim is kept until its
    // record has been finished in the store for 15 minutes: a failover
    // loses no more than its server's last moments.
    Rechecked recheck(Store& store);

  private:
    struct sqlite3* db_ = nullptr;
    bool journal_;
};
