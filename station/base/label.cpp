#include "station/base/label.h"

#include "station/base/macs.h"

#ifdef STATION_BUILT_IN_LABEL
#include <zint.h>
#endif

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>

const char LABEL_PLACEHOLDERS[] = "{mac}, {mac_colons}, {lot}, {station}, {fixture}, {date}, "
                                  "{record}";

namespace {

std::optional<std::string> field(const std::string& name, const LabelFields& f) {
    if (name == "mac") {
        return f.mac;
    }
    if (name == "mac_colons") {
        return mac_with_colons(f.mac);
    }
    if (name == "lot") {
        return f.lot;
    }
    if (name == "station") {
        return f.station;
    }
    if (name == "fixture") {
        return f.fixture;
    }
    if (name == "date") {
        return f.date;
    }
    if (name == "record") {
        return f.record;
    }
    return std::nullopt;
}

// Walks `text`: its own bytes to `literal`, each placeholder's name to
// `placeholder`; a fault for a brace left open or closed alone.
std::string walk(const std::string& text, const std::function<void(char)>& literal,
                 const std::function<bool(const std::string&)>& placeholder) {
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if ((c == '{' || c == '}') && i + 1 < text.size() && text[i + 1] == c) {
            literal(c);
            ++i;
        } else if (c == '{') {
            size_t end = text.find('}', i);
            if (end == std::string::npos) {
                return "a \"{\" without its \"}\" (a brace of the label's own is \"{{\")";
            }
            std::string name = text.substr(i + 1, end - i - 1);
            if (!placeholder(name)) {
                return "unknown placeholder {" + name + "}: the label's are " + LABEL_PLACEHOLDERS;
            }
            i = end;
        } else if (c == '}') {
            return "a \"}\" without its \"{\" (a brace of the label's own is \"}}\")";
        } else {
            literal(c);
        }
    }
    return "";
}

} // namespace

std::string label_template_fault(const std::string& text) {
    LabelFields none;
    return walk(
        text, [](char) {}, [&](const std::string& name) { return field(name, none).has_value(); });
}

std::string filled_label(const std::string& text, const LabelFields& fields) {
    std::string out;
    walk(
        text, [&](char c) { out += c; },
        [&](const std::string& name) {
            std::optional<std::string> value = field(name, fields);
            out += value.value_or("");
            return value.has_value();
        });
    return out;
}

namespace {

constexpr double POINTS_PER_MM = 72.0 / 25.4;

std::string number(double x) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.3f", x);
    return text;
}

// A PostScript string: its own parentheses and backslashes escaped, and
// anything but printable ASCII as an octal escape.
std::string ps_string(const std::string& text) {
    std::string out = "(";
    for (unsigned char c : text) {
        if (c == '(' || c == ')' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c > 0x7e) {
            char octal[8];
            std::snprintf(octal, sizeof(octal), "\\%03o", c);
            out += octal;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + ")";
}

// The barcode's modules as filled rectangles in the box at (x, y) of w by
// h points (y upwards); a 2D symbol keeps its modules square.
std::string barcode_ps(const LabelLayout& layout, const std::string& data, double x, double y,
                       double w, double h) {
#ifndef STATION_BUILT_IN_LABEL
    (void)layout, (void)data, (void)x, (void)y, (void)w, (void)h;
    return "";
#else
    std::unique_ptr<zint_symbol, void (*)(zint_symbol*)> symbol(ZBarcode_Create(), ZBarcode_Delete);
    bool matrix = layout.barcode == "datamatrix";
    symbol->symbology = matrix ? BARCODE_DATAMATRIX : BARCODE_CODE128;
    symbol->show_hrt = 0;
    int failed = ZBarcode_Encode_and_Buffer_Vector(
        symbol.get(), reinterpret_cast<const unsigned char*>(data.data()),
        static_cast<int>(data.size()), 0);
    if (failed >= ZINT_ERROR || symbol->vector == nullptr) {
        return "";
    }
    const zint_vector& v = *symbol->vector;
    double sx = w / v.width, sy = h / v.height;
    if (matrix) {
        sx = sy = std::min(sx, sy);
    }
    std::string out;
    for (const zint_vector_rect* r = v.rectangles; r != nullptr; r = r->next) {
        out += number(x + r->x * sx) + " " + number(y + h - (r->y + r->height) * sy) + " " +
               number(r->width * sx) + " " + number(r->height * sy) + " rectfill\n";
    }
    return out;
#endif
}

} // namespace

std::string layout_text(const LabelLayout& layout) {
    char size[64];
    std::snprintf(size, sizeof(size), "%gx%g mm", layout.width_mm, layout.height_mm);
    return "built-in label " + std::string(size) + ", " + layout.barcode;
}

std::string label_postscript(const LabelLayout& layout, const LabelFields& fields) {
    double w = layout.width_mm * POINTS_PER_MM, h = layout.height_mm * POINTS_PER_MM;
    double margin = 2 * POINTS_PER_MM;
    double font = std::min(3.2 * POINTS_PER_MM, h / 8);
    double text_height = 2.6 * font;
    std::string out = "%!PS-Adobe-3.0\n%%BoundingBox: 0 0 " + number(w) + " " + number(h) +
                      "\n%%Pages: 1\n%%EndComments\n%%Page: 1 1\n<< /PageSize [" + number(w) + " " +
                      number(h) + "] >> setpagedevice\n0 setgray\n";
    out += barcode_ps(layout, fields.mac, margin, margin + text_height, w - 2 * margin,
                      h - 2 * margin - text_height);
    out += "/Helvetica findfont " + number(font) + " scalefont setfont\n";
    out += number(margin) + " " + number(margin + 1.4 * font) + " moveto " +
           ps_string(mac_with_colons(fields.mac)) + " show\n";
    out += number(margin) + " " + number(margin + 0.2 * font) + " moveto " +
           ps_string((fields.lot.empty() ? "" : "lot " + fields.lot + "  ") + fields.date) +
           " show\nshowpage\n%%EOF\n";
    return out;
}

bool has_built_in_label() {
#ifdef STATION_BUILT_IN_LABEL
    return true;
#else
    return false;
#endif
}
