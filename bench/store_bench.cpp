// store_bench: the time to commit a record to the station's store, as a round
// commits it: claimed and written as started, then finished; or, with
// --pool, the time to hand a MAC out of the pool 020000000000-0200FFFFFFFF
// and start a record with it.
//
//   store_bench [--pool] LOCATION COUNT
//
// Prints "median_ms p99_ms" over COUNT records.
#include "station/store/store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

// The pool handed out from: 2^32 MACs, which bench/used_macs.py can fill
// with used ones first.
const char POOL_FIRST[] = "020000000000";
const char POOL_LAST[] = "0200FFFFFFFF";

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

} // namespace

int main(int argc, char* argv[]) {
    bool pool = argc == 4 && std::strcmp(argv[1], "--pool") == 0;
    if (argc != 3 && !pool) {
        std::fprintf(stderr, "usage: store_bench [--pool] LOCATION COUNT\n");
        return 2;
    }
    try {
        std::unique_ptr<Store> store = open_store(argv[argc - 2]);
        int count = std::max(1, std::atoi(argv[argc - 1]));
        std::vector<double> took;
        for (int i = 0; i < count; ++i) {
            Record r;
            r.id = new_uuid();
            r.station = "bench";
            r.fixture = "A1";
            // A unicast MAC of its own (the first octet even).
            r.mac = "02" + r.id.substr(0, 8) + r.id.substr(9, 2);
            r.started = utc_now();
            r.round = "bench";
            auto start = std::chrono::steady_clock::now();
            if (pool) {
                std::optional<std::string> mac = store->hand_out(POOL_FIRST, POOL_LAST);
                r.mac = mac.value_or("");
            }
            std::string refusal = store->claim_and_start(r);
            if (!pool) {
                r.outcome = Outcome::passed;
                r.ended = utc_now();
                r.transcript = std::string(800, '.');
                store->finish(r);
            }
            took.push_back(ms_since(start));
            if (!refusal.empty()) {
                std::fprintf(stderr, "store_bench: %s\n", refusal.c_str());
                return 1;
            }
        }
        std::sort(took.begin(), took.end());
        std::printf("%.3f %.3f\n", took[took.size() / 2], took[took.size() * 99 / 100]);
    } catch (const StationError& error) {
        std::fprintf(stderr, "store_bench: %s\n", error.message.c_str());
        return 2;
    }
    return 0;
}
