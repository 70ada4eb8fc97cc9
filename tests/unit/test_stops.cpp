// The station's own stops, which no wait on the store may count against
// the store.
#include "station/base/stops.h"

#include <gtest/gtest.h>

#include <csignal>

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(Stops, APatienceSpentAcrossAStopStartsAgainOnce) {
    Patience spent_at_once(milliseconds(0));
    EXPECT_TRUE(spent_at_once.spent());

    Patience stopped(milliseconds(0));
    auto first = stopped.deadline();
    note_late(seconds(3)); // the loop came round three seconds late
    EXPECT_FALSE(stopped.spent()) << "a stop is not the store's silence";
    EXPECT_GE(stopped.deadline(), first);
    EXPECT_TRUE(stopped.spent()) << "one stop, one fresh start";
}

TEST(Stops, OnlyALoopLateByMoreThanASecondWasStopped) {
    struct Case {
        milliseconds late;
        bool stop;
    } cases[] = {{milliseconds(-50), false},
                 {milliseconds(0), false},
                 {milliseconds(900), false},
                 {milliseconds(1500), true},
                 {milliseconds(70000), true}};
    for (const Case& c : cases) {
        unsigned long stops = stops_seen();
        auto stopped = time_stopped();
        note_late(c.late);
        EXPECT_EQ(stops_seen() != stops, c.stop) << c.late.count();
        EXPECT_EQ(time_stopped() - stopped, c.stop ? c.late : milliseconds(0)) << c.late.count();
    }
}

TEST(Stops, AContinueIsCountedAndEndsNoPatience) {
    watch_for_stops();
    Patience patience(milliseconds(0));
    unsigned long stops = stops_seen();
    ASSERT_EQ(raise(SIGCONT), 0);
    EXPECT_EQ(stops_seen(), stops + 1);
    EXPECT_FALSE(patience.spent());
}

} // namespace
