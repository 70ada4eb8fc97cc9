// `station serve`: the line's web view, served from the store the station
// file names, read-only: the line live (server-sent events), the yield, a
// board's records, the downloads and the API for the factory's systems.
#pragma once

#include "station/file/file.h"

#include <string>

// Where to listen: "ADDR:PORT" ("[ADDR]:PORT" for IPv6); port 0 takes a
// free one. A StationError (status 2) for anything else.
struct ListenAddress {
    std::string host;
    int port = 0;
};
ListenAddress listen_address(const std::string& text);

// `text` as the data of one server-sent event, its empty line last: a line
// of it each, whatever ends them (CR, LF or both), so that no text ends the
// event or names another.
std::string event_data(const std::string& text);

// Serves until SIGINT, SIGTERM or SIGHUP; says where on standard output
// ("serving ... at http://HOST:PORT/"). Returns the exit status.
int serve(const StationFile& file, const ListenAddress& where);
