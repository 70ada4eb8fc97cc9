// A label's template filled for a board, and the built-in label's page.
#include "station/base/label.h"

#include <gtest/gtest.h>

namespace {

const LabelFields BOARD = {"001122AABBCC", "WO-7", "line1", "A2", "2026-12-09", "rec-1"};

TEST(LabelTemplate, PlaceholdersFilledBracesKeptAndFaultsNamed) {
    const struct {
        const char* text;
        const char* filled; // or the fault's start
        bool fault;
    } cases[] = {
        {"^FD{mac}^FS", "^FD001122AABBCC^FS", false},
        {"{mac_colons}|{lot}|{station}|{fixture}|{date}|{record}",
         "00:11:22:AA:BB:CC|WO-7|line1|A2|2026-12-09|rec-1", false},
        {"~{{raw}}~ {mac}{mac}", "~{raw}~ 001122AABBCC001122AABBCC", false},
        {"no placeholder at all\n\x01\xff", "no placeholder at all\n\x01\xff", false},
        {"{serial}", "unknown placeholder {serial}: the label's are {mac}, ", true},
        {"{MAC}", "unknown placeholder {MAC}", true},
        {"^FD{mac", "a \"{\" without its \"}\"", true},
        {"^FD}", "a \"}\" without its \"{\"", true},
        {"{}", "unknown placeholder {}", true},
    };
    for (const auto& c : cases) {
        std::string fault = label_template_fault(c.text);
        if (c.fault) {
            EXPECT_EQ(fault.rfind(c.filled, 0), 0u) << c.text << ": " << fault;
        } else {
            EXPECT_EQ(fault, "") << c.text;
            EXPECT_EQ(filled_label(c.text, BOARD), c.filled) << c.text;
        }
    }
}

TEST(BuiltInLabel, APageOfTheLabelsSizeWhoseTextsCannotBreakIt) {
    LabelLayout layout;
    LabelFields board = BOARD;
    board.lot = "a(b)\\c";
    std::string page = label_postscript(layout, board);
    EXPECT_EQ(page.rfind("%!PS-Adobe-3.0\n%%BoundingBox: 0 0 141.732 70.866\n", 0), 0u);
    EXPECT_NE(page.find("<< /PageSize [141.732 70.866] >> setpagedevice"), std::string::npos);
    EXPECT_NE(page.find("(00:11:22:AA:BB:CC) show"), std::string::npos);
    EXPECT_NE(page.find("(lot a\\(b\\)\\\\c  2026-12-09) show"), std::string::npos);
    EXPECT_EQ(page.substr(page.size() - 15), "showpage\n%%EOF\n");
    if (has_built_in_label()) {
        EXPECT_NE(page.find(" rectfill\n"), std::string::npos) << "the barcode's bars";
    }
    EXPECT_EQ(layout_text(layout), "built-in label 50x25 mm, code128");
}

} // namespace
