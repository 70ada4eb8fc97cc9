// The labels of a round's passed boards, printed off the poll loop: one
// thread sends each to the label printer as its board's record is written,
// and tries again every few seconds while the printer does not take it. A
// printer that is off, out of labels or refusing never changes a board.
#pragma once

#include "station/base/base.h"
#include "station/file/file.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Prints a board's label: the template filled in, sent raw to the printer
// or its CUPS queue, or the built-in label through CUPS. "" once the
// printer (or the queue) took it, `job` then its job ("raw-1a2b3c4d" of a
// raw printer, the queue's "LABELS-12"); else why not ("Connection
// refused").
std::string print_label(const LabelPlan& plan, const std::string& label, const LabelFields& fields,
                        std::string& job);
// What a passed board's record puts on its label (its date: the local day
// it ended).
LabelFields label_fields(const Record& record);

class Labeler {
  public:
    struct Result;
    // Each Result is told through `post`, from the printer's thread: the
    // round's inbox.
    using Post = std::function<void(Result)>;
    // `label`: the template's bytes as locked.
    Labeler(const LabelPlan& plan, std::string label, Post post);
    // Ends the thread; a label still waiting is not printed.
    ~Labeler();
    Labeler(const Labeler&) = delete;
    Labeler& operator=(const Labeler&) = delete;

    // Queues a passed board's label; never waits. `again`: why it is
    // printed again (its event "reprinted").
    void print(const std::string& fixture, const LabelFields& fields,
               const std::string& again = "");
    // A label printed (its event), or one the printer did not take (`why`:
    // said once; it is tried again every RETRY).
    struct Result {
        std::string fixture;
        LabelEvent event;      // printed: its printer, job and time
        std::string why;       // empty: printed
        bool given_up = false; // not printed, and not tried again: the round ended
    };
    // At the round's end: each label still waiting is tried once more,
    // within `within` in all; what the printer still did not take is told
    // as events "not printed", with why, before this returns.
    void finish(std::chrono::milliseconds within);

    static constexpr std::chrono::seconds RETRY{5};

    struct State;

  private:
    std::shared_ptr<State> state_;
};
