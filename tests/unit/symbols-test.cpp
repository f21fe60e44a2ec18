#include "memory/symbols.h"

#include <gtest/gtest.h>

#include <string>

#include "memory-fixture.h"
#include "memory/context.h"
#include "memory/hash-table.h"
#include "memory/runtime-symbols.h"

using namespace vum;

namespace {

class Symbols : public MemoryTest {
protected:
    void SetUp() override {
        MemoryTest::SetUp();
        symbols::init_table();
    }
};

TEST_F(Symbols, SameSpellingSameIdCaseVariantsAlias) {
    int32_t foo = symbols::make("foo");
    EXPECT_EQ(symbols::make("foo"), foo);
    int32_t Foo = symbols::make("Foo");
    EXPECT_NE(Foo, foo);
    EXPECT_EQ(symbols::alias_of(Foo), foo);
    EXPECT_LE(symbols::alias_of(foo), 0);
    EXPECT_EQ(symbols::resolve(Foo), foo);
    EXPECT_EQ(symbols::resolve(foo), foo);
    // A third spelling aliases the canonical one, never another alias.
    int32_t FOO = symbols::make("FOO");
    EXPECT_EQ(symbols::alias_of(FOO), foo);
    int32_t caseless = symbols::make_caseless("fOO");
    EXPECT_TRUE(caseless == foo || caseless == Foo || caseless == FOO);
    EXPECT_EQ(symbols::count(), 3);
}

TEST_F(Symbols, NonAsciiCaseAndOddNames) {
    int32_t lower = symbols::make("\xC3\xA9t\xC3\xA9");   // été
    int32_t upper = symbols::make("\xC3\x89T\xC3\x89");   // ÉTÉ
    EXPECT_NE(symbols::resolve(lower), symbols::resolve(upper));
    int32_t empty = symbols::make("");
    EXPECT_EQ(symbols::make(""), empty);
    int32_t length = -1;
    EXPECT_STREQ(symbols::text(empty, &length), "");
    EXPECT_EQ(length, 0);
    // Bytes are kept as given, NULs included.
    int32_t with_nul = symbols::make_from_utf8("a\0b", 3);
    EXPECT_NE(with_nul, symbols::make("a"));
    symbols::text(with_nul, &length);
    EXPECT_EQ(length, 3);
}

TEST_F(Symbols, TextEndsInNulAndManySymbolsSurviveGrowthAndCollections) {
    gc::state.enabled = 1;
    CoarserTorture coarser(97);
    std::vector<int32_t> ids;
    for (int i = 0; i < 20000; i++) ids.push_back(symbols::make(("word-" + std::to_string(i)).c_str()));
    for (int i = 0; i < 20000; i += 997) {
        std::string name = "word-" + std::to_string(i);
        EXPECT_EQ(symbols::make(name.c_str()), ids[size_t(i)]);
        EXPECT_EQ(symbols::text(ids[size_t(i)]), name);
        std::string upper = "WORD-" + std::to_string(i);
        EXPECT_EQ(symbols::resolve(symbols::make(upper.c_str())), ids[size_t(i)]);
    }
    hashtable::Record* r = hashtable::record(symbols::table.hash);
    EXPECT_GE(r->size, 16384u);
    EXPECT_LT(r->occupied, r->threshold);
}

using RuntimeSymbols = CoreTest;

TEST_F(RuntimeSymbols, MadeInOrderIntoTheirGlobals) {
    using namespace runtime_symbols;
    init_runtime_words();
    init_refinements();
    init_issue_constant();
    EXPECT_STREQ(symbols::text(id(sym_spec)), "spec");
    EXPECT_EQ(id(sym_body), id(sym_spec) + 1);
    EXPECT_STREQ(symbols::text(id(sym_no_trace)), "no-trace");
    // `code` appears twice: both globals hold the same symbol.
    EXPECT_EQ(id(sym_code), id(sym_code2));
    EXPECT_STREQ(symbols::text(int32_t(global_words[global_bar].w2)), "|");
    EXPECT_STREQ(symbols::text(int32_t(global_words[global_end].w2)), "end");
    EXPECT_EQ(global_words[global_end].w1, context::global);
    EXPECT_STREQ(symbols::text(int32_t(words[word_applied].w2)), "<applied>");
    EXPECT_STREQ(symbols::text(int32_t(words[word_throw2].w2)), "throw");
    EXPECT_EQ(cell::type(&refinements[refinement_with]), type_refinement);
    EXPECT_STREQ(symbols::text(int32_t(refinements[refinement_local].w2)), "local");
    EXPECT_EQ(cell::type(&issue_ooo), type_issue);
    EXPECT_EQ(int32_t(issue_ooo.w3), -1);
    // Case variants of runtime words share their slot.
    EXPECT_EQ(global_words[global_Linux].w3, context::add_to_global(symbols::make("linux"), true, false).w3);
}

}  // namespace
