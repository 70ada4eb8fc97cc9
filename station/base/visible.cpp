#include "station/base/visible.h"

#include <cstdio>
#include <iostream>

namespace {

// How long the UTF-8 sequence that starts at `at` is, 0 when it is none
// (a stray or overlong byte, a surrogate, past U+10FFFF, or cut short).
size_t sequence_length(const std::string& text, size_t at, unsigned& code) {
    unsigned char first = static_cast<unsigned char>(text[at]);
    size_t length = first >= 0xf0 ? 4 : first >= 0xe0 ? 3 : first >= 0xc2 ? 2 : 0;
    if (first > 0xf4 || length == 0 || at + length > text.size()) {
        return 0;
    }
    code = first & (0x7f >> length);
    for (size_t i = 1; i < length; ++i) {
        unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xc0) != 0x80) {
            return 0;
        }
        code = code << 6 | (next & 0x3f);
    }
    static const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
    bool sound = code >= least[length] && code <= 0x10ffff && (code < 0xd800 || code > 0xdfff);
    return sound ? length : 0;
}

} // namespace

std::string visible(const std::string& text, bool one_line) {
    std::string shown;
    shown.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            bool kept = c == '\t' || (c == '\n' && !one_line);
            if ((c < 0x20 && !kept) || c == 0x7f) {
                shown += '^';
                shown += static_cast<char>(c ^ 0x40);
            } else {
                shown += static_cast<char>(c);
            }
            at += 1;
            continue;
        }
        unsigned code = 0;
        size_t length = sequence_length(text, at, code);
        char named[16];
        if (length == 0) {
            std::snprintf(named, sizeof(named), "<\\x%02X>", c);
            shown += named;
            at += 1;
        } else if (code <= 0x9f) {
            std::snprintf(named, sizeof(named), "<U+%04X>", code);
            shown += named;
            at += length;
        } else {
            shown.append(text, at, length);
            at += length;
        }
    }
    return shown;
}

// Hands what is written on through visible(); a UTF-8 sequence cut
// between two writes waits for its end.
class VisibleStdout::Filter : public std::streambuf {
  public:
    explicit Filter(std::streambuf* out) : out_(out) {}
    ~Filter() override {
        pass(true);
    }

  protected:
    // Passed on at once, in the order of what the C library writes
    // beside it (the round's screens, a prompt).
    int_type overflow(int_type c) override {
        if (c != traits_type::eof()) {
            kept_ += static_cast<char>(c);
            pass(false);
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        kept_.append(s, static_cast<size_t>(n));
        pass(false);
        return n;
    }
    int sync() override {
        pass(false);
        return out_->pubsync();
    }

  private:
    void pass(bool all) {
        size_t whole = kept_.size();
        // At most three bytes of a sequence not yet ended wait.
        for (size_t back = 1; !all && back <= 3 && back <= kept_.size(); ++back) {
            unsigned char c = static_cast<unsigned char>(kept_[kept_.size() - back]);
            if ((c & 0xc0) == 0xc0) {
                size_t needs = c >= 0xf0 ? 4 : c >= 0xe0 ? 3 : 2;
                whole = needs > back ? kept_.size() - back : whole;
                break;
            }
            if ((c & 0xc0) != 0x80) {
                break;
            }
        }
        std::string shown = visible(kept_.substr(0, whole));
        out_->sputn(shown.data(), static_cast<std::streamsize>(shown.size()));
        kept_.erase(0, whole);
    }

    std::streambuf* out_;
    std::string kept_;
};

VisibleStdout::VisibleStdout(bool on) {
    if (on) {
        original_ = std::cout.rdbuf();
        filter_ = std::make_unique<Filter>(original_);
        std::cout.rdbuf(filter_.get());
    }
}

VisibleStdout::~VisibleStdout() {
    if (filter_) {
        std::cout.flush();
        std::cout.rdbuf(original_);
        filter_.reset();
        original_->pubsync();
    }
}
