// The recorder's queue against a real SQLite store that another connection
// holds (a slow store, then one held past the store's patience: lost), and
// against claims that the store refuses or that fail: the loop that calls it
// never waits, a claim goes before the records that wait, and no record is
// lost.
#include "station/store/recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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
        snapshot_.reset();
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
            pollfd p{inbox->fd(), POLLIN, 0};
            std::vector<Recorder::Answer> got;
            for (const Recorder::News& news :
                 poll(&p, 1, 100) == 1 ? inbox->take() : std::vector<Recorder::News>{}) {
                if (const auto* answer = std::get_if<Recorder::Answer>(&news)) {
                    got.push_back(*answer);
                }
                if (const auto* line = std::get_if<Recorder::Said>(&news)) {
                    said.push_back(line->line);
                }
            }
            if (!got.empty()) {
                return got;
            }
            recorder.check();
        }
        ADD_FAILURE() << "no answer in a minute";
        return {};
    }
    // The station's [mac] and a round's snapshot of three 16-byte images, for
    // claims that take a pool's MAC and make a board's own OTP image.
    MacPlan pool(const std::string& first, const std::string& last, long long offset = 0) {
        MacPlan mac;
        mac.first = first;
        mac.last = last;
        mac.image = ImageKind::otp;
        mac.offset = offset;
        return mac;
    }
    Snapshot& snapshot() {
        if (!snapshot_) {
            Images images;
            for (std::string* path : {&images.board_data, &images.otp, &images.firmware}) {
                *path = (folder_ / ("image" + std::to_string(path - &images.board_data))).string();
                std::ofstream(*path) << "0123456789abcdef";
            }
            snapshot_ =
                std::make_unique<Snapshot>(images, profile_of(images), folder_.string(), "s1");
        }
        return *snapshot_;
    }

    // What the recorder tells, as the round's inbox takes it.
    Recorder::Post post() {
        return [in = inbox](Recorder::News news) { in->post(std::move(news)); };
    }

    std::shared_ptr<Store> store;
    std::shared_ptr<Spool> spool;
    std::shared_ptr<Inbox<Recorder::News>> inbox = std::make_shared<Inbox<Recorder::News>>();
    std::vector<std::string> said; // what the recorder said while answers were awaited

  private:
    fs::path folder_;
    sqlite3* holder_ = nullptr;
    std::unique_ptr<Snapshot> snapshot_;
};

TEST_F(RecorderTest, AClaimGoesBeforeTheRecordsThatWaitAndNoCallWaitsOnAHeldStore) {
    std::vector<Record> boards = {board(1), board(2), board(3)};
    for (Record& r : boards) {
        ASSERT_EQ(store->claim_and_start(r), "");
    }
    // The store's own log of the order its records were written in.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(store_path().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE written (n INTEGER PRIMARY KEY, what TEXT);"
                           "CREATE TRIGGER claimed AFTER INSERT ON records BEGIN "
                           "INSERT INTO written (what) VALUES ('claim ' || new.fixture); END;"
                           "CREATE TRIGGER ended AFTER UPDATE OF outcome ON records BEGIN "
                           "INSERT INTO written (what) VALUES ('end ' || new.fixture); END;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    Recorder recorder(store, spool, "line1", post());
    hold();
    // Each call returns while the store is held: were one to wait on it,
    // the test would never release it.
    for (const Record& r : boards) {
        recorder.finished(passed(r));
    }
    recorder.claim(board(4), {});
    release();
    std::vector<Recorder::Answer> got = answers(recorder);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].result, Recorder::Answer::Result::claimed) << got[0].why;
    EXPECT_EQ(recorder.settle(), 0);
    EXPECT_FALSE(recorder.store_lost());
    for (const Record& r : boards) {
        EXPECT_EQ(outcome_of(r), Outcome::passed);
    }
    EXPECT_EQ(spool->waiting(), 0);
    std::vector<std::string> order;
    ASSERT_EQ(sqlite3_open(store_path().c_str(), &db), SQLITE_OK);
    sqlite3_exec(
        db, "SELECT what FROM written ORDER BY n",
        [](void* to, int, char** row, char**) {
            static_cast<std::vector<std::string>*>(to)->push_back(row[0]);
            return 0;
        },
        &order, nullptr);
    sqlite3_close(db);
    // The claim went before every finished record that waited: A2's and
    // A3's at least; A1's the writer may have begun before the claim came,
    // and then waited on the held store with it.
    auto first = std::find(order.begin(), order.end(), "end A1");
    ASSERT_NE(first, order.end());
    order.erase(first);
    EXPECT_EQ(order, (std::vector<std::string>{"claim A4", "end A2", "end A3"}));
}

TEST_F(RecorderTest, AStoreHeldPastItsPatienceIsLostAndItsRecordsWaitInTheSpool) {
    Record first = board(1);
    ASSERT_EQ(store->claim_and_start(first), "");
    Recorder recorder(store, spool, "line1", post());
    hold();
    recorder.finished(passed(first));
    // Its label's event waits behind it: lost with the store, it is told
    // whole, never made a record of the spool.
    recorder.label({first.id, first.mac, "printed", utc_now(), "raw:127.0.0.1:9100", "raw-0000abcd",
                    "op1", ""});
    recorder.claim(board(2), {});
    std::vector<Recorder::Answer> got = answers(recorder);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].result, Recorder::Answer::Result::store_lost);
    EXPECT_TRUE(recorder.store_lost());
    for (const Recorder::News& news : inbox->take()) {
        if (const auto* line = std::get_if<Recorder::Said>(&news)) {
            said.push_back(line->line);
        }
    }
    EXPECT_EQ(std::count_if(said.begin(), said.end(),
                            [&](const std::string& l) {
                                return l.find("\"label_unrecorded\"") != std::string::npos &&
                                       l.find(first.id) != std::string::npos;
                            }),
              1)
        << ::testing::PrintToString(said);
    // A claim after the loss is answered at once; a record goes to the spool.
    Record later = board(3);
    recorder.claim(later, {});
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
    Recorder recorder(store, spool, "line1", post());
    Record from_pool = board(2), its_own_image = board(3), misfit = board(4);
    from_pool.mac = its_own_image.mac = "";
    MacPlan spent = pool("020000000001", "020000000001"),
            open = pool("0200000000A0", "0200000000AF");
    MacPlan beyond = pool("0200000000A0", "0200000000AF", 11); // 6 bytes past a 16-byte image
    const struct {
        const char* name;
        Record record;
        Recorder::ClaimNeeds needs;
        Recorder::Answer::Result result;
        const char* why;
        const char* mac;
    } cases[] = {
        {"a passed MAC",
         board(1),
         {},
         Recorder::Answer::Result::refused,
         "was programmed",
         "020000000001"},
        {"the pool had none",
         from_pool,
         {&spent, nullptr},
         Recorder::Answer::Result::refused,
         "MAC pool exhausted (020000000001-020000000001)",
         ""},
        {"the pool's next, in a board's own image",
         its_own_image,
         {&open, &snapshot()},
         Recorder::Answer::Result::claimed,
         "",
         "0200000000A0"},
        {"the board's image could not be made",
         misfit,
         {&beyond, &snapshot()},
         Recorder::Answer::Result::store_lost,
         "do not fit",
         "020000000004"},
    };
    std::vector<Recorder::Answer> answered;
    for (const auto& c : cases) {
        recorder.claim(c.record, c.needs);
        std::vector<Recorder::Answer> got = answers(recorder);
        ASSERT_EQ(got.size(), 1u) << c.name;
        answered.push_back(got[0]);
        EXPECT_EQ(got[0].result, c.result) << c.name;
        EXPECT_NE(got[0].why.find(c.why), std::string::npos) << c.name << ": " << got[0].why;
        EXPECT_EQ(got[0].record.mac, c.mac) << c.name;
    }
    // The board's own OTP image has its MAC at the offset, and the record
    // the hash of those bytes.
    const Recorder::Answer& own = answered[2];
    std::ifstream image(fs::path(own.folder) / snapshot().file_of(ImageKind::otp));
    std::string bytes((std::istreambuf_iterator<char>(image)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, std::string("\x02\x00\x00\x00\x00\xa0", 6) + "6789abcdef");
    EXPECT_EQ(own.record.otp_sha256, hash_text(bytes));
    // The claimed board's record, after the loss, waits in the spool.
    EXPECT_TRUE(recorder.store_lost());
    recorder.finished(passed(cases[2].record));
    EXPECT_EQ(recorder.settle(), 0);
    EXPECT_EQ(spool->waiting(), 1);
}

} // namespace
