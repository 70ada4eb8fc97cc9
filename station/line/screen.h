// What the operator (or a factory script) sees of a round: every event of
// the round goes to one Screen. On a terminal one line per fixture redrawn
// in place, elsewhere one plain line per change of state, with --json one
// JSON object per event; in continuous mode on a terminal a panel (a fixed
// row per fixture, the last events, the prompt with what is typed), through
// a pipe a line per board's start and end kept apart from the prompt.
// Transcripts never reach the screen.
#pragma once

#include "station/base/base.h"
#include "station/file/file.h"
#include "station/line/board.h"
#include "station/line/round_event.h"

#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

// A round's screen takes its events, and the operator's side of the
// prompt (prompt, answered, typed) and the clock's ticks beside them.
class Screen : public RoundSink {
  public:
    void take(const RoundEvent& event) final;
    // Called at least every 100 ms while boards run.
    virtual void tick(const std::list<Board>&) {}
    // The prompt for a fixture's MAC, kept under what follows until answered.
    virtual void prompt(const std::string&) {}
    // A line was read (or input ended): the prompt is done with.
    virtual void answered() {}
    // What is typed so far of the next line (a terminal's echo is ours).
    virtual void typed(const std::string&) {}

  protected:
    virtual void board_started(const Board& board) = 0;
    virtual void board_progress(const Board&) {}
    virtual void board_finished(const Board& board) = 0;
    // What the station says beside its boards: a fixture skipped, a notice
    // of its own (a refused scan, a lost store), a fixture out of service or
    // back in it, the pool low. Each is a line of said_line's.
    virtual void said(const RoundEvent& event) = 0;
    // A line of the station's own for standard error (the record's writers:
    // a store lost, a conflict, a record written nowhere else); the panel
    // keeps itself below it.
    virtual void warning(const std::string& line) {
        say_on_stderr(line);
    }
    // The round's last words: a summary and what `station retry` would
    // run. `skipped`: fixtures of the round that did not start.
    virtual void round_ended(const std::list<Board>& boards, int skipped,
                             const std::string& round) = 0;
};

// What the station says beside its boards, as a line for people: "A2
// skipped: port /dev/x is missing", "A3 out of service: ...", "MAC pool
// 00112233AA00-00112233AAFF: 12 of 256 left"; empty for a board's event.
std::string said_line(const RoundEvent& event);
// The screen for standard output: JSON events, a terminal's lines, plain
// lines, or (continuous: `fixtures` names its rows) a panel, which rings
// the terminal's bell at a refused scan unless `quiet`, or a line per
// board under a prompt.
std::unique_ptr<Screen> make_screen(bool json, bool continuous,
                                    const std::vector<std::string>& fixtures, bool quiet = false);
// The screen of a planned round's prompt, before its round: each question,
// and what is said of each answer as a line, on `out`.
std::unique_ptr<Screen> prompt_screen(std::ostream& out);
// Standard output's terminal: columns and rows, asked again at every call
// (so also after SIGWINCH); none when it is no terminal.
struct TerminalSize {
    size_t columns, rows;
};
std::optional<TerminalSize> terminal_size();
// `text` in at most `width` columns, cut at a word with "..."; a frame
// number at its end is kept ("stalled: no answer ... frame 12").
std::string shortened(const std::string& text, size_t width);
