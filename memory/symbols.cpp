#include "memory/symbols.h"

#include <cstring>
#include <string>

#include "memory/collector.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/series.h"

namespace vum::symbols {

Table table{0, 0};

namespace {
constexpr int32_t initial_entries = 4000;

uint8_t lower_ascii(uint8_t b) { return b >= 'A' && b <= 'Z' ? uint8_t(b + 32) : b; }

bool same_caseless(const uint8_t* a, const uint8_t* b, int32_t n) {
    for (int32_t i = 0; i < n; i++)
        if (lower_ascii(a[i]) != lower_ascii(b[i])) return false;
    return true;
}

// Spellings that differ only in ASCII case share one probe path.
uint32_t hash_of(const char* text, int32_t length) {
    uint8_t* scratch = hashtable::symbol_scratch(length);
    for (int32_t i = 0; i < length; i++) scratch[i] = lower_ascii(uint8_t(text[i]));
    return hashtable::murmur3(scratch, length);
}

Cell* entries_head() { return series::cells_mut_untracked(table.entries); }

// The name bytes of an entry and their count.
const uint8_t* name_of(const Cell* entry, int32_t* length) {
    SeriesBuffer* b = nodes::buffer(entry->w3);
    *length = int32_t(b->tail - b->head);
    return b->head_ptr();
}

void grow_if_needed() {
    hashtable::Record* r = hashtable::record(table.hash);
    if (r->occupied < r->threshold) return;
    // Symbol tables grow sixteen-fold: fewer resizes while start-up fills them.
    uint32_t request = 2 * r->count >= r->size ? (r->size + 1) * 16 : (r->size - 1) * 16;
    hashtable::resize_in_place(table.hash, request);
}
}  // namespace

void init_table() {
    table.entries = memory::alloc_cells(initial_entries);
    gc::ProtectNode keep(&table.entries);
    Cell source;
    cell::make_series(&source, type_block, table.entries);
    table.hash = hashtable::create(initial_entries, &source, hashtable::kind_symbols, 0);
    gc::roots.symbol_table = table.hash;
}

int32_t find_or_add_text(const char* text, int32_t length, bool caseless) {
    grow_if_needed();
    uint32_t h = hash_of(text, length);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text);
    hashtable::Record* r = hashtable::record(table.hash);
    uint32_t mask = r->size - 1;
    uint32_t start = h & mask;
    int32_t empty = -1;
    int32_t alias = -1;
    // Pass one: the spelling itself (or any case variant when caseless).
    // Pass two: the first case variant, which the new entry will alias.
    for (int pass = 0; pass < (caseless ? 1 : 2); pass++) {
        uint32_t i = start;
        for (uint32_t k = 1;; k++) {
            uint32_t state = hashtable::bucket_state(r, i);
            if (state == hashtable::state_empty) {
                if (empty < 0) empty = int32_t(i);
                break;
            }
            if (state == hashtable::state_used) {
                int32_t index = hashtable::bucket_array(r)[i];
                int32_t n;
                const uint8_t* name = name_of(entries_head() + index, &n);
                if (n == length) {
                    bool match = pass == 0 && !caseless ? std::memcmp(name, bytes, size_t(n)) == 0
                                                        : same_caseless(name, bytes, n);
                    if (match && pass == 0) return index + 1;
                    if (match) {
                        alias = resolve(index + 1);  // an alias always names a canonical spelling
                        break;
                    }
                }
            }
            i = (i + k) & mask;
            if (i == start) break;
        }
        if (alias > 0) break;
    }

    // A new entry: the name's bytes with a NUL past the tail, then the cell.
    // The text may lie in a series buffer that the allocation moves.
    std::string spelling(text, size_t(length));
    text = spelling.data();
    uint32_t name = memory::alloc_bytes(length + 1);
    gc::ProtectNode keep(&name);
    SeriesBuffer* nb = nodes::buffer(name);
    std::memcpy(nb->head_ptr(), text, size_t(length));
    nb->head_ptr()[length] = 0;
    nb->tail = nb->head + uint32_t(length);
    Cell* entry = series::alloc_tail_cell(table.entries);
    *entry = {type_symbol, uint32_t(alias), 0, name};
    int32_t index = int32_t(nodes::buffer(table.entries)->count()) - 1;
    r = hashtable::record(table.hash);
    if (empty < 0) empty = int32_t(start);  // a full path cannot happen below the threshold
    if (hashtable::bucket_state(r, uint32_t(empty)) == hashtable::state_empty) r->occupied++;
    hashtable::set_bucket_state(r, uint32_t(empty), hashtable::state_used);
    hashtable::bucket_array(r)[empty] = index;
    r->count++;
    return index + 1;
}

int32_t make(const char* text) { return find_or_add_text(text, int32_t(std::strlen(text)), false); }
int32_t make_caseless(const char* text) { return find_or_add_text(text, int32_t(std::strlen(text)), true); }
int32_t make_from_utf8(const char* text, int32_t length) { return find_or_add_text(text, length, false); }

Cell* entry(int32_t id) { return entries_head() + (id - 1); }

const char* text(int32_t id, int32_t* length) {
    uint32_t node = entry(id)->w3;
    SeriesBuffer* b = nodes::buffer(node);
    // A NUL just past the tail, growing the buffer by a byte when it is full.
    if (b->tail >= b->size) b = memory::expand_copy(node, int32_t(b->size + 1));
    b->data()[b->tail] = 0;
    if (length) *length = int32_t(b->tail - b->head);
    return reinterpret_cast<const char*>(b->head_ptr());
}

int32_t alias_of(int32_t id) { return int32_t(entry(id)->w1); }

int32_t resolve(int32_t id) {
    int32_t alias = alias_of(id);
    return alias > 0 ? alias : id;
}

int32_t count() { return table.entries ? int32_t(nodes::buffer(table.entries)->count()) : 0; }

}  // namespace vum::symbols
