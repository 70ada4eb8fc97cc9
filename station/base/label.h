// A board's label: a template in the printer's own language (ZPL and the
// like) whose placeholders ({mac}, {lot}, ...) are filled for each board.
#pragma once

#include <string>

struct LabelFields {
    std::string mac;     // 12 upper-case hexadecimal digits
    std::string lot;     // may be empty
    std::string station; // its name
    std::string fixture;
    std::string date;   // the board's end, local: YYYY-MM-DD
    std::string record; // its id
};

// "" when every placeholder of `text` is known, else what is wrong ("unknown
// placeholder {serial}: ..."). "{{" and "}}" are a brace of their own.
std::string label_template_fault(const std::string& text);
// `text` with each placeholder replaced by its field: {mac}, {mac_colons}
// (00:11:22:AA:BB:CC), {lot}, {station}, {fixture}, {date}, {record}.
std::string filled_label(const std::string& text, const LabelFields& fields);
// The placeholders, as the manual and messages list them.
extern const char LABEL_PLACEHOLDERS[];
