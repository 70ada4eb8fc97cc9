#include "station/line/labels.h"

#include "station/base/base.h"

#include <cerrno>
#include <cups/cups.h>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

typedef std::chrono::steady_clock Clock;

// What one label may take to reach its printer.
constexpr std::chrono::seconds PRINT_WITHIN(5);
// After the last byte, how long a printer that keeps the connection open is
// given to close it or reset it.
constexpr std::chrono::milliseconds SETTLING(500);

// Waits for `events` on `fd` until `deadline`: false when the time is up.
bool wait_for(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd p{fd, events, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

std::string socket_fault(int fd) {
    int error = 0;
    socklen_t size = sizeof(error);
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
    return error == 0 ? "" : std::strerror(error);
}

// A connection to the printer, or why none: each of its addresses in turn.
int connect_to(const std::string& host, int port, Clock::time_point deadline, std::string& why) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int failed = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (failed != 0) {
        why = std::string("cannot find ") + host + ": " + gai_strerror(failed);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
            why = std::strerror(errno);
        } else if (!wait_for(fd, POLLOUT, deadline)) {
            why = "no answer in " + std::to_string(PRINT_WITHIN.count()) + " s";
        } else {
            why = socket_fault(fd);
        }
        if (!why.empty()) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    return fd;
}

std::string send_all(int fd, const std::string& bytes, Clock::time_point deadline) {
    for (size_t sent = 0; sent < bytes.size();) {
        if (!wait_for(fd, POLLOUT, deadline)) {
            return "the printer took " + std::to_string(sent) + " of " +
                   std::to_string(bytes.size()) + " bytes in " +
                   std::to_string(PRINT_WITHIN.count()) + " s";
        }
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return std::strerror(errno);
        }
        sent += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return "";
}

// After the job: the printer closes (done), stays quiet (done), or resets
// the connection (not known to be printed: tried again).
std::string settled(int fd, Clock::time_point deadline) {
    shutdown(fd, SHUT_WR);
    auto until = std::min(deadline, Clock::now() + SETTLING);
    char ignored[512];
    while (wait_for(fd, POLLIN, until)) {
        ssize_t n = recv(fd, ignored, sizeof(ignored), 0);
        if (n == 0) {
            return "";
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return std::strerror(errno);
        }
    }
    return "";
}

// Sends `bytes` to the raw printer at host:port (a label printer's port
// 9100) within `within`: "" once it took them all and closed or went quiet.
std::string print_raw(const std::string& host, int port, const std::string& bytes,
                      std::chrono::milliseconds within) {
    auto deadline = Clock::now() + within;
    std::string why;
    int fd = connect_to(host, port, deadline, why);
    if (fd < 0) {
        return why;
    }
    why = send_all(fd, bytes, deadline);
    if (why.empty()) {
        why = settled(fd, deadline);
    }
    close(fd);
    return why;
}

std::string cups_fault(const char* what) {
    return std::string(what) + ": " + cupsLastErrorString();
}

// Sends a document to a CUPS queue: raw (the printer's own language), or
// PostScript that CUPS makes the printer's. `job` gets the queue's id.
std::string print_cups(const std::string& queue, const std::string& bytes, bool raw,
                       const std::string& title, std::string& job) {
    std::unique_ptr<http_t, void (*)(http_t*)> http(
        httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                     static_cast<int>(std::chrono::milliseconds(PRINT_WITHIN).count()), nullptr),
        httpClose);
    if (!http) {
        return std::string("cannot reach CUPS at ") + cupsServer() + ": " + std::strerror(errno);
    }
    httpSetTimeout(http.get(), static_cast<double>(PRINT_WITHIN.count()), nullptr, nullptr);
    cups_option_t* options = nullptr;
    int count = raw ? cupsAddOption("raw", "true", 0, &options) : 0;
    int id = cupsCreateJob(http.get(), queue.c_str(), title.c_str(), count, options);
    cupsFreeOptions(count, options);
    if (id == 0) {
        return cups_fault(("queue " + queue).c_str());
    }
    if (cupsStartDocument(http.get(), queue.c_str(), id, title.c_str(),
                          raw ? CUPS_FORMAT_RAW : CUPS_FORMAT_POSTSCRIPT,
                          1) != HTTP_STATUS_CONTINUE ||
        cupsWriteRequestData(http.get(), bytes.data(), bytes.size()) != HTTP_STATUS_CONTINUE ||
        cupsFinishDocument(http.get(), queue.c_str()) > IPP_STATUS_OK_CONFLICTING) {
        return cups_fault(("queue " + queue).c_str());
    }
    job = queue + "-" + std::to_string(id);
    return "";
}

} // namespace

LabelFields label_fields(const Record& r) {
    return {r.mac, r.lot, r.station, r.fixture, date_text(local_date(r.ended)), r.id};
}

std::string print_label(const LabelPlan& plan, const std::string& label, const LabelFields& fields,
                        std::string& job) {
    if (plan.queue.empty()) {
        std::string why =
            print_raw(plan.host, plan.port, filled_label(label, fields), PRINT_WITHIN);
        job = why.empty() ? "raw-" + new_uuid().substr(0, 8) : "";
        return why;
    }
    std::string bytes =
        plan.builtin ? label_postscript(plan.layout, fields) : filled_label(label, fields);
    return print_cups(plan.queue, bytes, !plan.builtin, "label " + fields.mac, job);
}

struct Job {
    std::string fixture;
    LabelFields fields;
    std::string again; // why it is printed again; empty: its first print
    bool said = false; // its first failure was told
};

struct Labeler::State {
    LabelPlan plan;
    std::string label;
    std::mutex mutex;
    std::condition_variable wake, idle;
    Worker<Job> printer;
    std::deque<Job>& queue = printer.queue;
    std::vector<Job> waiting; // not taken by the printer: tried again at `retry_at`
    Clock::time_point retry_at;
    bool finishing = false, stopping = false;
    Post post;

    // With the mutex held.
    void tell(Result r) {
        post(std::move(r));
    }

    Result result(const Job& job, const std::string& why, const std::string& job_id = "") const {
        LabelEvent e{job.fields.record,
                     job.fields.mac,
                     !why.empty()        ? "not printed"
                     : job.again.empty() ? "printed"
                                         : "reprinted",
                     utc_now(),
                     plan.printer,
                     "",
                     "",
                     why.empty() ? job.again : why};
        e.job = job_id;
        return {job.fixture, e, why, finishing && !why.empty()};
    }

    // The printer's worker: a label at a time; the labels that wait are
    // tried again at their time, or with the next label (the printer may be
    // back), before it, in the order their boards passed.
    void work() {
        std::unique_lock<std::mutex> lock(mutex);
        Worker<Job>::serve(lock, wake, *this);
    }
    bool ready() const {
        return stopping || !queue.empty();
    }
    std::optional<Clock::time_point> due() const {
        return waiting.empty() ? std::nullopt : std::optional<Clock::time_point>(retry_at);
    }
    void fall_due(std::unique_lock<std::mutex>&) {
        queue.insert(queue.begin(), waiting.begin(), waiting.end());
        waiting.clear();
    }
    bool take_one(std::unique_lock<std::mutex>& lock) {
        if (stopping) {
            return false;
        }
        fall_due(lock);
        printer.doing = std::move(queue.front());
        queue.pop_front();
        Job job = *printer.doing;
        lock.unlock();
        std::string printed_as;
        std::string why = print_label(plan, label, job.fields, printed_as);
        lock.lock();
        printer.doing.reset();
        printed(std::move(job), why, printed_as);
        idle.notify_all();
        return true;
    }

    // With the mutex held: a label the printer did not take is told once
    // and waits for its next try; at the round's end it is told as not
    // printed.
    void printed(Job job, const std::string& why, const std::string& printed_as) {
        if (why.empty() || finishing) {
            tell(result(job, why, printed_as));
            if (!why.empty()) {
                // The round ends: the printer is not tried once per label.
                for (const Job& left : queue) {
                    tell(result(left, why));
                }
                queue.clear();
            }
            return;
        }
        // The printer is off: the labels behind this one wait with it,
        // each said once.
        std::deque<Job> off = std::move(queue);
        queue.clear();
        off.push_front(std::move(job));
        for (Job& j : off) {
            if (!j.said) {
                j.said = true;
                tell(result(j, why));
            }
            waiting.push_back(std::move(j));
        }
        retry_at = Clock::now() + RETRY;
    }
};

Labeler::Labeler(const LabelPlan& plan, std::string label, Post post)
    : state_(std::make_shared<State>()) {
    state_->plan = plan;
    state_->post = std::move(post);
    state_->label = std::move(label);
    state_->printer.thread = std::thread([s = state_] { s->work(); });
}

Labeler::~Labeler() {
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    // A printer that holds the thread holds it at most PRINT_WITHIN.
    state_->printer.thread.join();
}

void Labeler::print(const std::string& fixture, const LabelFields& fields,
                    const std::string& again) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->queue.push_back(Job{fixture, fields, again, false});
    state_->wake.notify_all();
}

void Labeler::finish(std::chrono::milliseconds within) {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    s.finishing = true;
    s.queue.insert(s.queue.begin(), s.waiting.begin(), s.waiting.end());
    s.waiting.clear();
    s.wake.notify_all();
    s.printer.drain(lock, s.idle, Clock::now() + within);
    for (const Job& job : s.queue) {
        s.tell(s.result(job, "the round ended before the printer took it"));
    }
    s.queue.clear();
}
