#include "memory/series.h"

#include <cstring>

#include "memory/memory-manager.h"
#include "memory/raise-error.h"

namespace vum::series {

uint64_t code_epoch = 1;

void set_form(uint32_t node, uint32_t form) {
    SeriesBuffer* b = nodes::buffer(node);
    b->flags |= series_flags::has_form;
    b->spare = form;
}

void clear_form(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    if (!(b->flags & series_flags::has_form)) return;
    b->flags &= ~series_flags::has_form;
    b->spare = 0;
    bump_code_epoch();
}

Cell* alloc_tail_cell(uint32_t node) {
    SeriesBuffer* b = nodes::buffer(node);
    note_change(b);
    if (b->tail + 16 > b->size) b = memory::expand_copy(node, 0);
    auto* c = reinterpret_cast<Cell*>(b->tail_ptr());
    c->header = type_unset;
    b->tail += 16;
    return c;
}

uint8_t* alloc_tail_bytes(uint32_t node, int32_t n) {
    if (n < 0) errors::raise(err::internal::no_memory);
    SeriesBuffer* b = nodes::buffer(node);
    note_change(b);
    if (int64_t(b->tail) + n > int64_t(b->size)) {
        int64_t grown = b->size < uint32_t(n) ? 2 * int64_t(n) : 2 * int64_t(b->size);
        if (grown > cell::max_series_bytes) errors::raise(err::internal::no_memory);
        b = memory::expand_copy(node, int32_t(grown));
    }
    uint8_t* at = b->tail_ptr();
    b->tail += uint32_t(n);
    return at;
}

uint32_t copy_part(uint32_t node, int32_t start, int32_t count) {
    SeriesBuffer* source = nodes::buffer(node);
    uint32_t unit = source->unit();
    // Clipped to the elements that exist.
    int64_t available = int64_t(source->count());
    if (start < 0) start = 0;
    if (start > available) start = int32_t(available);
    if (count < 0) count = 0;
    if (count > available - start) count = int32_t(available - start);
    int64_t bytes = int64_t(count) * unit;
    uint32_t copy = memory::alloc_bytes(int32_t(bytes));
    source = nodes::buffer(node);
    SeriesBuffer* b = nodes::buffer(copy);
    b->flags = (source->flags & ~(series_flags::owned | series_flags::big | series_flags::external |
                                  series_flags::mark | series_flags::compiled_code | series_flags::has_form)) |
               (b->flags & series_flags::big);
    std::memcpy(b->head_ptr(), source->head_ptr() + int64_t(start) * unit, size_t(bytes));
    b->tail = b->head + uint32_t(bytes);
    return copy;
}

Cell* alloc_tail(const Cell* block) { return alloc_tail_cell(block->w2); }

}  // namespace vum::series
