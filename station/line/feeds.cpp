// The feeds of a round, and the lines they read.
#include "station/line/feeds.h"

#include "station/base/base.h"

#include <algorithm>
#include <deque>
#include <cctype>
#include <cerrno>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

std::string scan_fault(const std::string& mac) {
    return mac.empty()               ? std::string("not a MAC: ") + MAC_FORMS
           : !mac_fault(mac).empty() ? "refused: " + mac_fault(mac)
                                     : "";
}

std::string device_of(const Fixture& fixture) {
    std::error_code missing;
    fs::path device = fs::canonical(fixture.port, missing);
    return missing ? "" : device.string();
}

void LineEditor::take(const char* bytes, size_t n) {
    if (!keys_) {
        for (size_t i = 0; i < n; ++i) {
            bytes[i] == '\n' ? ended_line() : started_line();
        }
        buffer_.append(bytes, n);
        return;
    }
    for (size_t i = 0; i < n; ++i) {
        edit(static_cast<unsigned char>(bytes[i]));
    }
}

void LineEditor::started_line() {
    if (!partial_mark_) {
        partial_mark_ = question_;
    }
}

void LineEditor::ended_line() {
    marks_.push_back(partial_mark_.value_or(question_));
    partial_mark_.reset();
}

bool LineEditor::next_is(const std::string& text) const {
    size_t end = buffer_.find('\n');
    if (end == std::string::npos) {
        return ended_ && buffer_ == text;
    }
    size_t last = end;
    while (last > 0 && std::isspace(static_cast<unsigned char>(buffer_[last - 1]))) {
        --last;
    }
    return buffer_.compare(0, last, text) == 0 && last == text.size();
}

void LineEditor::edit(unsigned char c) {
    std::string typed = partial();
    if (escape_ > 0) {
        // ESC, then '[' or 'O', then parameters up to a final byte.
        escape_ = (escape_ == 1 && (c == '[' || c == 'O')) || (escape_ == 2 && c < 0x40) ? 2 : 0;
    } else if (c == 0x1b) {
        escape_ = 1;
    } else if (c == '\r' || c == '\n') {
        ended_line();
        buffer_ += '\n';
    } else if ((c == 0x7f || c == 0x08) && !typed.empty()) {
        buffer_.pop_back();
        if (typed.size() == 1) {
            partial_mark_.reset(); // all of it taken back
        }
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
        if (keep == 0) {
            partial_mark_.reset();
        }
    } else if (c == 0x04 && typed.empty()) {
        ended_ = true;
    } else if (c >= 0x20 && c != 0x7f) {
        started_line();
        buffer_ += static_cast<char>(c);
    }
}

std::optional<std::string> LineEditor::line() {
    size_t end = buffer_.find('\n');
    if (end == std::string::npos) {
        if (ended_ && !buffer_.empty()) {
            std::string last = buffer_;
            buffer_.clear();
            typed_for_ = partial_mark_.value_or(question_);
            partial_mark_.reset();
            return last;
        }
        return std::nullopt;
    }
    std::string text = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    typed_for_ = marks_.empty() ? question_ : marks_.front();
    if (!marks_.empty()) {
        marks_.pop_front();
    }
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) {
        text.pop_back();
    }
    return text;
}

std::string LineEditor::partial() const {
    size_t end = buffer_.rfind('\n');
    return end == std::string::npos ? buffer_ : buffer_.substr(end + 1);
}

Input::Input(int fd, bool keys) : LineEditor(false), fd_(fd), live_(isatty(fd) == 1) {
    keys_ = keys && tcgetattr(fd_, &saved_) == 0;
    if (keys_) {
        termios raw = saved_;
        raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        keys_ = tcsetattr(fd_, TCSANOW, &raw) == 0;
    }
}

Input::~Input() {
    if (keys_) {
        tcsetattr(fd_, TCSANOW, &saved_);
    }
}

void Input::read_some() {
    char chunk[512];
    ssize_t n = read(fd_, chunk, sizeof(chunk));
    if (n > 0) {
        take(chunk, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        end();
    }
}

namespace {

// The MACs given with --mac, by fixture; every fixture checked at once.
std::map<std::string, std::string> given_macs(const StationFile& file,
                                              const std::vector<std::string>& pairs) {
    std::map<std::string, std::string> macs;
    for (const std::string& pair : pairs) {
        size_t equals = pair.find('=');
        std::string name = pair.substr(0, equals);
        if (equals == std::string::npos ||
            std::none_of(file.fixtures.begin(), file.fixtures.end(),
                         [&](const Fixture& f) { return f.name == name; })) {
            throw StationError{"--mac " + pair + ": unknown fixture \"" + name + "\""};
        }
        // Its form was checked with the command line.
        macs[name] = checked_mac(pair.substr(equals + 1));
    }
    return macs;
}

// What the operator is asked: a fixture's MAC, or, with none to ask, a label.
std::string mac_prompt(const std::string& fixture, const std::string& kept = "") {
    return "MAC for " + fixture +
           (kept.empty() ? "" : " (kept " + kept + ": r retries, n new board)") + ": ";
}

std::string kept_refusal(const std::string& fixture, const std::string& kept) {
    return "refused: " + fixture + " holds the board that keeps MAC " + kept +
           ": r retries it, n for a new board";
}

// What a line typed at `fixture`'s MAC prompt means: the one grammar of a
// planned round's prompt and a continuous round's. `kept`: the MAC the
// fixture's board keeps, if it does; `pool`: whether the station has one.
struct MacAnswer {
    enum class Means {
        retry,     // "r", or the MAC its board keeps: its last board again
        new_board, // "n" where a board keeps its MAC: a new board, asked for
        skip,      // "-", or an empty line without a pool: no board on it
        pool,      // an empty line: the pool's next MAC
        mac,       // a MAC (`mac`): a new board once the store takes it
        refused,   // `why`: not a MAC, "n" where no board keeps one, an
                   // empty line where one does (asked again)
    } means;
    std::string mac, why;
};
MacAnswer mac_answer(const std::string& fixture, const std::string& line, const std::string& kept,
                     bool pool) {
    typedef MacAnswer::Means Means;
    std::string mac = line.empty() ? "" : checked_mac(line);
    if (line == "r" || (!kept.empty() && mac == kept)) {
        return {Means::retry, "", ""};
    }
    if (line == "n") {
        return kept.empty()
                   ? MacAnswer{Means::refused, "",
                               "refused: " + fixture + " holds no board that keeps its MAC"}
                   : MacAnswer{Means::new_board, "", ""};
    }
    if (line.empty() && !kept.empty()) {
        return {Means::refused, "", kept_refusal(fixture, kept)};
    }
    if (line == "-" || (line.empty() && !pool)) {
        return {Means::skip, "", ""};
    }
    if (line.empty()) {
        return {Means::pool, "", ""};
    }
    std::string why = scan_fault(mac);
    return why.empty() ? MacAnswer{Means::mac, mac, ""} : MacAnswer{Means::refused, "", why};
}
std::string new_board_said(const std::string& fixture, const std::string& kept) {
    return fixture + ": a new board; MAC " + kept + " stays kept (station retry --mac " + kept +
           " programs the old one)";
}
const char LABEL_PROMPT[] = "no fixture to ask: scan a fixture's label, or q: ";
// What waits unread from a pipe at most: more is read once lines are taken.
constexpr size_t MOST_UNREAD = 64 * 1024;

// Every board at once, in the file's order.
class PlannedFeed : public Feed {
  public:
    explicit PlannedFeed(const std::vector<Planned>& planned) : planned_(planned) {}
    void offer(FeedRound& round) override {
        if (offered_) {
            return;
        }
        for (const Planned& plan : planned_) {
            std::string device = device_of(plan.fixture);
            if (device.empty()) {
                round.tell(round_event::Skipped{plan.fixture.name,
                                                "port " + plan.fixture.port + " is missing"});
                round.not_started();
                continue;
            }
            round.claim(plan, device);
        }
        offered_ = true;
    }
    void claimed(FeedRound&, const Planned&) override {}
    void not_claimed(FeedRound& round, const Planned& plan, const Recorder::Answer& a) override {
        bool lost = a.result == Recorder::Answer::Result::store_lost;
        round.tell(round_event::Skipped{plan.fixture.name, lost ? "not started: " + a.why : a.why});
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

// `run --continuous`. What the feed waits for is its state: a fixture to
// choose (every one runs, or none was asked yet), a fixture's MAC, a
// fixture's label (all idle ones are out of service), or the store's
// answer to a claim. Apart from it, whether input is still taken: once it
// is not (its end, "q", Ctrl+C, a lost store), a claim on its way is still
// answered, and nothing more is asked.
//
// What a line does at the question shown is the table DIALOGUE (in
// take()). The rules that hold whatever comes between a question and its
// answer, and where each is kept:
//   a refusal never changes the question ............ refuse(), question_now()
//   a kept board is new once the store takes its MAC .. claimed(); new_board() for n
//   a line answers only the question it was typed for  answers(), not_taken()
//   nothing is asked while the store has a claim ...... claim()
//   a waiting label's scan verifies it at any prompt .. DIALOGUE, label_waiting()
//   an Enter alone is no label scan ................... DIALOGUE, no_scan()
//   a label printed again is asked for first .......... reprinting_, ask_next()
//   q is taken in every state, and says what is left .. next_line(), end_input()
class ScanFeed : public Feed {
  public:
    ScanFeed(const StationFile& file, const std::vector<Fixture>& fixtures, bool rework,
             Input& input, const std::vector<Record>& kept)
        : file_(file), fixtures_(fixtures), rework_(rework), input_(input) {
        for (const Record& r : kept) {
            last_[r.fixture] = r;
        }
    }

    void offer(FeedRound& round) override {
        if (!greeted_) {
            greeted_ = true;
            for (const auto& [fixture, r] : last_) {
                tell_kept(round, fixture, r.mac);
            }
        }
        look_at_ports(round);
        for (;;) {
            // Once input is over, no fixture is asked (nor taken out).
            taking_ = taking_ && !round.stopping() && !input_.ended();
            if (taking_ && (state_ == State::choosing || state_ == State::label)) {
                ask_next(round);
            }
            std::optional<std::string> line = next_line();
            if (!line) {
                return;
            }
            std::string asked_now = shown_;
            taken_back(round);
            round.screen().typed(input_.partial());
            if (*line == "q") {
                end_input(round);
            } else if (answers(asked_now, *line)) {
                take(round, *line);
            } else {
                refuse(round, not_taken(*line));
            }
        }
    }
    // What a person types is read as it comes (to be shown, and to take
    // `q` at once); a pipe's lines when asked for, and a `q` among them
    // when it is next. Unread lines are bounded: a pipe waits meanwhile.
    int waits_on() const override {
        return taking_ && (asked() || !input_.full(MOST_UNREAD)) ? input_.fd() : -1;
    }
    void readable(FeedRound& round) override {
        input_.read_some();
        round.screen().typed(input_.partial());
        if (input_.ended()) {
            taking_ = false;
            taken_back(round);
        }
    }
    // A board whose MAC was scanned at its kept prompt is a new board once
    // the store took that MAC, and only then.
    void claimed(FeedRound& round, const Planned& plan) override {
        state_ = State::choosing;
        asking_.reset();
        std::string kept = kept_on(plan.fixture.name);
        if (!kept.empty() && plan.retry_of.empty()) {
            last_.erase(plan.fixture.name);
            tell_kept(round, plan.fixture.name, "", new_board_said(plan.fixture.name, kept));
        }
    }
    void not_claimed(FeedRound& round, const Planned& plan, const Recorder::Answer& a) override {
        state_ = asking_ ? State::asking : State::choosing;
        if (a.result == Recorder::Answer::Result::store_lost) {
            round.tell(round_event::Notice{plan.fixture.name + " not started: " + a.why +
                                           "; no new board starts"});
            round.not_started();
            taking_ = false;
            forget_asked();
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
    // out of service; one whose board did not pass can retry it, and one
    // whose board keeps its MAC must.
    void board_ended(FeedRound& round, const Board& board) override {
        const Record& r = board.record;
        r.outcome == Outcome::passed ? void(last_.erase(board.fixture.name))
                                     : void(last_[board.fixture.name] = r);
        if (r.outcome == Outcome::passed && file_.label.verify) {
            awaiting_.insert(board.fixture.name); // until its label is scanned
        }
        if (r.outcome != Outcome::passed && r.mac_kept) {
            tell_kept(round, board.fixture.name, r.mac);
        }
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
        return state_ != State::claiming && (!taking_ || input_.ended());
    }
    // With read-back, the label is asked for once printed; one printed
    // again at the fixture is asked for first.
    void label_printed(FeedRound&, const Board& board) override {
        bool asked_already =
            std::find(to_verify_.begin(), to_verify_.end(), &board) != to_verify_.end();
        bool read_back =
            board.label == LabelState::verified || board.label == LabelState::unverified;
        if (!file_.label.verify || awaiting_.count(board.fixture.name) == 0 || read_back ||
            asked_already) {
            reprinting_.erase(board.record.id);
            return;
        }
        if (reprinting_.erase(board.record.id) == 0) {
            to_verify_.push_back(&board);
        }
    }

  private:
    // A fixture's state, from what the feed keeps of it, first that holds:
    //   running         a board of the round runs on it: not asked
    //   awaiting_label  its board passed and its label is to be read back:
    //                   not asked until it is, or its board is set aside
    //   out_of_service  `out_` (its port went, or three failed opens): asked
    //                   again once its port is back, or by its label
    //   asked           `asking_`: the question on the screen is its MAC
    //   kept            its last board keeps its MAC: asked, and starts only
    //                   by r, that MAC, n, or another MAC the store takes
    //   idle            asked in the file's order
    enum class FixtureState { running, awaiting_label, out_of_service, asked, kept, idle };
    FixtureState state_of(const FeedRound& round, const std::string& fixture) const {
        return running_on(round, fixture)            ? FixtureState::running
               : awaiting_.count(fixture) != 0       ? FixtureState::awaiting_label
               : out_.count(fixture) != 0            ? FixtureState::out_of_service
               : asking_ && asking_->name == fixture ? FixtureState::asked
               : !kept_on(fixture).empty()           ? FixtureState::kept
                                                     : FixtureState::idle;
    }

    enum class State {
        choosing,  // the next idle fixture is looked for at the next offer
        asking,    // a MAC for `asking_`
        label,     // no fixture to ask: a fixture's label
        claiming,  // the MAC scanned is with the store
        verifying, // the scan of the first board's label in `to_verify_`
    };

    bool asked() const {
        return (state_ == State::asking || state_ == State::label || state_ == State::verifying) &&
               taking_;
    }
    // The next line to take: any that waits when asked, or typed by a
    // person (taken only if it answers what is shown: see `answers`); from
    // a pipe, a `q` that comes next.
    std::optional<std::string> next_line() {
        if (asked() || (taking_ && (input_.typed_live() || input_.next_is("q")))) {
            return input_.line();
        }
        return std::nullopt;
    }
    // The question on the screen, and the one lines are marked with.
    void show(FeedRound& round, const std::string& question) {
        round.screen().prompt(question);
        shown_ = question;
        input_.question(question);
    }
    void taken_back(FeedRound& round) {
        round.screen().answered();
        shown_.clear();
        input_.question("");
    }
    // Whether a line answers the question `asked` now: one typed for
    // another question (a board ended under it, a label was printed) or
    // while none was shown is not taken, unless it means the same at any
    // question: the scan of a label that waits to be read back.
    bool answers(const std::string& asked, const std::string& line) const {
        return !input_.typed_live() || (!asked.empty() && input_.typed_for() == asked) ||
               label_waiting(line) != nullptr;
    }
    std::string not_taken(const std::string& line) const {
        std::string what = line.empty() ? "an Enter" : "\"" + line + "\"";
        return "not taken: " + what + " was typed " +
               (input_.typed_for().empty() ? "while nothing was asked"
                                           : "for another question (" + input_.typed_for() + ")");
    }
    // The board whose printed label waits to be read back with this MAC.
    const Board* label_waiting(const std::string& line) const {
        std::string mac = line.empty() ? "" : checked_mac(line);
        for (const Board* b : to_verify_) {
            if (!mac.empty() && b->record.mac == mac) {
                return b;
            }
        }
        return nullptr;
    }
    // The labels of the round's passed boards not printed yet, and (with
    // read-back) not read back nor set aside: "1 label not printed, ...".
    std::string labels_left(const std::list<Board>& boards) const {
        long long unprinted = 0, unverified = 0;
        for (const Board& b : boards) {
            if (!file_.label.on() || b.running || b.record.outcome != Outcome::passed) {
                continue;
            }
            if (b.label == LabelState::none || b.label == LabelState::not_printed) {
                ++unprinted;
            } else if (file_.label.verify && label_to_read_back(b.label)) {
                ++unverified;
            }
        }
        std::string left = unprinted == 0 ? "" : counted(unprinted, "label") + " not printed";
        if (unverified > 0) {
            left += (left.empty() ? "" : ", ") + counted(unverified, "label") + " not verified";
        }
        return left;
    }
    // "q": no more is asked; the boards running end, and the round says
    // what is left of them and of the labels.
    void end_input(FeedRound& round) {
        taking_ = false;
        long long running = std::count_if(round.boards().begin(), round.boards().end(),
                                          [](const Board& b) { return b.running; });
        std::string left = running == 0 ? "" : counted(running, "board") + " still running";
        std::string labels = labels_left(round.boards());
        if (!labels.empty()) {
            left += (left.empty() ? "" : "; ") + labels;
        }
        round.tell(round_event::Notice{left.empty() ? "ending" : "ending: " + left});
    }
    std::string verify_prompt() const {
        const Board& b = *to_verify_.front();
        return "label of " + b.fixture.name + " (" + b.record.mac +
               "): scan it (p prints it again, - sets the board aside): ";
    }
    // A label verified, or its board set aside: asked for no more.
    void label_checked(FeedRound& round, const Board& b, bool verified) {
        round.label_checked(b, verified ? LabelState::verified : LabelState::unverified,
                            verified ? "" : "set aside at the fixture (-)");
        awaiting_.erase(b.fixture.name);
        reprinting_.erase(b.record.id);
        to_verify_.erase(std::find(to_verify_.begin(), to_verify_.end(), &b));
        if (state_ == State::verifying) {
            state_ = State::choosing;
        } else {
            show(round, question_now());
        }
    }
    // The question the state asks, if any.
    std::string question_now() const {
        return state_ == State::verifying           ? verify_prompt()
               : state_ == State::label             ? LABEL_PROMPT
               : state_ == State::asking && asking_ ? prompt_for(asking_->name)
                                                    : "";
    }
    void ask(FeedRound& round, const Fixture& f) {
        asking_ = f;
        state_ = State::asking;
        show(round, prompt_for(f.name));
    }
    // The MAC a fixture's board keeps, if it does.
    std::string kept_on(const std::string& fixture) const {
        auto last = last_.find(fixture);
        return last != last_.end() && last->second.mac_kept ? last->second.mac : "";
    }
    std::string prompt_for(const std::string& fixture) const {
        return mac_prompt(fixture, kept_on(fixture));
    }
    static void tell_kept(FeedRound& round, const std::string& fixture, const std::string& mac,
                          const std::string& why = "") {
        round.tell(round_event::Kept{fixture, mac, why});
    }
    // The fixture asked is not asked any more (a claim on its way stays so).
    void forget_asked() {
        asking_.reset();
        if (state_ == State::asking) {
            state_ = State::choosing;
        }
    }
    // The next fixture in the file's order that is neither running nor out
    // of service (one whose port went is taken out on the way); when none
    // is, and one is out of service, its label is asked for.
    void ask_next(FeedRound& round) {
        // A label printed again is asked for before the others, once it is.
        if (!to_verify_.empty() && reprinting_.count(to_verify_.front()->record.id) == 0) {
            state_ = State::verifying;
            show(round, verify_prompt());
            return;
        }
        for (size_t k = 0; k < fixtures_.size(); ++k) {
            const Fixture& f = fixtures_[(next_ + k) % fixtures_.size()];
            FixtureState state = state_of(round, f.name);
            if (state == FixtureState::running || state == FixtureState::awaiting_label ||
                state == FixtureState::out_of_service) {
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
        if (none_to_ask && state_ != State::label) {
            show(round, LABEL_PROMPT);
        }
        state_ = none_to_ask ? State::label : State::choosing;
    }
    // `board_left`: a board was scanned for it, and is left unprogrammed.
    void take_out(FeedRound& round, const Fixture& f, const std::string& why,
                  const std::string& brief, bool port_missing, bool board_left = false) {
        out_[f.name] = port_missing;
        if (board_left) {
            round.not_started();
        }
        round.tell(round_event::OutOfService{f.name, why, brief});
        if (asking_ && asking_->name == f.name) {
            forget_asked();
        }
    }
    void take_out_for_port(FeedRound& round, const Fixture& f, bool board_left) {
        take_out(round, f, "port " + f.port + " is missing", "port missing", true, board_left);
    }
    void put_back(FeedRound& round, const Fixture& f) {
        if (out_.erase(f.name) != 0) {
            round.tell(round_event::BackInService{f.name});
        }
    }
    // Every second: a fixture out of service for its port is back with it.
    void look_at_ports(FeedRound& round) {
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
    static bool any_running(const FeedRound& round) {
        return std::any_of(round.boards().begin(), round.boards().end(),
                           [](const Board& b) { return b.running; });
    }
    static bool running_on(const FeedRound& round, const std::string& fixture) {
        return std::any_of(round.boards().begin(), round.boards().end(),
                           [&](const Board& b) { return b.running && b.fixture.name == fixture; });
    }
    // Said, and the question asked again: a refusal never changes it.
    void refuse(FeedRound& round, const std::string& why) {
        round.tell(round_event::Notice{why, true});
        std::string question = question_now();
        if (!question.empty()) {
            show(round, question);
        }
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
    // What a line is, at the question shown: a label's (`label`), or a
    // fixture's MAC (`mac`, also when no fixture is asked).
    enum class Question { label, mac, any };
    enum class Typed {
        print,         // "p"
        empty,         // an Enter alone
        dash,          // "-"
        waiting_label, // the MAC of a label that waits to be read back
        fixture_label, // a fixture's label, alone or before what is for it ("r A3": A3's r)
        retry,         // "r", or the MAC the asked fixture's board keeps
        new_board,     // "n" where the asked fixture's board keeps its MAC
        skip,          // "-", or an Enter without a pool
        pool,          // an Enter: the pool's next MAC
        mac,           // another MAC
        other,         // none of these (at a MAC's question: refused, with why)
    };
    struct Scan {
        std::string line;
        Typed typed = Typed::other;
        const Board* waiting = nullptr;   // of a waiting label
        const Fixture* fixture = nullptr; // of a fixture's label
        std::string rest;                 // what follows a fixture's label
        MacAnswer answer{};               // at a MAC's question
    };
    // A line taken for the question shown; `for_fixture`: what followed a
    // fixture's label, for that fixture alone.
    void take(FeedRound& round, const std::string& line, bool for_fixture = false) {
        // The dialogue: what a line does at the question shown, by the
        // first row that matches.
        struct Rule {
            Question at;
            Typed typed;
            void (ScanFeed::*does)(FeedRound&, const Scan&);
        };
        static const Rule DIALOGUE[] = {
            // p prints the label again; it is asked for first once printed
            {Question::label, Typed::print, &ScanFeed::print_again},
            // an Enter alone is no scan: refused, nothing recorded
            {Question::label, Typed::empty, &ScanFeed::no_scan},
            // - sets the board aside, its label unverified
            {Question::label, Typed::dash, &ScanFeed::set_aside},
            // a waiting label's scan verifies it at any question, which stays
            {Question::any, Typed::waiting_label, &ScanFeed::verify},
            // anything else at a label's question: read back wrong, recorded
            {Question::label, Typed::other, &ScanFeed::mismatch},
            // a fixture's label asks that fixture (alone, the one asked: skips it)
            {Question::mac, Typed::fixture_label, &ScanFeed::aim},
            // a kept board starts only by r or its MAC, by n or another MAC
            {Question::mac, Typed::retry, &ScanFeed::retry_asked},
            {Question::mac, Typed::new_board, &ScanFeed::new_board},
            {Question::mac, Typed::skip, &ScanFeed::start},
            {Question::mac, Typed::pool, &ScanFeed::start},
            {Question::mac, Typed::mac, &ScanFeed::start},
            // a refusal never changes the question
            {Question::mac, Typed::other, &ScanFeed::refuse_scan},
        };
        Question at = state_ == State::verifying ? Question::label : Question::mac;
        Scan scan = scanned(line, at, for_fixture);
        for (const Rule& rule : DIALOGUE) {
            if ((rule.at == at || rule.at == Question::any) && rule.typed == scan.typed) {
                return (this->*rule.does)(round, scan);
            }
        }
    }
    Scan scanned(const std::string& line, Question at, bool for_fixture) const {
        Scan scan;
        scan.line = line;
        scan.waiting = for_fixture ? nullptr : label_waiting(line);
        if (scan.waiting != nullptr) {
            scan.typed = Typed::waiting_label;
        } else if (at == Question::label) {
            scan.typed = line == "p"    ? Typed::print
                         : line.empty() ? Typed::empty
                         : line == "-"  ? Typed::dash
                                        : Typed::other;
        } else if (!for_fixture && fixture_labelled(scan)) {
            scan.typed = Typed::fixture_label;
        } else {
            scan.answer = mac_answer(asking_ ? asking_->name : std::string("no fixture"), line,
                                     asking_ ? kept_on(asking_->name) : "", file_.mac.has_pool());
            typedef MacAnswer::Means Means;
            static const std::map<Means, Typed> typed = {
                {Means::retry, Typed::retry}, {Means::new_board, Typed::new_board},
                {Means::skip, Typed::skip},   {Means::pool, Typed::pool},
                {Means::mac, Typed::mac},     {Means::refused, Typed::other}};
            scan.typed = typed.at(scan.answer.means);
        }
        return scan;
    }
    // Whether the line begins with a fixture's label ("r A3": A3's "r").
    bool fixture_labelled(Scan& scan) const {
        std::string line = scan.line;
        if (line.rfind("r ", 0) == 0 && labelled(line.substr(line.find_first_not_of(' ', 1)))) {
            line = line.substr(line.find_first_not_of(' ', 1)) + " r";
        }
        size_t space = line.find(' ');
        scan.fixture = labelled(line.substr(0, space));
        scan.rest = space == std::string::npos ? "" : line.substr(space + 1);
        scan.rest.erase(0, scan.rest.find_first_not_of(' '));
        return scan.fixture != nullptr;
    }

    // At a label's question.
    void print_again(FeedRound& round, const Scan&) {
        const Board& b = *to_verify_.front();
        round.print_label_again(b);
        reprinting_.insert(b.record.id);
        state_ = State::choosing;
    }
    void no_scan(FeedRound& round, const Scan&) {
        refuse(round, "refused: an Enter alone is no scan: scan " +
                          to_verify_.front()->fixture.name +
                          "'s label, p prints it again, - sets the board aside");
    }
    void set_aside(FeedRound& round, const Scan&) {
        label_checked(round, *to_verify_.front(), false);
    }
    void verify(FeedRound& round, const Scan& scan) {
        label_checked(round, *scan.waiting, true);
    }
    void mismatch(FeedRound& round, const Scan& scan) {
        round.label_checked(*to_verify_.front(), LabelState::mismatch, scan.line);
        show(round, verify_prompt());
    }

    // At a MAC's question: a fixture's label asks it, and what follows is
    // for it; running, or its label to be read back, it is refused.
    void aim(FeedRound& round, const Scan& scan) {
        const Fixture& f = *scan.fixture;
        if (scan.rest.empty() && asking_ && asking_->name == f.name) {
            round.tell(round_event::Notice{f.name + " skipped (its label)"});
            return forget_asked(); // skipped for this board
        }
        FixtureState state = state_of(round, f.name);
        if (state == FixtureState::running) {
            return refuse(round, "refused: " + f.name + " is running a board");
        }
        if (state == FixtureState::awaiting_label) {
            return refuse(round,
                          "refused: " + f.name + " waits for its board's label to be scanned");
        }
        // Its label brings it back, unless its port is still missing (the
        // scan is then refused for that).
        auto out = out_.find(f.name);
        if (out != out_.end() && !(out->second && device_of(f).empty())) {
            put_back(round, f);
        }
        ask(round, f);
        if (!scan.rest.empty()) {
            take(round, scan.rest, true);
        }
    }
    // "n" makes the board a new one at once; a MAC scanned for it does
    // once the store takes it (claimed): refused, the board stays kept.
    void new_board(FeedRound& round, const Scan&) {
        std::string kept = kept_on(asking_->name);
        last_.erase(asking_->name);
        tell_kept(round, asking_->name, "", new_board_said(asking_->name, kept));
        ask(round, *asking_);
    }
    void retry_asked(FeedRound& round, const Scan&) {
        retry(round);
    }
    void refuse_scan(FeedRound& round, const Scan& scan) {
        refuse(round, scan.answer.why);
    }
    // A board on the fixture asked: the pool's next MAC or the one scanned,
    // or none ("-", or an Enter without a pool: the fixture is skipped).
    void start(FeedRound& round, const Scan& scan) {
        bool skip = scan.typed == Typed::skip;
        const std::string& mac = scan.answer.mac;
        std::string why;
        if (!asking_) {
            why = scan.typed == Typed::mac
                      ? "refused: no fixture is free: scan a fixture's label first"
                      : "no fixture is asked";
        }
        if (why.empty() && skip) {
            round.tell(round_event::Notice{asking_->name + (scan.line == "-"
                                                                ? " skipped (-)"
                                                                : " skipped (no MAC, no pool)")});
            return forget_asked(); // the next idle fixture is asked
        }
        auto twin = std::find_if(round.boards().begin(), round.boards().end(),
                                 [&](const Board& b) { return b.running && b.record.mac == mac; });
        if (why.empty() && twin != round.boards().end()) {
            why = "refused: MAC " + mac + " is running on " + twin->fixture.name;
        }
        std::string device = asking_ ? device_of(*asking_) : "";
        if (why.empty() && device.empty()) {
            refuse(round, "refused: port " + asking_->port + " is missing");
            return take_out_for_port(round, *asking_, true);
        }
        if (!why.empty()) {
            return refuse(round, why);
        }
        claim(round, Planned{*asking_, mac, rework_}, device);
    }
    // While the store answers, nothing is asked: what is typed meanwhile
    // was typed for no question.
    void claim(FeedRound& round, const Planned& plan, const std::string& device) {
        round.claim(plan, device);
        state_ = State::claiming;
        taken_back(round);
    }

    // The fixture asked programs its last board again, with its MAC.
    void retry(FeedRound& round) {
        auto last = asking_ ? last_.find(asking_->name) : last_.end();
        if (last == last_.end()) {
            return refuse(round, "refused: " + (asking_ ? asking_->name + " has no board to retry"
                                                        : std::string("no fixture is asked")));
        }
        std::string device = device_of(*asking_);
        if (device.empty()) {
            refuse(round, "refused: port " + asking_->port + " is missing");
            return take_out_for_port(round, *asking_, true);
        }
        const Record& r = last->second;
        claim(round, Planned{*asking_, r.mac, rework_, r.id, r.lot, out_of_step(r)}, device);
    }

    const StationFile& file_;
    const std::vector<Fixture>& fixtures_;
    bool rework_;
    Input& input_;
    std::map<std::string, Record> last_; // a fixture's last board, when it did not pass
    bool greeted_ = false;               // the kept boards are told at the first offer
    State state_ = State::choosing;
    std::optional<Fixture> asking_;   // the fixture whose MAC is asked for, or claimed
    bool taking_ = true;              // input is taken (until its end, q, Ctrl+C or a lost store)
    size_t next_ = 0;                 // where the search for an idle fixture starts
    std::map<std::string, bool> out_; // out of service; true: for its port
    std::map<std::string, int> open_failures_; // in a row, by fixture
    Clock::time_point ports_seen_;
    // With read-back: the fixtures whose label is yet to be scanned, and
    // the boards whose printed label is to be asked for, in that order.
    std::set<std::string> awaiting_;
    std::deque<const Board*> to_verify_;
    std::set<std::string> reprinting_; // records whose label is printed again (p)
    std::string shown_;                // the question on the screen; empty: none
};

} // namespace

std::vector<Fixture> chosen_fixtures(const StationFile& file, const std::string& list) {
    if (list.empty()) {
        return file.fixtures;
    }
    std::vector<Fixture> chosen;
    std::set<std::string> named;
    std::stringstream names(list);
    std::string name;
    while (std::getline(names, name, ',')) {
        auto it = std::find_if(file.fixtures.begin(), file.fixtures.end(),
                               [&](const Fixture& f) { return f.name == name; });
        if (it == file.fixtures.end()) {
            throw StationError{"unknown fixture \"" + name + "\" (not in " + file.path + ")"};
        }
        if (!named.insert(name).second) {
            throw StationError{"--fixtures names " + name + " twice: one board, one fixture"};
        }
        chosen.push_back(*it);
    }
    return chosen;
}

std::vector<Planned> planned_boards(const StationFile& file, const std::vector<Fixture>& fixtures,
                                    const std::vector<std::string>& given, bool rework,
                                    Store& store, std::ostream& out,
                                    std::vector<Skipped>& skipped) {
    std::map<std::string, std::string> macs = given_macs(file, given);
    std::map<std::string, Record> kept;
    if (macs.size() < fixtures.size()) {
        for (Record& r : store.kept_boards(file.station)) {
            kept[r.fixture] = std::move(r);
        }
    }
    std::vector<Planned> planned;
    std::unique_ptr<Screen> screen = prompt_screen(out);
    for (const Fixture& fixture : fixtures) {
        auto mac = macs.find(fixture.name);
        auto keeps = kept.find(fixture.name);
        Asked board = mac != macs.end()
                          ? Asked{Asked::Is::board, Planned{fixture, mac->second, rework}}
                          : ask_board(fixture, keeps != kept.end() ? &keeps->second : nullptr,
                                      planned, store, rework, file.mac.has_pool(), *screen);
        if (board.is == Asked::Is::left_kept) {
            skipped.push_back({fixture.name, "its board keeps MAC " + keeps->second.mac +
                                                 " (station retry --mac " + keeps->second.mac +
                                                 " programs it)"});
        } else if (board.is == Asked::Is::skipped) {
            skipped.push_back({fixture.name, ""}); // the operator skipped it
        } else {
            planned.push_back(board.plan); // no MAC: the pool's next
        }
    }
    for (size_t i = 0; i < planned.size(); ++i) {
        for (size_t j = i + 1; j < planned.size(); ++j) {
            if (!planned[i].mac.empty() && planned[i].mac == planned[j].mac) {
                throw StationError{"MAC " + planned[i].mac + " given for " +
                                   planned[i].fixture.name + " and " + planned[j].fixture.name};
            }
        }
    }
    return planned;
}

std::unique_ptr<Feed> planned_feed(const std::vector<Planned>& planned) {
    return std::make_unique<PlannedFeed>(planned);
}

std::unique_ptr<Feed> scan_feed(const StationFile& file, const std::vector<Fixture>& fixtures,
                                bool rework, Input& input, const std::vector<Record>& kept) {
    return std::make_unique<ScanFeed>(file, fixtures, rework, input, kept);
}

Asked ask_board(const Fixture& fixture, const Record* kept, const std::vector<Planned>& planned,
                Store& store, bool rework, bool pool, Screen& screen) {
    auto say = [&screen](const std::string& line) { screen.take(round_event::Notice{line}); };
    for (;;) {
        screen.prompt(mac_prompt(fixture.name, kept ? kept->mac : ""));
        std::string line;
        if (!std::getline(std::cin, line)) {
            say(""); // the prompt's line ended
            return kept ? Asked{Asked::Is::left_kept, {}}
                        : Asked{pool ? Asked::Is::board : Asked::Is::skipped,
                                Planned{fixture, "", rework}};
        }
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) {
            line.pop_back();
        }
        MacAnswer answer = mac_answer(fixture.name, line, kept ? kept->mac : "", pool);
        typedef MacAnswer::Means Means;
        switch (answer.means) {
        case Means::retry:
            if (kept == nullptr) {
                say("refused: " + fixture.name + " has no board to retry");
                continue;
            }
            return {Asked::Is::board, Planned{fixture, kept->mac, rework, kept->id, kept->lot}};
        case Means::refused:
            say(answer.why);
            continue;
        case Means::new_board:
            say(new_board_said(fixture.name, kept->mac));
            kept = nullptr;
            continue;
        case Means::skip:
            return {Asked::Is::skipped, Planned{fixture, "", rework}};
        case Means::pool:
            return {Asked::Is::board, Planned{fixture, "", rework}};
        case Means::mac:
            break;
        }
        auto given = std::find_if(planned.begin(), planned.end(),
                                  [&](const Planned& p) { return p.mac == answer.mac; });
        std::string why = given != planned.end() ? "MAC " + answer.mac + " is given for " +
                                                       given->fixture.name + " already"
                                                 : store.refusal(answer.mac, rework);
        if (why.empty()) {
            if (kept != nullptr) {
                say(new_board_said(fixture.name, kept->mac));
            }
            return {Asked::Is::board, Planned{fixture, answer.mac, rework}};
        }
        say("refused: " + why);
    }
}
