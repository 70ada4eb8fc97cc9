// The web view's HTML, JSON and SVG.
#include "station/web/pages.h"

#include "station/base/base.h"
#include "station/file/file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <set>

namespace {

// The one writer of HTML: markup only from literals in this file, every
// other text escaped, in elements and attributes alike.
class Html {
  public:
    Html& tag(const char* markup) {
        out_ += markup;
        return *this;
    }
    Html& text(const std::string& value) {
        for (char c : value) {
            switch (c) {
            case '&':
                out_ += "&amp;";
                break;
            case '<':
                out_ += "&lt;";
                break;
            case '>':
                out_ += "&gt;";
                break;
            case '"':
                out_ += "&quot;";
                break;
            case '\'':
                out_ += "&#39;";
                break;
            case '\r': // a line's end to an event stream, whatever the page makes of it
                out_ += "&#13;";
                break;
            default:
                out_ += c;
            }
        }
        return *this;
    }
    Html& number(double value, const char* format = "%.0f") {
        char digits[64];
        std::snprintf(digits, sizeof(digits), format, value);
        out_ += digits;
        return *this;
    }
    Html& fragment(const Html& other) {
        out_ += other.out_;
        return *this;
    }
    const std::string& str() const {
        return out_;
    }

  private:
    std::string out_;
};

const char STYLE[] = R"(
*{box-sizing:border-box}
body{margin:0;font:15px/1.4 system-ui,sans-serif;color:#1c1c1c;background:#f4f5f7}
header{background:#23313f;color:#fff;padding:.5em 1em;display:flex;flex-wrap:wrap;gap:.5em 1.5em;align-items:center}
header a{color:#fff;font-weight:600;text-decoration:none}
header form{display:flex;gap:.3em;flex-wrap:wrap}
input,select,button{font:inherit;max-width:100%}
main{padding:1em;max-width:1400px;margin:auto}
h1{font-size:1.3em;margin:.2em 0 .6em}
h2{font-size:1.1em;margin:.2em 0}
.fault{background:#b00020;color:#fff;padding:.6em 1em;margin-bottom:1em;border-radius:4px;overflow-wrap:anywhere}
.asof{color:#555;font-size:.9em}
.station{background:#fff;border-radius:6px;padding:.8em;margin-bottom:1em;box-shadow:0 1px 2px #0002}
.meta{color:#444;margin:.2em 0 .6em;overflow-wrap:anywhere}
.state{font-size:.8em;padding:.1em .5em;border-radius:3px;color:#fff;background:#777;vertical-align:middle}
.state.running{background:#1565c0}.state.not-responding{background:#b00020}
.fixtures{display:grid;grid-template-columns:repeat(auto-fill,minmax(210px,1fr));gap:.6em}
.fixture{border:1px solid #ccd;border-left:6px solid #999;border-radius:4px;padding:.5em;min-width:0;overflow-wrap:anywhere}
.fixture.running{border-left-color:#1565c0}.fixture.pass{border-left-color:#2e7d32}.fixture.fail{border-left-color:#c62828}
.fixture .name{font-weight:700}.fixture .port,.fixture .when{color:#555;font-size:.85em}
.fixture .status{font-weight:700}.fixture.pass .status{color:#2e7d32}.fixture.fail .status{color:#c62828}
.fixture .mac{font-family:monospace}
progress{width:100%}
.scroll{overflow-x:auto;max-width:100%}
table{border-collapse:collapse;background:#fff}
td,th{border:1px solid #ccd;padding:.25em .5em;text-align:left;vertical-align:top}
td.n{text-align:right}
svg.chart{width:100%;max-width:480px;height:auto;background:#fff;display:block;margin:.5em 0 1em}
svg .bar rect{fill:#2e7d32}svg .pareto rect{fill:#c62828}svg polyline{fill:none;stroke:#23313f;stroke-width:2}
svg text{font:12px system-ui,sans-serif;fill:#1c1c1c}
.record{background:#fff;border-radius:6px;padding:.8em;margin-bottom:1em}
dl{display:grid;grid-template-columns:max-content 1fr;gap:.1em 1em;margin:.4em 0}
dt{color:#555}dd{margin:0;overflow-wrap:anywhere;font-family:monospace}
pre.transcript{background:#111;color:#eee;padding:.6em;white-space:pre-wrap;overflow-wrap:anywhere;max-height:40em;overflow-y:auto}
)";

// A page with the header every page has.
Html page_start(const std::string& title) {
    Html html;
    html.tag("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
             "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\"><title>")
        .text(title)
        .tag("</title><style>")
        .tag(STYLE)
        .tag("</style></head><body><header><a href=\"/\">Line</a><a href=\"/yield\">Yield</a>"
             "<form action=\"/board\" method=\"get\" role=\"search\">"
             "<input name=\"mac\" id=\"search\" placeholder=\"MAC\" aria-label=\"MAC\" size=\"17\">"
             "<button>Find</button></form></header><main>");
    return html;
}

std::string page_end(bool live) {
    return std::string("</main>") + (live ? "<script src=\"/line.js\"></script>" : "") +
           "</body></html>\n";
}

std::string page(const std::string& title, const Html& body, bool live = false) {
    return page_start(title).fragment(body).str() + page_end(live);
}

std::string percent_text(double value) {
    char digits[32];
    std::snprintf(digits, sizeof(digits), "%.1f%%", value);
    return digits;
}

std::string state_class(const std::string& state) {
    std::string name = state;
    std::replace(name.begin(), name.end(), ' ', '-');
    return name;
}

// As the station's own screen shows it.
int percent_of(const FixtureNow& f) {
    return BoardProgress{f.record.stage, f.frames, f.total}.percent(f.record.outcome ==
                                                                    Outcome::passed);
}

// What a fixture's board is: running, PASS or FAIL (with its outcome when
// it is not a plain failure).
// A board's label as its card says it.
std::string label_said(const std::string& event) {
    return event == "mismatch"    ? "label read back wrong"
           : event == "reprinted" ? "label printed again"
                                  : "label " + event;
}

std::string board_status(const Record& r) {
    switch (r.outcome) {
    case Outcome::started:
        return "running";
    case Outcome::passed:
        return "PASS";
    case Outcome::failed:
        return "FAIL";
    default:
        return std::string("FAIL (") + text_of(r.outcome) + ")";
    }
}

void fixture_card(Html& html, const FixtureNow& f) {
    const Record& r = f.record;
    bool running = r.outcome == Outcome::started;
    const char* kind = running ? "running" : r.outcome == Outcome::passed ? "pass" : "fail";
    html.tag("<div class=\"fixture ")
        .tag(kind)
        .tag("\" data-fixture=\"")
        .text(r.fixture)
        .tag("\"><div class=\"name\">")
        .text(r.fixture)
        .tag("</div><div class=\"port\">")
        .text(r.port)
        .tag("</div><div class=\"mac\"><a href=\"/board/")
        .text(r.mac)
        .tag("\">")
        .text(r.mac)
        .tag("</a></div><div class=\"status\">");
    if (running) {
        long long percent = percent_of(f);
        html.tag("running ")
            .number(static_cast<double>(percent))
            .tag("%</div><progress max=\"100\" value=\"")
            .number(static_cast<double>(percent))
            .tag("\"></progress><div class=\"when\">started ")
            .text(local_text(r.started))
            .tag("</div>");
    } else {
        html.text(board_status(r)).tag("</div>");
        std::string why = why_not_passed(r);
        if (!why.empty()) {
            html.tag("<div class=\"why\">").text(why).tag("</div>");
        }
        if (!f.label.empty()) {
            html.tag("<div class=\"label\">").text(label_said(f.label)).tag("</div>");
        }
        html.tag("<div class=\"when\">ended ").text(local_text(r.ended)).tag("</div>");
    }
    html.tag("</div>");
}

void station_section(Html& html, const StationView& s, const std::vector<FixtureNow>& fixtures) {
    html.tag("<section class=\"station\" data-station=\"")
        .text(s.name)
        .tag("\"><h2>")
        .text(s.name)
        .tag(" <span class=\"state ")
        .text(state_class(s.state))
        .tag("\">")
        .text(s.state)
        .tag("</span></h2><p class=\"meta\">profile ")
        .text(s.profile.empty() ? "none locked" : s.profile.substr(0, 12))
        .tag(" &middot; host ")
        .text(s.host_version.empty() ? "unknown" : s.host_version)
        .tag(" &middot; <span class=\"today\">today ")
        .text(counted(s.today.boards, "board"))
        .tag(" ended, ")
        .number(static_cast<double>(s.today.passed))
        .tag(" passed, first-pass yield ")
        .text(s.today.boards == 0 ? std::string("-") : percent_text(first_pass_yield(s.today)));
    if (s.today.running > 0) {
        html.tag(", ").number(static_cast<double>(s.today.running)).tag(" running");
    }
    html.tag("</span>");
    if (!s.last_beat.empty()) {
        html.tag(" &middot; last heard ").text(local_text(s.last_beat));
    }
    if (s.kept > 0) {
        html.tag(" &middot; <a class=\"kept\" href=\"/kept\">")
            .number(static_cast<double>(s.kept))
            .tag(s.kept == 1 ? " board keeps its MAC" : " boards keep their MACs")
            .tag("</a>");
    }
    html.tag("</p><div class=\"fixtures\">");
    for (const FixtureNow& f : fixtures) {
        if (f.record.station == s.name) {
            fixture_card(html, f);
        }
    }
    html.tag("</div></section>");
}

} // namespace

LineView line_view(const LineNow& now, const std::vector<GroupCounts>& today,
                   const std::function<std::optional<long>(const Beat&)>& silence) {
    std::map<std::string, StationView> by_name;
    auto station = [&](const std::string& name) -> StationView& {
        StationView& s = by_name[name];
        s.name = name;
        s.today.group = name;
        return s;
    };
    for (const auto& [name, profile] : now.profiles) {
        station(name).profile = profile;
    }
    std::set<std::string> running;
    for (const FixtureNow& f : now.fixtures) {
        StationView& s = station(f.record.station);
        if (f.record.outcome == Outcome::started) {
            running.insert(s.name);
        }
        if (s.host_version.empty()) {
            s.host_version = f.record.host_version;
        }
    }
    for (const GroupCounts& g : today) {
        station(g.group).today = g;
    }
    for (const auto& [name, count] : now.kept) {
        station(name).kept = count;
    }
    for (auto& [name, s] : by_name) {
        s.state = running.count(name) ? "running" : "idle";
    }
    for (const Beat& b : now.beats) {
        StationView& s = station(b.station);
        s.last_beat = b.beat;
        s.host_version = b.host_version.empty() ? s.host_version : b.host_version;
        std::optional<long> quiet = silence(b);
        if (b.ended) {
            s.state = running.count(b.station) ? "not responding" : "idle";
        } else if (!quiet || *quiet > SILENT_SECONDS) {
            s.state = "not responding";
        }
    }
    LineView line;
    for (auto& [name, s] : by_name) {
        line.stations.push_back(std::move(s));
    }
    line.fixtures = now.fixtures;
    line.conflicts = now.conflicts;
    line.failover = now.failover;
    return line;
}

namespace {

// Where the page reads from, when the station file names a read_store:
// a standby, and how old what it shows is when it is behind.
Html standby_html(const ReadFrom& r) {
    Html html;
    if (!r.standby) {
        return html.tag("<div class=\"fault\" id=\"standby\">Read from the primary: no "
                        "standby of the store answered.</div>");
    }
    if (r.behind < STANDBY_BEHIND_SECONDS) {
        return html
            .tag("<div class=\"standby\" id=\"standby\">Read from a standby of the "
                 "store, ")
            .number(r.behind, "%.1f s")
            .tag(" behind the primary.</div>");
    }
    return html
        .tag("<div class=\"fault\" id=\"standby\">Read from a standby of the store that "
             "is ")
        .number(r.behind, "%.0f s")
        .tag(" behind the primary (its last commit replayed: ")
        .text(r.replayed.empty() ? "none" : local_text(r.replayed))
        .tag("): what follows is as it was then.</div>");
}

Html line_html(const LineView& line) {
    Html html;
    if (!line.store_fault.empty()) {
        html.tag("<div class=\"fault\" id=\"fault\">The store is not answering since ")
            .text(local_text(line.store_lost_since))
            .tag(": ")
            .text(line.store_fault)
            .tag(". What follows is what it last said.</div>");
    }
    if (line.read_from) {
        html.fragment(standby_html(*line.read_from));
    }
    // Claims the new primary may never have received: each such station
    // checks them again at its next command or connection.
    if (line.failover) {
        html.tag("<div class=\"fault failover\" id=\"failover\">")
            .text(failover_said(*line.failover))
            .tag(": each checks them against the new primary at its next command.</div>");
    }
    // A MAC on two boards is an alarm until a release resolves it.
    for (const Conflict& c : line.conflicts) {
        html.tag("<div class=\"fault conflict\">MAC <a href=\"/board/")
            .text(c.mac)
            .tag("\">")
            .text(c.mac)
            .tag("</a> is on two boards: ")
            .text(c.late.station + " " + c.late.fixture + " (attempt " +
                  std::to_string(c.late.attempt) + ", " + text_of(c.late.outcome) +
                  (c.claim_lost ? ", its claim lost by the store" : ", its end came late") +
                  ") and " + c.other.station + " " + c.other.fixture + " (attempt " +
                  std::to_string(c.other.attempt) + ", " + text_of(c.other.outcome) +
                  "). station release " + c.mac +
                  " --record ID --reason TEXT, for the board that gives it up, resolves it.")
            .tag("</div>");
    }
    html.tag("<p class=\"asof\">times in ").text(local_zone_name()).tag("</p>");
    if (line.stations.empty()) {
        html.tag("<p>No station has written to this store yet.</p>");
    }
    for (const StationView& s : line.stations) {
        station_section(html, s, line.fixtures);
    }
    return html;
}

} // namespace

std::string line_fragment(const LineView& line) {
    return line_html(line).str();
}

std::string line_page(const LineView& line) {
    Html body;
    body.tag("<h1>The line</h1><div id=\"line\">").fragment(line_html(line)).tag("</div>");
    return page("The line", body, true);
}

std::string line_style() {
    return STYLE;
}

const char* line_script() {
    // The line's part again, whole, at every change; the browser's event
    // stream reconnects by itself when the server comes back.
    return R"(const line = document.getElementById('line');
const events = new EventSource('/events');
events.onmessage = (e) => { line.innerHTML = e.data; line.classList.remove('offline'); };
events.onerror = () => { line.classList.add('offline'); };
)";
}

namespace {

// The frames of a board's whole run, never fewer than it acknowledged: the
// station's last word while it ran, which an ended board may never have had
// written (a run shorter than a second); a passed board's are its frames.
nlohmann::json total_frames(const FixtureNow& f) {
    const Record& r = f.record;
    if (r.outcome == Outcome::started) {
        return f.total;
    }
    if (r.outcome == Outcome::passed || f.total > 0) {
        return std::max(f.total, r.frames);
    }
    return nullptr; // not known
}

} // namespace

nlohmann::json line_json(const LineView& line) {
    nlohmann::json stations = nlohmann::json::array(), fixtures = nlohmann::json::array();
    for (const StationView& s : line.stations) {
        stations.push_back({{"station", s.name},
                            {"state", s.state},
                            {"profile", s.profile},
                            {"host_version", s.host_version},
                            {"last_beat", s.last_beat},
                            {"today",
                             {{"boards", s.today.boards},
                              {"passed", s.today.passed},
                              {"first_passed", s.today.first_passed},
                              {"running", s.today.running}}},
                            {"kept", s.kept}});
    }
    for (const FixtureNow& f : line.fixtures) {
        const Record& r = f.record;
        bool running = r.outcome == Outcome::started;
        nlohmann::json item = {
            {"station", r.station},
            {"fixture", r.fixture},
            {"port", r.port},
            {"record", r.id},
            {"mac", r.mac},
            {"lot", r.lot},
            {"started", r.started},
            {"outcome", text_of(r.outcome)},
            {"running", running},
            {"frames", running ? f.frames : r.frames},
            {"total_frames", total_frames(f)},
            {"label", f.label.empty() ? nlohmann::json(nullptr) : nlohmann::json(f.label)}};
        if (running) {
            item["percent"] = percent_of(f);
        } else {
            item["ended"] = r.ended;
            item["stage"] = text_of(r.stage);
            item["message"] = r.message;
        }
        fixtures.push_back(item);
    }
    nlohmann::json out = {{"as_of", line.as_of},
                          {"store", line.store_fault.empty() ? "answering" : "not answering"},
                          {"stations", stations},
                          {"fixtures", fixtures}};
    if (!line.store_fault.empty()) {
        out["store_fault"] = line.store_fault;
        out["store_lost_since"] = line.store_lost_since;
    }
    if (line.read_from) {
        const ReadFrom& r = *line.read_from;
        out["read_from"] = {{"server", r.standby ? "standby" : "primary"},
                            {"behind_seconds", r.behind},
                            {"replayed", r.replayed.empty() ? nlohmann::json(nullptr)
                                                            : nlohmann::json(r.replayed)}};
    }
    out["conflicts"] = conflicts_json(line.conflicts);
    if (line.failover) {
        const Failover& f = *line.failover;
        out["failover"] = {{"said", failover_said(f)},
                           {"timeline", f.timeline},
                           {"seen", f.seen},
                           {"seen_by", f.seen_by},
                           {"unchecked", f.unchecked}};
    }
    return out;
}

namespace {

void yield_form(Html& html, const YieldAsk& a) {
    html.tag("<form method=\"get\" action=\"/yield\" class=\"ask\"><label>by <select name=\"by\">");
    for (GroupBy each : groupings()) {
        const char* by = name_of(each);
        html.tag("<option").tag(a.by == by ? " selected" : "").tag(">").tag(by).tag("</option>");
    }
    html.tag("</select></label> ");
    for (const auto& [name, value] : {std::pair("since", &a.since),
                                      {"until", &a.until},
                                      {"station", &a.station},
                                      {"lot", &a.lot}}) {
        bool date = std::string(name) == "since" || std::string(name) == "until";
        html.tag("<label>")
            .tag(name)
            .tag(" <input name=\"")
            .tag(name)
            // A date as every other date of the view writes it, not as the
            // browser's locale would.
            .tag(date ? "\" size=\"10\" placeholder=\"YYYY-MM-DD\" pattern=\"[0-9]{4}-[0-9]{2}-"
                        "[0-9]{2}\" value=\""
                      : "\" size=\"10\" value=\"")
            .text(*value)
            .tag("\"></label> ");
    }
    html.tag("<button>Show</button></form>");
}

// Charts a row per item: its label and value on a line, its bar below, in
// a width that a phone shows at its own size (a desk's page shows it a
// little larger, never a screen high).
constexpr double CHART_WIDTH = 360, CHART_ROW = 38, BAR_ROOM = 300;

void chart_start(Html& html, const char* kind, const char* label, size_t rows) {
    html.tag("<svg class=\"chart ")
        .tag(kind)
        .tag("\" role=\"img\" aria-label=\"")
        .tag(label)
        .tag("\" viewBox=\"0 0 ")
        .number(CHART_WIDTH)
        .tag(" ")
        .number(static_cast<double>(rows) * CHART_ROW + 4)
        .tag("\" xmlns=\"http://www.w3.org/2000/svg\">");
}

// One row: `label` at the left (cut to leave its value room; the table
// below names it whole), `value` at the right, a bar of `share` (0 to 1)
// of the room below them.
void chart_row(Html& html, const char* kind, size_t i, std::string label, const std::string& value,
               double share) {
    const size_t room = 44 - value.size();
    if (label.size() > room) {
        size_t cut = room - 1;
        while (cut > 0 && (static_cast<unsigned char>(label[cut]) & 0xc0) == 0x80) {
            cut -= 1; // not inside a character
        }
        label = label.substr(0, cut) + "\xE2\x80\xA6";
    }
    double y = static_cast<double>(i) * CHART_ROW + 2;
    html.tag("<g class=\"")
        .tag(kind)
        .tag("\"><text class=\"label\" x=\"0\" y=\"")
        .number(y + 13)
        .tag("\">")
        .text(label)
        .tag("</text><text class=\"value\" x=\"")
        .number(CHART_WIDTH)
        .tag("\" y=\"")
        .number(y + 13)
        .tag("\" text-anchor=\"end\">")
        .text(value)
        .tag("</text><rect x=\"0\" y=\"")
        .number(y + 18)
        .tag("\" height=\"12\" width=\"")
        .number(std::max(share, 0.0) * BAR_ROOM, "%.1f")
        .tag("\"></rect></g>");
}

// First-pass yield per group as bars, 0 to 100%.
void yield_bars(Html& html, const std::vector<GroupCounts>& groups) {
    chart_start(html, "fpy", "first-pass yield", groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
        double yield = first_pass_yield(groups[i]);
        chart_row(html, "bar", i, groups[i].group.empty() ? "(none)" : groups[i].group,
                  percent_text(yield), yield / 100);
    }
    html.tag("</svg>");
}

typedef std::pair<std::pair<std::string, std::string>, Failures> Failure;

// The failures, most first, each named, with its count and the running
// share of all: the few that cause most stand out.
void pareto(Html& html, const std::vector<Failure>& failures) {
    long long total = 0;
    for (const Failure& f : failures) {
        total += f.second.count;
    }
    long long most = failures.empty() ? 1 : failures.front().second.count;
    long long so_far = 0;
    chart_start(html, "pareto-chart", "failures, most first", failures.size());
    for (size_t i = 0; i < failures.size(); ++i) {
        const auto& [key, f] = failures[i];
        so_far += f.count;
        chart_row(
            html, "pareto", i, key.first + ": " + key.second,
            std::to_string(f.count) + " \xC2\xB7 " +
                percent_text(100.0 * static_cast<double>(so_far) / static_cast<double>(total)),
            static_cast<double>(f.count) / static_cast<double>(most));
    }
    html.tag("</svg>");
}

// A value in a URL's query.
std::string query_value(const std::string& value) {
    std::string out;
    for (unsigned char c : value) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            char code[4];
            std::snprintf(code, sizeof(code), "%%%02X", c);
            out += code;
        }
    }
    return out;
}

// The downloads of the records a yield page counts.
void download_links(Html& html, const YieldAsk& a) {
    std::string query;
    for (const auto& [name, value] : {std::pair("since", &a.since),
                                      {"until", &a.until},
                                      {"station", &a.station},
                                      {"lot", &a.lot}}) {
        if (!value->empty()) {
            query += (query.empty() ? "?" : "&") + std::string(name) + "=" + query_value(*value);
        }
    }
    html.tag("<p class=\"downloads\">these records: <a href=\"/export.csv")
        .text(query)
        .tag("\">CSV</a> &middot; <a href=\"/export.jsonl")
        .text(query)
        .tag("\">JSON Lines</a></p>");
}

} // namespace

std::string yield_page(const YieldAsk& a, const Report& report) {
    Html html;
    html.tag("<h1>Yield</h1>");
    yield_form(html, a);
    html.tag("<p class=\"asof\">times in ").text(local_zone_name()).tag("</p>");
    download_links(html, a);
    if (report.groups.empty()) {
        html.tag("<p>No records in these days.</p>");
        return page("Yield", html);
    }
    html.tag("<h2>First-pass yield by ").text(a.by).tag("</h2>");
    yield_bars(html, report.groups);
    // Labels verified against boards passed, in a store that has labels.
    bool labels = std::any_of(report.groups.begin(), report.groups.end(),
                              [](const GroupCounts& g) { return g.labels_verified >= 0; });
    html.tag("<div class=\"scroll\"><table class=\"groups\"><tr><th>")
        .text(a.by)
        .tag("</th><th>boards</th><th>passed</th><th>first-pass yield</th>")
        .tag(labels ? "<th>labels verified</th>" : "")
        .tag("</tr>");
    for (const GroupCounts& g : report.groups) {
        html.tag("<tr><td>")
            .text(g.group.empty() ? std::string("(none)") : g.group)
            .tag("</td><td class=\"n\">")
            .number(static_cast<double>(g.boards))
            .tag("</td><td class=\"n\">")
            .number(static_cast<double>(g.passed))
            .tag("</td><td class=\"n\">")
            .text(percent_text(first_pass_yield(g)));
        if (labels) {
            html.tag("</td><td class=\"n labels\">")
                .text(std::to_string(g.labels_verified) + " of " + std::to_string(g.passed));
        }
        html.tag("</td></tr>");
    }
    html.tag("</table></div>");
    std::vector<Failure> failures(report.all.begin(), report.all.end());
    std::stable_sort(failures.begin(), failures.end(), [](const Failure& x, const Failure& y) {
        return x.second.count > y.second.count;
    });
    html.tag("<h2>Failures, most first</h2>");
    if (failures.empty()) {
        html.tag("<p>None.</p>");
        return page("Yield", html);
    }
    pareto(html, failures);
    html.tag("<div class=\"scroll\"><table class=\"failures\"><tr><th>#</th><th>stage</th>"
             "<th>failure</th><th>count</th><th>fixtures</th></tr>");
    for (size_t i = 0; i < failures.size(); ++i) {
        const auto& [key, f] = failures[i];
        html.tag("<tr><td class=\"n\">")
            .number(static_cast<double>(i + 1))
            .tag("</td><td>")
            .text(key.first)
            .tag("</td><td>")
            .text(key.second)
            .tag("</td><td class=\"n\">")
            .number(static_cast<double>(f.count))
            .tag("</td><td>")
            .text(joined(f.fixtures))
            .tag("</td></tr>");
    }
    html.tag("</table></div>");
    return page("Yield", html);
}

namespace {

// A record of a board's page, with its transcript.
void write_board_record(const Record& r, std::ostream& out) {
    Html html;
    html.tag("<article class=\"record\" data-record=\"")
        .text(r.id)
        .tag("\"><h2>attempt ")
        .number(r.attempt)
        .tag(": <span class=\"outcome\">")
        .text(board_status(r))
        .tag("</span> ")
        .text(local_text(r.started))
        .tag("</h2><dl>");
    std::string why = why_not_passed(r);
    std::vector<std::pair<const char*, std::string>> fields = {
        {"station", r.station},
        {"fixture", r.fixture},
        {"port", r.port + " (" + r.device + ")"},
        {"failure", why.empty() ? "none" : why},
        {"ended", r.ended.empty() ? "" : local_text(r.ended)},
        {"frames", std::to_string(r.frames)}};
    for (const ImageInfo& image : image_kinds()) {
        fields.emplace_back(image.shown, r.*image.hash);
    }
    for (const auto& [name, value] : std::vector<std::pair<const char*, std::string>>{
             {"OTP address", r.otp_address},
             {"host", r.host_version},
             {"lot", r.lot.empty() ? "none" : r.lot},
             {"operator", r.operator_name.empty() ? "none" : r.operator_name},
             {"rework", r.rework ? "yes" : "no"},
             {"round", r.round},
             {"record", r.id}}) {
        fields.emplace_back(name, value);
    }
    for (const auto& [name, value] : fields) {
        html.tag("<dt>").tag(name).tag("</dt><dd>").text(value).tag("</dd>");
    }
    out << html.tag("</dl><pre class=\"transcript\">").str();
    // The transcript a piece at a time: its page never holds it escaped.
    constexpr size_t PIECE = 64 << 10;
    for (size_t at = 0; at < r.transcript.size() && out; at += PIECE) {
        out << Html().text(r.transcript.substr(at, PIECE)).str();
    }
    out << "</pre></article>";
}

} // namespace

void write_board_page(const BoardAbout& about, const EachRecord& each, std::ostream& out) {
    const std::string& mac = about.mac;
    const std::optional<Holder>& holder = about.holder;
    const std::vector<Release>& releases = about.releases;
    Html html = page_start("Board " + mac);
    html.tag("<h1>Board <span class=\"mac\">").text(mac).tag("</span></h1>");
    bool held = holder && holder->outcome != Outcome::passed && holder->outcome != Outcome::started;
    if (held) {
        html.tag("<p class=\"holder\">")
            .text(holder->outcome == Outcome::interrupted
                      ? "held: its station ended unseen while it programmed this board"
                      : "kept, waiting for a retry")
            .tag(" (station retry --mac ")
            .text(mac)
            .tag(" on ")
            .text(holder->station)
            .tag(", fixture ")
            .text(holder->fixture)
            .tag("; station release ")
            .text(mac)
            .tag(" --reason TEXT frees it)</p>");
    } else if (!releases.empty() && !holder) {
        const Release& x = releases.back();
        html.tag("<p class=\"holder\">released by ")
            .text(x.who)
            .tag(": ")
            .text(x.reason)
            .tag("</p>");
    }
    html.tag("<p class=\"asof\">")
        .number(static_cast<double>(about.records))
        .tag(" record(s), times in ")
        .text(local_zone_name())
        .tag("</p>");
    out << html.str();
    each([&out](const Record& r) {
        if (out) {
            write_board_record(r, out);
        }
    });
    html = Html();
    for (const Release& x : releases) {
        html.tag("<p class=\"release\">released ")
            .text(local_text(x.released))
            .tag(" by ")
            .text(x.who)
            .tag(" from record ")
            .text(x.record)
            .tag(": ")
            .text(x.reason)
            .tag("</p>");
    }
    for (const LabelEvent& l : about.labels) {
        html.tag("<p class=\"label\">label ")
            .text(l.event)
            .tag(" ")
            .text(local_text(l.at))
            .tag(" on ")
            .text(l.printer + (l.job.empty() ? "" : ", job " + l.job))
            .tag(" for record ")
            .text(l.record)
            .text(l.who.empty() ? "" : ", by " + l.who)
            .text(l.reason.empty() ? "" : ": " + l.reason)
            .tag("</p>");
    }
    out << html.str() << page_end(false);
}

std::string kept_page(const std::vector<Record>& kept) {
    Html html;
    html.tag("<h1>Kept MACs</h1><p class=\"asof\">Boards that did not pass after the image that "
             "carries their MAC was begun keep it: a retry programs that board again, a release "
             "frees it. Times in ")
        .text(local_zone_name())
        .tag(".</p><table class=\"kept\"><tr><th>MAC</th><th>station</th><th>fixture</th>"
             "<th>how it ended</th><th>when</th></tr>");
    for (const Record& r : kept) {
        html.tag("<tr><td><a href=\"/board/")
            .text(r.mac)
            .tag("\">")
            .text(r.mac)
            .tag("</a></td><td>")
            .text(r.station)
            .tag("</td><td>")
            .text(r.fixture)
            .tag("</td><td>")
            .text(outcome_said(r))
            .tag("</td><td>")
            .text(local_text(r.ended.empty() ? r.started : r.ended))
            .tag("</td></tr>");
    }
    html.tag("</table>");
    if (kept.empty()) {
        html.tag("<p>No board keeps its MAC.</p>");
    }
    return page("Kept MACs", html);
}

std::string yield_refused_page(const YieldAsk& asked, const std::string& why) {
    Html html;
    html.tag("<h1>Yield</h1>");
    yield_form(html, asked);
    html.tag("<p class=\"why\">").text(why).tag("</p>");
    return page("400 Bad Request", html);
}

std::string error_page(int status, const std::string& why) {
    const char* title = status == 400   ? "400 Bad Request"
                        : status == 404 ? "404 Not Found"
                        : status == 503 ? "503 Store Not Answering"
                                        : "Error";
    Html html;
    html.tag("<h1>").tag(title).tag("</h1><p class=\"why\">").text(why).tag("</p>");
    return page(title, html);
}
