// Series storage. A series is a node: a stable 32-bit id whose slot in the
// node table holds the address of the series' current buffer. Buffers grow
// and move (growth, compaction); nodes never do, so cells keep node ids and
// code that needs a buffer reads it through the node, again after anything
// that may allocate.
#pragma once
#include <cstdint>

namespace vum {

struct SeriesBuffer {
    uint32_t flags;
    uint32_t node;   // the node that points here; 0 once a growth abandoned it
    uint32_t size;   // bytes of data, a multiple of 16
    uint32_t head;   // byte offset of the first element in use, from the data
    uint32_t tail;   // byte offset just past the last element in use
    // The compiled form's index while the series has one (has_form); it
    // moves with the header, through growth and compaction.
    uint32_t spare;

    uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
    const uint8_t* data() const { return reinterpret_cast<const uint8_t*>(this + 1); }
    uint8_t* head_ptr() { return data() + head; }
    uint8_t* tail_ptr() { return data() + tail; }
    uint32_t unit() const { return flags & 0x1F; }
    // Elements between head and tail.
    uint32_t count() const { return (tail - head) >> unit_shift(); }
    // The same for a series known to hold cells (16-byte units).
    uint32_t cell_count() const { return (tail - head) >> 4; }
    // Units are 1, 2, 4, 8 or 16 bytes; the low bit of unit | 16 is the
    // shift, without a branch.
    uint32_t unit_shift() const { return uint32_t(__builtin_ctz((flags & 0x1F) | 0x10)); }
};
// The header sits 8 bytes past a 16-byte boundary so the data is aligned.
static_assert(sizeof(SeriesBuffer) == 24);

namespace series_flags {
enum : uint32_t {
    unit_mask = 0x1F,
    owned = 1u << 17,
    complemented = 1u << 19,  // bitset!
    external = 1u << 20,      // in a tracked-heap block, outside the frames
    compiled_code = 1u << 21, // a block of a compiled function's body (function.h); not copied
    has_form = 1u << 22,      // a compiled form runs these cells: writes bump the code epoch; not copied
    big = 1u << 24,           // in a big frame of its own
    mark = 1u << 27,
    centred = 1u << 28,
    made = 1u << 29,
    in_use = 1u << 31,
};
}

namespace nodes {

// The node table: one reserved stretch of address space, committed as node
// frames are made. Slot 0 is never a node.
extern SeriesBuffer** table;

inline SeriesBuffer* buffer(uint32_t node) { return table[node]; }
inline void set_buffer(uint32_t node, SeriesBuffer* b) { table[node] = b; }

}  // namespace nodes
}  // namespace vum
