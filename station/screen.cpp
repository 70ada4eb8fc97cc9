// The three screens.
#include "station/screen.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <unistd.h>

namespace {

constexpr auto REDRAW_EVERY = std::chrono::milliseconds(100); // at most 10 a second
constexpr int BAR_WIDTH = 20;

// A board's time so far; a finished board's stands at its end.
double seconds_of(const Board& board) {
    Clock::time_point end = board.running ? Clock::now() : board.ended;
    return std::chrono::duration<double>(end - board.started).count();
}

int percent(const Board& board, long data_frames) {
    if (board.record.outcome == Outcome::passed) {
        return 100;
    }
    return data_frames > 0 ? static_cast<int>(std::min(99L, board.dots * 100 / data_frames)) : 0;
}

std::string outcome_text(const Board& board) {
    const Record& r = board.record;
    if (board.running) {
        return board.stopped ? "stopping" : "running";
    }
    if (r.outcome == Outcome::passed || r.message.empty()) {
        return text_of(r.outcome);
    }
    return std::string(text_of(r.outcome)) + " in " + text_of(r.stage) + ": " + r.message;
}

class JsonScreen : public Screen {
  public:
    void board_started(const Board& b) override {
        emit({{"event", "started"},
              {"fixture", b.fixture.name},
              {"mac", b.record.mac},
              {"record", b.record.id}});
    }
    void board_progress(const Board&) override {}
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
              {"exit_status", r.exit_status}});
    }
    void tick(const std::vector<Board>&) override {}

  private:
    void emit(const nlohmann::json& event) {
        std::printf("%s\n", event.dump().c_str());
        std::fflush(stdout);
    }
};

class PlainScreen : public Screen {
  public:
    void board_started(const Board& b) override {
        say(b, "started");
    }
    void board_progress(const Board&) override {}
    void board_finished(const Board& b) override {
        char took[32];
        std::snprintf(took, sizeof(took), " (%.1f s)", seconds_of(b));
        say(b, outcome_text(b) + ", " + std::to_string(b.record.frames) + " frames" + took);
    }
    void tick(const std::vector<Board>&) override {}

  private:
    void say(const Board& b, const std::string& what) {
        std::printf("%s %s %s\n", b.fixture.name.c_str(), b.record.mac.c_str(), what.c_str());
        std::fflush(stdout);
    }
};

class TerminalScreen : public Screen {
  public:
    explicit TerminalScreen(long data_frames) : data_frames_(data_frames) {}
    void board_started(const Board&) override {}
    void board_progress(const Board&) override {}
    void board_finished(const Board&) override {}
    void tick(const std::vector<Board>& boards) override {
        bool all_done =
            std::none_of(boards.begin(), boards.end(), [](const Board& b) { return b.running; });
        if (!all_done && Clock::now() - last_drawn_ < REDRAW_EVERY) {
            return;
        }
        last_drawn_ = Clock::now();
        std::string text;
        if (drawn_lines_ > 0) {
            text += "\x1b[" + std::to_string(drawn_lines_) + "A";
        }
        for (const Board& b : boards) {
            text += "\r\x1b[K" + line(b) + "\n";
        }
        drawn_lines_ = boards.size();
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    }

  private:
    std::string line(const Board& b) {
        int p = percent(b, data_frames_);
        std::string bar(static_cast<size_t>(p * BAR_WIDTH / 100), '#');
        bar.resize(BAR_WIDTH, '.');
        std::string stage = b.running ? text_of(stage_of(b.record.transcript)) : "";
        char text[200];
        std::snprintf(text, sizeof(text), "%-8s %s %-10s %3d%% [%s] %6.1f s  ",
                      b.fixture.name.c_str(), b.record.mac.c_str(), stage.c_str(), p, bar.c_str(),
                      seconds_of(b));
        return text + outcome_text(b);
    }

    long data_frames_;
    size_t drawn_lines_ = 0;
    Clock::time_point last_drawn_;
};

} // namespace

std::unique_ptr<Screen> make_screen(bool json, long data_frames) {
    if (json) {
        return std::make_unique<JsonScreen>();
    }
    if (isatty(1)) {
        return std::make_unique<TerminalScreen>(data_frames);
    }
    return std::make_unique<PlainScreen>();
}

void print_round_end(const std::vector<Board>& boards, const std::string& round, bool json) {
    std::map<std::string, int> counts;
    std::string retry;
    for (const Board& b : boards) {
        counts[text_of(b.record.outcome)] += 1;
        Outcome o = b.record.outcome;
        if (o != Outcome::passed && o != Outcome::started) {
            retry += (retry.empty() ? "" : ",") + b.fixture.name;
        }
    }
    if (json) {
        nlohmann::json event = {{"event", "round"},
                                {"round", round},
                                {"boards", boards.size()},
                                {"outcomes", counts},
                                {"retry", retry}};
        std::printf("%s\n", event.dump().c_str());
    } else {
        std::string text = "round " + round + ": " + std::to_string(boards.size()) + " boards";
        for (const auto& [outcome, count] : counts) {
            text += ", " + std::to_string(count) + " " + outcome;
        }
        std::printf("%s\n", text.c_str());
        std::printf("%s\n", retry.empty() ? "nothing to retry"
                                          : ("station retry would run " + retry).c_str());
    }
    std::fflush(stdout);
}

void print_skipped(const std::string& fixture, const std::string& why, bool json) {
    if (json) {
        std::printf("%s\n",
                    nlohmann::json({{"event", "skipped"}, {"fixture", fixture}, {"why", why}})
                        .dump()
                        .c_str());
    } else {
        std::printf("%s skipped: %s\n", fixture.c_str(), why.c_str());
    }
    std::fflush(stdout);
}
