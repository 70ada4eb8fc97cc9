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

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and
// back (H. Hinnant's algorithms).
long long days_from_civil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    long long era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void civil_from_days(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = static_cast<unsigned>(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<long long>(yoe) + era * 400 + (m <= 2);
}

// The digits of `text` from `at` for `count` characters, or -1.
int digits(const std::string& text, size_t at, size_t count) {
    int value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

long offset_at(time_t at) {
    struct tm t;
    localtime_r(&at, &t);
    return t.tm_gmtoff;
}

void put_digits(char*& to, long long value, int count) {
    for (int i = count - 1; i >= 0; --i) {
        to[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    to += count;
}

} // namespace

std::string LocalTimes::with_offset(const std::string& utc) {
    // "YYYY-MM-DDTHH:MM:SS" and a fraction and a "Z", as utc_now writes.
    size_t n = utc.size();
    int year = n >= 20 ? digits(utc, 0, 4) : -1, month = -1, day = -1;
    int hour = -1, minute = -1, second = -1;
    if (year >= 1000 && utc[4] == '-' && utc[7] == '-' && utc[10] == 'T' && utc[13] == ':' &&
        utc[16] == ':' && utc[n - 1] == 'Z' && (n == 20 || utc[19] == '.')) {
        month = digits(utc, 5, 2);
        day = digits(utc, 8, 2);
        hour = digits(utc, 11, 2);
        minute = digits(utc, 14, 2);
        second = digits(utc, 17, 2);
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 || minute < 0 ||
        minute > 59 || second < 0 || second > 59) {
        return local_time_with_offset(utc);
    }
    long long at =
        days_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second;
    long long in_hour = at >= 0 ? at / 3600 : (at - 3599) / 3600;
    if (in_hour != hour_) {
        hour_ = in_hour;
        offset_ = offset_at(static_cast<time_t>(in_hour * 3600));
        changes_ = offset_at(static_cast<time_t>(in_hour * 3600 + 3599)) != offset_;
    }
    long offset = changes_ ? offset_at(static_cast<time_t>(at)) : offset_;
    long long local = at + offset;
    long long local_day = local >= 0 ? local / 86400 : (local - 86399) / 86400;
    long long in_day = local - local_day * 86400;
    long long y;
    unsigned m, d;
    civil_from_days(local_day, y, m, d);
    if (y < 1000 || y > 9999) {
        return local_time_with_offset(utc);
    }
    // A zone is at most a day from UTC.
    int minutes = static_cast<int>(offset / 60 % (24 * 60));
    char text[64];
    char* to = text;
    put_digits(to, y, 4);
    *to++ = '-';
    put_digits(to, m, 2);
    *to++ = '-';
    put_digits(to, d, 2);
    *to++ = 'T';
    put_digits(to, in_day / 3600, 2);
    *to++ = ':';
    put_digits(to, in_day / 60 % 60, 2);
    *to++ = ':';
    put_digits(to, in_day % 60, 2);
    std::string out(text, static_cast<size_t>(to - text));
    out.append(utc, 19, n - 20); // the fraction, without the "Z"
    to = text;
    *to++ = minutes < 0 ? '-' : '+';
    put_digits(to, std::abs(minutes) / 60, 2);
    *to++ = ':';
    put_digits(to, std::abs(minutes) % 60, 2);
    return out.append(text, static_cast<size_t>(to - text));
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
