// The station's commands, in one table: each with its options, what it
// needs (the station file, host, the store, the station to itself), and
// the checks done before any work.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

// Everything the command line can give; each command reads its own.
struct Options {
    std::string file = "station.toml";
    std::vector<std::string> macs;
    std::string fixtures;
    bool json = false;
    bool rework = false;
    bool continuous = false;
    std::string since; // report and export: local days from this one
    std::string until; // ... to this one
    std::string by = "day";
    bool csv = false;
    bool jsonl = false;
    std::string lot;           // run and retry: the boards' lot; report and export: only its
    std::string operator_name; // run and retry: who runs them
    std::string mac;
    std::string station;                   // report and export: only this station's records
    std::string retry_mac;                 // retry: the board of this MAC
    std::string retry_record;              // retry: the board of this record
    std::string reason;                    // release: why
    std::string release_record;            // release: the board that gives a MAC up
    bool all = false;                      // conflicts: the resolved ones too
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
