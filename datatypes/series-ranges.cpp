#include "datatypes/series-ranges.h"

#include "memory/cell-access.h"
#include "memory/raise-error.h"
#include "memory/refinement-args.h"

namespace vum::series_ranges {

Span copy_span(const Cell* series, int64_t length, const Cell* part,
               int64_t (*count_of)(const Cell* series, const Cell* part)) {
    int64_t i = cell::series_index(series);
    int64_t start = i;
    int64_t k = std::max<int64_t>(length - i, 0);
    if (part) {
        if (cell::type(part) == type_pair) {
            int64_t x = cell::pair_x(part), y = cell::pair_y(part);
            start = std::max<int64_t>(x < 0 ? i + x : i + x - 1, 0);
            k = y < x ? 0 : y - x;
        } else {
            k = count_of(series, part);
        }
    }
    if (k < 0) {
        // Before the head, as far back as the start.
        int64_t from = std::max<int64_t>(start + k, 0);
        k = start - from;
        start = from;
    }
    if (start > length) {
        start = length;
        k = 0;
    }
    if (start + k > length) k = length - start;
    return {start, k};
}

bool search_range(const Cell* series, int64_t length, const actions::FindOptions& o, SearchRange* range) {
    int64_t head = cell::series_index(series);
    // Nothing to search answers none before any refinement is looked at.
    if (length == 0 || (head >= length && !o.reverse)) return false;
    // Wildcards are reserved: no meaning is given to them yet.
    if (o.any || o.with) errors::raise(err::internal::not_done);
    int64_t skip = 1;
    if (o.skip) {
        skip = refinement_args::integer_refinement("skip", o.skip);
        if (skip < 1) errors::raise_out_of_range(o.skip);
    }
    if (o.reverse && (head == 0 || o.match)) return false;
    head = std::min(head, length);
    int64_t span = o.reverse ? head : length - head;
    if (o.part) {
        int64_t count = refinement_args::part_of(series, o.part);
        // Backwards, a position before the head bounds the range from below.
        if (o.reverse && cell::type(o.part) != type_integer) count = -count;
        if (count < 1) return false;
        span = std::min(span, count);
    }
    *range = {head, span, skip};
    return true;
}

}  // namespace vum::series_ranges
