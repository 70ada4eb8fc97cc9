// The labels of a round's passed boards, printed off the poll loop: one
// thread sends each to the label printer as its board's record is written,
// and tries again every few seconds while the printer does not take it. A
// printer that is off, out of labels or refusing never changes a board.
#pragma once

#include "station/base/label.h"
#include "station/base/record.h"
#include "station/file/station_file.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

// Sends `bytes` to the raw printer at host:port (a label printer's port
// 9100) within `within`: "" once it took them all and closed or went quiet,
// else why not ("connection refused").
std::string print_raw(const std::string& host, int port, const std::string& bytes,
                      std::chrono::milliseconds within);

class Labeler {
  public:
    // `label`: the template's bytes as locked.
    Labeler(const LabelPlan& plan, std::string label);
    // Ends the thread; a label still waiting is not printed.
    ~Labeler();
    Labeler(const Labeler&) = delete;
    Labeler& operator=(const Labeler&) = delete;

    // Queues a passed board's label; never waits. `again`: why it is
    // printed again (its event "reprinted").
    void print(const std::string& fixture, const LabelFields& fields,
               const std::string& again = "");
    // Readable while results wait: for the poll loop.
    int results_fd() const;
    // A label printed (its event), or one the printer did not take (`why`:
    // said once; it is tried again every RETRY).
    struct Result {
        std::string fixture;
        LabelEvent event;      // printed: its printer, job and time
        std::string why;       // empty: printed
        bool given_up = false; // not printed, and not tried again: the round ended
    };
    std::vector<Result> results();
    // At the round's end: each label still waiting is tried once more,
    // within `within` in all; what the printer still did not take comes
    // back as events "not printed", with why.
    std::vector<Result> finish(std::chrono::milliseconds within);

    static constexpr std::chrono::seconds RETRY{5};

    struct State;

  private:
    std::shared_ptr<State> state_;
};
