// store_history: writes a seeded random history of boards into a station's
// store through the store's own calls, as rounds, retries, reworks, late
// truths, releases, records given back from a spool and read-back labels
// would, at times spread over days across midnights and shift changes; then
// checks, for random groupings and filters (local days and shifts in the
// process's zone, spans cut at any minute, a station, a lot), that the
// counts the store keeps equal a count of the records.
//
//   store_history LOCATION SEED STEPS
//
// Says each difference and exits 1; 0 when every count agrees.
#include "station/base/local_days.h"
#include "station/store/store.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <tuple>

namespace {

const char* const STATIONS[] = {"line1", "line2"};
const char* const FIXTURES[] = {"A1", "A2", "A3"};
const char* const LOTS[] = {"", "L1", "L2"};
const char* const OPERATORS[] = {"", "ann", "bo", "cy"};

class History {
  public:
    History(Store& store, unsigned seed) : store_(store), random_(seed) {}

    void step() {
        // The clock moves on by up to 50 minutes; a station's clock may lag.
        now_ += pick(3000);
        switch (pick(10)) {
        case 0:
        case 1:
        case 2:
            start(new_mac(), "", false);
            break;
        case 3:
        case 4:
        case 5:
            finish_one();
            break;
        case 6:
            retry_or_rework();
            break;
        case 7:
            late_truth_or_release();
            break;
        case 8:
            label();
            break;
        default:
            given_back();
        }
    }


  private:
    long long pick(long long n) {
        return std::uniform_int_distribution<long long>(0, n - 1)(random_);
    }
    template <class T, size_t N> const char* any(T (&names)[N]) {
        return names[pick(N)];
    }
    std::string at(long long offset = 0) {
        return utc_text_at(now_ + offset, static_cast<int>(pick(1000)));
    }
    std::string new_mac() {
        char text[16];
        std::snprintf(text, sizeof(text), "02AA%08llX", next_mac_++);
        return text;
    }

    Record board(const std::string& mac) {
        Record r;
        r.id = new_uuid();
        r.station = any(STATIONS);
        r.fixture = any(FIXTURES);
        r.mac = mac;
        r.started = at(-pick(1800));
        r.round = "r";
        r.lot = any(LOTS);
        r.operator_name = any(OPERATORS);
        return r;
    }

    void start(const std::string& mac, const std::string& retry_of, bool rework) {
        Record r = board(mac);
        r.rework = rework;
        if (store_.claim_and_start(r, retry_of).empty()) {
            running_.push_back(r);
        }
    }

    // An end as host gives them: most pass; frame numbers vary.
    void end(Record& r) {
        static const std::tuple<Outcome, Stage, const char*> ends[] = {
            {Outcome::passed, Stage::none, ""},
            {Outcome::passed, Stage::none, ""},
            {Outcome::passed, Stage::none, ""},
            {Outcome::failed, Stage::firmware, "CRC Error at frame "},
            {Outcome::stalled, Stage::otp, "no answer to frame "},
            {Outcome::failed, Stage::board_data, "CRC Error"},
            {Outcome::aborted, Stage::firmware, "stopped by the station at frame "},
            {Outcome::interrupted, Stage::otp, "the station's command ended"}};
        const auto& [outcome, stage, message] = ends[pick(std::size(ends))];
        r.outcome = outcome;
        r.stage = stage;
        r.message = message;
        if (r.message.size() > 0 && r.message.back() == ' ') {
            r.message += std::to_string(pick(40));
        }
        r.mac_kept = stage == Stage::otp && pick(2);
        r.ended = at();
        r.exit_status = outcome == Outcome::passed ? "0" : "1";
    }

    void finish_one() {
        if (running_.empty()) {
            return;
        }
        size_t i = static_cast<size_t>(pick(static_cast<long long>(running_.size())));
        Record r = running_[i];
        running_.erase(running_.begin() + static_cast<long>(i));
        end(r);
        store_.finish(r);
        done_.push_back(r);
    }

    const Record* any_done() {
        return done_.empty() ? nullptr : &done_[static_cast<size_t>(pick(done_.size()))];
    }

    void retry_or_rework() {
        const Record* r = any_done();
        if (!r) {
            return;
        }
        if (r->outcome == Outcome::passed) {
            start(r->mac, "", true);
        } else {
            start(r->mac, r->mac_kept || r->outcome == Outcome::interrupted ? r->id : "", false);
        }
    }

    // An interrupted board's true end arrives, or a person frees its MAC
    // (which another board may then take).
    void late_truth_or_release() {
        const Record* found = any_done();
        if (!found || found->outcome != Outcome::interrupted) {
            return;
        }
        Record r = *found;
        if (pick(2)) {
            store_.release({r.mac, r.id, r.station, at(), "tester@bench", "lost"});
            if (pick(2)) {
                start(r.mac, "", false);
            }
            return;
        }
        end(r);
        if (r.outcome != Outcome::interrupted) {
            store_.finish(r);
            done_.push_back(r);
        }
    }

    void label() {
        const Record* r = any_done();
        if (r && r->outcome == Outcome::passed) {
            store_.add_label({r->id, r->mac, pick(3) ? "verified" : "printed", at(), "p", "1",
                              "tester@bench", ""});
        }
    }

    // A record the store never had, from a station's spool: checked in,
    // then finished.
    void given_back() {
        const Record* old = any_done();
        Record r = board(old && pick(2) ? old->mac : new_mac());
        store_.recheck(r);
        end(r);
        store_.finish(r);
        done_.push_back(r);
    }

    Store& store_;
    std::mt19937 random_;
    long long now_ = 1774735200; // 2026-03-28T22:00Z, a day before Europe's summer time
    unsigned long long next_mac_ = 1;
    std::vector<Record> running_;
    std::vector<Record> done_;
};

typedef std::map<std::tuple<std::string, std::string, std::string, std::string, std::string>,
                 long long>
    FailureTotals;

FailureTotals failures(Store& store, const RecordFilter& f, const Grouping& g, CountFrom from) {
    FailureTotals totals;
    store.failure_counts(
        f, g,
        [&totals](const FailureCounts& c) {
            totals[{c.group, text_of(c.stage), text_of(c.outcome), folded_frames(c.message),
                    c.fixture}] += c.count;
        },
        from);
    return totals;
}

std::string said(const std::vector<GroupCounts>& groups) {
    std::string text;
    for (const GroupCounts& g : groups) {
        text += g.group + ": " + std::to_string(g.boards) + "/" + std::to_string(g.passed) + "/" +
                std::to_string(g.first_passed) + "/" + std::to_string(g.running) + "/" +
                std::to_string(g.labels_verified) + "  ";
    }
    return text;
}

// Spans of random lengths (from a minute to two days) over the history's
// days, or the local days and shifts, cut to a random bound or none.
Grouping random_grouping(std::mt19937& random, const std::string& first, const std::string& last,
                         std::string& since, std::string& until) {
    auto pick = [&random](long long n) {
        return std::uniform_int_distribution<long long>(0, n - 1)(random);
    };
    static const char* const COLUMNS[] = {"station", "lot", "fixture", "operator"};
    long long from = utc_seconds(first) - 3600, to = utc_seconds(last) + 3600;
    since = pick(3) ? "" : utc_text_at(from + pick(to - from));
    until = pick(3) ? "" : utc_text_at(from + pick(to - from));
    Grouping g;
    switch (pick(4)) {
    case 0:
        g.column = COLUMNS[pick(4)];
        return g;
    case 1:
        g.spans = day_spans(local_date(first), local_date(last));
        break;
    case 2:
        g.spans = shift_spans(day_before(local_date(first)), local_date(last),
                              {{"early", 6 * 60}, {"late", 14 * 60 + 30}, {"night", 22 * 60}});
        break;
    default:
        for (long long t = from; t < to;) {
            long long length = 60 * (1 + pick(2880));
            g.spans.push_back({utc_text_at(t), utc_text_at(t), utc_text_at(t + length)});
            t += length;
        }
    }
    g.spans = clipped(g.spans, since, until);
    return g;
}

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: store_history LOCATION SEED STEPS\n");
        return 2;
    }
    try {
        std::unique_ptr<Store> store = open_store(argv[1]);
        unsigned seed = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
        History history(*store, seed);
        for (long i = std::atol(argv[3]); i > 0; --i) {
            history.step();
        }
        auto [first, last] = store->started_between({});
        std::mt19937 random(seed);
        int differences = 0, checks = 0;
        for (int i = 0; i < 200; ++i) {
            RecordFilter f;
            Grouping g = random_grouping(random, first, last, f.since, f.until);
            if (random() % 4 == 0) {
                f.station = STATIONS[random() % 2];
            }
            if (random() % 4 == 0) {
                f.lot = LOTS[random() % 3];
            }
            if (g.column.empty() && g.spans.empty()) {
                continue;
            }
            ++checks;
            auto kept = store->group_counts(f, g, CountFrom::kept);
            auto counted = store->group_counts(f, g, CountFrom::records);
            bool same =
                said(kept) == said(counted) && failures(*store, f, g, CountFrom::kept) ==
                                                   failures(*store, f, g, CountFrom::records);
            if (!same) {
                ++differences;
                std::printf("differ: by %s since %s until %s station %s lot %s\n  kept    %s\n  "
                            "records %s\n",
                            g.column.empty() ? "spans" : g.column.c_str(), f.since.c_str(),
                            f.until.c_str(), f.station.c_str(), f.lot.c_str(), said(kept).c_str(),
                            said(counted).c_str());
            }
        }
        std::printf("%d of %d checks differ\n", differences, checks);
        return differences ? 1 : 0;
    } catch (const StationError& e) {
        std::fprintf(stderr, "store_history: %s\n", e.message.c_str());
        return 2;
    }
}
