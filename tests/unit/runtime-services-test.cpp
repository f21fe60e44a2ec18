// The runtime services: the composition root fills every one, and the
// start-up check names the first one left unset.
#include "memory/runtime-services.h"

#include <gtest/gtest.h>

#include "base/runtime-init.h"

using namespace vum;

namespace {

TEST(RuntimeServices, StartUpCheckNamesAMissingService) {
    services::Services s{};
    runtime::fill_services(s);
    EXPECT_EQ(services::missing_report(s), "");
    struct Case {
        void (*clear)(services::Services&);
        const char* name;
    } cases[] = {
        {[](services::Services& x) { x.change_handler = nullptr; }, "change-handler"},
        {[](services::Services& x) { x.error_values = nullptr; }, "error-values"},
        {[](services::Services& x) { x.count_locals = nullptr; }, "count-locals"},
        {[](services::Services& x) { x.run_call = nullptr; }, "run-call"},
    };
    for (const Case& c : cases) {
        services::Services partial = s;
        c.clear(partial);
        EXPECT_EQ(services::missing_report(partial),
                  std::string("*** Start-up failed: the runtime service ") + c.name + " is not set");
    }
}

TEST(RuntimeServicesDeathTest, StartUpStopsOnAMissingService) {
    EXPECT_EXIT(
        {
            runtime::fill_services(services::current);
            services::current.source_files = nullptr;
            services::require_complete();
        },
        testing::ExitedWithCode(1), "the runtime service source-files is not set");
}

}  // namespace
