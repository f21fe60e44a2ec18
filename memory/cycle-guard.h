// The series being visited by a recursive operation (mold, form, compare,
// binding, ownership), so that a series that contains itself is met once
// instead of recursing for ever.
#pragma once
#include <cstdint>

namespace vum::cycles {

constexpr int32_t capacity = 1000;  // at most 999 visits stand at once

void init();
// Raises internal too-deep, after emptying the stack, at the 1,000th entry.
void push(uint32_t node);
void pop();
void pop_n(int32_t n);
void reset();
bool find(uint32_t node);
int32_t depth();

// Pushes on construction and pops on destruction, also when an error
// leaves the visit.
class Visit {
public:
    explicit Visit(uint32_t node) { push(node); }
    ~Visit() { pop(); }
    Visit(const Visit&) = delete;
    Visit& operator=(const Visit&) = delete;
};

// A Visit only when `active`: the deep forms of an operation visit what
// they recurse into, the shallow ones do not recurse.
class VisitIf {
public:
    VisitIf(uint32_t node, bool active) : active_(active) {
        if (active) push(node);
    }
    ~VisitIf() {
        if (active_) pop();
    }
    VisitIf(const VisitIf&) = delete;
    VisitIf& operator=(const VisitIf&) = delete;

private:
    bool active_;
};

}  // namespace vum::cycles
