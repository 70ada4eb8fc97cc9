// The web view's HTTP server, on libmicrohttpd: one thread polls every
// connection (epoll), so a slow client costs a socket and a little memory,
// never a thread. What may wait (the store) runs on a few workers while its
// connection is suspended; long answers (event streams, downloads) are fed
// through a Pipe and sent as the client takes them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct MHD_Connection;
struct MHD_Daemon;

struct HttpRequest {
    std::string method, path;
    // The query's arguments in their order, decoded; a name given alone has
    // an empty value.
    std::vector<std::pair<std::string, std::string>> query;
    bool has_body = false;
    std::string client; // the client's address
};

class Pipe;

struct HttpAnswer {
    int status = 200;
    std::string type = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // A body sent as it is written, instead of `body`: one made by the
    // handler (an event stream), or one the server makes and has `writer`
    // fill on a download worker.
    std::shared_ptr<Pipe> pipe;
    std::function<void(Pipe&)> writer;
};

// The bytes of a long answer on their way to its client.
class Pipe {
  public:
    // `bound`: what may wait unsent; a writer that would pass it waits
    // (`wait`) or drops the client, which is then behind by that much.
    // `counts_kernel`, for a writer that never waits (an event stream): its
    // connection's send buffer is made small, and the bytes the kernel holds
    // unsent count with those pending, so that a client that takes nothing
    // pins neither this process's memory nor the kernel's past the bound.
    explicit Pipe(size_t bound, bool counts_kernel = false)
        : bound_(bound), counts_kernel_(counts_kernel) {}

    // False once the client is gone, was dropped or the server stops.
    bool put(const std::string& data, bool wait);
    // The answer is whole (`whole`), or cut off for a fault: its client
    // learns which from how it ends.
    void close_answer(bool whole = true);
    bool flowing();
    // Why it was ended for its bound ("the event stream of 127.0.0.1 ended:
    // 262144 bytes unsent"); empty when it was not.
    std::string dropped();

  private:
    friend class HttpServer;
    // Called by the server's thread: what the client takes next.
    long take(char* into, size_t most);
    void gone();
    void wake();
    size_t unsent_in_kernel() const;
    void say_dropped(size_t unsent, const std::string& why);

    std::mutex mutex_;
    std::condition_variable taken_;
    std::string pending_;
    size_t bound_;
    bool ended_ = false, whole_ = true, gone_ = false, suspended_ = false;
    MHD_Connection* connection_ = nullptr;
    bool counts_kernel_ = false;
    int socket_ = -1;    // its connection's, while it is open
    std::string client_; // the client's address
    std::string dropped_;
};

struct HttpLimits {
    // In all; room is kept for new clients: past `connections` less a
    // tenth, each new one closes the oldest idle one of the address with
    // the most.
    size_t connections = 4000;
    unsigned per_address = 128;     // from one client address
    size_t header_block = 64 << 10; // a request's head (line and headers)
    std::chrono::seconds whole_request{
        10};                       // to send a request, from its first byte or the last answer
    std::chrono::seconds idle{30}; // a connection with nothing moving
    unsigned page_workers = 4, download_workers = 4;
    size_t waiting_pages = 256; // pages waiting for a worker; past it, 503
};

class HttpServer {
  public:
    typedef std::function<HttpAnswer(const HttpRequest&)> Handler;
    // Where a request goes: `at_once` handlers run on the polling thread and
    // must not wait; the others on a page worker, or a download worker
    // (which also runs the answer's writer).
    enum class Work { at_once, page, download };

    HttpServer(const HttpLimits& limits, std::function<HttpAnswer(int, const std::string&)> refusal,
               std::vector<std::pair<std::string, std::string>> every_answer);
    ~HttpServer();

    // `path` exactly; one ending in "/" takes any one name after it.
    void route(const std::string& path, Work work, Handler handler);
    // Listens on a socket already bound and listening; serves until stop().
    void start(int listening);
    // Ends the streams and downloads, answers what waits for a worker, and
    // stops; false when a worker is still busy after `grace` (a store that
    // does not answer): the caller need not wait for it.
    bool stop(std::chrono::milliseconds grace);

  private:
    class Workers;
    struct Exchange;
    struct Callbacks;
    struct Route {
        Work work;
        Handler handler;
    };

    bool answer(MHD_Connection* c, const char* url, const char* method, void** context);
    HttpAnswer handled(const Exchange& exchange);
    bool dispatch(MHD_Connection* c, const std::shared_ptr<Exchange>& exchange);
    void finish(const std::shared_ptr<Exchange>& exchange, HttpAnswer answer);
    bool queue(MHD_Connection* c, HttpAnswer& answer);
    const Route* routed(const std::string& path) const;

    // The whole-request time: a connection that has not sent its request
    // in time is shut down.
    void watch_doors();
    static void watch_kernel(MHD_Connection* c, Pipe& pipe);
    void connection_opened(MHD_Connection* c);
    void connection_closed(MHD_Connection* c);
    void request_whole(MHD_Connection* c);
    void request_done(MHD_Connection* c);

    HttpLimits limits_;
    std::function<HttpAnswer(int, const std::string&)> refusal_;
    std::vector<std::pair<std::string, std::string>> every_answer_;
    std::map<std::string, Route> routes_, prefixes_;
    MHD_Daemon* daemon_ = nullptr;
    std::unique_ptr<Workers> pages_, downloads_;

    std::mutex mutex_;
    bool stopping_ = false;
    std::set<std::shared_ptr<Exchange>> parked_;
    std::set<Pipe*> pipes_;

    typedef std::chrono::steady_clock Clock;
    struct Door {
        int fd;
        Clock::time_point waiting_since;
        bool waiting; // for a whole request: idle
        std::string address;
        bool closing = false; // shut down to make room
    };
    void make_room();
    std::mutex doors_mutex_;
    std::condition_variable doors_changed_;
    std::map<MHD_Connection*, Door> doors_;
    size_t doors_shut_ = 0; // of the doors, those shut down to make room
    bool doors_closing_ = false;
    std::thread doorman_;
};
