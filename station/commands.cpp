// The commands and their table.
#include "station/commands.h"

#include "station/base/base.h"

#include "station/line/line.h"

#include "station/store/store.h"

#include "station/file/file.h"
#include "station/reports/reports.h"
#include "station/web/web.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace fs = std::filesystem;

struct Context {
    const Options& options;
    const StationFile& file;
    const FoundHost& host; // of a command that runs host
    Opened& opened;
};

namespace {

// A lot or operator given on the command line: a name, as fixtures' are.
void check_names(const std::string& lot, const std::string& operator_name) {
    for (const auto& [flag, value] : {std::pair("--lot", &lot), {"--operator", &operator_name}}) {
        if (!value->empty() && !is_name(*value)) {
            throw StationError{std::string(flag) + " \"" + *value + "\": " + NAME_RULE};
        }
    }
}

void check_macs_given(const Options& options) {
    if (options.round.continuous && !options.round.macs.empty()) {
        throw StationError{"--continuous takes each MAC as its board is scanned, not --mac"};
    }
    for (const std::string& pair : options.round.macs) {
        size_t equals = pair.find('=');
        if (equals == std::string::npos) {
            continue; // the fixture's name is checked with the file
        }
        std::string mac = checked_mac(pair.substr(equals + 1));
        if (mac.empty()) {
            throw StationError{"--mac " + pair + ": " + MAC_FORMS};
        }
        if (!mac_fault(mac).empty()) {
            throw StationError{"--mac " + pair + ": " + mac_fault(mac)};
        }
    }
}

// A MAC in one of its forms.
void check_board_mac(const char* command, const Options& options) {
    if (checked_mac(options.board.mac).empty()) {
        throw StationError{command + (" " + options.board.mac) + ": " + MAC_FORMS};
    }
}

// One board at most, named by its MAC or its record.
void check_retry(const Options& options) {
    check_names(options.round.lot, options.round.operator_name);
    if (!options.round.retry_mac.empty() && !options.round.retry_record.empty()) {
        throw StationError{"retry takes --mac or --record, not both"};
    }
    if (!options.round.retry_mac.empty() && checked_mac(options.round.retry_mac).empty()) {
        throw StationError{"--mac " + options.round.retry_mac + ": " + MAC_FORMS};
    }
}

void check_release(const Options& options) {
    check_board_mac("release", options);
    if (std::all_of(options.board.reason.begin(), options.board.reason.end(),
                    [](char c) { return std::isspace(static_cast<unsigned char>(c)); })) {
        throw StationError{"release needs --reason TEXT: why the MAC may go to another board"};
    }
}

void check_run(const Options& options) {
    check_macs_given(options);
    check_names(options.round.lot, options.round.operator_name);
}

// Real calendar dates, YYYY-MM-DD, in order; a lot that is a name.
void check_days(const Options& options) {
    for (const auto& [flag, value] :
         {std::pair("--since", &options.records.since), {"--until", &options.records.until}}) {
        if (!value->empty() && !date_named(*value)) {
            throw StationError{std::string(flag) + " " + *value +
                               ": a calendar date, YYYY-MM-DD, from 1970 to 9999"};
        }
    }
    if (!options.records.since.empty() && !options.records.until.empty() &&
        options.records.until < options.records.since) {
        throw StationError{"--until " + options.records.until + " comes before --since " +
                           options.records.since};
    }
    check_names(options.records.lot, "");
}

void check_report(const Options& options) {
    check_days(options);
    if (!group_by_named(options.records.by)) {
        throw StationError{"--by " + options.records.by + ": " +
                           grouping_fault(options.records.by, true, "")};
    }
    if (options.records.failures && !options.records.csv) {
        throw StationError{"--failures is the CSV's second table: give --csv with it"};
    }
}

void check_export(const Options& options) {
    check_days(options);
    if (options.records.csv + options.records.json + options.records.jsonl > 1) {
        throw StationError{"export takes one of --csv, --json and --jsonl"};
    }
}

// The records the command line chose: its local days as UTC bounds.
RecordFilter chosen(const Context& c) {
    RecordFilter filter;
    filter.station = c.options.records.station;
    filter.lot = c.options.records.lot;
    if (!c.options.records.since.empty()) {
        filter.since = day_begins(*date_named(c.options.records.since));
    }
    if (!c.options.records.until.empty()) {
        filter.until = day_begins(next_day(*date_named(c.options.records.until)));
    }
    return filter;
}

std::vector<Record> chosen_records(const Context& c, const std::string& mac, bool transcripts) {
    RecordFilter filter = chosen(c);
    filter.mac = mac;
    filter.with_transcripts = transcripts;
    return c.opened.store->records(filter);
}

// Who runs the station when --operator does not say: the login's name, when
// it is a name a record takes.
std::string login_name() {
    const passwd* user = getpwuid(getuid());
    return user != nullptr && is_name(user->pw_name) ? user->pw_name : "";
}

// What the command line says of the round: its lot and operator.
RoundRun round_run(const Context& c) {
    const std::string& given = c.options.round.operator_name;
    return {c.host, c.options.round.lot.empty() ? c.file.lot : c.options.round.lot,
            given.empty() ? login_name() : given, c.options.round.json};
}

// How the store's server replicates, and what a failover may lose.
void say_replication(Store& store) {
    std::optional<Replication> replication = store.replication();
    if (replication) {
        std::cout << replication_said(*replication) << "\n";
        std::string risk = replication_risk(*replication);
        if (!risk.empty()) {
            say_on_stderr("warning: " + risk);
        }
    }
}

int command_lock(const Context& c) {
    check_pool_bounds(c.file);
    Images images = read_images(c.file.config);
    check_mac_fits(c.file, images);
    Profile profile = station_profile(c.file, images);
    c.opened.store->lock_profile(c.file.station, profile);
    std::cout << "locked profile " << profile.id << "\n";
    for (const ImageInfo& image : image_kinds()) {
        const std::string& path = images.*image.path;
        std::string line = "  " + hash_line(image, profile.*image.locked_hash);
        // On a terminal too narrow for the path beside the hash, it goes
        // under it, so that no line wraps.
        std::optional<TerminalSize> terminal = terminal_size();
        bool beside = !terminal || line.size() + 2 + path.size() < terminal->columns;
        std::cout << line << (beside ? "  " : "\n             ") << path << "\n";
    }
    std::cout << "  OTP address " << profile.otp_address << "\n";
    if (c.file.label.on()) {
        std::cout << "  label      " << profile.label_sha256 << "  " << label_source(c.file.label)
                  << " for " << c.file.label.printer << "\n";
    }
    say_replication(*c.opened.store);
    return 0;
}

int command_run(const Context& c) {
    const RoundRun run = round_run(c);
    const Options::Round& o = c.options.round;
    return run_round(c.file, run, c.opened, {o.fixtures, o.macs, o.rework, o.continuous});
}

// The one board that `retry --mac` or `--record` names: the MAC's last
// record, on the fixture it was last on, whatever round it was in.
Planned board_to_retry(const Context& c) {
    Store& store = *c.opened.store;
    RecordFilter filter;
    filter.id = c.options.round.retry_record;
    filter.mac = checked_mac(c.options.round.retry_mac);
    std::vector<Record> found = store.records(filter);
    if (found.empty()) {
        throw StationError{filter.id.empty() ? "no records of MAC " + filter.mac
                                             : "no record " + filter.id};
    }
    RecordFilter of_mac;
    of_mac.mac = found.back().mac;
    const Record r = store.records(of_mac).back();
    const std::string mac = r.mac;
    if (!filter.id.empty() && r.id != filter.id) {
        throw StationError{"record " + filter.id + " is not the last of MAC " + mac + " (" + r.id +
                           " is): station retry --mac " + mac + " programs that board again"};
    }
    if (r.station != c.file.station) {
        throw StationError{"MAC " + mac + " was last on station " + r.station + ", fixture " +
                           r.fixture + ": run station retry --mac " + mac + " there"};
    }
    if (r.outcome == Outcome::passed) {
        throw StationError{"MAC " + mac + " passed on station " + r.station + ", fixture " +
                               r.fixture + ", at " + r.ended +
                               ": nothing to retry (station run --rework programs it again)",
                           1};
    }
    auto fixture = std::find_if(c.file.fixtures.begin(), c.file.fixtures.end(),
                                [&](const Fixture& f) { return f.name == r.fixture; });
    if (fixture == c.file.fixtures.end()) {
        throw StationError{"MAC " + mac + " was last on fixture " + r.fixture +
                           ", which is no longer in " + c.file.path};
    }
    return Planned{*fixture, mac, r.rework, r.id, r.lot, out_of_step(r)};
}

// A retried board stays in its own lot unless --lot names another.
int command_retry(const Context& c) {
    const RoundRun run = round_run(c);
    if (!c.options.round.retry_mac.empty() || !c.options.round.retry_record.empty()) {
        Planned board = board_to_retry(c);
        board.lot = c.options.round.lot.empty() ? board.lot : c.options.round.lot;
        return run_planned(c.file, run, c.opened, {board}, {});
    }
    Store& store = *c.opened.store;
    std::string round = store.last_round(c.file.station);
    if (round.empty()) {
        throw StationError{"station " + c.file.station + " has no round to retry"};
    }
    RecordFilter filter;
    filter.station = c.file.station;
    filter.round = round;
    std::vector<Planned> planned;
    std::vector<Skipped> skipped;
    std::vector<Record> records = store.records(filter);
    std::vector<const Record*> round_records;
    for (const Record& r : records) {
        round_records.push_back(&r);
    }
    for (const Record* retried : boards_to_retry(round_records)) {
        const Record& r = *retried;
        auto fixture = std::find_if(c.file.fixtures.begin(), c.file.fixtures.end(),
                                    [&](const Fixture& f) { return f.name == r.fixture; });
        if (fixture == c.file.fixtures.end()) {
            skipped.push_back({r.fixture, "no longer in " + c.file.path});
            continue;
        }
        // The same board: the same MAC, and a MAC it keeps is its own.
        planned.push_back({*fixture, r.mac, r.rework, r.id,
                           c.options.round.lot.empty() ? r.lot : c.options.round.lot,
                           out_of_step(r)});
    }
    if (planned.empty()) {
        std::cout << "nothing to retry: every board of round " << round << " passed\n";
        return 0;
    }
    return run_planned(c.file, run, c.opened, planned, skipped);
}

int command_serve(const Context& c) {
    return serve(c.file, listen_address(c.options.listen));
}

int command_init(const Context& c) {
    std::unique_ptr<Store> store = open_store(c.file.store, Schema::make_or_upgrade);
    std::cout << "the store " << shown_location(c.file.store) << " is ready\n";
    say_replication(*store);
    return 0;
}

int command_report(const Context& c) {
    std::string fault = grouping_fault(c.options.records.by, !c.file.shifts.empty(), c.file.path);
    if (!fault.empty()) {
        throw StationError{"--by " + c.options.records.by + ": " + fault};
    }
    ReportAsk ask{chosen(c), *group_by_named(c.options.records.by), c.file.shifts};
    std::vector<std::string> differences;
    Report report = count_report(*c.opened.store, ask);
    if (c.options.records.recount) {
        // The kept counts first: a board that ends meanwhile is in the
        // records' count too, and shows as a difference, not hides one.
        ask.from = CountFrom::records;
        c.opened.store->read_at_length();
        Report counted = count_report(*c.opened.store, ask);
        differences = report_differences(report, counted);
        report = std::move(counted);
    }
    print_report(report, ask, c.options.records.csv, std::cout, c.options.records.failures);
    int waiting = c.opened.spool->waiting();
    if (waiting > 0) {
        std::cout << "\n" << waiting << " record(s) wait in the spool for the store\n";
    }
    if (!differences.empty()) {
        std::cerr << "station: the counts the store keeps differ from its records:\n";
        for (const std::string& line : differences) {
            std::cerr << "  " << visible(line) << "\n";
        }
        return 2;
    }
    return 0;
}

int command_export(const Context& c) {
    ExportFormat format = c.options.records.json    ? ExportFormat::json
                          : c.options.records.jsonl ? ExportFormat::jsonl
                                                    : ExportFormat::csv;
    export_records(*c.opened.store, chosen(c), format, std::cout);
    return 0;
}

// The records of a MAC; that there are none is said.
std::vector<Record> records_of_mac(const Context& c, const std::string& mac, bool transcripts) {
    std::vector<Record> records = chosen_records(c, mac, transcripts);
    if (records.empty()) {
        std::cout << "no records of MAC " << mac << "\n";
    }
    return records;
}

int command_history(const Context& c) {
    std::string mac = checked_mac(c.options.board.mac);
    // A MAC on two boards is said before anything else of it.
    for (const Conflict& conflict : c.opened.store->conflicts(mac, true)) {
        std::cout << (conflict.resolved.empty() ? "CONFLICT: " : "was in conflict: ")
                  << conflict_said(conflict) << "\n";
    }
    RecordFilter filter = chosen(c);
    filter.mac = mac;
    filter.with_transcripts = true;
    std::string logs = log_folder(c.file);
    long long printed = print_history(
        [&](const RecordTaker& take) { c.opened.store->each_record(filter, take); },
        c.opened.store->releases(mac), c.opened.store->labels_of(mac),
        [&logs](const Record& r) { return find_board_log(logs, r).value_or(""); }, std::cout);
    if (printed == 0) {
        std::cout << "no records of MAC " << mac << "\n";
        return 1;
    }
    return 0;
}

// The log of the MAC's latest record, as it is on this machine.
int command_log(const Context& c) {
    std::string mac = checked_mac(c.options.board.mac);
    std::vector<Record> records = records_of_mac(c, mac, false);
    if (records.empty()) {
        return 1;
    }
    const Record& latest = records.back(); // by attempt
    std::optional<std::string> path = find_board_log(log_folder(c.file), latest);
    std::ifstream log(path.value_or(""), std::ios::binary);
    if (!log) {
        say_on_stderr("the log of MAC " + mac + "'s latest record " + latest.id + " (station " +
                      latest.station + ", fixture " + latest.fixture + ", started " +
                      latest.started + ") is not in " + log_folder(c.file) + " on this machine");
        return 1;
    }
    std::cout << log.rdbuf();
    std::cout.flush();
    return 0;
}

// Who runs this command, for the record of a release or a label:
// user@machine.
std::string who_runs();

// The label of the MAC's newest passed record, printed again with the
// locked template: a reprint needs its reason, recorded with it.
int command_label(const Context& c) {
    if (!c.file.label.on()) {
        throw StationError{c.file.path + " has no [label]: a label needs its template and printer"};
    }
    Store& store = *c.opened.store;
    std::string mac = checked_mac(c.options.board.mac);
    const Record* passed = nullptr;
    std::vector<Record> records = records_of_mac(c, mac, false);
    for (const Record& r : records) {
        passed = r.outcome == Outcome::passed ? &r : passed;
    }
    if (passed == nullptr) {
        throw StationError{"MAC " + mac +
                           " has no passed record: a label is for a board that passed"};
    }
    std::optional<Profile> locked = store.locked_profile(c.file.station);
    std::string label = read_label(c.file.label);
    if (!locked || hash_text(label) != locked->label_sha256) {
        throw StationError{"the label " + label_source(c.file.label) +
                           " is not the locked one: run `station lock` first"};
    }
    std::vector<LabelEvent> before = store.labels_of(mac);
    bool again = std::any_of(before.begin(), before.end(),
                             [](const LabelEvent& l) { return l.event != "not printed"; });
    std::string reason = c.options.board.reason;
    if (again && std::all_of(reason.begin(), reason.end(), [](char ch) {
            return std::isspace(static_cast<unsigned char>(ch));
        })) {
        throw StationError{"MAC " + mac +
                           "'s label was printed before: give --reason TEXT, why "
                           "it is printed again"};
    }
    const Record& r = *passed;
    std::string job;
    std::string why = print_label(c.file.label, label, label_fields(r), job);
    if (!why.empty()) {
        throw StationError{"the label of MAC " + mac + " is not printed: " + c.file.label.printer +
                           ": " + why};
    }
    LabelEvent printed{
        r.id,       mac,   again ? "reprinted" : "printed", utc_now(), c.file.label.printer, job,
        who_runs(), reason};
    store.add_label(printed);
    std::cout << "label of MAC " << mac << " (record " << r.id << ") " << printed.event << " on "
              << printed.printer << ", job " << printed.job << "\n";
    return 0;
}

std::string who_runs() {
    const passwd* user = getpwuid(geteuid());
    char machine[256] = "";
    gethostname(machine, sizeof(machine) - 1);
    return (user ? std::string(user->pw_name) : "uid " + std::to_string(geteuid())) + "@" + machine;
}

// A MAC on two boards: the record named gives it up, passed or not, once
// its station runs no command; the other board keeps it.
int release_conflict(const Context& c, const std::string& mac, const std::vector<Conflict>& open) {
    Store& store = *c.opened.store;
    const std::string& named = c.options.board.record;
    const Record* giver = nullptr;
    for (const Conflict& conflict : open) {
        for (const Record* r : {&conflict.late, &conflict.other}) {
            giver = r->id == named ? r : giver;
        }
    }
    if (giver == nullptr) {
        std::string both;
        for (const Conflict& conflict : open) {
            both += "\nstation: " + conflict_said(conflict);
        }
        throw StationError{"MAC " + mac +
                           " is on two boards: name the record of the board that "
                           "gives it up with --record ID" +
                           both};
    }
    bool ours = giver->station == c.file.station;
    if (ours ? !c.opened.alive : !store.hold_liveness(giver->station)) {
        throw StationError{"station " + giver->station +
                           " holds its lock on the store (a command of it runs): release MAC " +
                           mac + " from its record once that command has ended"};
    }
    Release x{mac, giver->id, giver->station, utc_now(), who_runs(), c.options.board.reason};
    if (!store.release(x)) {
        throw StationError{"MAC " + mac + " changed hands while it was released: look again"};
    }
    std::cout << "released MAC " << mac << " from record " << giver->id << " (station "
              << giver->station << ", fixture " << giver->fixture << ", " << text_of(giver->outcome)
              << "): the other board keeps it, and MAC " << mac << " is on one board again\n";
    return 0;
}

// Of an interrupted board: its station may yet deliver the board's true
// outcome from its spool, and the MAC would then be on two boards.
void warn_of_late_truth(Store& store, const Holder& holder, const std::string& mac) {
    std::string heard;
    for (const Beat& beat : store.line_now().beats) {
        heard = beat.station == holder.station ? beat.beat : heard;
    }
    say_on_stderr("note: station " + holder.station +
                  " may still hold this board's true outcome in its spool (last heard from " +
                  (heard.empty() ? std::string("never, by its heartbeat") : "at " + heard) +
                  "); if it arrives after MAC " + mac +
                  " went to another board, the MAC is shown on two boards (station conflicts)");
}

// A person's word frees a MAC that a board holds without a passed record
// (interrupted, or kept by the one-time rule): never while a command of the
// station that holds it runs, since that command may still be using it.
int command_release(const Context& c) {
    Store& store = *c.opened.store;
    std::string mac = checked_mac(c.options.board.mac);
    std::vector<Conflict> open = store.conflicts(mac, false);
    if (!open.empty()) {
        return release_conflict(c, mac, open);
    }
    std::optional<Holder> holder = store.holder_of(mac);
    if (!holder) {
        std::cout << "MAC " << mac << " is held by no board: nothing to release\n";
        return 1;
    }
    std::string where = "station " + holder->station + ", fixture " + holder->fixture;
    if (holder->passed_claim) {
        throw StationError{"MAC " + mac + " passed on " + where +
                           ": a passed board keeps its MAC (station run --rework programs it "
                           "again)"};
    }
    bool ours = holder->station == c.file.station;
    if (ours ? !c.opened.alive : !store.hold_liveness(holder->station)) {
        throw StationError{"station " + holder->station +
                           " holds its lock on the store (a command of it runs, and may be "
                           "programming MAC " +
                           mac + "): release it once that command has ended"};
    }
    if (holder->outcome == Outcome::started) {
        throw StationError{"record " + holder->record + " of MAC " + mac +
                           " is still open: any command of station " + holder->station +
                           " marks it interrupted first"};
    }
    if (!c.options.board.record.empty() && c.options.board.record != holder->record) {
        throw StationError{"MAC " + mac + " is held by record " + holder->record + ", not " +
                           c.options.board.record};
    }
    if (holder->outcome == Outcome::interrupted) {
        warn_of_late_truth(store, *holder, mac);
    }
    Release x{mac, holder->record, holder->station, utc_now(), who_runs(), c.options.board.reason};
    if (!store.release(x)) {
        throw StationError{"MAC " + mac + " changed hands while it was released: look again"};
    }
    std::cout << "released MAC " << mac << " from record " << holder->record << " (" << where
              << ", " << text_of(holder->outcome) << ")\n";
    return 0;
}

// Every MAC on two boards, with both records and what resolves it.
int command_conflicts(const Context& c) {
    std::vector<Conflict> found = c.opened.store->conflicts("", c.options.records.all);
    if (c.options.records.json) {
        std::cout << json_text(conflicts_json(found), -1) << "\n";
        return 0;
    }
    if (found.empty()) {
        std::cout << "no MAC is on two boards\n";
    }
    for (const Conflict& conflict : found) {
        std::cout << conflict_said(conflict) << "\n";
    }
    return 0;
}

// A record the station printed as written nowhere ("station: " and one JSON
// line), given back; none for any other line.
std::optional<Record> printed_record(std::string line) {
    if (line.rfind("station: ", 0) == 0) {
        line.erase(0, 9);
    }
    nlohmann::json item = nlohmann::json::parse(line, nullptr, false);
    if (!item.is_object() || !item.contains("unrecorded") || !item["unrecorded"].is_object()) {
        return std::nullopt;
    }
    const nlohmann::json& r = item["unrecorded"];
    Record record = record_of_json(r, r.value("transcript", std::string()));
    record.mac_kept = r.value("mac_kept", false);
    return record;
}

// Why a record printed as written nowhere may not be given back, or an
// empty text: it must be this station's, started in this store, and not
// finished there since with another end.
std::string give_back_fault(const Context& c, const Record& r) {
    if (r.station != c.file.station) {
        return "record " + r.id + " is of station " + r.station + ", not " + c.file.station;
    }
    RecordFilter only;
    only.id = r.id;
    std::vector<Record> stored = c.opened.store->records(only);
    if (stored.empty()) {
        return "record " + r.id + " is unknown to the store " + c.opened.store->shown();
    }
    const Record& s = stored[0];
    bool open = s.outcome == Outcome::started || s.outcome == Outcome::interrupted;
    if (!open && (s.outcome != r.outcome || s.ended != r.ended)) {
        return "record " + r.id + " is " + text_of(s.outcome) + " in the store since " + s.ended +
               ", not " + text_of(r.outcome) + " as given";
    }
    return "";
}

int command_record(const Context& c) {
    std::ifstream file;
    if (c.options.from != "-") {
        file.open(c.options.from);
        if (!file) {
            throw StationError{"cannot read " + c.options.from + ": " + std::strerror(errno)};
        }
    }
    std::istream& in = c.options.from == "-" ? std::cin : file;
    int given = 0, refused = 0;
    for (std::string line; std::getline(in, line);) {
        std::optional<Record> r = printed_record(line);
        if (!r) {
            continue;
        }
        std::string fault = give_back_fault(c, *r);
        if (!fault.empty()) {
            say_on_stderr("refused: " + fault);
            refused += 1;
            continue;
        }
        Finish finish = c.opened.store->finish(*r);
        if (finish.conflict) {
            say_on_stderr(conflict_said(*finish.conflict));
            c.opened.conflicts += 1;
        }
        if (finish.reclaimed) {
            say_on_stderr(reclaim_said(*r));
        }
        std::cout << "record " << r->id << " (" << r->fixture << " " << r->mac << ") "
                  << outcome_said(*r) << ": in the store\n";
        given += 1;
    }
    if (given + refused == 0) {
        throw StationError{c.options.from + " holds no record printed as written nowhere"};
    }
    return refused > 0 ? 2 : 0;
}

int command_kept(const Context& c) {
    std::vector<Record> kept = c.opened.store->kept_macs();
    if (c.options.records.json) {
        std::cout << json_text(kept_json(kept), -1) << "\n";
    } else {
        print_kept(kept, std::cout);
    }
    return 0;
}

// The serial ports of this machine with their stable names.
int command_pool(const Context& c) {
    const MacPlan& plan = c.file.mac;
    if (!plan.has_pool()) {
        throw StationError{c.file.path + " has no MAC pool ([mac] first and last)"};
    }
    unsigned long long size = plan.pool_size();
    long long taken = c.opened.store->pool_used(plan.first, plan.last);
    auto [unclaimed, some] = c.opened.store->pool_unclaimed(plan.first, plan.last, 10);
    std::cout << "first " << plan.first << "\nlast  " << plan.last << "\nused  "
              << taken - unclaimed << "\n";
    // Taken from the pool all the same: a board may have got one.
    if (unclaimed > 0) {
        std::cout << "handed out and never claimed " << unclaimed << ":";
        for (const std::string& mac : some) {
            std::cout << " " << mac;
        }
        std::cout << (unclaimed > static_cast<long long>(some.size()) ? " ..." : "") << "\n";
    }
    std::cout << "left  " << size - static_cast<unsigned long long>(taken) << "\n";
    return 0;
}

int command_ports(const Context&) {
    std::map<std::string, std::vector<std::string>> names; // node -> stable names
    for (const char* folder : {"/dev/serial/by-path", "/dev/serial/by-id"}) {
        std::error_code none;
        for (const auto& entry : fs::directory_iterator(folder, none)) {
            std::error_code broken;
            fs::path node = fs::canonical(entry.path(), broken);
            if (!broken) {
                names[node.string()].push_back(entry.path().string());
            }
        }
    }
    std::error_code none;
    for (const auto& entry : fs::directory_iterator("/dev", none)) {
        std::string name = entry.path().filename().string();
        for (const char* prefix : {"ttyUSB", "ttyACM", "ttyS", "ttyAMA"}) {
            if (name.rfind(prefix, 0) == 0 && name.size() > std::strlen(prefix)) {
                names[entry.path().string()];
            }
        }
    }
    if (names.empty()) {
        std::cout << "no serial ports\n";
    }
    for (const auto& [node, stable] : names) {
        std::cout << node << "\n";
        for (const std::string& name : stable) {
            std::cout << "  " << name << "\n";
        }
    }
    return 0;
}

void no_options(CLI::App&, Options&) {}
void no_check(const Options&) {}

void run_options(CLI::App& run, Options& o) {
    run.add_option("--mac", o.round.macs, "FIXTURE=MAC, the board's MAC (else asked for)");
    run.add_option("--fixtures", o.round.fixtures, "A1,A2: only these fixtures");
    run.add_flag("--json", o.round.json, "one JSON object per event");
    run.add_flag("--rework", o.round.rework, "program boards that passed before (recorded)");
    run.add_flag("--continuous", o.round.continuous,
                 "each fixture on its own: a board starts as its MAC is scanned");
    run.add_option("--lot", o.round.lot,
                   "the work order the boards belong to (else the file's lot)");
    run.add_option("--operator", o.round.operator_name, "who runs the station (recorded)");
}

void retry_options(CLI::App& retry, Options& o) {
    retry.add_flag("--json", o.round.json, "one JSON object per event");
    retry.add_option("--mac", o.round.retry_mac,
                     "only the board of this MAC, on the fixture it was last on, whatever round");
    retry.add_option("--record", o.round.retry_record, "only the board of this record");
    retry.add_option("--lot", o.round.lot, "the boards' lot (else each keeps its own)");
    retry.add_option("--operator", o.round.operator_name, "who runs the station (recorded)");
}

// The records report and export take.
void chosen_options(CLI::App& command, Options& o) {
    command.add_option("--since", o.records.since,
                       "YYYY-MM-DD: records started that local day or later");
    command.add_option("--until", o.records.until,
                       "YYYY-MM-DD: records started that local day or before");
    command.add_option("--station", o.records.station, "only this station's records");
    command.add_option("--lot", o.records.lot, "only this lot's records");
}

void label_options(CLI::App& label, Options& o) {
    label.add_option("MAC", o.board.mac, "the board's MAC")->required();
    label.add_option("--reason", o.board.reason,
                     "why it is printed again, when one was printed (recorded)");
}

void release_options(CLI::App& release, Options& o) {
    release.add_option("MAC", o.board.mac, "the MAC to free")->required();
    release.add_option("--record", o.board.record,
                       "the record that gives it up (of a MAC on two boards: either one)");
    release.add_option("--reason", o.board.reason, "why it may go to another board (recorded)")
        ->required();
}

void report_options(CLI::App& report, Options& o) {
    chosen_options(report, o);
    report.add_flag("--csv", o.records.csv, "as CSV, a row a group");
    report.add_flag("--failures", o.records.failures,
                    "with --csv: the failures, a row a group, stage and failure");
    report.add_option("--by", o.records.by,
                      "day (the default), shift, lot, station, fixture or operator");
    report.add_flag("--recount", o.records.recount,
                    "count the records themselves and check the kept counts against them "
                    "(status 2 when they differ)");
}

void export_options(CLI::App& exporting, Options& o) {
    chosen_options(exporting, o);
    exporting.add_flag("--csv", o.records.csv, "as CSV (the default)");
    exporting.add_flag("--json", o.records.json, "as a JSON array, with the transcripts");
    exporting.add_flag("--jsonl", o.records.jsonl,
                       "as JSON Lines, one record a line, with the transcripts");
}

void serve_options(CLI::App& serve, Options& o) {
    serve.add_option("--listen", o.listen,
                     "ADDR:PORT to serve at (default 127.0.0.1:8080; 0.0.0.0:8080 for the "
                     "line's network)");
}

void check_serve(const Options& options) {
    listen_address(options.listen);
}

void conflicts_options(CLI::App& conflicts, Options& o) {
    conflicts.add_flag("--json", o.records.json, "as a JSON array");
    conflicts.add_flag("--all", o.records.all, "the resolved ones too");
}

void record_options(CLI::App& record, Options& o) {
    record
        .add_option("--from", o.from,
                    "the station's standard error, or the lines of it, that printed records "
                    "written nowhere (- for standard input)")
        ->required();
}

void kept_options(CLI::App& kept, Options& o) {
    kept.add_flag("--json", o.records.json, "as a JSON array");
}

void history_options(CLI::App& history, Options& o) {
    history.add_option("MAC", o.board.mac, "the board's MAC")->required();
}

// Seconds as a person writes them: 60, 2.5.
std::string seconds_text(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}

// Records of one MAC from stations whose clocks disagree would be ordered
// and counted by wrong times: a command that writes says so, and no round
// runs past the file's bound.
void check_clock(const StationFile& file, Store& store, bool runs_rounds) {
    std::optional<double> offset = store.clock_offset();
    if (!offset || std::abs(*offset) <= file.clock_warn) {
        return;
    }
    std::string here = utc_now();
    std::string apart = std::to_string(static_cast<long long>(std::llround(std::abs(*offset))));
    std::string said = "this machine's clock says " + here + ", the store's server " +
                       utc_text(std::chrono::system_clock::now() +
                                std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                    std::chrono::duration<double>(*offset))) +
                       ": " + apart + " s apart";
    if (runs_rounds && std::abs(*offset) > file.clock_refuse) {
        throw StationError{said + ", more than the " + seconds_text(file.clock_refuse) +
                           " s a round allows ([clock] refuse in " + file.path +
                           "): set this machine's clock (NTP) first"};
    }
    say_on_stderr("warning: " + said + " (more than " + seconds_text(file.clock_warn) +
                  " s): its records' times are this machine's");
}

} // namespace

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"lock", "lock the images of the configuration as the station's profile",
         Needs::station_to_itself, false, no_options, no_check, command_lock},
        {"run", "program every fixture (or --fixtures) at once", Needs::station_to_itself, true,
         run_options, check_run, command_run},
        {"retry", "run the boards of the last round that failed (or one, by --mac or --record)",
         Needs::station_to_itself, true, retry_options, check_retry, command_retry},
        {"report", "boards, yield and failures per day (or --by shift, lot, station, fixture)",
         Needs::shared_store, false, report_options, check_report, command_report},
        {"export", "the records (CSV, --json or --jsonl)", Needs::shared_store, false,
         export_options, check_export, command_export},
        {"init", "create or upgrade the store's schema", Needs::file, false, no_options, no_check,
         command_init},
        {"history", "one board's records with transcripts", Needs::shared_store, false,
         history_options, [](const Options& o) { check_board_mac("history", o); }, command_history},
        {"log", "the log of a board's latest record", Needs::shared_store, false, history_options,
         [](const Options& o) { check_board_mac("log", o); }, command_log},
        {"pool", "the MAC pool: first, last, used and left", Needs::shared_store, false, no_options,
         no_check, command_pool},
        {"label", "print a passed board's label again (recorded, with --reason once printed)",
         Needs::station_to_itself, false, label_options,
         [](const Options& o) { check_board_mac("label", o); }, command_label},
        {"release", "free a MAC an interrupted or kept board holds (recorded, with --reason)",
         Needs::shared_store, false, release_options, check_release, command_release},
        {"conflicts", "the MACs on two boards, which a release of one of them resolves",
         Needs::shared_store, false, conflicts_options, no_check, command_conflicts},
        {"record", "give back records the station printed as written nowhere (--from FILE)",
         Needs::station_to_itself, false, record_options, no_check, command_record},
        {"kept", "the MACs that boards keep, each with the commands that retry or free it",
         Needs::shared_store, false, kept_options, no_check, command_kept},
        {"ports", "the serial ports of this machine and their stable names", Needs::nothing, false,
         no_options, no_check, command_ports},
        {"serve", "the line's live web view, read-only, from the store (--listen ADDR:PORT)",
         Needs::file, false, serve_options, check_serve, command_serve},
    };
    return table;
}

std::string version_text() {
    std::string text = "station release " HOST_RELEASE_VERSION "\n";
    try {
        FoundHost host = find_host();
        return text + "host release " + host.version + " (" + host.path + ")";
    } catch (const StationError& e) {
        return text + "host: " + e.message;
    }
}

// Whether the command's standard output is for people, whose terminal is
// shown no control character of a text it quotes; data (CSV, JSON, a log)
// goes out as it is, each format escaping what it must.
bool for_people(const Command& command, const Options& o) {
    bool data = o.records.json || o.records.jsonl || o.records.csv || o.round.json;
    return !data && command.run != command_export && command.run != command_log;
}

// The commands that read what the line did, from the file's read_store
// when it names one.
bool reads_only(const Command& command) {
    return command.run == command_report || command.run == command_export ||
           command.run == command_history;
}

int run_command(const Command& command, const Options& options) {
    command.check(options);
    VisibleStdout shown(for_people(command, options));
    StationFile file;
    Opened opened;
    if (command.needs != Needs::nothing) {
        file = read_station_file(options.file);
    }
    if (command.needs == Needs::station_to_itself) {
        check_programs(file);
    }
    FoundHost host;
    if (command.runs_host) {
        host = find_host(file);
    }
    if (reads_only(command) && !file.read_store.empty()) {
        // Nothing of the primary: no lock, no spool to deliver (what waits
        // in it is still said).
        opened.store = open_store(file.read_store, Schema::read_only);
        opened.spool = std::make_shared<Spool>(spool_path(file), file.store_on_server);
    } else if (command.needs == Needs::shared_store || command.needs == Needs::station_to_itself) {
        opened = open_for(file, command.needs == Needs::station_to_itself ? Hold::to_itself
                                : command.run == command_release          ? Hold::when_free
                                                                          : Hold::to_read);
        // A command that only reads holds its station no longer than it
        // takes to deliver the spool: a reader that stalls (a pager, a
        // frozen network) holds no command of the station back.
        if (command.needs == Needs::shared_store && command.run != command_release) {
            opened.store->let_go_liveness(file.station);
        }
    }
    bool writes = command.needs == Needs::station_to_itself || command.run == command_release;
    if (writes) {
        check_clock(file, *opened.store, command.runs_host);
    }
    int status = command.run(Context{options, file, host, opened});
    // The late records it delivered put a MAC on two boards: said above,
    // and in its status.
    return opened.conflicts > 0 && (status == 0 || status == 1) ? CONFLICT_STATUS : status;
}
