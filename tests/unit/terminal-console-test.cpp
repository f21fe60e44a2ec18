// The console's line gathering and result cutting; what it prints for a
// session is covered by tests/transcripts/console.transcript.
#include <gtest/gtest.h>

#include "environment/source-runner.h"
#include "gui-console/terminal-console.h"

namespace {

using vum::console::cut_to_width;
using vum::console::open_delimiter;

TEST(TerminalConsole, OpenDelimiterOfGatheredInput) {
    struct Case {
        const char* input;
        char open;
    };
    const Case cases[] = {
        {"1 + 2\n", 0},
        {"[a\n", '['},
        {"[a\nb]\n", 0},
        {"f: func [x] [\n", '['},
        {"[(\n", '('},           // the innermost one cues
        {"a/(b\n", '('},          // a path's paren segment
        {"[a]]\n", 0},            // nothing more can mend it: loading reports it
        {"[a)\n", 0},
        {"{x\n", '{'},
        {"{a {b} c\n", '{'},      // braces nest inside a braced string
        {"{a ^} b\n", '{'},       // an escaped brace does not close it
        {"[{a]}\n", '['},         // brackets inside a string do not count
        {"\"[\"\n", 0},
        {"\"a ^\" [\"\n", 0},     // an escaped quote does not end the string
        {"\"abc\n", 0},           // a quoted string never spans lines
        {"#\"[\"\n", 0},          // a char
        {"; [\n", 0},             // a comment
        {"[a ; ]\n", '['},
        {"%{a\n", '{'},           // a raw string
        {"%%{a}%\n", '{'},        // closed only by as many percent signs
        {"%%{a}%%\n", 0},
        {"%{a}% [\n", '['},
        {"50%{\n", '{'},          // not a raw string: a braced string after a word
    };
    for (const Case& c : cases) EXPECT_EQ(open_delimiter(c.input), c.open) << c.input;
}

TEST(TerminalConsole, LongResultsAreCutToTheWidth) {
    std::string long_text(100, 'x');
    // 80 columns and the prompt ">> ": 73 characters stay, then "...".
    EXPECT_EQ(cut_to_width(long_text, 80), std::string(73, 'x') + "...");
    EXPECT_EQ(cut_to_width(std::string(77, 'x'), 80), std::string(77, 'x'));
    EXPECT_EQ(cut_to_width(std::string(78, 'x'), 80), std::string(73, 'x') + "...");
    // Characters, not bytes: a cut never splits one.
    std::string wide;
    for (int i = 0; i < 100; i++) wide += "\xC3\xA9";  // é
    std::string kept;
    for (int i = 0; i < 73; i++) kept += "\xC3\xA9";
    EXPECT_EQ(cut_to_width(wide, 80), kept + "...");
    EXPECT_EQ(cut_to_width(long_text, 40), std::string(33, 'x') + "...");
    EXPECT_EQ(cut_to_width(long_text, 4), "...");  // too narrow to keep anything
}

TEST(TerminalConsole, ScriptHeaderIsFoundAnywhere) {
    struct Case {
        const char* text;
        int64_t at;
    };
    const Case cases[] = {
        {"Vum []", 0},
        {"#!/usr/bin/vum\nVum [Title: \"x\"]\nprint 1", 15},
        {"junk ))) Vum\n\t [", 9},
        {"Vum/System [", 0},
        {"Vum/Systemx [", -1},
        {"vum []", -1},        // case-sensitive
        {"Zinto []", -1},      // only the Vum header counts
        {"Vum x [", -1},
        {"Vum", -1},
        {"Vum Vum [", 4},
    };
    for (const Case& c : cases) EXPECT_EQ(vum::source::find_header(c.text), c.at) << c.text;
}

}  // namespace
