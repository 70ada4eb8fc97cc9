// Days and shifts as the factory counts them: the station's local calendar
// (the C library's time zone: the station file's "timezone", else TZ, else
// the machine's). Records keep UTC; these turn local dates and shifts into
// the UTC spans the store counts by.
#pragma once

#include "station/base/record.h"

#include <climits>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// A stretch of time with a name (a local day, a shift): its records are
// those started at or after `since` and before `until` (UTC texts).
struct Span {
    std::string name;
    std::string since;
    std::string until;
};

// A calendar date.
struct Date {
    int year = 0;
    int month = 0;
    int day = 0;
    bool operator<(const Date& other) const;
    bool operator==(const Date& other) const;
};

// A shift and the local time of day it starts at, in minutes after midnight.
struct Shift {
    std::string name;
    int starts = 0;
};

// Makes `zone` (a name of the system's time zone database, "Asia/Shanghai")
// the process's time zone; false when the system has no such zone.
bool use_time_zone(const std::string& zone);
// The time zone in use, as a person names it ("Asia/Shanghai", or "UTC").
std::string local_zone_name();

// A real calendar date written YYYY-MM-DD; none for anything else.
std::optional<Date> date_named(const std::string& text);
// A time of day written HH:MM (00:00 to 23:59), in minutes; none for anything else.
std::optional<int> time_of_day(const std::string& text);
std::string date_text(const Date& date);
Date next_day(const Date& date);
Date day_before(const Date& date);

// When the local day `date` begins, as a UTC text.
std::string day_begins(const Date& date);
// The local date of a UTC text (as utc_now writes it).
Date local_date(const std::string& utc);
// A UTC text (as utc_now writes it) as seconds since the epoch; 0 for
// anything else.
time_t utc_seconds(const std::string& utc);
// A UTC text in local time, to the second: "2026-12-08 19:23:45".
std::string local_text(const std::string& utc);
// A UTC text in local time with its offset, to the millisecond, as a
// spreadsheet or a script reads it: "2026-12-08T19:23:45.250+08:00"; empty
// for an empty text.
std::string local_time_with_offset(const std::string& utc);
// The same for an export's rows, one after another, byte for byte: each
// text read by its digits and the zone's offset looked up once per hour of
// UTC (twice, at its ends; per time only within an hour whose offset
// changes), not parsed and looked up per row. Any other text is handed to
// local_time_with_offset.
class LocalTimes {
  public:
    std::string with_offset(const std::string& utc);

  private:
    long long hour_ = LLONG_MIN; // of the offset below, in hours since the epoch
    long offset_ = 0;            // seconds east of UTC
    bool changes_ = false;       // within that hour
};

// Each local day from `first` to `last`, named by its date.
std::vector<Span> day_spans(const Date& first, const Date& last);
// Each shift of each local day from `first` to `last`, named "DATE NAME";
// a shift lasts until the next one begins, the day's last until the next
// day's first: a night shift that crosses midnight belongs to the day it
// began. `shifts` are in the order they start.
std::vector<Span> shift_spans(const Date& first, const Date& last,
                              const std::vector<Shift>& shifts);
// The spans cut to [since, until) (UTC texts; empty: no bound), empty ones left out.
std::vector<Span> clipped(std::vector<Span> spans, const std::string& since,
                          const std::string& until);
