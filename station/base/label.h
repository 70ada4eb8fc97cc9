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

// The label the station lays out itself: the MAC as a barcode over the
// whole width, under it the MAC in its colon form, the lot and the date.
struct LabelLayout {
    double width_mm = 50, height_mm = 25;
    std::string barcode = "code128"; // or "datamatrix"
};
// Its one page as PostScript, the page the label's size; a barcode that
// cannot be made (never for a MAC) leaves its place empty.
std::string label_postscript(const LabelLayout& layout, const LabelFields& fields);
// What fixes a layout in the locked profile: "built-in label 50x25 mm, code128".
std::string layout_text(const LabelLayout& layout);
// Whether this station was built with the built-in label (its barcodes).
bool has_built_in_label();
