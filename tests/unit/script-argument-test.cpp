#include "gui-console/script-argument.h"

#include <gtest/gtest.h>

#include <string>

using namespace vum;

namespace {

// The raw argument text after the program's path; what remains after the
// cut is the script's own arguments as they were written.
TEST(ScriptArgument, CutsSwitchesAndTheScriptName) {
    struct Case {
        const char* raw;
        const char* rest;
    } cases[] = {
        {"script.vum a \"b c\"", "a \"b c\""},
        {"  script.vum   a", "a"},
        {"script.vum", ""},
        {"", ""},
        {"--catch script.vum x", "x"},
        {"\"--opt with space\" script.vum x", "x"},
        {"-- --odd.vum x", "x"},                        // after a bare -- the next one is the script
        {"\"--\" --odd.vum x", "x"},
        {"\"my script.vum\" a", "a"},
        {"--a --b s.vum\tt", "t"},
    };
    for (const Case& c : cases) {
        std::string raw = c.raw;
        EXPECT_EQ(raw.substr(console::script_arguments_start(raw)), c.rest) << c.raw;
    }
}

}  // namespace
