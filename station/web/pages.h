// The web view's pages, rendered by the server as HTML: the line, the
// yield, a board, and the error pages. Every text from the store or a
// station file goes through one escaping writer; charts are inline SVG;
// nothing is fetched from another origin. Pure functions of what the store
// said, so that the server only fetches and sends.
#pragma once

#include "station/reports/reports.h"
#include "station/store/store.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// A station as the line shows it.
struct StationView {
    std::string name;
    std::string state; // "running", "idle" or "not responding"
    std::string profile;
    std::string host_version;
    std::string last_beat; // UTC; empty when never heard from
    GroupCounts today;
    long long kept = 0; // MACs its boards keep, waiting for a retry
};

// The whole line as the server last read it from the store.
struct LineView {
    std::vector<StationView> stations;
    std::vector<FixtureNow> fixtures;  // by station, then fixture
    std::string as_of;                 // UTC, when the store was last read
    std::string store_fault;           // why the store does not answer; empty when it does
    std::string store_lost_since;      // UTC
    std::vector<Conflict> conflicts;   // MACs on two boards, until resolved
    std::optional<Failover> failover;  // until every station checked its claims
    std::optional<ReadFrom> read_from; // read from the file's read_store: its server
};

// A standby this far behind (seconds) is said as a fault: the page is old.
constexpr double STANDBY_BEHIND_SECONDS = 5;

// A station not heard from for this long is "not responding".
constexpr long SILENT_SECONDS = 15;

// The line from what the store holds now, the counts of today per station,
// and each station's silence in seconds (none: never heard from).
LineView line_view(const LineNow& now, const std::vector<GroupCounts>& today,
                   const std::function<std::optional<long>(const Beat&)>& silence);

// The part of the line's page that changes: stations and fixtures. Sent
// again whole whenever it changes.
std::string line_fragment(const LineView& line);
// The line's page around it; its script (line_script) keeps it live.
std::string line_page(const LineView& line);
const char* line_script();
// The pages' one style sheet (the content of their <style> element).
std::string line_style();
nlohmann::json line_json(const LineView& line);

// What the yield page was asked, as given (for its form) and as read.
struct YieldAsk {
    std::string by = "day";
    std::string since, until; // local dates as given
    std::string station, lot;
    ReportAsk ask;
};
std::string yield_page(const YieldAsk& asked, const Report& report);
// A yield page refused (400): its form filled with what was asked, and why.
std::string yield_refused_page(const YieldAsk& asked, const std::string& why);

// Every record of a MAC, newest last, with releases and labels; what
// holds the MAC now said first (kept, waiting for a retry; held by an
// unseen end).
// Written as the records come, so that no transcript is held escaped
// whole: `each` hands them to its argument one at a time, with their
// transcripts.
struct BoardAbout {
    std::string mac;
    size_t records = 0;
    std::vector<Release> releases;
    std::vector<LabelEvent> labels;
    std::optional<Holder> holder;
};
void write_board_page(const BoardAbout& about, const EachRecord& each, std::ostream& out);
// The MACs boards keep (Store::kept_macs), each linking its board's page.
std::string kept_page(const std::vector<Record>& kept);

// An error page: the status's title and why.
std::string error_page(int status, const std::string& why);
