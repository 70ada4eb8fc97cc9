// The recorder's queue against a real SQLite store that another connection
// holds (a slow store, then one held past the store's patience: lost), and
// against claims that the store refuses or that fail: the loop that calls it
// never waits, a claim goes before the records that wait, and no record is
// lost.
#include "station/store/recorder.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <poll.h>
#include <sqlite3.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("recorder_" + std::to_string(getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        store = std::shared_ptr<Store>(open_store((folder_ / "line.db").string()));
        spool = std::make_shared<Spool>((folder_ / "spool.db").string());
    }
    void TearDown() override {
        release();
        fs::remove_all(folder_);
    }
    std::string store_path() const {
        return (folder_ / "line.db").string();
    }
    // Holds the store's file as another station's write would.
    void hold() {
        ASSERT_EQ(sqlite3_open((folder_ / "line.db").string().c_str(), &holder_), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder_, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    }
    void release() {
        if (holder_ != nullptr) {
            sqlite3_exec(holder_, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(holder_);
            holder_ = nullptr;
        }
    }
    // A record as a round makes it, MAC 02000000000N.
    static Record board(int n) {
        Record r;
        r.id = new_uuid();
        r.station = "s1";
        r.fixture = "A" + std::to_string(n);
        r.mac = "02000000000" + std::to_string(n);
        r.started = utc_now();
        r.round = "round";
        return r;
    }
    static Record passed(Record r) {
        r.outcome = Outcome::passed;
        r.ended = utc_now();
        r.transcript = "Programming TIV successful\n";
        return r;
    }
    Outcome outcome_of(const Record& r, Store* in = nullptr) {
        RecordFilter only;
        only.id = r.id;
        std::vector<Record> found = (in != nullptr ? in : store.get())->records(only);
        EXPECT_EQ(found.size(), 1u) << r.id;
        return found.empty() ? Outcome::aborted : found[0].outcome;
    }
    // The next answers, as the round's loop reads them: in poll, calling
    // check() every tenth of a second, for at most a minute.
    std::vector<Recorder::Answer> answers(Recorder& recorder) {
        for (int tenths = 0; tenths < 600; ++tenths) {
            pollfd p{recorder.answers_fd(), POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                std::vector<Recorder::Answer> got = recorder.answers();
                if (!got.empty()) {
                    return got;
                }
            }
            recorder.check();
        }
        ADD_FAILURE() << "no answer in a minute";
        return {};
    }
    static Recorder::Prepare nothing() {
        return [](Recorder::Answer&, Store&) {};
    }

    std::shared_ptr<Store> store;
    std::shared_ptr<Spool> spool;

  private:
    fs::path folder_;
    sqlite3* holder_ = nullptr;
};

TEST_F(RecorderTest, AClaimGoesBeforeTheRecordsThatWaitAndNoCallWaitsOnAHeldStore) {
    std::vector<Record> boards = {board(1), board(2), board(3)};
    for (Record& r : boards) {
        ASSERT_EQ(store->claim_and_start(r), "");
    }
    Recorder recorder(store, spool, "line1");
    hold();
    // Each call returns while the store is held: were one to wait on it,
    // the test would never release it.
    for (const Record& r : boards) {
        recorder.finished(passed(r));
    }
    Outcome third_when_claimed = Outcome::passed;
    recorder.claim(board(4), [&](Recorder::Answer&, Store& s) {
        RecordFilter only;
        only.id = boards[2].id;
        third_when_claimed = s.records(only).at(0).outcome;
    });
    release();
    std::vector<Recorder::Answer> got = answers(recorder);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].result, Recorder::Answer::Result::claimed) << got[0].why;
    EXPECT_EQ(third_when_claimed, Outcome::started) << "a finished record went before the claim";
    EXPECT_EQ(recorder.settle(), 0);
    EXPECT_FALSE(recorder.store_lost());
    for (const Record& r : boards) {
        EXPECT_EQ(outcome_of(r), Outcome::passed);
    }
    EXPECT_EQ(spool->waiting(), 0);
}

TEST_F(RecorderTest, AStoreHeldPastItsPatienceIsLostAndItsRecordsWaitInTheSpool) {
    Record first = board(1);
    ASSERT_EQ(store->claim_and_start(first), "");
    Recorder recorder(store, spool, "line1");
    hold();
    recorder.finished(passed(first));
    recorder.claim(board(2), nothing());
    std::vector<Recorder::Answer> got = answers(recorder);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].result, Recorder::Answer::Result::store_lost);
    EXPECT_TRUE(recorder.store_lost());
    // A claim after the loss is answered at once; a record goes to the spool.
    Record later = board(3);
    recorder.claim(later, nothing());
    got = answers(recorder);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].result, Recorder::Answer::Result::store_lost);
    EXPECT_EQ(recorder.settle(), 0);
    EXPECT_EQ(spool->waiting(), 1);
    release();
    // The store's writer may still be inside the store it was given up on
    // (its statement waits as long as the recorder did): the next command
    // has a store of its own.
    std::unique_ptr<Store> next = open_store(store_path());
    Spool::Delivery delivery = spool->deliver(*next);
    EXPECT_EQ(delivery.delivered, 1);
    EXPECT_EQ(outcome_of(first, next.get()), Outcome::passed);
}

TEST_F(RecorderTest, ARefusedClaimIsAnsweredAndAFailedOneLosesTheStore) {
    Record done = board(1);
    ASSERT_EQ(store->claim_and_start(done), "");
    ASSERT_TRUE(store->finish(passed(done)).found);
    Recorder recorder(store, spool, "line1");
    const struct {
        const char* name;
        Record record;
        Recorder::Prepare prepare;
        Recorder::Answer::Result result;
        const char* why;
    } cases[] = {
        {"a passed MAC", board(1), nothing(), Recorder::Answer::Result::refused, "was programmed"},
        {"the pool had none", board(2),
         [](Recorder::Answer& a, Store&) {
             a.result = Recorder::Answer::Result::refused;
             a.why = "MAC pool exhausted";
         },
         Recorder::Answer::Result::refused, "MAC pool exhausted"},
        {"a new MAC", board(3), nothing(), Recorder::Answer::Result::claimed, ""},
        {"the board's images could not be made", board(4),
         [](Recorder::Answer&, Store&) { throw StationError{"no room for the board's images"}; },
         Recorder::Answer::Result::store_lost, "no room for the board's images"},
    };
    for (const auto& c : cases) {
        recorder.claim(c.record, c.prepare);
        std::vector<Recorder::Answer> got = answers(recorder);
        ASSERT_EQ(got.size(), 1u) << c.name;
        EXPECT_EQ(got[0].result, c.result) << c.name;
        EXPECT_NE(got[0].why.find(c.why), std::string::npos) << c.name << ": " << got[0].why;
    }
    // The claimed board's record, after the loss, waits in the spool.
    EXPECT_TRUE(recorder.store_lost());
    recorder.finished(passed(cases[2].record));
    EXPECT_EQ(recorder.settle(), 0);
    EXPECT_EQ(spool->waiting(), 1);
}

} // namespace
