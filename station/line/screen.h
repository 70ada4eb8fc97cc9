// What the operator (or a factory script) sees of a round: every event of
// the round goes to one Screen. On a terminal one line per fixture redrawn
// in place, elsewhere one plain line per change of state, with --json one
// JSON object per event; in continuous mode on a terminal a panel (a fixed
// row per fixture, the last events, the prompt with what is typed), through
// a pipe a line per board's start and end kept apart from the prompt.
// Transcripts never reach the screen.
#pragma once

#include "station/file/station_file.h"
#include "station/base/transcript.h"

#include <chrono>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef std::chrono::steady_clock Clock;

// One fixture's board in a round, as the screens see it.
struct Board {
    Fixture fixture;
    Record record;
    std::string folder; // host's folder when the board has images of its own
    DotCounter dots;
    // What host wrote, within the bound; the record's transcript once it
    // ended.
    KeptOutput output{TRANSCRIPT_KEEPS_FIRST, TRANSCRIPT_KEEPS_LAST};
    // Worked out from the transcript once its dots changed, at most every
    // tick, and from the record once it ended.
    BoardProgress progress;
    bool progress_due = false;
    bool running = false;
    bool stopping = false;  // the station is stopping its host
    bool unwritten = false; // its record written nowhere yet: tried again
    // Its label: "" (none, or not yet), "printed", "not printed" (tried
    // again while the round runs); read back: "verified", "mismatch",
    // "unverified" (set aside).
    std::string label;
    bool reads_back = false; // a passed board's label is read back at its fixture
    Clock::time_point started, ended;
    // The station's stopped time (stops.h) when the board started and ended:
    // a board's time leaves out the time the station stood still.
    Clock::duration stopped_at_start{}, stopped_at_end{};
};

// What happened in a round, as a value: the round tells every one to each of
// its sinks (its screen; the line's page, through the recorder).
struct RoundEvent {
    enum class Kind {
        started,         // `board`
        progress,        // `board`: its progress changed
        finished,        // `board`
        skipped,         // `fixture` not started, `text` why
        notice,          // `text`: a line of the station's own (a refused scan, a lost store)
        warning,         // `text`: one for standard error (a store lost, a conflict)
        out_of_service,  // `fixture`, `text` why, `brief` why in a few words
        back_in_service, // `fixture`
        kept,            // `fixture`'s board keeps MAC `brief`; none: no more (`text` why)
        unwritten,       // `board`'s record written nowhere yet (`text` why); none: written
        label,           // `board`'s label: `brief` "printed", "printed now" (after a
                         // failure) or "not printed" (`text` why), `printer`, `job`;
                         // `round` set when the round's end gave it up
        pool_low,        // `pool`, `left`: below a tenth of the MAC pool left
        ended            // `boards`, `skipped`, `round`: the round's last words
    } kind;
    const Board* board = nullptr;
    std::string fixture, text, brief;
    const MacPlan* pool = nullptr;
    unsigned long long left = 0;
    const std::list<Board>* boards = nullptr;
    int skipped = 0;
    std::string round;
    bool refusal = false;     // a scan refused: the operator, who looks at the board, hears it
    std::string printer, job; // a label's

    static RoundEvent of(Kind kind, const Board& board) {
        return {kind, &board, "", "", "", nullptr, 0, nullptr, 0, "", false, "", ""};
    }
    static RoundEvent said(Kind kind, const std::string& text, const std::string& fixture = "",
                           const std::string& brief = "") {
        return {kind, nullptr, fixture, text, brief, nullptr, 0, nullptr, 0, "", false, "", ""};
    }
};

class RoundSink {
  public:
    virtual ~RoundSink() = default;
    virtual void take(const RoundEvent& event) = 0;
};

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
// Standard output's terminal: columns and rows, asked again at every call
// (so also after SIGWINCH); none when it is no terminal.
struct TerminalSize {
    size_t columns, rows;
};
std::optional<TerminalSize> terminal_size();
// `text` in at most `width` columns, cut at a word with "..."; a frame
// number at its end is kept ("stalled: no answer ... frame 12").
std::string shortened(const std::string& text, size_t width);
