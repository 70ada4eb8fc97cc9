// The screens: JSON events, plain lines, a terminal's lines redrawn in
// place, and continuous mode's lines under a prompt.
#include "station/line/screen.h"

#include "station/base/base.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <deque>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100); // at most 10 a second
constexpr size_t BAR_WIDTH = 20;
constexpr size_t OUTCOME_ROOM = 32; // kept for an outcome before a bar is

// A board's time so far, without the time the station was stopped; a
// finished board's stands at its end.
double seconds_of(const Board& board) {
    Clock::time_point end = board.running ? Clock::now() : board.ended;
    Clock::duration stopped =
        (board.running ? time_stopped() : board.stopped_at_end) - board.stopped_at_start;
    return std::chrono::duration<double>(end - board.started - stopped).count();
}

int percent(const Board& board) {
    return board.progress.percent(board.record.outcome == Outcome::passed);
}

// A progress bar of `width` columns ("####......").
std::string bar(int percent, size_t width) {
    std::string full(static_cast<size_t>(percent) * width / 100, '#');
    full.resize(width, '.');
    return full;
}

// The rows that lines of these lengths took on a terminal of `columns`:
// after a resize to fewer columns it may have wrapped what was drawn.
size_t rows_taken(const std::vector<size_t>& lengths, size_t columns) {
    size_t rows = 0;
    for (size_t length : lengths) {
        rows += std::max<size_t>(1, (length + columns - 1) / columns);
    }
    return rows;
}

// `text` in rows of at most `width` columns, broken at spaces (a word
// wider than a row is cut), the rows after the first indented.
std::vector<std::string> wrapped(const std::string& text, size_t width) {
    std::vector<std::string> rows;
    std::string rest = text;
    while (rest.size() > width && width > 4) {
        size_t cut = rest.rfind(' ', width);
        cut = cut == std::string::npos || cut < width / 2 ? width : cut;
        rows.push_back(rest.substr(0, cut));
        rest = "  " + rest.substr(rest.find_first_not_of(' ', cut) == std::string::npos
                                      ? rest.size()
                                      : rest.find_first_not_of(' ', cut));
    }
    rows.push_back(rest.substr(0, width));
    return rows;
}

// The terminal's width (80 when it does not say).
size_t terminal_width() {
    return terminal_size().value_or(TerminalSize{80, 24}).columns;
}

// A line cut to the terminal's width, so that it never wraps; whole when
// standard output is no terminal.
std::string fitted(const std::string& line) {
    return isatty(1) ? line.substr(0, terminal_width() - 1) : line;
}

// How many boards ended each way, by the outcome's name.
std::map<std::string, int> outcome_counts(const std::list<Board>& boards) {
    std::map<std::string, int> counts;
    for (const Board& b : boards) {
        counts[text_of(b.record.outcome)] += 1;
    }
    return counts;
}

std::vector<const Record*> retry_boards(const std::list<Board>& boards) {
    std::vector<const Record*> round;
    for (const Board& b : boards) {
        round.push_back(&b.record);
    }
    return boards_to_retry(round);
}

// The fixtures `station retry` would run: "A1,A3".
std::string retry_list(const std::list<Board>& boards) {
    std::string retry;
    for (const Record* r : retry_boards(boards)) {
        retry += (retry.empty() ? "" : ",") + r->fixture;
    }
    return retry;
}

std::string outcome_text(const Board& board) {
    if (board.running) {
        return board.stopping ? "stopping" : "running";
    }
    return visible(outcome_said(board.record), true) +
           (board.unwritten ? "; record not written yet" : "") +
           (board.label == LabelState::not_printed ? "; label not printed" : "");
}

// "11 frames, 3.2 s".
std::string frames_and_time(const Board& b) {
    char took[64];
    std::snprintf(took, sizeof(took), "%lld frames, %.1f s", b.record.frames, seconds_of(b));
    return took;
}

// How a board ended, as a line after its fixture and MAC says it: "PASS 11
// frames, 3.2 s", "FAIL failed in board data: CRC Error (4 frames, 1.2 s)".
std::string ended_text(const Board& b) {
    bool passed = b.record.outcome == Outcome::passed;
    return passed ? "PASS " + frames_and_time(b)
                  : "FAIL " + outcome_text(b) + " (" + frames_and_time(b) + ")";
}

// What a shift's first line says a scan may be; the panel's, in 80 columns.
const char SCANS[] = "scan a MAC for the fixture asked, or a fixture's label and a MAC for it; "
                     "- skips the fixture asked; q ends";
const char PANEL_SCANS[] = "scan a MAC, or a fixture's label and a MAC; - skips the fixture "
                           "asked; q ends";

// What every screen for people shows the same way: skipped fixtures, the
// station's notices, the pool and the round's end, as lines.
class LineScreen : public Screen {
  public:
    void board_started(const Board& b) override {
        say(b.fixture.name + " " + b.record.mac + " started");
    }
    void said(const RoundEvent& e) override {
        std::string line = said_line(e);
        if (!line.empty()) {
            say(line);
        }
    }
    void round_ended(const std::list<Board>& boards, int skipped,
                     const std::string& round) override {
        std::string text =
            "round " + round + ": " + counted(static_cast<long long>(boards.size()), "board");
        for (const auto& [outcome, count] : outcome_counts(boards)) {
            text += ", " + std::to_string(count) + " " + outcome;
        }
        if (skipped > 0) {
            text += "; " + std::to_string(skipped) + " skipped";
        }
        std::string retry = retry_list(boards);
        // On a terminal, no line wraps: the round's id goes on a line of its
        // own when the counts and it do not fit.
        if (isatty(1) && text.size() >= terminal_width()) {
            size_t colon = text.find(": ");
            say(fitted(text.substr(0, colon)));
            text = text.substr(colon + 2);
        }
        say(fitted(text));
        say(fitted(retry.empty() ? "nothing to retry" : "station retry would run " + retry));
        // Each with its MAC: a board that keeps it is no board for another.
        for (const Record* r : retry_boards(boards)) {
            say(fitted("  " + r->fixture + " " + r->mac + " " + text_of(r->outcome) +
                       (r->mac_kept ? ", MAC kept" : "")));
        }
    }

  protected:
    // One line of the station's, whole, the texts it quotes visible.
    virtual void say(const std::string& line) {
        std::printf("%s\n", visible(line, true).c_str());
        std::fflush(stdout);
    }
};

class JsonScreen : public Screen {
  public:
    void board_started(const Board& b) override {
        emit({{"event", "started"},
              {"fixture", b.fixture.name},
              {"mac", b.record.mac},
              {"record", b.record.id},
              {"lot", b.record.lot},
              {"operator", b.record.operator_name}});
    }
    void board_finished(const Board& b) override {
        nlohmann::json r = json_of(b.record);
        emit({{"event", "finished"},
              {"fixture", b.fixture.name},
              {"mac", r["mac"]},
              {"record", r["id"]},
              {"outcome", r["outcome"]},
              {"stage", r["stage"]},
              {"message", r["message"]},
              {"frames", r["frames"]},
              {"exit_status", r["exit_status"]}});
    }
    // A line of the station's own (a refused scan, a lost store) is no skip:
    // the scan it refused is asked again.
    void said(const RoundEvent& event) override {
        using namespace round_event;
        std::visit(
            Overloaded{
                [&](const Skipped& e) {
                    emit({{"event", "skipped"}, {"fixture", e.fixture}, {"why", e.why}});
                },
                [&](const OutOfService& e) {
                    emit({{"event", "out_of_service"}, {"fixture", e.fixture}, {"why", e.why}});
                },
                [&](const BackInService& e) {
                    emit({{"event", "back_in_service"}, {"fixture", e.fixture}});
                },
                [&](const Kept& e) {
                    emit({{"event", "kept"},
                          {"fixture", e.fixture},
                          {"mac", e.mac.empty() ? nlohmann::json(nullptr) : nlohmann::json(e.mac)},
                          {"why", e.why}});
                },
                [&](const Unwritten& e) {
                    emit({{"event", e.why.empty() ? "written" : "unwritten"},
                          {"fixture", e.board->fixture.name},
                          {"mac", e.board->record.mac},
                          {"record", e.board->record.id},
                          {"why", e.why}});
                },
                [&](const Label& e) {
                    emit({{"event", "label"},
                          {"fixture", e.board->fixture.name},
                          {"mac", e.board->record.mac},
                          {"record", e.board->record.id},
                          {"state", e.said_state()},
                          {"printed", e.state == LabelState::printed},
                          {"printer", e.printer},
                          {"job", e.job},
                          {"why", e.why}});
                },
                [&](const PoolLow& e) {
                    emit({{"event", "pool"},
                          {"first", e.pool->first},
                          {"last", e.pool->last},
                          {"left", e.left},
                          {"size", e.pool->pool_size()}});
                },
                [&](const Notice& e) {
                    emit({{"event", "notice"}, {"text", e.text}});
                },
                [](const auto&) {},
            },
            event);
    }
    void round_ended(const std::list<Board>& boards, int skipped,
                     const std::string& round) override {
        emit({{"event", "round"},
              {"round", round},
              {"boards", boards.size()},
              {"skipped", skipped},
              {"outcomes", outcome_counts(boards)},
              {"retry", retry_list(boards)}});
    }

  private:
    void emit(const nlohmann::json& event) {
        std::printf("%s\n", event.dump().c_str());
        std::fflush(stdout);
    }
};

class PlainScreen : public LineScreen {
  public:
    void board_finished(const Board& b) override {
        char took[32];
        std::snprintf(took, sizeof(took), " (%.1f s)", seconds_of(b));
        say(b.fixture.name + " " + b.record.mac + " " + outcome_text(b) + ", " +
            std::to_string(b.record.frames) + " frames" + took);
    }
};

// `run --continuous` through a pipe: a line when a board starts and one when
// it ends (PASS or FAIL), kept apart from the prompt, which it puts back
// after each line.
class ContinuousScreen : public LineScreen {
  public:
    void board_finished(const Board& b) override {
        say(b.fixture.name + " " + b.record.mac + " " + ended_text(b));
    }
    void prompt(const std::string& text) override {
        greet();
        std::string shown = open_ ? "\n" : "";
        prompt_ = text;
        open_ = !text.empty();
        std::fputs((shown + prompt_).c_str(), stdout);
        std::fflush(stdout);
    }
    // A terminal would have echoed the line's end; here it is ended by us.
    void answered() override {
        if (open_) {
            std::fputs("\n", stdout);
            std::fflush(stdout);
        }
        prompt_.clear();
        open_ = false;
    }

  protected:
    // The prompt's line is ended, and shown again below the line.
    void say(const std::string& line) override {
        greet();
        std::string text = open_ ? "\n" : "";
        text += visible(line, true) + "\n" + prompt_;
        open_ = !prompt_.empty();
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

  private:
    // The first line of a shift says what a scan may be.
    void greet() {
        if (!greeted_) {
            greeted_ = true;
            std::printf("%s\n", SCANS);
        }
    }

    std::string prompt_;
    bool open_ = false; // a line of ours waits for its end
    bool greeted_ = false;
};

// `run --continuous` on a terminal: a panel at the bottom of the screen,
// redrawn in place. A fixed row per fixture (its state, MAC, progress or
// last outcome, and its boards so far), the last events under them, and
// the prompt with what is typed on the last row. No row is wider than the
// terminal; each keeps its state and MAC in sight.
class PanelScreen : public LineScreen {
  public:
    PanelScreen(const std::vector<std::string>& fixtures, bool bell) : bell_(bell) {
        const char* term = std::getenv("TERM");
        colour_ = term != nullptr && std::string(term) != "dumb";
        for (const std::string& name : fixtures) {
            rows_.emplace_back(name);
            name_width_ = std::max(name_width_, name.size());
        }
    }
    ~PanelScreen() override {
        close();
    }
    void board_started(const Board& b) override {
        Row& row = row_of(b.fixture.name);
        row.board = &b;
        row.out.clear();
        row.kept.clear(); // retried, or a new board on the fixture
        draw();
    }
    void board_progress(const Board&) override {
        draw_soon();
    }
    void board_finished(const Board& b) override {
        Row& row = row_of(b.fixture.name);
        row.board = &b;
        (b.record.outcome == Outcome::passed ? row.passed : row.failed) += 1;
        event(b.fixture.name + " " + b.record.mac + " " + ended_text(b));
    }
    // A fixture's row says whether it is out of service, and why in brief.
    void said(const RoundEvent& e) override {
        using namespace round_event;
        if (const auto* out = std::get_if<OutOfService>(&e)) {
            row_of(out->fixture).out = out->brief;
        }
        if (const auto* back = std::get_if<BackInService>(&e)) {
            row_of(back->fixture).out = "";
        }
        if (const auto* kept = std::get_if<Kept>(&e)) {
            row_of(kept->fixture).kept = kept->mac;
        }
        if (is_refusal(e) && bell_ && !closed_) {
            std::fputs("\a", stdout);
        }
        LineScreen::said(e);
    }
    // The line goes where the panel was, and the panel is drawn again below.
    void warning(const std::string& line) override {
        if (!closed_) {
            size_t width = terminal_size().value_or(TerminalSize{80, 24}).columns - 1;
            std::fputs(erasing(width).c_str(), stdout);
            std::fflush(stdout);
        }
        Screen::warning(line);
        draw();
    }
    void tick(const std::list<Board>&) override {
        draw_soon();
    }
    void prompt(const std::string& text) override {
        prompt_ = text;
        draw();
    }
    void typed(const std::string& text) override {
        typed_ = visible(text, true);
        draw();
    }
    void round_ended(const std::list<Board>& boards, int skipped,
                     const std::string& round) override {
        close();
        LineScreen::round_ended(boards, skipped, round);
    }

  protected:
    void say(const std::string& line) override {
        if (closed_) {
            LineScreen::say(fitted(line));
            return;
        }
        event(line);
    }

  private:
    struct Row {
        explicit Row(const std::string& name) : fixture(name) {}
        std::string fixture;
        const Board* board = nullptr; // its latest board
        std::string out;              // why it is out of service
        std::string kept;             // the MAC its board keeps, until a retry or a new board
        int passed = 0, failed = 0;
    };
    static constexpr size_t EVENTS = 8; // kept, at most
    static constexpr size_t STATE_WIDTH = 14;

    Row& row_of(const std::string& fixture) {
        for (Row& row : rows_) {
            if (row.fixture == fixture) {
                return row;
            }
        }
        rows_.emplace_back(fixture);
        name_width_ = std::max(name_width_, fixture.size());
        return rows_.back();
    }
    void event(const std::string& line) {
        events_.push_back(visible(line, true));
        if (events_.size() > EVENTS) {
            events_.pop_front();
        }
        draw();
    }
    void draw_soon() {
        if (Clock::now() - last_drawn_ >= REDRAW_EVERY) {
            draw();
        }
    }

    std::string state_of(const Row& row) const {
        if (row.board != nullptr && row.board->running) {
            return row.board->stopping ? "stopping" : "running";
        }
        if (!row.out.empty()) {
            return "out of service";
        }
        if (!row.kept.empty()) {
            return "kept";
        }
        if (row.board == nullptr) {
            return "idle";
        }
        const Board& b = *row.board;
        bool label_due =
            b.reads_back && b.label != LabelState::verified && b.label != LabelState::unverified;
        if (b.record.outcome == Outcome::passed && label_due) {
            return "LABEL"; // passed, its label yet to be read back (in red when it was wrong)
        }
        return b.record.outcome == Outcome::passed ? "PASS" : "FAIL";
    }
    // What follows the MAC: the progress of a running board, the outcome
    // of an ended one, why a fixture is out of service.
    std::string middle_of(const Row& row, size_t width) const {
        const Board* b = row.board;
        if (b != nullptr && b->running) {
            int p = percent(*b);
            char took[32];
            std::snprintf(took, sizeof(took), " %6.1f s", seconds_of(*b));
            std::string text = std::to_string(p) + "%";
            text.insert(0, 4 - text.size(), ' ');
            for (size_t width_of_bar : {BAR_WIDTH, size_t{10}}) {
                std::string with_bar = text + " [" + bar(p, width_of_bar) + "]" + took;
                if (with_bar.size() <= width) {
                    return with_bar;
                }
            }
            return text + took;
        }
        std::string out = row.out.empty() ? "" : row.out + (b == nullptr ? "" : "; ");
        if (b == nullptr) {
            return shortened(out + (row.kept.empty() ? "" : "r retries it, n for a new board"),
                             width);
        }
        // The state says PASS, FAIL or out of service: a failure says where
        // and why.
        const Record& r = b->record;
        if (b->unwritten) {
            return shortened(out + "record not written yet: tried again", width);
        }
        if (b->label == LabelState::not_printed) {
            return shortened(out + "label not printed: tried again", width);
        }
        if (b->label == LabelState::mismatch) {
            return shortened(out + "label read back wrong: p prints it again, - sets it aside",
                             width);
        }
        if (r.outcome == Outcome::passed && state_of(row) == "LABEL") {
            return shortened(out + "label to be read back; " + frames_and_time(*b), width);
        }
        if (r.outcome == Outcome::passed) {
            return shortened(out + (out.empty() ? frames_and_time(*b) : "passed"), width);
        }
        std::string failure = r.outcome == Outcome::failed && r.stage != Stage::none
                                  ? why_not_passed(r)
                                  : outcome_text(*b);
        // Why it is out goes before the failure does.
        return (out + failure).size() <= width ? out + failure : shortened(failure, width);
    }
    std::string row_text(const Row& row, size_t width) const {
        std::string state = state_of(row);
        std::string left = row.fixture;
        left.resize(name_width_ + 2, ' ');
        left += state + std::string(STATE_WIDTH + 2 - state.size(), ' ');
        bool running = row.board != nullptr && row.board->running;
        std::string mac = !row.kept.empty() && !running ? row.kept
                          : row.board != nullptr        ? row.board->record.mac
                                                        : "";
        mac.resize(14, ' ');
        left += mac;
        std::string counts;
        if (row.passed + row.failed > 0) {
            counts =
                "  " + std::to_string(row.passed) + " pass " + std::to_string(row.failed) + " fail";
        }
        // The counts go before the outcome's last words do.
        if (left.size() + counts.size() + 12 > width) {
            counts.clear();
        }
        size_t room = width > left.size() + counts.size() ? width - left.size() - counts.size() : 0;
        std::string middle = middle_of(row, room);
        if (!counts.empty()) {
            middle.resize(room, ' ');
        }
        std::string text = left + middle + counts;
        while (!text.empty() && text.back() == ' ') {
            text.pop_back();
        }
        return text.substr(0, width);
    }
    std::string coloured(std::string text, const Row& row) const {
        std::string state = state_of(row);
        if (!colour_ || state == "idle" || state == "running" || state == "stopping") {
            return text;
        }
        size_t at = name_width_ + 2;
        if (text.size() < at + state.size()) {
            return text;
        }
        bool wrong_label = state == "LABEL" && row.board->label == LabelState::mismatch;
        const char* on = state == "PASS"                  ? "\x1b[1;32m"
                         : state == "FAIL" || wrong_label ? "\x1b[1;31m"
                                                          : "\x1b[1;33m";
        return text.insert(at + state.size(), "\x1b[0m").insert(at, on);
    }

    // The panel's lines for a terminal of `rows` by `width`: what does not
    // fit goes, the events first, then the first line, then fixtures.
    std::vector<std::pair<std::string, std::string>> lines(size_t width, size_t rows,
                                                           bool with_prompt) const {
        std::vector<std::pair<std::string, std::string>> out; // shown, plain
        size_t fixtures = rows_.size();
        size_t below = with_prompt ? 1 : 0;
        bool greeting = rows >= fixtures + 1 + below;
        size_t events_room = rows > fixtures + 1 + below ? rows - fixtures - 1 - below : 0;
        if (greeting) {
            std::string g = shortened(PANEL_SCANS, width);
            out.push_back({g, g});
        }
        size_t shown_rows = std::min(fixtures, rows > below ? rows - below : 1);
        for (size_t i = 0; i < shown_rows; ++i) {
            std::string text = row_text(rows_[i], width);
            if (i + 1 == shown_rows && shown_rows < fixtures) {
                text = shortened("+" + std::to_string(fixtures - i) + " more fixtures", width);
                out.push_back({text, text});
                break;
            }
            out.push_back({coloured(text, rows_[i]), text});
        }
        // An event too long for a row takes the rows it needs, so that its
        // remedy, which comes last, is seen; the newest rows are kept.
        std::vector<std::string> event_rows;
        for (const std::string& event : events_) {
            for (const std::string& row : wrapped(event, width)) {
                event_rows.push_back(row);
            }
        }
        size_t first = event_rows.size() > events_room ? event_rows.size() - events_room : 0;
        for (size_t i = first; i < event_rows.size(); ++i) {
            out.push_back({event_rows[i], event_rows[i]});
        }
        if (with_prompt) {
            // The prompt with the end of what is typed, so the cursor shows.
            std::string text = prompt_ + typed_;
            if (text.size() > width) {
                text = prompt_.substr(0, width / 2) + "..." +
                       typed_.substr(typed_.size() - (width - width / 2 - 3));
            }
            out.push_back({text, text});
        }
        return out;
    }

    // Back to the panel's first row, everything below cleared.
    std::string erasing(size_t width) {
        size_t drawn = rows_taken(drawn_lengths_, width + 1);
        std::string text = "\r";
        if (drawn > 1) {
            text += "\x1b[" + std::to_string(drawn - 1) + "A";
        }
        drawn_lengths_.clear();
        return text + "\x1b[J";
    }

    // `last`: without the prompt, and ended, so that what follows goes
    // below the panel.
    void draw(bool last = false) {
        if (closed_) {
            return;
        }
        last_drawn_ = Clock::now();
        TerminalSize size = terminal_size().value_or(TerminalSize{80, 24});
        size_t width = size.columns - 1, rows = size.rows;
        std::string text = erasing(width);
        auto shown = lines(width, rows, !last);
        for (size_t i = 0; i < shown.size(); ++i) {
            text += shown[i].first + (i + 1 < shown.size() || last ? "\n" : "");
            drawn_lengths_.push_back(shown[i].second.size());
        }
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }
    // The last drawing; what follows goes below it.
    void close() {
        if (!closed_) {
            draw(true);
            closed_ = true;
        }
    }

    bool colour_ = false;
    bool bell_;
    std::vector<Row> rows_;
    size_t name_width_ = 2;
    std::deque<std::string> events_;
    std::string prompt_, typed_;
    std::vector<size_t> drawn_lengths_;
    Clock::time_point last_drawn_;
    bool closed_ = false;
};

class TerminalScreen : public LineScreen {
  public:
    void board_started(const Board&) override {}
    void board_finished(const Board&) override {}
    void tick(const std::list<Board>& boards) override {
        bool all_done =
            std::none_of(boards.begin(), boards.end(), [](const Board& b) { return b.running; });
        if (!all_done && Clock::now() - last_drawn_ < REDRAW_EVERY) {
            return;
        }
        last_drawn_ = Clock::now();
        size_t width = terminal_width();
        std::string text;
        // Back to the first line drawn, everything below cleared.
        size_t rows = rows_taken(drawn_lengths_, width);
        if (rows > 0) {
            text += "\r\x1b[" + std::to_string(rows) + "A\x1b[J";
        }
        drawn_lengths_.clear();
        for (const Board& b : boards) {
            name_width_ = std::max(name_width_, b.fixture.name.size());
        }
        // The widest layout in which every line fits with room for its
        // outcome (a long one is shortened, not a reason to drop the bars):
        // the bar shrinks, then goes with the stage column; what still does
        // not fit is cut, so that no line wraps.
        Layout layout = LAYOUTS[std::size(LAYOUTS) - 1];
        for (const Layout& candidate : LAYOUTS) {
            if (std::all_of(boards.begin(), boards.end(), [&](const Board& b) {
                    size_t outcome = std::min(outcome_text(b).size(), OUTCOME_ROOM);
                    return line(b, candidate, false).size() + outcome < width;
                })) {
                layout = candidate;
                break;
            }
        }
        for (const Board& b : boards) {
            // Cut so that an outcome keeps its frame number.
            std::string start = line(b, layout, false);
            std::string shown = start.size() + 1 < width
                                    ? start + shortened(outcome_text(b), width - 1 - start.size())
                                    : start.substr(0, width - 1);
            text += "\r\x1b[K" + shown + "\n";
            drawn_lengths_.push_back(shown.size());
        }
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

  private:
    struct Layout {
        size_t bar; // columns of the bar, none: no bar
        bool stage; // the column of the image being programmed
    };
    // The bar outlasts the stage column.
    static constexpr Layout LAYOUTS[] = {{BAR_WIDTH, true}, {10, true}, {BAR_WIDTH, false},
                                         {10, false},       {0, true},  {0, false}};

    std::string line(const Board& b, const Layout& layout, bool outcome = true) {
        int p = percent(b);
        std::string shown_bar;
        if (layout.bar > 0) {
            shown_bar = "[" + bar(p, layout.bar) + "] ";
        }
        std::string stage;
        if (layout.stage) {
            stage = b.running ? text_of(b.progress.stage) : "";
            stage.resize(10, ' ');
            stage += " ";
        }
        std::string name = b.fixture.name;
        name.resize(std::max(name.size(), name_width_), ' ');
        char text[200];
        std::snprintf(text, sizeof(text), " %s %s%3d%% %s%6.1f s  ", b.record.mac.c_str(),
                      stage.c_str(), p, shown_bar.c_str(), seconds_of(b));
        return name + text + (outcome ? outcome_text(b) : "");
    }

    std::vector<size_t> drawn_lengths_;
    Clock::time_point last_drawn_;
    size_t name_width_ = 2; // the longest fixture name's
};

} // namespace

void Screen::take(const RoundEvent& e) {
    using namespace round_event;
    if (const auto* started = std::get_if<Started>(&e)) {
        return board_started(*started->board);
    }
    if (const auto* progressed = std::get_if<Progressed>(&e)) {
        return board_progress(*progressed->board);
    }
    if (const auto* finished = std::get_if<Finished>(&e)) {
        return board_finished(*finished->board);
    }
    if (const auto* warned = std::get_if<Warning>(&e)) {
        return warning(warned->text);
    }
    if (const auto* ended = std::get_if<Ended>(&e)) {
        return round_ended(*ended->boards, ended->skipped, ended->round);
    }
    said(e);
}

namespace {

// A label printed at its first try says nothing to people (its event and
// the store have it); one the printer did not take does, and so does its
// print once the printer is back.
std::string label_line(const round_event::Label& e) {
    std::string board = e.board->fixture.name + " " + e.board->record.mac + ": label ";
    switch (e.state) {
    case LabelState::printed:
        return e.late ? board + "printed now (" + e.printer + ")" : "";
    case LabelState::verified:
        return board + "verified";
    case LabelState::mismatch:
        return "refused: " + board + "read back wrong (the scan reads \"" + e.why +
               "\"): p prints it again, - sets the board aside";
    case LabelState::unverified:
        return board + "unverified, " + e.why;
    case LabelState::none:
    case LabelState::not_printed:
        break;
    }
    if (!e.round.empty()) {
        return board + "not printed (" + e.why + "): `station label " + e.board->record.mac +
               "` prints it";
    }
    return board + "not printed (" + e.why + "); tried again every 5 s";
}

} // namespace

std::string said_line(const RoundEvent& event) {
    using namespace round_event;
    return std::visit(
        Overloaded{
            [](const Skipped& e) { return e.fixture + " skipped: " + e.why; },
            [](const OutOfService& e) { return e.fixture + " out of service: " + e.why; },
            [](const BackInService& e) { return e.fixture + " back in service"; },
            [](const Kept& e) {
                return e.mac.empty() ? e.why
                                     : e.fixture + " keeps MAC " + e.mac +
                                           ": r retries its board, n for a new one";
            },
            [](const Unwritten& e) {
                return e.board->fixture.name + " " + e.board->record.mac + ": its record " +
                       e.board->record.id +
                       (e.why.empty() ? " is written, in the spool"
                                      : " is written nowhere yet (" + e.why +
                                            "); the station keeps it and tries again");
            },
            [](const Label& e) { return label_line(e); },
            [](const PoolLow& e) {
                return "MAC pool " + e.pool->first + "-" + e.pool->last + ": " +
                       std::to_string(e.left) + " of " + std::to_string(e.pool->pool_size()) +
                       " left";
            },
            [](const Notice& e) { return e.text; },
            [](const Warning& e) { return e.text; },
            [](const auto&) { return std::string(); },
        },
        event);
}

std::unique_ptr<Screen> make_screen(bool json, bool continuous,
                                    const std::vector<std::string>& fixtures, bool quiet) {
    if (json) {
        return std::make_unique<JsonScreen>();
    }
    if (continuous && isatty(1)) {
        return std::make_unique<PanelScreen>(fixtures, !quiet);
    }
    if (continuous) {
        return std::make_unique<ContinuousScreen>();
    }
    if (isatty(1)) {
        return std::make_unique<TerminalScreen>();
    }
    return std::make_unique<PlainScreen>();
}

namespace {

class PromptScreen : public Screen {
  public:
    explicit PromptScreen(std::ostream& out) : out_(out) {}
    void prompt(const std::string& question) override {
        out_ << question << std::flush;
    }

  protected:
    void board_started(const Board&) override {}
    void board_finished(const Board&) override {}
    void said(const RoundEvent& e) override {
        out_ << said_line(e) << "\n";
    }
    void round_ended(const std::list<Board>&, int, const std::string&) override {}

  private:
    std::ostream& out_;
};

} // namespace

std::unique_ptr<Screen> prompt_screen(std::ostream& out) {
    return std::make_unique<PromptScreen>(out);
}

std::optional<TerminalSize> terminal_size() {
    winsize size{};
    if (!isatty(1) || ioctl(1, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) {
        return std::nullopt;
    }
    return TerminalSize{size.ws_col, size.ws_row};
}

std::string shortened(const std::string& text, size_t width) {
    const std::string dots = "...";
    if (text.size() <= width) {
        return text;
    }
    if (width <= dots.size()) {
        return text.substr(0, width);
    }
    // A frame number at the end is the last thing to go.
    std::string tail;
    size_t frame = text.rfind("frame ");
    if (frame != std::string::npos && frame + 6 < text.size() &&
        text.find_first_not_of("0123456789", frame + 6) == std::string::npos &&
        text.size() - frame + 1 + dots.size() < width) {
        tail = " " + text.substr(frame);
    }
    size_t room = width - tail.size() - dots.size();
    std::string head = text.substr(0, room);
    // At a word: a head that ends inside one loses it.
    size_t space = head.rfind(' ');
    if (text[room] != ' ' && space != std::string::npos && space > room / 2) {
        head.erase(space);
    }
    while (!head.empty() && (head.back() == ' ' || head.back() == ':' || head.back() == ',')) {
        head.pop_back();
    }
    return head + dots + tail;
}
