// Finished records that the store could not take (it was lost during a
// round) wait here, in a SQLite file beside the station file, until the
// store answers again; each is delivered once, by its id.
#pragma once

#include "station/store.h"

#include <string>

class Spool {
  public:
    explicit Spool(const std::string& path);
    ~Spool();
    Spool(const Spool&) = delete;
    Spool& operator=(const Spool&) = delete;

    void add(const Record& record);
    int waiting();
    // Delivers what waits, oldest first, until the store refuses; returns
    // how many were delivered.
    int deliver(Store& store);

  private:
    struct sqlite3* db_ = nullptr;
};
