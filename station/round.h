// A round: the boards of one `station run` or `station retry`, from the
// images' check to the last record. The store and spool it writes to come
// open, with the station's liveness lock held.
#pragma once

#include "station/spool.h"
#include "station/station_file.h"
#include "station/store.h"

#include <memory>
#include <string>
#include <vector>

// The store, whether this command holds the station's liveness lock, and
// the spool.
struct Opened {
    std::shared_ptr<Store> store;
    bool alive = false;
    std::shared_ptr<Spool> spool;
};

// A board the round is to program.
struct Planned {
    Fixture fixture;
    std::string mac; // empty: the pool's next
    bool rework;
    std::string retry_of = ""; // the record a retry programs again
};

// Refuses a [mac] offset whose six bytes do not fit in the image that
// carries the MAC (`images`: the configuration's, as read_images gives them).
void check_mac_fits(const StationFile& file, const struct Images& images);

// Refuses a pool whose first or last MAC no board may carry (multicast,
// broadcast, all zeros), with the file and line.
void check_pool_bounds(const StationFile& file);

// The spool beside the station file.
std::string spool_path(const StationFile& file);
// Each board's log, beside the store (beside the station file for a
// PostgreSQL store).
std::string log_folder(const StationFile& file);
// Marks what a dead command of this station left started as interrupted,
// with what each board's log tells; says how many. Each keeps its MAC
// claimed (and kept, with an image that carries it): the log may not tell
// how far its board got.
void interrupt_left_records(Store& store, const StationFile& file);

// Checks the images against the locked profile, snapshots them, claims and
// starts every planned board, runs them and tells the round's end. Returns
// the exit status: 0 every board passed, 1 one did not or was not started,
// 2 a record was written nowhere but standard error.
// `run --continuous`: asks for the MAC of the next idle fixture (the file's
// order, skipping those running) and starts its board as soon as the store
// has claimed it, while the others run; a refused MAC asks the same fixture
// again. The end of input, or "q", ends it once the running boards end.
int run_continuous(const StationFile& file, const Opened& opened,
                   const std::vector<Fixture>& fixtures, bool rework, bool json);
// `skipped`: fixtures the command left out already (skipped at the prompt).
int run_planned(const StationFile& file, const Opened& opened, const std::vector<Planned>& planned,
                int skipped, bool json);
