// The scan grammar of a continuous round, as text: lines go in through a
// pipe, as a scanner's would, and what the operator sees and what the round
// is asked to claim come out as lines.
#include "station/line/feeds.h"

#include <gtest/gtest.h>

#include "station/base/macs.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <random>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

// Every screen event and every call on the round as one line.
struct Log {
    std::vector<std::string> lines;
    void add(const std::string& line) {
        lines.push_back(line);
    }
};

class LogScreen : public Screen {
  public:
    explicit LogScreen(Log& log) : log_(log) {}
    void prompt(const std::string& text) override {
        if (!text.empty()) {
            log_.add("? " + text);
        }
    }

  protected:
    void board_started(const Board&) override {}
    void board_finished(const Board&) override {}
    void said(const RoundEvent& event) override {
        namespace ev = round_event;
        std::visit(
            Overloaded{
                [&](const ev::Skipped& e) { log_.add("skipped " + e.fixture + ": " + e.why); },
                [&](const ev::OutOfService& e) { log_.add(e.fixture + " out: " + e.brief); },
                [&](const ev::BackInService& e) { log_.add(e.fixture + " back"); },
                [&](const ev::Kept& e) {
                    log_.add(e.mac.empty() ? e.why : e.fixture + " kept " + e.mac);
                },
                [&](const auto&) { log_.add(said_line(event)); },
            },
            event);
    }
    void round_ended(const std::list<Board>&, int, const std::string&) override {}

  private:
    Log& log_;
};

class LogRound : public FeedRound {
  public:
    explicit LogRound(Log& log) : log_(log), screen_(log) {}
    void claim(const Planned& plan, const std::string& device) override {
        log_.add("claim " + plan.fixture.name + " " + (plan.mac.empty() ? "pool" : plan.mac) +
                 (device.empty() ? " without a device" : "") +
                 (plan.retry_of.empty() ? "" : " retry of " + plan.retry_of));
        claims.push_back(plan);
    }
    void tell(const RoundEvent& event) override {
        screen_.take(event);
    }
    Screen& screen() override {
        return screen_;
    }
    const std::list<Board>& boards() const override {
        return boards_;
    }
    bool stopping() const override {
        return false;
    }
    void not_started() override {
        log_.add("not started");
    }
    void store_failed() override {
        log_.add("store failed");
    }
    void label_checked(const Board& b, LabelState read_back, const std::string& reason) override {
        log_.add("label " + b.fixture.name + " " + label_state_name(read_back) +
                 (reason.empty() ? "" : ": " + reason));
    }
    void print_label_again(const Board& b) override {
        log_.add("print again " + b.fixture.name);
    }
    Board& run(const Planned& plan) {
        boards_.emplace_back();
        Board& b = boards_.back();
        b.fixture = plan.fixture;
        b.record.mac = plan.mac;
        b.running = true;
        return b;
    }
    std::vector<Planned> claims;

  private:
    Log& log_;
    LogScreen screen_;
    std::list<Board> boards_;
};

// Two or three fixtures whose ports are files of a folder of the test's.
class Scan {
  public:
    // `kept`: fixtures whose boards keep their MACs from rounds before,
    // each "FIXTURE MAC".
    // `verify`: labels are read back.
    Scan(bool pool, int fixtures = 2, const std::vector<std::string>& kept = {},
         bool verify = false)
        : round_(log_) {
        file_.label.verify = verify;
        folder_ = fs::temp_directory_path() /
                  ("feeds_" + std::to_string(getpid()) + "_" + std::to_string(count_++));
        fs::create_directories(folder_);
        for (int i = 1; i <= fixtures; ++i) {
            std::string name = "A" + std::to_string(i);
            fixtures_.push_back({name, (folder_ / name).string()});
            plug(name);
        }
        if (pool) {
            file_.mac.first = "001122AA0000";
            file_.mac.last = "001122AAFFFF";
        }
        EXPECT_EQ(pipe(ends_), 0);
        input_ = std::make_unique<Input>(ends_[0], false);
        std::vector<Record> boards;
        for (const std::string& k : kept) {
            boards.emplace_back();
            boards.back().fixture = k.substr(0, k.find(' '));
            boards.back().mac = k.substr(k.find(' ') + 1);
            boards.back().id = "old-" + boards.back().fixture;
            boards.back().mac_kept = true;
        }
        feed_ = scan_feed(file_, fixtures_, false, *input_, boards);
    }
    ~Scan() {
        feed_.reset();
        input_.reset();
        close(ends_[0]);
        if (ends_[1] >= 0) {
            close(ends_[1]);
        }
        fs::remove_all(folder_);
    }
    void plug(const std::string& fixture) {
        std::ofstream((folder_ / fixture).string()).put('\n');
    }
    void unplug(const std::string& fixture) {
        fs::remove(folder_ / fixture);
    }
    // One step of the script: "> LINE" types a line, "<eof>" ends input,
    // "claimed" / "refused WHY" / "lost WHY" answer the claim made last,
    // "passed A1" / "unopened A1" / "kept A1" end A1's board (failed to
    // open its port, or in OTP keeping its MAC), "unplug A2" / "plug A2"
    // take its port away and back, "printed A1" prints A1's last board's
    // label.
    void step(const std::string& s) {
        std::string word = s.substr(0, s.find(' '));
        std::string rest = s.find(' ') == std::string::npos ? "" : s.substr(s.find(' ') + 1);
        if (word == ">") {
            std::string line = rest + "\n";
            ASSERT_EQ(write(ends_[1], line.data(), line.size()), ssize_t(line.size()));
        } else if (word == "<eof>") {
            close(ends_[1]);
            ends_[1] = -1;
        } else if (word == "claimed") {
            Planned plan = round_.claims.back();
            round_.run(plan).record.mac = plan.mac.empty() ? "001122AA0000" : plan.mac;
            feed_->claimed(round_, plan);
        } else if (word == "refused" || word == "lost") {
            Recorder::Answer a;
            a.result = word == "lost" ? Recorder::Answer::Result::store_lost
                                      : Recorder::Answer::Result::refused;
            a.why = rest;
            a.record.mac = round_.claims.back().mac;
            feed_->not_claimed(round_, round_.claims.back(), a);
        } else if (word == "passed" || word == "unopened" || word == "kept") {
            for (Board& b : const_cast<std::list<Board>&>(round_.boards())) {
                if (b.running && b.fixture.name == rest) {
                    b.running = false;
                    b.record.id = "ended-" + rest;
                    b.record.outcome = word == "passed" ? Outcome::passed : Outcome::failed;
                    b.record.stage = word == "passed" ? Stage::none
                                     : word == "kept" ? Stage::otp
                                                      : Stage::open;
                    b.record.mac_kept = word == "kept";
                    feed_->board_ended(round_, b);
                }
            }
        } else if (word == "printed") {
            for (const Board& b : round_.boards()) {
                if (b.fixture.name == rest && b.record.outcome == Outcome::passed) {
                    feed_->label_printed(round_, b);
                }
            }
        } else if (word == "unplug") {
            unplug(rest);
        } else if (word == "plug") {
            plug(rest);
        } else {
            FAIL() << "no such step: " << s;
        }
        settle();
    }
    // Offers and reads until the feed waits on nothing that is there.
    void settle() {
        for (;;) {
            feed_->offer(round_);
            int fd = feed_->waits_on();
            pollfd p{fd, POLLIN, 0};
            if (fd < 0 || poll(&p, 1, 0) != 1) {
                return;
            }
            feed_->readable(round_);
        }
    }
    std::vector<std::string> run(const std::vector<std::string>& script) {
        settle();
        for (const std::string& s : script) {
            step(s);
        }
        return log_.lines;
    }
    bool done() const {
        return feed_->done();
    }

  private:
    static inline int count_ = 0;
    Log log_;
    LogRound round_;
    StationFile file_;
    fs::path folder_;
    std::vector<Fixture> fixtures_;
    int ends_[2] = {-1, -1};
    std::unique_ptr<Input> input_;
    std::unique_ptr<Feed> feed_;
};

const char NOT_A_MAC[] = "not a MAC: a MAC is 12 hexadecimal digits (001122AABBCC, "
                         "00:11:22:aa:bb:cc, 00-11-22-AA-BB-CC or 0011.22aa.bbcc)";

#define KEPT_PROMPT "MAC for A1 (kept 001122334455: r retries, n new board): "
#define VERIFY_A1                                                                                  \
    "label of A1 (001122334455): scan it (p prints it again, - sets the board aside): "
#define KEPT_REFUSED                                                                               \
    "refused: A1 holds the board that keeps MAC 001122334455: r retries it, n for a new board"
#define NEW_BOARD                                                                                  \
    "A1: a new board; MAC 001122334455 stays kept (station retry --mac 001122334455 programs "     \
    "the old one)"

TEST(ScanGrammar, EachLineAsTheOperatorSeesIt) {
    const struct {
        const char* name;
        bool pool;
        std::vector<std::string> script;
        std::vector<std::string> seen;
        int fixtures = 2;
        std::vector<std::string> kept = {};
        bool verify = false;
    } cases[] = {
        {"every MAC form gives one MAC, and the next idle fixture is asked",
         false,
         {"> 00:11:22:33:44:55", "claimed", "> 00-11-22-33-44-66", "claimed", "> 0011.2233.4477"},
         {"? MAC for A1: ", "claim A1 001122334455", "? MAC for A2: ", "claim A2 001122334466"}},
        {"a line that is no MAC, or one no board may carry, asks the same fixture again",
         false,
         {"> xyz", "> 01:00:5E:00:00:01", "> 000000000000", "> 001122334455"},
         {"? MAC for A1: ", NOT_A_MAC, "? MAC for A1: ",
          "refused: MAC 01005E000001 is a multicast address (its first octet's lowest bit is "
          "set), which no board may carry",
          "? MAC for A1: ", "refused: MAC 000000000000 is all zeros, which no board may carry",
          "? MAC for A1: ", "claim A1 001122334455"}},
        {"- and the fixture's own label skip it; another's label aims at it",
         false,
         {"> -", "> A2", "> fixture:A2", "> A1 001122334455"},
         {"? MAC for A1: ", "A1 skipped (-)", "? MAC for A2: ", "A2 skipped (its label)",
          "? MAC for A1: ", "? MAC for A2: ", "? MAC for A1: ", "claim A1 001122334455"}},
        {"an empty line takes the pool's next MAC",
         true,
         {"> ", "claimed", "> "},
         {"? MAC for A1: ", "claim A1 pool", "? MAC for A2: ", "claim A2 pool"}},
        {"an empty line without a pool skips the fixture",
         false,
         {"> ", "> 001122334455"},
         {"? MAC for A1: ", "A1 skipped (no MAC, no pool)",
          "? MAC for A2: ", "claim A2 001122334455"}},
        {"a MAC or a fixture that runs a board is refused",
         false,
         {"> 001122334455", "claimed", "> 00:11:22:33:44:55", "> A1", "> A1 001122334466"},
         {"? MAC for A1: ", "claim A1 001122334455",
          "? MAC for A2: ", "refused: MAC 001122334455 is running on A1",
          "? MAC for A2: ", "refused: A1 is running a board",
          "? MAC for A2: ", "refused: A1 is running a board", "? MAC for A2: "}},
        {"the store's refusal asks the same fixture again; a board left without the pool's "
         "MAC counts as not started",
         true,
         {"> 001122334455", "refused MAC 001122334455 was programmed", "> ",
          "refused MAC pool exhausted"},
         {"? MAC for A1: ", "claim A1 001122334455", "refused: MAC 001122334455 was programmed",
          "? MAC for A1: ", "claim A1 pool", "not started", "refused: MAC pool exhausted",
          "? MAC for A1: "}},
        {"a lost store starts no new board",
         false,
         {"> 001122334455", "lost the store is lost", "> 001122334466"},
         {"? MAC for A1: ", "claim A1 001122334455",
          "A1 not started: the store is lost; no new board starts", "not started"}},
        {"a missing port takes its fixture out, and its return puts it back",
         false,
         {"unplug A1", "> 001122334455", "plug A1", "> A1", "> 001122334466"},
         {"? MAC for A1: ", "refused: port ", "? MAC for A1: ", "not started",
          "A1 out: port missing", "? MAC for A2: ", "A1 back",
          "? MAC for A1: ", "claim A1 001122334466"}},
        {"three failed opens in a row take a fixture out; when every idle one is out, a "
         "label is asked",
         false,
         {"> 001122334455", "claimed", "unopened A1", "> 001122334466", "claimed", "unopened A1",
          "> 001122334477", "claimed", "unopened A1", "> 001122334488", "> fixture:A1",
          "> 001122334499"},
         {"? MAC for A1: ", "claim A1 001122334455", "? MAC for A1: ", "claim A1 001122334466",
          "? MAC for A1: ", "claim A1 001122334477", "not started", "A1 out: 3 failed opens",
          "? no fixture to ask: scan a fixture's label, or q: ",
          "refused: no fixture is free: scan a fixture's label first",
          "? no fixture to ask: scan a fixture's label, or q: ", "A1 back",
          "? MAC for A1: ", "claim A1 001122334499"},
         1},
        {"q says how many boards still run",
         false,
         {"> 001122334455", "claimed", "> q"},
         {"? MAC for A1: ", "claim A1 001122334455",
          "? MAC for A2: ", "ending: 1 board still running"}},
        {"a board that keeps its MAC starts again only by r: an empty line asks, never starts",
         true,
         {"> 001122334455", "claimed", "kept A1", "> ", "> r"},
         {"? MAC for A1: ", "claim A1 001122334455", "A1 kept 001122334455", "? " KEPT_PROMPT,
          KEPT_REFUSED, "? " KEPT_PROMPT, "claim A1 001122334455 retry of ended-A1"},
         1},
        {"n puts a new board on a fixture whose board keeps its MAC; the pool's MAC goes to it",
         true,
         {"> 001122334455", "claimed", "kept A1", "> n", "> "},
         {"? MAC for A1: ", "claim A1 001122334455", "A1 kept 001122334455", "? " KEPT_PROMPT,
          NEW_BOARD, "? MAC for A1: ", "claim A1 pool"},
         1},
        {"a board kept from a round before: its MAC scanned retries it, another MAC is a new "
         "board",
         false,
         {"> 00:11:22:33:44:55", "claimed", "> 001122334477", "claimed"},
         {"A1 kept 001122334455", "A2 kept 001122334466", "? " KEPT_PROMPT,
          "claim A1 001122334455 retry of old-A1",
          "? MAC for A2 (kept 001122334466: r retries, n new board): ", "claim A2 001122334477",
          "A2: a new board; MAC 001122334466 stays kept (station retry --mac 001122334466 "
          "programs the old one)"},
         2,
         {"A1 001122334455", "A2 001122334466"}},
        {"a MAC the store refuses at a kept prompt leaves the board kept: an Enter there is "
         "still refused, never the pool's next MAC",
         true,
         {"> 001122334499", "refused MAC 001122334499 passed before", "> "},
         {"A1 kept 001122334455", "? " KEPT_PROMPT, "claim A1 001122334499",
          "refused: MAC 001122334499 passed before", "? " KEPT_PROMPT, KEPT_REFUSED,
          "? " KEPT_PROMPT},
         1,
         {"A1 001122334455"}},
        {"a label waiting to be read back is verified by its scan at any prompt, the "
         "question kept",
         false,
         {"> 001122334455", "claimed", "passed A1", "printed A1", "> 00:11:22:33:44:55",
          "> 001122334466"},
         {"? MAC for A1: ", "claim A1 001122334455", "? MAC for A2: ", "label A1 verified",
          "? MAC for A2: ", "claim A2 001122334466"},
         2,
         {},
         true},
        {"an Enter alone is no label scan",
         false,
         {"> 001122334455", "claimed", "passed A1", "printed A1", "> ", "> 001122334455"},
         {"? MAC for A1: ", "claim A1 001122334455", "? " VERIFY_A1,
          "refused: an Enter alone is no scan: scan A1's label, p prints it again, - sets the "
          "board aside",
          "? " VERIFY_A1, "label A1 verified", "? MAC for A1: "},
         1,
         {},
         true},
        {"without read-back, a printed label asks nothing",
         false,
         {"> 001122334455", "claimed", "passed A1", "printed A1", "> 001122334466"},
         {"? MAC for A1: ", "claim A1 001122334455", "? MAC for A1: ", "claim A1 001122334466"},
         1}};
    for (const auto& c : cases) {
        Scan scan(c.pool, c.fixtures, c.kept, c.verify);
        std::vector<std::string> seen = scan.run(c.script);
        // A missing port's refusal names the test's own path: compared up to it.
        for (std::string& line : seen) {
            if (line.rfind("refused: port ", 0) == 0) {
                line = "refused: port ";
            }
        }
        EXPECT_EQ(seen, c.seen) << c.name;
    }
}

TEST(ScanGrammar, QOrTheEndOfInputEndsTheRoundOnceTheClaimIsAnswered) {
    for (const char* end : {"> q", "<eof>"}) {
        Scan scan(false);
        scan.run({"> 001122334455"});
        EXPECT_FALSE(scan.done()) << end;
        scan.step(end);
        EXPECT_FALSE(scan.done()) << end << ": the claim is still with the store";
        scan.step("claimed");
        EXPECT_TRUE(scan.done()) << end;
    }
}

// A shift at three fixtures as a person works it, at random: keys typed
// through a pseudo-terminal, the store's answers, boards' ends and labels
// printed in any order. After every step the dialogue's promises are
// checked against what the test itself saw:
// - a fixture whose board keeps its MAC starts only on "r" (that MAC),
//   "n", or another MAC the store takes: never on the pool's next MAC, and
//   its prompt always says it is kept;
// - a line is taken only for the question shown when it was typed (or is
//   "q", or a waiting label's scan): else nothing is done with it, and a
//   line says so;
// - an Enter alone is never a label's scan; a label is verified only once
//   printed, and only for a passed board;
// - after "q" nothing more is claimed, and the round ends once the store
//   answered.
class Dialogue : public FeedRound, public Screen {
  public:
    Dialogue(std::mt19937& random, bool verify) : random_(random) {
        file_.label.verify = verify;
        file_.label.printer = verify ? "raw:127.0.0.1:9" : "";
        file_.mac.first = "001122AA0000";
        file_.mac.last = "001122AAFFFF";
        folder_ = fs::temp_directory_path() / ("dialogue_" + std::to_string(getpid()));
        fs::create_directories(folder_);
        for (const char* name : {"A1", "A2", "A3"}) {
            fixtures_.push_back({name, (folder_ / name).string()});
            std::ofstream((folder_ / name).string()).put('\n');
        }
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        EXPECT_GE(master_, 0);
        EXPECT_EQ(grantpt(master_), 0);
        EXPECT_EQ(unlockpt(master_), 0);
        slave_ = open(ptsname(master_), O_RDWR | O_NOCTTY);
        EXPECT_GE(slave_, 0);
        input_ = std::make_unique<Input>(slave_, true);
        feed_ = scan_feed(file_, fixtures_, false, *input_, {});
    }
    ~Dialogue() override {
        feed_.reset();
        input_.reset();
        close(slave_);
        close(master_);
        fs::remove_all(folder_);
    }

    // One random step, and the checks after it; false once a check failed.
    bool step() {
        unsigned what = pick(100);
        if (what < 45) {
            type(a_line());
        } else if (what < 65 && pending_) {
            answer();
        } else if (what < 85) {
            end_a_board();
        } else if (what < 97) {
            print_a_label();
        } else {
            std::string name = fixtures_[pick(3)].port;
            if (!fs::remove(name)) {
                std::ofstream(name).put('\n'); // its port back
            }
        }
        settle();
        return !::testing::Test::HasFailure();
    }
    // "q", the store's last answer: the round ends.
    void finish() {
        type("q");
        settle();
        if (pending_) {
            answer();
            settle();
        }
        EXPECT_TRUE(feed_->done()) << "q did not end the round";
    }
    std::string trace() const {
        std::string all;
        for (const std::string& line : trace_) {
            all += "  " + line + "\n";
        }
        return all;
    }

    // The round.
    void claim(const Planned& plan, const std::string&) override {
        const std::string& f = plan.fixture.name;
        trace_.push_back("claim " + f + " " + (plan.mac.empty() ? "pool" : plan.mac) +
                         (plan.retry_of.empty() ? "" : " (retry)"));
        EXPECT_FALSE(ended_) << "a claim after q";
        EXPECT_FALSE(lost_) << "a claim after the store was lost";
        EXPECT_FALSE(stale_) << "a claim for a line typed for another question";
        auto kept = kept_.find(f);
        if (kept != kept_.end()) {
            EXPECT_FALSE(plan.mac.empty()) << f << " kept " << kept->second << ": the pool's MAC";
            EXPECT_TRUE(plan.retry_of.empty() || plan.mac == kept->second);
        }
        EXPECT_FALSE(pending_) << "a second claim before the first was answered";
        pending_ = plan;
    }
    void tell(const RoundEvent& e) override {
        Screen::take(e);
    }
    Screen& screen() override {
        return *this;
    }
    const std::list<Board>& boards() const override {
        return boards_;
    }
    bool stopping() const override {
        return false;
    }
    void not_started() override {}
    void store_failed() override {}
    void label_checked(const Board& board, LabelState read_back,
                       const std::string& reason) override {
        trace_.push_back("label " + board.fixture.name + " " + label_state_name(read_back) + " " +
                         reason);
        Board& b = const_cast<Board&>(board);
        bool mismatch = read_back == LabelState::mismatch;
        EXPECT_FALSE(stale_ && mismatch) << "a label refused for a stale line";
        EXPECT_FALSE(mismatch && reason.empty()) << "an Enter taken as a label's scan";
        EXPECT_TRUE(b.record.outcome == Outcome::passed && label_to_read_back(b.label))
            << "a label checked that waits for no read-back";
        b.label = read_back;
    }
    void print_label_again(const Board& board) override {
        trace_.push_back("print again " + board.fixture.name);
        EXPECT_FALSE(stale_) << "p taken for a line typed for another question";
        reprints_.push_back(&board);
    }

    // The screen.
    void prompt(const std::string& text) override {
        if (text.empty()) {
            return;
        }
        shown_ = text;
        for (const auto& [fixture, mac] : kept_) {
            EXPECT_NE(text, "MAC for " + fixture + ": ") << fixture << " kept " << mac;
        }
    }
    void answered() override {
        check_stale_said();
        if (typed_.empty()) {
            return;
        }
        auto [line, typed_for] = typed_.front();
        typed_.pop_front();
        trace_.push_back("take \"" + line + "\" typed for \"" + typed_for + "\" at \"" + shown_ +
                         "\"");
        stale_ = typed_for != shown_ && line != "q" && !waiting_label(line);
        stale_said_ = false;
        ended_ = ended_ || line == "q";
        if (line == "n" && !stale_ && shown_.find("(kept ") != std::string::npos) {
            kept_.erase(shown_.substr(8, shown_.find(' ', 8) - 8));
        }
        shown_.clear();
    }

  protected:
    void board_started(const Board&) override {}
    void board_finished(const Board&) override {}
    void said(const RoundEvent& e) override {
        std::string line = said_line(e);
        trace_.push_back("said " + line);
        stale_said_ = stale_said_ || line.rfind("not taken: ", 0) == 0;
    }
    void round_ended(const std::list<Board>&, int, const std::string&) override {}

  private:
    unsigned pick(unsigned n) {
        return std::uniform_int_distribution<unsigned>(0, n - 1)(random_);
    }
    std::string mac_of(unsigned n) const {
        char text[13];
        std::snprintf(text, sizeof(text), "0011223344%02X", n & 0xff);
        return text;
    }
    const Board* any_board(bool (*which)(const Board&)) {
        std::vector<const Board*> found;
        for (const Board& b : boards_) {
            if (which(b)) {
                found.push_back(&b);
            }
        }
        return found.empty() ? nullptr : found[pick(static_cast<unsigned>(found.size()))];
    }
    bool waiting_label(const std::string& line) const {
        for (const Board& b : boards_) {
            if (label_to_read_back(b.label)) {
                if (!line.empty() && checked_mac(line) == b.record.mac) {
                    return true;
                }
            }
        }
        return false;
    }
    std::string a_line() {
        const std::string fixture = "A" + std::to_string(1 + pick(3));
        switch (pick(14)) {
        case 0:
            return mac_of(next_mac_++);
        case 1:
            return kept_.empty() ? "n" : std::next(kept_.begin(), pick(kept_.size()))->second;
        case 2: {
            const Board* b = any_board([](const Board& x) { return !x.running; });
            return b ? b->record.mac : "";
        }
        case 3:
            return "xyz";
        case 4:
            return "01005E000001";
        case 5:
            return "-";
        case 6:
            return "r";
        case 7:
            return "r " + fixture;
        case 8:
            return "n";
        case 9:
            return "p";
        case 10:
        case 11:
            return "";
        case 12:
            return fixture;
        default:
            return pick(8) == 0 ? "q" : mac_of(next_mac_++);
        }
    }
    void type(const std::string& line) {
        if (ended_) {
            return;
        }
        trace_.push_back("type \"" + line + "\" at \"" + shown_ + "\"");
        typed_.push_back({line, shown_});
        std::string keys = line + "\r";
        ASSERT_EQ(write(master_, keys.data(), keys.size()), ssize_t(keys.size()));
        // Read at once, as the round's poll would: under the question shown.
        pollfd p{slave_, POLLIN, 0};
        if (feed_->waits_on() >= 0 && poll(&p, 1, 1000) == 1) {
            feed_->readable(*this);
        }
    }
    // The store takes a MAC no board has had, now and then refuses one, and
    // once in a long while is lost: no board starts after that.
    void answer() {
        Planned plan = *pending_;
        pending_.reset();
        if (pick(60) == 0) {
            trace_.push_back("store lost at " + plan.fixture.name);
            lost_ = true;
            Recorder::Answer a;
            a.result = Recorder::Answer::Result::store_lost;
            a.why = "the store did not answer a claim in 10 s";
            return feed_->not_claimed(*this, plan, a);
        }
        bool had = std::any_of(boards_.begin(), boards_.end(), [&](const Board& b) {
            return !plan.mac.empty() && b.record.mac == plan.mac &&
                   (b.running || plan.retry_of.empty());
        });
        if (had || pick(8) == 0) {
            trace_.push_back("refused " + plan.fixture.name);
            Recorder::Answer a;
            a.result = Recorder::Answer::Result::refused;
            a.why = "MAC " + plan.mac + " was given before";
            a.record.mac = plan.mac;
            return feed_->not_claimed(*this, plan, a);
        }
        trace_.push_back("claimed " + plan.fixture.name);
        boards_.emplace_back();
        Board& b = boards_.back();
        b.fixture = plan.fixture;
        b.record.id = "r" + std::to_string(boards_.size());
        b.record.mac = plan.mac.empty() ? "001122AA" + mac_of(next_mac_++).substr(8) : plan.mac;
        b.running = true;
        kept_.erase(plan.fixture.name);
        feed_->claimed(*this, plan);
    }
    void end_a_board() {
        Board* b = const_cast<Board*>(any_board([](const Board& x) { return x.running; }));
        if (b == nullptr) {
            return;
        }
        unsigned how = pick(10);
        b->running = false;
        b->record.outcome = how < 6 ? Outcome::passed : Outcome::failed;
        b->record.stage = how < 6 ? Stage::none : how < 9 ? Stage::otp : Stage::open;
        b->record.mac_kept = how == 6 || how == 7;
        trace_.push_back("ended " + b->fixture.name + (how < 6 ? " passed" : " failed") +
                         (b->record.mac_kept ? " keeping its MAC" : ""));
        if (b->record.mac_kept) {
            kept_[b->fixture.name] = b->record.mac;
        }
        feed_->board_ended(*this, *b);
    }
    void print_a_label() {
        const Board* b = nullptr;
        if (!reprints_.empty() && pick(2) == 0) {
            b = reprints_.front();
            reprints_.pop_front();
        } else {
            b = any_board([](const Board& x) {
                return !x.running && x.record.outcome == Outcome::passed &&
                       x.label == LabelState::none;
            });
        }
        if (b == nullptr || !file_.label.verify) {
            return;
        }
        trace_.push_back("printed " + b->fixture.name);
        if (b->label == LabelState::none) {
            const_cast<Board*>(b)->label = LabelState::printed;
        }
        feed_->label_printed(*this, *b);
    }
    void settle() {
        for (;;) {
            feed_->offer(*this);
            int fd = feed_->waits_on();
            pollfd p{fd, POLLIN, 0};
            if (fd < 0 || poll(&p, 1, 0) != 1) {
                break;
            }
            feed_->readable(*this);
        }
        check_stale_said();
    }
    void check_stale_said() {
        EXPECT_TRUE(!stale_ || stale_said_) << "a stale line dropped without a word";
        stale_ = false;
    }

    std::mt19937& random_;
    StationFile file_;
    fs::path folder_;
    std::vector<Fixture> fixtures_;
    int master_ = -1, slave_ = -1;
    std::unique_ptr<Input> input_;
    std::unique_ptr<Feed> feed_;
    std::list<Board> boards_;
    std::optional<Planned> pending_;
    std::map<std::string, std::string> kept_;               // fixture -> the MAC its board keeps
    std::deque<std::pair<std::string, std::string>> typed_; // line, the question then
    std::deque<const Board*> reprints_;
    std::string shown_;
    bool stale_ = false, stale_said_ = false, ended_ = false, lost_ = false;
    unsigned next_mac_ = 1;
    std::vector<std::string> trace_;
};

TEST(Dialogue, EveryPromiseHoldsOverRandomShifts) {
    // SOAK=1: a million shifts; SEED=N replays the one that failed.
    const char* soak = std::getenv("SOAK");
    const char* seed = std::getenv("SEED");
    unsigned first = seed ? static_cast<unsigned>(std::stoul(seed)) : 1;
    unsigned shifts = seed ? 1 : soak && std::string(soak) == "1" ? 1000000 : 10000;
    // Shifts past the first 10,000 that a soak found faults in, run always:
    // 77970, a copy printed again (p) coming out after the label in hand
    // was verified.
    std::vector<unsigned> seeds = {77970};
    for (unsigned n = first; n < first + shifts; ++n) {
        seeds.push_back(n);
    }
    for (unsigned n : seeds) {
        std::mt19937 random(n);
        Dialogue shift(random, n % 2 == 0);
        bool held = true;
        for (int i = 0; i < 40 && held; ++i) {
            held = shift.step();
        }
        if (held) {
            shift.finish();
        }
        if (::testing::Test::HasFailure()) {
            ADD_FAILURE() << "shift with SEED=" << n << ":\n" << shift.trace();
            return;
        }
    }
}

TEST(LineEditor, KeysAsATerminalsLineEditingTakesThem) {
    const struct {
        const char* keys;
        std::vector<std::string> lines;
        const char* partial;
        bool ended;
    } cases[] = {
        {"00112233\x7f\x7f"
         "4455\r",
         {"0011224455"},
         "",
         false},
        {"A1 0011\x17"
         "B2\n",
         {"A1 B2"},
         "",
         false},
        {"A1 00112233\x15"
         "q\n",
         {"q"},
         "",
         false},
        {"\x1b[A\x1b[D\x1bOA1\n", {"1"}, "", false},
        {"001122\x01\x02", {}, "001122", false},
        {"\x04", {}, "", true},
        {"ab\x04", {}, "ab", false},
        {"x  \r-\r", {"x", "-"}, "", false},
    };
    for (const auto& c : cases) {
        LineEditor editor(true);
        editor.take(c.keys, std::string(c.keys).size());
        std::vector<std::string> lines;
        while (std::optional<std::string> line = editor.line()) {
            lines.push_back(*line);
        }
        EXPECT_EQ(lines, c.lines) << c.keys;
        EXPECT_EQ(editor.partial(), c.partial) << c.keys;
        EXPECT_EQ(editor.ended(), c.ended) << c.keys;
    }
}

TEST(LineEditor, APipesLastLineCountsOnceInputEnds) {
    LineEditor editor(false);
    editor.take("a\nb", 3);
    EXPECT_EQ(editor.line(), "a");
    EXPECT_EQ(editor.line(), std::nullopt);
    editor.end();
    EXPECT_EQ(editor.line(), "b");
    EXPECT_TRUE(editor.ended());
}

} // namespace
