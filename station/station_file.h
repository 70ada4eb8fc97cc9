// The station file (TOML): the station's name, its store, the configuration
// whose images it programs, the stall limit, host, and the fixtures.
#pragma once

#include <string>
#include <vector>

struct Fixture {
    std::string name;
    std::string port;
};

struct StationFile {
    std::string path;    // of the file itself
    std::string station; // this station's name, in every record
    std::string store;   // SQLite file (absolute), or a connection text
    std::string config;  // tivConfig.txt, absolute
    double stall_seconds = 60;
    std::string host; // absolute
    std::vector<Fixture> fixtures;
};

// Reads and checks the station file; relative paths are taken from its
// folder, and host defaults to `default_host`. Throws StationFileError with
// "FILE:LINE: what is wrong" for any fault, unknown keys included.
StationFile read_station_file(const std::string& path, const std::string& default_host);

struct StationFileError {
    std::string message;
};
