#include "base/handle-registry.h"

#include <cstdint>

#include "base/tracked-heap.h"

namespace vum::handle_registry {

namespace {
HandleKind* kinds = nullptr;
int32_t kinds_used = 0;

HandleSlot* table = nullptr;
int32_t slot_count = 0;
int32_t free_list = end_of_list;
int32_t live_list = end_of_list;

bool in_range(int32_t index) { return table && index >= 0 && index < slot_count; }

// Makes slots [from, to) free and chains them in index order.
void chain_free(int32_t from, int32_t to) {
    for (int32_t i = from; i < to; i++) table[i] = {free_word, i + 1, nullptr};
    table[to - 1].next = end_of_list;
}

// Doubles the array and hangs the new slots behind `last_free`, the only
// slot left on the free list.
void grow(int32_t last_free) {
    int32_t old_count = slot_count;
    int64_t bytes = int64_t(old_count) * 2 * int64_t(sizeof(HandleSlot));
    // A table too big for one block is out of memory as far as the heap is
    // concerned; a negative size makes it say so.
    int32_t size = bytes > INT32_MAX ? -1 : int32_t(bytes);
    table = static_cast<HandleSlot*>(heap::realloc(table, size));
    slot_count = old_count * 2;
    chain_free(old_count, slot_count);
    table[last_free].next = old_count;
}

void push_free(int32_t index) {
    table[index] = {free_word, free_list, nullptr};
    free_list = index;
}

// Links the live list past `index`. `before` is the slot in front of it, or
// end_of_list when the caller believes it is the head; a finalizer that adds
// handles during a sweep pushes slots in front, so the head is checked and
// the list searched as well.
void unlink_live(int32_t index, int32_t before) {
    int32_t after = table[index].next;
    if (before != end_of_list) {
        table[before].next = after;
        return;
    }
    if (live_list == index) {
        live_list = after;
        return;
    }
    for (int32_t i = live_list; i != end_of_list; i = table[i].next) {
        if (table[i].next == index) {
            table[i].next = after;
            return;
        }
    }
}

// Frees a live slot and then finalizes what it held, so a finalizer that
// calls back into the registry finds the slot already gone and the lists
// whole.
void retire(int32_t index, int32_t before, bool finalize) {
    uint32_t word = table[index].kind_word;
    void* old = table[index].data;
    unlink_live(index, before);
    push_free(index);
    if (finalize) finalize_data(word, old);
}
}  // namespace

void init() {
    heap::free(kinds);
    heap::free(table);
    kinds = static_cast<HandleKind*>(heap::alloc_zeroed(max_kinds * int32_t(sizeof(HandleKind))));
    kinds_used = 0;
    table = static_cast<HandleSlot*>(heap::alloc(initial_capacity * int32_t(sizeof(HandleSlot))));
    slot_count = initial_capacity;
    chain_free(0, slot_count);
    free_list = 0;
    live_list = end_of_list;
}

int32_t register_kind(const char* tag, Finalizer finalizer) {
    if (!kinds) init();
    if (kinds_used == max_kinds) return 0;
    kinds[kinds_used++] = {tag, finalizer};
    return kinds_used;
}

int32_t add(void* data, int32_t kind_id) {
    if (!table) init();
    int32_t h = free_list;
    if (table[h].next == end_of_list) grow(h);
    free_list = table[h].next;
    table[h] = {uint32_t(kind_id) & kind_mask, live_list, data};
    live_list = h;
    return h;
}

void set_data(int32_t index, void* data) {
    if (!is_live(index)) return;
    void* old = table[index].data;
    table[index].data = data;
    if (old != data) finalize_data(table[index].kind_word, old);
}

void release(int32_t index, bool finalize) {
    if (!is_live(index)) return;
    retire(index, end_of_list, finalize);
}

int32_t mark(int32_t index, void* data) {
    if (!is_live(index)) return 0;
    HandleSlot& s = table[index];
    if (data) s.data = data;
    if (s.kind_word & mark_bit) return 0;
    s.kind_word |= mark_bit;
    return 1;
}

void for_each_of_kind(int32_t kind_id, Visitor visit) {
    if (!visit) return;
    for (int32_t i = live_list; i != end_of_list;) {
        int32_t next = table[i].next;
        if (int32_t(table[i].kind_word & kind_mask) == kind_id) visit(table[i].data);
        i = next;
    }
}

void sweep() {
    int32_t kept = end_of_list;
    for (int32_t i = live_list; i != end_of_list;) {
        int32_t next = table[i].next;
        if (table[i].kind_word & mark_bit) {
            table[i].kind_word &= ~mark_bit;
            kept = i;
        } else {
            retire(i, kept, true);
        }
        i = next;
    }
}

void finalize_slot(int32_t index) {
    if (!in_range(index)) return;
    finalize_data(table[index].kind_word, table[index].data);
}

void finalize_data(uint32_t kind_word, void* data) {
    int32_t id = int32_t(kind_word & kind_mask);
    if (id == 0 || id > kinds_used) return;
    if (Finalizer f = kinds[id - 1].finalizer) f(data);
}

int32_t capacity() { return slot_count; }

int32_t live_count() {
    int32_t n = 0;
    for (int32_t i = live_list; i != end_of_list; i = table[i].next) n++;
    return n;
}

bool is_live(int32_t index) { return in_range(index) && !(table[index].kind_word & free_word); }

void* data(int32_t index) { return in_range(index) ? table[index].data : nullptr; }

int32_t kind_of(int32_t index) { return is_live(index) ? int32_t(table[index].kind_word & kind_mask) : 0; }

int32_t kind_count() { return kinds_used; }

const HandleKind* kind(int32_t kind_id) {
    return kind_id >= 1 && kind_id <= kinds_used ? &kinds[kind_id - 1] : nullptr;
}

const HandleSlot* slots() { return table; }
int32_t free_head() { return free_list; }
int32_t live_head() { return live_list; }

}  // namespace vum::handle_registry
