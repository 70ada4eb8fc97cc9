// The station's commands, in one table: each with its options, what it
// needs (the station file, host, the store, the station to itself), and
// the checks done before any work.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

// What the command line gives: the station file, and each command's own
// options, grouped by what they mean.
struct Options {
    std::string file = "station.toml";
    // run and retry: the boards of a round and what their records say.
    struct Round {
        std::vector<std::string> macs;
        std::string fixtures;
        bool json = false; // one JSON event per line
        bool rework = false;
        bool continuous = false;
        std::string lot; // the records' lot
        std::string operator_name;
        std::string retry_mac;    // retry: the board of this MAC
        std::string retry_record; // retry: the board of this record
    } round;
    // report, export and conflicts: which records, and how they are written.
    struct Records {
        std::string since; // local days from this one
        std::string until; // ... to this one
        std::string station;
        std::string lot;
        std::string by = "day";
        bool csv = false;
        bool json = false;
        bool jsonl = false;
        bool all = false;      // conflicts: the resolved ones too
        bool failures = false; // report --csv: the failures table
        bool recount = false;  // report: from the records, checked against the kept counts
    } records;
    // history, log and release: one board.
    struct Board {
        std::string mac;
        std::string reason; // release: why
        std::string record; // release: the record that gives the MAC up
    } board;
    std::string from; // record: the file of records printed as written nowhere ("-": stdin)
    std::string listen = "127.0.0.1:8080"; // serve: where
};

// What a command needs before it does anything.
enum class Needs {
    nothing,          // ports
    file,             // init
    shared_store,     // report, export, history: read while a round may run
    station_to_itself // lock, run, retry: no other live command of the station
};

struct Context;

struct Command {
    const char* name;
    const char* help;
    Needs needs;
    bool runs_host; // host is found and checked before anything
    void (*add_options)(CLI::App& command, Options& options);
    // Checks on the command line alone, before the file or the store.
    void (*check)(const Options& options);
    int (*run)(const Context& context);
};

// `station --version`: the station's release, and the release and path of
// the host it finds beside it (or why none).
std::string version_text();

// The table, in the order of the help.
const std::vector<Command>& commands();
// Runs `command` with its needs met in order: the checks, the station file,
// host, the store with the liveness lock. Returns the exit status; a
// StationError on the way carries its own.
int run_command(const Command& command, const Options& options);
