// In-place sorting of fixed-width records through a comparison callback.
// The sorts know nothing of cells or characters: a record is `width` bytes
// at base + i x width, and only the callback looks inside it. `merge` is
// stable (sort/stable); `quick` is not, and adapts to presorted input.
//
// The records usually live in a series buffer, so the caller must make sure
// nothing allocates series memory while a sort runs: a collection would move
// the buffer under the sort. A callback may raise a language error; the
// sort then unwinds with the records still a permutation of the input and
// its scratch memory released.
#pragma once
#include <cstdint>

namespace vum::sort {

// Below 0 when x sorts before y, 0 when they are equal, above 0 when x sorts
// after y. arg1 and arg2 are the caller's, passed through untouched.
using Compare = int32_t (*)(const void* x, const void* y, intptr_t arg1, intptr_t arg2);

// What the merge step needs to compare records, in one place.
struct CompareRecord {
    int32_t width;  // bytes per record
    intptr_t arg1;
    intptr_t arg2;
    Compare compare;
};

// Stable sort of n records. Takes a scratch buffer of (n / 2) x width bytes
// from the tracked heap; when that size does not fit a signed 32-bit integer
// the script error `too-long` is raised before any record moves.
void merge(void* base, int32_t n, int32_t width, intptr_t arg1, intptr_t arg2, Compare compare);

// Unstable sort of n records, in place, O(n log n) comparisons at worst.
void quick(void* base, int32_t n, int32_t width, intptr_t arg1, intptr_t arg2, Compare compare);

// Sorts n cells of a block's series from element start, stable or not, for
// comparisons that run language code: the cells are sorted in a copy that
// the collector sees and that never moves, then written back through the
// node.
void cells(uint32_t node, int32_t start, int32_t n, bool stable, intptr_t arg1, intptr_t arg2, Compare compare);

// Exchanges two records of `bytes` bytes, by 32-bit words unless bytewise.
// Neither address needs any alignment.
void swap(void* x, void* y, int32_t bytes, bool bytewise);

// The end of the natural run that begins at start (before end): ascending
// (neighbours comparing at or below 0) or strictly descending, which is
// reversed in place. Equal neighbours never join a descending run, so the
// reversal keeps equal records in order.
uint8_t* find_run(uint8_t* start, uint8_t* end, int32_t width, intptr_t arg1, intptr_t arg2,
                  Compare compare);

// Merges the sorted runs [left, middle) and [middle, end), stably, copying
// the shorter one to scratch, which must hold it.
void merge_runs(uint8_t* left, uint8_t* middle, uint8_t* end, uint8_t* scratch,
                const CompareRecord& record);

// Sorts n records of which the first `presorted` are known to be in
// ascending order already (only the pivot choice relies on it; a wrong
// count costs time, never correctness).
void quick_step(void* base, int32_t presorted, int32_t n, int32_t width, intptr_t arg1,
                intptr_t arg2, Compare compare);

}  // namespace vum::sort
