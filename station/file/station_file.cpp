// Reading the station file with toml++, and finding the host it runs.
#include "station/file/station_file.h"

#include "station/base/base.h"

#include <algorithm>
#include <cctype>

#include <toml++/toml.h>

#include <climits>
#include <cstring>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

std::string program_folder() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    return n > 0 ? fs::path(std::string(path, static_cast<size_t>(n))).parent_path().string() : ".";
}

// The release version host carries for `strings`; empty when none.
std::string release_of(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const std::string mark = "host release ";
    size_t at = bytes.find(mark);
    if (at == std::string::npos) {
        return "";
    }
    size_t end = bytes.find('\0', at);
    return bytes.substr(at + mark.size(), end - at - mark.size());
}

// The machine an ELF program is built for, from its header: its class
// (32 or 64 bits), byte order and machine. Empty for a file that is not
// ELF (a script: its interpreter is the system's).
std::string elf_machine(const std::string& path) {
    unsigned char header[20] = {};
    std::ifstream file(path, std::ios::binary);
    if (!file.read(reinterpret_cast<char*>(header), sizeof(header)) || header[0] != 0x7f ||
        header[1] != 'E' || header[2] != 'L' || header[3] != 'F') {
        return "";
    }
    bool little = header[5] == 1;
    unsigned machine = little ? header[18] | header[19] << 8 : header[18] << 8 | header[19];
    const std::map<unsigned, const char*> names = {
        {3, "i386"}, {40, "32-bit ARM"}, {62, "x86-64"}, {183, "aarch64"}};
    auto named = names.find(machine);
    std::string name =
        named != names.end() ? named->second : "ELF machine " + std::to_string(machine);
    return name + (header[4] == 1 || header[4] == 2 ? "" : " (unknown class)") +
           (little ? "" : " (big-endian)");
}

// What host must be: a file this process may run, built for this machine,
// that carries a release version. Empty when it is (`version` then holds
// it), else why not.
std::string host_fault(const std::string& path, std::string& version) {
    struct stat about;
    if (stat(path.c_str(), &about) != 0) {
        return "no such file";
    }
    if (!S_ISREG(about.st_mode) || access(path.c_str(), X_OK) != 0) {
        return "not a program this user may run";
    }
    static const std::string ours = elf_machine("/proc/self/exe");
    std::string its = elf_machine(path);
    if (!its.empty() && !ours.empty() && its != ours) {
        return "built for " + its + " (its ELF header), and this station runs " + ours +
               " programs";
    }
    version = release_of(path);
    return version.empty() ? "carries no host release version" : "";
}

// The keys of each table, as the reader checks them.
const std::set<std::string> TOP_KEYS = {"station", "store",   "read_store", "config",   "stall",
                                        "host",    "fixture", "mac",        "timezone", "lot",
                                        "shifts",  "clock",   "bell",       "label"};
const std::set<std::string> FIXTURE_KEYS = {"name", "port"};
const std::set<std::string> MAC_KEYS = {"image", "offset", "first", "last"};
const std::set<std::string> CLOCK_KEYS = {"warn", "refuse"};
const std::set<std::string> LABEL_KEYS = {"template", "printer", "verify",
                                          "width",    "height",  "barcode"};

[[noreturn]] void refuse(const std::string& path, const toml::source_region& where,
                         const std::string& what) {
    throw StationError{path + ":" + std::to_string(where.begin.line) + ": " + what};
}

// Every key of `table` must be one of `known`.
void check_keys(const std::string& path, const toml::table& table,
                const std::set<std::string>& known, const std::string& within) {
    for (const auto& [key, node] : table) {
        if (known.count(std::string(key.str())) == 0) {
            refuse(path, key.source(), "unknown key \"" + std::string(key.str()) + "\"" + within);
        }
    }
}

std::string text_of(const std::string& path, const toml::table& table, const char* key,
                    const toml::source_region& table_place, bool required) {
    const toml::node* node = table.get(key);
    if (node == nullptr) {
        if (required) {
            refuse(path, table_place, std::string("missing key \"") + key + "\"");
        }
        return "";
    }
    const auto* text = node->as_string();
    if (text == nullptr || text->get().empty()) {
        refuse(path, node->source(), std::string("\"") + key + "\" takes a text that is not empty");
    }
    return text->get();
}

// What a port names: the node it resolves to when it is there, else its
// path made absolute and plain.
std::string port_identity(const std::string& port) {
    std::error_code missing;
    fs::path node = fs::canonical(port, missing);
    return missing ? fs::absolute(port).lexically_normal().string() : node.string();
}

std::string beside(const fs::path& folder, const std::string& path) {
    return fs::path(path).is_absolute() ? path : (folder / path).lexically_normal().string();
}

std::vector<Fixture> read_fixtures(const std::string& path, const toml::table& root) {
    std::vector<Fixture> fixtures;
    const toml::node* node = root.get("fixture");
    if (node == nullptr) {
        return fixtures; // a file for the web view alone
    }
    const auto* list = node->as_array();
    if (list == nullptr || !list->is_array_of_tables()) {
        refuse(path, node->source(), "\"fixture\" must be written as [[fixture]] tables");
    }
    std::set<std::string> names;
    std::map<std::string, std::string> ports; // what a port names -> its fixture
    for (const auto& element : *list) {
        const toml::table& table = *element.as_table();
        check_keys(path, table, FIXTURE_KEYS, " in [[fixture]]");
        Fixture fixture{text_of(path, table, "name", table.source(), true),
                        text_of(path, table, "port", table.source(), true)};
        if (!is_name(fixture.name)) {
            refuse(path, table.get("name")->source(),
                   "fixture name \"" + fixture.name + "\": " + NAME_RULE);
        }
        if (!names.insert(fixture.name).second) {
            refuse(path, table.get("name")->source(), "fixture \"" + fixture.name + "\" twice");
        }
        // Two fixtures on one port would program one board twice.
        auto [other, added] = ports.insert({port_identity(fixture.port), fixture.name});
        if (!added) {
            refuse(path, table.get("port")->source(),
                   "fixture " + fixture.name + " has the port of fixture " + other->second + " (" +
                       other->first + ")");
        }
        fixtures.push_back(fixture);
    }
    return fixtures;
}

// The table [`name`], if the file has one, its keys all `known` (none
// named: any key).
const toml::table* section(const std::string& path, const toml::table& root, const char* name,
                           const std::set<std::string>& known = {}) {
    const toml::node* node = root.get(name);
    if (node == nullptr) {
        return nullptr;
    }
    const toml::table* table = node->as_table();
    if (table == nullptr) {
        refuse(path, node->source(),
               std::string("\"") + name + "\" must be written as a [" + name + "] table");
    }
    if (!known.empty()) {
        check_keys(path, *table, known, std::string(" in [") + name + "]");
    }
    return table;
}

// 12 hexadecimal digits, in upper case; empty for anything else.
std::string pool_mac(const std::string& text) {
    return text.size() == 12 ? checked_mac(text) : "";
}

// Two keys of `table` that go together: both nodes, or neither.
std::pair<const toml::node*, const toml::node*> pair_of(const std::string& path,
                                                        const toml::table& table, const char* one,
                                                        const char* other,
                                                        const char* within = "[mac]") {
    const toml::node* a = table.get(one);
    const toml::node* b = table.get(other);
    if ((a == nullptr) != (b == nullptr)) {
        refuse(path, (a ? a : b)->source(),
               std::string(within) + " takes \"" + one + "\" and \"" + other + "\" together");
    }
    return {a, b};
}

MacPlan read_mac_plan(const std::string& path, const toml::table& root) {
    MacPlan plan;
    const toml::table* table = section(path, root, "mac", MAC_KEYS);
    if (table == nullptr) {
        return plan;
    }
    auto [image, offset] = pair_of(path, *table, "image", "offset");
    if (image != nullptr) {
        std::string name = text_of(path, *table, "image", table->source(), true);
        for (const ImageInfo& kind : image_kinds()) {
            plan.image = name == kind.name ? kind.kind : plan.image;
        }
        if (!plan.image) {
            std::string names;
            for (const ImageInfo& kind : image_kinds()) {
                names += (names.empty()                    ? ""
                          : &kind == &image_kinds().back() ? " or "
                                                           : ", ") +
                         std::string("\"") + kind.name + "\"";
            }
            refuse(path, image->source(), "\"image\" is " + names);
        }
        std::optional<int64_t> at = offset->value<int64_t>();
        if (!offset->is_integer() || !at || *at < 0) {
            refuse(path, offset->source(), "\"offset\" takes a whole number of bytes, 0 or more");
        }
        plan.offset = static_cast<long long>(*at);
        plan.offset_place = path + ":" + std::to_string(offset->source().begin.line);
    }
    auto [first, last] = pair_of(path, *table, "first", "last");
    if (first != nullptr) {
        plan.first = pool_mac(text_of(path, *table, "first", table->source(), true));
        plan.last = pool_mac(text_of(path, *table, "last", table->source(), true));
        if (plan.first.empty() || plan.last.empty()) {
            refuse(path, (plan.first.empty() ? first : last)->source(),
                   "a pool's MAC is 12 hexadecimal digits");
        }
        if (plan.first > plan.last) {
            refuse(path, last->source(), "the pool's \"last\" comes before its \"first\"");
        }
        plan.first_place = path + ":" + std::to_string(first->source().begin.line);
        plan.last_place = path + ":" + std::to_string(last->source().begin.line);
    }
    return plan;
}

// The built-in label's size and barcode; it goes through CUPS.
void read_layout(const std::string& path, const toml::table& table, LabelPlan& plan) {
    plan.builtin = true;
    if (!has_built_in_label()) {
        refuse(path, table.source(),
               "this station was built without its built-in label (libzint): give a "
               "\"template\" in the printer's own language");
    }
    if (plan.queue.empty()) {
        refuse(path, table.get("printer")->source(),
               "the built-in label is printed through CUPS: \"printer\" names a CUPS queue "
               "(or give a \"template\" in the printer's own language)");
    }
    for (auto [key, mm] :
         {std::pair("width", &plan.layout.width_mm), std::pair("height", &plan.layout.height_mm)}) {
        if (const toml::node* node = table.get(key)) {
            std::optional<double> value = node->value<double>();
            if (!value || !std::isfinite(*value) || *value < 10 || *value > 300) {
                refuse(path, node->source(),
                       std::string("\"") + key + "\" takes millimetres, from 10 to 300");
            }
            *mm = *value;
        }
    }
    if (const toml::node* node = table.get("barcode")) {
        plan.layout.barcode = node->value_or(std::string());
        if (plan.layout.barcode != "code128" && plan.layout.barcode != "datamatrix") {
            refuse(path, node->source(), "\"barcode\" is \"code128\" or \"datamatrix\"");
        }
    }
}

// [label] printer = "socket://HOST:PORT" or a CUPS queue; template = FILE
// (the printer's own language, raw) or none: the built-in label, of
// width x height mm with its barcode, printed through CUPS.
LabelPlan read_label_plan(const std::string& path, const toml::table& root,
                          const fs::path& folder) {
    LabelPlan plan;
    const toml::table* table = section(path, root, "label", LABEL_KEYS);
    if (table == nullptr) {
        return plan;
    }
    plan.place = path + ":" + std::to_string(table->source().begin.line);
    const toml::node* printer = table->get("printer");
    if (printer == nullptr) {
        refuse(path, table->source(),
               "[label] takes \"printer\": socket://HOST:PORT or a CUPS "
               "queue");
    }
    plan.printer = text_of(path, *table, "printer", table->source(), true);
    static const std::regex raw(R"(socket://([A-Za-z0-9.-]+|\[[0-9A-Fa-f:.]+\]):([0-9]{1,5}))");
    static const std::regex queue(R"([A-Za-z0-9_.-]{1,127})");
    std::smatch parts;
    if (std::regex_match(plan.printer, parts, raw) && std::stoi(parts[2]) > 0 &&
        std::stoi(parts[2]) <= 65535) {
        plan.host = parts[1];
        if (plan.host.front() == '[') {
            plan.host = plan.host.substr(1, plan.host.size() - 2);
        }
        plan.port = std::stoi(parts[2]);
    } else if (plan.printer.rfind("socket:", 0) != 0 && std::regex_match(plan.printer, queue)) {
        plan.queue = plan.printer;
    } else {
        refuse(path, printer->source(),
               "\"printer\" is a raw label printer, socket://HOST:PORT (its port is 9100, "
               "mostly), or a CUPS queue's name (lpstat -p lists them)");
    }
    if (const toml::node* label = table->get("template")) {
        for (const char* key : {"width", "height", "barcode"}) {
            if (const toml::node* node = table->get(key)) {
                refuse(path, node->source(),
                       std::string("\"") + key +
                           "\" is the built-in label's; a template "
                           "lays out its own");
            }
        }
        plan.template_path =
            beside(folder, text_of(path, *table, "template", table->source(), true));
        plan.place = path + ":" + std::to_string(label->source().begin.line);
    } else {
        read_layout(path, *table, plan);
    }
    if (const toml::node* verify = table->get("verify")) {
        if (!verify->is_boolean()) {
            refuse(path, verify->source(), "\"verify\" takes true or false");
        }
        plan.verify = verify->value_or(false);
    }
    return plan;
}

// [clock] warn = S, refuse = S: seconds, more than 0, warn no more than refuse.
void read_clock(const std::string& path, const toml::table& root, StationFile& file) {
    const toml::table* table = section(path, root, "clock", CLOCK_KEYS);
    if (table == nullptr) {
        return;
    }
    for (const auto& [key, bound] :
         {std::pair("warn", &file.clock_warn), {"refuse", &file.clock_refuse}}) {
        if (const toml::node* value = table->get(key)) {
            std::optional<double> seconds = value->value<double>();
            if (!seconds || !std::isfinite(*seconds) || *seconds <= 0) {
                refuse(path, value->source(),
                       std::string("\"") + key + "\" takes seconds, more than 0");
            }
            *bound = *seconds;
        }
    }
    if (file.clock_warn > file.clock_refuse) {
        refuse(path, table->source(), "[clock] warn is more than refuse");
    }
}

// [shifts]: each shift's name and the local time it starts, in the order
// they start; two at one time would leave one of them empty.
std::vector<Shift> read_shifts(const std::string& path, const toml::table& root) {
    std::vector<Shift> shifts;
    const toml::table* table = section(path, root, "shifts");
    if (table == nullptr) {
        return shifts;
    }
    std::map<int, std::string> starts;
    for (const auto& [key, value] : *table) {
        std::string name(key.str());
        if (!is_name(name)) {
            refuse(path, key.source(), "shift name \"" + name + "\": " + NAME_RULE);
        }
        const auto* text = value.as_string();
        std::optional<int> at = text ? time_of_day(text->get()) : std::nullopt;
        if (!at) {
            refuse(path, value.source(),
                   "shift " + name + " takes the local time it starts, \"HH:MM\" (00:00 to 23:59)");
        }
        auto [other, added] = starts.insert({*at, name});
        if (!added) {
            refuse(path, value.source(),
                   "shift " + name + " starts at the time of shift " + other->second);
        }
    }
    for (const auto& [at, name] : starts) {
        shifts.push_back({name, at});
    }
    return shifts;
}

} // namespace

const char NAME_RULE[] =
    "1 to 64 letters, digits, '.', '_' or '-', starting with a letter or digit";

// It names files and goes in records.
bool is_name(const std::string& name) {
    if (name.empty() || name.size() > 64 || !std::isalnum(static_cast<unsigned char>(name[0]))) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '_' || c == '-';
    });
}

std::vector<std::pair<std::string, std::string>> station_file_keys() {
    std::vector<std::pair<std::string, std::string>> keys;
    for (const auto& [table, names] : {std::pair("", &TOP_KEYS),
                                       {"[[fixture]]", &FIXTURE_KEYS},
                                       {"[mac]", &MAC_KEYS},
                                       {"[clock]", &CLOCK_KEYS},
                                       {"[label]", &LABEL_KEYS}}) {
        for (const std::string& name : *names) {
            keys.push_back({table, name});
        }
    }
    return keys;
}

unsigned long long MacPlan::pool_size() const {
    return unicast_count(mac_number(first), mac_number(last));
}

bool is_connection_text(const std::string& location) {
    return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0 ||
           location.find('=') != std::string::npos;
}

void check_programs(const StationFile& file) {
    if (file.config.empty()) {
        throw StationError{file.path + ": missing key \"config\" (the configuration whose images "
                                       "are programmed): a station file for the web view alone "
                                       "programs no board"};
    }
    if (file.fixtures.empty()) {
        throw StationError{file.path + ": no [[fixture]]: a station file for the web view alone "
                                       "programs no board"};
    }
}

StationFile read_station_file(const std::string& path) {
    toml::table root;
    try {
        root = toml::parse_file(path);
    } catch (const toml::parse_error& error) {
        if (!fs::exists(path)) {
            throw StationError{path + ": no such file"};
        }
        throw StationError{path + ":" + std::to_string(error.source().begin.line) + ": " +
                           std::string(error.description())};
    }
    check_keys(path, root, TOP_KEYS, "");
    fs::path folder = fs::absolute(path).parent_path();
    StationFile file;
    file.path = path;
    file.station = text_of(path, root, "station", root.source(), true);
    if (!is_name(file.station)) {
        refuse(path, root.get("station")->source(),
               "station name \"" + file.station + "\": " + NAME_RULE);
    }
    std::string store = text_of(path, root, "store", root.source(), false);
    if (store.empty()) {
        store = "records.db";
    }
    file.store_on_server = is_connection_text(store);
    file.store = file.store_on_server ? store : beside(folder, store);
    file.read_store = text_of(path, root, "read_store", root.source(), false);
    if (!file.read_store.empty() &&
        (!file.store_on_server || !is_connection_text(file.read_store))) {
        refuse(path, root.get("read_store")->source(),
               "\"read_store\" names a standby of the store's PostgreSQL server (a connection "
               "text), for a store on a PostgreSQL server");
    }
    std::string config = text_of(path, root, "config", root.source(), false);
    file.config = config.empty() ? "" : beside(folder, config);
    if (const toml::node* stall = root.get("stall")) {
        std::optional<double> seconds = stall->value<double>();
        if (!seconds || !std::isfinite(*seconds) || *seconds <= 0 || *seconds > 86400) {
            refuse(path, stall->source(), "\"stall\" takes seconds, more than 0 and at most 86400");
        }
        file.stall_seconds = *seconds;
    }
    std::string host = text_of(path, root, "host", root.source(), false);
    if (!host.empty()) {
        file.host = beside(folder, host);
        file.host_place = path + ":" + std::to_string(root.get("host")->source().begin.line);
    }
    file.fixtures = read_fixtures(path, root);
    file.mac = read_mac_plan(path, root);
    file.label = read_label_plan(path, root, folder);
    file.lot = text_of(path, root, "lot", root.source(), false);
    if (!file.lot.empty() && !is_name(file.lot)) {
        refuse(path, root.get("lot")->source(), "lot \"" + file.lot + "\": " + NAME_RULE);
    }
    if (const toml::node* bell = root.get("bell")) {
        if (!bell->is_boolean()) {
            refuse(path, bell->source(), "\"bell\" takes true or false");
        }
        file.bell = bell->value_or(true);
    }
    file.shifts = read_shifts(path, root);
    read_clock(path, root, file);
    file.timezone = text_of(path, root, "timezone", root.source(), false);
    if (!file.timezone.empty() && !use_time_zone(file.timezone)) {
        refuse(path, root.get("timezone")->source(),
               "time zone \"" + file.timezone + "\" is not in this system's time zone database");
    }
    return file;
}

// host as the file names it, or else beside the station, in the build
// tree's folder above it, or in the install's folder, with its version;
// checked before any claim, record or frame.
namespace {

FoundHost find_host_beside(const std::string& file_path) {
    fs::path here = program_folder();
    std::string looked;
    for (const fs::path& place : {here / "host", here.parent_path() / "host",
                                  here.parent_path() / "libexec" / "host-programmer" / "host"}) {
        std::string path = place.lexically_normal().string();
        FoundHost found{path, ""};
        std::string fault = host_fault(path, found.version);
        if (fault.empty()) {
            return found;
        }
        looked += "\n  " + path + ": " + fault;
    }
    throw StationError{"no host to run (give it with host = \"...\" in " + file_path +
                       "); looked at:" + looked};
}

} // namespace

FoundHost find_host(const StationFile& file) {
    if (file.host.empty()) {
        return find_host_beside(file.path);
    }
    FoundHost found{file.host, ""};
    std::string fault = host_fault(file.host, found.version);
    if (!fault.empty()) {
        throw StationError{file.host_place + ": host " + file.host + ": " + fault};
    }
    return found;
}

FoundHost find_host() {
    return find_host_beside("the station file");
}

void check_mac_fits(const StationFile& file, const Images& images) {
    const MacPlan& plan = file.mac;
    if (!plan.image) {
        return;
    }
    const ImageInfo& image = image_info(*plan.image);
    const std::string& path = images.*image.path;
    std::error_code error;
    auto size = fs::file_size(path, error);
    if (error || static_cast<std::uintmax_t>(plan.offset) + 6 > size) {
        throw StationError{plan.offset_place + ": the MAC's six bytes at offset " +
                           std::to_string(plan.offset) + " do not fit in the " + image.name +
                           " image " + path + " (" +
                           (error ? error.message() : std::to_string(size) + " bytes") + ")"};
    }
}

void check_pool_bounds(const StationFile& file) {
    const MacPlan& plan = file.mac;
    for (const auto& [mac, place, key] : {std::tuple(plan.first, plan.first_place, "first"),
                                          std::tuple(plan.last, plan.last_place, "last")}) {
        if (!mac.empty() && !mac_fault(mac).empty()) {
            throw StationError{place + ": the pool's \"" + key + "\": " + mac_fault(mac)};
        }
    }
}

std::string label_source(const LabelPlan& plan) {
    return plan.builtin ? layout_text(plan.layout) : plan.template_path;
}

std::string read_label(const LabelPlan& plan) {
    if (plan.builtin) {
        return layout_text(plan.layout);
    }
    std::ifstream in(plan.template_path, std::ios::binary);
    std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (!in.good() && !in.eof()) {
        throw StationError{plan.place + ": cannot read the label template " + plan.template_path +
                           ": " + std::strerror(errno)};
    }
    std::string fault = label_template_fault(text);
    if (!fault.empty()) {
        throw StationError{plan.place + ": the label template " + plan.template_path + " has " +
                           fault};
    }
    return text;
}

namespace {

// A profile's id with its label: the images' id alone without one, so that
// the profiles locked before labels keep theirs.
std::string id_with_label(const std::string& images_id, const std::string& label_sha256) {
    return label_sha256.empty() ? images_id : hash_text(images_id + label_sha256);
}

} // namespace

Profile station_profile(const StationFile& file, const Images& images) {
    Profile profile = profile_of(images);
    if (file.label.on()) {
        profile.label_sha256 = hash_text(read_label(file.label));
        profile.id = id_with_label(profile.id, profile.label_sha256);
    }
    return profile;
}

RoundImages images_for_round(const StationFile& file, const Profile& locked) {
    check_pool_bounds(file);
    Images images = read_images(file.config);
    if (id_with_label(profile_of(images).id, locked.label_sha256) != locked.id) {
        throw StationError{"the images of " + file.config + " are not the locked ones (locked " +
                           locked.locked + "): run `station lock` to program the new ones"};
    }
    check_mac_fits(file, images);
    std::string label = file.label.on() ? read_label(file.label) : "";
    if ((label.empty() ? "" : hash_text(label)) != locked.label_sha256) {
        throw StationError{file.label.on()
                               ? "the label " + label_source(file.label) +
                                     " is not the locked one (locked " + locked.locked +
                                     "): run `station lock` to print the new one"
                               : "the locked profile has a label, and " + file.path +
                                     " has no [label]: run `station lock` to print none"};
    }
    return {images, run_frames(images), label};
}
