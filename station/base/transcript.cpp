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

} // namespace

bool DotCounter::feed(const char* bytes, size_t n) {
    bool new_dot = false;
    for (size_t i = 0; i < n; ++i) {
        char c = bytes[i];
        if (in_dots_ && c == '.') {
            dots_ += 1;
            new_dot = true;
            continue;
        }
        in_dots_ = false;
        matched_ = c == PROGRAMMING[matched_] ? matched_ + 1 : (c == PROGRAMMING[0] ? 1 : 0);
        if (matched_ == static_cast<int>(sizeof(PROGRAMMING) - 1)) {
            in_dots_ = true;
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

void judge(Record& record, long long dots, const Ending& ending, long long all_frames) {
    const std::string& t = record.transcript;
    bool exited = ending.how == Ending::How::exited;
    record.exit_status = exited ? std::to_string(ending.code) : "";
    bool passed = exited && ending.code == 0 && ends_with(t, "Programming TIV successful\n");
    record.frames = std::min(acknowledged(t, dots, passed), all_frames);
    if (passed) {
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
