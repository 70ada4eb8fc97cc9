// The store's and the spool's writer threads.
#include "station/store/recorder.h"

#include "station/base/base.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

namespace {

typedef std::chrono::steady_clock Clock;

// The kinds of write. The store's writer takes claims, finished records
// and labels; the spool's writer the finished records the store could not
// take (each turned from `finish` to `spool` when the store is lost).
enum class JobKind { claim, finish, spool, label };

struct Job {
    JobKind kind;
    Record record;
    Recorder::ClaimNeeds needs; // a claim's
    std::string retry_of;       // a claim's
    bool held = false;          // a record written nowhere once, tried again
    LabelEvent label{};         // a label's
};

// A writer: its worker, and how long the job under way has waited.
struct Writer : Worker<Job> {
    Patience patience{STORE_PATIENCE}; // of the job under way
    bool given_up = false;             // the store lost, or the spool's disk not answering
    bool writing_live = false;         // a live write under way, within `patience`
    // A stop of the station itself is not the store's: its patience
    // starts again.
    bool overdue() {
        return (doing || writing_live) && patience.spent();
    }
};

constexpr std::chrono::seconds PROGRESS_EVERY(1);
constexpr std::chrono::seconds BEAT_EVERY(5);
// A live write slower than this makes the next ones wait QUIET.
constexpr std::chrono::seconds SLOW_LIVE_WRITE(1);
constexpr std::chrono::seconds QUIET(5);
// A record that neither the store nor the spool took is tried again in the
// spool this often while the round runs (a disk given room again).
constexpr std::chrono::seconds RETRY_HELD(5);

// What waits to be written for the line's page: each board's latest
// frames, written all at once, a second after the last time; and when the
// next heartbeat is due.
struct Live {
    bool on = false;
    Beat beat;
    std::map<std::string, Progress> waiting; // by record
    Clock::time_point next_progress, next_beat, quiet_until;

    Clock::time_point due() const {
        Clock::time_point next = waiting.empty() ? next_beat : std::min(next_beat, next_progress);
        return std::max(next, quiet_until);
    }
};

// A label's event that no store took, as one line: what `station label`
// would need to know of it.
std::string label_unrecorded(const LabelEvent& l, const std::string& why) {
    nlohmann::json line = {{"label_unrecorded",
                            {{"record", l.record},
                             {"mac", l.mac},
                             {"event", l.event},
                             {"at", l.at},
                             {"printer", l.printer},
                             {"job", l.job},
                             {"reason", l.reason}}},
                           {"why", why}};
    return line.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

std::string patience_text() {
    return " in " + std::to_string(STORE_PATIENCE.count()) + " s";
}

} // namespace

struct Recorder::State {
    std::shared_ptr<Store> store;
    std::shared_ptr<Spool> spool;
    std::string station; // whose claims these are
    Post post;           // to the round's inbox
    // Its claims were checked again after a reconnect: the store is told
    // with the next live write.
    bool claims_checked_due = false;
    std::mutex mutex;
    std::condition_variable wake; // for the threads
    std::condition_variable done; // for settle
    Writer to_store, to_spool;
    Live live;
    bool stopping = false;
    int unrecorded = 0;
    int spooled = 0;
    int conflicts = 0; // MACs this round's records put on two boards
    bool told_spooled = false;
    bool journal_failed = false; // said once
    // Records written nowhere yet, kept and tried again until the round's
    // end, when what still fails is told; what changed of them since the
    // round last asked.
    std::vector<Job> held;
    Clock::time_point retry_held_at;
    bool settling = false;
    // What the writers say goes to the round's screen; once the round is
    // over (a writer the store still holds), straight to standard error.
    std::mutex said_mutex;
    bool told_directly = false;

    // With the mutex held.
    void answer(Answer a) {
        post(std::move(a));
    }
    // From any thread, with or without the mutex.
    void say(const std::string& line) {
        std::lock_guard<std::mutex> lock(said_mutex);
        if (told_directly) {
            say_on_stderr(line);
            return;
        }
        post(Said{line});
    }
    // A record that neither the store nor the spool took, whole, as one line.
    void tell_unrecorded(const Record& r, const std::string& why) {
        nlohmann::json item = json_of(r);
        item["round"] = r.round;
        item["mac_kept"] = r.mac_kept;
        nlohmann::json line = {{"unrecorded", item}, {"why", why}};
        // All in ASCII, DEL escaped too, so that a terminal shows it as it
        // is and `station record --from` reads back the same text.
        std::string text = line.dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
        for (size_t at = text.find('\x7f'); at != std::string::npos; at = text.find('\x7f', at)) {
            text.replace(at, 1, "\\u007f");
        }
        say(text);
    }
    void lost_claim(Record record, const std::string& why) {
        answer({Answer::Result::store_lost, why, std::move(record), ""});
    }

    // With the mutex held: the store takes nothing more this round; its
    // claims are answered, its records go to the spool.
    void lose_store(const std::string& why) {
        if (to_store.given_up) {
            return;
        }
        to_store.given_up = true;
        say(why + "; this round writes no more to it");
        if (to_store.doing) {
            to_store.queue.push_front(std::move(*to_store.doing));
            to_store.doing.reset();
        }
        for (Job& job : to_store.queue) {
            if (job.kind == JobKind::claim) {
                lost_claim(std::move(job.record), why);
            } else if (job.kind == JobKind::label) {
                // A label's event is no record: told whole, as one that
                // comes once the store is lost (never an empty record in
                // the spool).
                say(label_unrecorded(job.label, why));
            } else {
                job.kind = JobKind::spool;
                to_spool.queue.push_back(std::move(job));
            }
        }
        to_store.queue.clear();
        wake.notify_all();
        done.notify_all();
    }

    // With the mutex held: what waits for the spool is told instead.
    void give_up_spool(const std::string& why) {
        to_spool.given_up = true;
        if (to_spool.doing) {
            to_spool.queue.push_front(std::move(*to_spool.doing));
            to_spool.doing.reset();
        }
        for (const Job& job : to_spool.queue) {
            tell_unrecorded(job.record, why);
        }
        unrecorded += static_cast<int>(to_spool.queue.size());
        to_spool.queue.clear();
    }

    // A MAC from the pool when none was given, and the board's own copy of
    // the image that carries its MAC. A StationError loses the store.
    void prepare(Answer& a, const ClaimNeeds& needs) {
        Record& r = a.record;
        if (needs.mac == nullptr) {
            return;
        }
        const MacPlan& mac = *needs.mac;
        if (r.mac.empty()) {
            std::optional<std::string> next = store->hand_out(mac.first, mac.last);
            if (!next) {
                a.result = Answer::Result::refused;
                a.why = "MAC pool exhausted (" + mac.first + "-" + mac.last + ")";
                return;
            }
            r.mac = *next;
        }
        if (mac.image && needs.snapshot != nullptr) {
            const ImageInfo& image = image_info(*mac.image);
            a.folder =
                needs.snapshot->board_folder(r.id, image.kind, mac.offset, r.mac, r.*image.hash);
        }
    }

    // A claim on the writer's thread. Started when it is written: its host
    // starts as soon as the answer is read.
    Answer claim(Job& job) {
        Answer a{Answer::Result::claimed, "", job.record, ""};
        try {
            prepare(a, job.needs);
            if (a.result == Answer::Result::claimed) {
                a.record.started = utc_now();
                a.why = store->claim_and_start(a.record, job.retry_of);
                a.result = a.why.empty() ? Answer::Result::claimed : Answer::Result::refused;
            }
            if (a.result == Answer::Result::claimed) {
                journal([&] { spool->claimed(a.record, *store); });
            }
        } catch (const StoreBusy& e) {
            // The store answers: the board waits for another scan, and the
            // round goes on with the store.
            a.result = Answer::Result::refused;
            a.why = e.message;
        } catch (const StationError& e) {
            a.result = Answer::Result::store_lost;
            a.why = e.message;
        }
        return a;
    }

    // The journal of claims: a board whose claim it cannot keep runs all
    // the same (its claim is in the store), which is said once.
    void journal(const std::function<void()>& write) {
        try {
            write();
        } catch (const StationError& e) {
            std::lock_guard<std::mutex> lock(mutex);
            if (!journal_failed) {
                journal_failed = true;
                say(e.message + ": the claims of this round are not journalled; a failover of "
                                "the store may lose them unseen");
            }
        }
    }
    // The claims made before the store's connection was made again, each
    // still in the store, or written again, or a conflict.
    void recheck() {
        Spool::Rechecked found = spool->recheck(*store);
        for (const std::string& line : found.said()) {
            say(line);
        }
        std::lock_guard<std::mutex> lock(mutex);
        conflicts += static_cast<int>(found.conflicts.size());
        // Noted with the live writes: the hook runs inside the statement
        // that found the connection gone, and does no more than it must.
        claims_checked_due = true;
    }

    // A finished record into the store, saying what its late truth did.
    void finish(const Record& record) {
        Finish finish = store->finish(record);
        if (!finish.found) {
            // Its start is not in the store (lost with a failover, and
            // not in the journal): kept, never dropped.
            add_to_spool(record);
            say("the store has no record " + record.id + " of MAC " + record.mac +
                ": it waits in the spool");
            return;
        }
        journal([&] { spool->finished(record); });
        if (finish.reclaimed) {
            say(reclaim_said(record));
        }
        if (finish.conflict) {
            say(conflict_said(*finish.conflict));
            std::lock_guard<std::mutex> lock(mutex);
            conflicts += 1;
        }
    }
    void add_to_spool(const Record& record) {
        spool->add(record, *store);
        std::lock_guard<std::mutex> lock(mutex);
        spooled += 1;
    }

    // Does one job without the mutex; returns the fault, if any.
    std::string perform(Job& job, Answer& answer) {
        try {
            switch (job.kind) {
            case JobKind::claim:
                answer = claim(job);
                return answer.result == Answer::Result::store_lost ? answer.why : "";
            case JobKind::finish:
                finish(job.record);
                break;
            case JobKind::spool:
                add_to_spool(job.record);
                break;
            case JobKind::label:
                store->add_label(job.label);
                break;
            }
        } catch (const StationError& e) {
            return e.message;
        }
        return "";
    }

    // With the mutex held: what a job's end means. A record the store
    // failed goes to the spool with the rest; one the spool failed is kept
    // and tried again, and told when the round ends without it.
    void performed(Job& job, Answer answer, const std::string& fault) {
        if (job.kind == JobKind::claim) {
            this->answer(std::move(answer));
        }
        if (job.kind == JobKind::label) {
            // A label's event the store did not take is told whole: the
            // label itself is on its board.
            if (!fault.empty()) {
                say(label_unrecorded(job.label, fault));
            }
            return;
        }
        if (fault.empty()) {
            if (job.held) {
                post(Unwritten{job.record.id, ""});
            }
            if (job.kind != JobKind::claim) {
                post(Written{job.record.id});
            }
            return;
        }
        if (job.kind == JobKind::spool && settling) {
            tell_unrecorded(job.record, fault);
            unrecorded += 1;
            return;
        }
        if (job.kind == JobKind::spool) {
            hold(std::move(job), fault);
            return;
        }
        if (job.kind == JobKind::finish) {
            to_store.queue.push_front(std::move(job));
        }
        lose_store(fault);
    }

    // With the mutex held: a record written nowhere, said once.
    void hold(Job job, const std::string& fault) {
        if (!job.held) {
            job.held = true;
            post(Unwritten{job.record.id, fault});
        }
        if (held.empty()) {
            retry_held_at = Clock::now() + RETRY_HELD;
        }
        held.push_back(std::move(job));
    }
    // With the mutex held: the held records go first in the spool's queue.
    void retry_held() {
        for (auto job = held.rbegin(); job != held.rend(); ++job) {
            to_spool.queue.push_front(std::move(*job));
        }
        held.clear();
    }

    // With the mutex held: when a writer has work of its own besides its
    // queue (the live writes; the held records), and that work.
    std::optional<Clock::time_point> due(Writer State::*which) const {
        if (which == &State::to_store && live.on) {
            return live.due();
        }
        if (which == &State::to_spool && !held.empty()) {
            return retry_held_at;
        }
        return std::nullopt;
    }
    void do_due(Writer State::*which, std::unique_lock<std::mutex>& lock) {
        which == &State::to_store ? write_live(lock, false) : retry_held();
    }

    // One writer's thread: its queue, one job at a time, claims first.
    struct Duty {
        State& s;
        Writer State::*which;
        Writer& w = s.*which;

        bool ready() const {
            return s.stopping || w.given_up || !w.queue.empty();
        }
        std::optional<Clock::time_point> due() const {
            return s.due(which);
        }
        void fall_due(std::unique_lock<std::mutex>& lock) {
            s.do_due(which, lock);
        }
        bool take_one(std::unique_lock<std::mutex>& lock) {
            if (w.given_up || w.queue.empty()) {
                if (which == &State::to_store && s.live.on && !w.given_up) {
                    s.write_live(lock, true);
                }
                return false;
            }
            w.doing = std::move(w.queue.front());
            w.queue.pop_front();
            w.patience = Patience(STORE_PATIENCE);
            Job job = *w.doing;
            lock.unlock();
            Answer answer;
            std::string fault = s.perform(job, answer);
            lock.lock();
            if (!w.doing) {
                return true; // given up on while it ran: answered or told already
            }
            w.doing.reset();
            s.performed(job, std::move(answer), fault);
            s.done.notify_all();
            return true;
        }
    };
    static void work(const std::shared_ptr<State>& self, Writer State::*which) {
        std::unique_lock<std::mutex> lock(self->mutex);
        Duty duty{*self, which};
        Worker<Job>::serve(lock, self->wake, duty);
    }

    // With the mutex held: waits until the writer is done, giving up on a
    // job that waited longer than STORE_PATIENCE.
    void drain(Writer& w, std::unique_lock<std::mutex>& lock,
               const std::function<void()>& give_up) {
        while (!w.given_up && w.busy()) {
            if (w.overdue()) {
                give_up();
            } else {
                w.drain(lock, done,
                        w.doing ? w.patience.deadline() + std::chrono::milliseconds(1)
                                : Clock::now() + STORE_PATIENCE);
            }
        }
    }
    void store_overdue() {
        lose_store(std::string(!to_store.doing ? "the store did not answer"
                               : to_store.doing->kind == JobKind::claim
                                   ? "the store did not answer a claim"
                                   : "the store did not take a record") +
                   patience_text());
    }

    // With the mutex held, on the store's writer: what is due of the live
    // writes (`last`: the ended heartbeat), without the mutex while it is
    // written. A fault is not the record's: the claims and records find
    // out for themselves.
    void write_live(std::unique_lock<std::mutex>& lock, bool last) {
        Clock::time_point now = Clock::now();
        std::vector<Progress> progress;
        if (!last && live.next_progress <= now) {
            std::string written = utc_now();
            for (auto& [record, p] : live.waiting) {
                progress.push_back(std::move(p));
                progress.back().written = written;
            }
            live.waiting.clear();
            live.next_progress = now + PROGRESS_EVERY;
        }
        std::optional<Beat> beat;
        if (last || live.next_beat <= now) {
            beat = live.beat;
            beat->beat = utc_now();
            beat->ended = last;
            live.next_beat = now + BEAT_EVERY;
        }
        bool checked = claims_checked_due;
        claims_checked_due = false;
        to_store.writing_live = true;
        to_store.patience = Patience(STORE_PATIENCE);
        lock.unlock();
        try {
            if (!progress.empty()) {
                store->write_progress(progress);
            }
            if (beat) {
                store->write_beat(*beat);
            }
            if (checked) {
                store->claims_checked(station);
                checked = false;
            }
        } catch (const StationError&) {
        }
        lock.lock();
        claims_checked_due = claims_checked_due || checked;
        to_store.writing_live = false;
        if (Clock::now() - now > SLOW_LIVE_WRITE) {
            live.quiet_until = Clock::now() + QUIET;
        }
    }
};

Recorder::Recorder(std::shared_ptr<Store> store, std::shared_ptr<Spool> spool, std::string station,
                   Post post)
    : state_(std::make_shared<State>()) {
    state_->station = std::move(station);
    state_->post = std::move(post);
    state_->store = std::move(store);
    state_->spool = std::move(spool);
    // Whichever thread finds the store's connection gone: the State may
    // outlive the recorder (a writer the store holds), never the store.
    std::weak_ptr<State> state = state_;
    state_->store->after_reconnect([state] {
        if (std::shared_ptr<State> s = state.lock()) {
            s->recheck();
        }
    });
    state_->to_store.thread = std::thread(State::work, state_, &State::to_store);
    state_->to_spool.thread = std::thread(State::work, state_, &State::to_spool);
}

Recorder::~Recorder() {
    tell_directly();
    settle();
    std::unique_lock<std::mutex> lock(state_->mutex);
    state_->stopping = true;
    state_->wake.notify_all();
    // A thread still inside a write is left to it: the state is its own too.
    for (Writer* w : {&state_->to_store, &state_->to_spool}) {
        bool held = w->given_up;
        std::thread thread = std::move(w->thread);
        lock.unlock();
        held ? thread.detach() : thread.join();
        lock.lock();
    }
}

void Recorder::finished(const Record& record) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->live.waiting.erase(record.id);
    bool lost = state_->to_store.given_up;
    Writer& w = lost ? state_->to_spool : state_->to_store;
    w.queue.push_back(Job{lost ? JobKind::spool : JobKind::finish, record, {}, ""});
    state_->wake.notify_all();
}

void Recorder::label(const LabelEvent& label) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->to_store.given_up) {
        state_->say(label_unrecorded(label, "the store was lost"));
        return;
    }
    Job job{JobKind::label, Record{}, {}, ""};
    job.label = label;
    state_->to_store.queue.push_back(std::move(job));
    state_->wake.notify_all();
}

void Recorder::claim(const Record& record, const ClaimNeeds& needs, const std::string& retry_of) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->to_store.given_up) {
        state_->lost_claim(record, "the store was lost");
        return;
    }
    // An operator waits on a claim: it goes before every finished record.
    std::deque<Job>& queue = state_->to_store.queue;
    auto first_record = std::find_if(queue.begin(), queue.end(),
                                     [](const Job& j) { return j.kind != JobKind::claim; });
    queue.insert(first_record, Job{JobKind::claim, record, needs, retry_of});
    state_->wake.notify_all();
}

void Recorder::tell_directly() {
    std::lock_guard<std::mutex> lock(state_->said_mutex);
    state_->told_directly = true;
}

void Recorder::check() {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->to_store.overdue()) {
        state_->store_overdue();
    }
}

int Recorder::settle() {
    State& s = *state_;
    std::unique_lock<std::mutex> lock(s.mutex);
    // What is written nowhere yet is tried once more, then told.
    s.settling = true;
    s.drain(s.to_store, lock, [&] { s.store_overdue(); });
    s.retry_held();
    s.wake.notify_all();
    s.drain(s.to_spool, lock,
            [&] { s.give_up_spool("the spool did not take a record" + patience_text()); });
    if (s.spooled > 0 && !s.told_spooled) {
        s.told_spooled = true;
        s.say("records wait in the spool: " + std::to_string(s.spooled) +
              " of this round, delivered by the next command of the station once the store "
              "answers");
    }
    return s.unrecorded;
}

int Recorder::conflicts() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->conflicts;
}

bool Recorder::store_lost() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->to_store.given_up;
}

void Recorder::live(const std::string& station, const std::string& host_version) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->live.on = true;
    state_->live.beat = Beat{station, "", false, host_version};
    state_->wake.notify_all();
}

void Recorder::progress(const Progress& progress) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->live.on || state_->to_store.given_up) {
        return;
    }
    bool first = state_->live.waiting.empty();
    state_->live.waiting[progress.record] = progress;
    if (first) {
        state_->wake.notify_all(); // due now, if a second has passed
    }
}
