#include "memory/hash-table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "base/system-throw.h"
#include "memory-fixture.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"

using namespace vum;
namespace ht = vum::hashtable;

namespace {

// ------------------------------------------------------------ Murmur

struct Vector {
    std::string bytes;
    uint32_t seed;
    uint32_t hash;
};

TEST(Murmur, PublishedVectors) {
    const Vector vectors[] = {
        {"", 0, 0},
        {"", 1, 0x514E28B7},
        {"", 0xFFFFFFFF, 0x81F16F39},
        {"hello", 0, 0x248BFA47},
        {std::string("\0\0\0\0", 4), 0, 0x2362F9DE},
        {"\x21\x43\x65\x87", 0, 0xF55B516B},
        {"\x21\x43\x65\x87", 0x5082EDEE, 0x2362F9DE},
        {"\x21\x43\x65", 0, 0x7E4A8634},
        {"\x21\x43", 0, 0xA0F7B07A},
        {"\x21", 0, 0x72661CF4},
        {"\xFF\xFF\xFF\xFF", 0, 0x76293B50},
        {"aaaa", 0x9747B28C, 0x5A97808A},
        {"abc", 0x9747B28C, 0xC84A62DD},
        {"Hello, world!", 0x9747B28C, 0x24884CBA},
        {"The quick brown fox jumps over the lazy dog", 0x9747B28C, 0x2FA826CD},
    };
    for (const Vector& v : vectors)
        EXPECT_EQ(ht::murmur3_with_seed(v.bytes.data(), int32_t(v.bytes.size()), v.seed), v.hash)
            << '"' << v.bytes << "\" seed " << v.seed;
}

TEST(Murmur, UsesTheProcessSeed) {
    uint32_t saved = ht::seed;
    ht::seed = 1;
    EXPECT_EQ(ht::murmur3("", 0), 0x514E28B7u);
    ht::seed = saved;
    EXPECT_EQ(ht::murmur3("hello", 5), ht::murmur3_with_seed("hello", 5, saved));
    EXPECT_EQ(ht::murmur3(nullptr, -3), ht::murmur3_with_seed("", 0, saved));  // no length is no bytes
}

TEST(Murmur, FinaliserAndPowersOfTwo) {
    EXPECT_EQ(ht::fmix32(0), 0u);
    EXPECT_EQ(ht::fmix32(1), 0x514E28B7u);  // the finaliser alone is the empty hash with seed 1
    struct {
        uint32_t n, pow2;
    } cases[] = {{0, 1}, {1, 1}, {2, 2}, {3, 4}, {5, 8}, {1024, 1024}, {1025, 2048}, {0x40000000, 0x40000000}};
    for (auto c : cases) EXPECT_EQ(ht::round_up_pow2(c.n), c.pow2) << c.n;
}

// ------------------------------------------------------------ fixture


class HashTableTest : public MemoryTest {
protected:
    void SetUp() override {
        MemoryTest::SetUp();
        symbols::table = {0, 0};
        ht::compare_cells = ht::default_compare;
    }
    void TearDown() override {
        symbols::table = {0, 0};
        ht::compare_cells = ht::default_compare;
        gc::set_torture(saved_torture);
        MemoryTest::TearDown();
    }

    // A string series of the given unit holding the text's bytes as code points.
    static uint32_t text(const std::string& s, int32_t unit = 1) {
        uint32_t node = memory::alloc_series(int32_t(s.size()) + 1, unit, 0);
        SeriesBuffer* b = nodes::buffer(node);
        for (size_t i = 0; i < s.size(); i++) {
            uint32_t cp = uint8_t(s[i]);
            std::memcpy(b->data() + i * unit, &cp, size_t(unit));  // little-endian: the low bytes
        }
        b->tail = uint32_t(s.size()) * uint32_t(unit);
        return node;
    }
    static Cell string_cell(uint32_t node, uint8_t type = type_string) { return {type, 0, node, 0}; }
    static Cell integer(int32_t n) {
        Cell c{};
        cell::make_integer(&c, n);
        return c;
    }
    static void append(uint32_t block, Cell c) { *series::alloc_tail_cell(block) = c; }
    static Cell* at(uint32_t block, int32_t i) { return series::cells_mut(block) + i; }
    static int32_t length(uint32_t block) { return int32_t(nodes::buffer(block)->count()); }
    static int32_t index_in(uint32_t block, const Cell* c) {
        return c ? int32_t(c - series::cells_head(block)) : -1;
    }
    static uint32_t block_of_integers(std::initializer_list<int32_t> values) {
        uint32_t b = memory::alloc_cells(int32_t(values.size()));
        for (int32_t v : values) append(b, integer(v));
        return b;
    }

    // The table's view of cell i: its bucket holds it, directly or in a chain.
    static bool bucket_holds(uint32_t table, int32_t i) {
        ht::Record* r = ht::record(table);
        auto* per_cell = reinterpret_cast<int32_t*>(nodes::buffer(r->cell_buckets)->head_ptr());
        int32_t b = per_cell[i] - 1;
        if (b < 0 || uint32_t(b) >= r->size || ht::bucket_state(r, uint32_t(b)) != ht::state_used) return false;
        int32_t v = ht::bucket_array(r)[b];
        if (v >= 0) return v == i;
        uint32_t chain = uint32_t(reinterpret_cast<int32_t*>(nodes::buffer(r->chains)->head_ptr())[-v - 1]);
        SeriesBuffer* cb = nodes::buffer(chain);
        auto* m = reinterpret_cast<int32_t*>(cb->head_ptr());
        return std::find(m, m + (cb->tail - cb->head) / 4, i) != m + (cb->tail - cb->head) / 4;
    }

    // Every cell of a hash!'s block is indexed where it stands and found
    // there; the counts agree with the buckets.
    static void expect_consistent(uint32_t table, uint32_t block) {
        for (int32_t i = 0; i < length(block); i++) {
            EXPECT_TRUE(bucket_holds(table, i)) << "cell " << i;
            Cell key = *at(block, i);
            EXPECT_EQ(index_in(block, ht::find(table, &key, i, 1, 2, false, false)), i) << "cell " << i;
        }
        ht::Record* r = ht::record(table);
        uint32_t used = 0, not_empty = 0;
        for (uint32_t b = 0; b < r->size; b++) {
            used += ht::bucket_state(r, b) == ht::state_used;
            not_empty += ht::bucket_state(r, b) != ht::state_empty;
        }
        EXPECT_EQ(r->count, used);
        EXPECT_EQ(r->occupied, not_empty);
    }

    // A hash! over a block, kept alive as a hash! value.
    struct HashValue {
        Cell cell{};
        gc::Protect guard;
        HashValue(uint32_t block, ht::Kind kind = ht::kind_hash) : cell{type_block, 0, block, 0}, guard(&cell) {
            uint32_t table = ht::create(0, &cell, kind, 0);
            cell = {uint32_t(kind == ht::kind_hash ? type_hash : type_map), 0, block, table};
        }
        uint32_t table() const { return cell.w3; }
        uint32_t block() const { return cell.w2; }
    };
};

using HashTableCreate = HashTableTest;
using HashTableHashes = HashTableTest;
using HashTableHash = HashTableTest;
using HashTableMap = HashTableTest;
using HashTableResize = HashTableTest;
using HashTableIdentity = HashTableTest;

// ------------------------------------------------------------ create

TEST_F(HashTableCreate, SizesThresholdsAndEmptyArrays) {
    struct Case {
        int32_t n;
        ht::Kind kind;
        uint32_t size, threshold;
    } cases[] = {
        {0, ht::kind_hash, 8, 6},       {3, ht::kind_map, 8, 6},         {-7, ht::kind_identity, 8, 6},
        {4, ht::kind_hash, 8, 6},       {100, ht::kind_hash, 256, 197},  {4000, ht::kind_hash, 8192, 6307},
        {3999, ht::kind_symbols, 8192, 6307},
        {4000, ht::kind_symbols, 16384, 12615},  // context and symbol tables start doubled
    };
    for (const Case& c : cases) {
        uint32_t table = ht::create(c.n, nullptr, c.kind, 1);
        ht::Record* r = ht::record(table);
        EXPECT_EQ(r->size, c.size) << c.n;
        EXPECT_EQ(r->threshold, c.threshold) << c.n;
        EXPECT_EQ(r->kind, uint32_t(c.kind));
        EXPECT_EQ(r->count + r->occupied, 0u);
        bool all_empty = true;
        for (uint32_t b = 0; b < r->size; b++) all_empty &= ht::bucket_state(r, b) == ht::state_empty;
        EXPECT_TRUE(all_empty) << c.n;
        if (c.kind >= ht::kind_identity) {
            EXPECT_EQ(r->cell_buckets, 32u);  // one data cell and the head
            EXPECT_EQ(r->stamp, uint32_t(gc::state.collections) + 1);
        } else {
            EXPECT_EQ(r->stamp, 0u);
        }
    }
    EXPECT_STREQ(raised([] { ht::create(0x7FFFFFFF, nullptr, ht::kind_hash, 0); }), "no-memory");
    EXPECT_STREQ(raised([] { ht::create(4, nullptr, ht::Kind(9), 0); }), "vum-system");
}

TEST_F(HashTableCreate, StateBitsPackSixteenBucketsAWord) {
    uint32_t table = ht::create(40, nullptr, ht::kind_map, 0);
    ht::Record* r = ht::record(table);
    ht::set_bucket_state(r, 17, ht::state_used);
    ht::set_bucket_state(r, 18, ht::state_deleted);
    auto* words = reinterpret_cast<uint32_t*>(nodes::buffer(r->states)->head_ptr());
    EXPECT_EQ(words[0], 0xAAAAAAAAu);
    EXPECT_EQ(words[1], 0xAAAAAA92u);  // bucket 17: bits 2-3 cleared; bucket 18: bits 4-5 = 1
    EXPECT_EQ(ht::bucket_state(r, 16), ht::state_empty);
    EXPECT_EQ(ht::bucket_state(r, 17), ht::state_used);
    EXPECT_EQ(ht::bucket_state(r, 18), ht::state_deleted);
}

TEST_F(HashTableCreate, ContextTableIsCopiedNotShared) {
    uint32_t words = memory::alloc_cells(4);
    for (uint32_t s = 1; s <= 3; s++) append(words, {type_word, 0, s * 10, s - 1});
    Cell source{type_block, 0, words, 0};
    uint32_t table = ht::create(3, &source, ht::kind_symbols, 0);
    ht::ProtectTable keep(table);
    Cell context{type_context, table, 0, 0};
    uint32_t copy = ht::create(3, &context, ht::kind_symbols, 2);
    ht::Record* a = ht::record(table);
    ht::Record* b = ht::record(copy);
    EXPECT_EQ(b->count, 3u);
    EXPECT_EQ(b->size, a->size);
    EXPECT_NE(b->states, a->states);
    EXPECT_NE(b->buckets, a->buckets);
    EXPECT_NE(b->keys, a->keys);
    Cell probe{type_word, 0, 20, 0};
    Cell* found = ht::find(copy, &probe, 0, 1, 0, false, false);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->w3, 1u);
    EXPECT_EQ(index_in(b->keys, found), 1);
}

// ------------------------------------------------------------ hash values

TEST_F(HashTableHashes, FollowThePayloadWordsOfEachType) {
    auto murmur_words = [](const Cell& c, int first, int n) {
        uint32_t w[3] = {c.w1, c.w2, c.w3};
        return ht::murmur3(w + first - 1, n * 4);
    };
    // Words a type leaves unused hold whatever was there: they must not count.
    Cell i = integer(42);
    i.w1 = 0xDEAD;
    i.w3 = 0xBEEF;
    EXPECT_EQ(ht::hash_value(&i, 0), ht::fmix32(42));
    Cell unset{type_unset, 1, 2, 3}, none{type_none, 4, 5, 6};
    EXPECT_EQ(ht::hash_value(&unset, 0), uint32_t(-2));
    EXPECT_EQ(ht::hash_value(&none, 0), uint32_t(-1));
    Cell logic{type_logic, 1, 99, 99};
    EXPECT_EQ(ht::hash_value(&logic, 0), ht::fmix32(1));
    Cell native{type_native, 7, 8, 9};
    EXPECT_EQ(ht::hash_value(&native, 0), ht::fmix32(9));
    Cell f{};
    cell::make_float(&f, 2.5);
    f.w1 = 77;
    EXPECT_EQ(ht::hash_value(&f, 0), murmur_words(f, 2, 2));
    Cell block{type_block, 3, 1234, 55};
    EXPECT_EQ(ht::hash_value(&block, 0), murmur_words(block, 1, 2));
    Cell p3{type_point3d, 1, 2, 3}, p3z{type_point3d, 1, 2, 4};
    EXPECT_EQ(ht::hash_value(&p3, 0), murmur_words(p3, 1, 3));
    EXPECT_NE(ht::hash_value(&p3, 0), ht::hash_value(&p3z, 0));  // z counts for point3D!
    Cell p2{type_point2d, 1, 2, 3}, p2z{type_point2d, 1, 2, 4};
    EXPECT_EQ(ht::hash_value(&p2, 0), ht::hash_value(&p2z, 0));  // and not for point2D!
    Cell bitset{type_bitset, 1, 2, 3};
    EXPECT_EQ(ht::hash_value(&bitset, 0), 0u);
    // A tuple hashes its length's bytes; a length field past 12 cannot read
    // beyond the cell.
    Cell t3{type_tuple | 3u << 19, 0x00030201, 0xFFFFFFFF, 0}, t15{type_tuple | 15u << 19, 1, 2, 3};
    EXPECT_EQ(ht::hash_value(&t3, 0), ht::murmur3("\x01\x02\x03", 3));
    EXPECT_EQ(ht::hash_value(&t15, 0), murmur_words(t15, 1, 3));
    uint32_t bytes = text("\x01\x02\x03\x04\x05");
    Cell binary{type_binary, 2, bytes, 0};
    EXPECT_EQ(ht::hash_value(&binary, 0), ht::murmur3("\x03\x04\x05", 3));
}

TEST_F(HashTableHashes, StringsFoldCaseWhateverTheirUnit) {
    uint32_t upper = text("Hello World", 1), lower2 = text("hello world", 2), lower4 = text("hello world", 4);
    Cell a = string_cell(upper), b = string_cell(lower2), c = string_cell(lower4, type_file);
    EXPECT_EQ(ht::hash_value(&a, 0), ht::hash_value(&b, 0));
    EXPECT_EQ(ht::hash_value(&b, 0), ht::hash_value(&c, 0));
    EXPECT_NE(ht::hash_value(&a, 1), ht::hash_value(&b, 1));  // the case flag keeps case
    EXPECT_EQ(ht::hash_value(&b, 1), ht::hash_value(&c, 1));
    // Characters from the head index on; a search probe stops at its limit.
    Cell tail{type_string, 6, upper, 0};
    Cell world = string_cell(text("world"));
    EXPECT_EQ(ht::hash_value(&tail, 0), ht::hash_value(&world, 0));
    Cell probe{ht::type_string_probe, 0, upper, 5};
    Cell hello = string_cell(text("HELLO"));
    EXPECT_EQ(ht::hash_value(&probe, 0), ht::hash_value(&hello, 0));
    Cell past{type_string, 40, upper, 0}, empty = string_cell(text(""));
    EXPECT_EQ(ht::hash_value(&past, 0), ht::hash_value(&empty, 0));
    // A string over a series of cells is corrupt data, not text.
    Cell bad = string_cell(memory::alloc_cells(2));
    series::alloc_tail_cell(bad.w2);
    EXPECT_STREQ(raised([&] { ht::hash_value(&bad, 0); }), "vum-system");
}

TEST_F(HashTableHashes, WordsAndSymbolsIgnoreLetterCase) {
    symbols::init_table();
    int32_t mixed = symbols::make("Foo");
    int32_t lower = symbols::make("foo");
    ASSERT_NE(mixed, lower);
    Cell w1{type_word, 0, uint32_t(mixed), 0}, w2{type_set_word, 0, uint32_t(lower), 0};
    EXPECT_EQ(ht::hash_value(&w1, 0), ht::hash_value(&w2, 0));
    EXPECT_EQ(ht::hash_value(&w2, 0), ht::fmix32(uint32_t(symbols::resolve(lower))));
    Cell s1 = *symbols::entry(mixed), s2 = *symbols::entry(lower);
    EXPECT_EQ(ht::hash_value(&s1, 0), ht::hash_value(&s2, 0));
    EXPECT_EQ(ht::hash_value(&s1, 0), ht::murmur3("foo", 3));
    EXPECT_EQ(ht::default_compare(&w1, &w2, 0), 1);  // different types
    w2.header = type_word;
    EXPECT_EQ(ht::default_compare(&w1, &w2, 0), 0);
    EXPECT_EQ(ht::default_compare(&w1, &w2, 2), 1);
}

// ------------------------------------------------------------ hash!

TEST_F(HashTableHash, CaseVariantsAreFoundByEqualityNotStrictly) {
    uint32_t block = memory::alloc_cells(2);
    append(block, string_cell(text("Abc")));
    append(block, string_cell(text("abc", 2)));
    HashValue h(block);
    Cell either = string_cell(text("aBC")), exact = string_cell(text("abc"));
    EXPECT_EQ(index_in(block, ht::find(h.table(), &either, 0, 1, 0, false, false)), 0);
    EXPECT_EQ(index_in(block, ht::find(h.table(), &either, 0, 1, 0, true, false)), 1);
    EXPECT_EQ(index_in(block, ht::find(h.table(), &exact, 0, 1, 2, false, false)), 1);
    EXPECT_EQ(ht::find(h.table(), &either, 0, 1, 2, false, false), nullptr);
    EXPECT_EQ(ht::record(h.table())->count, 1u);  // one bucket, chained
    expect_consistent(h.table(), block);
}

TEST_F(HashTableHash, EqualKeysChainInOneBucket) {
    uint32_t block = block_of_integers({5, 7, 5, 5});
    HashValue h(block);
    uint32_t table = h.table();
    ht::Record* r = ht::record(table);
    EXPECT_EQ(r->count, 2u);
    auto* per_cell = reinterpret_cast<int32_t*>(nodes::buffer(r->cell_buckets)->head_ptr());
    int32_t bucket = per_cell[0] - 1;
    EXPECT_EQ(per_cell[2] - 1, bucket);
    EXPECT_EQ(per_cell[3] - 1, bucket);
    int32_t v = ht::bucket_array(r)[bucket];
    ASSERT_LT(v, 0);
    uint32_t chain = uint32_t(reinterpret_cast<int32_t*>(nodes::buffer(r->chains)->head_ptr())[-v - 1]);
    EXPECT_EQ(nodes::buffer(chain)->tail - nodes::buffer(chain)->head, 12u);  // three indexes
    expect_consistent(table, block);
    // A cell put again, as after its value changed in place, moves to the
    // bucket of its new value.
    ht::put_key(table, at(block, 2));
    EXPECT_EQ(nodes::buffer(chain)->tail - nodes::buffer(chain)->head, 12u);
    at(block, 1)->w2 = 5;
    ht::put_key(table, at(block, 1));
    EXPECT_EQ(ht::record(table)->count, 1u);
    EXPECT_EQ(nodes::buffer(chain)->tail - nodes::buffer(chain)->head, 16u);
    at(block, 1)->w2 = 7;
    ht::put_key(table, at(block, 1));
    r = ht::record(table);
    EXPECT_EQ(r->count, 2u);
    expect_consistent(table, block);

    Cell five = integer(5);
    ht::remove_key(table, at(block, 0));
    ht::remove_key(table, at(block, 2));
    r = ht::record(table);
    EXPECT_EQ(ht::bucket_state(r, uint32_t(bucket)), ht::state_used);
    EXPECT_EQ(r->count, 2u);
    EXPECT_EQ(index_in(block, ht::find(table, &five, 0, 1, 0, false, false)), 3);
    ht::remove_key(table, at(block, 0));  // already gone: nothing changes
    EXPECT_EQ(ht::record(table)->count, 2u);
    ht::remove_key(table, at(block, 3));
    r = ht::record(table);
    EXPECT_EQ(ht::bucket_state(r, uint32_t(bucket)), ht::state_deleted);
    EXPECT_EQ(r->count, 1u);
    EXPECT_EQ(ht::find(table, &five, 0, 1, 0, false, false), nullptr);
    // The freed chain slot is the next chain's.
    append(block, integer(7));
    ht::put_key(table, at(block, 4));
    EXPECT_EQ(nodes::buffer(ht::record(table)->chains)->count(), 1u);
}

TEST_F(HashTableHash, FindHonoursStartSkipLastAndReverse) {
    uint32_t block = block_of_integers({1, 2, 1, 2, 1, 1});
    HashValue h(block);
    Cell one = integer(1), three = integer(3);
    struct Case {
        int32_t from, skip;
        bool last, reverse;
        int32_t found;
    } cases[] = {
        {0, 1, false, false, 0}, {1, 1, false, false, 2}, {1, 2, false, false, 5}, {0, 2, false, false, 0},
        {1, 3, false, false, 4}, {0, 1, true, false, 5},  {0, 2, true, false, 5},  {2, 2, true, false, 5},
        {3, 2, true, false, 4},  {5, 1, false, true, 4},  {4, 1, false, true, 2},  {5, 2, false, true, 4},
        {4, 2, false, true, -1}, {0, 1, false, true, -1}, {6, 1, false, false, -1},
        {2, 0, false, false, 2},  // a skip below 1 is 1
    };
    for (const Case& c : cases)
        EXPECT_EQ(index_in(block, ht::find(h.table(), &one, c.from, c.skip, 0, c.last, c.reverse)), c.found)
            << "from " << c.from << " skip " << c.skip << " last " << c.last << " reverse " << c.reverse;
    EXPECT_EQ(ht::find(h.table(), &three, 0, 1, 0, false, false), nullptr);
}

TEST_F(HashTableHash, InsertReusesTheLastDeletedBucketMet) {
    // Integers whose hashes start at the same bucket of an 8-bucket table.
    std::vector<int32_t> same;
    for (int32_t n = 0; same.size() < 4; n++)
        if ((ht::fmix32(uint32_t(n)) & 7) == 3) same.push_back(n);
    uint32_t block = block_of_integers({same[0], same[1], same[2]});
    HashValue h(block);
    uint32_t table = h.table();
    ht::Record* r = ht::record(table);
    auto bucket_of = [&](int32_t i) {
        return reinterpret_cast<int32_t*>(nodes::buffer(ht::record(table)->cell_buckets)->head_ptr())[i] - 1;
    };
    EXPECT_EQ(bucket_of(0), 3);  // the probe path: 3, 4, 6, 1 ...
    EXPECT_EQ(bucket_of(1), 4);
    EXPECT_EQ(bucket_of(2), 6);
    ht::remove_key(table, at(block, 0));
    ht::remove_key(table, at(block, 1));
    EXPECT_EQ(ht::record(table)->occupied, 3u);
    append(block, integer(same[3]));
    ht::put_key(table, at(block, 3));
    r = ht::record(table);
    EXPECT_EQ(bucket_of(3), 4);
    EXPECT_EQ(r->count, 2u);
    EXPECT_EQ(r->occupied, 3u);  // a deleted bucket taken adds nothing
    EXPECT_EQ(ht::bucket_state(r, 3), ht::state_deleted);
    Cell key = integer(same[2]);
    EXPECT_EQ(index_in(block, ht::find(table, &key, 0, 1, 0, false, false)), 2);
}

TEST_F(HashTableHash, RemovingRangesKeepsCountsRight) {
    uint32_t block = block_of_integers({1, 2, 3, 2, 4, 5});
    HashValue h(block);
    uint32_t table = h.table();
    ht::remove_key_range(table, 1, 2);  // 2 and 3: the other 2 stays
    EXPECT_EQ(ht::record(table)->count, 4u);  // 1, 2, 4, 5
    Cell two = integer(2);
    EXPECT_EQ(index_in(block, ht::find(table, &two, 0, 1, 0, false, false)), 3);
    ht::remove_key_range(table, 3, 1);
    EXPECT_EQ(ht::record(table)->count, 3u);
    Cell three = integer(3);
    EXPECT_EQ(ht::find(table, &two, 0, 1, 0, false, false), nullptr);
    EXPECT_EQ(ht::find(table, &three, 0, 1, 0, false, false), nullptr);
    ht::remove_key_range(table, 5, 100);  // clipped to the series
    EXPECT_EQ(ht::record(table)->count, 2u);
    ht::remove_key_range(table, 0, 6);  // every cell: the table is reset
    ht::Record* r = ht::record(table);
    EXPECT_EQ(r->count + r->occupied, 0u);
    EXPECT_EQ(nodes::buffer(r->chains)->count(), 0u);
    Cell one = integer(1);
    EXPECT_EQ(ht::find(table, &one, 0, 1, 0, false, false), nullptr);
}

// Block edits as the hash! datatype makes them, followed by the index fixes.
TEST_F(HashTableHash, ShiftingIndexesFollowsInsertionsAndRemovals) {
    uint32_t block = block_of_integers({10, 11, 12, 10, 13, 10});
    HashValue h(block);
    uint32_t table = h.table();
    // Insert 10 and 20 at index 1.
    int32_t old_length = length(block);
    append(block, integer(0));
    append(block, integer(0));
    Cell* c = at(block, 0);
    std::memmove(c + 3, c + 1, size_t(old_length - 1) * 16);
    c[1] = integer(10);
    c[2] = integer(20);
    EXPECT_EQ(ht::shift_indexes(table, 2, 1, old_length - 1, true), 0);
    ht::put_key(table, at(block, 1));
    ht::put_key(table, at(block, 2));
    expect_consistent(table, block);
    Cell ten = integer(10);
    EXPECT_EQ(index_in(block, ht::find(table, &ten, 2, 1, 0, false, false)), 5);
    // Remove the three cells at index 2 (20 11 12).
    old_length = length(block);
    EXPECT_EQ(ht::shift_indexes(table, -3, 5, old_length - 5, true), 0);
    c = at(block, 0);
    std::memmove(c + 2, c + 5, size_t(old_length - 5) * 16);
    nodes::buffer(block)->tail -= 3 * 16;
    expect_consistent(table, block);
    EXPECT_EQ(ht::record(table)->count, 2u);  // 10 and 13
    EXPECT_EQ(ht::shift_indexes(table, 1, 0, 30001, true), 1);  // too many to follow
}

TEST_F(HashTableHash, MovingIndexesFollowsBlockMoves) {
    struct Case {
        int32_t to, from, count;
    } cases[] = {{0, 3, 2}, {7, 0, 2}, {6, 1, 3}, {1, 4, 3}, {2, 1, 2}, {3, 1, 2}, {0, 0, 7}};
    for (const Case& m : cases) {
        uint32_t block = block_of_integers({1, 2, 1, 3, 1, 2, 4});
        HashValue h(block);
        ht::move_indexes(h.table(), m.to, m.from, m.count);
        Cell* c = at(block, 0);
        if (m.to < m.from)
            std::rotate(c + m.to, c + m.from, c + m.from + m.count);
        else if (m.to > m.from + m.count)
            std::rotate(c + m.from, c + m.from + m.count, c + m.to);
        SCOPED_TRACE(testing::Message() << "to " << m.to << " from " << m.from << " count " << m.count);
        expect_consistent(h.table(), block);
    }
}

TEST_F(HashTableHash, CopiesAndClearsStandApart) {
    uint32_t block = block_of_integers({1, 2, 1, 3});
    HashValue h(block);
    uint32_t copy_block = memory::copy_bytes(block);
    HashValue copy_value(copy_block);  // keeps the copied block alive
    copy_value.cell.w3 = ht::copy_table(h.table(), copy_block);
    uint32_t copy = copy_value.cell.w3;
    EXPECT_NE(ht::record(copy)->chains, ht::record(h.table())->chains);
    ht::remove_key(copy, at(copy_block, 0));
    ht::remove_key(copy, at(copy_block, 2));
    expect_consistent(h.table(), block);  // the source's chain is whole
    Cell one = integer(1);
    EXPECT_EQ(ht::find(copy, &one, 0, 1, 0, false, false), nullptr);

    ht::clear_table(h.table());
    ht::Record* r = ht::record(h.table());
    EXPECT_EQ(r->count + r->occupied, 0u);
    EXPECT_EQ(ht::find(h.table(), &one, 0, 1, 0, false, false), nullptr);
    ht::remove_key(h.table(), at(block, 1));  // nothing to remove, nothing breaks
    ht::index_from(h.table(), 0, 1);
    expect_consistent(h.table(), block);
}

TEST_F(HashTableHash, BlockKeysAreRehashedAfterACompaction) {
    uint32_t block = memory::alloc_cells(4);
    for (int i = 0; i < 3; i++) append(block, {type_block, 0, block_of_integers({i}), 0});
    HashValue h(block);
    ht::Record* r = ht::record(h.table());
    EXPECT_EQ(r->stamp, uint32_t(gc::state.collections) + 1);
    uint32_t states = r->states;
    gc::state.enabled = 1;
    gc::collect();
    Cell key = *at(block, 2);
    EXPECT_EQ(index_in(block, ht::find(h.table(), &key, 0, 1, 0, false, false)), 2);
    r = ht::record(h.table());
    EXPECT_NE(r->states, states);  // rebuilt
    EXPECT_EQ(r->stamp, uint32_t(gc::state.collections) + 1);
    states = r->states;
    EXPECT_EQ(index_in(block, ht::find(h.table(), &key, 0, 1, 0, false, false)), 2);
    EXPECT_EQ(ht::record(h.table())->states, states);  // not again without a compaction
    expect_consistent(h.table(), block);
    // Integers do not depend on where anything is.
    gc::state.enabled = 0;
    HashValue ints(block_of_integers({1, 2}));
    EXPECT_EQ(ht::record(ints.table())->stamp, 0u);
}

int32_t raise_on_equal_integers(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(a) == type_integer && cell::type(b) == type_integer && a->w2 == b->w2)
        errors::raise(err::script::invalid_compare);
    return ht::default_compare(a, b, op);
}

TEST_F(HashTableHash, RebuildRestoresTheCollectionSwitchWhenLeftByAnError) {
    uint32_t block = block_of_integers({1, 1});
    gc::ProtectNode keep(&block);
    Cell source{type_block, 0, block, 0};
    ht::compare_cells = raise_on_equal_integers;
    gc::state.enabled = 1;
    EXPECT_STREQ(raised([&] { ht::create(0, &source, ht::kind_hash, 0); }), "invalid-compare");
    EXPECT_EQ(gc::state.enabled, 1);
    ht::compare_cells = ht::default_compare;
    HashValue h(block);
    ht::compare_cells = raise_on_equal_integers;
    EXPECT_STREQ(raised([&] { ht::rebuild(h.table(), 2); }), "invalid-compare");
    EXPECT_EQ(gc::state.enabled, 1);
}

// Thousands of keys added one by one, as the hash! datatype appends them,
// while collections move the table's series between operations.
TEST_F(HashTableHash, GrowthKeepsEveryKeyFindable) {
    const int32_t keys = 4000;
    gc::state.enabled = 1;
    HashValue h(memory::alloc_cells(4));
    int rebuilt = 0;
    for (int32_t i = 0; i < keys; i++) {
        uint32_t s = text("key-" + std::to_string(i % (keys / 2)) + (i >= keys / 2 ? "" : "x"));
        gc::ProtectNode keep(&s);
        append(h.block(), string_cell(s));
        int32_t status = 0;
        ht::put_key_status(h.table(), at(h.block(), i), &status);
        rebuilt += status == 2;
        if (i % 700 == 0) gc::collect();
    }
    EXPECT_GE(rebuilt, 8);
    ht::Record* r = ht::record(h.table());
    EXPECT_EQ(r->count, uint32_t(keys));
    EXPECT_LT(r->occupied, r->threshold);
    gc::collect();
    expect_consistent(h.table(), h.block());
    Cell probe = string_cell(text("KEY-17X"));
    EXPECT_EQ(index_in(h.block(), ht::find(h.table(), &probe, 0, 1, 0, false, false)), 17);
}

TEST_F(HashTableHash, GrowthUnderTheTortureSwitch) {
    gc::set_torture(1);
    gc::state.enabled = 1;
    HashValue h(memory::alloc_cells(1));
    for (int32_t i = 0; i < 300; i++) {
        uint32_t s = text(std::to_string(i % 100));
        gc::ProtectNode keep(&s);
        append(h.block(), i % 3 ? string_cell(s) : Cell{type_block, 0, s, 0});
        ht::put_key(h.table(), at(h.block(), i));
    }
    gc::set_torture(0);
    expect_consistent(h.table(), h.block());
}

// ------------------------------------------------------------ map!

TEST_F(HashTableMap, RepeatedKeyKeepsOnePairWithTheLaterValue) {
    uint32_t block = block_of_integers({1, 10, 2, 20, 1, 30, 3, 40, 2, 50});
    HashValue m(block, ht::kind_map);
    EXPECT_EQ(length(block), 6);
    EXPECT_EQ(ht::record(m.table())->count, 3u);
    struct {
        int32_t key, at, value;
    } expected[] = {{1, 0, 30}, {2, 2, 50}, {3, 4, 40}};
    for (auto e : expected) {
        Cell key = integer(e.key);
        Cell* found = ht::find(m.table(), &key, 0, 1, 2, false, false);
        ASSERT_EQ(index_in(block, found), e.at);
        EXPECT_EQ(cell::get_integer(found + 1), e.value);
    }
}

TEST_F(HashTableMap, WordKeysAreFoundAsSetWordsAndRemovedPairsKeepTheirBucket) {
    uint32_t block = memory::alloc_cells(4);
    append(block, {type_set_word, 0, 7, 0});
    append(block, integer(1));
    append(block, {type_set_word, 0, 8, 0});
    append(block, integer(2));
    HashValue m(block, ht::kind_map);
    Cell word{type_word, 0, 8, 0}, get_word{type_get_word, 0, 7, 0}, issue{type_issue, 0, 7, 0};
    EXPECT_EQ(index_in(block, ht::find(m.table(), &word, 0, 1, 2, false, false)), 2);
    EXPECT_EQ(index_in(block, ht::find(m.table(), &get_word, 0, 1, 2, false, false)), 0);
    EXPECT_EQ(ht::find(m.table(), &issue, 0, 1, 2, false, false), nullptr);
    ht::remove_key(m.table(), at(block, 2));
    ht::remove_key(m.table(), at(block, 2));  // twice is once
    ht::Record* r = ht::record(m.table());
    EXPECT_EQ(r->count, 1u);
    EXPECT_EQ(r->occupied, 2u);
    EXPECT_EQ(at(block, 3)->header, 0u);
    EXPECT_EQ(index_in(block, ht::find(m.table(), &word, 0, 1, 2, false, false)), 2);
}

TEST_F(HashTableMap, NextKeyWalksTheEqualKeysOfTheProbePath) {
    uint32_t block = memory::alloc_cells(6);
    append(block, string_cell(text("Abc")));
    append(block, integer(1));
    append(block, string_cell(text("abc")));  // a different key under strict equality
    append(block, integer(2));
    append(block, string_cell(text("abd")));
    append(block, integer(3));
    HashValue m(block, ht::kind_map);
    EXPECT_EQ(ht::record(m.table())->count, 3u);
    Cell key = string_cell(text("ABC"));
    int32_t bucket = -1, start = 0, step = 0;
    std::set<int32_t> seen;
    while (Cell* c = ht::find_next_key(m.table(), &key, &bucket, &start, &step)) seen.insert(index_in(block, c));
    EXPECT_EQ(seen, (std::set<int32_t>{0, 2}));
}

TEST_F(HashTableMap, GrowthDoublesAndKeepsEveryKey) {
    gc::state.enabled = 1;
    HashValue m(memory::alloc_cells(2), ht::kind_map);
    uint32_t last_size = ht::record(m.table())->size;
    for (int32_t i = 0; i < 3000; i++) {
        append(m.block(), integer(i * 3));
        append(m.block(), integer(i));
        ht::put_key(m.table(), at(m.block(), 2 * i));
        uint32_t size = ht::record(m.table())->size;
        EXPECT_TRUE(size == last_size || size == 2 * last_size) << i;
        last_size = size;
        if (i % 1000 == 0) gc::collect();
    }
    for (int32_t i = 0; i < 3000; i++) {
        Cell key = integer(i * 3);
        Cell* found = ht::find(m.table(), &key, 0, 1, 2, false, false);
        ASSERT_EQ(index_in(m.block(), found), 2 * i);
        EXPECT_EQ(cell::get_integer(found + 1), i);
    }
}

// ------------------------------------------------------------ resizing

TEST_F(HashTableResize, SymbolTablesGrowSixteenFoldInPlace) {
    uint32_t keys = memory::alloc_cells(8);
    for (int32_t i = 0; i < 6; i++) append(keys, integer(i * 11));
    Cell source{type_block, 0, keys, 0};
    uint32_t table = ht::create(0, &source, ht::kind_symbols, 0);
    ht::ProtectTable keep(table);
    ht::Record* r = ht::record(table);
    ASSERT_EQ(r->occupied, r->threshold);
    ht::resize_in_place(table, (r->size + 1) * 16);  // the symbol and word probes' growth
    r = ht::record(table);
    EXPECT_EQ(r->size, 256u);
    EXPECT_EQ(r->threshold, 197u);  // rounded, not truncated
    EXPECT_EQ(r->occupied, 6u);
    ht::resize_in_place(table, 4);  // six keys do not fit under 4's threshold: nothing happens
    EXPECT_EQ(ht::record(table)->size, 256u);
    for (int32_t i = 0; i < 6; i++) {
        Cell key = integer(i * 11);
        EXPECT_EQ(index_in(keys, ht::find(table, &key, 0, 1, 2, false, false)), i);
    }
    // Through put_key_status the growth is twofold.
    uint32_t small = ht::create(0, nullptr, ht::kind_symbols, 0);
    ht::ProtectTable keep_small(small);
    uint32_t small_keys = ht::record(small)->keys;
    for (int32_t i = 0; i < 7; i++) {
        append(small_keys, integer(i));
        ht::put_key(small, at(small_keys, i));
    }
    EXPECT_EQ(ht::record(small)->size, 16u);
}

// Keys whose probe paths all start at the last bucket wrap around to the
// first ones; re-placing the first entries then lands on entries still
// waiting to move, which are kicked out and placed in turn.
TEST_F(HashTableResize, KickOutPlacesEveryEntry) {
    std::vector<int32_t> crowded;
    for (int32_t n = 0; crowded.size() < 40; n++)
        if ((ht::fmix32(uint32_t(n)) & 255) == 255) crowded.push_back(n);
    struct Step {
        uint32_t request, size;
    } steps[] = {{63, 64}, {256, 256}, {64, 64}, {128, 128}, {33, 64}, {255, 256}};
    for (ht::Kind kind : {ht::kind_hash, ht::kind_map, ht::kind_symbols}) {
        uint32_t block = memory::alloc_cells(96);
        for (int32_t i = 0; i < 45; i++) {
            append(block, integer(crowded[size_t(i % 40)]));  // the last five chain in the hash!
            if (kind == ht::kind_map) append(block, integer(i));
            if (i == 39 && kind != ht::kind_hash) break;
        }
        HashValue h(block, kind);
        for (Step s : steps) {
            ht::resize_in_place(h.table(), s.request);
            ht::Record* r = ht::record(h.table());
            ASSERT_EQ(r->size, s.size);
            EXPECT_EQ(r->occupied, 40u);
            int32_t step = kind == ht::kind_map ? 2 : 1;
            for (int32_t i = 0; i < length(block); i += step) {
                Cell key = *at(block, i);
                EXPECT_EQ(index_in(block, ht::find(h.table(), &key, i, 1, 2, false, false)), i)
                    << "kind " << kind << " size " << s.size << " cell " << i;
            }
            if (kind == ht::kind_hash) expect_consistent(h.table(), block);
        }
    }
}

// ------------------------------------------------------------ identity tables

TEST_F(HashTableIdentity, PutFindRemoveThroughGrowthAndRehash) {
    gc::state.enabled = 1;
    uint32_t table = ht::create(0, nullptr, ht::kind_identity, 1);
    ht::ProtectTable keep(table);
    auto key = [](int32_t i) { return uint32_t(i) * 2654435761u + 1; };
    for (int32_t i = 0; i < 2000; i++) {
        Cell* data = ht::put_pointer(table, key(i));
        EXPECT_EQ(data->header, uint32_t(type_unset));
        cell::make_integer(data, i);
        if (i % 500 == 0) gc::collect();
    }
    EXPECT_EQ(ht::record(table)->count, 2000u);
    EXPECT_EQ(cell::get_integer(ht::put_pointer(table, key(5))), 5);  // present: the same entry
    for (int32_t i = 0; i < 2000; i += 3) EXPECT_EQ(cell::get_integer(ht::remove_pointer(table, key(i))), i);
    EXPECT_EQ(ht::remove_pointer(table, key(0)), nullptr);
    EXPECT_EQ(ht::record(table)->count, 2000u - 667u);
    gc::collect();  // the next use rehashes in place
    for (int32_t i = 0; i < 2000; i++) {
        Cell* data = ht::find_pointer(table, key(i));
        if (i % 3 == 0) {
            EXPECT_EQ(data, nullptr) << i;
        } else {
            ASSERT_NE(data, nullptr) << i;
            EXPECT_EQ(cell::get_integer(data), i);
        }
    }
    EXPECT_EQ(ht::record(table)->stamp, uint32_t(gc::state.collections) + 1);
    // Put until the grow rule rebuilds: removed entries are dropped then.
    uint32_t size = ht::record(table)->size;
    int32_t more = 0;
    while (ht::record(table)->size == size) {
        cell::make_integer(ht::put_pointer(table, key(5000 + more)), more);
        more++;
    }
    ht::Record* r = ht::record(table);
    SeriesBuffer* entries = nodes::buffer(r->keys);
    EXPECT_EQ(r->count, r->occupied);
    EXPECT_EQ((entries->tail - entries->head) / r->cell_buckets, r->count);
    for (int32_t i = 1; i < 2000; i += 3) EXPECT_EQ(cell::get_integer(ht::find_pointer(table, key(i))), i);
    for (int32_t i = 0; i < more; i++) EXPECT_EQ(cell::get_integer(ht::find_pointer(table, key(5000 + i))), i);
}

TEST_F(HashTableIdentity, DataCellsKeepTheirValuesAlive) {
    gc::state.enabled = 1;
    uint32_t table = ht::create(4, nullptr, ht::kind_identity, 1);
    ht::ProtectTable keep(table);
    uint32_t block = memory::alloc_cells(3);
    {
        gc::ProtectNode hold_until_stored(&block);
        for (int32_t i = 0; i < 3; i++) append(block, integer(i));
        *ht::put_pointer(table, 99) = {type_block, 0, block, 0};
    }
    for (int i = 0; i < 3; i++) gc::collect();
    EXPECT_EQ(ht::find_pointer(table, 99)->w2, block);
    EXPECT_TRUE(holds_integers(block, 3));
    EXPECT_TRUE(nodes::buffer(block)->flags & series_flags::in_use);
    ht::clear_table(table);  // cleared entries hold nothing any more
    EXPECT_EQ(ht::find_pointer(table, 99), nullptr);
    EXPECT_EQ(nodes::buffer(ht::record(table)->keys)->count(), 0u);
}

// A removed entry stays in the entry series until a rebuild, its data
// cells untouched: the collector must pass over it by its state, or it
// keeps what the cells name alive.
TEST_F(HashTableIdentity, OnlyLiveEntriesKeepTheirValuesAlive) {
    gc::state.enabled = 1;
    uint32_t table = ht::create(8, nullptr, ht::kind_identity, 2);
    ht::ProtectTable keep(table);
    uint32_t blocks[4];
    {
        Cell held[4] = {};
        gc::Protect hold_until_stored(held, 4);
        for (int k = 0; k < 4; k++) {
            blocks[k] = block_of_integers({0, 1});
            held[k] = {type_block, 0, blocks[k], 0};
        }
        for (uint32_t k = 0; k < 2; k++) {
            Cell* data = ht::put_pointer(table, 10 + k);
            data[0] = held[2 * k];
            data[1] = held[2 * k + 1];
        }
    }
    ASSERT_NE(ht::remove_pointer(table, 11), nullptr);
    gc::collect();
    auto alive = [](uint32_t node) {
        SeriesBuffer* b = nodes::buffer(node);
        return b && !(reinterpret_cast<uintptr_t>(b) & 1) && (b->flags & series_flags::in_use);
    };
    EXPECT_TRUE(alive(blocks[0]) && alive(blocks[1]));
    EXPECT_TRUE(holds_integers(blocks[0], 2) && holds_integers(blocks[1], 2));
    EXPECT_FALSE(alive(blocks[2]) || alive(blocks[3]));
    ASSERT_NE(ht::find_pointer(table, 10), nullptr);
    EXPECT_EQ(ht::find_pointer(table, 10)[1].w2, blocks[1]);
}

TEST_F(HashTableIdentity, SweepDropsEntriesOfUnmarkedSeries) {
    uint32_t table = ht::create(8, nullptr, ht::kind_ownership, 3);
    uint32_t nodes_[6];
    for (uint32_t& n : nodes_) n = memory::alloc_bytes(16);
    uint32_t owner = memory::alloc_cells(1);
    for (uint32_t n : nodes_) *(ht::put_pointer(table, n) + 1) = {type_object, owner, 1, 0};
    for (int i = 0; i < 3; i++) memory::set_flags(nodes_[i], series_flags::mark);
    memory::set_flags(owner, series_flags::mark);
    ht::sweep_pointer(table);
    EXPECT_EQ(ht::record(table)->count, 3u);
    for (int i = 0; i < 6; i++) EXPECT_EQ(ht::find_pointer(table, nodes_[i]) != nullptr, i < 3) << i;
    nodes::buffer(owner)->flags &= ~series_flags::mark;  // an owner gone takes its entries
    ht::sweep_pointer(table);
    EXPECT_EQ(ht::record(table)->count, 0u);
    for (uint32_t n : nodes_) nodes::buffer(n)->flags &= ~series_flags::mark;
}

}  // namespace
