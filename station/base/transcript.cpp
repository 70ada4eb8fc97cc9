// What host's console says, read as text.
#include "station/base/transcript.h"

#include <algorithm>
#include <cstring>

namespace {

const char PROGRAMMING[] = "Programming";

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::string without_line_ends(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

// The frame a host that did not pass was waiting on, for messages.
std::string next_frame(const Record& record, long long all_frames) {
    return std::to_string(std::min(record.frames + 1, all_frames));
}

// A host that exited said how it went; a failure names its line.
void judge_exited(Record& record) {
    record.outcome = Outcome::failed;
    record.message = fault_line(record.transcript);
    if (record.message.rfind("Could not", 0) == 0 || record.message == "Invalid OTP address") {
        record.stage = Stage::configuration;
    }
}

// One job of a whole run, as its transcript shows it.
struct JobSteps {
    const char* name;   // in messages
    const char* result; // host's line when the job succeeded
    long long RunFrames::*frames;
    Stage stage;
    bool closes; // the OTP job ends with its execute frame
};

const JobSteps JOBS[] = {
    {"board data", "Programming board data successful\n", &RunFrames::board_data, Stage::board_data,
     false},
    {"OTP", "Programming OTP successful\n", &RunFrames::otp, Stage::otp, true},
    {"firmware", "Programming TIV successful\n", &RunFrames::firmware, Stage::firmware, false},
};

const char VERSION_MATCHES[] = "\nVersion matches\n";
const char EXECUTE_RESULT[] = "Execute result 0x";

// A job's text from its "Programming" to its result line; `from` moves past
// the result. None when the job's result or its start is missing.
bool job_text(const std::string& t, size_t& from, const JobSteps& job, std::string& text) {
    static const char START[] = "\n\nProgramming";
    size_t end = t.find(job.result, from);
    size_t start = end == std::string::npos ? end : t.rfind(START, end);
    if (start == std::string::npos || start < from) {
        return false;
    }
    start += sizeof(START) - 1;
    text = t.substr(start, end - start);
    from = end + std::strlen(job.result);
    return true;
}

// What a job's text says of its answers: its dots (frames sent), the lines
// among them that no data frame's answer prints (an answer that was another
// frame's), and for the OTP job whether its closing answer was its own.
struct JobAnswers {
    long long dots = 0;
    long long foreign = 0;
    bool closed = false;
};

JobAnswers answers_in(std::string text, bool closes) {
    JobAnswers a;
    if (closes) {
        // After the execute frame's write host ends the line of dots; what
        // it prints of that frame's answer follows, last in the job.
        size_t closing = text.rfind(std::string("\n") + EXECUTE_RESULT);
        if (closing != std::string::npos && text.find('\n', closing + 1) == text.size() - 1) {
            a.closed = true;
            text.erase(closing);
        } else if (!text.empty() && text.back() == '\n') {
            text.pop_back();
        }
    }
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '.') {
            a.dots += 1;
            i += 1;
        } else if (text.compare(i, sizeof(VERSION_MATCHES) - 1, VERSION_MATCHES) == 0) {
            // An answer that any frame may get.
            i += sizeof(VERSION_MATCHES) - 1;
        } else {
            size_t end = text.find_first_of(".\n", i + 1);
            a.foreign += 1;
            i = end == std::string::npos ? text.size() : end + (text[end] == '\n' ? 1 : 0);
        }
    }
    return a;
}

} // namespace

bool DotCounter::feed(const char* bytes, size_t n) {
    bool new_dot = false;
    for (size_t i = 0; i < n; ++i) {
        char c = bytes[i];
        if (word_ended_) {
            // "Programming." or "Programming\n" begins a job's dots;
            // "Programming " is a job's result.
            in_dots_ = c == '.' || c == '\n';
        }
        // A frame's dot follows the word, a dot, or an answer's line.
        bool dot_place = word_ended_ || last_ == '.' || last_ == '\n';
        word_ended_ = false;
        last_ = c;
        if (in_dots_ && c == '.' && dot_place) {
            dots_ += 1;
            new_dot = true;
            continue;
        }
        matched_ = c == PROGRAMMING[matched_] ? matched_ + 1 : (c == PROGRAMMING[0] ? 1 : 0);
        if (matched_ == static_cast<int>(sizeof(PROGRAMMING) - 1)) {
            word_ended_ = true;
            matched_ = 0;
        }
    }
    return new_dot;
}

Stage stage_of(const std::string& transcript) {
    if (transcript.find("\nInit failed\n") != std::string::npos ||
        (transcript.find("Opening ") == std::string::npos &&
         transcript.find("Could not") == std::string::npos &&
         transcript.find(PROGRAMMING) == std::string::npos)) {
        return Stage::open;
    }
    // Each job starts right after the one before it succeeded.
    size_t succeeded = 0;
    for (const char* result :
         {"Programming board data successful\n", "Programming OTP successful\n"}) {
        succeeded += transcript.find(result) != std::string::npos ? 1 : 0;
    }
    static const Stage stages[] = {Stage::board_data, Stage::otp, Stage::firmware};
    return stages[succeeded];
}

std::string fault_line(const std::string& transcript) {
    static const char* const results[] = {"Programming board data failed\n",
                                          "Programming OTP failed\n", "Programming TIV failed\n",
                                          "\nInit failed\n"};
    std::string text = transcript;
    for (const char* result : results) {
        if (ends_with(text, result)) {
            text.erase(text.size() - std::strlen(result));
            break;
        }
    }
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    size_t start = text.rfind('\n');
    std::string line = start == std::string::npos ? text : text.substr(start + 1);
    // "Reading error" and "Memory error" come on the line of dots or sizes.
    size_t dots = line.find_last_of('.');
    if (line.rfind(PROGRAMMING, 0) == 0 && dots != std::string::npos) {
        line.erase(0, dots + 1);
    }
    return line;
}

std::string last_line(const std::string& transcript) {
    std::string text = without_line_ends(transcript);
    size_t line = text.rfind('\n');
    return line == std::string::npos ? text : text.substr(line + 1);
}

long long acknowledged(const std::string& transcript, long long dots, bool passed) {
    long long frames = dots;
    if (transcript.find("Programming OTP successful\n") != std::string::npos) {
        frames += 1;
    }
    if (passed || dots == 0) {
        return frames;
    }
    // What follows the last run of dots (a dot in a file's name is none).
    size_t dots_end = transcript.find_first_not_of(
        '.', transcript.rfind(std::string(PROGRAMMING) + ".") + sizeof(PROGRAMMING) - 1);
    std::string after = dots_end == std::string::npos ? "" : transcript.substr(dots_end);
    // The last dot belongs to the failing job unless a job result followed it.
    if (after.find("successful\n") != std::string::npos) {
        return frames;
    }
    // After the OTP job's last data frame it writes a line end and the
    // execute frame: its data frames were all answered.
    bool execute_sent = !after.empty() && after[0] == '\n' && after.rfind("\nCRC Error", 0) != 0 &&
                        after.rfind("\nInvalid response", 0) != 0 &&
                        after.rfind("\nVersion matches", 0) != 0 &&
                        stage_of(transcript) == Stage::otp;
    return execute_sent ? frames : frames - 1;
}

long long frames_so_far(const std::string& transcript, long long dots) {
    return transcript.empty() ? 0 : std::max(0LL, acknowledged(transcript, dots, false));
}

int BoardProgress::percent(bool passed) const {
    if (passed) {
        return 100;
    }
    return total <= 0 ? 0 : static_cast<int>(std::clamp(frames * 100 / total, 0LL, 99LL));
}

BoardProgress progress_of(const std::string& transcript, long long dots, long long total) {
    return {stage_of(transcript), std::min(frames_so_far(transcript, dots), total), total};
}

BoardProgress progress_of(const Record& record, long long total) {
    return {record.stage, record.frames, total};
}

bool began_image(const std::string& transcript, const std::string& file) {
    return transcript.find("Opening " + file + "\n") != std::string::npos;
}

const char OUT_OF_STEP[] = "answers out of step with the frames: ";

bool out_of_step(const Record& record) {
    return record.message.rfind(OUT_OF_STEP, 0) == 0;
}

Steps check_steps(const std::string& transcript, const RunFrames& frames) {
    Steps steps;
    std::string faults;
    auto fault = [&](const JobSteps& job, const std::string& what) {
        faults += (faults.empty() ? "" : ", ") + std::string(job.name) + " " + what;
        steps.stage = steps.stage == Stage::none ? job.stage : steps.stage;
    };
    size_t from = 0;
    for (const JobSteps& job : JOBS) {
        long long needed = frames.*job.frames;
        std::string text;
        if (!job_text(transcript, from, job, text)) {
            fault(job, "has no result");
            continue;
        }
        JobAnswers a = answers_in(text, job.closes);
        if (a.dots != needed) {
            fault(job,
                  "sent " + std::to_string(a.dots) + " of " + std::to_string(needed) + " frames");
        }
        long long answered = std::max(0LL, std::min(a.dots, needed) - a.foreign);
        if (job.closes && !a.closed) {
            fault(job, "closed without its answer");
        }
        if (a.foreign > 0) {
            fault(job, "answered " + std::to_string(answered) + " of " + std::to_string(needed));
        }
        steps.answered += answered + (a.closed ? 1 : 0);
    }
    if (!faults.empty()) {
        steps.why = OUT_OF_STEP + faults +
                    "; the board's agent was still answering an earlier run: take the board out "
                    "and put it back, then retry";
    }
    return steps;
}

void judge(Record& record, long long dots, const Ending& ending, const RunFrames& frames) {
    const std::string& t = record.transcript;
    bool exited = ending.how == Ending::How::exited;
    record.exit_status = exited ? std::to_string(ending.code) : "";
    long long all_frames = frames.all();
    bool passed = exited && ending.code == 0 && ends_with(t, "Programming TIV successful\n");
    record.frames = std::min(acknowledged(t, dots, passed), all_frames);
    Steps steps = passed ? check_steps(t, frames) : Steps{};
    if (!steps.why.empty()) {
        // host did all it could; the board did not get what it said.
        record.outcome = Outcome::failed;
        record.stage = steps.stage;
        record.message = steps.why;
        record.frames = steps.answered;
        return;
    }
    if (passed) {
        record.frames = all_frames;
        record.outcome = Outcome::passed;
        record.stage = Stage::none;
        record.message = "";
        return;
    }
    record.stage = stage_of(t);
    switch (ending.how) {
    case Ending::How::exited:
    case Ending::How::could_not_start:
        judge_exited(record);
        return;
    case Ending::How::signalled:
        record.outcome = Outcome::failed;
        record.message = "host ended by signal " + std::to_string(ending.code);
        return;
    case Ending::How::stopped_before_start:
        record.outcome = Outcome::aborted;
        record.message = "stopped by the station before host started";
        return;
    case Ending::How::stopped:
        break;
    }
    std::string frame = next_frame(record, all_frames);
    switch (ending.why) {
    case Ending::Why::port_lost:
        record.outcome = Outcome::failed;
        record.message = "port lost at frame " + frame;
        return;
    case Ending::Why::stalled:
        record.outcome = Outcome::stalled;
        record.message = "no answer to frame " + frame;
        return;
    case Ending::Why::station:
        record.outcome = Outcome::aborted;
        record.message = "stopped by the station at frame " + frame;
        return;
    }
}

void judge_interrupted(Record& record) {
    record.outcome = Outcome::interrupted;
    const std::string& t = record.transcript;
    DotCounter counter;
    counter.feed(t);
    record.frames = t.empty() ? 0 : acknowledged(t, counter.dots(), false);
    record.stage = t.empty() ? Stage::none : stage_of(t);
    record.message = last_line(t);
}

size_t KeptOutput::append(const char* bytes, size_t n) {
    size_t to_head = tail_.empty() ? std::min(n, first_ - std::min(first_, head_.size())) : 0;
    head_.append(bytes, to_head);
    if (to_head < n) {
        tail_.append(bytes + to_head, n - to_head);
        // Trimmed once it holds twice the bound: each byte moves once.
        if (tail_.size() > 2 * last_) {
            size_t trimmed = tail_.size() - last_;
            dropped_ += static_cast<long long>(trimmed);
            tail_.erase(0, trimmed);
        }
    }
    text_due_ = true;
    return to_head;
}

long long KeptOutput::left_out() const {
    return dropped_ + static_cast<long long>(tail_.size() - std::min(tail_.size(), last_));
}

std::string KeptOutput::rest() const {
    if (tail_.empty() && dropped_ == 0) {
        return "";
    }
    size_t from = tail_.size() - std::min(tail_.size(), last_);
    return (from > 0 || dropped_ > 0 ? left_out_line(left_out()) : "") + tail_.substr(from);
}

const std::string& KeptOutput::text() const {
    if (tail_.empty() && dropped_ == 0) {
        return head_;
    }
    if (text_due_) {
        text_ = head_ + rest();
        text_due_ = false;
    }
    return text_;
}

std::string left_out_line(long long bytes) {
    return "\n[station: " + std::to_string(bytes) + " bytes of host's output left out here]\n";
}
