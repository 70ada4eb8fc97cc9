#include "station/base/label.h"

#include "station/base/macs.h"

#include <functional>
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
