#include "station/web/server.h"

#include <arpa/inet.h>
#include <linux/sockios.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

namespace {

// What a download may have waiting unsent before its writer waits for the
// client, and how long it waits for the client to take some.
constexpr size_t DOWNLOAD_BOUND = 256 << 10;
constexpr std::chrono::seconds CLIENT_TAKES(30);
// What MHD hands a content reader at once.
constexpr size_t PIECE = 16 << 10;
// The send buffer of a connection whose writer never waits (the kernel
// doubles it for its books).
constexpr int STREAM_SEND_BUFFER = 16 << 10;

// The connection's client's address, as text.
std::string client_address(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    const sockaddr* address = info != nullptr ? info->client_addr : nullptr;
    char text[INET6_ADDRSTRLEN] = "?";
    if (address != nullptr && address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                  sizeof(text));
    } else if (address != nullptr && address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                  sizeof(text));
    }
    return text;
}

} // namespace

// A few threads that run what may wait, in turn.
class HttpServer::Workers {
  public:
    Workers(unsigned count, size_t most) : most_(most) {
        for (unsigned i = 0; i < count; ++i) {
            threads_.emplace_back([this] { work(); });
        }
    }

    // False when `most` jobs wait already, or the server stops.
    bool submit(std::function<void()> job) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || jobs_.size() >= most_) {
            return false;
        }
        jobs_.push_back(std::move(job));
        ready_.notify_one();
        return true;
    }

    // Drops what has not begun; joins the threads when the jobs begun end
    // within `grace`, and says whether they did.
    bool stop(std::chrono::milliseconds grace) {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        jobs_.clear();
        ready_.notify_all();
        if (!idle_.wait_for(lock, grace, [this] { return busy_ == 0; })) {
            return false;
        }
        lock.unlock();
        for (std::thread& t : threads_) {
            t.join();
        }
        threads_.clear();
        return true;
    }

    ~Workers() {
        // Only after stop() said they ended; otherwise the process ends
        // without waiting for them (a store that does not answer).
        for (std::thread& t : threads_) {
            t.detach();
        }
    }

  private:
    void work() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                return;
            }
            std::function<void()> job = std::move(jobs_.front());
            jobs_.pop_front();
            busy_ += 1;
            lock.unlock();
            job();
            lock.lock();
            busy_ -= 1;
            idle_.notify_all();
        }
    }

    size_t most_;
    std::mutex mutex_;
    std::condition_variable ready_, idle_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    unsigned busy_ = 0;
    bool stopping_ = false;
};

struct HttpServer::Exchange {
    MHD_Connection* connection;
    HttpRequest request;
    const Route* route = nullptr;
    HttpAnswer answer;
    bool ready = false;
};

// A pipe as its response's content reader holds it.
struct Feed {
    HttpServer* server;
    std::shared_ptr<Pipe> pipe;
};

// libmicrohttpd's callbacks, each handing on to the server.
struct HttpServer::Callbacks {
    static MHD_Result on_request(void* self, MHD_Connection* c, const char* url, const char* method,
                                 const char*, const char*, size_t* upload_size, void** context) {
        if (*context != nullptr && *upload_size != 0) {
            *upload_size = 0; // a body is never read: the answer came first
            return MHD_YES;
        }
        return static_cast<HttpServer*>(self)->answer(c, url, method, context) ? MHD_YES : MHD_NO;
    }

    static void on_completed(void* self, MHD_Connection* c, void** context,
                             MHD_RequestTerminationCode) {
        delete static_cast<std::shared_ptr<Exchange>*>(*context);
        *context = nullptr;
        static_cast<HttpServer*>(self)->request_done(c);
    }

    static void on_connection(void* self, MHD_Connection* c, void**,
                              MHD_ConnectionNotificationCode code) {
        auto* server = static_cast<HttpServer*>(self);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            server->connection_opened(c);
        } else {
            server->connection_closed(c);
        }
    }

    static ssize_t read_pipe(void* feed, uint64_t, char* into, size_t most) {
        return static_cast<Feed*>(feed)->pipe->take(into, most);
    }

    static void free_pipe(void* held) {
        auto* feed = static_cast<Feed*>(held);
        {
            std::lock_guard<std::mutex> lock(feed->server->mutex_);
            feed->server->pipes_.erase(feed->pipe.get());
        }
        feed->pipe->gone();
        delete feed;
    }

    static MHD_Result add_argument(void* into, MHD_ValueKind, const char* key, size_t key_size,
                                   const char* value, size_t value_size) {
        static_cast<HttpRequest*>(into)->query.emplace_back(
            std::string(key, key_size), value ? std::string(value, value_size) : std::string());
        return MHD_YES;
    }
};

bool Pipe::put(const std::string& data, bool wait) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wait) {
        // Until the piece fits: a writer faster than its client waits for
        // room, and is not taken for a client that takes nothing.
        taken_.wait_for(lock, CLIENT_TAKES, [this, &data] {
            return gone_ || ended_ || pending_.empty() || pending_.size() + data.size() <= bound_;
        });
    }
    if (gone_ || ended_) {
        return false;
    }
    size_t unsent = pending_.size() + (counts_kernel_ ? unsent_in_kernel() : 0);
    if (unsent + data.size() > bound_ && unsent > 0) {
        // A client that takes nothing is not kept waited for: dropped.
        ended_ = true;
        whole_ = false;
        say_dropped(unsent, " (at most " + std::to_string(bound_) + ")");
        wake();
        return false;
    }
    pending_ += data;
    wake();
    return true;
}

void Pipe::close_answer(bool whole) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!ended_) {
        ended_ = true;
        whole_ = whole;
    }
    wake();
    taken_.notify_all();
}

bool Pipe::flowing() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !gone_ && !ended_;
}

void Pipe::wake() {
    // Only a suspended connection is resumed: one that is suspended cannot
    // be closed meanwhile, so it is still there.
    if (suspended_) {
        suspended_ = false;
        MHD_resume_connection(connection_);
    }
}

long Pipe::take(char* into, size_t most) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_.empty()) {
        size_t n = std::min(most, pending_.size());
        std::memcpy(into, pending_.data(), n);
        pending_.erase(0, n);
        taken_.notify_all();
        return static_cast<long>(n);
    }
    if (ended_ || gone_) {
        return whole_ && !gone_ ? MHD_CONTENT_READER_END_OF_STREAM
                                : MHD_CONTENT_READER_END_WITH_ERROR;
    }
    // Nothing yet: the connection waits, costing no thread, until a write.
    suspended_ = true;
    MHD_suspend_connection(connection_);
    return 0;
}

std::string Pipe::dropped() {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

// What the kernel holds of the answer, sent and not yet acknowledged or
// not yet sent; under the pipe's lock, so the socket is still this one.
size_t Pipe::unsent_in_kernel() const {
    int queued = 0;
    return socket_ >= 0 && ioctl(socket_, SIOCOUTQ, &queued) == 0 && queued > 0
               ? static_cast<size_t>(queued)
               : 0;
}

// Under the pipe's lock: why a stream whose client fell behind ended.
void Pipe::say_dropped(size_t unsent, const std::string& why) {
    if (counts_kernel_ && dropped_.empty()) {
        dropped_ = "the event stream of " + client_ + " ended: " + std::to_string(unsent) +
                   " bytes unsent" + why;
    }
}

void Pipe::gone() {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t unsent = pending_.size() + unsent_in_kernel();
    if (!ended_ && unsent > 0) {
        // Closed by the server's idle time: the client took nothing.
        say_dropped(unsent, ", none taken for the idle time");
    }
    gone_ = true;
    socket_ = -1;
    connection_ = nullptr;
    suspended_ = false;
    taken_.notify_all();
}

HttpServer::HttpServer(const HttpLimits& limits,
                       std::function<HttpAnswer(int, const std::string&)> refusal,
                       std::vector<std::pair<std::string, std::string>> every_answer)
    : limits_(limits), refusal_(std::move(refusal)), every_answer_(std::move(every_answer)) {}

HttpServer::~HttpServer() {
    if (daemon_ != nullptr) {
        stop(std::chrono::milliseconds(0));
    }
}

void HttpServer::route(const std::string& path, Work work, Handler handler) {
    bool prefix = path.size() > 1 && path.back() == '/';
    (prefix ? prefixes_ : routes_)[path] = Route{work, std::move(handler)};
}

const HttpServer::Route* HttpServer::routed(const std::string& path) const {
    auto exact = routes_.find(path);
    if (exact != routes_.end()) {
        return &exact->second;
    }
    size_t last = path.rfind('/');
    auto prefix = prefixes_.find(path.substr(0, last + 1));
    return prefix != prefixes_.end() ? &prefix->second : nullptr;
}

void HttpServer::start(int listening) {
    pages_ = std::make_unique<Workers>(limits_.page_workers, limits_.waiting_pages);
    downloads_ = std::make_unique<Workers>(limits_.download_workers, limits_.waiting_pages);
    doorman_ = std::thread([this] { watch_doors(); });
    daemon_ = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr,
        nullptr, &Callbacks::on_request, this, MHD_OPTION_LISTEN_SOCKET, listening,
        MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(limits_.connections),
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.per_address, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        limits_.header_block, MHD_OPTION_CONNECTION_TIMEOUT,
        static_cast<unsigned>(limits_.idle.count()), MHD_OPTION_NOTIFY_COMPLETED,
        &Callbacks::on_completed, this, MHD_OPTION_NOTIFY_CONNECTION, &Callbacks::on_connection,
        this, MHD_OPTION_END);
    if (daemon_ == nullptr) {
        stop(std::chrono::milliseconds(0));
        throw std::runtime_error("the HTTP server did not start");
    }
}

bool HttpServer::stop(std::chrono::milliseconds grace) {
    {
        // Nothing stays suspended: libmicrohttpd stops only with every
        // connection resumed.
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (const std::shared_ptr<Exchange>& e : parked_) {
            e->answer = refusal_(503, "station serve is stopping");
            e->ready = true;
            MHD_resume_connection(e->connection);
        }
        parked_.clear();
        for (Pipe* p : pipes_) {
            p->close_answer(false);
        }
    }
    if (daemon_ != nullptr) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
    {
        std::lock_guard<std::mutex> lock(doors_mutex_);
        doors_closing_ = true;
        doors_changed_.notify_all();
    }
    if (doorman_.joinable()) {
        doorman_.join();
    }
    bool ended = true;
    for (Workers* w : {pages_.get(), downloads_.get()}) {
        if (w != nullptr && !w->stop(grace)) {
            ended = false;
        }
    }
    if (!ended) {
        // Still used by a worker that waits on the store: the process ends
        // without them.
        pages_.release();
        downloads_.release();
    }
    return ended;
}

bool HttpServer::answer(MHD_Connection* c, const char* url, const char* method, void** context) {
    if (*context != nullptr) {
        // Called again once its worker resumed it.
        std::shared_ptr<Exchange> e = *static_cast<std::shared_ptr<Exchange>*>(*context);
        std::unique_lock<std::mutex> lock(mutex_);
        if (!e->ready) {
            return true;
        }
        HttpAnswer a = std::move(e->answer);
        e->ready = false;
        lock.unlock();
        return queue(c, a);
    }
    request_whole(c);
    auto e = std::make_shared<Exchange>();
    *context = new std::shared_ptr<Exchange>(e);
    e->connection = c;
    e->request.method = method;
    e->request.path = url;
    e->request.client = client_address(c);
    MHD_get_connection_values_n(c, MHD_GET_ARGUMENT_KIND, &Callbacks::add_argument, &e->request);
    const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
    e->request.has_body =
        (length != nullptr && std::strcmp(length, "0") != 0) ||
        MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr;
    e->route = routed(e->request.path);
    HttpAnswer now;
    if (e->route == nullptr) {
        now = refusal_(404, "no page at " + e->request.path);
    } else if (e->request.method != "GET" && e->request.method != "HEAD") {
        now = refusal_(405, "only GET and HEAD are answered");
        now.headers.emplace_back("Allow", "GET, HEAD");
    } else if (e->request.has_body) {
        // Answered before the body is read: the connection is closed after.
        now = refusal_(400, "a GET takes no body");
    } else if (e->route->work == Work::at_once) {
        now = handled(*e);
    } else {
        return dispatch(c, e);
    }
    return queue(c, now);
}

HttpAnswer HttpServer::handled(const Exchange& e) {
    try {
        return e.route->handler(e.request);
    } catch (const std::exception& fault) {
        return refusal_(500, fault.what());
    }
}

bool HttpServer::dispatch(MHD_Connection* c, const std::shared_ptr<Exchange>& e) {
    std::unique_lock<std::mutex> lock(mutex_);
    Workers& workers = e->route->work == Work::download ? *downloads_ : *pages_;
    // Held while the job is handed over and the connection suspended, so
    // that its end (finish) comes after both.
    bool taken = !stopping_ && workers.submit([this, e] {
        HttpAnswer a = handled(*e);
        if (!a.writer) {
            finish(e, std::move(a));
            return;
        }
        std::function<void(Pipe&)> writer = std::move(a.writer);
        auto pipe = std::make_shared<Pipe>(DOWNLOAD_BOUND);
        a.pipe = pipe;
        a.writer = nullptr;
        finish(e, std::move(a));
        writer(*pipe);
        pipe->close_answer();
    });
    if (!taken) {
        lock.unlock();
        HttpAnswer busy = refusal_(503, stopping_ ? "station serve is stopping"
                                                  : "too many requests wait; try again");
        busy.headers.emplace_back("Retry-After", "5");
        return queue(c, busy);
    }
    parked_.insert(e);
    MHD_suspend_connection(c);
    return true;
}

void HttpServer::finish(const std::shared_ptr<Exchange>& e, HttpAnswer a) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (parked_.erase(e) == 0) {
        // Answered already: the server stops.
        if (a.pipe) {
            a.pipe->close_answer(false);
        }
        return;
    }
    e->answer = std::move(a);
    e->ready = true;
    MHD_resume_connection(e->connection);
}

bool HttpServer::queue(MHD_Connection* c, HttpAnswer& a) {
    MHD_Response* response;
    if (a.pipe) {
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, PIECE, &Callbacks::read_pipe,
                                                     new Feed{this, a.pipe}, &Callbacks::free_pipe);
        {
            std::lock_guard<std::mutex> pipe_lock(a.pipe->mutex_);
            a.pipe->connection_ = c;
            if (a.pipe->counts_kernel_) {
                watch_kernel(c, *a.pipe);
            }
        }
        std::lock_guard<std::mutex> lock(mutex_);
        pipes_.insert(a.pipe.get());
        if (stopping_) {
            a.pipe->close_answer(false);
        }
    } else {
        response =
            MHD_create_response_from_buffer(a.body.size(), a.body.data(), MHD_RESPMEM_MUST_COPY);
    }
    if (response == nullptr) {
        return false;
    }
    MHD_add_response_header(response, "Content-Type", a.type.c_str());
    for (const auto& headers : {every_answer_, a.headers}) {
        for (const auto& [name, value] : headers) {
            MHD_add_response_header(response, name.c_str(), value.c_str());
        }
    }
    MHD_Result queued = MHD_queue_response(c, static_cast<unsigned>(a.status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

// Under the pipe's lock.
void HttpServer::watch_kernel(MHD_Connection* c, Pipe& pipe) {
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    pipe.client_ = client_address(c);
    if (fd != nullptr) {
        pipe.socket_ = fd->connect_fd;
        setsockopt(pipe.socket_, SOL_SOCKET, SO_SNDBUF, &STREAM_SEND_BUFFER,
                   sizeof(STREAM_SEND_BUFFER));
    }
}

void HttpServer::connection_opened(MHD_Connection* c) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
    std::string address = client_address(c);
    std::lock_guard<std::mutex> lock(doors_mutex_);
    doors_[c] = Door{info->connect_fd, Clock::now(), true, address};
    if (doors_.size() - doors_shut_ > limits_.connections - limits_.connections / 10) {
        make_room();
    }
}

// Closes the oldest idle connections of the addresses with the most, so
// that clients that fill the server with idle connections never keep
// another out: down to a twentieth of the cap below the mark at once, so
// that a flood of connections costs one look over them every few hundred,
// not one each. Under the doors' lock.
void HttpServer::make_room() {
    std::map<std::string, size_t> held_by; // connections not shut
    for (const auto& [connection, door] : doors_) {
        held_by[door.address] += door.closing ? 0 : 1;
    }
    std::vector<Door*> idle;
    for (auto& [connection, door] : doors_) {
        if (door.waiting && !door.closing) {
            idle.push_back(&door);
        }
    }
    std::sort(idle.begin(), idle.end(), [&held_by](const Door* a, const Door* b) {
        size_t x = held_by[a->address], y = held_by[b->address];
        return x != y ? x > y : a->waiting_since < b->waiting_since;
    });
    size_t mark = limits_.connections - limits_.connections / 10 - limits_.connections / 20;
    size_t open = doors_.size() - doors_shut_;
    for (Door* door : idle) {
        if (open <= mark) {
            break;
        }
        // The server sees the socket end and closes the connection.
        shutdown(door->fd, SHUT_RDWR);
        door->closing = true;
        door->waiting = false;
        ++doors_shut_;
        --open;
    }
}

void HttpServer::connection_closed(MHD_Connection* c) {
    // Under the lock the doorman shuts sockets down with: a descriptor is
    // never shut down after its connection closed (it may be another's).
    std::lock_guard<std::mutex> lock(doors_mutex_);
    auto door = doors_.find(c);
    if (door != doors_.end()) {
        doors_shut_ -= door->second.closing ? 1 : 0;
        doors_.erase(door);
    }
}

void HttpServer::request_whole(MHD_Connection* c) {
    std::lock_guard<std::mutex> lock(doors_mutex_);
    auto door = doors_.find(c);
    if (door != doors_.end()) {
        door->second.waiting = false;
    }
}

void HttpServer::request_done(MHD_Connection* c) {
    std::lock_guard<std::mutex> lock(doors_mutex_);
    auto door = doors_.find(c);
    if (door != doors_.end()) {
        door->second.waiting = true;
        door->second.waiting_since = Clock::now();
    }
}

void HttpServer::watch_doors() {
    // libmicrohttpd's own time-out is a time without any byte: a client
    // that sends a byte now and then would keep its connection forever.
    std::unique_lock<std::mutex> lock(doors_mutex_);
    while (!doors_closing_) {
        auto now = Clock::now();
        auto next = now + limits_.whole_request;
        for (auto& [connection, door] : doors_) {
            if (!door.waiting) {
                continue;
            }
            auto due = door.waiting_since + limits_.whole_request;
            if (due <= now) {
                // The server sees the socket end and closes the connection.
                shutdown(door.fd, SHUT_RDWR);
                door.waiting = false;
            } else {
                next = std::min(next, due);
            }
        }
        doors_changed_.wait_until(lock, next, [this] { return doors_closing_; });
    }
}
