// Finished records that the store could not take (it was lost during a
// round) wait here, in a SQLite file beside the station file, until the
// store answers again; each is delivered once, by its id, to the store it
// was started in and no other.
#pragma once

#include "station/store/store.h"

#include <string>
#include <vector>

class Spool {
  public:
    explicit Spool(const std::string& path);
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

  private:
    struct sqlite3* db_ = nullptr;
};
