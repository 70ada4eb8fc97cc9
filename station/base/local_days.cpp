// Local calendar days and shifts, by the C library's time zone.
#include "station/base/local_days.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <unistd.h>

namespace {

// The folder of the system's time zone database.
std::string zone_folder() {
    const char* folder = std::getenv("TZDIR");
    return folder && *folder ? folder : "/usr/share/zoneinfo";
}

// A local time of a local date, as a UTC text. A time that the local clock
// skips (spring forward) is taken as the C library moves it.
std::string local_to_utc(const Date& date, int minutes) {
    struct tm t = {};
    t.tm_year = date.year - 1900;
    t.tm_mon = date.month - 1;
    t.tm_mday = date.day;
    t.tm_hour = minutes / 60;
    t.tm_min = minutes % 60;
    t.tm_isdst = -1;
    // mktime is the C library's own reading of the zone's rules; its time_t
    // goes to text without a clock type that overflows (nanoseconds end in
    // 2262).
    return utc_text_at(static_cast<long long>(mktime(&t)));
}

Date days_after(const Date& date, int days) {
    struct tm t = {};
    t.tm_year = date.year - 1900;
    t.tm_mon = date.month - 1;
    t.tm_mday = date.day + days;
    t.tm_hour = 12;
    time_t at = timegm(&t);
    gmtime_r(&at, &t);
    return Date{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday};
}

} // namespace

time_t utc_seconds(const std::string& utc) {
    struct tm t = {};
    if (std::sscanf(utc.c_str(), "%d-%d-%dT%d:%d:%d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec) != 6) {
        return 0;
    }
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return timegm(&t);
}

bool Date::operator<(const Date& o) const {
    return year != o.year ? year < o.year : month != o.month ? month < o.month : day < o.day;
}

bool Date::operator==(const Date& o) const {
    return year == o.year && month == o.month && day == o.day;
}

bool use_time_zone(const std::string& zone) {
    // A name of the database only: no path out of it, no POSIX rule text.
    if (zone.empty() || zone[0] == '/' || zone.find("..") != std::string::npos) {
        return false;
    }
    std::ifstream file(zone_folder() + "/" + zone, std::ios::binary);
    char magic[4] = {};
    if (!file.read(magic, 4) || std::string(magic, 4) != "TZif") {
        return false;
    }
    setenv("TZ", zone.c_str(), 1);
    tzset();
    return true;
}

std::string local_zone_name() {
    const char* tz = std::getenv("TZ");
    if (tz && *tz) {
        return tz[0] == ':' ? tz + 1 : tz;
    }
    char target[4096];
    ssize_t n = readlink("/etc/localtime", target, sizeof(target) - 1);
    if (n > 0) {
        std::string path(target, static_cast<size_t>(n));
        size_t at = path.find("zoneinfo/");
        if (at != std::string::npos) {
            return path.substr(at + 9);
        }
    }
    return access("/etc/localtime", R_OK) == 0 ? "the machine's local time" : "UTC";
}

std::optional<Date> date_named(const std::string& text) {
    Date date;
    char end = 0;
    if (text.size() != 10 || text[4] != '-' || text[7] != '-' ||
        std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &date.year, &date.month, &date.day, &end) != 3) {
        return std::nullopt;
    }
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
    }
    // The records begin in 1970; a machine whose clock ends sooner (a 32-bit
    // time_t, in 2038) refuses the dates it cannot count, below.
    if (date.year < 1970) {
        return std::nullopt;
    }
    struct tm t = {};
    t.tm_year = date.year - 1900;
    t.tm_mon = date.month - 1;
    t.tm_mday = date.day;
    t.tm_hour = 12;
    time_t at = timegm(&t);
    struct tm back;
    gmtime_r(&at, &back);
    if (back.tm_year + 1900 != date.year || back.tm_mon + 1 != date.month ||
        back.tm_mday != date.day) {
        return std::nullopt;
    }
    return date;
}

std::optional<int> time_of_day(const std::string& text) {
    if (text.size() != 5 || text[2] != ':') {
        return std::nullopt;
    }
    for (size_t i : {0, 1, 3, 4}) {
        if (text[i] < '0' || text[i] > '9') {
            return std::nullopt;
        }
    }
    int hours = std::stoi(text.substr(0, 2)), minutes = std::stoi(text.substr(3, 2));
    if (hours > 23 || minutes > 59) {
        return std::nullopt;
    }
    return hours * 60 + minutes;
}

std::string date_text(const Date& date) {
    char text[32];
    std::snprintf(text, sizeof(text), "%04d-%02d-%02d", date.year, date.month, date.day);
    return text;
}

Date next_day(const Date& date) {
    return days_after(date, 1);
}

Date day_before(const Date& date) {
    return days_after(date, -1);
}

std::string day_begins(const Date& date) {
    return local_to_utc(date, 0);
}

Date local_date(const std::string& utc) {
    time_t at = utc_seconds(utc);
    struct tm t;
    localtime_r(&at, &t);
    return Date{t.tm_year + 1900, t.tm_mon + 1, t.tm_mday};
}

std::string local_text(const std::string& utc) {
    time_t at = utc_seconds(utc);
    struct tm t;
    localtime_r(&at, &t);
    char text[64];
    std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &t);
    return text;
}

std::string local_time_with_offset(const std::string& utc) {
    if (utc.empty()) {
        return "";
    }
    time_t at = utc_seconds(utc);
    struct tm t;
    localtime_r(&at, &t);
    char text[64];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &t);
    // A zone is at most a day from UTC.
    int offset = static_cast<int>(t.tm_gmtoff / 60 % (24 * 60));
    char zone[16];
    std::snprintf(zone, sizeof(zone), "%c%02d:%02d", offset < 0 ? '-' : '+', std::abs(offset) / 60,
                  std::abs(offset) % 60);
    size_t dot = utc.find('.');
    std::string fraction = dot == std::string::npos ? "" : utc.substr(dot, utc.size() - dot - 1);
    return text + fraction + zone;
}

std::vector<Span> day_spans(const Date& first, const Date& last) {
    std::vector<Span> spans;
    for (Date day = first; !(last < day); day = next_day(day)) {
        spans.push_back({date_text(day), day_begins(day), day_begins(next_day(day))});
    }
    return spans;
}

std::vector<Span> shift_spans(const Date& first, const Date& last,
                              const std::vector<Shift>& shifts) {
    std::vector<Span> spans;
    for (Date day = first; !(last < day); day = next_day(day)) {
        for (size_t i = 0; i < shifts.size(); ++i) {
            std::string until = i + 1 < shifts.size()
                                    ? local_to_utc(day, shifts[i + 1].starts)
                                    : local_to_utc(next_day(day), shifts[0].starts);
            spans.push_back({date_text(day) + " " + shifts[i].name,
                             local_to_utc(day, shifts[i].starts), until});
        }
    }
    return spans;
}

std::vector<Span> clipped(std::vector<Span> spans, const std::string& since,
                          const std::string& until) {
    std::vector<Span> kept;
    for (Span& span : spans) {
        if (!since.empty() && span.since < since) {
            span.since = since;
        }
        if (!until.empty() && span.until > until) {
            span.until = until;
        }
        if (span.since < span.until) {
            kept.push_back(std::move(span));
        }
    }
    return kept;
}
