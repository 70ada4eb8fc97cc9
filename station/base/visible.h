// Text from outside the station (a reason, a transcript, a file or port
// name, a lot, an operator) as a terminal shows it: its control characters
// made visible, so that none sets a window's title, clears the screen,
// moves the cursor or rings, and none forges a line.
#pragma once

#include <memory>
#include <streambuf>
#include <string>

// Line ends and tabs kept; a C0 control as ^X (ESC ^[, NUL ^@), DEL as ^?,
// a C1 control (U+0080 to U+009F, which some terminals obey) as <U+009B>,
// a byte that is no UTF-8 as <\xNN>. Visible text stays as it is.
// `one_line`: a line end too is shown (^J), for a line that quotes a text
// with one in it (a port named so) and must stay one line.
std::string visible(const std::string& text, bool one_line = false);

// While it lives, what is written to standard output (std::cout) for
// people goes through visible(), as it is written.
class VisibleStdout {
  public:
    explicit VisibleStdout(bool on);
    ~VisibleStdout();
    VisibleStdout(const VisibleStdout&) = delete;
    VisibleStdout& operator=(const VisibleStdout&) = delete;

  private:
    class Filter;
    std::unique_ptr<Filter> filter_;
    std::streambuf* original_ = nullptr;
};
