// The round's one loop, and the two feeds of its boards.
#include "station/round.h"

#include "station/board_log.h"

#include "station/macs.h"
#include "station/recorder.h"
#include "station/runner.h"
#include "station/screen.h"
#include "station/stops.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <tuple>
#include <termios.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class Round;

// What gives a round its boards.
class Feed {
  public:
    virtual ~Feed() = default;
    // Claims what it has now (Round::claim); called before every pass.
    virtual void offer(Round& round) = 0;
    // The descriptor it waits on now, or -1; and what to do when it is readable.
    virtual int waits_on() const {
        return -1;
    }
    virtual void readable(Round&) {}
    // The answer to one of its claims.
    virtual void claimed(Round& round, const Planned& plan) = 0;
    virtual void not_claimed(Round& round, const Planned& plan, const Recorder::Answer& a) = 0;
    // A board of the round ended.
    virtual void board_ended(Round&, const Board&) {}
    // Whether no more boards come.
    virtual bool done() const = 0;
};

// What every round needs before its first claim: the locked profile, the
// images checked against it, room for the records, the logs' folder, the
// round's own snapshot and its id.
struct Prepared {
    Profile locked;
    std::unique_ptr<Snapshot> snapshot;
    std::string logs;
    long long data_frames; // dots of a whole run
    std::string round;
};

Prepared prepare_round(const StationFile& file, const Opened& opened, size_t boards) {
    std::optional<Profile> locked = opened.store->locked_profile(file.station);
    if (!locked) {
        throw StationError{"no locked profile for station " + file.station +
                           ": run `station lock` first"};
    }
    Images images = read_images(file.config);
    Profile now = profile_of(images);
    if (now.id != locked->id) {
        throw StationError{"the images of " + file.config + " are not the locked ones (locked " +
                           locked->locked + "): run `station lock` to program the new ones"};
    }
    check_mac_fits(file, images);
    check_pool_bounds(file);
    std::string logs = make_log_folder(file);
    check_room(file, boards);
    std::string beside = fs::absolute(file.path).parent_path().string();
    return Prepared{*locked, std::make_unique<Snapshot>(images, *locked, beside), logs,
                    data_frames(images), new_uuid()};
}

// What a claim needs done on the writer's thread: a MAC from the pool when
// none was given, and the board's own copy of the image that carries its
// MAC (the record's hash of that image is of the bytes this board gets).
Recorder::Prepare prepare_claim(const StationFile& file, const Snapshot& snapshot) {
    return [&file, &snapshot](Recorder::Answer& a, Store& store) {
        Record& r = a.record;
        if (r.mac.empty()) {
            std::optional<std::string> mac = store.hand_out(file.mac.first, file.mac.last);
            if (!mac) {
                a.result = Recorder::Answer::Result::refused;
                a.why = "MAC pool exhausted (" + file.mac.first + "-" + file.mac.last + ")";
                return;
            }
            r.mac = *mac;
        }
        if (file.mac.image) {
            const ImageInfo& image = image_info(*file.mac.image);
            a.folder =
                snapshot.board_folder(r.id, image.kind, file.mac.offset, r.mac, r.*image.hash);
        }
    };
}

std::vector<std::string> names_of(const std::vector<Fixture>* fixtures) {
    std::vector<std::string> names;
    for (const Fixture& f : fixtures != nullptr ? *fixtures : std::vector<Fixture>{}) {
        names.push_back(f.name);
    }
    return names;
}

// One round: the claims its feed makes, the hosts of the boards claimed,
// their records' writers and the screen, in one loop.
class Round : private RunnerEvents {
  public:
    // `shift`: the fixtures of a continuous round; none for a planned one.
    Round(const StationFile& file, const Opened& opened, size_t boards, bool json,
          const std::vector<Fixture>* shift = nullptr)
        : file_(file), opened_(opened), p_(prepare_round(file, opened, boards)),
          screen_(make_screen(json, shift != nullptr, p_.data_frames, names_of(shift))),
          // The runner holds back the station's signals: before the writers'
          // threads start, so that they take none.
          runner_(file.stall_seconds, *this), recorder_(opened.store, opened.spool) {
        recorder_.live(file.station, file.host_version);
    }

    // Runs the feed's boards to the last record; returns the exit status.
    int run(Feed& feed, int skipped_before) {
        feed_ = &feed;
        for (;;) {
            feed.offer(*this);
            if (feed.done() && claims_.empty() && !runner_.running()) {
                break;
            }
            std::vector<pollfd> extra = {{claims_.empty() ? -1 : recorder_.answers_fd(), POLLIN, 0},
                                         {feed.waits_on(), POLLIN, 0}};
            runner_.pass(extra);
            if (extra[1].fd >= 0 && extra[1].revents != 0) {
                feed.readable(*this);
            }
            if (extra[0].fd >= 0 && extra[0].revents != 0) {
                for (Recorder::Answer& a : recorder_.answers()) {
                    answered(feed, a);
                }
            }
        }
        screen_->prompt(""); // an open prompt is taken back (Ctrl+C)
        int unrecorded = recorder_.settle();
        if (pool_asked_ && !recorder_.store_lost()) {
            warn_of_pool();
        }
        int skipped = skipped_before + unstarted_;
        // A round that a signal ended before any board: nothing to tell.
        if (!interrupted() || !boards_.empty() || skipped > 0) {
            screen_->round_ended(boards_, skipped, p_.round);
        }
        return status(unrecorded);
    }
    // Whether SIGINT, SIGTERM or SIGHUP ended the round.
    bool interrupted() const {
        return runner_.stopping();
    }

    // For the feeds.
    void claim(const Planned& plan, const std::string& device) {
        Record r = new_record(plan, device);
        claims_[r.id] = plan;
        pool_asked_ = pool_asked_ || plan.mac.empty();
        recorder_.claim(r, prepare_claim(file_, *p_.snapshot), plan.retry_of);
    }
    Screen& screen() {
        return *screen_;
    }
    const std::list<Board>& boards() const {
        return boards_;
    }
    bool stopping() const {
        return runner_.stopping();
    }
    // A board of the round that will not be started.
    void not_started() {
        unstarted_ += 1;
    }
    // The store failed a claim: the round ends with status 2.
    void store_failed() {
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
        r.host_version = file_.host_version;
        r.rework = p.rework;
        r.lot = p.lot.empty() ? file_.lot : p.lot;
        r.operator_name = file_.operator_name;
        r.started = utc_now();
        r.round = p_.round;
        return r;
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
        b.started = Clock::now();
        b.stopped_at_start = time_stopped();
        ChildCommand host{file_.host,
                          {plan.fixture.port, b.record.mac},
                          b.folder.empty() ? p_.snapshot->folder() : b.folder,
                          make_board_log_path(p_.logs, b.record),
                          board_log_header(b.record),
                          b.record.device};
        by_child_[runner_.start(host)] = &b;
        screen_->board_started(b);
    }

    bool output(int child, const char* bytes, size_t n) override {
        Board& b = *by_child_.at(child);
        b.record.transcript.append(bytes, n);
        bool dot = b.dots.feed(bytes, n);
        if (dot) {
            screen_->board_progress(b);
            recorder_.progress(
                {file_.station, b.fixture.name, b.record.id, b.dots.dots(), p_.data_frames, ""});
        }
        return dot;
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
        judge(r, b.dots.dots(), ending, p_.data_frames + 1);
        r.ended = utc_now();
        if (!p_.snapshot->unchanged()) {
            r.outcome = Outcome::failed;
            r.message = "the round's snapshot of the images changed: not the locked bytes";
        }
        r.mac_kept = file_.mac.image && r.outcome != Outcome::passed &&
                     began_image(r.transcript, p_.snapshot->file_of(*file_.mac.image));
        recorder_.finished(r);
        screen_->board_finished(b);
        feed_->board_ended(*this, b);
    }
    void tick() override {
        recorder_.check();
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
            screen_->pool_low(file_.mac, left);
        }
    }

    // The round's exit status, once every record is somewhere.
    int status(int unrecorded) const {
        if (!p_.snapshot->hashes_match()) {
            std::cerr << "station: the round's snapshot of the images no longer hashes to the "
                         "locked profile: the boards of round "
                      << p_.round << " may not have received the locked bytes\n";
            return 2;
        }
        if (unrecorded > 0) {
            std::cerr << "station: " << unrecorded
                      << " record(s) could be written neither to the store nor to the spool; "
                         "each is above, as one JSON line\n";
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
    const Opened& opened_;
    Prepared p_;
    std::unique_ptr<Screen> screen_;
    Runner runner_;
    Recorder recorder_;
    std::list<Board> boards_; // a board stays where it is while others come
    std::map<int, Board*> by_child_;
    std::map<std::string, Planned> claims_; // record id -> its plan, while unanswered
    int unstarted_ = 0;
    bool store_failed_ = false;
    bool pool_asked_ = false; // a claim took the pool's next MAC
    Feed* feed_ = nullptr;
};

// Why a scanned line gives no MAC a board may carry (`mac`: the line as
// checked_mac read it), or an empty text.
std::string scan_fault(const std::string& mac) {
    return mac.empty()               ? std::string("not a MAC: ") + MAC_FORMS
           : !mac_fault(mac).empty() ? "refused: " + mac_fault(mac)
                                     : "";
}

// The node a fixture's port resolves to; empty when it is missing.
std::string device_of(const Fixture& fixture) {
    std::error_code missing;
    fs::path device = fs::canonical(fixture.port, missing);
    return missing ? "" : device.string();
}

// Every board at once, in the file's order.
class PlannedFeed : public Feed {
  public:
    explicit PlannedFeed(const std::vector<Planned>& planned) : planned_(planned) {}
    void offer(Round& round) override {
        if (offered_) {
            return;
        }
        for (const Planned& plan : planned_) {
            std::string device = device_of(plan.fixture);
            if (device.empty()) {
                round.screen().skipped(plan.fixture.name,
                                       "port " + plan.fixture.port + " is missing");
                round.not_started();
                continue;
            }
            round.claim(plan, device);
        }
        offered_ = true;
    }
    void claimed(Round&, const Planned&) override {}
    void not_claimed(Round& round, const Planned& plan, const Recorder::Answer& a) override {
        bool lost = a.result == Recorder::Answer::Result::store_lost;
        round.screen().skipped(plan.fixture.name, lost ? "not started: " + a.why : a.why);
        round.not_started();
        if (lost) {
            round.store_failed();
        }
    }
    bool done() const override {
        return offered_;
    }

  private:
    const std::vector<Planned>& planned_;
    bool offered_ = false;
};

// Lines typed or scanned on standard input, read only when poll says so.
class Input {
  public:
    // `keys`: standard input is a terminal whose echo and line editing are
    // the station's (the panel shows what is typed), until the object goes.
    explicit Input(bool keys) {
        keys_ = keys && tcgetattr(0, &saved_) == 0;
        if (keys_) {
            termios raw = saved_;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            keys_ = tcsetattr(0, TCSANOW, &raw) == 0;
        }
    }
    ~Input() {
        if (keys_) {
            tcsetattr(0, TCSANOW, &saved_);
        }
    }
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    // Whether the station reads keys as they are typed.
    bool keys() const {
        return keys_;
    }
    // The next whole line, if one came (the last one also unended, once
    // input is over).
    std::optional<std::string> line() {
        size_t end = buffer_.find('\n');
        if (end == std::string::npos) {
            if (ended_ && !buffer_.empty()) {
                std::string last = buffer_;
                buffer_.clear();
                return last;
            }
            return std::nullopt;
        }
        std::string text = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
            text.pop_back();
        }
        return text;
    }
    // What is typed of the line after the whole ones.
    std::string partial() const {
        size_t end = buffer_.rfind('\n');
        return end == std::string::npos ? buffer_ : buffer_.substr(end + 1);
    }
    void read_some() {
        char chunk[512];
        ssize_t n = read(0, chunk, sizeof(chunk));
        if (n > 0) {
            if (keys_) {
                edit(chunk, static_cast<size_t>(n));
            } else {
                buffer_.append(chunk, static_cast<size_t>(n));
            }
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
            ended_ = true;
        }
    }
    bool ended() const {
        return ended_ && buffer_.empty();
    }

  private:
    // Keys as a terminal's line editing takes them: Enter ends the line,
    // Backspace, Ctrl+U and Ctrl+W take back, Ctrl+D on an empty line ends
    // input; other control keys and escape sequences (arrows) are dropped.
    void edit(const char* keys, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(keys[i]);
            std::string typed = partial();
            if (escape_ > 0) {
                // ESC, then '[' or 'O', then parameters up to a final byte.
                escape_ =
                    (escape_ == 1 && (c == '[' || c == 'O')) || (escape_ == 2 && c < 0x40) ? 2 : 0;
            } else if (c == 0x1b) {
                escape_ = 1;
            } else if (c == '\r' || c == '\n') {
                buffer_ += '\n';
            } else if ((c == 0x7f || c == 0x08) && !typed.empty()) {
                buffer_.pop_back();
            } else if (c == 0x15 || c == 0x17) {
                size_t keep = typed.size();
                if (c == 0x17) { // a word, and the spaces after it
                    while (keep > 0 && typed[keep - 1] == ' ') {
                        --keep;
                    }
                    while (keep > 0 && typed[keep - 1] != ' ') {
                        --keep;
                    }
                } else {
                    keep = 0;
                }
                buffer_.resize(buffer_.size() - (typed.size() - keep));
            } else if (c == 0x04 && typed.empty()) {
                ended_ = true;
            } else if (c >= 0x20 && c != 0x7f) {
                buffer_ += static_cast<char>(c);
            }
        }
    }

    std::string buffer_;
    bool ended_ = false;
    bool keys_ = false;
    termios saved_{};
    int escape_ = 0; // within an escape sequence: 1 after ESC, 2 after its '['
};

// `run --continuous`: the next idle fixture's MAC, one claim at a time. A
// scan may aim at a fixture (its label, then or with a MAC), skip the
// fixture asked ("-", or its label again), or end the round ("q"). A
// fixture whose port is missing, or whose last three boards failed to open
// their port, is out of service: not asked again until its port is back
// or its label is scanned.
class ScanFeed : public Feed {
  public:
    ScanFeed(const StationFile& file, const std::vector<Fixture>& fixtures, bool rework, bool keys)
        : file_(file), fixtures_(fixtures), rework_(rework), input_(keys) {}

    void offer(Round& round) override {
        look_at_ports(round);
        for (;;) {
            // Once input is over, no fixture is asked (nor taken out).
            taking_ = taking_ && !round.stopping() && !input_.ended();
            if (taking_ && !asking_ && !claim_waits_) {
                ask_next(round);
            }
            std::optional<std::string> line = asked() ? input_.line() : std::nullopt;
            if (!line) {
                return;
            }
            round.screen().answered();
            round.screen().typed(input_.partial());
            take(round, *line);
        }
    }
    // Keys are read as they come, to be shown; lines only when asked for.
    int waits_on() const override {
        return asked() || (input_.keys() && taking_) ? 0 : -1;
    }
    void readable(Round& round) override {
        input_.read_some();
        round.screen().typed(input_.partial());
        if (input_.ended()) {
            taking_ = false;
            round.screen().answered();
        }
    }
    void claimed(Round&, const Planned&) override {
        claim_waits_ = false;
        asking_.reset();
    }
    void not_claimed(Round& round, const Planned& plan, const Recorder::Answer& a) override {
        claim_waits_ = false;
        if (a.result == Recorder::Answer::Result::store_lost) {
            round.screen().notice(plan.fixture.name + " not started: " + a.why +
                                  "; no new board starts");
            round.not_started();
            taking_ = false;
            asking_.reset();
            return;
        }
        // An empty line that the pool had no MAC for leaves a board
        // unprogrammed, as a skipped fixture does.
        if (a.record.mac.empty()) {
            round.not_started();
        }
        refuse(round, "refused: " + a.why); // the same fixture is asked again
    }
    // A fixture whose last three boards failed to open its port is taken
    // out of service.
    void board_ended(Round& round, const Board& board) override {
        bool open_failed =
            board.record.outcome == Outcome::failed && board.record.stage == Stage::open;
        int& failures = open_failures_[board.fixture.name];
        failures = open_failed ? failures + 1 : 0;
        if (failures >= 3) {
            failures = 0;
            take_out(round, board.fixture, "its last three boards failed to open its port",
                     "3 failed opens", false, true);
        }
    }
    bool done() const override {
        return !claim_waits_ && (!taking_ || input_.ended());
    }

  private:
    bool asked() const {
        return (asking_ || waiting_label_) && !claim_waits_ && taking_;
    }
    void ask(Round& round, const Fixture& f) {
        asking_ = f;
        waiting_label_ = false;
        round.screen().prompt("MAC for " + f.name + ": ");
    }
    // The next fixture in the file's order that is neither running nor out
    // of service (one whose port went is taken out on the way); when none
    // is, and one is out of service, its label is asked for.
    void ask_next(Round& round) {
        for (size_t k = 0; k < fixtures_.size(); ++k) {
            const Fixture& f = fixtures_[(next_ + k) % fixtures_.size()];
            if (running_on(round, f.name) || out_.count(f.name) != 0) {
                continue;
            }
            if (device_of(f).empty()) {
                take_out_for_port(round, f, false);
                continue;
            }
            next_ = (next_ + k + 1) % fixtures_.size();
            ask(round, f);
            return;
        }
        bool none_to_ask = !out_.empty() && !any_running(round);
        if (none_to_ask && !waiting_label_) {
            round.screen().prompt("no fixture to ask: scan a fixture's label, or q: ");
        }
        waiting_label_ = none_to_ask;
    }
    // `board_left`: a board was scanned for it, and is left unprogrammed.
    void take_out(Round& round, const Fixture& f, const std::string& why, const std::string& brief,
                  bool port_missing, bool board_left = false) {
        out_[f.name] = port_missing;
        if (board_left) {
            round.not_started();
        }
        round.screen().fixture_out(f.name, why, brief);
        if (asking_ && asking_->name == f.name) {
            asking_.reset();
        }
    }
    void take_out_for_port(Round& round, const Fixture& f, bool board_left) {
        take_out(round, f, "port " + f.port + " is missing", "port missing", true, board_left);
    }
    void put_back(Round& round, const Fixture& f) {
        if (out_.erase(f.name) != 0) {
            round.screen().fixture_back(f.name);
        }
    }
    // Every second: a fixture out of service for its port is back with it.
    void look_at_ports(Round& round) {
        if (Clock::now() - ports_seen_ < std::chrono::seconds(1)) {
            return;
        }
        ports_seen_ = Clock::now();
        for (const Fixture& f : fixtures_) {
            auto out = out_.find(f.name);
            if (out != out_.end() && out->second && !device_of(f).empty()) {
                put_back(round, f);
            }
        }
    }
    static bool any_running(const Round& round) {
        return std::any_of(round.boards().begin(), round.boards().end(),
                           [](const Board& b) { return b.running; });
    }
    static bool running_on(const Round& round, const std::string& fixture) {
        return std::any_of(round.boards().begin(), round.boards().end(),
                           [&](const Board& b) { return b.running && b.fixture.name == fixture; });
    }
    void refuse(Round& round, const std::string& why) {
        round.screen().notice(why);
        round.screen().prompt(asking_ ? "MAC for " + asking_->name + ": "
                                      : "no fixture to ask: scan a fixture's label, or q: ");
    }
    // The fixture a scanned word labels: its name, or "fixture:NAME".
    const Fixture* labelled(const std::string& word) const {
        for (const Fixture& f : fixtures_) {
            if (word == f.name || word == "fixture:" + f.name) {
                return &f;
            }
        }
        return nullptr;
    }
    // A fixture's label aims what follows at it; the label of the fixture
    // asked, alone, skips it.
    bool aimed(Round& round, std::string& line) {
        size_t space = line.find(' ');
        const Fixture* f = labelled(line.substr(0, space));
        if (f == nullptr) {
            return true;
        }
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        rest.erase(0, rest.find_first_not_of(' '));
        if (rest.empty() && asking_ && asking_->name == f->name) {
            asking_.reset(); // skipped for this board
            return false;
        }
        if (running_on(round, f->name)) {
            refuse(round, "refused: " + f->name + " is running a board");
            return false;
        }
        // Its label brings it back, unless its port is still missing (the
        // scan is then refused for that).
        auto out = out_.find(f->name);
        if (out != out_.end() && !(out->second && device_of(*f).empty())) {
            put_back(round, *f);
        }
        ask(round, *f);
        line = rest;
        return !rest.empty();
    }
    // A line for the fixture asked: "q" ends input; "-" skips it; an empty
    // one takes the pool's next MAC, or skips the fixture without a pool.
    void take(Round& round, std::string line) {
        if (line == "q") {
            taking_ = false;
            return;
        }
        if (!aimed(round, line)) {
            return;
        }
        bool skip = line == "-" || (line.empty() && !file_.mac.has_pool());
        std::string mac = line.empty() || skip ? "" : checked_mac(line);
        std::string why = line.empty() || skip ? "" : scan_fault(mac);
        if (why.empty() && !asking_) {
            why = skip || line.empty()
                      ? "no fixture is asked"
                      : "refused: no fixture is free: scan a fixture's label first";
        }
        if (why.empty() && skip) {
            asking_.reset(); // the next idle fixture is asked
            return;
        }
        auto twin = std::find_if(round.boards().begin(), round.boards().end(),
                                 [&](const Board& b) { return b.running && b.record.mac == mac; });
        if (why.empty() && twin != round.boards().end()) {
            why = "refused: MAC " + mac + " is running on " + twin->fixture.name;
        }
        std::string device = asking_ ? device_of(*asking_) : "";
        if (why.empty() && device.empty()) {
            refuse(round, "refused: port " + asking_->port + " is missing");
            take_out_for_port(round, *asking_, true);
            return;
        }
        if (!why.empty()) {
            refuse(round, why);
            return;
        }
        round.claim(Planned{*asking_, mac, rework_}, device);
        claim_waits_ = true;
    }

    const StationFile& file_;
    const std::vector<Fixture>& fixtures_;
    bool rework_;
    Input input_;
    std::optional<Fixture> asking_;   // the fixture whose MAC is asked for
    bool waiting_label_ = false;      // no fixture to ask: a label is asked for
    bool claim_waits_ = false;        // its MAC is with the store
    bool taking_ = true;              // input is taken (until its end, q, Ctrl+C or a lost store)
    size_t next_ = 0;                 // where the search for an idle fixture starts
    std::map<std::string, bool> out_; // out of service; true: for its port
    std::map<std::string, int> open_failures_; // in a row, by fixture
    Clock::time_point ports_seen_;
};

} // namespace

void check_mac_fits(const StationFile& file, const Images& images) {
    const MacPlan& plan = file.mac;
    if (!plan.image) {
        return;
    }
    const ImageInfo& image = image_info(*plan.image);
    const std::string& path = images.*image.path;
    std::error_code error;
    auto size = fs::file_size(path, error);
    if (error || static_cast<std::uintmax_t>(plan.offset) + 6 > size) {
        throw StationError{plan.offset_place + ": the MAC's six bytes at offset " +
                           std::to_string(plan.offset) + " do not fit in the " + image.name +
                           " image " + path + " (" +
                           (error ? error.message() : std::to_string(size) + " bytes") + ")"};
    }
}

void check_pool_bounds(const StationFile& file) {
    const MacPlan& plan = file.mac;
    for (const auto& [mac, place, key] : {std::tuple(plan.first, plan.first_place, "first"),
                                          std::tuple(plan.last, plan.last_place, "last")}) {
        if (!mac.empty() && !mac_fault(mac).empty()) {
            throw StationError{place + ": the pool's \"" + key + "\": " + mac_fault(mac)};
        }
    }
}

std::string ask_mac(const std::string& fixture, const std::vector<Planned>& planned, Store& store,
                    bool rework) {
    for (;;) {
        std::cout << "MAC for " << fixture << ": " << std::flush;
        std::string line;
        if (!std::getline(std::cin, line)) {
            std::cout << "\n";
            return "";
        }
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
            line.pop_back();
        }
        if (line.empty()) {
            return "";
        }
        std::string mac = checked_mac(line);
        if (!scan_fault(mac).empty()) {
            std::cout << scan_fault(mac) << "\n";
            continue;
        }
        auto given = std::find_if(planned.begin(), planned.end(),
                                  [&](const Planned& p) { return p.mac == mac; });
        std::string why = given != planned.end()
                              ? "MAC " + mac + " is given for " + given->fixture.name + " already"
                              : store.refusal(mac, rework);
        if (why.empty()) {
            return mac;
        }
        std::cout << "refused: " << why << "\n";
    }
}

int run_planned(const StationFile& file, const Opened& opened, const std::vector<Planned>& planned,
                const std::vector<Skipped>& skipped, bool json) {
    Round round(file, opened, planned.size(), json);
    for (const Skipped& s : skipped) {
        if (!s.why.empty()) {
            round.screen().skipped(s.fixture, s.why);
        }
    }
    PlannedFeed feed(planned);
    return round.run(feed, static_cast<int>(skipped.size()));
}

int run_continuous(const StationFile& file, const Opened& opened,
                   const std::vector<Fixture>& fixtures, bool rework, bool json) {
    Round round(file, opened, fixtures.size(), json, &fixtures);
    // On a terminal the panel echoes what is typed; only in the terminal's
    // foreground, since changing its settings from the background would
    // stop the station.
    bool keys = !json && isatty(0) && isatty(1) && tcgetpgrp(0) == getpgrp();
    ScanFeed feed(file, fixtures, rework, keys);
    int status = round.run(feed, 0);
    // Ctrl+C ends a shift: the shell's status for it, once all is recorded.
    return status != 2 && round.interrupted() ? 130 : status;
}
