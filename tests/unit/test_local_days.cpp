// Local days and shifts turned into the UTC spans a report counts by, in
// zones with and without summer time.
#include "station/base/local_days.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <ctime>

namespace {

// Sets the zone for one test and puts the old one back.
class InZone {
  public:
    explicit InZone(const char* zone) {
        const char* was = std::getenv("TZ");
        had_ = was != nullptr;
        old_ = had_ ? was : "";
        EXPECT_TRUE(use_time_zone(zone)) << zone;
    }
    ~InZone() {
        had_ ? setenv("TZ", old_.c_str(), 1) : unsetenv("TZ");
        tzset();
    }

  private:
    bool had_;
    std::string old_;
};

TEST(LocalDays, DatesAndTimesOfDayAreTakenOnlyWhenReal) {
    struct Case {
        const char* text;
        bool date;
    } cases[] = {{"2026-03-29", true},  {"2028-02-29", true},   {"2026-02-29", false},
                 {"2026-02-30", false}, {"2026-13-01", false},  {"2026-00-10", false},
                 {"2026-3-29", false},  {"2026-03-29x", false}, {"+026-03-29", false},
                 {"yesterday", false}};
    for (const Case& c : cases) {
        EXPECT_EQ(date_named(c.text).has_value(), c.date) << c.text;
    }
    EXPECT_EQ(time_of_day("00:00"), 0);
    EXPECT_EQ(time_of_day("23:59"), 23 * 60 + 59);
    for (const char* wrong : {"24:00", "25:00", "12:60", "6:00", "06:0", "06-00", ""}) {
        EXPECT_FALSE(time_of_day(wrong).has_value()) << wrong;
    }
}

TEST(LocalDays, ADayIsItsZonesDayAndSummerTimeMakesOne23HoursLong) {
    struct Case {
        const char* zone;
        const char* date;
        const char* since;
        const char* until;
    } cases[] = {
        {"UTC", "2026-12-08", "2026-12-08T00:00:00.000Z", "2026-12-09T00:00:00.000Z"},
        {"Asia/Shanghai", "2026-12-08", "2026-12-07T16:00:00.000Z", "2026-12-08T16:00:00.000Z"},
        // Europe changes to summer time on the last Sunday of March, and back
        // on the last of October.
        {"Europe/Berlin", "2026-03-29", "2026-03-28T23:00:00.000Z", "2026-03-29T22:00:00.000Z"},
        {"Europe/Berlin", "2026-10-25", "2026-10-24T22:00:00.000Z", "2026-10-25T23:00:00.000Z"},
    };
    for (const Case& c : cases) {
        InZone zone(c.zone);
        std::vector<Span> days = day_spans(*date_named(c.date), *date_named(c.date));
        ASSERT_EQ(days.size(), 1u);
        EXPECT_EQ(days[0].name, c.date);
        EXPECT_EQ(days[0].since, c.since) << c.zone;
        EXPECT_EQ(days[0].until, c.until) << c.zone;
        EXPECT_EQ(date_text(local_date(c.since)), c.date) << c.zone;
    }
}

TEST(LocalDays, ANightShiftBelongsToTheDayItBegan) {
    InZone zone("Asia/Shanghai");
    std::vector<Shift> shifts = {{"early", 6 * 60}, {"late", 14 * 60}, {"night", 22 * 60}};
    Date day = *date_named("2026-12-08");
    std::vector<Span> spans = shift_spans(day, day, shifts);
    ASSERT_EQ(spans.size(), 3u);
    EXPECT_EQ(spans[0].name, "2026-12-08 early");
    EXPECT_EQ(spans[0].since, "2026-12-07T22:00:00.000Z");
    EXPECT_EQ(spans[1].since, spans[0].until);
    EXPECT_EQ(spans[2].name, "2026-12-08 night");
    EXPECT_EQ(spans[2].since, "2026-12-08T14:00:00.000Z");
    EXPECT_EQ(spans[2].until, "2026-12-08T22:00:00.000Z"); // 06:00 on the 9th
    // Cut to the days asked: the night shift's part after midnight goes.
    std::vector<Span> cut = clipped(spans, day_begins(day), day_begins(next_day(day)));
    ASSERT_EQ(cut.size(), 3u);
    EXPECT_EQ(cut[0].since, spans[0].since);
    EXPECT_EQ(cut[2].until, "2026-12-08T16:00:00.000Z");
    EXPECT_TRUE(clipped(spans, "2026-12-09T00:00:00.000Z", "").empty());
}

TEST(LocalDays, AZoneOutsideTheDatabaseIsRefused) {
    for (const char* zone : {"Mars/Olympus", "", "/etc/passwd", "../../etc/passwd", "UTC+8"}) {
        EXPECT_FALSE(use_time_zone(zone)) << zone;
    }
}

} // namespace

// Every year a person may type counts as a time, in order: a clock of
// nanoseconds would end in 2262 and turn the later bounds round.
TEST(LocalDays, EveryYearFrom1970To9999BeginsWhereItsDaySays) {
    InZone zone("America/New_York");
    struct Case {
        const char* date;
        const char* begins;
    } cases[] = {
        {"1970-01-02", "1970-01-02T05:00:00.000Z"},
        {"2262-04-12", "2262-04-12T04:00:00.000Z"},
        {"2300-01-01", "2300-01-01T05:00:00.000Z"},
        {"9999-12-31", "9999-12-31T05:00:00.000Z"},
    };
    if (sizeof(time_t) < 8) {
        GTEST_SKIP() << "a 32-bit time_t refuses the dates past 2038 instead";
    }
    std::string before;
    for (const Case& c : cases) {
        std::optional<Date> date = date_named(c.date);
        ASSERT_TRUE(date) << c.date;
        EXPECT_EQ(day_begins(*date), c.begins);
        EXPECT_LT(before, day_begins(*date)) << c.date;
        EXPECT_LT(day_begins(*date), day_begins(next_day(*date))) << c.date;
        before = day_begins(*date);
    }
    // The day after the last one sorts after every record.
    EXPECT_EQ(day_begins(next_day(*date_named("9999-12-31"))), "9999-12-31T23:59:59.999Z");
    for (const char* early : {"1969-12-31", "0001-01-01", "0000-01-01"}) {
        EXPECT_FALSE(date_named(early).has_value()) << early;
    }
}

TEST(LocalDays, UtcTextsOfAnySecondAreThoseOfTheCalendar) {
    struct Case {
        long long seconds;
        int millis;
        const char* text;
    } cases[] = {{0, 0, "1970-01-01T00:00:00.000Z"},
                 {951782400, 5, "2000-02-29T00:00:00.005Z"},
                 {2147483648LL, 0, "2038-01-19T03:14:08.000Z"},
                 {9223372036LL + 1, 0, "2262-04-11T23:47:17.000Z"},
                 {253402300799LL, 999, "9999-12-31T23:59:59.999Z"},
                 {253402300800LL, 0, "9999-12-31T23:59:59.999Z"}};
    for (const Case& c : cases) {
        EXPECT_EQ(utc_text_at(c.seconds, c.millis), c.text) << c.seconds;
    }
}

namespace {

TEST(LocalDays, ATimeForASpreadsheetIsLocalWithItsOffset) {
    const struct {
        const char* zone;
        const char* utc;
        const char* local;
    } cases[] = {
        {"Asia/Shanghai", "2026-12-08T11:23:45.250Z", "2026-12-08T19:23:45.250+08:00"},
        {"America/St_Johns", "2026-12-08T11:23:45.250Z", "2026-12-08T07:53:45.250-03:30"},
        {"Europe/Berlin", "2026-07-01T00:00:00.000Z", "2026-07-01T02:00:00.000+02:00"},
        {"UTC", "2026-12-31T23:59:59Z", "2026-12-31T23:59:59+00:00"},
        {"UTC", "", ""},
    };
    for (const auto& c : cases) {
        InZone zone(c.zone);
        EXPECT_EQ(local_time_with_offset(c.utc), c.local) << c.zone;
    }
}

} // namespace

// An export's fast local times, byte for byte what the plain conversion
// gives: zones with summer time, half and quarter hours, a 30-minute summer
// shift, local mean time of the 19th century; times in order (as an export
// reads them) and at random, whole seconds and with milliseconds; texts of
// other shapes left to the plain conversion.
TEST(LocalTimes, AsThePlainConversionInEveryZone) {
    const char* zones[] = {"UTC",
                           "Europe/Berlin",
                           "Asia/Shanghai",
                           "America/St_Johns",
                           "Asia/Kathmandu",
                           "Australia/Lord_Howe",
                           "America/Sao_Paulo",
                           "Pacific/Chatham"};
    std::mt19937_64 draws(57);
    for (const char* zone : zones) {
        InZone in(zone);
        LocalTimes times;
        long long at = -2500000000LL; // 1890
        for (int i = 0; i < 20000; ++i) {
            // Mostly forward in small steps, now and then anywhere.
            at = i % 50 == 0 ? static_cast<long long>(draws() % 7000000000ULL) - 2500000000LL
                             : at + static_cast<long long>(draws() % 40000);
            time_t t = static_cast<time_t>(at);
            struct tm u;
            gmtime_r(&t, &u);
            char text[40];
            std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &u);
            std::string utc = text;
            utc += i % 3 == 0 ? "Z" : "." + std::to_string(100 + draws() % 900) + "Z";
            ASSERT_EQ(times.with_offset(utc), local_time_with_offset(utc)) << zone << " " << utc;
        }
        for (const char* other : {"", "2026-12-08", "2026-12-08T01:02:03", "2026-13-08T01:02:03Z",
                                  "x026-12-08T01:02:03.000Z", "2026-12-08 01:02:03.000Z"}) {
            EXPECT_EQ(times.with_offset(other), local_time_with_offset(other)) << other;
        }
    }
}
