// Running one environment source: its header is skipped, its code runs in
// the global context, and a failure comes back as the report start-up
// prints with the file's name.
#include <gtest/gtest.h>

#include "datatype-fixture.h"
#include "datatypes/object.h"
#include "engine/interpreter.h"
#include "environment/boot-loader.h"
#include "memory/context.h"

using namespace vum;

namespace {

class BootLoaderTest : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        eval::init();
        eval::offer_services(services::current);
    }
    void TearDown() override {
        // The services the interpreter offered belong to this fixture only.
        partial_services::fill();
        DatatypeTest::TearDown();
    }

    static std::string global(const char* name) {
        Cell w = context::load_word(name);
        return mold(*context::get_word_value(&w));
    }
};

TEST_F(BootLoaderTest, RunsTheCodeAfterTheHeader) {
    struct Case {
        const char* text;
        const char* value;  // of the global word boot-x afterwards
    };
    const Case cases[] = {
        {"Vum [Title: \"t\"]\nboot-x: [1 2]", "[1 2]"},
        {"text before the header ) is ignored\nVum []\nboot-x: 3", "3"},
        {"boot-x: 4  ; no header: the whole text runs", "4"},
    };
    for (const Case& c : cases) {
        std::string report;
        boot::Source source{"test.vum", c.text, int32_t(std::strlen(c.text))};
        EXPECT_TRUE(boot::run_source(source, &report)) << c.text << "\n" << report;
        EXPECT_EQ(global("boot-x"), c.value) << c.text;
    }
}

TEST_F(BootLoaderTest, FailuresComeBackAsReports) {
    struct Case {
        const char* text;
        const char* report_start;
    };
    const Case cases[] = {
        {"Vum []\n[a b", "*** Syntax Error: missing ]"},
        {"Vum []\nboot-y: 1\nboot-undefined\nboot-y: 2", "*** Script Error: boot-undefined has no value"},
        {"Vum/System []\n1", "*** Error: not a Vum program!"},
    };
    for (const Case& c : cases) {
        std::string report;
        boot::Source source{"test.vum", c.text, int32_t(std::strlen(c.text))};
        EXPECT_FALSE(boot::run_source(source, &report)) << c.text;
        EXPECT_EQ(report.rfind(c.report_start, 0), 0u) << c.text << "\n" << report;
    }
    // The code after the error did not run.
    EXPECT_EQ(global("boot-y"), "1");
}

}  // namespace
