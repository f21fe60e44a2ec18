#include "memory/cycle-guard.h"

#include "base/tracked-heap.h"
#include "memory/raise-error.h"

namespace vum::cycles {

namespace {
uint32_t* stack = nullptr;
int32_t top = 0;
}  // namespace

void init() {
    if (!stack) stack = static_cast<uint32_t*>(heap::alloc(capacity * int32_t(sizeof(uint32_t))));
    top = 0;
}

void push(uint32_t node) {
    if (!stack) init();
    stack[top++] = node;
    if (top == capacity) {
        top = 0;
        errors::raise(err::internal::too_deep);
    }
}

void pop() {
    if (top > 0) top--;
}

void pop_n(int32_t n) { top = n >= top ? 0 : top - (n > 0 ? n : 0); }

void reset() { top = 0; }

bool find(uint32_t node) {
    for (int32_t i = 0; i < top; i++)
        if (stack[i] == node) return true;
    return false;
}

int32_t depth() { return top; }

}  // namespace vum::cycles
