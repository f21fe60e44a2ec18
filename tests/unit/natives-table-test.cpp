// The natives table against the boot source: the id each definition in
// environment/natives.vum gives must be the table position of the handler
// for that word, or a call would run another native's code.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/native.h"
#include "engine/natives.h"
#include "environment/boot-loader.h"

using namespace vum;

namespace {

const boot::Source* natives_source() {
    for (int32_t i = 0; i < boot::embedded_source_count; i++)
        if (std::string(boot::embedded_sources[i].name) == "environment/natives.vum") return &boot::embedded_sources[i];
    return nullptr;
}

TEST(NativesTable, BootSourceDefinesEveryNativeUnderItsId) {
    const boot::Source* source = natives_source();
    ASSERT_NE(source, nullptr);
    std::string text(source->text, size_t(source->length));
    // Each definition: a line `name: make native! [[` ... a line `] id]`.
    std::vector<std::pair<std::string, int>> found;
    const std::string opener = ": make native! [[";
    size_t at = 0;
    while ((at = text.find(opener, at)) != std::string::npos) {
        size_t line = text.rfind('\n', at);
        line = line == std::string::npos ? 0 : line + 1;
        std::string name = text.substr(line, at - line);
        size_t close = text.find("\n] ", at);
        if (close == std::string::npos) break;
        found.emplace_back(name, std::atoi(text.c_str() + close + 3));
        at = close;
    }
    ASSERT_EQ(int32_t(found.size()), natives::native_count);
    for (int32_t k = 1; k <= natives::native_count; k++) {
        EXPECT_EQ(found[size_t(k - 1)].second, k) << found[size_t(k - 1)].first;
        EXPECT_EQ(found[size_t(k - 1)].first, natives::name_at(k)) << "id " << k;
    }
}

// After start-up only the natives still to come keep the stub that raises
// not-done; every other id has its handler.
class NativesTableStartUp : public DatatypeTest {};

TEST_F(NativesTableStartUp, LeavesOnlyThePendingNativesToTheStub) {
    natives::init_table();
    const std::set<std::string> pending = {"checksum", "call", "size?", "browse", "compress", "decompress"};
    for (int32_t k = 1; k <= natives::native_count; k++)
        EXPECT_EQ(natives::native_at(k) == &natives::not_done, pending.count(natives::name_at(k)) == 1)
            << natives::name_at(k);
}

}  // namespace
