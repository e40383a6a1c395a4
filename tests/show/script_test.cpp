// The show's script from a score's show lines: read as written, printed so
// that it reads back the same, and every bad line named with its number.
#include "show/script.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

bool same_script(const ShowScriptState& a, const ShowScriptState& b)
{
    return a.rows == b.rows && a.endBar == b.endBar && a.lastCrossBar == b.lastCrossBar &&
           a.lastLevelBar == b.lastLevelBar &&
           std::memcmp(a.keyframes, b.keyframes, sizeof(ShowKeyframe) * size_t(a.rows)) == 0;
}

TEST(ShowScript, WithoutShowLinesTheBuiltInShowPlays)
{
    ShowScriptState script;
    script.rows = 3;
    EXPECT_EQ(show_script_read("bpm:125\ni1:saha,1,1,1,1,0\np1:c4\nt1:p1\n", script, nullptr), 0);
    EXPECT_TRUE(same_script(script, ShowScriptState{}));
    EXPECT_EQ(script.rows, 16);
    EXPECT_EQ(script.endBar, 59);
    EXPECT_EQ(script.keyframes[15].firstBar, 58);
}

// What `print --show` appends: the built-in show, which reads back to itself,
// so the embedded score with it plays the same pictures.
TEST(ShowScript, PrintedScriptReadsBackTheSame)
{
    const std::string printed = show_script_text(ShowScriptState{});
    EXPECT_NE(printed.find("show: row, 0, 127,102,0,0,  -5,15,0,23\n"), std::string::npos) << printed;
    ShowScriptState script;
    std::vector<ShowFinding> findings;
    EXPECT_EQ(show_script_read("bpm:125\n" + printed, script, &findings), 0);
    EXPECT_TRUE(findings.empty());
    EXPECT_TRUE(same_script(script, ShowScriptState{}));
}

TEST(ShowScript, RowsReplaceTheBuiltInOnesAndBarsKeepTheirDefaults)
{
    ShowScriptState script;
    std::vector<ShowFinding> findings;
    const std::string text = "bpm:140\r\n"
                             " show : row , 0, 1,2,3,4, 5,6,7,-128\r\n"
                             "# show:row,1,0,0,0,0,0,0,0,0\r\n"
                             "show:row,,12,,127,0,0,0,0,0,0,-1\r\n"
                             "show:level,-1\r\n";
    ASSERT_EQ(show_script_read(text, script, &findings), 0);
    EXPECT_TRUE(findings.empty());
    ASSERT_EQ(script.rows, 2);
    EXPECT_EQ(script.keyframes[1].firstBar, 12);
    EXPECT_EQ(script.keyframes[0].targets[7], -128);
    EXPECT_EQ(script.keyframes[1].targets[0], 127);
    EXPECT_EQ(script.lastLevelBar, -1);
    EXPECT_EQ(script.lastCrossBar, 47);
    EXPECT_EQ(script.endBar, 59);
}

struct BadShow {
    std::string text;
    int32_t line;
    std::string message;
};

class ShowScriptRejects : public ::testing::TestWithParam<BadShow> {};

TEST_P(ShowScriptRejects, NamingTheLine)
{
    const BadShow& bad = GetParam();
    ShowScriptState script;
    std::vector<ShowFinding> findings;
    EXPECT_EQ(show_script_read(bad.text, script, &findings), -1);
    ASSERT_FALSE(findings.empty());
    const ShowFinding& first = findings.back();
    EXPECT_TRUE(first.rejection);
    EXPECT_EQ(first.line, bad.line);
    EXPECT_EQ(first.message, bad.message);
    EXPECT_GT(script.rows, 0) << "a rejected script still leaves a row to glide to";
}

const std::string Row = ",0,0,0,0,0,0,0,0\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, ShowScriptRejects,
    ::testing::Values(
        BadShow{"bpm:125\n\nshow:row,8" + Row + "show:row,8" + Row, 4,
                "bar 8 does not come after the previous row's bar 8"},
        BadShow{"show:row,0,1,2,3,4,5,6,7,128\n", 1, "target t8 \"128\" is not a number from -128 to 127"},
        BadShow{"show:row,0,1,2,x,4,5,6,7,8\n", 1, "target t3 \"x\" is not a number from -128 to 127"},
        BadShow{"show:row,0,1,2\n", 1, "a row is its first bar and eight targets (show: row, BAR, t1, ..., t8); 3 "
                                       "numbers given"},
        BadShow{"show:row,62" + Row, 1, "bar 62 is outside 0..61 (the music is rendered up to bar 61)"},
        BadShow{"show:row,0" + Row + "show:row,20" + Row + "show:end,20\n", 3,
                "the show ends at bar 20, not after its last row at bar 20"},
        BadShow{"show:row,0" + Row + "show:row,60" + Row, 2,
                "the show ends at bar 59, not after its last row at bar 60"},
        BadShow{"show:end,99\n", 1, "bar 99 is outside 1..61 (the music is rendered up to bar 61)"},
        BadShow{"show:end\n", 1, "show: end takes one bar number"},
        BadShow{"show:fade,3\n", 1, "\"fade\" is not a show line (row, cross, level or end)"},
        BadShow{"show:\n", 1, "an empty show line (row, cross, level or end)"}));

}   // namespace
