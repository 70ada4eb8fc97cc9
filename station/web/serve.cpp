// The web view's server: one watcher reads the line from the store a few
// times a second and hands each change to every open event stream; each
// page asks the store with a connection of a small pool. Nothing is ever
// written: the store is opened read-only.
#include "station/web/serve.h"

#include "station/base/base.h"
#include "station/web/pages.h"
#include "station/web/server.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <regex>
#include <set>
#include <thread>
#include <netdb.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

typedef std::chrono::steady_clock Clock;

// How often the watcher reads the line: a change reaches the browsers well
// within a second.
constexpr std::chrono::milliseconds WATCH_EVERY(250);
// An event stream with nothing new gets a comment this often, so that a
// browser that went away is noticed and its connection closed.
constexpr std::chrono::seconds STREAM_BEAT(10);
// A stream ends after this long; the browser opens it again by itself.
constexpr std::chrono::minutes STREAM_LIFETIME(10);
// Event streams at once, apart from the connections of pages: each costs a
// socket and what its browser has not taken yet.
constexpr size_t MAX_STREAMS = 512;
// A browser this far behind its stream, counting what the kernel holds
// for it, is dropped (it reconnects).
constexpr size_t STREAM_BEHIND = 64 << 10;
// Stores kept open between requests.
constexpr size_t IDLE_STORES = 4;

// The line as last read, and the streams waiting for its next change.
struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false;
    LineView line;
    std::string fragment;
};

// Whether a store failed at once (a connection its server closed), not
// after waiting on a server that does not answer: only then is a new
// connection worth the time, and the pages still say within 5 s that the
// store is lost.
bool at_once(Clock::time_point began) {
    return Clock::now() - began < std::chrono::seconds(1);
}

// Read-only connections to the store, opened when needed and kept while
// they answer.
class StorePool {
  public:
    explicit StorePool(std::string location) : location_(std::move(location)) {}

    // `again`: a connection kept from before that fails (its server
    // restarted since) is let go and the work done once more on a new one;
    // not for work that may have sent part of an answer.
    template <typename Work> void with(Work work, bool again = true) {
        bool kept = false;
        std::unique_ptr<Store> store = take(kept);
        auto began = Clock::now();
        try {
            work(*store);
        } catch (const StationError&) {
            if (!kept || !again || !at_once(began)) {
                throw;
            }
            store = open_store(location_, Schema::read_only);
            work(*store);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (idle_.size() < IDLE_STORES) {
            idle_.push_back(std::move(store));
        }
    }

  private:
    std::unique_ptr<Store> take(bool& kept) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!idle_.empty()) {
                std::unique_ptr<Store> store = std::move(idle_.back());
                idle_.pop_back();
                kept = true;
                return store;
            }
        }
        return open_store(location_, Schema::read_only);
    }

    std::string location_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<Store>> idle_;
};

// How long each station has been silent: by the watcher's own clock once it
// has watched a station's beat for the silent time (so that clocks that
// differ between machines do not matter), by the beat's time before.
class Silence {
  public:
    std::optional<long> of(const Beat& b) {
        auto now = Clock::now();
        Seen& s = seen_[b.station];
        if (s.beat.empty()) {
            s = Seen{b.beat, now, now};
        } else if (s.beat != b.beat) {
            s.beat = b.beat;
            s.changed = now;
        }
        if (now - s.first < std::chrono::seconds(SILENT_SECONDS) && s.changed == s.first) {
            time_t at = utc_seconds(b.beat);
            return at == 0 ? std::nullopt : std::optional<long>(std::time(nullptr) - at);
        }
        return std::chrono::duration_cast<std::chrono::seconds>(now - s.changed).count();
    }

  private:
    struct Seen {
        std::string beat;
        Clock::time_point first, changed;
    };
    std::map<std::string, Seen> seen_;
};

// The boards that started today, counted per station.
std::vector<GroupCounts> counted_today(Store& store) {
    Date today = local_date(utc_now());
    RecordFilter filter;
    filter.since = day_begins(today);
    filter.until = day_begins(next_day(today));
    return store.group_counts(filter, Grouping{"station", {}});
}

// Reads the line until the server stops; a store that does not answer is
// said on the page (with what it said last) and opened again.
class Watcher {
  public:
    // `awaited`: a store not made yet, which serve has said already.
    // `changed`: told each new fragment of the line as an event, under the
    // shared lock.
    // `from_standby`: `location` is the file's read_store, whose server
    // (and how far behind it is) the page says.
    Watcher(const std::string& location, bool from_standby, Shared& shared, bool awaited,
            std::function<void(const std::string&)> changed)
        : location_(location), from_standby_(from_standby), shared_(shared),
          changed_(std::move(changed)), awaited_(awaited) {}

    // One reading of the store, handed to the pages and the streams.
    void look() {
        LineView line = read();
        std::string fragment = line_fragment(line);
        std::lock_guard<std::mutex> lock(shared_.mutex);
        shared_.line = std::move(line);
        if (fragment != shared_.fragment) {
            shared_.fragment = std::move(fragment);
            changed_(event_data(shared_.fragment));
        }
    }

    // A reading every WATCH_EVERY until the server stops.
    void run() {
        std::unique_lock<std::mutex> lock(shared_.mutex);
        while (!shared_.changed.wait_for(lock, WATCH_EVERY, [&] { return shared_.stopping; })) {
            lock.unlock();
            look();
            lock.lock();
        }
    }

  private:
    // When the new connection fails too, what the kept one said is told:
    // it was first to know (a file moved away, a server restarting).
    LineView read() {
        auto began = Clock::now();
        bool kept = store_ != nullptr;
        try {
            return read_line();
        } catch (const StationError& e) {
            // A connection kept from before may have died with a server
            // that restarted: tried once more on a new one.
            store_.reset();
            if (!kept || !at_once(began)) {
                return lost(e);
            }
            try {
                return read_line();
            } catch (const StationError&) {
                return lost(e);
            }
        }
    }

    // The store does not answer: the line as it last said, and why.
    LineView lost(const StationError& e) {
        store_.reset();
        if (fault_.empty()) {
            lost_since_ = utc_now();
            if (!awaited_) {
                say_on_stderr(e.message);
            }
        }
        fault_ = e.message;
        LineView line = last_;
        line.store_fault = fault_;
        line.store_lost_since = lost_since_;
        return line;
    }

    LineView read_line() {
        if (!store_) {
            store_ = open_store(location_, Schema::read_only);
        }
        LineNow now = store_->line_now();
        // Counted again when a board started or ended, or a day began.
        std::string seen = local_date_text();
        for (const FixtureNow& f : now.fixtures) {
            seen += f.record.id + text_of(f.record.outcome);
        }
        if (seen != counted_for_) {
            today_ = counted_today(*store_);
            counted_for_ = seen;
        }
        LineView line = line_view(now, today_, [this](const Beat& b) { return silence_.of(b); });
        line.as_of = utc_now();
        if (from_standby_) {
            line.read_from = held_behind(store_->read_from());
        }
        if (!fault_.empty()) {
            say_on_stderr("the store " + shown_location(location_) +
                          (awaited_ ? " is made; serving it" : " answers again"));
            fault_.clear();
        }
        awaited_ = false;
        last_ = line;
        return line;
    }

    // A standby of an idle primary is behind for a moment whenever a record
    // of the primary's own (a checkpoint's) arrives, and its last commit may
    // be long ago: it is said behind only once it stays so for a second.
    std::optional<ReadFrom> held_behind(std::optional<ReadFrom> r) {
        if (!r || r->behind <= 0) {
            behind_since_.reset();
            return r;
        }
        auto now = Clock::now();
        if (!behind_since_) {
            behind_since_ = now;
        }
        if (now - *behind_since_ < std::chrono::seconds(1)) {
            r->behind = 0;
        }
        return r;
    }

    static std::string local_date_text() {
        return date_text(local_date(utc_now()));
    }

    std::string location_;
    bool from_standby_;
    std::optional<Clock::time_point> behind_since_; // of the standby, without a break
    Shared& shared_;
    std::function<void(const std::string&)> changed_;
    std::unique_ptr<Store> store_;
    Silence silence_;
    std::vector<GroupCounts> today_;
    std::string counted_for_;
    LineView last_;
    std::string fault_, lost_since_;
    bool awaited_;
};

// A request's fault: the page says why, with its status.
struct Refused {
    int status;
    std::string why;
};

// The query's parameters, each one a route knows, each at most once.
std::map<std::string, std::string> parameters(const HttpRequest& request,
                                              const std::set<std::string>& known) {
    std::map<std::string, std::string> given;
    for (const auto& [name, value] : request.query) {
        if (!known.count(name)) {
            throw Refused{400, "unknown parameter \"" + name + "\""};
        }
        if (!given.emplace(name, value).second) {
            throw Refused{400, "parameter \"" + name + "\" given twice"};
        }
    }
    return given;
}

// Whether HH:MM:SS is a time of a day: 00:00:00 to 23:59:59.
bool clock_time(const std::string& text) {
    int hours = std::stoi(text.substr(0, 2)), minutes = std::stoi(text.substr(3, 2));
    return hours < 24 && minutes < 60 && std::stoi(text.substr(6, 2)) < 60;
}

// A bound of the records' start: a local date (YYYY-MM-DD), or for the
// API a UTC time as the records write it (2026-12-08T01:23:45.678Z,
// fraction optional). `end`: the bound is the day's end.
std::string time_bound(const std::string& name, const std::string& value, bool end,
                       bool utc_allowed) {
    if (std::optional<Date> date = date_named(value)) {
        return day_begins(end ? next_day(*date) : *date);
    }
    static const std::regex utc(
        R"(([0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2})(\.[0-9]{1,3})?Z)");
    std::smatch parts;
    if (utc_allowed && std::regex_match(value, parts, utc) && date_named(value.substr(0, 10)) &&
        clock_time(value.substr(11, 8))) {
        std::string fraction = parts[2].matched ? parts[2].str().substr(1) : "";
        return parts[1].str() + "." + fraction + std::string(3 - fraction.size(), '0') + "Z";
    }
    throw Refused{400, name + " \"" + value + "\" is not a date (YYYY-MM-DD)" +
                           (utc_allowed ? " or a UTC time (YYYY-MM-DDTHH:MM:SSZ)" : "")};
}

std::string checked_name(const std::string& name, const std::string& value) {
    if (!is_name(value)) {
        throw Refused{400, name + " \"" + value + "\": " + NAME_RULE};
    }
    return value;
}

std::string checked_board(const std::string& value) {
    std::string mac = checked_mac(value);
    if (mac.empty()) {
        throw Refused{400, "\"" + value + "\" is not a MAC: " + MAC_FORMS};
    }
    return mac;
}

// The records' filter of a download or the API.
RecordFilter records_asked(const HttpRequest& request, bool utc_allowed) {
    auto given = parameters(request, {"since", "until", "station", "lot", "mac"});
    RecordFilter filter;
    for (const auto& [name, value] : given) {
        if (name == "since" || name == "until") {
            (name == "since" ? filter.since : filter.until) =
                time_bound(name, value, name == "until", utc_allowed);
        } else if (name == "mac") {
            filter.mac = checked_board(value);
        } else {
            (name == "station" ? filter.station : filter.lot) = checked_name(name, value);
        }
    }
    if (!filter.since.empty() && !filter.until.empty() && filter.until <= filter.since) {
        throw Refused{400, "until comes before since"};
    }
    return filter;
}

const std::set<std::string> YIELD_PARAMETERS = {"by", "since", "until", "station", "lot"};

// The yield's parameters as given, unchecked: for the form of a refusal.
YieldAsk as_given(const HttpRequest& request) {
    YieldAsk a;
    for (const auto& [name, value] : request.query) {
        if (!value.empty() && YIELD_PARAMETERS.count(name)) {
            (name == "by"        ? a.by
             : name == "since"   ? a.since
             : name == "until"   ? a.until
             : name == "station" ? a.station
                                 : a.lot) = value;
        }
    }
    return a;
}

YieldAsk yield_asked(const HttpRequest& request, const StationFile& file) {
    parameters(request, YIELD_PARAMETERS);
    YieldAsk a = as_given(request);
    std::string fault = grouping_fault(a.by, !file.shifts.empty(), file.path);
    if (!fault.empty()) {
        throw Refused{400, group_by_named(a.by) ? "by " + a.by + ": " + fault
                                                : "by \"" + a.by + "\": " + fault};
    }
    if (a.since.empty() && a.until.empty()) {
        // The last seven days, today's included: a year at once is the
        // report's work.
        Date today = local_date(utc_now()), from = today;
        for (int i = 0; i < 6; ++i) {
            from = day_before(from);
        }
        a.since = date_text(from);
        a.until = date_text(today);
    }
    a.ask.by = *group_by_named(a.by);
    a.ask.shifts = file.shifts;
    a.ask.filter.since = a.since.empty() ? "" : time_bound("since", a.since, false, false);
    a.ask.filter.until = a.until.empty() ? "" : time_bound("until", a.until, true, false);
    if (!a.ask.filter.since.empty() && !a.ask.filter.until.empty() &&
        a.ask.filter.until <= a.ask.filter.since) {
        throw Refused{400, "until comes before since"};
    }
    a.ask.filter.station = a.station.empty() ? "" : checked_name("station", a.station);
    a.ask.filter.lot = a.lot.empty() ? "" : checked_name("lot", a.lot);
    return a;
}

// Writes a download to the client in pieces as the store reads it; a
// client that went away fails the stream, which ends the export.
class PipeBuffer : public std::streambuf {
  public:
    explicit PipeBuffer(Pipe& pipe) : pipe_(pipe) {
        setp(buffer_, buffer_ + sizeof(buffer_));
    }
    ~PipeBuffer() override {
        sync();
    }

  protected:
    int overflow(int c) override {
        if (sync() != 0) {
            return traits_type::eof();
        }
        if (c != traits_type::eof()) {
            *pptr() = static_cast<char>(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override {
        size_t n = static_cast<size_t>(pptr() - pbase());
        setp(buffer_, buffer_ + sizeof(buffer_));
        return n == 0 || pipe_.put(std::string(buffer_, n), true) ? 0 : -1;
    }

  private:
    Pipe& pipe_;
    char buffer_[64 * 1024];
};

// The one style sheet's hash, for the policy that allows no other.
std::string content_policy() {
    std::string style = line_style();
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(style.data()), style.size(), digest);
    unsigned char encoded[64];
    EVP_EncodeBlock(encoded, digest, SHA256_DIGEST_LENGTH);
    return "default-src 'none'; script-src 'self'; connect-src 'self'; img-src 'self'; "
           "style-src 'sha256-" +
           std::string(reinterpret_cast<char*>(encoded)) +
           "'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'";
}

HttpAnswer page_answer(const std::string& html, int status = 200) {
    HttpAnswer a;
    a.status = status;
    a.body = html;
    return a;
}

HttpAnswer refusal(int status, const std::string& why) {
    return page_answer(error_page(status, why), status);
}

// The open event streams, each sent every change of the line.
class Streams {
  public:
    // A new stream for `client`, sent `first`. With MAX_STREAMS open, the
    // oldest of the address that holds the most ends to make room (its
    // browser comes back by itself), unless that is this client's address:
    // no address keeps the others' browsers out. None then.
    std::shared_ptr<Pipe> open(const std::string& first, const std::string& client) {
        std::lock_guard<std::mutex> lock(mutex_);
        prune(Clock::now());
        if (open_.size() >= MAX_STREAMS && !made_room(client)) {
            return nullptr;
        }
        open_.push_back({std::make_shared<Pipe>(STREAM_BEHIND, true), Clock::now(), client});
        open_.back().pipe->put(first, false);
        return open_.back().pipe;
    }

    void send(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        prune(Clock::now());
        for (Open& o : open_) {
            o.pipe->put(event, false);
        }
    }

    // Ends the streams, whose browsers open them again by themselves.
    void end() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (Open& o : open_) {
            o.pipe->close_answer();
        }
        open_.clear();
    }

  private:
    struct Open {
        std::shared_ptr<Pipe> pipe;
        Clock::time_point since;
        std::string client;
    };

    // Ends the oldest stream of the address with the most, when it holds
    // more than `client` would with one more.
    bool made_room(const std::string& client) {
        std::map<std::string, size_t> held;
        for (const Open& o : open_) {
            ++held[o.client];
        }
        auto most = std::max_element(held.begin(), held.end(), [](const auto& a, const auto& b) {
            return a.second < b.second;
        });
        if (most == held.end() || most->second <= held[client] + 1) {
            return false;
        }
        // open_ is in the order the streams opened.
        auto oldest = std::find_if(open_.begin(), open_.end(),
                                   [&](const Open& o) { return o.client == most->first; });
        oldest->pipe->close_answer();
        open_.erase(oldest);
        return true;
    }

    // Lets go of the streams whose browsers left or fell behind, and ends
    // those open for STREAM_LIFETIME.
    void prune(Clock::time_point now) {
        for (Open& o : open_) {
            if (now - o.since > STREAM_LIFETIME) {
                o.pipe->close_answer();
            }
        }
        auto ended = [](Open& o) {
            if (o.pipe->flowing()) {
                return false;
            }
            // One whose client fell behind is said, with its address.
            std::string why = o.pipe->dropped();
            if (!why.empty()) {
                say_on_stderr(why);
            }
            return true;
        };
        open_.erase(std::remove_if(open_.begin(), open_.end(), ended), open_.end());
    }

    std::mutex mutex_;
    std::vector<Open> open_;
};

class Server {
  public:
    Server(const StationFile& file, const HttpLimits& limits)
        : file_(file), pool_(file.reads_from()),
          server_(limits, refusal,
                  {{"Content-Security-Policy", content_policy()},
                   {"X-Content-Type-Options", "nosniff"},
                   {"Referrer-Policy", "no-referrer"},
                   {"Cache-Control", "no-store"}}) {}

    void wire() {
        page("/", HttpServer::Work::at_once, [this](const HttpRequest& req) {
            parameters(req, {});
            std::lock_guard<std::mutex> lock(shared_.mutex);
            return page_answer(line_page(shared_.line));
        });
        server_.route("/line.js", HttpServer::Work::at_once, [](const HttpRequest&) {
            HttpAnswer a;
            a.type = "text/javascript; charset=utf-8";
            a.body = line_script();
            return a;
        });
        page("/api/line", HttpServer::Work::at_once, [this](const HttpRequest& req) {
            parameters(req, {});
            std::lock_guard<std::mutex> lock(shared_.mutex);
            HttpAnswer a;
            a.type = "application/json";
            a.body = line_json(shared_.line)
                         .dump(2, ' ', false, nlohmann::json::error_handler_t::replace) +
                     "\n";
            return a;
        });
        page("/events", HttpServer::Work::at_once, [this](const HttpRequest& req) {
            parameters(req, {});
            return stream_events(req.client);
        });
        page("/yield", HttpServer::Work::page, [this](const HttpRequest& req) {
            YieldAsk asked;
            try {
                asked = yield_asked(req, file_);
            } catch (const Refused& r) {
                // The form keeps what was asked, to be mended.
                return page_answer(yield_refused_page(as_given(req), r.why), r.status);
            }
            HttpAnswer a;
            pool_.with([&](Store& store) {
                a = page_answer(yield_page(asked, count_report(store, asked.ask)));
            });
            return a;
        });
        page("/board", HttpServer::Work::at_once, [](const HttpRequest& req) {
            auto given = parameters(req, {"mac"});
            HttpAnswer a;
            a.status = 303;
            a.headers.emplace_back("Location", "/board/" + checked_board(given["mac"]));
            return a;
        });
        page("/board/", HttpServer::Work::download, [this](const HttpRequest& req) {
            parameters(req, {});
            std::string mac = checked_board(req.path.substr(std::strlen("/board/")));
            BoardAbout about;
            about.mac = mac;
            pool_.with([&](Store& store) {
                RecordFilter filter;
                filter.mac = mac;
                about.records = store.records(filter).size();
                if (about.records == 0) {
                    throw Refused{404, "no records of MAC " + mac};
                }
                about.releases = store.releases(mac);
                about.labels = store.labels_of(mac);
                about.holder = store.holder_of(mac);
            });
            return stream_board(about);
        });
        page("/kept", HttpServer::Work::page, [this](const HttpRequest& req) {
            parameters(req, {});
            HttpAnswer a;
            pool_.with([&](Store& store) { a = page_answer(kept_page(store.kept_macs())); });
            return a;
        });
        for (const auto& [path, format, type] :
             {std::tuple("/export.csv", ExportFormat::csv, "text/csv; charset=utf-8"),
              {"/export.jsonl", ExportFormat::jsonl, "application/x-ndjson"},
              {"/api/records", ExportFormat::jsonl, "application/x-ndjson"}}) {
            bool download = std::string(path) != "/api/records";
            const char* content_type = type;
            ExportFormat chosen = format;
            page(path, HttpServer::Work::download,
                 [this, download, content_type, chosen](const HttpRequest& req) {
                     RecordFilter filter = records_asked(req, !download);
                     HttpAnswer a = stream_records(filter, chosen, content_type);
                     if (download) {
                         a.headers.emplace_back(
                             "Content-Disposition",
                             std::string("attachment; filename=\"records.") +
                                 (chosen == ExportFormat::csv ? "csv" : "jsonl") + "\"");
                     }
                     return a;
                 });
        }
    }

    // Serves on `listening` until a signal; the streams are ended and the
    // workers given a moment, then the process ends whatever a store that
    // does not answer still holds.
    void run(int listening, const sigset_t& signals, bool awaited) {
        // The first reading before the first request is taken (the port
        // already listens, so a client waits for it): no page tells of a
        // line with nothing on it because the store was not yet read.
        Watcher watching(file_.reads_from(), !file_.read_store.empty(), shared_, awaited,
                         [this](const std::string& event) { streams_.send(event); });
        watching.look();
        auto watched = std::async(std::launch::async, [&watching] { watching.run(); });
        std::thread beater([this] { beat(); });
        server_.start(listening);
        int signal = 0;
        sigwait(&signals, &signal);
        {
            std::lock_guard<std::mutex> lock(shared_.mutex);
            shared_.stopping = true;
            shared_.changed.notify_all();
        }
        streams_.end();
        // A worker or the watcher that waits on a store that does not
        // answer is not waited for.
        bool ended = server_.stop(std::chrono::milliseconds(600)) &&
                     watched.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
        std::cout.flush();
        if (!ended) {
            _exit(0);
        }
        beater.join();
    }

  private:
    // A route whose faults become pages: a request that is not one (400,
    // 404), a store that does not answer (503).
    template <typename Handler>
    void page(const char* path, HttpServer::Work work, Handler handler) {
        server_.route(path, work, [handler](const HttpRequest& req) {
            try {
                return handler(req);
            } catch (const Refused& r) {
                return refusal(r.status, r.why);
            } catch (const StationError& e) {
                return refusal(503, e.message);
            }
        });
    }

    HttpAnswer stream_events(const std::string& client) {
        HttpAnswer a;
        a.type = "text/event-stream";
        std::lock_guard<std::mutex> lock(shared_.mutex);
        a.pipe = streams_.open("retry: 1000\n" + event_data(shared_.fragment), client);
        if (!a.pipe) {
            // A browser's event stream gives up on any status but 200; told
            // to come back later, it reconnects by itself.
            a.body = "retry: 10000\n\n";
        }
        return a;
    }

    // A comment on every stream now and then, so that a browser that went
    // away is noticed and its connection closed.
    void beat() {
        std::unique_lock<std::mutex> lock(shared_.mutex);
        while (!shared_.changed.wait_for(lock, STREAM_BEAT, [&] { return shared_.stopping; })) {
            lock.unlock();
            streams_.send(": still here\n\n");
            lock.lock();
        }
    }

    // A board's page, its records with their transcripts read one at a
    // time as the client takes them.
    HttpAnswer stream_board(const BoardAbout& about) {
        return streamed("text/html; charset=utf-8", [about](Store& store, std::ostream& out) {
            RecordFilter filter;
            filter.mac = about.mac;
            filter.with_transcripts = true;
            write_board_page(
                about, [&](const RecordTaker& take) { store.each_record(filter, take); }, out);
        });
    }

    HttpAnswer stream_records(const RecordFilter& filter, ExportFormat format, const char* type) {
        // The store is asked once before the answer begins, so that a store
        // that does not answer is a 503 page, not a cut-off download.
        pool_.with([](Store& store) { store.last_round(""); });
        return streamed(type, [filter, format](Store& store, std::ostream& out) {
            export_records(store, filter, format, out);
        });
    }

    // An answer that `write` writes from the store on a download worker, as
    // the client takes it.
    HttpAnswer streamed(const char* type, std::function<void(Store&, std::ostream&)> write) {
        HttpAnswer a;
        a.type = type;
        a.writer = [this, write](Pipe& pipe) {
            try {
                pool_.with(
                    [&](Store& store) {
                        PipeBuffer buffer(pipe);
                        std::ostream out(&buffer);
                        write(store, out);
                    },
                    false);
            } catch (const StationError&) {
                pipe.close_answer(false); // the client left, or the store stopped answering
            }
        };
        return a;
    }

    const StationFile& file_;
    StorePool pool_;
    Shared shared_;
    Streams streams_;
    HttpServer server_;
};

// A socket listening on `where`, or a StationError that says why not.
int listening_socket(const ListenAddress& where, int& port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    std::string service = std::to_string(where.port);
    int fd = -1;
    if (getaddrinfo(where.host.c_str(), service.c_str(), &hints, &found) == 0) {
        for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
            fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            int yes = 1;
            // Only this server on its port: no SO_REUSEPORT.
            if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes)) != 0 ||
                            bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 1024) != 0)) {
                close(fd);
                fd = -1;
            }
        }
        freeaddrinfo(found);
    }
    sockaddr_storage bound{};
    socklen_t size = sizeof(bound);
    if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) != 0) {
        throw StationError{"cannot listen on " + where.host + ":" + std::to_string(where.port) +
                           " (in use, or not an address of this machine)"};
    }
    port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                             : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    return fd;
}

// The connections served at once: each is a descriptor, so as many as the
// process may open, raised to its hard limit, leaves for the store's and
// its own.
size_t allowed_connections(size_t wanted) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) {
        return wanted;
    }
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 1 << 16);
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    constexpr rlim_t OWN_FILES = 64;
    return files.rlim_cur == RLIM_INFINITY || files.rlim_cur > wanted + OWN_FILES
               ? wanted
               : static_cast<size_t>(std::max<rlim_t>(files.rlim_cur, 2 * OWN_FILES) - OWN_FILES);
}

} // namespace

ListenAddress listen_address(const std::string& text) {
    static const std::regex form(R"((\[[0-9A-Fa-f:.]+\]|[^:\[\]]+):([0-9]{1,5}))");
    std::smatch parts;
    if (!std::regex_match(text, parts, form) || std::stoi(parts[2]) > 65535) {
        throw StationError{"--listen " + text + ": ADDR:PORT, as 127.0.0.1:8080 or [::1]:8080"};
    }
    std::string host = parts[1];
    if (host.front() == '[') {
        host = host.substr(1, host.size() - 2);
    }
    return {host, std::stoi(parts[2])};
}

std::string event_data(const std::string& text) {
    // A CR, an LF or both end a line of an event stream: each line its own
    // "data:" field, which the browser joins with LFs.
    std::string event;
    size_t from = 0;
    for (;;) {
        size_t end = text.find_first_of("\r\n", from);
        event += "data: " + text.substr(from, end - from) + "\n";
        if (end == std::string::npos) {
            return event + "\n";
        }
        from = end + (text.compare(end, 2, "\r\n") == 0 ? 2 : 1);
    }
}

int serve(const StationFile& file, const ListenAddress& where) {
    // A SQLite store not made yet (the service started before the first
    // station) is waited for, the pages saying so; one that cannot be read
    // at all (another schema, a server that refuses) is refused at once,
    // rather than served as a page that says so.
    bool awaited = !file.store_on_server && !std::filesystem::exists(file.store);
    if (awaited) {
        say_on_stderr("the store " + file.store +
                      " is not made yet; serving, the pages saying so until it is");
    } else {
        open_store(file.reads_from(), Schema::read_only);
    }
    // Taken by sigwait alone: blocked before any thread starts.
    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&signals, s);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    HttpLimits limits;
    limits.connections = allowed_connections(limits.connections);
    int port = 0;
    int listening = listening_socket(where, port);
    Server server(file, limits);
    server.wire();
    std::string host =
        where.host.find(':') != std::string::npos ? "[" + where.host + "]" : where.host;
    std::cout << "station: serving the store " << shown_location(file.reads_from()) << " at http://"
              << host << ":" << port << "/" << std::endl;
    server.run(listening, signals, awaited);
    return 0;
}
