#include "memory/sort.h"

#include <cstddef>
#include <cstring>
#include <optional>
#include <utility>

#include "base/tracked-heap.h"
#include "memory/collector.h"
#include "memory/series-buffer.h"
#include "memory/series.h"
#include "memory/raise-error.h"

namespace vum::sort {

namespace {

// Runs shorter than this are lengthened by insertion before merging.
constexpr size_t min_run = 24;
// Ranges this short are finished by insertion.
constexpr size_t insertion_limit = 7;
// Powers never exceed 33 for n below 2^31 and strictly rise up the stack, so
// this is never reached; the merge loop still copes if it were.
constexpr int run_stack_capacity = 64;

[[noreturn]] void invalid_argument() { errors::raise(err::script::invalid_arg); }

// Checks the arguments every entry point shares; false when there is
// nothing to sort. A negative count is a caller's fault, not an empty sort.
bool worth_sorting(const void* base, int32_t n, int32_t width, Compare compare) {
    if (n < 0) invalid_argument();
    if (n < 2) return false;
    if (!base || width <= 0 || !compare) invalid_argument();
    return true;
}

// The records of one sort, addressed by index so that byte offsets are
// computed in 64 bits whatever n x width comes to.
struct Records {
    uint8_t* base;
    size_t width;
    bool bytewise;
    intptr_t arg1;
    intptr_t arg2;
    Compare compare;

    uint8_t* at(size_t i) const { return base + i * width; }
    int32_t cmp(size_t i, size_t j) const { return compare(at(i), at(j), arg1, arg2); }
    void exchange(size_t i, size_t j) const {
        if (i != j) sort::swap(at(i), at(j), int32_t(width), bytewise);
    }
    void reverse(size_t from, size_t to) const {  // [from, to)
        while (from + 1 < to) exchange(from++, --to);
    }
    // Sorts [lo, to) given [lo, from) sorted, moving each record left by
    // adjacent swaps: stable, and never below lo whatever compare answers.
    void insert(size_t lo, size_t from, size_t to) const {
        for (size_t i = from; i < to; i++)
            for (size_t j = i; j > lo && cmp(j - 1, j) > 0; j--) exchange(j - 1, j);
    }
    Records at_offset(size_t first) const {
        Records r = *this;
        r.base = at(first);
        return r;
    }
};

Records make_records(void* base, int32_t width, intptr_t arg1, intptr_t arg2, Compare compare) {
    return {static_cast<uint8_t*>(base), size_t(width), width % 4 != 0, arg1, arg2, compare};
}

// ---------------------------------------------------------------- merge sort

// A natural run from start, lengthened to min_run records by insertion.
size_t next_run(const Records& r, size_t start, size_t n) {
    uint8_t* end = find_run(r.at(start), r.at(n), int32_t(r.width), r.arg1, r.arg2, r.compare);
    size_t run_end = size_t(end - r.base) / r.width;
    if (run_end - start < min_run) {
        size_t target = n - start < min_run ? n : start + min_run;
        r.insert(start, run_end, target);
        run_end = target;
    }
    return run_end;
}

// The depth in the merge tree of the boundary between runs [s1, e1) and
// [e1, e2): the first binary digit where the runs' midpoints, as fractions
// of n, differ. Merging by these powers keeps the merge tree nearly
// balanced whatever the run lengths.
int32_t node_power(int64_t s1, int64_t e1, int64_t e2, int64_t n) {
    int64_t a = s1 + e1;
    int64_t b = e1 + e2;
    int32_t power = 0;
    for (;;) {
        if ((a < n) != (b < n)) break;
        power++;
        if (a >= n) {
            a -= n;
            b -= n;
        }
        a *= 2;
        b *= 2;
    }
    return power + 1;
}

struct HeapScratch {
    void* p;
    ~HeapScratch() { heap::free(p); }
};

}  // namespace

void cells(uint32_t node, int32_t start, int32_t n, bool stable, intptr_t arg1, intptr_t arg2, Compare compare) {
    SeriesBuffer* b = nodes::buffer(node);
    int32_t available = int32_t(b->count()) - start;
    if (start < 0 || available <= 0) return;
    if (n > available) n = available;
    if (n < 2) return;
    // Sorted in a copy that never moves and that the collector sees; the
    // result goes back through the node, wherever the buffer is by then.
    HeapScratch copy{heap::alloc(n * 16)};
    auto* records = static_cast<Cell*>(copy.p);
    std::memcpy(records, series::cells_head(node) + start, size_t(n) * 16);
    gc::Protect keep(records, n);
    if (stable)
        merge(records, n, 16, arg1, arg2, compare);
    else
        quick(records, n, 16, arg1, arg2, compare);
    b = nodes::buffer(node);
    int32_t room = int32_t(b->count()) - start;
    if (room > 0) std::memcpy(series::cells_mut(node) + start, records, size_t(n < room ? n : room) * 16);
}

void swap(void* x, void* y, int32_t bytes, bool bytewise) {
    if (bytes <= 0 || x == y) return;
    auto* p = static_cast<uint8_t*>(x);
    auto* q = static_cast<uint8_t*>(y);
    size_t n = size_t(bytes);
    size_t i = 0;
    if (!bytewise) {
        for (; i + 4 <= n; i += 4) {
            uint32_t a, b;
            std::memcpy(&a, p + i, 4);
            std::memcpy(&b, q + i, 4);
            std::memcpy(p + i, &b, 4);
            std::memcpy(q + i, &a, 4);
        }
    }
    for (; i < n; i++) std::swap(p[i], q[i]);
}

uint8_t* find_run(uint8_t* start, uint8_t* end, int32_t width, intptr_t arg1, intptr_t arg2,
                  Compare compare) {
    if (width <= 0 || !compare || end < start || (end - start) % width != 0 || (!start && end != start))
        invalid_argument();
    Records r{start, size_t(width), width % 4 != 0, arg1, arg2, compare};
    size_t n = size_t(end - start) / r.width;
    if (n < 2) return end;
    size_t i = 2;
    if (r.cmp(0, 1) > 0) {
        while (i < n && r.cmp(i - 1, i) > 0) i++;
        r.reverse(0, i);
    } else {
        while (i < n && r.cmp(i - 1, i) <= 0) i++;
    }
    return r.at(i);
}

void merge_runs(uint8_t* left, uint8_t* middle, uint8_t* end, uint8_t* scratch,
                const CompareRecord& record) {
    int32_t width = record.width;
    if (width <= 0 || !record.compare || !left || !scratch || middle < left || end < middle ||
        (middle - left) % width != 0 || (end - middle) % width != 0)
        invalid_argument();
    if (left == middle || middle == end) return;
    size_t w = size_t(width);
    auto cmp = [&](const uint8_t* x, const uint8_t* y) {
        return record.compare(x, y, record.arg1, record.arg2);
    };
    // Throughout, the records still in scratch fit exactly the gap left in
    // the array; a comparison that raises is answered by filling the gap, so
    // the array stays a permutation of what it held.
    if (end - middle < middle - left) {
        size_t right_bytes = size_t(end - middle);
        std::memcpy(scratch, middle, right_bytes);
        uint8_t* l = middle;                   // left records still in place: [left, l)
        uint8_t* r = scratch + right_bytes;    // right records still in scratch: [scratch, r)
        uint8_t* to = end;                     // [to, end) is final
        try {
            while (l > left && r > scratch) {
                to -= w;
                if (cmp(l - w, r - w) <= 0) {
                    r -= w;
                    std::memcpy(to, r, w);
                } else {
                    l -= w;
                    std::memcpy(to, l, w);
                }
            }
        } catch (...) {
            std::memcpy(l, scratch, size_t(r - scratch));
            throw;
        }
        std::memcpy(l, scratch, size_t(r - scratch));
    } else {
        size_t left_bytes = size_t(middle - left);
        std::memcpy(scratch, left, left_bytes);
        uint8_t* l = scratch;                  // left records still in scratch: [l, l_end)
        uint8_t* l_end = scratch + left_bytes;
        uint8_t* r = middle;                   // right records still in place: [r, end)
        uint8_t* to = left;                    // [left, to) is final
        try {
            while (l < l_end && r < end) {
                if (cmp(l, r) <= 0) {
                    std::memcpy(to, l, w);
                    l += w;
                } else {
                    std::memcpy(to, r, w);
                    r += w;
                }
                to += w;
            }
        } catch (...) {
            std::memcpy(to, l, size_t(l_end - l));
            throw;
        }
        std::memcpy(to, l, size_t(l_end - l));
    }
}

void merge(void* base, int32_t n, int32_t width, intptr_t arg1, intptr_t arg2, Compare compare) {
    if (!worth_sorting(base, n, width, compare)) return;
    int64_t scratch_bytes = int64_t(n / 2) * width;
    if (scratch_bytes > INT32_MAX) errors::raise(err::script::too_long);
    HeapScratch scratch{heap::alloc_zeroed(int32_t(scratch_bytes))};
    auto* buffer = static_cast<uint8_t*>(scratch.p);
    // Cells waiting in scratch while a comparison runs language code (which
    // may collect) must stay visible to the collector.
    std::optional<gc::Protect> keep;
    if (width == 16) keep.emplace(reinterpret_cast<Cell*>(buffer), int32_t(n / 2));

    Records r = make_records(base, width, arg1, arg2, compare);
    CompareRecord record{width, arg1, arg2, compare};
    size_t count = size_t(n);
    struct Pending {
        size_t start;
        int32_t power;
    } stack[run_stack_capacity];
    int top = 0;

    size_t previous_start = 0;
    size_t previous_end = next_run(r, 0, count);
    while (previous_end < count) {
        size_t run_end = next_run(r, previous_end, count);
        int32_t power = node_power(int64_t(previous_start), int64_t(previous_end), int64_t(run_end),
                                   int64_t(count));
        while (top > 0 && (stack[top - 1].power > power || top == run_stack_capacity)) {
            top--;
            merge_runs(r.at(stack[top].start), r.at(previous_start), r.at(previous_end), buffer,
                       record);
            previous_start = stack[top].start;
        }
        stack[top++] = {previous_start, power};
        previous_start = previous_end;
        previous_end = run_end;
    }
    while (top > 0) {
        top--;
        merge_runs(r.at(stack[top].start), r.at(previous_start), r.at(count), buffer, record);
        previous_start = stack[top].start;
    }
}

// ------------------------------------------------------------------ quicksort

namespace {

size_t median_of_three(const Records& r, size_t a, size_t b, size_t c) {
    if (r.cmp(a, b) > 0) std::swap(a, b);   // now a <= b
    if (r.cmp(b, c) <= 0) return b;
    return r.cmp(a, c) > 0 ? a : c;
}

size_t choose_pivot(const Records& r, size_t n, size_t presorted) {
    if (presorted > 2) {
        // A sorted prefix's middle record is its median, for free. Against
        // a range far longer the prefix says little; look a little further.
        if (n <= 256 * presorted) return presorted / 2;
        size_t reach = 16 * presorted - 1;
        return median_of_three(r, 0, reach / 2, reach - 1);
    }
    // The ends of a range are where the partition above it left records of
    // extreme rank, so a small range's sample keeps off them.
    if (n <= 511) return median_of_three(r, n / 4, n / 2, n - 1 - n / 4);
    // Nine records spread over the whole range, the median of their three
    // medians. A sample taken from the front only picks a poor pivot for
    // every ordered stretch and makes the sort quadratic there.
    size_t step = (n - 1) / 8;
    return median_of_three(r, median_of_three(r, 0, step, 2 * step),
                           median_of_three(r, 3 * step, 4 * step, 5 * step),
                           median_of_three(r, 6 * step, 7 * step, 8 * step));
}

// Three-way partition around the record at 0, which stays there until the
// end: records equal to it gather at the front, the less ones follow, the
// greater ones go to the right end. Each record is compared with the pivot
// exactly once and the pivot never with itself, so the loop ends and stays
// in bounds whatever compare answers. Leaves less [0, *less_end), equal up
// to *greater_start, greater after.
void partition(const Records& r, size_t n, size_t* less_end, size_t* greater_start) {
    size_t equal_end = 1;  // [0, equal_end) equal to the pivot
    size_t i = 1;          // [equal_end, i) less
    size_t high = n;       // [high, n) greater
    while (i < high) {
        int32_t c = r.compare(r.at(i), r.base, r.arg1, r.arg2);
        if (c > 0) {
            // Greater records already at the right end stay there: look for
            // one that is not and exchange.
            size_t j = high - 1;
            while (j > i && (c = r.compare(r.at(j), r.base, r.arg1, r.arg2)) > 0) j--;
            if (j == i) {
                high = i;
                break;
            }
            r.exchange(i, j);
            high = j;
        }
        if (c == 0) r.exchange(i, equal_end++);
        i++;
    }
    size_t less = high - equal_end;
    size_t moved = equal_end < less ? equal_end : less;
    for (size_t k = 0; k < moved; k++) r.exchange(k, high - moved + k);
    *less_end = less;
    *greater_start = high;
}

void sift_down(const Records& r, size_t root, size_t n) {
    for (;;) {
        size_t child = 2 * root + 1;
        if (child >= n) return;
        if (child + 1 < n && r.cmp(child, child + 1) < 0) child++;
        if (r.cmp(root, child) >= 0) return;
        r.exchange(root, child);
        root = child;
    }
}

// The way out when pivots keep splitting badly: in place, n log n always.
void heap_sort(const Records& r, size_t n) {
    for (size_t i = n / 2; i-- > 0;) sift_down(r, i, n);
    for (size_t end = n - 1; end > 0; end--) {
        r.exchange(0, end);
        sift_down(r, 0, end);
    }
}

void quick_range(Records r, size_t n, size_t presorted, int depth) {
    while (n > insertion_limit) {
        if (depth-- == 0) {
            heap_sort(r, n);
            return;
        }
        r.exchange(0, choose_pivot(r, n, presorted));
        presorted = 0;
        size_t less_end, greater_start;
        partition(r, n, &less_end, &greater_start);
        quick_range(r.at_offset(greater_start), n - greater_start, 0, depth);
        n = less_end;
    }
    r.insert(0, 1, n);
}

int depth_limit(size_t n) {
    int log = 0;
    while (n >>= 1) log++;
    return 2 * log + 2;
}

// The records in order with the direction: ascending (dir > 0) or
// descending, equal neighbours allowed either way.
bool in_order(const Records& r, size_t i, size_t j, int dir) {
    int32_t c = r.cmp(i, j);
    return dir > 0 ? c <= 0 : c >= 0;
}

// Moves the ordered stretch [from, end) to follow the prefix [0, prefix).
// The records in between are unsorted, so their order need not be kept:
// a block exchange when they outnumber the stretch, else a rotation; either
// costs swaps in proportion to the stretch only.
void follow_prefix(const Records& r, size_t prefix, size_t from, size_t end) {
    size_t length = end - from;
    if (from - prefix >= length) {
        for (size_t k = 0; k < length; k++) r.exchange(prefix + k, from + k);
    } else {
        r.reverse(prefix, from);
        r.reverse(from, end);
        r.reverse(prefix, end);
    }
}

// Lengthens the prefix [0, prefix) ordered in direction dir with ordered
// stretches found ahead of it; returns the new prefix length.
size_t gather_stretches(const Records& r, size_t n, size_t prefix, int dir) {
    size_t seen = prefix;  // records before this belong to a stretch already measured
    for (size_t probe = prefix; probe + 1 < n;) {
        if (probe < prefix) probe = prefix;
        if (probe + 1 >= n) break;
        if (!in_order(r, probe, probe + 1, dir)) {
            probe += 10;
            continue;
        }
        size_t start = probe;
        while (start > seen && in_order(r, start - 1, start, dir)) start--;
        size_t end = probe + 2;
        while (end < n && in_order(r, end - 1, end, dir)) end++;
        seen = end;
        if (end - start >= 4) {
            if (start == prefix && in_order(r, prefix - 1, start, dir)) {
                prefix = end;
            } else {
                size_t tries = (end - start) / 2 < prefix / 4 ? (end - start) / 2 : prefix / 4;
                size_t from = start;
                while (from <= start + tries && !in_order(r, prefix - 1, from, dir)) from++;
                if (from <= start + tries) {
                    follow_prefix(r, prefix, from, end);
                    prefix += end - from;
                }
            }
        }
        probe = end > probe + 10 ? end : probe + 10;
    }
    return prefix;
}

}  // namespace

void quick_step(void* base, int32_t presorted, int32_t n, int32_t width, intptr_t arg1,
                intptr_t arg2, Compare compare) {
    if (!worth_sorting(base, n, width, compare)) return;
    size_t known = presorted < 0 ? 0 : presorted > n ? size_t(n) : size_t(presorted);
    quick_range(make_records(base, width, arg1, arg2, compare), size_t(n), known, depth_limit(size_t(n)));
}

void quick(void* base, int32_t n, int32_t width, intptr_t arg1, intptr_t arg2, Compare compare) {
    if (!worth_sorting(base, n, width, compare)) return;
    Records r = make_records(base, width, arg1, arg2, compare);
    size_t count = size_t(n);

    // The presorted prefix and its direction, from the first unequal pair.
    size_t prefix = 1;
    int32_t first = 0;
    while (prefix < count && (first = r.cmp(prefix - 1, prefix)) == 0) prefix++;
    if (prefix == count) return;  // all equal
    int dir = first < 0 ? 1 : -1;
    prefix++;
    while (prefix < count && in_order(r, prefix - 1, prefix, dir)) prefix++;

    // Which way the rest leans, from every 97th pair.
    int64_t score = dir * int64_t(prefix);
    for (size_t i = prefix; i + 1 < count; i += 97) {
        int32_t c = r.cmp(i, i + 1);
        score += c < 0 ? 1 : c > 0 ? -1 : 0;
    }
    int64_t magnitude = score < 0 ? -score : score;
    if (prefix < count && magnitude > int64_t(count / 512)) {
        if ((score > 0) != (dir > 0)) {
            prefix = 1;
            dir = -dir;
        }
        prefix = gather_stretches(r, count, prefix, dir);
    }
    if (dir < 0) r.reverse(0, prefix);
    if (prefix < count) quick_range(r, count, prefix, depth_limit(count));
}

}  // namespace vum::sort
