#include "memory/hash-table.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"

namespace vum::hashtable {

uint32_t seed = 0;

namespace {

constexpr double load_factor = 0.77;
constexpr uint32_t largest_size = 1u << 28;  // buckets: beyond this the arrays outgrow a series
constexpr int32_t shift_limit = 30000;
constexpr uint32_t c1 = 0xCC9E2D51;
constexpr uint32_t c2 = 0x1B873593;

[[noreturn]] void corrupt() { errors::raise(err::internal::vum_system); }
[[noreturn]] void too_big() { errors::raise(err::internal::no_memory); }

// ---------------------------------------------------------------- hashing

uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

struct Murmur {
    uint32_t h;
    void mix(uint32_t k) {
        k *= c1;
        k = rotl(k, 15);
        k *= c2;
        h ^= k;
        h = rotl(h, 13);
        h = h * 5 + 0xE6546B64;
    }
    uint32_t finish(const uint8_t* tail, uint32_t tail_bytes, uint32_t length) {
        uint32_t k = 0;
        switch (tail_bytes) {
            case 3: k ^= uint32_t(tail[2]) << 16; [[fallthrough]];
            case 2: k ^= uint32_t(tail[1]) << 8; [[fallthrough]];
            case 1:
                k ^= tail[0];
                k *= c1;
                k = rotl(k, 15);
                k *= c2;
                h ^= k;
                break;
            default: break;
        }
        h ^= length;
        return fmix32(h);
    }
};

uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint8_t lower_ascii(uint8_t b) { return b >= 'A' && b <= 'Z' ? uint8_t(b + 32) : b; }

// Payload words a type's hash (and the default equality) looks at.
enum Scheme : uint8_t {
    by_nothing,    // every value of the type is alike
    by_w1,
    by_w2,
    by_w3,
    by_w12,
    by_w23,
    by_w123,
    by_word,       // canonical symbol
    by_symbol,     // name bytes, ASCII case folded
    by_string,     // characters
    by_tuple,
    by_binary,
    by_money,
    by_constant,   // unset!, none!
};

Scheme scheme_of(uint8_t type) {
    switch (type) {
        case type_unset: case type_none: return by_constant;
        case type_datatype: case type_logic: case type_object: case type_error: case type_port: return by_w1;
        case type_char: case type_integer: case type_map: case type_handle: case type_event: return by_w2;
        case type_native: case type_action: return by_w3;
        case type_word: case type_set_word: case type_lit_word: case type_get_word:
        case type_refinement: case type_issue: return by_word;
        case type_symbol: return by_symbol;
        case type_string: case type_file: case type_url: case type_tag: case type_email: case type_ref:
        case type_string_probe: return by_string;
        case type_block: case type_paren: case type_path: case type_lit_path: case type_set_path:
        case type_get_path: case type_hash: case type_image: case type_point2d: return by_w12;
        case type_float: case type_percent: case type_pair: case type_time: return by_w23;
        case type_op: case type_function: case type_triple: case type_typeset: case type_date:
        case type_point3d: return by_w123;
        case type_tuple: return by_tuple;
        case type_binary: return by_binary;
        case type_money: return by_money;
        default: return by_nothing;
    }
}

// Keys hashed by a series' identity: their hashes date from the last rebuild.
bool hashed_by_address(uint8_t type) {
    switch (type) {
        case type_block: case type_paren: case type_object: case type_error: case type_hash:
        case type_map: case type_port: case type_image: case type_event: return true;
        default: return type >= type_native && type <= type_get_path;
    }
}

// A word's canonical symbol, or the id itself when there is no symbol table
// to ask or the id is not one of its entries.
uint32_t canonical(uint32_t id) {
    if (!symbols::table.entries || int32_t(id) < 1 || int32_t(id) > symbols::count()) return id;
    return uint32_t(symbols::resolve(int32_t(id)));
}

// The code points of a string kind, from the value's head to the tail.
struct Chars {
    const uint8_t* at = nullptr;
    uint32_t unit = 1;
    uint32_t count = 0;
    uint32_t operator[](uint32_t i) const {
        switch (unit) {
            case 1: return at[i];
            case 2: { uint16_t v; std::memcpy(&v, at + 2 * i, 2); return v; }
            default: { uint32_t v; std::memcpy(&v, at + 4 * i, 4); return v; }
        }
    }
};

Chars chars_of(const Cell* c) {
    Chars s;
    if (!c->w2) return s;
    SeriesBuffer* b = nodes::buffer(c->w2);
    s.unit = b->unit();
    if (s.unit != 1 && s.unit != 2 && s.unit != 4) corrupt();
    uint64_t start = uint64_t(b->head) + uint64_t(c->w1) * s.unit;
    if (start >= b->tail) return s;
    s.at = b->data() + start;
    s.count = uint32_t((b->tail - start) / s.unit);
    if (cell::type(c) == type_string_probe && int32_t(c->w3) >= 0 && s.count > c->w3) s.count = c->w3;
    return s;
}

struct Bytes {
    const uint8_t* at = nullptr;
    uint32_t count = 0;
};

// Bytes of a binary! from its head; of a symbol! its whole name.
Bytes bytes_of(uint32_t node, uint32_t head_index) {
    Bytes s;
    if (!node) return s;
    SeriesBuffer* b = nodes::buffer(node);
    uint64_t start = uint64_t(b->head) + head_index;
    if (start >= b->tail) return s;
    s.at = b->data() + start;
    s.count = uint32_t(b->tail - start);
    return s;
}

// Words 1-3 as 12 bytes.
const uint8_t* payload(const Cell* c) { return reinterpret_cast<const uint8_t*>(c) + 4; }

uint32_t tuple_length(const Cell* c) {
    return std::min<uint32_t>((c->header & cell::tuple_length_mask) >> cell::tuple_length_shift, 12);
}

// The 16 bytes that identify a money! amount: the flags that say nothing of
// the amount are left out.
void money_bytes(const Cell* c, uint8_t out[16]) {
    Cell n = *c;
    n.header &= cell::type_mask | cell::flag_money_negative;
    std::memcpy(out, &n, 16);
}

uint32_t hash_words(const Cell* c, int first, int count) {
    uint8_t bytes[12];
    const uint32_t words[3] = {c->w1, c->w2, c->w3};
    std::memcpy(bytes, words + (first - 1), size_t(count) * 4);
    return murmur3(bytes, count * 4);
}

// ------------------------------------------------------- default equality

// Two code points alike, letter case aside.
bool same_folded(uint32_t p, uint32_t q) {
    if (p < 0x80 && q < 0x80) return lower_ascii(uint8_t(p)) == lower_ascii(uint8_t(q));
    return unicode::map_char(p, 0) == unicode::map_char(q, 0);
}

bool same_chars(const Cell* a, const Cell* b, bool fold) {
    Chars x = chars_of(a), y = chars_of(b);
    if (x.count != y.count) return false;
    if (x.unit == 1 && y.unit == 1) {
        // Most texts that match match byte for byte, letter case and all.
        if (x.count == 0 || std::memcmp(x.at, y.at, x.count) == 0) return true;
        if (!fold) return false;
        for (uint32_t i = 0; i < x.count; i++) {
            uint32_t p = x.at[i], q = y.at[i];
            if (p != q && (!fold || !same_folded(p, q))) return false;
        }
        return true;
    }
    for (uint32_t i = 0; i < x.count; i++) {
        uint32_t p = x[i], q = y[i];
        if (p != q && (!fold || unicode::map_char(p, 0) != unicode::map_char(q, 0))) return false;
    }
    return true;
}

bool same_bytes(Bytes x, Bytes y, bool fold_ascii) {
    if (x.count != y.count) return false;
    for (uint32_t i = 0; i < x.count; i++) {
        uint8_t p = x.at[i], q = y.at[i];
        if (p != q && (!fold_ascii || lower_ascii(p) != lower_ascii(q))) return false;
    }
    return true;
}

int32_t default_compare_impl(const Cell* a, const Cell* b, int32_t op) {
    uint8_t ta = cell::type(a), tb = cell::type(b);
    bool fold = op == 0;
    // A search probe stands for any string kind.
    if (ta == type_string_probe || tb == type_string_probe) {
        if (scheme_of(ta) != by_string || scheme_of(tb) != by_string) return 1;
        return same_chars(a, b, fold) ? 0 : 1;
    }
    if (ta != tb) return 1;
    switch (scheme_of(ta)) {
        case by_constant: return 0;
        case by_w1: return a->w1 == b->w1 ? 0 : 1;
        case by_w2: return a->w2 == b->w2 ? 0 : 1;
        case by_w3: return a->w3 == b->w3 ? 0 : 1;
        case by_w12: return a->w1 == b->w1 && a->w2 == b->w2 ? 0 : 1;
        case by_w23: return a->w2 == b->w2 && a->w3 == b->w3 ? 0 : 1;
        case by_word: return (fold ? canonical(a->w2) == canonical(b->w2) : a->w2 == b->w2) ? 0 : 1;
        case by_symbol: return same_bytes(bytes_of(a->w3, 0), bytes_of(b->w3, 0), fold) ? 0 : 1;
        case by_string: return same_chars(a, b, fold) ? 0 : 1;
        case by_tuple: {
            uint32_t n = tuple_length(a);
            if (n != tuple_length(b)) return 1;
            return std::memcmp(payload(a), payload(b), n) == 0 ? 0 : 1;
        }
        case by_binary: {
            SeriesBuffer* x = a->w2 ? nodes::buffer(a->w2) : nullptr;
            SeriesBuffer* y = b->w2 ? nodes::buffer(b->w2) : nullptr;
            if (x && x->unit() != 1) return a->w1 == b->w1 && a->w2 == b->w2 ? 0 : 1;
            if (y && y->unit() != 1) return 1;
            return same_bytes(bytes_of(a->w2, a->w1), bytes_of(b->w2, b->w1), false) ? 0 : 1;
        }
        case by_money: {
            uint8_t x[16], y[16];
            money_bytes(a, x);
            money_bytes(b, y);
            return std::memcmp(x, y, 16) == 0 ? 0 : 1;
        }
        case by_w123:
        case by_nothing:
        default: return a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3 ? 0 : 1;
    }
}


// ------------------------------------------------------- series helpers

SeriesBuffer* buf(uint32_t node) { return nodes::buffer(node); }

int32_t* ints(uint32_t node) { return reinterpret_cast<int32_t*>(buf(node)->head_ptr()); }

int32_t int_count(uint32_t node) {
    SeriesBuffer* b = buf(node);
    return int32_t((b->tail - b->head) / 4);
}

// The keys: a hash!'s block (only read here) or a map's pairs, which are data,
// never code; so no write here needs the barrier.
Cell* cells(uint32_t node) { return series::cells_mut_untracked(node); }

int32_t cell_count(uint32_t node) {
    SeriesBuffer* b = buf(node);
    return int32_t((b->tail - b->head) / 16);
}

// A series of `bytes` bytes in units of `unit`, every byte `fill`, the tail
// at its end.
uint32_t alloc_filled(int64_t bytes, int32_t unit, uint8_t fill) {
    if (bytes > cell::max_series_bytes) too_big();
    uint32_t node = memory::alloc_series(int32_t((bytes + unit - 1) / unit), unit, 0);
    SeriesBuffer* b = buf(node);
    std::memset(b->data(), fill, b->size);
    b->tail = b->head + uint32_t(bytes);
    return node;
}

uint32_t new_states(uint32_t size) { return alloc_filled(std::max<uint32_t>(size / 4, 4), 1, 0xAA); }
uint32_t new_buckets(uint32_t size) { return alloc_filled(int64_t(size) * 4, 4, 0); }
uint32_t new_cell_buckets(int32_t entries) { return alloc_filled(int64_t(std::max(entries, 4)) * 4, 4, 0xFF); }
uint32_t new_int_series(int32_t room) { return memory::alloc_series(room, 4, 0); }

// Grows an int32 series to hold at least `entries` entries, new ones `fill`.
void ensure_ints(uint32_t node, int32_t entries, uint8_t fill) {
    if (int_count(node) >= entries) return;
    SeriesBuffer* b = buf(node);
    uint32_t want = uint32_t(entries) * 4;
    if (b->head + want > b->size) b = memory::expand_copy(node, int32_t(want));
    std::memset(b->tail_ptr(), fill, b->head + want - b->tail);
    b->tail = b->head + want;
}

void append_int(uint32_t node, int32_t v) {
    uint8_t* at = series::alloc_tail_bytes(node, 4);
    std::memcpy(at, &v, 4);
}

uint32_t checked_size(double request) {
    if (!(request < double(largest_size))) too_big();
    uint32_t n = round_up_pow2(request < 4 ? 4u : uint32_t(request));
    return std::max<uint32_t>(n, 4);
}

// Allocations never start a collection while this lives; the previous
// switch comes back on every exit, a raised error included.
struct CollectionsOff {
    int32_t saved;
    CollectionsOff() : saved(gc::state.enabled) { gc::state.enabled = 0; }
    ~CollectionsOff() { gc::state.enabled = saved; }
    CollectionsOff(const CollectionsOff&) = delete;
    CollectionsOff& operator=(const CollectionsOff&) = delete;
};

uint32_t current_stamp() { return uint32_t(gc::state.collections) + 1; }

bool stale(const Record* r) { return r->stamp && r->stamp != current_stamp() && !gc::in_progress(); }

// The cell index of a key cell of the table's key series.
int32_t index_of(const Record* r, const Cell* key) {
    SeriesBuffer* b = buf(r->keys);
    auto at = reinterpret_cast<const uint8_t*>(key);
    if (at < b->head_ptr() || at >= b->tail_ptr() || (at - b->head_ptr()) % 16) corrupt();
    return int32_t((at - b->head_ptr()) / 16);
}

// ----------------------------------------------------- kind 0: chains

uint32_t chain_node(const Record* r, int32_t k) {
    if (k < 1 || k > int_count(r->chains)) corrupt();
    uint32_t node = uint32_t(ints(r->chains)[k - 1]);
    if (!node) corrupt();
    return node;
}

// The index of a bucket's first key cell (a chain's first member).
int32_t first_index(const Record* r, int32_t v) { return v >= 0 ? v : ints(chain_node(r, -v))[0]; }

int32_t cell_bucket(const Record* r, int32_t index) {
    if (index < 0 || index >= int_count(r->cell_buckets)) return -1;
    int32_t cb = ints(r->cell_buckets)[index];
    return cb > 0 ? cb - 1 : -1;
}

// Takes one cell's entry out of a hash!'s table.
void unindex(uint32_t table, int32_t index) {
    Record* r = record(table);
    int32_t b = cell_bucket(r, index);
    if (b < 0) return;
    ints(r->cell_buckets)[index] = -1;
    if (uint32_t(b) >= r->size || bucket_state(r, uint32_t(b)) != state_used) return;
    int32_t v = bucket_array(r)[b];
    if (v >= 0) {
        if (v != index) return;
    } else {
        uint32_t chain = chain_node(r, -v);
        int32_t n = int_count(chain);
        int32_t* m = ints(chain);
        int32_t at = int32_t(std::find(m, m + n, index) - m);
        if (at == n) return;
        std::memmove(m + at, m + at + 1, size_t(n - at - 1) * 4);
        buf(chain)->tail -= 4;
        if (n > 1) return;
        // The chain's last index went: its slot in the list is freed, and
        // trailing free slots are cut so that the list does not creep.
        int32_t k = -v;
        ints(r->chains)[k - 1] = 0;
        SeriesBuffer* list = buf(r->chains);
        while (list->tail > list->head && reinterpret_cast<int32_t*>(list->tail_ptr())[-1] == 0) list->tail -= 4;
        bucket_array(r)[b] = k;
    }
    set_bucket_state(r, uint32_t(b), state_deleted);
    r->count--;
}

// Records cell `index` under bucket `bucket` of a hash!: the cell joins the
// bucket's chain, which is made from the single index when needed.
void join_chain(uint32_t table, uint32_t bucket, int32_t index) {
    Record* r = record(table);
    int32_t v = bucket_array(r)[bucket];
    if (v >= 0) {
        uint32_t chain = new_int_series(4);
        gc::ProtectNode keep(&chain);
        append_int(chain, v);
        append_int(chain, index);
        append_int(record(table)->chains, int32_t(chain));
        r = record(table);
        bucket_array(r)[bucket] = -int_count(r->chains);
    } else {
        append_int(chain_node(r, -v), index);
    }
    ensure_ints(record(table)->cell_buckets, index + 1, 0xFF);
    ints(record(table)->cell_buckets)[index] = int32_t(bucket) + 1;
}

// ----------------------------------------------------- probing

struct Probe {
    uint32_t mask, start, i, k;
    Probe(uint32_t hash, uint32_t size) : mask(size - 1), start(hash & (size - 1)), i(hash & (size - 1)), k(1) {}
    // Moves on; false when back at the start.
    bool next() {
        i = (i + k++) & mask;
        return i != start;
    }
};

// A map!'s bucket holds its key's pair number (cell index / 2) in bits
// 0-25 and the top five bits of the key's hash in bits 26-30. A probe passes
// over most keys that are not the one it looks for without reading their
// cells, which lie anywhere in a pair block of any size. Keys that match
// under any comparison used here hash alike, so their tags agree.
constexpr uint32_t map_pair_mask = (1u << 26) - 1;
int32_t map_bucket(int32_t index, uint32_t hash) { return int32_t(uint32_t(index) >> 1 | (hash >> 27) << 26); }
int32_t map_index(int32_t v) { return int32_t((uint32_t(v) & map_pair_mask) << 1); }
bool map_tag_differs(int32_t v, uint32_t hash) { return uint32_t(v) >> 26 != hash >> 27; }

// Hash of whatever a bucket holds, for re-placing it.
uint32_t entry_hash(const Record* r, int32_t v) {
    if (r->kind >= kind_identity) return fmix32(reinterpret_cast<const uint32_t*>(buf(r->keys)->data() + v)[1]);
    int32_t index = r->kind == kind_hash ? first_index(r, v) : r->kind == kind_map ? map_index(v) : v;
    return hash_value(cells(r->keys) + index, 0);
}

// Kinds 1-2: the index of the first key on the probe path that has the
// key's type byte (any, for a search probe) and passes op; -1 when none.
// hash is the key's hash_value.
int32_t find_keyed(uint32_t table, const Cell* key, int32_t op, uint32_t hash) {
    Record* r = record(table);
    Probe p(hash, r->size);
    bool any_type = cell::type(key) == type_string_probe;
    bool map = r->kind == kind_map;
    do {
        r = record(table);
        uint32_t s = bucket_state(r, p.i);
        if (s == state_empty) break;
        if (s != state_used) continue;
        int32_t v = bucket_array(r)[p.i];
        if (map) {
            if (map_tag_differs(v, hash)) continue;
            v = map_index(v);
        }
        if (v < 0 || v >= cell_count(r->keys)) continue;
        const Cell* c = cells(r->keys) + v;
        if ((any_type || cell::type(c) == cell::type(key)) && compare_cells(c, key, op) == 0) return v;
    } while (p.next());
    return -1;
}

int32_t find_keyed(uint32_t table, const Cell* key, int32_t op) { return find_keyed(table, key, op, hash_value(key, 0)); }

// Indexes cell `index` of the key series; 2 when the table was rebuilt
// (every cell indexed) instead. known_hash, when given, is the cell's
// hash_value.
int32_t put_index(uint32_t table, int32_t index, const uint32_t* known_hash = nullptr) {
    Record* r = record(table);
    if (r->occupied >= r->threshold) {
        bool doubling = 2 * uint64_t(r->count) >= r->size;
        uint32_t request = doubling ? r->size + 1 : r->size - 1;
        switch (r->kind) {
            case kind_hash: rebuild(table, int32_t(request)); return 2;
            case kind_map: resize_in_place(table, round_up_pow2(r->size + 1)); break;
            default: resize_in_place(table, request); break;
        }
        r = record(table);
    }
    if (index < 0 || index >= cell_count(r->keys)) corrupt();
    // A cell indexed before (its value since changed in place) is indexed
    // afresh, never twice.
    if (r->kind == kind_hash && cell_bucket(r, index) >= 0) {
        unindex(table, index);
        r = record(table);
    }
    Cell key = cells(r->keys)[index];
    uint32_t hash = known_hash ? *known_hash : hash_value(&key, 0);
    if (r->kind == kind_map && (index & 1)) corrupt();  // keys stand at even cells
    Probe p(hash, r->size);
    int32_t deleted = -1;
    bool at_empty = false;
    do {
        r = record(table);
        uint32_t s = bucket_state(r, p.i);
        if (s == state_empty) {
            at_empty = true;
            break;
        }
        if (s == state_deleted) {
            deleted = int32_t(p.i);
            continue;
        }
        int32_t v = bucket_array(r)[p.i];
        if (r->kind == kind_hash) {
            const Cell* first = cells(r->keys) + first_index(r, v);
            if (cell::type(first) == cell::type(&key) && compare_cells(first, &key, 0) == 0) {
                join_chain(table, p.i, index);
                return 0;
            }
        } else {
            if (r->kind == kind_map) {
                if (map_tag_differs(v, hash)) continue;
                v = map_index(v);
            }
            if (v >= 0 && v < cell_count(r->keys) && compare_cells(cells(r->keys) + v, &key, 2) == 0) return 0;
        }
    } while (p.next());
    // Back at the start the path holds no empty bucket: only a deleted one
    // may be taken, never a used one.
    if (deleted < 0 && !at_empty) corrupt();
    uint32_t take = deleted >= 0 ? uint32_t(deleted) : p.i;
    if (record(table)->kind == kind_hash) ensure_ints(record(table)->cell_buckets, index + 1, 0xFF);
    r = record(table);
    if (bucket_state(r, take) == state_empty) r->occupied++;
    r->count++;
    set_bucket_state(r, take, state_used);
    bucket_array(r)[take] = r->kind == kind_map ? map_bucket(index, hash) : index;
    if (r->kind == kind_hash) {
        ints(r->cell_buckets)[index] = int32_t(take) + 1;
        if (r->stamp == 0 && hashed_by_address(cell::type(&key))) r->stamp = current_stamp();
    }
    return 0;
}

// ----------------------------------------------------- identity entries

uint8_t* entry_at(const Record* r, int32_t offset) { return buf(r->keys)->data() + offset; }
EntryHead* entry_head(const Record* r, int32_t offset) { return reinterpret_cast<EntryHead*>(entry_at(r, offset)); }
uint32_t entry_key(const Record* r, int32_t offset) { return entry_head(r, offset)->key; }
uint32_t entry_state(const Record* r, int32_t offset) { return entry_head(r, offset)->state; }

// The key's bucket, or -1 with `slot` set to where it would go.
int32_t probe_identity(const Record* r, uint32_t key, int32_t* slot) {
    Probe p(fmix32(key), r->size);
    int32_t deleted = -1;
    bool at_empty = false;
    do {
        uint32_t s = bucket_state(r, p.i);
        if (s == state_empty) {
            at_empty = true;
            break;
        }
        if (s == state_deleted) {
            deleted = int32_t(p.i);
            continue;
        }
        if (entry_key(r, bucket_array(r)[p.i]) == key) return int32_t(p.i);
    } while (p.next());
    if (slot) *slot = deleted >= 0 ? deleted : at_empty ? int32_t(p.i) : -1;
    return -1;
}

// Places an entry in a table known not to hold its key.
void place_identity(Record* r, int32_t offset) {
    int32_t slot = -1;
    probe_identity(r, entry_key(r, offset), &slot);
    if (slot < 0) corrupt();
    if (bucket_state(r, uint32_t(slot)) == state_empty) r->occupied++;
    r->count++;
    set_bucket_state(r, uint32_t(slot), state_used);
    bucket_array(r)[slot] = offset;
}

template <class Fn>
void for_each_live_entry(const Record* r, Fn fn) {
    uint32_t width = entry_width(r);
    if (width < sizeof(EntryHead)) return;
    SeriesBuffer* b = buf(r->keys);
    for (uint32_t at = b->head; at + width <= b->tail; at += width)
        if (entry_state(r, int32_t(at)) == entry_live) fn(int32_t(at));
}

// After a compaction: every live entry placed afresh, in the same arrays.
void rehash_identity(uint32_t table) {
    Record* r = record(table);
    SeriesBuffer* s = buf(r->states);
    std::memset(s->data(), 0xAA, s->size);
    r->count = r->occupied = 0;
    for_each_live_entry(r, [&](int32_t at) { place_identity(r, at); });
    r->stamp = current_stamp();
}

void check_identity_stamp(uint32_t table) {
    if (stale(record(table))) rehash_identity(table);
}

// New arrays of round-up-pow2(n) buckets and a new entry series holding the
// live entries only.
void rebuild_identity(uint32_t table, int32_t n) {
    uint32_t size = checked_size(std::max(n, 4));
    uint32_t states = new_states(size);
    gc::ProtectNode keep_states(&states);
    uint32_t buckets = new_buckets(size);
    gc::ProtectNode keep_buckets(&buckets);
    Record* r = record(table);
    uint32_t width = std::max<uint32_t>(r->cell_buckets, 16);
    uint32_t entries = memory::alloc_bytes(int32_t(std::max<uint32_t>(r->count * 2, 4) * width));
    gc::ProtectNode keep_entries(&entries);
    // Everything is allocated: from here on nothing moves.
    r = record(table);
    Record fresh = *r;
    fresh.states = states;
    fresh.buckets = buckets;
    fresh.keys = entries;
    fresh.size = size;
    fresh.threshold = uint32_t(size * load_factor + 0.5);
    fresh.count = fresh.occupied = 0;
    uint32_t needed = 0;
    for_each_live_entry(r, [&](int32_t) { needed += width; });
    if (buf(entries)->size < needed) corrupt();
    for_each_live_entry(r, [&](int32_t at) {
        SeriesBuffer* e = buf(entries);
        std::memcpy(e->tail_ptr(), entry_at(r, at), width);
        int32_t offset = int32_t(e->tail);
        e->tail += width;
        place_identity(&fresh, offset);
    });
    fresh.stamp = current_stamp();
    *r = fresh;
}

bool node_marked(uint32_t node) {
    if (!node || !memory::node_frame_of(node)) return false;
    SeriesBuffer* b = nodes::buffer(node);
    if (!b || (reinterpret_cast<uintptr_t>(b) & 1)) return false;
    return (b->flags & series_flags::mark) != 0;
}

// Renumbers the stored indexes of the cells in [lo, hi) of a hash! by `map`,
// once per single bucket and once per chain member.
template <class Map>
void renumber(uint32_t table, int32_t lo, int32_t hi, Map map) {
    Record* r = record(table);
    std::vector<bool> chain_done(size_t(int_count(r->chains)) + 1);
    hi = std::min(hi, int_count(r->cell_buckets));
    for (int32_t i = std::max(lo, 0); i < hi; i++) {
        int32_t b = cell_bucket(r, i);
        if (b < 0 || uint32_t(b) >= r->size || bucket_state(r, uint32_t(b)) != state_used) continue;
        int32_t v = bucket_array(r)[b];
        if (v >= 0) {
            if (v == i) bucket_array(r)[b] = map(v);
            continue;
        }
        if (size_t(-v) >= chain_done.size() || chain_done[size_t(-v)]) continue;
        chain_done[size_t(-v)] = true;
        uint32_t chain = chain_node(r, -v);
        int32_t* m = ints(chain);
        for (int32_t j = 0, n = int_count(chain); j < n; j++)
            if (m[j] >= lo && m[j] < hi) m[j] = map(m[j]);
    }
}

}  // namespace

CompareFn compare_cells = default_compare_impl;

int32_t default_compare(const Cell* a, const Cell* b, int32_t op) { return default_compare_impl(a, b, op); }

// ------------------------------------------------------------ records

Record* record(uint32_t table) { return reinterpret_cast<Record*>(nodes::buffer(table)->head_ptr()); }

uint32_t bucket_state(const Record* r, uint32_t bucket) {
    auto* words = reinterpret_cast<const uint32_t*>(nodes::buffer(r->states)->head_ptr());
    return (words[bucket >> 4] >> ((bucket & 15) * 2)) & 3;
}

void set_bucket_state(Record* r, uint32_t bucket, uint32_t state) {
    auto* words = reinterpret_cast<uint32_t*>(nodes::buffer(r->states)->head_ptr());
    uint32_t shift = (bucket & 15) * 2;
    words[bucket >> 4] = (words[bucket >> 4] & ~(3u << shift)) | (state << shift);
}

int32_t* bucket_array(const Record* r) { return ints(r->buckets); }

// ------------------------------------------------------------ hashing

uint32_t fmix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6B;
    h ^= h >> 13;
    h *= 0xC2B2AE35;
    h ^= h >> 16;
    return h;
}

uint32_t murmur3_with_seed(const void* data, int32_t length, uint32_t seed_value) {
    if (length < 0 || !data) length = 0;
    auto* bytes = static_cast<const uint8_t*>(data);
    Murmur m{seed_value};
    int32_t blocks = length / 4;
    for (int32_t i = 0; i < blocks; i++) m.mix(le32(bytes + 4 * i));
    return m.finish(bytes + 4 * blocks, uint32_t(length & 3), uint32_t(length));
}

uint32_t murmur3(const void* data, int32_t length) { return murmur3_with_seed(data, length, seed); }

uint32_t round_up_pow2(uint32_t n) {
    if (n <= 1) return 1;
    n--;
    n |= n >> 1;
    n |= n >> 2;
    n |= n >> 4;
    n |= n >> 8;
    n |= n >> 16;
    return n + 1;
}

uint32_t hash_value(const Cell* c, int32_t case_sensitive) {
    switch (scheme_of(cell::type(c))) {
        case by_constant: return cell::type(c) == type_unset ? uint32_t(-2) : uint32_t(-1);
        case by_w1: return fmix32(c->w1);
        case by_w2: return fmix32(c->w2);
        case by_w3: return fmix32(c->w3);
        case by_word: return fmix32(canonical(c->w2));
        case by_w12: return hash_words(c, 1, 2);
        case by_w23: return hash_words(c, 2, 2);
        case by_w123: return hash_words(c, 1, 3);
        case by_symbol: {
            Bytes name = bytes_of(c->w3, 0);
            Murmur m{seed};
            uint32_t blocks = name.count / 4;
            uint8_t lowered[4];
            for (uint32_t i = 0; i < blocks; i++) {
                for (int j = 0; j < 4; j++) lowered[j] = lower_ascii(name.at[4 * i + j]);
                m.mix(le32(lowered));
            }
            uint32_t rest = name.count & 3;
            for (uint32_t j = 0; j < rest; j++) lowered[j] = lower_ascii(name.at[4 * blocks + j]);
            return m.finish(lowered, rest, name.count);
        }
        case by_string: {
            Chars s = chars_of(c);
            Murmur m{seed};
            if (s.unit == 1 && case_sensitive == 1) {
                for (uint32_t i = 0; i < s.count; i++) m.mix(s.at[i]);
                return m.finish(nullptr, 0, 4 * s.count);
            }
            if (s.unit == 1) {
                // Byte-wide text: ASCII folds without the case tables.
                for (uint32_t i = 0; i < s.count; i++) {
                    uint32_t ch = s.at[i];
                    m.mix(ch < 0x80 ? lower_ascii(uint8_t(ch)) : unicode::map_char(ch, 0));
                }
                return m.finish(nullptr, 0, 4 * s.count);
            }
            for (uint32_t i = 0; i < s.count; i++) m.mix(case_sensitive == 1 ? s[i] : unicode::map_char(s[i], 0));
            return m.finish(nullptr, 0, 4 * s.count);
        }
        case by_tuple: {
            return murmur3(payload(c), int32_t(tuple_length(c)));
        }
        case by_binary: {
            if (c->w2 && nodes::buffer(c->w2)->unit() != 1) return hash_words(c, 1, 2);
            Bytes b = bytes_of(c->w2, c->w1);
            return murmur3(b.at, int32_t(b.count));
        }
        case by_money: {
            uint8_t bytes[16];
            money_bytes(c, bytes);
            return murmur3(bytes, 16);
        }
        case by_nothing:
        default: return 0;
    }
}

uint8_t* symbol_scratch(int32_t length) {
    static std::vector<uint8_t> scratch;
    size_t want = std::max<size_t>(65536, length > 0 ? size_t(length) : 0);
    if (scratch.size() < want) {
        scratch.clear();
        scratch.shrink_to_fit();
        scratch.resize(want);
    }
    return scratch.data();
}

// ------------------------------------------------------------ creation

namespace {
// The words table of a context, reached from a context! cell or from the
// cell of a value that owns a context.
uint32_t words_table_of(const Cell* c) {
    switch (cell::type(c)) {
        case type_context: return c->w1;
        case type_object: case type_error: case type_port: case type_function: {
            if (!c->w1 || cell_count(c->w1) < 1) return 0;
            const Cell* context = cells(c->w1);
            return cell::type(context) == type_context ? context->w1 : 0;
        }
        default: return 0;
    }
}
}  // namespace

uint32_t create(int32_t size, const Cell* source, Kind kind, int32_t d) {
    if (uint32_t(kind) > kind_ownership) corrupt();
    gc::Local from(Cell{});
    if (source) from = *source;
    int64_t n = size;
    if (kind == kind_symbols) {
        symbol_scratch(0);
        if (d == 2 && source) {
            if (uint32_t words = words_table_of(&from)) return copy_table(words, 0);
        }
        if (n >= 4000) n *= 2;
    }
    if (n < 4) n = 4;
    uint32_t buckets = checked_size(double(n) / load_factor);
    uint32_t width = kind >= kind_identity ? uint32_t(std::max(d, 0) + 1) * 16 : 0;
    if (kind >= kind_identity && n * width > cell::max_series_bytes) too_big();

    uint32_t table = alloc_filled(sizeof(Record), 1, 0);
    ProtectTable hold(table);
    Record* r = record(table);
    r->size = buckets;
    r->threshold = uint32_t(buckets * load_factor);
    r->kind = kind;
    if (kind >= kind_identity) {
        r->cell_buckets = width;
        r->stamp = current_stamp();
    }
    uint32_t states = new_states(buckets);
    record(table)->states = states;
    uint32_t bucket_node = new_buckets(buckets);
    record(table)->buckets = bucket_node;
    if (kind == kind_hash) {
        uint32_t per_cell = new_cell_buckets(int32_t(n));
        record(table)->cell_buckets = per_cell;
        uint32_t chains = new_int_series(4);
        record(table)->chains = chains;
    }
    if (kind >= kind_identity) {
        uint32_t entries = memory::alloc_bytes(int32_t(n * width));
        record(table)->keys = entries;
    } else if (!source) {
        uint32_t keys = memory::alloc_cells(int32_t(n));
        record(table)->keys = keys;
    } else {
        if (!from.w2 || buf(from.w2)->unit() != 16) corrupt();
        record(table)->keys = from.w2;
        index_from(table, int32_t(from.w1), kind == kind_map ? 2 : 1);
    }
    return table;
}

uint32_t copy_table(uint32_t source_table, uint32_t key_series) {
    gc::ProtectNode keep_keys(&key_series);
    ProtectTable keep_source(source_table);
    uint32_t table = alloc_filled(sizeof(Record), 1, 0);
    ProtectTable hold(table);
    // The copy first shares the source's series, then gets its own one by
    // one: it is reachable and whole at every allocation.
    *record(table) = *record(source_table);
    uint32_t states = memory::copy_bytes(record(source_table)->states);
    record(table)->states = states;
    uint32_t buckets = memory::copy_bytes(record(source_table)->buckets);
    record(table)->buckets = buckets;
    if (record(source_table)->kind == kind_hash) {
        uint32_t per_cell = memory::copy_bytes(record(source_table)->cell_buckets);
        record(table)->cell_buckets = per_cell;
        uint32_t chains = memory::copy_bytes(record(source_table)->chains);
        record(table)->chains = chains;
        // Each hash! edits its own chains.
        for (int32_t k = 0; k < int_count(chains); k++) {
            uint32_t chain = uint32_t(ints(chains)[k]);
            if (!chain) continue;
            uint32_t copy = memory::copy_bytes(chain);
            ints(record(table)->chains)[k] = int32_t(copy);
        }
    }
    if (!key_series) key_series = memory::copy_bytes(record(source_table)->keys);
    record(table)->keys = key_series;
    return table;
}

void clear_table(uint32_t table) {
    Record* r = record(table);
    SeriesBuffer* s = buf(r->states);
    std::memset(s->data(), 0xAA, s->size);
    r->count = r->occupied = 0;
    if (r->kind == kind_hash) {
        buf(r->chains)->tail = buf(r->chains)->head;
        SeriesBuffer* cb = buf(r->cell_buckets);
        std::memset(cb->data(), 0xFF, cb->size);
    }
    // Entries no bucket names any more would be kept alive by the collector.
    if (r->kind >= kind_identity) buf(r->keys)->tail = buf(r->keys)->head;
}

// ------------------------------------------------------------ value keys

void put_key_status(uint32_t table, const Cell* key, int32_t* status) {
    int32_t result = 0;
    Record* r = record(table);
    if (r->kind > kind_symbols) corrupt();
    result = put_index(table, index_of(r, key));
    if (status) *status = result;
}

void put_key(uint32_t table, const Cell* key) { put_key_status(table, key, nullptr); }

int32_t find_map_key(uint32_t table, const Cell* key_cell, int32_t op, uint32_t* hash) {
    if (record(table)->kind != kind_map) corrupt();
    uint8_t t = cell::type(key_cell);
    // The built-in comparison never allocates, so a key that is no word is
    // hashed and compared where it lies; a word is looked up as the set-word
    // the map keeps, and a comparison put in place of the built-in one may
    // move whatever the key lies in.
    if ((t < type_word || t > type_get_word) && compare_cells == default_compare_impl) {
        *hash = hash_value(key_cell, 0);
        return find_keyed(table, key_cell, op, *hash);
    }
    gc::Local key(*key_cell);
    if (t >= type_word && t <= type_get_word) cell::set_type(&key, type_set_word);
    *hash = hash_value(&key, 0);
    return find_keyed(table, &key, op, *hash);
}

void put_map_key(uint32_t table, int32_t index, uint32_t hash) {
    if (record(table)->kind != kind_map) corrupt();
    put_index(table, index, &hash);
}

Cell* find(uint32_t table, const Cell* key_cell, int32_t from, int32_t skip, int32_t op, bool last, bool reverse) {
    gc::Local key(*key_cell);
    Record* r = record(table);
    if (r->kind > kind_symbols) return nullptr;
    if (r->kind == kind_hash && stale(r)) {
        rebuild(table, cell_count(r->keys));
        r = record(table);
    }
    if (r->kind == kind_map && cell::type(&key) >= type_word && cell::type(&key) <= type_get_word)
        cell::set_type(&key, type_set_word);
    if (r->kind != kind_hash) {
        int32_t v = find_keyed(table, &key, op);
        return v < 0 ? nullptr : cells(record(table)->keys) + v;
    }

    if (skip < 1) skip = 1;
    bool backwards = last || reverse;
    int32_t best = -1;
    auto consider = [&](int32_t l) {
        if (compare_cells(cells(record(table)->keys) + l, &key, op) != 0) return;
        int64_t distance = backwards ? int64_t(from) - l - 1 : int64_t(l) - from;
        if (((distance % skip) + skip) % skip != 0) return;
        if (reverse) {
            if (l < from && l > best) best = l;
        } else if (l >= from && (best < 0 || (last ? l > best : l < best))) {
            best = l;
        }
    };
    Probe p(hash_value(&key, 0), r->size);
    do {
        r = record(table);
        uint32_t s = bucket_state(r, p.i);
        if (s == state_empty) break;
        if (s != state_used) continue;
        int32_t v = bucket_array(r)[p.i];
        if (compare_cells(cells(r->keys) + first_index(r, v), &key, 0) != 0) continue;
        if (v >= 0) {
            consider(v);
            continue;
        }
        // Candidates are read one at a time: an installed compare may allocate.
        for (int32_t j = 0; j < int_count(chain_node(record(table), -v)); j++)
            consider(ints(chain_node(record(table), -v))[j]);
    } while (p.next());
    return best < 0 ? nullptr : cells(record(table)->keys) + best;
}

Cell* find_next_key(uint32_t table, const Cell* key_cell, int32_t* bucket, int32_t* start, int32_t* step) {
    gc::Local key(*key_cell);
    Record* r = record(table);
    if (r->kind > kind_symbols) return nullptr;
    if (r->kind == kind_map && cell::type(&key) >= type_word && cell::type(&key) <= type_get_word)
        cell::set_type(&key, type_set_word);
    uint32_t mask = r->size - 1;
    uint32_t i;
    uint32_t k;
    if (*bucket < 0) {
        i = hash_value(&key, 0) & mask;
        *start = int32_t(i);
        k = 1;
    } else {
        k = uint32_t(*step);
        i = (uint32_t(*bucket) + k++) & mask;
        if (i == uint32_t(*start)) return nullptr;
    }
    for (;;) {
        r = record(table);
        uint32_t s = bucket_state(r, i);
        if (s == state_empty) break;
        if (s == state_used) {
            int32_t v = bucket_array(r)[i];
            v = r->kind == kind_hash ? first_index(r, v) : r->kind == kind_map ? map_index(v) : v;
            const Cell* c = cells(r->keys) + v;
            if (cell::type(c) == cell::type(&key) && compare_cells(c, &key, 0) == 0) {
                *bucket = int32_t(i);
                *step = int32_t(k);
                return cells(record(table)->keys) + v;
            }
        }
        i = (i + k++) & mask;
        if (i == uint32_t(*start)) break;
    }
    *bucket = int32_t(i);
    *step = int32_t(k);
    return nullptr;
}

void remove_key(uint32_t table, const Cell* key) {
    Record* r = record(table);
    int32_t index = index_of(r, key);
    if (r->kind == kind_hash) {
        unindex(table, index);
    } else if (r->kind == kind_map) {
        // The pair keeps its bucket; an empty header marks it removed.
        if (index + 1 >= cell_count(r->keys)) return;
        Cell* value = cells(r->keys) + index + 1;
        if (value->header == 0) return;
        value->header = 0;
        r->count--;
    }
    // Symbols and context words are never removed.
}

void remove_key_range(uint32_t table, int32_t index, int32_t n) {
    Record* r = record(table);
    if (r->kind != kind_hash) return;
    int32_t length = cell_count(r->keys);
    if (index < 0) index = 0;
    if (index >= length || n <= 0) return;
    n = std::min(n, length - index);
    if (index == 0 && n == length) {
        clear_table(table);
        return;
    }
    // Each removal lowers `count` itself, as far as buckets are freed.
    for (int32_t i = index; i < index + n; i++) unindex(table, i);
}

int32_t shift_indexes(uint32_t table, int32_t shift, int32_t from, int32_t count, bool move) {
    if (count > shift_limit) return 1;
    if (record(table)->kind != kind_hash || shift == 0) return 0;
    if (from < 0 || int64_t(from) + shift < 0) corrupt();
    // Removed cells leave the table even when no cell follows them.
    if (move && shift < 0)
        for (int32_t i = from + shift; i < from; i++) unindex(table, i);
    if (count <= 0) return 0;
    renumber(table, from, from + count, [shift](int32_t i) { return i + shift; });
    if (!move) return 0;
    int32_t to = from + shift;
    ensure_ints(record(table)->cell_buckets, std::max(from, to) + count, 0xFF);
    int32_t* cb = ints(record(table)->cell_buckets);
    std::memmove(cb + to, cb + from, size_t(count) * 4);
    // What the moved entries left behind is not indexed: removed cells, or
    // room for the inserted ones.
    int32_t lo = shift > 0 ? from : to + count;
    int32_t hi = shift > 0 ? to : from + count;
    std::fill(cb + lo, cb + hi, -1);
    return 0;
}

void move_indexes(uint32_t table, int32_t to, int32_t from, int32_t count) {
    if (record(table)->kind != kind_hash || count <= 0 || from < 0 || to < 0) return;
    if (to >= from && to <= from + count) return;
    int32_t lo = std::min(to, from);
    int32_t hi = std::max(to, from + count);
    ensure_ints(record(table)->cell_buckets, hi, 0xFF);
    if (to < from) {
        renumber(table, lo, hi, [=](int32_t i) { return i < from ? i + count : i - (from - to); });
        int32_t* cb = ints(record(table)->cell_buckets);
        std::rotate(cb + to, cb + from, cb + from + count);
    } else {
        renumber(table, lo, hi, [=](int32_t i) { return i < from + count ? i + (to - count - from) : i - count; });
        int32_t* cb = ints(record(table)->cell_buckets);
        std::rotate(cb + from, cb + from + count, cb + to);
    }
}

void index_from(uint32_t table, int32_t start, int32_t step) {
    if (start < 0) start = 0;
    if (step < 1) step = 1;
    Record* r = record(table);
    if (r->kind > kind_symbols) return;
    if (r->kind != kind_map) {
        for (int32_t i = start; i < cell_count(record(table)->keys); i += step)
            if (put_index(table, i) == 2) return;
        return;
    }
    // A map! from a block: a repeated key keeps its first place and takes
    // the later value; the later pair leaves the series.
    int32_t i = start;
    while (i + 1 < cell_count(record(table)->keys)) {
        gc::Local key(cells(record(table)->keys)[i]);
        services::current.prepare_map_key(&key);
        cells(record(table)->keys)[i] = key;
        int32_t j = find_keyed(table, &key, 2);
        if (j < 0 || j == i) {
            put_index(table, i);
            i += 2;
            continue;
        }
        r = record(table);
        Cell* c = cells(r->keys);
        if (c[j + 1].header == 0) r->count++;  // a removed pair comes back
        c[j + 1] = c[i + 1];
        SeriesBuffer* b = buf(r->keys);
        std::memmove(c + i, c + i + 2, b->tail - b->head - size_t(i + 2) * 16);
        b->tail -= 32;
    }
}

void rebuild(uint32_t table, int32_t n) {
    Record* r = record(table);
    if (r->kind >= kind_identity) {
        rebuild_identity(table, n);
        return;
    }
    if (r->kind != kind_hash) return;
    CollectionsOff off;
    int32_t length = cell_count(r->keys);
    uint32_t size = checked_size(std::max(n, 0) * 1.5);
    uint32_t states = new_states(size);
    uint32_t buckets = new_buckets(size);
    uint32_t per_cell = new_cell_buckets(length);
    r = record(table);
    r->states = states;
    r->buckets = buckets;
    r->cell_buckets = per_cell;
    buf(r->chains)->tail = buf(r->chains)->head;
    r->count = r->occupied = r->stamp = 0;
    r->size = size;
    r->threshold = uint32_t(size * load_factor);
    for (int32_t i = 0; i < length; i++)
        if (put_index(table, i) == 2) return;  // that rebuild indexed every cell
}

namespace {
// A map!'s buckets name their pairs: the indexed keys are read in pair
// order, front to back through the pair block, instead of in bucket order,
// which would visit its cells at random.
void place_map_keys(Record* r, uint32_t states, uint32_t size, uint32_t threshold) {
    int32_t* slots = bucket_array(r);
    int32_t n = cell_count(r->keys);
    std::vector<bool> indexed(size_t(n / 2) + 1);
    for (uint32_t j = 0; j < r->size; j++) {
        int32_t i = map_index(slots[j]);
        if (bucket_state(r, j) == state_used && i + 1 < n) indexed[size_t(i / 2)] = true;
    }
    Record view = *r;
    view.states = states;
    view.size = size;
    uint32_t placed = 0;
    for (int32_t i = 0; i + 1 < n; i += 2) {
        if (!indexed[size_t(i / 2)]) continue;
        uint32_t hash = hash_value(cells(r->keys) + i, 0);
        Probe p(hash, size);
        while (bucket_state(&view, p.i) != state_empty)
            if (!p.next()) corrupt();
        set_bucket_state(&view, p.i, state_used);
        slots[p.i] = map_bucket(i, hash);
        placed++;
    }
    r->states = states;
    r->size = size;
    r->threshold = threshold;
    r->occupied = placed;
}
}  // namespace

void resize_in_place(uint32_t table, uint32_t request) {
    Record* r = record(table);
    uint32_t old_size = r->size;
    uint32_t size = checked_size(double(request));
    uint32_t threshold = uint32_t(size * load_factor + 0.5);
    if (r->count >= threshold) return;
    uint32_t states = new_states(size);
    gc::ProtectNode keep_states(&states);
    if (size > old_size) ensure_ints(record(table)->buckets, int32_t(size), 0);
    // From here on nothing allocates.
    r = record(table);
    if (r->kind == kind_map && r->occupied < threshold) {
        place_map_keys(r, states, size, threshold);
        return;
    }
    Record view = *r;  // probes the new states while the old ones say what is left to move
    view.states = states;
    int32_t* slots = bucket_array(r);
    uint32_t placed = 0;
    for (uint32_t j = 0; j < old_size; j++) {
        if (bucket_state(r, j) != state_used) continue;
        set_bucket_state(r, j, state_empty);
        int32_t moving = slots[j];
        for (;;) {
            Probe p(entry_hash(r, moving), size);
            while (bucket_state(&view, p.i) != state_empty)
                if (!p.next()) corrupt();
            uint32_t b = p.i;
            set_bucket_state(&view, b, state_used);
            placed++;
            // An old entry still waiting there is kicked out and placed next.
            bool evict = b < old_size && bucket_state(r, b) == state_used;
            int32_t evicted = slots[b];
            slots[b] = moving;
            if (!evict) break;
            set_bucket_state(r, b, state_empty);
            moving = evicted;
        }
    }
    r->states = states;
    r->size = size;
    r->threshold = threshold;
    r->occupied = placed;
    if (r->kind == kind_hash) {
        int32_t* cb = ints(r->cell_buckets);
        int32_t known = int_count(r->cell_buckets);
        for (uint32_t b = 0; b < size; b++) {
            if (bucket_state(r, b) != state_used) continue;
            int32_t v = slots[b];
            if (v >= 0) {
                if (v < known) cb[v] = int32_t(b) + 1;
                continue;
            }
            uint32_t chain = chain_node(r, -v);
            for (int32_t m = 0; m < int_count(chain); m++)
                if (ints(chain)[m] < known) cb[ints(chain)[m]] = int32_t(b) + 1;
        }
    }
}

// ------------------------------------------------------------ identity keys

Cell* put_pointer(uint32_t table, uint32_t key) {
    if (record(table)->kind < kind_identity) corrupt();
    check_identity_stamp(table);
    Record* r = record(table);
    if (r->occupied >= r->threshold) {
        rebuild_identity(table, int32_t(2 * uint64_t(r->count) >= r->size ? r->size + 1 : r->size - 1));
        r = record(table);
    }
    int32_t slot = -1;
    int32_t found = probe_identity(r, key, &slot);
    if (found >= 0) return reinterpret_cast<Cell*>(entry_at(r, bucket_array(r)[found]) + 16);
    if (slot < 0) corrupt();
    uint32_t width = r->cell_buckets;
    uint8_t* entry = series::alloc_tail_bytes(r->keys, int32_t(width));
    r = record(table);
    std::memset(entry, 0, width);
    auto* head = reinterpret_cast<EntryHead*>(entry);
    head->state = entry_live;
    head->key = key;
    for (uint32_t at = 16; at < width; at += 16) reinterpret_cast<Cell*>(entry + at)->header = type_unset;
    if (bucket_state(r, uint32_t(slot)) == state_empty) r->occupied++;
    r->count++;
    set_bucket_state(r, uint32_t(slot), state_used);
    bucket_array(r)[slot] = int32_t(entry - buf(r->keys)->data());
    return reinterpret_cast<Cell*>(entry + 16);
}

Cell* find_pointer(uint32_t table, uint32_t key) {
    if (record(table)->kind < kind_identity) return nullptr;
    check_identity_stamp(table);
    Record* r = record(table);
    int32_t found = probe_identity(r, key, nullptr);
    return found < 0 ? nullptr : reinterpret_cast<Cell*>(entry_at(r, bucket_array(r)[found]) + 16);
}

Cell* remove_pointer(uint32_t table, uint32_t key) {
    if (record(table)->kind < kind_identity) return nullptr;
    check_identity_stamp(table);
    Record* r = record(table);
    int32_t found = probe_identity(r, key, nullptr);
    if (found < 0) return nullptr;
    uint8_t* entry = entry_at(r, bucket_array(r)[found]);
    reinterpret_cast<EntryHead*>(entry)->state = entry_removed;
    set_bucket_state(r, uint32_t(found), state_deleted);
    r->count--;
    return reinterpret_cast<Cell*>(entry + 16);
}

void sweep_pointer(uint32_t table) {
    Record* r = record(table);
    if (r->kind < kind_identity) return;
    for (uint32_t b = 0; b < r->size; b++) {
        if (bucket_state(r, b) != state_used) continue;
        uint8_t* entry = entry_at(r, bucket_array(r)[b]);
        bool dead = !node_marked(reinterpret_cast<EntryHead*>(entry)->key);
        if (!dead && r->kind == kind_ownership && r->cell_buckets >= 48) {
            // The owner named by the second data cell (an object!, its
            // context node in w1) must be alive too.
            auto* owner = reinterpret_cast<const Cell*>(entry + 32);
            uint32_t node = owner->w1;
            if (node && memory::node_frame_of(node) && !node_marked(node)) dead = true;
        }
        if (!dead) continue;
        reinterpret_cast<EntryHead*>(entry)->state = entry_removed;
        set_bucket_state(r, b, state_deleted);
        r->count--;
    }
}

// ------------------------------------------------------------- marking

void mark(uint32_t table) {
    if (!gc::mark_series(table)) return;
    const Record* r = record(table);
    if (r->kind == kind_hash) {
        gc::mark_series(r->cell_buckets);
        if (gc::mark_series(r->chains)) {
            SeriesBuffer* chains = buf(r->chains);
            auto* first = reinterpret_cast<const uint32_t*>(chains->head_ptr());
            auto* last = reinterpret_cast<const uint32_t*>(chains->tail_ptr());
            for (const uint32_t* chain = first; chain < last; chain++) gc::mark_series(*chain);
        }
    }
    gc::mark_series(r->states);
    gc::mark_series(r->buckets);
    if (r->kind < kind_identity) {
        gc::mark_series_cells(r->keys);
        return;
    }
    if (!gc::mark_series(r->keys)) return;
    // Marking only pushes onto the collector's stack: nothing moves here.
    uint32_t width = entry_width(r);
    SeriesBuffer* entries = buf(r->keys);
    for (uint32_t at = entries->head; width >= sizeof(EntryHead) && at + width <= entries->tail; at += width) {
        if (entry_state(r, int32_t(at)) != entry_live) continue;
        auto* cells = reinterpret_cast<const Cell*>(entries->data() + at + sizeof(EntryHead));
        gc::mark_cells(cells, cells + (width - sizeof(EntryHead)) / sizeof(Cell));
    }
}

}  // namespace vum::hashtable
