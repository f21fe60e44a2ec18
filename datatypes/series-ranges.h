// The ranges of elements that copy and find work over, worked out from the
// head and the refinements alike for every series kind that answers them
// element by element.
#pragma once
#include <algorithm>
#include <cstdint>

#include "datatypes/actions.h"
#include "memory/cell.h"

namespace vum::series_ranges {

// Elements [start, start + count) of a series.
struct Span {
    int64_t start;
    int64_t count;
};

// What copy takes from a series of `length` elements: from its head to the
// tail, or as /part says. A pair! gives 1-based bounds from the head; any
// other part value is read by `count_of` (the kind's own reading) as a count
// from the head, negative reaching back before it, no further than the
// start. The span lies within the series.
Span copy_span(const Cell* series, int64_t length, const Cell* part,
               int64_t (*count_of)(const Cell* series, const Cell* part));

// Where find looks: from `head`, `span` elements on (backwards with
// /reverse, before the head), every `skip`th position.
struct SearchRange {
    int64_t head;
    int64_t span;
    int64_t skip;
};

// The range of a series of `length` elements that /part, /skip and
// /reverse leave; false when nothing can match there. An empty series, or
// a head at the tail, answers false before any refinement is looked at.
bool search_range(const Cell* series, int64_t length, const actions::FindOptions& o, SearchRange* range);

// The first position of the range at which `matches_at` holds for an n
// element needle, in the order /reverse, /match and /last ask; -1 for none.
template <class Matches>
int64_t search_positions(const SearchRange& r, int64_t length, int64_t n, const actions::FindOptions& o,
                         Matches&& matches_at) {
    if (o.reverse) {
        // Backwards from just before the head, over the part count at most.
        int64_t lowest = r.head - r.span;
        for (int64_t p = std::min(r.head - 1, length - n); p >= lowest; p -= r.skip)
            if (matches_at(p)) return p;
        return -1;
    }
    int64_t end = r.head + r.span;  // the match must lie within [head, end)
    if (o.match) return n <= r.span && matches_at(r.head) ? r.head : -1;
    if (o.last) {
        for (int64_t p = end - n; p >= r.head; p -= r.skip)
            if (matches_at(p)) return p;
        return -1;
    }
    for (int64_t p = r.head; p + n <= end; p += r.skip)
        if (matches_at(p)) return p;
    return -1;
}

}  // namespace vum::series_ranges
