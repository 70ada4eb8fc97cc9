// Opening the store for a command: the store, the station's liveness lock
// on it, the spool and its delivery, and what a dead command of the
// station left open; and the places beside the station file that its
// records need (the spool, the boards' logs) with room on their disks.
#pragma once

#include "station/store/spool.h"
#include "station/file/file.h"
#include "station/store/interface.h"

#include <memory>
#include <string>
#include <vector>

// The store, whether this command holds the station's liveness lock, and
// the spool.
struct Opened {
    std::shared_ptr<Store> store;
    bool alive = false;
    std::shared_ptr<Spool> spool;
    // MACs that the spool's late records put on two boards: the command
    // ends with status 3.
    int conflicts = 0;
};

// How a command holds its station: to itself (refused while another
// command holds it), for a while when free (a release), or as a reader,
// which a round starting meanwhile waits for rather than is refused by.
enum class Hold { to_itself, when_free, to_read };
// Opens the store and takes the station's liveness lock on it; the holder
// of that lock alone delivers the spool and marks what a dead command left
// open as interrupted, before anything else.
Opened open_for(const StationFile& file, Hold hold);

// The spool beside the station file.
std::string spool_path(const StationFile& file);
// Each board's log, beside the store (beside the station file for a
// PostgreSQL store), made the station's own when missing.
std::string log_folder(const StationFile& file);
// The places a round's records go, ready: the log folder made, and room on
// every disk they go to and for its boards' pipes and logs (a round starts
// only then). Returns the log folder.
std::string make_room_for_round(const StationFile& file, size_t boards);
