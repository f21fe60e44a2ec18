// The natives table after start-up.
#include <gtest/gtest.h>

#include "datatype-fixture.h"
#include "datatypes/native.h"
#include "engine/natives.h"

using namespace vum;

namespace {

// After start-up every native has its handler: none keeps the stub that
// raises not-done.
class NativesTableStartUp : public DatatypeTest {};

TEST_F(NativesTableStartUp, FillsEveryNative) {
    natives::init_table();
    for (int32_t k = 1; k <= natives::native_count; k++)
        EXPECT_NE(natives::native_at(k), &natives::not_done) << natives::name_at(k);
}

}  // namespace
