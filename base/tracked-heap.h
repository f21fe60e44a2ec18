// The systems layer's own long-lived buffers: tables, stacks, argument
// strings, work records. Every block is linked into one list so that the
// process can release everything it still holds in one pass, and so that a
// diagnostic dump can show what is held. Language values never live here.
#pragma once
#include <cstdint>

namespace vum::heap {

// Header in front of every block. On 64-bit the two links take 16 bytes, so
// the header is padded to 32 to keep the caller's bytes 16-byte aligned.
struct alignas(16) Block {
    Block* prev;
    Block* next;
    int32_t size;      // what the caller asked for
    int32_t unused;
};
constexpr int32_t header_size = sizeof(Block);

struct List {
    Block* head;
    Block* tail;
};

// Never return null: running out of memory ends the process with runtime
// error 94.
void* alloc(int32_t size);
void* alloc_zeroed(int32_t size);
void* realloc(void* p, int32_t size);   // p null: alloc; size 0: free, null
void free(void* p);                     // unknown pointers are ignored
void free_all();
void release_at_exit();
void dump();

List& list();
int32_t block_count();

}  // namespace vum::heap
