// Mail from a round's worker threads to the one poll loop that owns them:
// any thread posts, the loop takes it all at once, in the order posted.
#pragma once

#include <cstdint>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>
#include <vector>

template <typename Message> class Inbox {
  public:
    Inbox() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~Inbox() {
        close(fd_);
    }
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    // From any thread; never waits on the loop. `made`: what makes the
    // message.
    template <typename... Made> void post(Made&&... made) {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.emplace_back(std::forward<Made>(made)...);
        uint64_t one = 1;
        if (write(fd_, &one, sizeof(one)) < 0) {
            // the counter is full: the loop has something to read already
        }
    }
    // Readable while mail waits: for the poll loop.
    int fd() const {
        return fd_;
    }
    // What waits, oldest first.
    std::vector<Message> take() {
        std::lock_guard<std::mutex> lock(mutex_);
        uint64_t count;
        if (read(fd_, &count, sizeof(count)) < 0) {
            // nothing counted: nothing waits
        }
        std::vector<Message> taken;
        taken.swap(waiting_);
        return taken;
    }

  private:
    int fd_;
    std::mutex mutex_;
    std::vector<Message> waiting_;
};
