// One open-addressing hash table serves every keyed lookup of the runtime:
// hash! and map! values, the symbol table, the word tables of contexts, the
// ownership table, set operations and the serialiser's identity sets.
// Buckets have 2-bit states, bucket counts are powers of two, probing is
// triangular and hashing is MurmurHash3 (x86, 32-bit).
//
// A table is the node of a byte series holding one Record. Like every
// series it may move at any allocation: re-read the record through
// `record(table)` after anything that allocates.
#pragma once
#include <cstdint>

#include "memory/cell.h"
#include "memory/collector.h"

namespace vum::hashtable {

enum Kind : uint32_t {
    kind_hash = 0,       // hash!: equal keys chain together
    kind_map = 1,        // map!: key and value cells alternate; keys indexed
    kind_symbols = 2,    // the symbol table and contexts' word tables
    kind_identity = 3,   // raw 32-bit identities with d data cells each
    kind_ownership = 4,  // identities with 3 data cells: the ownership table
};

struct Record {
    uint32_t count;         // live entries
    uint32_t cell_buckets;  // kind 0: node of int32 bucket + 1 per key cell; kinds 3-4: entry width
    uint32_t chains;        // kind 0: node of int32 series of chain nodes
    uint32_t states;        // node: 2 bits per bucket (2 empty, 1 deleted, 0 used)
    uint32_t buckets;       // node: int32 per bucket
    uint32_t keys;          // node of the key series (or of the entries, kinds 3-4)
    uint32_t occupied;      // used plus deleted buckets
    uint32_t size;          // bucket count, a power of two, at least 4
    uint32_t threshold;     // grow when occupied reaches it
    uint32_t kind;
    uint32_t stamp;         // 0, or compaction count + 1 when hashes were taken
};
static_assert(sizeof(Record) == 44);

enum BucketState : uint32_t { state_used = 0, state_deleted = 1, state_empty = 2 };

// An identity entry (kinds 3-4) is this head and then its data cells, in
// the series the record's `keys` names; the record's `cell_buckets` holds
// the whole entry's width. An entry's state has its own codes, unrelated to
// the bucket states: a removed entry keeps its place in the series, marked
// removed, until a rebuild drops it.
enum EntryState : uint32_t { entry_removed = 0, entry_live = 2 };
struct EntryHead {
    uint32_t state;  // EntryState
    uint32_t key;    // the 32-bit identity
    uint32_t unused[2];
};
static_assert(sizeof(EntryHead) == 16);

inline uint32_t entry_width(const Record* r) { return r->kind >= kind_identity ? r->cell_buckets : 0; }

// A search probe: a string-like cell (head index in word 1, node in word 2)
// that stands for the first word-3 characters only when word 3 >= 0. It
// hashes like the string kinds and matches any of them.
constexpr uint8_t type_string_probe = 56;

Record* record(uint32_t table);

// The collector's marking of a table: its record and arrays, its key series
// and what that holds; of an identity table the data cells of live entries
// only (keys are never marked through the table).
void mark(uint32_t table);

// Keeps a table and all it holds alive while the guard lives. A
// gc::ProtectNode on a table's node keeps the record only, not its states,
// buckets, keys or chains.
class ProtectTable {
public:
    explicit ProtectTable(uint32_t table) : cell_{type_map, 0, 0, table}, guard_(&cell_) {}
    ProtectTable(const ProtectTable&) = delete;
    ProtectTable& operator=(const ProtectTable&) = delete;

private:
    Cell cell_;
    gc::Protect guard_;
};

uint32_t bucket_state(const Record* r, uint32_t bucket);
void set_bucket_state(Record* r, uint32_t bucket, uint32_t state);
int32_t* bucket_array(const Record* r);

// The process's hash seed, set once at start-up.
extern uint32_t seed;
uint32_t murmur3(const void* data, int32_t length);  // with the seed
uint32_t murmur3_with_seed(const void* data, int32_t length, uint32_t seed);
uint32_t fmix32(uint32_t h);
uint32_t round_up_pow2(uint32_t n);

// A cell's hash; case_sensitive 0 folds letter case of strings.
uint32_t hash_value(const Cell* c, int32_t case_sensitive);

// size entries, source series cell (or null), kind, d data cells (kinds 3-4;
// for kind 2 with d = 2 and a source context: copy that context's table).
uint32_t create(int32_t size, const Cell* source, Kind kind, int32_t d);

// Indexes one cell of the key series; the cell's address gives its index.
// status receives 2 when the table was rebuilt instead.
void put_key_status(uint32_t table, const Cell* key, int32_t* status);
void put_key(uint32_t table, const Cell* key);

// Address of the matching key cell, or null. op is the comparison code
// (0 equal?, 2 strict-equal?).
Cell* find(uint32_t table, const Cell* key, int32_t from, int32_t skip, int32_t op, bool last, bool reverse);
// map!: the index in the pair block of the key cell that matches under op
// (0 or 2), removed pairs included, or -1; *hash receives the key's
// hash_value for a put_map_key that follows.
int32_t find_map_key(uint32_t table, const Cell* key, int32_t op, uint32_t* hash);
// map!: indexes the key cell at `index` of the pair block, whose hash_value
// the caller already has.
void put_map_key(uint32_t table, int32_t index, uint32_t hash);
// Next key equal (op 0) to key with the same type byte along its probe path
// (map!); bucket starts at -1.
Cell* find_next_key(uint32_t table, const Cell* key, int32_t* bucket, int32_t* start, int32_t* step);

void remove_key(uint32_t table, const Cell* key);
void remove_key_range(uint32_t table, int32_t index, int32_t n);
// hash!: the cells [from, from + count) moved by shift. Their stored indexes
// are renumbered; with move also their per-cell entries, after a removal
// (shift < 0) unindexing the cells [from + shift, from) first, after an
// insertion leaving [from, from + shift) unindexed for the caller to put.
// 1 without any work when count exceeds 30,000: the caller rebuilds.
int32_t shift_indexes(uint32_t table, int32_t shift, int32_t from, int32_t count, bool move);
// hash!: the cells [from, from + count) moved to stand before the cell that
// was at index `to`; nothing when to lies in [from, from + count].
void move_indexes(uint32_t table, int32_t to, int32_t from, int32_t count);
void index_from(uint32_t table, int32_t start, int32_t step);
void rebuild(uint32_t table, int32_t n);
// Copies source_table's record and arrays into a new table over key_series
// (0: over a copy of the source's key series). A hash!'s chains are copied
// too, so that the two tables can change apart.
uint32_t copy_table(uint32_t source_table, uint32_t key_series);
void clear_table(uint32_t table);

// Identity tables (kinds 3-4): address of the key's data cells.
Cell* put_pointer(uint32_t table, uint32_t key);
Cell* find_pointer(uint32_t table, uint32_t key);
Cell* remove_pointer(uint32_t table, uint32_t key);
// Collector: drops identity entries whose key series is unmarked.
void sweep_pointer(uint32_t table);

// In-place resize of value-keyed and symbol tables to round-up-pow2(request).
void resize_in_place(uint32_t table, uint32_t request);

// Comparison of two cells for kinds 0 and 1 (0 when they match under op).
// The datatypes install the language's compare; until then cells compare
// by type and payload.
using CompareFn = int32_t (*)(const Cell* a, const Cell* b, int32_t op);
extern CompareFn compare_cells;
// The comparison installed at start: type byte and the payload words that
// the type's hash reads; string kinds by characters (op 0 folds case), words
// by symbol (op 0 by canonical symbol). Kept for hooks that fall back on it.
int32_t default_compare(const Cell* a, const Cell* b, int32_t op);


// Scratch for lowered symbol text, made with the first kind-2 table.
uint8_t* symbol_scratch(int32_t length);

}  // namespace vum::hashtable
