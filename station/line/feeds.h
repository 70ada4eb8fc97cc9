// What gives a round its boards: every planned board at once, or each board
// as its MAC is scanned (`run --continuous`). A feed sees the round only
// through FeedRound, and reads its lines from an Input, so that the scan
// grammar runs the same on a pipe of a test as on the operator's terminal.
#pragma once

#include "station/file/file.h"
#include "station/line/screen.h"
#include "station/store/store.h"

#include <deque>
#include <list>
#include <memory>
#include <ostream>
#include <optional>
#include <string>
#include <termios.h>
#include <vector>

// A board the round is to program.
struct Planned {
    Fixture fixture;
    std::string mac; // empty: the pool's next
    bool rework;
    std::string retry_of = ""; // the record a retry programs again
    std::string lot = "";      // a retried board's own lot; empty: the round's
    // The retried record's answers were out of step with its frames: the
    // board is to be re-seated first.
    bool reseat = false;
};

// A fixture left out before the round; `why` empty when the operator
// skipped it at the prompt (it was seen there).
struct Skipped {
    std::string fixture;
    std::string why;
};

// What a feed may do with the round it feeds.
class FeedRound {
  public:
    virtual ~FeedRound() = default;
    // Claims `plan`'s MAC for a board on `device` (the port's node); the
    // answer comes to Feed::claimed or Feed::not_claimed.
    virtual void claim(const Planned& plan, const std::string& device) = 0;
    // An event of the round, for all its sinks.
    virtual void tell(const RoundEvent& event) = 0;
    // The prompt's side of the screen.
    virtual Screen& screen() = 0;
    virtual const std::list<Board>& boards() const = 0;
    // Whether a signal is ending the round.
    virtual bool stopping() const = 0;
    // A board of the round that will not be started.
    virtual void not_started() = 0;
    // The store failed a claim: the round ends with status 2.
    virtual void store_failed() = 0;
    // A board's label read back at its fixture: verified, mismatch
    // (`reason` what was read) or unverified (set aside, `reason` why).
    virtual void label_checked(const Board& board, LabelState read_back,
                               const std::string& reason) = 0;
    // Its label printed again, on request at the fixture.
    virtual void print_label_again(const Board& board) = 0;
};

class Feed {
  public:
    virtual ~Feed() = default;
    // Claims what it has now; called before every pass of the round's loop.
    virtual void offer(FeedRound& round) = 0;
    // The descriptor it waits on now, or -1; and what to do when it is readable.
    virtual int waits_on() const {
        return -1;
    }
    virtual void readable(FeedRound&) {}
    // The answer to one of its claims.
    virtual void claimed(FeedRound& round, const Planned& plan) = 0;
    virtual void not_claimed(FeedRound& round, const Planned& plan, const Recorder::Answer& a) = 0;
    // A board of the round ended.
    virtual void board_ended(FeedRound&, const Board&) {}
    // A passed board's label was printed.
    virtual void label_printed(FeedRound&, const Board&) {}
    // Whether no more boards come.
    virtual bool done() const = 0;
};

// Keys as a terminal's line editing takes them, the station's own when it
// echoes on its panel: Enter ends the line, Backspace, Ctrl+U and Ctrl+W
// take back, Ctrl+D on an empty line ends input; other control keys and
// escape sequences (arrows) are dropped. Without `keys`, bytes are taken as
// they come (a pipe, a scanner on a canonical terminal).
class LineEditor {
  public:
    explicit LineEditor(bool keys) : keys_(keys) {}
    void take(const char* bytes, size_t n);
    // Input is over (end of file, a read error).
    void end() {
        ended_ = true;
    }
    // The next whole line, its trailing blanks cut, if one came (the last
    // one also unended, once input is over).
    std::optional<std::string> line();
    // What is typed of the line after the whole ones.
    std::string partial() const;
    bool ended() const {
        return ended_ && buffer_.empty();
    }
    // Whether the next whole line is `text`.
    bool next_is(const std::string& text) const;
    // Whether more than `bytes` wait unread as lines.
    bool full(size_t bytes) const {
        return buffer_.size() > bytes;
    }
    // The question shown from now on: each line is marked with the one
    // shown when its first key came (an empty line's, when its Enter came).
    void question(const std::string& text) {
        question_ = text;
    }
    // The question the line that line() gave last was typed for.
    const std::string& typed_for() const {
        return typed_for_;
    }

  protected:
    bool keys_;

  private:
    void edit(unsigned char c);
    void started_line();
    void ended_line();

    std::string buffer_;
    bool ended_ = false;
    int escape_ = 0; // within an escape sequence: 1 after ESC, 2 after its '['
    std::string question_, typed_for_;
    std::deque<std::string> marks_;           // of the whole lines in buffer_, in order
    std::optional<std::string> partial_mark_; // of the line being typed
};

// Lines typed or scanned on a descriptor, read only when poll says so.
class Input : public LineEditor {
  public:
    // `keys`: `fd` is a terminal whose echo and line editing are the
    // station's (the panel shows what is typed), until the object goes.
    Input(int fd, bool keys);
    ~Input();
    Input(const Input&) = delete;
    Input& operator=(const Input&) = delete;

    int fd() const {
        return fd_;
    }
    // Whether the station reads keys as they are typed.
    bool keys() const {
        return keys_;
    }
    // Whether a person types (a terminal): a line is then taken only for
    // the question shown when it was typed, and read as it comes. From a
    // pipe or a file, lines answer the questions in their order.
    bool typed_live() const {
        return live_;
    }
    // Reads what waits (one read: poll said there is some).
    void read_some();

  private:
    int fd_;
    bool live_;
    termios saved_{};
};

// Every board of `planned` at once, in its order; one whose port is missing
// is skipped.
std::unique_ptr<Feed> planned_feed(const std::vector<Planned>& planned);
// The next idle fixture's MAC from `input`, one claim at a time. A scan may
// aim at a fixture (its label, then or with a MAC), skip the fixture asked
// ("-", or its label again), or end the round ("q"); an empty line takes
// the pool's next MAC. A fixture whose port is missing, or whose last three
// boards failed to open their port, is out of service: not asked again
// until its port is back or its label is scanned.
// "r" retries a fixture's last board that did not pass ("r A3" another's);
// a fixture whose board keeps its MAC (`kept`: from rounds before, as
// Store::kept_boards gives them) starts again only by "r" or that MAC, or
// by "n" or another MAC for a new board.
std::unique_ptr<Feed> scan_feed(const StationFile& file, const std::vector<Fixture>& fixtures,
                                bool rework, Input& input, const std::vector<Record>& kept = {});

// The fixtures a round takes, in the file's order, each once: those `list`
// names ("A1,A2"), or all.
std::vector<Fixture> chosen_fixtures(const StationFile& file, const std::string& list);
// The boards of a planned round on `fixtures`: each one's MAC from `given`
// (FIXTURE=MAC, the MAC canonical) or asked for (ask_board); a fixture
// skipped at the prompt without a pool, or whose kept board was not
// answered, goes to `skipped`. The same MAC for two fixtures is refused
// before anything runs.
std::vector<Planned> planned_boards(const StationFile& file, const std::vector<Fixture>& fixtures,
                                    const std::vector<std::string>& given, bool rework,
                                    Store& store, std::ostream& out, std::vector<Skipped>& skipped);
// Asks for a fixture's board before a planned round (a barcode scanner
// types its MAC and Enter), in the continuous round's grammar: a MAC, "r"
// or the MAC its board keeps (a retry), "n" (a new board, asked for), "-"
// (skipped); an empty line or the end of input gives no MAC: the pool's
// next, or the fixture skipped without a pool. A MAC refused (given
// already for `planned`, passed before, in progress on any station) is
// refused at once, with why, and the same fixture is asked again. At a
// fixture whose board keeps its MAC (`kept`) an empty line asks again, and
// the end of input leaves it kept. The prompt and what is said go to the
// prompt's screen (on standard error beside --json's events).
struct Asked {
    enum class Is { board, skipped, left_kept } is;
    Planned plan; // of a board
};
Asked ask_board(const Fixture& fixture, const Record* kept, const std::vector<Planned>& planned,
                Store& store, bool rework, bool pool, Screen& screen);

// Why a scanned line gives no MAC a board may carry (`mac`: the line as
// checked_mac read it), or an empty text.
std::string scan_fault(const std::string& mac);
// The node a fixture's port resolves to; empty when it is missing.
std::string device_of(const Fixture& fixture);
