// A worker: one thread that serves a queue of jobs off the poll loop, one
// at a time, and what falls due between them (a retry after a while, a
// write every few seconds). What it finds is posted to the round's inbox.
// Its owner's state, the queue included, is under the owner's mutex, which
// the thread holds except while it does a job.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

template <typename Job> struct Worker {
    typedef std::chrono::steady_clock Clock;

    std::deque<Job> queue;
    std::optional<Job> doing; // the job under way
    std::thread thread;

    bool busy() const {
        return doing || !queue.empty();
    }

    // The thread's loop. `duty` says when the thread must wake (ready():
    // a job, or its end), what falls due and when (due(), fall_due()), and
    // takes a job (take_one(), false: the thread ends), doing it with the
    // lock let go.
    template <typename Duty>
    static void serve(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                      Duty& duty) {
        auto ready = [&duty] { return duty.ready(); };
        for (;;) {
            std::optional<Clock::time_point> due = duty.due();
            if (!due) {
                wake.wait(lock, ready);
            } else if (!wake.wait_until(lock, *due, ready)) {
                duty.fall_due(lock);
                continue;
            }
            if (!duty.take_one(lock)) {
                return;
            }
        }
    }

    // Waits, the lock held, until the queue is done or `deadline` passed
    // (`done` is notified as each job ends); whether it is done.
    bool drain(std::unique_lock<std::mutex>& lock, std::condition_variable& done,
               Clock::time_point deadline) const {
        return done.wait_until(lock, deadline, [this] { return !busy(); });
    }
};
