// The manual page names every key the station file reader takes, each in
// its table's part.
#include "station/file/station_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace {

// The keys the page lists: each ".B key" after a ".TP", by the ".SS" part
// it is in ("Top level" the file's top).
std::set<std::pair<std::string, std::string>> keys_in_manual() {
    std::ifstream page(std::string(SOURCE_DIR) + "/packaging/station.1.in");
    EXPECT_TRUE(page.good());
    std::set<std::pair<std::string, std::string>> keys;
    std::string line, part, before;
    bool in_file = false;
    while (std::getline(page, line)) {
        if (line.rfind(".SH ", 0) == 0) {
            in_file = line == ".SH STATION FILE";
        } else if (line.rfind(".SS ", 0) == 0) {
            part = line == ".SS Top level" ? "" : line.substr(4);
        } else if (in_file && before == ".TP" && line.rfind(".B ", 0) == 0) {
            keys.insert({part, line.substr(3)});
        }
        before = line;
    }
    return keys;
}

TEST(Manual, EveryKeyOfTheStationFileIsInTheManualPage) {
    std::set<std::pair<std::string, std::string>> listed = keys_in_manual();
    for (const auto& key : station_file_keys()) {
        EXPECT_EQ(listed.count(key), 1u)
            << "the manual page lacks " << key.first << " " << key.second;
    }
    EXPECT_EQ(listed.size(), station_file_keys().size()) << "a key the reader does not take";
}

} // namespace
