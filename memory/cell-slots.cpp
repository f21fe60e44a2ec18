#include "memory/cell-slots.h"

#include <vector>

#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"

namespace vum::slots {

namespace {

int32_t slot_capacity = 0;
int32_t first_free = -1;
// Which slots are handed out. A slot's content cannot tell: a value held
// there may be an integer! as well.
std::vector<bool> in_use;

// The largest table whose cells a series can hold.
constexpr int32_t max_capacity = int32_t(cell::max_series_cells);

Cell* slot(int32_t i) { return reinterpret_cast<Cell*>(nodes::buffer(gc::roots.cell_slot_table)->data()) + i; }

[[noreturn]] void invalid_index() { errors::raise(err::script::invalid_arg); }

int32_t checked(int32_t index) {
    if (!gc::roots.cell_slot_table || index < 1 || index > slot_capacity || !in_use[size_t(index - 1)])
        invalid_index();
    return index - 1;
}

}  // namespace

void init() {
    gc::roots.cell_slot_table = 0;
    slot_capacity = 0;
    first_free = -1;
    in_use.clear();
    uint32_t node = memory::alloc_cells(initial_capacity);
    gc::roots.cell_slot_table = node;
    slot_capacity = initial_capacity;
    in_use.assign(size_t(slot_capacity), false);
    link_free(0);
}

void link_free(int32_t from) {
    if (!gc::roots.cell_slot_table || from < 0 || from > slot_capacity) invalid_index();
    SeriesBuffer* b = nodes::buffer(gc::roots.cell_slot_table);
    b->head = 0;
    b->tail = uint32_t(slot_capacity) * 16;
    for (int32_t i = from; i < slot_capacity; i++) {
        cell::make_integer(slot(i), i + 1 < slot_capacity ? i + 1 : first_free);
        slot(i)->w1 = slot(i)->w3 = 0;
        in_use[size_t(i)] = false;
    }
    if (from < slot_capacity) first_free = from;
}

int32_t add(const Cell* value) {
    gc::Local v(*value);
    if (!gc::roots.cell_slot_table) init();
    if (first_free < 0) {
        if (slot_capacity > max_capacity / 2) errors::raise(err::internal::no_memory);
        int32_t old = slot_capacity;
        memory::expand_copy(gc::roots.cell_slot_table, old * 2 * 16);
        slot_capacity = old * 2;
        in_use.resize(size_t(slot_capacity), false);
        link_free(old);
    }
    int32_t i = first_free;
    first_free = cell::get_integer(slot(i));
    *slot(i) = v;
    in_use[size_t(i)] = true;
    return i + 1;
}

void free(int32_t index) {
    if (index == 0) return;
    int32_t i = checked(index);
    cell::make_integer(slot(i), first_free);
    slot(i)->w1 = slot(i)->w3 = 0;
    in_use[size_t(i)] = false;
    first_free = i;
}

Cell* address(int32_t index) { return slot(checked(index)); }

int32_t capacity() { return slot_capacity; }

int32_t free_head() { return first_free; }

}  // namespace vum::slots
