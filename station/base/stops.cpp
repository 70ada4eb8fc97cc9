// The station's stops, as SIGCONT and its own loops see them.
#include "station/base/stops.h"

#include <atomic>
#include <csignal>

namespace {

typedef std::chrono::steady_clock Clock;

// Lock-free, so that the signal handler may count.
std::atomic<unsigned long> continued{0};
std::atomic<long long> stopped_nanoseconds{0};

// A loop that comes round this much later than it should was not running.
constexpr auto NOTICED_STOP = std::chrono::seconds(1);

void on_continue(int) {
    continued.fetch_add(1);
}

} // namespace

void watch_for_stops() {
    struct sigaction action = {};
    action.sa_handler = on_continue;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGCONT, &action, nullptr);
}

unsigned long stops_seen() {
    return continued.load();
}

void note_late(Clock::duration late) {
    if (late > NOTICED_STOP) {
        stopped_nanoseconds.fetch_add(
            std::chrono::duration_cast<std::chrono::nanoseconds>(late).count());
        continued.fetch_add(1);
    }
}

Clock::duration time_stopped() {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(stopped_nanoseconds.load()));
}

Patience::Patience(Clock::duration patience)
    : patience_(patience), deadline_(Clock::now() + patience), stops_(stops_seen()) {}

bool Patience::spent() {
    Clock::time_point now = Clock::now();
    if (now < deadline_) {
        return false;
    }
    if (stops_seen() != stops_) {
        stops_ = stops_seen();
        deadline_ = now + patience_;
        return false;
    }
    return true;
}
