#include "base/command-line.h"

#include <gtest/gtest.h>

using namespace vum;

namespace {

// Each argument as the command-line text writes it. The environment's split
// takes space and tab as separators outside double-quoted stretches and
// strips one double quote from each end of a piece, so these forms are the
// ones that come back as the argument.
TEST(CommandLine, QuotesOnlyWhatTheSplitWouldBreak) {
    struct Case {
        const char* argument;
        const char* written;
    } cases[] = {
        {"plain", "plain"},
        {"", "\"\""},                        // an empty piece would be skipped
        {"b c", "\"b c\""},
        {"tab\there", "\"tab\there\""},
        {"a\"b", "\"a\"b"},                 // quotes balance, or the next separator is swallowed
        {"\"x\"", "\"\"x\"\""},              // the quotes the split strips are the added ones
        {"\"lead", "\"\"lead"},
        {"trail\"", "trail\"\""},
        {"say \"hi\"", "\"say \"hi\"\""},    // the space lies in the quoted stretch
        {"a\" b", "a\" b\""},                // here the argument's own quote opens it
        {"/usr/bin/vum", "/usr/bin/vum"},
    };
    for (const Case& c : cases) EXPECT_EQ(command_line::quote(c.argument), c.written) << c.argument;
}

// Separators on both sides of a lone quote cannot all fall in quoted
// stretches: such an argument is quoted at both ends and comes back split.
TEST(CommandLine, ArgumentsWithoutAFormAreQuotedAtBothEnds) {
    EXPECT_EQ(command_line::quote("a b\"c d"), "\"a b\"c d\"");
    EXPECT_EQ(command_line::quote("\""), "\"\"\"");
}

TEST(CommandLine, JoinsWithOneSpace) {
    const char* args[] = {"vum", "script.vum", "a", "b c", ""};
    EXPECT_EQ(command_line::join(args, 5), "vum script.vum a \"b c\" \"\"");
    EXPECT_EQ(command_line::join(args, 1), "vum");
    EXPECT_EQ(command_line::join(args, 0), "");
}

}  // namespace
