// The store's and the spool's writer threads.
#include "station/recorder.h"

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>

namespace {

typedef std::chrono::steady_clock Clock;

// One line to standard error in one write, so that lines of the two threads
// and the main thread never mix.
void say(const std::string& line) {
    std::string text = "station: " + line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(2, text.data() + done, text.size() - done);
        if (n <= 0) {
            return; // a closed standard error: nothing more can be told
        }
        done += static_cast<size_t>(n);
    }
}

// A record that neither the store nor the spool took, whole, as one line.
void tell_unrecorded(const Record& r, const std::string& why) {
    nlohmann::json item;
    for (const std::string& column : record_columns()) {
        item[column] = column_value(r, column);
    }
    item["round"] = r.round;
    item["transcript"] = r.transcript;
    nlohmann::json line = {{"unrecorded", item}, {"why", why}};
    say(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

} // namespace

struct Recorder::State {
    std::shared_ptr<Store> store;
    std::shared_ptr<Spool> spool;
    std::mutex mutex;
    std::condition_variable wake; // for the threads
    std::condition_variable done; // for settle
    std::deque<Record> to_store, to_spool, to_claim;
    std::deque<Prepare> preparations;                  // one for each claim waiting
    std::deque<std::string> retried;                   // and the record each retries, if any
    std::optional<Record> storing, spooling, claiming; // the write under way
    Clock::time_point storing_since, spooling_since, claiming_since;
    std::vector<Answer> answered;
    int answer_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    ~State() {
        close(answer_fd);
    }

    // With the mutex held.
    void answer(Answer a) {
        answered.push_back(std::move(a));
        uint64_t one = 1;
        if (write(answer_fd, &one, sizeof(one)) < 0) {
            // the counter is full: the loop has answers to read already
        }
    }
    bool lost = false, stopping = false, spool_given_up = false;
    int unrecorded = 0;
    std::thread store_thread, spool_thread;

    // With the mutex held: the store takes nothing more this round.
    void lose_store(const std::string& why) {
        if (lost) {
            return;
        }
        lost = true;
        say(why + "; records wait in the spool");
        if (claiming) {
            answer({*claiming, "", why, ""});
            claiming.reset();
        }
        for (Record& r : to_claim) {
            answer({std::move(r), "", why, ""});
        }
        to_claim.clear();
        preparations.clear();
        retried.clear();
        if (storing) {
            to_spool.push_back(*storing);
            storing.reset();
        }
        for (Record& r : to_store) {
            to_spool.push_back(std::move(r));
        }
        to_store.clear();
        wake.notify_all();
        done.notify_all();
    }

    static void write_to_store(const std::shared_ptr<State>& self) {
        std::unique_lock<std::mutex> lock(self->mutex);
        for (;;) {
            self->wake.wait(lock, [&] {
                return self->stopping || self->lost || !self->to_store.empty() ||
                       !self->to_claim.empty();
            });
            if (self->lost || (self->to_store.empty() && self->to_claim.empty())) {
                return;
            }
            // An operator waits on a claim: it goes first.
            if (!self->to_claim.empty()) {
                claim_one(self, lock);
                continue;
            }
            self->storing = std::move(self->to_store.front());
            self->to_store.pop_front();
            self->storing_since = Clock::now();
            Record record = *self->storing;
            lock.unlock();
            std::string error;
            try {
                self->store->finish(record);
            } catch (const StationError& e) {
                error = e.message;
            }
            lock.lock();
            if (!self->storing) {
                continue; // given up on: it went to the spool as well
            }
            if (error.empty()) {
                self->storing.reset();
            } else {
                self->lose_store(error);
            }
            self->done.notify_all();
        }
    }

    static void claim_one(const std::shared_ptr<State>& self, std::unique_lock<std::mutex>& lock) {
        self->claiming = std::move(self->to_claim.front());
        self->to_claim.pop_front();
        Prepare prepare = std::move(self->preparations.front());
        self->preparations.pop_front();
        std::string retry_of = std::move(self->retried.front());
        self->retried.pop_front();
        self->claiming_since = Clock::now();
        Record record = *self->claiming;
        lock.unlock();
        Answer a;
        try {
            a.folder = prepare(record, *self->store);
            // Started when it is written: its host starts as soon as the
            // answer is read.
            record.started = utc_now();
            a.refusal = self->store->claim_and_start(record, retry_of);
        } catch (const StationError& e) {
            (e.status == 1 ? a.refusal : a.error) = e.message;
        }
        a.record = std::move(record);
        lock.lock();
        if (!self->claiming) {
            return; // given up on: answered already
        }
        self->claiming.reset();
        std::string error = a.error;
        self->answer(std::move(a));
        if (!error.empty()) {
            self->lose_store(error);
        }
        self->done.notify_all();
    }

    static void write_to_spool(const std::shared_ptr<State>& self) {
        std::unique_lock<std::mutex> lock(self->mutex);
        for (;;) {
            self->wake.wait(lock, [&] { return self->stopping || !self->to_spool.empty(); });
            if (self->to_spool.empty() || self->spool_given_up) {
                return;
            }
            self->spooling = std::move(self->to_spool.front());
            self->to_spool.pop_front();
            self->spooling_since = Clock::now();
            Record record = *self->spooling;
            lock.unlock();
            std::string error;
            try {
                self->spool->add(record, *self->store);
            } catch (const StationError& e) {
                error = e.message;
            }
            lock.lock();
            if (!self->spooling) {
                continue; // given up on: told on standard error already
            }
            self->spooling.reset();
            if (!error.empty()) {
                tell_unrecorded(record, error);
                self->unrecorded += 1;
            }
            self->done.notify_all();
        }
    }
};

Recorder::Recorder(std::shared_ptr<Store> store, std::shared_ptr<Spool> spool)
    : state_(std::make_shared<State>()) {
    state_->store = std::move(store);
    state_->spool = std::move(spool);
    state_->store_thread = std::thread(State::write_to_store, state_);
    state_->spool_thread = std::thread(State::write_to_spool, state_);
}

Recorder::~Recorder() {
    settle();
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    state_->wake.notify_all();
    // A thread still inside a write is left to it: the state is its own too.
    bool store_held = state_->lost;
    bool spool_held = state_->spool_given_up;
    lock.unlock();
    store_held ? state_->store_thread.detach() : state_->store_thread.join();
    spool_held ? state_->spool_thread.detach() : state_->spool_thread.join();
}

void Recorder::finished(const Record& record) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    (state_->lost ? state_->to_spool : state_->to_store).push_back(record);
    state_->wake.notify_all();
}

void Recorder::claim(const Record& record, Prepare prepare, const std::string& retry_of) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->lost) {
        state_->answer({record, "", "the store was lost", ""});
        return;
    }
    state_->to_claim.push_back(record);
    state_->preparations.push_back(std::move(prepare));
    state_->retried.push_back(retry_of);
    state_->wake.notify_all();
}

int Recorder::answers_fd() const {
    return state_->answer_fd;
}

std::vector<Recorder::Answer> Recorder::answers() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    uint64_t count;
    if (read(state_->answer_fd, &count, sizeof(count)) < 0) {
        // nothing counted: nothing waits
    }
    std::vector<Answer> taken;
    taken.swap(state_->answered);
    return taken;
}

void Recorder::check() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->claiming && Clock::now() - state_->claiming_since > STORE_PATIENCE) {
        state_->lose_store("the store did not answer a claim in " +
                           std::to_string(STORE_PATIENCE.count()) + " s");
    }
    if (state_->storing && Clock::now() - state_->storing_since > STORE_PATIENCE) {
        state_->lose_store("the store did not take a record in " +
                           std::to_string(STORE_PATIENCE.count()) + " s");
    }
}

int Recorder::settle() {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    while (!s.lost && (s.storing || !s.to_store.empty())) {
        if (s.storing) {
            s.done.wait_until(lock,
                              s.storing_since + STORE_PATIENCE + std::chrono::milliseconds(1));
            if (s.storing && Clock::now() - s.storing_since > STORE_PATIENCE) {
                s.lose_store("the store did not take a record in " +
                             std::to_string(STORE_PATIENCE.count()) + " s");
            }
        } else {
            s.done.wait_for(lock, STORE_PATIENCE);
        }
    }
    while (!s.spool_given_up && (s.spooling || !s.to_spool.empty())) {
        if (s.spooling && Clock::now() - s.spooling_since > STORE_PATIENCE) {
            // The spool's disk does not answer either: what waits is told.
            s.spool_given_up = true;
            std::string why = "the spool did not take a record in " +
                              std::to_string(STORE_PATIENCE.count()) + " s";
            tell_unrecorded(*s.spooling, why);
            s.spooling.reset();
            for (const Record& r : s.to_spool) {
                tell_unrecorded(r, why);
            }
            s.unrecorded += 1 + static_cast<int>(s.to_spool.size());
            s.to_spool.clear();
            break;
        }
        if (s.spooling) {
            s.done.wait_until(lock,
                              s.spooling_since + STORE_PATIENCE + std::chrono::milliseconds(1));
        } else {
            s.done.wait_for(lock, STORE_PATIENCE);
        }
    }
    return s.unrecorded;
}

bool Recorder::store_lost() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->lost;
}
