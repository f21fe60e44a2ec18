// The memory manager owns every node and every series buffer. It takes
// frames from the operating system and hands out nodes from node frames and
// buffers from series frames by bumping a pointer; reclaiming is the
// collector's work, which any allocation may start. So: a buffer address is
// good only until the next allocation; keep the node, re-read the buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "memory/cell.h"
#include "memory/series-buffer.h"

namespace vum::memory {

constexpr int32_t node_frame_capacity = 10000;
constexpr uint32_t first_frame_size = 1u << 20;
constexpr uint32_t largest_frame_size = 2u << 20;  // and where big frames start
constexpr uint32_t nearly_full = 0xCCCC;           // a frame with less left is passed over
constexpr int32_t buffer_overhead = 32;  // the 24-byte header, the data, 8 spare bytes: keeps the next header aligned

struct NodeFrame {
    NodeFrame* next;
    NodeFrame* prev;
    int32_t index;       // which stretch of the node table it covers
    int32_t capacity;
    uint32_t free;       // first free node, 0 ends
    int32_t used;
    int32_t born;        // collections done when it was made
    int32_t last_used;   // used after the previous collection
    uint32_t steady_history;
    int32_t evacuated;
    uint32_t first_node() const { return uint32_t(index) * node_frame_capacity + 1; }
    bool holds(uint32_t node) const { return node >= first_node() && node < first_node() + uint32_t(capacity); }
};

struct SeriesFrame {
    SeriesFrame* next;
    SeriesFrame* prev;
    size_t size;     // whole frame: data and record
    uint8_t* free;   // bump pointer
    uint8_t* end;    // first byte past the data
    uint8_t* data_start();
};

struct BigFrame {
    BigFrame* next;
    BigFrame* prev;
    size_t size;
    SeriesBuffer* buffer();
};

struct MemoryRoot {
    size_t os_bytes;
    NodeFrame* node_frames_head;
    NodeFrame* node_frames_tail;
    NodeFrame* current_node_frame;
    SeriesFrame* series_frames_head;
    SeriesFrame* current_series_frame;
    SeriesFrame* series_frames_tail;
    uint32_t next_frame_size;
    BigFrame* big_frames_head;
    // Collection pacing: bytes handed out since the last collection, and
    // the bytes in use right after it.
    size_t allocated_since_collection;
    size_t live_after_collection;
};

// Collections run when frames run short, but only once the heap has grown
// by as much as was live after the last one (at least this much): marking a
// large live set for every new frame would make loading it quadratic.
constexpr size_t min_collection_interval = size_t(4) << 20;
bool collection_due();
// The collector calls it when it is done.
void note_collection();

extern MemoryRoot root;

void init();
void release_all();
bool initialised();

void* os_alloc(size_t n);
void os_free(void* p);

uint32_t alloc_node();
void free_node(uint32_t node);
NodeFrame* node_frame_of(uint32_t node);

// count x unit bytes rounded up to 16; offset is where head and tail start,
// in bytes from the data start, or -1 for the middle.
SeriesBuffer* alloc_buffer(int32_t count, int32_t unit, int32_t offset);
uint32_t alloc_series(int32_t count, int32_t unit, int32_t offset);
uint32_t alloc_external_series(int32_t count, int32_t unit, int32_t offset);
void free_external_series(uint32_t node);
// Nodes whose buffers live in tracked-heap blocks: the collector never moves
// or frees them, only clears their marks.
const std::vector<uint32_t>& external_nodes();

uint32_t alloc_cells(int32_t n);
uint32_t alloc_cells_unset(int32_t n);
uint32_t alloc_bytes(int32_t n);
uint32_t alloc_units(int32_t n, int32_t unit);
uint32_t alloc_bytes_filled(int32_t n, uint8_t byte);
uint32_t copy_bytes(uint32_t source_node);

void set_flags(uint32_t node, uint32_t bits);

// Replace the node's buffer by one of n bytes (0: twice the size); the old
// one becomes dead space. These take the node, not the buffer: the
// allocation may move the old buffer before its content is copied.
SeriesBuffer* expand(uint32_t node, int32_t n);
SeriesBuffer* expand_copy(uint32_t node, int32_t n);
SeriesBuffer* expand_fill(uint32_t node, int32_t n, uint8_t byte);

// Called by the collector after each collection.
void settle_node_frames();

// Bytes in use (mode 1), or the census appended to the block (mode 2).
double collect_stats(Cell* block, int mode);

// The bytes malloc holds: pixel stores, codec buffers and what handles keep
// live there, outside the runtime's own heap, so this is the figure that
// shows them leaking. Under AddressSanitizer, its own count.
double malloc_bytes_in_use();

// Statistics for tests and benchmarks.
int32_t node_frame_count();
int32_t series_frame_count();
int32_t big_frame_count();
int32_t live_nodes();

}  // namespace vum::memory
