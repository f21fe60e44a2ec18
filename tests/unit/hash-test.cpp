// hash!: the index stays in step with the block through long runs of mixed
// edits (checked against the table's own bookkeeping after each), finds
// through it answer as block!'s scan does, and copies index apart.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "datatype-fixture.h"
#include "datatypes/block-search.h"
#include "datatypes/hash.h"
#include "memory/hash-table.h"

using namespace vum;

namespace {

class HashTest : public DatatypeTest {
protected:
    static int32_t* ints(uint32_t node) { return reinterpret_cast<int32_t*>(nodes::buffer(node)->head_ptr()); }
    static int32_t int_count(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }

    // Every cell indexed once, under a used bucket that names it (directly
    // or through its chain), and found from its own position; no entry for
    // a cell that is gone; the live count is the number of used buckets.
    static std::string index_fault(const Cell* h) {
        if (cell::type(h) != type_hash || !h->w3) return "no table";
        uint32_t table = h->w3;
        int32_t length = block_actions::buffer_length(h->w2);
        const hashtable::Record* r = hashtable::record(table);
        if (r->keys != h->w2) return "table over another series";
        std::vector<int32_t> seen(size_t(length), 0);
        uint32_t used = 0;
        for (uint32_t b = 0; b < r->size; b++) {
            if (hashtable::bucket_state(r, b) != hashtable::state_used) continue;
            used++;
            int32_t v = hashtable::bucket_array(r)[b];
            std::vector<int32_t> members;
            if (v >= 0) {
                members.push_back(v);
            } else {
                uint32_t chain = uint32_t(ints(r->chains)[-v - 1]);
                members.assign(ints(chain), ints(chain) + int_count(chain));
                if (members.empty()) return "empty chain";
            }
            for (int32_t i : members) {
                if (i < 0 || i >= length) return "entry past the tail: " + std::to_string(i);
                // A chain holds equal keys of one type.
                const Cell* first = block_actions::cell_at(h->w2, members[0]);
                const Cell* member = block_actions::cell_at(h->w2, i);
                if (cell::type(member) != cell::type(first) || hashtable::default_compare(member, first, 0) != 0)
                    return "chain of unequal keys at " + std::to_string(i);
                if (ints(r->cell_buckets)[i] != int32_t(b) + 1) return "cell bucket of " + std::to_string(i);
                seen[size_t(i)]++;
            }
        }
        if (used != r->count) return "count " + std::to_string(r->count) + " for " + std::to_string(used);
        for (int32_t i = 0; i < length; i++)
            if (seen[size_t(i)] != 1) return "cell " + std::to_string(i) + " indexed " + std::to_string(seen[size_t(i)]);
        for (int32_t i = length; i < int_count(r->cell_buckets); i++)
            if (ints(r->cell_buckets)[i] > 0) return "stale cell bucket " + std::to_string(i);
        for (int32_t i = 0; i < length; i++) {
            Cell key = *block_actions::cell_at(h->w2, i);
            Cell* found = hashtable::find(table, &key, i, 1, actions::op_strict_equal, false, false);
            if (found != block_actions::cell_at(h->w2, i)) return "cell " + std::to_string(i) + " not found";
        }
        return "";
    }

    static void make_hash(const Cell* spec, Cell* result) {
        Cell prototype = {type_datatype, type_hash, 0, 0};
        actions::handler<actions::slot_make>(type_hash)(&prototype, spec, type_hash, result);
    }

    static Cell at(const Cell* h, int32_t p) {
        Cell c = *h;
        c.w1 = uint32_t(p);
        return c;
    }
};

// Random edits of every kind over a few repeated values (chains), letter
// cases and word kinds (equal under find, apart in the table) and a block
// (hashed by identity). After each: the table's bookkeeping is whole, and
// finds through it answer as block!'s scan of the same cells.
TEST_F(HashTest, IndexFollowsEveryEdit) {
    using namespace actions;
    Cell* pool = B({I(0), I(1), I(2), W("a"), W("A"), W("b"), {type_none, 0, 0, 0}});
    block_actions::append_copy(pool, keep(string::from_utf8("x")));
    block_actions::append_copy(pool, keep(string::from_utf8("X")));
    block_actions::append_copy(pool, B({I(7)}));
    Cell set_a = W("a");
    cell::set_type(&set_a, type_set_word);
    block_actions::append_copy(pool, &set_a);
    int32_t kinds = block_actions::buffer_length(pool->w2);

    Cell* h = keep({type_none, 0, 0, 0});
    Cell* s = keep(*h);    // a position in h
    Cell* v = keep(*h);    // the value to put in or look for
    Cell* n = keep(I(0));  // a count
    Cell* out = keep(*h);
    Cell* scanned = keep(*h);
    Cell* two = keep(I(2));
    Cell* three = keep(I(3));
    std::mt19937 random;
    auto pick = [&](int32_t k) { return int32_t(random() % uint32_t(k)); };
    auto any_value = [&] { return *block_actions::cell_at(pool->w2, pick(kinds)); };

    // find's options, each tried from a random position.
    std::vector<FindOptions> searches(9);
    searches[1].case_sensitive = true;
    searches[2].last = true;
    searches[3].reverse = true;
    searches[4].skip = two;
    searches[5].tail = true;
    searches[6].part = three;
    searches[7].last = true, searches[7].skip = two;
    searches[8].reverse = true, searches[8].skip = two, searches[8].tail = true;

    for (uint32_t seed : {20240611u, 7u, 31337u}) {
        random.seed(seed);
        Cell size = I(4);
        make_hash(&size, h);
        for (int32_t step = 0; step < 600; step++) {
            int32_t length = block_actions::buffer_length(h->w2);
            *s = at(h, length ? pick(length + 1) : 0);
            *v = any_value();
            *n = I(1 + pick(3));
            int32_t op = length < 4 ? pick(2) : pick(13);
            switch (op) {
                case 0: lookup<slot_append>(s)(s, v, nullptr, false, nullptr, true, out); break;
                case 1: {
                    // A run of values, some repeated.
                    *v = *B({any_value(), any_value(), any_value()});
                    lookup<slot_insert>(s)(s, v, nullptr, false, n, false, out);
                    break;
                }
                case 2: lookup<slot_change>(s)(s, v, n, false, nullptr, out); break;
                case 3: lookup<slot_remove>(s)(s, n, nullptr, out); break;
                case 4: {
                    Cell index = I(1);
                    if (int32_t(s->w1) < length) lookup<slot_poke>(s)(s, &index, v, 1, out);
                    break;
                }
                case 5: lookup<slot_take>(s)(s, n, false, pick(2) == 1, out); break;
                case 6: lookup<slot_reverse>(s)(s, nullptr, nullptr, out); break;
                case 7:
                    lookup<slot_sort>(s)(s, false, nullptr, nullptr, nullptr, false, pick(2) == 1, false, out);
                    break;
                case 8: lookup<slot_swap>(s)(s, keep(at(h, pick(length))), out); break;
                case 9: lookup<slot_move>(s)(s, keep(at(h, pick(length + 1))), n, out); break;
                case 10: lookup<slot_put>(h)(h, v, n, false, out); break;
                case 11: lookup<slot_trim>(s)(s, false, false, false, false, false, nullptr, out); break;
                case 12:
                    // Rarely, empty it from a position on.
                    if (pick(4) == 0) lookup<slot_clear>(s)(s, out);
                    break;
            }
            std::string fault = index_fault(h);
            ASSERT_EQ(fault, "") << "seed " << seed << ", step " << step << " (edit " << op << "): " << mold(*h);

            for (size_t k = 0; k < searches.size(); k++) {
                length = block_actions::buffer_length(h->w2);
                *s = at(h, length ? pick(length + 1) : 0);
                *v = any_value();
                hash_type::find(s, v, searches[k], out);
                Cell plain = *s;
                cell::set_type(&plain, type_block);
                *scanned = plain;
                block_search::find(scanned, v, searches[k], scanned);
                bool hit = cell::type(out) != type_none, scan_hit = cell::type(scanned) != type_none;
                ASSERT_EQ(hit, scan_hit) << "search " << k << " for " << mold(*v) << " from " << s->w1 << " in "
                                         << mold(*h);
                if (hit) {
                    ASSERT_EQ(out->w1, scanned->w1) << "search " << k << " for " << mold(*v) << " in " << mold(*h);
                }
            }
            stack::s.args_top = three + 1;
        }
    }
}

// Copies get an index of their own: editing one leaves the other's intact.
TEST_F(HashTest, CopiesIndexApart) {
    using namespace actions;
    Cell* h = B({W("a"), I(1), W("b"), I(2), W("a"), I(3)});
    make_hash(h, h);
    Cell* whole = keep(*h);
    lookup<slot_copy>(h)(h, whole, nullptr, false, nullptr);
    Cell* tail = keep(at(h, 2));
    lookup<slot_copy>(tail)(tail, tail, nullptr, false, nullptr);
    Cell* deep = keep(*h);
    lookup<slot_copy>(h)(h, deep, nullptr, true, nullptr);
    for (Cell* c : {h, whole, tail, deep}) ASSERT_EQ(index_fault(c), "") << mold(*c);
    EXPECT_NE(whole->w3, h->w3);

    Cell* x = keep(W("x"));
    Cell* out = keep(*h);
    lookup<slot_insert>(h)(h, x, nullptr, false, nullptr, false, out);
    lookup<slot_clear>(whole)(whole, out);
    for (Cell* c : {h, whole, tail, deep}) EXPECT_EQ(index_fault(c), "") << mold(*c);
    EXPECT_EQ(block_actions::buffer_length(tail->w2), 4);
}

}  // namespace
