#include "base/tracked-heap.h"

#include <cstdlib>
#include <cstring>

#include "base/console-output.h"
#include "base/system-throw.h"

namespace vum::heap {

namespace {
List blocks{nullptr, nullptr};

[[noreturn]] __attribute__((noinline)) void out_of_memory(uintptr_t where) {
    sys::terminate(94, where);
}

void link_at_tail(Block* b) {
    b->prev = blocks.tail;
    b->next = nullptr;
    if (blocks.tail) blocks.tail->next = b; else blocks.head = b;
    blocks.tail = b;
}

void unlink(Block* b) {
    if (b->prev) b->prev->next = b->next; else blocks.head = b->next;
    if (b->next) b->next->prev = b->prev; else blocks.tail = b->prev;
}

Block* find(void* p) {
    for (Block* b = blocks.head; b; b = b->next)
        if (b + 1 == p) return b;
    return nullptr;
}
}  // namespace

List& list() { return blocks; }

int32_t block_count() {
    int32_t n = 0;
    for (Block* b = blocks.head; b; b = b->next) n++;
    return n;
}

__attribute__((noinline)) void* alloc(int32_t size) {
    if (size < 0) out_of_memory(sys::caller_address());
    auto* b = static_cast<Block*>(std::malloc(size_t(size) + header_size));
    if (!b) out_of_memory(sys::caller_address());
    b->size = size;
    b->unused = 0;
    link_at_tail(b);
    return b + 1;
}

// calloc, not alloc and memset: memory fresh from the system is zero
// already, and the pages of a large block are not touched until used.
__attribute__((noinline)) void* alloc_zeroed(int32_t size) {
    if (size < 0) out_of_memory(sys::caller_address());
    auto* b = static_cast<Block*>(std::calloc(1, size_t(size) + header_size));
    if (!b) out_of_memory(sys::caller_address());
    b->size = size;
    b->unused = 0;
    link_at_tail(b);
    return b + 1;
}

__attribute__((noinline)) void* realloc(void* p, int32_t size) {
    if (!p) return alloc(size);
    if (size == 0) {
        free(p);
        return nullptr;
    }
    Block* old = static_cast<Block*>(p) - 1;
    if (size < 0) out_of_memory(sys::caller_address());
    auto* b = static_cast<Block*>(std::realloc(old, size_t(size) + header_size));
    if (!b) out_of_memory(sys::caller_address());
    b->size = size;
    // The block keeps its place: point its neighbours (or the list ends) at
    // the moved record.
    if (b->prev) b->prev->next = b; else blocks.head = b;
    if (b->next) b->next->prev = b; else blocks.tail = b;
    return b + 1;
}

void free(void* p) {
    if (!p) return;
    Block* b = find(p);
    if (!b) return;
    unlink(b);
    std::free(b);
}

void free_all() {
    Block* b = blocks.head;
    while (b) {
        Block* next = b->next;
        std::free(b);
        b = next;
    }
    blocks = {nullptr, nullptr};
}

void release_at_exit() { free_all(); }

void dump() {
    using print::Item;
    print::value_line({Item::text("-- Heap-allocations --")});
    print::value_line({Item::text("Asked   Real")});
    int64_t sum = 0;
    for (Block* b = blocks.head; b; b = b->next) {
        int32_t real = b->size + header_size;
        sum += real;
        print::value_line({Item::integer(b->size), Item::text("\t"), Item::integer(real)});
    }
    print::value_line({Item::text("-- Sum: "), Item::integer(int32_t(sum)), Item::text(" --")});
}

}  // namespace vum::heap
