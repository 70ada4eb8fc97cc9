// The station file (TOML): the station's name, its store, the configuration
// whose images it programs, the stall limit, host, and the fixtures.
#pragma once

#include "station/base/base.h"
#include "station/file/profile.h"

#include <optional>
#include <string>
#include <vector>

struct Fixture {
    std::string name;
    std::string port;
};

// Where each board's MAC goes, and the pool MACs are handed out from.
struct MacPlan {
    std::optional<ImageKind> image;      // the image that carries it; none: no image does
    long long offset = 0;                // of its six bytes in that image, most significant first
    std::string offset_place;            // "FILE:LINE" of the offset, for the check at lock
    std::string first, last;             // the pool, 12 upper-case hexadecimal digits; empty: none
    std::string first_place, last_place; // "FILE:LINE" of each, for the checks of a round
    bool has_pool() const {
        return !first.empty();
    }
    // How many MACs of the pool a board may carry (unicast ones).
    unsigned long long pool_size() const;
};

// The label printed for each board that passes ([label]): a template in
// the printer's own language, sent as raw bytes to a label printer.
struct LabelPlan {
    std::string place;         // "FILE:LINE" of the template or the table, for the check at lock
    std::string template_path; // absolute; empty: the built-in label, or none
    bool builtin = false;      // the station's own layout, printed through CUPS
    LabelLayout layout;        // of the built-in label
    std::string printer;       // as written
    std::string host;          // of a raw printer (socket://HOST:PORT)
    int port = 0;
    std::string queue; // a CUPS queue's name
    // A passed board's label is scanned back at its fixture before the
    // fixture's next board (run --continuous).
    bool verify = false;
    bool on() const {
        return !printer.empty();
    }
};

struct StationFile {
    std::string path;             // of the file itself
    std::string station;          // this station's name, in every record
    std::string store;            // SQLite file (absolute), or a connection text
    bool store_on_server = false; // `store` is a connection text (PostgreSQL)
    // Where the commands that only read (report, export, history, serve)
    // read: a standby of the store's server, so that they never load the
    // primary the stations write to; empty: the store itself.
    std::string read_store;
    const std::string& reads_from() const {
        return read_store.empty() ? store : read_store;
    }
    std::string config; // tivConfig.txt, absolute
    double stall_seconds = 60;
    std::string host;       // absolute; empty: the station looks for it
    std::string host_place; // "FILE:LINE" of the host key
    std::vector<Fixture> fixtures;
    MacPlan mac;
    LabelPlan label;
    std::string timezone; // the zone its days are counted in; empty: the machine's
    // A refused scan rings the terminal's bell (the operator looks at the
    // board, not the screen), unless `bell = false`.
    bool bell = true;
    std::string lot;           // the records' lot unless a command names one
    std::vector<Shift> shifts; // in the order they start; none: days only
    // How far this machine's clock may be from the store's server: past
    // `clock_warn` seconds a command that writes warns, past `clock_refuse`
    // no round runs ([clock] warn, refuse).
    double clock_warn = 2;
    double clock_refuse = 60;
};

// Whether a text may name a station, fixture, lot, operator or shift: 1 to
// 64 letters, digits, '.', '_' and '-', starting with a letter or digit.
bool is_name(const std::string& name);
extern const char NAME_RULE[];

// Whether a store's location is a PostgreSQL connection text (a URI, or
// libpq's keyword=value form) rather than a SQLite file's path.
bool is_connection_text(const std::string& location);

// Every key the station file takes, with the table it is in ("" at the
// top, "[[fixture]]", "[mac]", "[clock]", "[label]"; "[shifts]" takes any name): the
// manual names each.
std::vector<std::pair<std::string, std::string>> station_file_keys();

// Reads and checks the station file; relative paths are taken from its
// folder. Throws StationError with "FILE:LINE: what is wrong" for any
// fault: unknown keys, names that are not names, a stall that is not a
// number of seconds in range, two fixtures on one port, a time zone the
// system does not know, shifts at one time. Its time zone is the process's
// from then on.
StationFile read_station_file(const std::string& path);
// What lock, run and retry need of the file beyond what the web view
// does: its configuration and its fixtures (StationError without them).
void check_programs(const StationFile& file);
// The host a command runs, and the release it carries.
struct FoundHost {
    std::string path;
    std::string version;
};
// Finds host: as the file names it, or else beside the station, in the
// build tree's folder above it, or in the install's folder. Checked before
// any claim, record or frame.
FoundHost find_host(const StationFile& file);
// The same without a station file: the host installed beside the station.
FoundHost find_host();

// The images a round programs: read as host reads them, the same bytes as
// `locked` (else refused: `station lock` first), the MAC's place in them and
// the pool's bounds checked; with the frames each job sends.
struct RoundImages {
    Images images;
    RunFrames frames;
    std::string label; // the label template's bytes, as locked; none without [label]
};
// The label template's bytes, its placeholders checked (a StationError at
// its key's line otherwise); of the built-in label, its layout_text.
std::string read_label(const LabelPlan& plan);
// Where a label comes from, for messages: its template's path, or the
// built-in label's layout.
std::string label_source(const LabelPlan& plan);
// The profile that `station lock` fixes: the images', with the label
// template's hash (and so its id) when the file has a [label].
Profile station_profile(const StationFile& file, const Images& images);
RoundImages images_for_round(const StationFile& file, const Profile& locked);

// Refuses a [mac] offset whose six bytes do not fit in the image that
// carries the MAC (`images`: the configuration's, as read_images gives them).
void check_mac_fits(const StationFile& file, const Images& images);
// Refuses a pool whose first or last MAC no board may carry (multicast,
// broadcast, all zeros), with the file and line.
void check_pool_bounds(const StationFile& file);
