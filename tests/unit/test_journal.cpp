// The spool's journal of claims against a store that lost its last commits:
// a real SQLite store, and its copy taken before the claims (as a standby
// that had not received them) opened in its place, as a failover does.
#include "station/store/spool.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sqlite3.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class JournalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() /
                  ("journal_" + std::to_string(getpid()) + "_" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        primary = open_store(path("primary.db"));
        spool = std::make_unique<Spool>(path("spool.db"), true);
    }
    void TearDown() override {
        fs::remove_all(folder_);
    }
    std::string path(const char* name) const {
        return (folder_ / name).string();
    }
    // The primary as it is now, copied to a standby that receives no more.
    std::unique_ptr<Store> standby_now() {
        sqlite3 *from = nullptr, *to = nullptr;
        EXPECT_EQ(sqlite3_open(path("primary.db").c_str(), &from), SQLITE_OK);
        EXPECT_EQ(sqlite3_open(path("standby.db").c_str(), &to), SQLITE_OK);
        sqlite3_backup* copy = sqlite3_backup_init(to, "main", from, "main");
        EXPECT_EQ(sqlite3_backup_step(copy, -1), SQLITE_DONE);
        sqlite3_backup_finish(copy);
        sqlite3_close(from);
        sqlite3_close(to);
        return open_store(path("standby.db"));
    }
    // A board of `station` claimed in `store`, MAC 02000000000N; journalled
    // when the station is ours.
    Record claim(Store& store, int n, const std::string& station = "s1") {
        Record r;
        r.id = new_uuid();
        r.station = station;
        r.fixture = "A" + std::to_string(n);
        r.mac = "02000000000" + std::to_string(n);
        r.started = utc_now();
        r.round = "round";
        EXPECT_EQ(store.claim_and_start(r), "");
        if (station == "s1") {
            spool->claimed(r, store);
        }
        return r;
    }
    Record finish(Store& store, Record r, Outcome outcome, bool mac_kept = false) {
        r.outcome = outcome;
        r.ended = utc_now();
        r.mac_kept = mac_kept;
        r.transcript = outcome == Outcome::passed ? "Programming TIV successful\n" : "CRC Error\n";
        store.finish(r);
        spool->finished(r);
        return r;
    }
    std::string claim_of(Store& store, const std::string& mac) {
        std::optional<Holder> h = store.holder_of(mac);
        return h ? h->record + (h->passed_claim ? " passed" : " running") : "";
    }

    std::unique_ptr<Store> primary;
    std::unique_ptr<Spool> spool;

  private:
    fs::path folder_;
};

TEST_F(JournalTest, EveryClaimTheNewPrimaryLostIsWrittenAgainOrHeldAsAConflict) {
    std::unique_ptr<Store> standby = standby_now();
    Record running = claim(*primary, 1);
    Record passed = finish(*primary, claim(*primary, 2), Outcome::passed);
    Record failed = claim(*primary, 3); // ends after the failover, before its MAC
    // The primary is gone; another station draws MAC 1 on the new one.
    Record other = claim(*standby, 1, "s2");

    Spool::Rechecked found = spool->recheck(*standby);
    ASSERT_EQ(found.restored.size(), 2u);
    EXPECT_EQ(found.restored[0].id, passed.id);
    EXPECT_EQ(found.restored[1].id, failed.id);
    ASSERT_EQ(found.conflicts.size(), 1u);
    const Conflict& c = found.conflicts[0];
    EXPECT_EQ(std::make_tuple(c.mac, c.late.id, c.other.id, c.claim_lost),
              std::make_tuple(running.mac, running.id, other.id, true));
    EXPECT_NE(conflict_said(c).find("whose claim the store lost"), std::string::npos);
    EXPECT_NE(restored_said(found.restored[0]).find("written again"), std::string::npos);

    // What each MAC is held by now, and the pool skips every one.
    EXPECT_EQ(claim_of(*standby, passed.mac), passed.id + " passed");
    EXPECT_EQ(claim_of(*standby, failed.mac), failed.id + " running");
    EXPECT_EQ(claim_of(*standby, running.mac), other.id + " running");
    EXPECT_EQ(standby->hand_out("020000000001", "020000000009"), "020000000004");
    EXPECT_EQ(standby->conflicts(running.mac, false).size(), 1u);

    // Checked again: nothing more is found.
    Spool::Rechecked again = spool->recheck(*standby);
    EXPECT_TRUE(again.restored.empty() && again.conflicts.empty());

    // The boards that ran on: one that may carry its MAC says the conflict
    // again; one that ended before its MAC frees it and has no conflict.
    Finish carried = standby->finish([&] {
        Record r = running;
        r.outcome = Outcome::passed;
        r.ended = utc_now();
        return r;
    }());
    ASSERT_TRUE(carried.conflict.has_value());
    EXPECT_TRUE(carried.conflict->claim_lost);
    EXPECT_EQ(claim_of(*standby, running.mac), other.id + " running");
    finish(*standby, failed, Outcome::failed);
    EXPECT_EQ(claim_of(*standby, failed.mac), "");
}

TEST_F(JournalTest, AConflictWhoseBoardEndedBeforeItsMacIsResolvedByThatEnd) {
    std::unique_ptr<Store> standby = standby_now();
    Record lost = claim(*primary, 1);
    Record other = claim(*standby, 1, "s2");
    ASSERT_EQ(spool->recheck(*standby).conflicts.size(), 1u);
    Record ended = lost;
    ended.outcome = Outcome::failed;
    ended.ended = utc_now();
    EXPECT_FALSE(standby->finish(ended).conflict.has_value());
    EXPECT_TRUE(standby->conflicts(lost.mac, false).empty());
    std::vector<Conflict> all = standby->conflicts(lost.mac, true);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_NE(all[0].resolution.find("ended failed before its board got the MAC"),
              std::string::npos);
    EXPECT_EQ(claim_of(*standby, lost.mac), other.id + " running");
}

TEST_F(JournalTest, AnEndTheStoreLostIsGivenAgainAndAJournalWithoutAServerKeepsNothing) {
    Record r = claim(*primary, 1);
    std::unique_ptr<Store> standby = standby_now(); // has the claim, not its end
    finish(*primary, r, Outcome::passed);
    EXPECT_TRUE(spool->recheck(*standby).restored.empty());
    EXPECT_EQ(claim_of(*standby, r.mac), r.id + " passed");

    Spool unjournalled(path("plain.db"));
    unjournalled.claimed(claim(*primary, 2), *primary);
    EXPECT_TRUE(unjournalled.recheck(*standby).restored.empty());
}

} // namespace
