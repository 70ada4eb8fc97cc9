// store_bench: the time to commit a record to the station's store, as a round
// commits it: claimed and written as started, then finished.
//
//   store_bench LOCATION COUNT
//
// Prints "median_ms p99_ms" over COUNT records (each the two commits).
#include "station/store.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char* argv[]) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: store_bench LOCATION COUNT\n");
        return 2;
    }
    try {
        std::unique_ptr<Store> store = open_store(argv[1]);
        int count = std::atoi(argv[2]);
        std::vector<double> took;
        for (int i = 0; i < count; ++i) {
            Record r;
            r.id = new_uuid();
            r.station = "bench";
            r.fixture = "A1";
            r.mac = r.id.substr(0, 8) + r.id.substr(9, 4);
            r.started = utc_now();
            r.round = "bench";
            auto start = std::chrono::steady_clock::now();
            std::string refusal = store->claim_and_start(r);
            r.outcome = Outcome::passed;
            r.ended = utc_now();
            r.transcript = std::string(800, '.');
            store->finish(r);
            took.push_back(
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count());
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
