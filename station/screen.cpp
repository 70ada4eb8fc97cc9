// The screens: JSON events, plain lines, a terminal's lines redrawn in
// place, and continuous mode's lines under a prompt.
#include "station/screen.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100); // at most 10 a second
constexpr size_t BAR_WIDTH = 20;

// A board's time so far; a finished board's stands at its end.
double seconds_of(const Board& board) {
    Clock::time_point end = board.running ? Clock::now() : board.ended;
    return std::chrono::duration<double>(end - board.started).count();
}

// The share of a run's frames acknowledged, as the record counts them.
int percent(const Board& board, long data_frames) {
    if (board.record.outcome == Outcome::passed) {
        return 100;
    }
    long frames = board.running ? frames_so_far(board.record.transcript, board.dots.dots())
                                : board.record.frames;
    return static_cast<int>(std::min(99L, frames * 100 / (data_frames + 1)));
}

// "1 board", "2 boards".
std::string boards_text(size_t count) {
    return std::to_string(count) + (count == 1 ? " board" : " boards");
}

// The terminal's width, asked again at every redraw (so also after SIGWINCH).
size_t terminal_width() {
    winsize size{};
    return ioctl(1, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
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

// The fixtures `station retry` would run: "A1,A3".
std::string retry_list(const std::list<Board>& boards) {
    std::vector<const Record*> round;
    for (const Board& b : boards) {
        round.push_back(&b.record);
    }
    std::string retry;
    for (const Record* r : boards_to_retry(round)) {
        retry += (retry.empty() ? "" : ",") + r->fixture;
    }
    return retry;
}

std::string outcome_text(const Board& board) {
    const Record& r = board.record;
    if (board.running) {
        return board.stopping ? "stopping" : "running";
    }
    if (r.outcome == Outcome::passed || r.message.empty()) {
        return text_of(r.outcome);
    }
    return std::string(text_of(r.outcome)) + " in " + text_of(r.stage) + ": " + r.message;
}

// What every screen for people shows the same way: skipped fixtures, the
// station's notices, the pool and the round's end, as lines.
class LineScreen : public Screen {
  public:
    void skipped(const std::string& fixture, const std::string& why) override {
        say(fixture + " skipped: " + why);
    }
    void notice(const std::string& line) override {
        say(line);
    }
    void pool_low(const MacPlan& pool, unsigned long long left) override {
        say("MAC pool " + pool.first + "-" + pool.last + ": " + std::to_string(left) + " of " +
            std::to_string(pool.pool_size()) + " left");
    }
    void round_ended(const std::list<Board>& boards, int skipped,
                     const std::string& round) override {
        std::string text = "round " + round + ": " + boards_text(boards.size());
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
    }

  protected:
    // One line of the station's, whole.
    virtual void say(const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
};

class JsonScreen : public Screen {
  public:
    void board_started(const Board& b) override {
        emit({{"event", "started"},
              {"fixture", b.fixture.name},
              {"mac", b.record.mac},
              {"record", b.record.id}});
    }
    void board_finished(const Board& b) override {
        const Record& r = b.record;
        emit({{"event", "finished"},
              {"fixture", b.fixture.name},
              {"mac", r.mac},
              {"record", r.id},
              {"outcome", text_of(r.outcome)},
              {"stage", text_of(r.stage)},
              {"message", r.message},
              {"frames", r.frames},
              {"exit_status", r.exit_status.empty() ? nlohmann::json(nullptr)
                                                    : nlohmann::json(std::stoi(r.exit_status))}});
    }
    void skipped(const std::string& fixture, const std::string& why) override {
        emit({{"event", "skipped"}, {"fixture", fixture}, {"why", why}});
    }
    // A notice is a skip of no fixture: the scan it refused is asked again.
    void notice(const std::string& line) override {
        skipped("", line);
    }
    void pool_low(const MacPlan& pool, unsigned long long left) override {
        emit({{"event", "pool"},
              {"first", pool.first},
              {"last", pool.last},
              {"left", left},
              {"size", pool.pool_size()}});
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
    void board_started(const Board& b) override {
        say(b.fixture.name + " " + b.record.mac + " started");
    }
    void board_finished(const Board& b) override {
        char took[32];
        std::snprintf(took, sizeof(took), " (%.1f s)", seconds_of(b));
        say(b.fixture.name + " " + b.record.mac + " " + outcome_text(b) + ", " +
            std::to_string(b.record.frames) + " frames" + took);
    }
};

// `run --continuous`: a line when a board starts and one when it ends (PASS
// or FAIL, in colour on a terminal), kept apart from the prompt, which it
// puts back after each line.
class ContinuousScreen : public LineScreen {
  public:
    ContinuousScreen() : terminal_(isatty(1) != 0) {
        const char* term = std::getenv("TERM");
        colour_ = terminal_ && term != nullptr && std::string(term) != "dumb";
    }
    void board_started(const Board& b) override {
        say(b.fixture.name + " " + b.record.mac + " started");
    }
    void board_finished(const Board& b) override {
        bool passed = b.record.outcome == Outcome::passed;
        std::string word = passed ? "PASS" : "FAIL";
        if (colour_) {
            word = (passed ? "\x1b[1;32m" : "\x1b[1;31m") + word + "\x1b[0m";
        }
        char took[64];
        std::snprintf(took, sizeof(took), "%ld frames, %.1f s", b.record.frames, seconds_of(b));
        say(b.fixture.name + " " + b.record.mac + " " + word + " " +
            (passed ? std::string(took) : outcome_text(b) + " (" + took + ")"));
    }
    void prompt(const std::string& text) override {
        greet();
        std::string shown = open_ ? (terminal_ ? "\r\x1b[K" : "\n") : "";
        prompt_ = text;
        open_ = !text.empty();
        std::fputs((shown + prompt_).c_str(), stdout);
        std::fflush(stdout);
    }
    // A terminal echoed the line's end; through a pipe it is ended here.
    void answered() override {
        if (open_ && !terminal_) {
            std::fputs("\n", stdout);
            std::fflush(stdout);
        }
        prompt_.clear();
        open_ = false;
    }

  protected:
    // The prompt's line is taken back on a terminal, ended elsewhere, and
    // shown again below the line.
    void say(const std::string& line) override {
        greet();
        std::string text = open_ ? (terminal_ ? "\r\x1b[K" : "\n") : "";
        text += line + "\n" + prompt_;
        open_ = !prompt_.empty();
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

  private:
    // The first line of a shift says what a scan may be.
    void greet() {
        if (!greeted_) {
            greeted_ = true;
            std::printf("scan a MAC for the fixture asked, or a fixture's label and a MAC for "
                        "it; - skips the fixture asked; q ends\n");
        }
    }

    bool terminal_;
    bool colour_;
    std::string prompt_;
    bool open_ = false; // a line of ours waits for its end
    bool greeted_ = false;
};

class TerminalScreen : public LineScreen {
  public:
    explicit TerminalScreen(long data_frames) : data_frames_(data_frames) {}
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
        // Back to the first line drawn: after a resize to fewer columns a
        // terminal may have wrapped what was drawn, so its rows are counted
        // at the new width, and everything below is cleared.
        size_t rows = 0;
        for (size_t length : drawn_lengths_) {
            rows += std::max<size_t>(1, (length + width - 1) / width);
        }
        if (rows > 0) {
            text += "\r\x1b[" + std::to_string(rows) + "A\x1b[J";
        }
        drawn_lengths_.clear();
        // The widest layout in which every line fits: the bar shrinks, then
        // goes with the stage column, so that each outcome stays in sight;
        // what still does not fit is cut, so that no line wraps.
        Layout layout = LAYOUTS[std::size(LAYOUTS) - 1];
        for (const Layout& candidate : LAYOUTS) {
            if (std::all_of(boards.begin(), boards.end(),
                            [&](const Board& b) { return line(b, candidate).size() < width; })) {
                layout = candidate;
                break;
            }
        }
        for (const Board& b : boards) {
            std::string shown = line(b, layout).substr(0, width - 1);
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
    static constexpr Layout LAYOUTS[] = {{BAR_WIDTH, true}, {10, true}, {0, true}, {0, false}};

    std::string line(const Board& b, const Layout& layout) {
        int p = percent(b, data_frames_);
        std::string bar;
        if (layout.bar > 0) {
            bar = std::string(static_cast<size_t>(p) * layout.bar / 100, '#');
            bar.resize(layout.bar, '.');
            bar = "[" + bar + "] ";
        }
        std::string stage;
        if (layout.stage) {
            stage = b.running ? text_of(stage_of(b.record.transcript)) : "";
            stage.resize(10, ' ');
            stage += " ";
        }
        char text[200];
        std::snprintf(text, sizeof(text), "%-8s %s %s%3d%% %s%6.1f s  ", b.fixture.name.c_str(),
                      b.record.mac.c_str(), stage.c_str(), p, bar.c_str(), seconds_of(b));
        return text + outcome_text(b);
    }

    long data_frames_;
    std::vector<size_t> drawn_lengths_;
    Clock::time_point last_drawn_;
};

} // namespace

std::unique_ptr<Screen> make_screen(bool json, bool continuous, long data_frames) {
    if (json) {
        return std::make_unique<JsonScreen>();
    }
    if (continuous) {
        return std::make_unique<ContinuousScreen>();
    }
    if (isatty(1)) {
        return std::make_unique<TerminalScreen>(data_frames);
    }
    return std::make_unique<PlainScreen>();
}
