// The round's one loop: its claims, its hosts, its records and its sinks.
#include "station/line/round.h"

#include "station/base/base.h"
#include "station/line/labels.h"
#include "station/line/runner.h"
#include "station/line/screen.h"
#include "station/store/store.h"

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <unistd.h>
#include <variant>

namespace {

namespace fs = std::filesystem;

// What the round's workers tell it, in the one inbox its loop reads: the
// store's and the spool's writers, and the printer's.
using RoundMail = std::variant<Recorder::News, Labeler::Result>;
using RoundInbox = Inbox<RoundMail>;

// A worker's post into the inbox, which outlives the round as long as a
// worker does (a writer a store holds is left to the process's end).
template <typename Message> std::function<void(Message)> post_to(std::shared_ptr<RoundInbox> in) {
    return [in](Message m) { in->post(std::in_place_type<Message>, std::move(m)); };
}

// At the round's end, what the labels still waiting get for a last try:
// time for one label's whole try and a little more.
constexpr std::chrono::seconds LABELS_AT_END(7);

// What every round needs before its first claim: the locked profile, the
// images checked against it, room for the records, the logs' folder, the
// round's own snapshot and its id.
struct Prepared {
    Profile locked;
    std::unique_ptr<Snapshot> snapshot;
    std::string logs;
    RunFrames frames; // each job's, as the locked images need them
    std::string round;
    std::string label; // the label template's bytes as locked; none without [label]
};

Prepared prepare_round(const StationFile& file, const Opened& opened, size_t boards) {
    std::optional<Profile> locked = opened.store->locked_profile(file.station);
    if (!locked) {
        throw StationError{"no locked profile for station " + file.station +
                           ": run `station lock` first"};
    }
    std::string logs = make_room_for_round(file, boards);
    RoundImages images = images_for_round(file, *locked);
    std::string beside = fs::absolute(file.path).parent_path().string();
    return Prepared{
        *locked,    std::make_unique<Snapshot>(images.images, *locked, beside, file.station),
        logs,       images.frames,
        new_uuid(), images.label};
}

std::vector<std::string> names_of(const std::vector<Fixture>* fixtures) {
    std::vector<std::string> names;
    for (const Fixture& f : fixtures != nullptr ? *fixtures : std::vector<Fixture>{}) {
        names.push_back(f.name);
    }
    return names;
}

// The line's page's side of a round: each board's progress, from its start,
// as the recorder's live writes.
class LiveWrites : public RoundSink {
  public:
    LiveWrites(Recorder& recorder, const std::string& station)
        : recorder_(recorder), station_(station) {}
    void take(const RoundEvent& e) override {
        const Board* board = nullptr;
        if (const auto* started = std::get_if<round_event::Started>(&e)) {
            board = started->board;
        }
        if (const auto* progressed = std::get_if<round_event::Progressed>(&e)) {
            board = progressed->board;
        }
        if (board != nullptr) {
            const Board& b = *board;
            recorder_.progress(
                {station_, b.fixture.name, b.record.id, b.progress.frames, b.progress.total, ""});
        }
    }

  private:
    Recorder& recorder_;
    std::string station_;
};

// The station's log of its notices: what the panel shows a while, kept. A
// log that cannot be written is said once, and not tried again.
class NoticeWrites : public RoundSink {
  public:
    NoticeWrites(const std::string& logs, const std::string& station, RoundSink& round)
        : logs_(logs), station_(station), round_(round) {}
    void take(const RoundEvent& e) override {
        std::string line = said_line(e);
        std::string fault = line.empty() || failed_ ? "" : add_notice(logs_, station_, line);
        if (!fault.empty()) {
            failed_ = true;
            round_.take(round_event::Warning{fault + "; the round's notices are not kept"});
        }
    }

  private:
    std::string logs_, station_;
    RoundSink& round_;
    bool failed_ = false;
};

// One round: the claims its feed makes, the hosts of the boards claimed,
// their records' writers and the round's sinks, in one loop.
class Round : public FeedRound, private RunnerEvents {
  public:
    // `shift`: the fixtures of a continuous round; none for a planned one.
    // Its parts are made from what it keeps: the round is ready (its images
    // checked, room for its records) before its signals are held back.
    Round(const StationFile& file, const RoundRun& run, const Opened& opened, size_t boards,
          const std::vector<Fixture>* shift = nullptr)
        : file_(file), run_(run), opened_(opened),
          screen_(make_screen(run_.json, shift != nullptr, names_of(shift), !file_.bell)),
          live_(recorder_, file_.station), p_(prepare_round(file_, opened_, boards)),
          notices_(p_.logs, file_.station, *screen_),
          // The runner holds back the station's signals: before the writers'
          // threads start, so that they take none.
          runner_(file_.stall_seconds, *this),
          recorder_(opened_.store, opened_.spool, file_.station, post_to<Recorder::News>(inbox_)) {
        recorder_.live(file_.station, run_.host.version);
        if (file_.label.on()) {
            labeler_ =
                std::make_unique<Labeler>(file_.label, p_.label, post_to<Labeler::Result>(inbox_));
        }
    }

    // Runs the feed's boards to the last record; returns the exit status.
    int run(Feed& feed, int skipped_before) {
        feed_ = &feed;
        for (;;) {
            feed.offer(*this);
            if (feed.done() && claims_.empty() && !runner_.running()) {
                break;
            }
            std::vector<pollfd> extra = {{inbox_->fd(), POLLIN, 0}, {feed.waits_on(), POLLIN, 0}};
            runner_.pass(extra);
            if (extra[1].fd >= 0 && extra[1].revents != 0) {
                feed.readable(*this);
            }
            if (extra[0].revents != 0) {
                read_inbox();
            }
        }
        screen_->prompt(""); // an open prompt is taken back (Ctrl+C)
        int unrecorded = recorder_.settle();
        read_inbox();
        finish_labels();
        // What the writers say from here goes straight to standard error.
        recorder_.tell_directly();
        read_inbox();
        if (pool_asked_ && !recorder_.store_lost()) {
            warn_of_pool();
        }
        int skipped = skipped_before + unstarted_;
        // A round that a signal ended before any board: nothing to tell.
        if (!interrupted() || !boards_.empty() || skipped > 0) {
            tell(round_event::Ended{&boards_, skipped, p_.round});
        }
        return status(unrecorded);
    }
    // Whether SIGINT, SIGTERM or SIGHUP ended the round.
    bool interrupted() const {
        return runner_.stopping();
    }

    // For the feeds.
    void claim(const Planned& plan, const std::string& device) override {
        Record r = new_record(plan, device);
        claims_[r.id] = plan;
        pool_asked_ = pool_asked_ || plan.mac.empty();
        recorder_.claim(r, {&file_.mac, p_.snapshot.get()}, plan.retry_of);
    }
    void tell(const RoundEvent& event) override {
        for (RoundSink* sink : sinks_) {
            sink->take(event);
        }
    }
    void warn(const std::string& line) {
        tell(round_event::Warning{line});
    }
    Screen& screen() override {
        return *screen_;
    }
    const std::list<Board>& boards() const override {
        return boards_;
    }
    bool stopping() const override {
        return runner_.stopping();
    }
    void not_started() override {
        unstarted_ += 1;
    }
    void store_failed() override {
        store_failed_ = true;
    }

  private:
    Record new_record(const Planned& p, const std::string& device) const {
        Record r;
        r.id = new_uuid();
        r.station = file_.station;
        r.fixture = p.fixture.name;
        r.port = p.fixture.port;
        r.device = device;
        r.mac = p.mac;
        r.profile = p_.locked.id;
        for (const ImageInfo& image : image_kinds()) {
            r.*image.hash = p_.locked.*image.locked_hash;
        }
        r.otp_address = p_.locked.otp_address;
        r.host_version = run_.host.version;
        r.rework = p.rework;
        r.lot = p.lot.empty() ? run_.lot : p.lot;
        r.operator_name = run_.operator_name;
        r.started = utc_now();
        r.round = p_.round;
        return r;
    }

    // The workers' mail, in the order they told it.
    void read_inbox() {
        for (const RoundMail& mail : inbox_->take()) {
            std::visit([this](const auto& m) { take_mail(m); }, mail);
        }
    }
    void take_mail(const Recorder::News& news) {
        std::visit([this](const auto& m) { take_mail(m); }, news);
    }
    void take_mail(const Recorder::Answer& a) {
        answered(*feed_, a);
    }
    void take_mail(const Recorder::Said& said) {
        warn(said.line);
    }
    // A passed board's label is printed once its record is written.
    void take_mail(const Recorder::Written& written) {
        Board* b = board_of(written.record);
        if (labeler_ && b != nullptr && b->record.outcome == Outcome::passed) {
            print_label(*b, "");
        }
    }
    // A board whose record is written nowhere yet says so until it is.
    void take_mail(const Recorder::Unwritten& u) {
        if (Board* b = board_of(u.record)) {
            b->unwritten = !u.why.empty();
            tell(round_event::Unwritten{b, u.why});
        }
    }
    void take_mail(const Labeler::Result& r) {
        labelled(r);
    }

    void answered(Feed& feed, const Recorder::Answer& a) {
        auto claim = claims_.find(a.record.id);
        Planned plan = claim->second;
        claims_.erase(claim);
        if (a.result != Recorder::Answer::Result::claimed) {
            feed.not_claimed(*this, plan, a);
            return;
        }
        feed.claimed(*this, plan);
        boards_.emplace_back();
        Board& b = boards_.back();
        b.fixture = plan.fixture;
        b.record = a.record;
        b.folder = a.folder;
        b.running = true;
        b.reads_back = file_.label.verify;
        b.started = Clock::now();
        b.stopped_at_start = time_stopped();
        // Only a board after a pass on its fixture in this round finds its
        // line as host left it; before any other the station cannot know
        // what its agent still answers (a host stopped mid-frame, a station
        // killed, another program on the port).
        ChildCommand host{run_.host.path,
                          {plan.fixture.port, b.record.mac},
                          b.folder.empty() ? p_.snapshot->folder() : b.folder,
                          make_board_log_path(p_.logs, b.record),
                          board_log_header(b.record),
                          b.record.device,
                          !last_board_passed(plan.fixture.name),
                          p_.snapshot->mark()};
        if (plan.reseat) {
            tell(round_event::Notice{plan.fixture.name + " " + b.record.mac +
                                     ": its last run's answers were out of step with its frames; "
                                     "unless it was taken out and put back since, it fails again"});
        }
        host.keep_first = TRANSCRIPT_KEEPS_FIRST + static_cast<size_t>(p_.frames.all());
        b.output = KeptOutput(host.keep_first, TRANSCRIPT_KEEPS_LAST);
        by_child_[runner_.start(host)] = &b;
        b.progress.total = p_.frames.all();
        tell(round_event::Started{&b});
    }

    bool output(int child, const char* bytes, size_t n) override {
        Board& b = *by_child_.at(child);
        b.output.append(bytes, n);
        bool dot = b.dots.feed(bytes, n);
        b.progress_due = b.progress_due || dot;
        return dot;
    }
    // Whether the fixture's last board of this round that ended passed (a
    // fixture runs one board at a time; the one starting is not ended).
    bool last_board_passed(const std::string& fixture) const {
        for (auto b = boards_.rbegin(); b != boards_.rend(); ++b) {
            if (b->fixture.name == fixture && !b->running) {
                return b->record.outcome == Outcome::passed;
            }
        }
        return false;
    }
    void line_quieted(int child, const LineQuieted& q) override {
        const Board& b = *by_child_.at(child);
        std::string said;
        if (!q.quiet) {
            said = b.fixture.name + ": its line did not go quiet in " +
                   std::to_string(LINE_QUIET_AT_MOST.count()) + " s (" +
                   std::to_string(q.discarded) + " bytes discarded); host started anyway";
        } else if (q.discarded > 0) {
            said = b.fixture.name + ": " + std::to_string(q.discarded) +
                   " bytes an earlier run left on the line discarded before host started";
        }
        if (!said.empty()) {
            tell(round_event::Notice{said});
        }
    }
    void stopping(int child) override {
        by_child_.at(child)->stopping = true;
    }
    // The board's record goes to the writers. One that ended after the
    // round's snapshot changed did not get the locked bytes, whatever host
    // said; one that did not pass keeps its MAC once the job of the image
    // that carries it had begun (its bytes may be in the board: an OTP is
    // written once).
    void ended(int child, const Ending& ending) override {
        Board& b = *by_child_.at(child);
        by_child_.erase(child);
        b.running = false;
        b.ended = Clock::now();
        b.stopped_at_end = time_stopped();
        Record& r = b.record;
        r.transcript = b.output.text();
        long long left_out = b.output.left_out();
        b.output = KeptOutput(0, 0);
        judge(r, b.dots.dots(), ending, p_.frames);
        if (left_out > 0) {
            // A host that runs as it should is kept whole: one that wrote
            // more cannot have its answers checked.
            if (r.outcome == Outcome::passed) {
                r.outcome = Outcome::failed;
                r.message = "host wrote more than the station keeps of a run: its answers "
                            "cannot be checked";
            }
            tell(round_event::Notice{b.fixture.name + " " + r.mac + ": host wrote " +
                                     std::to_string(left_out) +
                                     " bytes more than the station keeps; its record and log "
                                     "keep the first and the last MiB"});
        }
        r.ended = utc_now();
        if (!p_.snapshot->unchanged()) {
            r.outcome = Outcome::failed;
            r.message = "the round's snapshot of the images changed: not the locked bytes";
        }
        r.mac_kept = file_.mac.image && r.outcome != Outcome::passed &&
                     began_image(r.transcript, p_.snapshot->file_of(*file_.mac.image));
        b.progress = progress_of(r, p_.frames.all());
        recorder_.finished(r);
        tell(round_event::Finished{&b});
        feed_->board_ended(*this, b);
    }
    // A running board's progress is read from its transcript here, once its
    // dots changed: at most ten times a second, whatever the dots' pace.
    void tick() override {
        recorder_.check();
        bool progress_read = Clock::now() - progress_read_ >= std::chrono::milliseconds(100);
        for (Board& b : boards_) {
            if (progress_read && b.running && b.progress_due) {
                progress_read_ = Clock::now();
                b.progress = progress_of(b.output.text(), b.dots.dots(), p_.frames.all());
                b.progress_due = false;
                tell(round_event::Progressed{&b});
            }
        }
        screen_->tick(boards_);
    }

    // Below a tenth of the pool left, the round's end says so.
    void warn_of_pool() {
        if (!file_.mac.has_pool()) {
            return;
        }
        unsigned long long size = file_.mac.pool_size();
        unsigned long long used = static_cast<unsigned long long>(
            opened_.store->pool_used(file_.mac.first, file_.mac.last));
        unsigned long long left = used >= size ? 0 : size - used;
        if (left * 10 < size) {
            tell(round_event::PoolLow{&file_.mac, left});
        }
    }

    void print_label(const Board& b, const std::string& again) {
        labeler_->print(b.fixture.name, label_fields(b.record), again);
    }
    // For the feed: a label read back at its fixture, and one printed again
    // there.
    void label_checked(const Board& board, LabelState read_back,
                       const std::string& reason) override {
        Board& b = *board_of(board.record.id);
        b.label = read_back;
        std::string event = label_state_name(read_back);
        recorder_.label({b.record.id, b.record.mac, event, utc_now(), file_.label.printer, "",
                         run_.operator_name, reason});
        // A mismatch is a refusal: the operator, who looks at the label,
        // hears it.
        tell(round_event::Label{&b, read_back, reason, file_.label.printer, "", ""});
    }
    void print_label_again(const Board& board) override {
        if (labeler_) {
            print_label(board, "printed again at the fixture (p)");
        }
    }
    // A label printed, or not taken by the printer: its board's row and
    // the store say so.
    void labelled(const Labeler::Result& r) {
        Board* b = board_of(r.event.record);
        if (b == nullptr) {
            return;
        }
        bool printed = r.why.empty();
        round_event::Label e{b,           printed ? LabelState::printed : LabelState::not_printed,
                             r.why,       r.event.printer,
                             r.event.job, r.given_up ? p_.round : ""};
        e.late = printed && b->label != LabelState::none;
        // A label not printed is recorded once, as it happens (the line's
        // page says so while the station tries again), and again printed.
        bool failed_now = !printed && b->label != LabelState::not_printed;
        // A label read back already (verified, or its board set aside)
        // stays so when a copy printed again comes out after.
        bool read_back = b->label == LabelState::verified || b->label == LabelState::unverified;
        if (!read_back) {
            b->label = printed ? LabelState::printed : LabelState::not_printed;
        }
        if (printed || failed_now) {
            LabelEvent event = r.event;
            event.who = run_.operator_name;
            recorder_.label(event);
        }
        tell(e);
        if (printed && feed_ != nullptr) {
            feed_->label_printed(*this, *b);
        }
    }
    // The labels still waiting get a last try; what the printer did not
    // take is recorded as not printed, for `station label` to print.
    void finish_labels() {
        if (!labeler_) {
            return;
        }
        read_inbox(); // the last records' labels are queued
        labeler_->finish(LABELS_AT_END);
        read_inbox();
        // What was printed and never read back is recorded so, not left
        // looking verified.
        for (Board& b : boards_) {
            if (b.reads_back && label_to_read_back(b.label)) {
                label_checked(b, LabelState::unverified,
                              "the round ended before its label was read back");
            }
        }
    }
    Board* board_of(const std::string& record) {
        for (Board& b : boards_) {
            if (b.record.id == record) {
                return &b;
            }
        }
        return nullptr;
    }

    // The round's exit status, once every record is somewhere.
    int status(int unrecorded) {
        if (!p_.snapshot->hashes_match()) {
            warn("the round's snapshot of the images no longer hashes to the locked "
                 "profile: the boards of round " +
                 p_.round + " may not have received the locked bytes");
            return 2;
        }
        if (unrecorded > 0) {
            warn(std::to_string(unrecorded) +
                 " record(s) could be written neither to the store nor to the "
                 "spool; each is above, as one JSON line");
            return 2;
        }
        if (store_failed_) {
            return 2;
        }
        if (recorder_.conflicts() > 0) {
            return CONFLICT_STATUS;
        }
        bool all_passed = std::all_of(boards_.begin(), boards_.end(), [](const Board& b) {
            return b.record.outcome == Outcome::passed;
        });
        return all_passed && unstarted_ == 0 ? 0 : 1;
    }

    const StationFile& file_;
    const RoundRun& run_;
    const Opened& opened_;
    std::unique_ptr<Screen> screen_;
    LiveWrites live_; // of `recorder_`, made below: nothing is told before
    Prepared p_;
    NoticeWrites notices_;
    Runner runner_;
    std::shared_ptr<RoundInbox> inbox_ = std::make_shared<RoundInbox>();
    Recorder recorder_;
    std::unique_ptr<Labeler> labeler_; // with a [label]
    // Where every event goes: the screen, the line's page, the notices.
    const std::vector<RoundSink*> sinks_{screen_.get(), &live_, &notices_};
    std::list<Board> boards_; // a board stays where it is while others come
    std::map<int, Board*> by_child_;
    std::map<std::string, Planned> claims_; // record id -> its plan, while unanswered
    int unstarted_ = 0;
    bool store_failed_ = false;
    bool pool_asked_ = false; // a claim took the pool's next MAC
    Feed* feed_ = nullptr;
    Clock::time_point progress_read_; // when running boards' progress was last read
};

} // namespace

int run_planned(const StationFile& file, const RoundRun& run, const Opened& opened,
                const std::vector<Planned>& planned, const std::vector<Skipped>& skipped) {
    std::unique_ptr<Feed> feed = planned_feed(planned);
    Round round(file, run, opened, planned.size());
    // A fixture the operator skipped at the prompt is no board left
    // unprogrammed; one skipped for a reason is.
    for (const Skipped& s : skipped) {
        if (!s.why.empty()) {
            round.tell(round_event::Skipped{s.fixture, s.why});
            round.not_started();
        }
    }
    return round.run(
        *feed, static_cast<int>(std::count_if(skipped.begin(), skipped.end(),
                                              [](const Skipped& s) { return s.why.empty(); })));
}

namespace {

int run_shift(const StationFile& file, const RoundRun& run, const Opened& opened,
              const std::vector<Fixture>& fixtures, bool rework) {
    // On a terminal the panel echoes what is typed; only in the terminal's
    // foreground, since changing its settings from the background would
    // stop the station.
    // The terminal's settings change once the round holds back the signals
    // that would end the station before it could set them back.
    bool keys = !run.json && isatty(0) && isatty(1) && tcgetpgrp(0) == getpgrp();
    // Asked before the round's writers share the store.
    std::vector<Record> kept = opened.store->kept_boards(file.station);
    Round round(file, run, opened, fixtures.size(), &fixtures);
    Input input(0, keys);
    std::unique_ptr<Feed> feed = scan_feed(file, fixtures, rework, input, kept);
    int status = round.run(*feed, 0);
    // Ctrl+C ends a shift: the shell's status for it, once all is recorded.
    return status != 2 && round.interrupted() ? 130 : status;
}

} // namespace

int run_round(const StationFile& file, const RoundRun& run, const Opened& opened,
              const RunAsk& ask) {
    std::vector<Fixture> fixtures = chosen_fixtures(file, ask.fixtures);
    if (ask.continuous) {
        return run_shift(file, run, opened, fixtures, ask.rework);
    }
    std::vector<Skipped> skipped;
    std::vector<Planned> planned =
        planned_boards(file, fixtures, ask.macs, ask.rework, *opened.store,
                       run.json ? std::cerr : std::cout, skipped);
    return run_planned(file, run, opened, planned, skipped);
}
