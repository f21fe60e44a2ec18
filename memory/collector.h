// The garbage collector: mark from the roots, then compact the series
// frames so the bump allocator finds room again. Dead buffers give their
// nodes back; unmarked big frames go back to the operating system. Node ids
// never change, so a cell stays valid across any collection; buffer
// addresses do not.
#pragma once
#include <cstdint>

#include "memory/cell.h"

namespace vum::gc {

struct State {
    int32_t enabled;       // collections may start from the allocator
    int32_t in_progress;
    int32_t collections;
    int32_t evacuations;   // node frames emptied by moving nodes: never, ids are stable
};
extern State state;

void init();
void collect();
void collect_if_enabled();
bool in_progress();

// Torture: VUM_GC_TORTURE=N collects at every Nth allocation (1: every one)
// and moves every live buffer each time.
bool torture();
int32_t torture_stride_now();
void set_torture(int32_t stride);  // tests
// The stride used while the environment loads at start-up: the same boot
// runs in every test process and its allocations, and so the points where
// torture collects, are the same each time; one run under the full switch
// covers them. So under torture the boot collects every
// VUM_GC_TORTURE_BOOT-th allocation (default 512) unless the run's own
// stride is coarser; VUM_GC_TORTURE_BOOT=1 gives the boot the full switch.
int32_t torture_boot_stride();
void allocation_tick();

using MarkCallback = void (*)();
void add_mark_callback(MarkCallback fn);
void remove_mark_callback(MarkCallback fn);


// Marking primitives for roots and for the types' own marking. Each takes
// the node (or the cells) and marks what it reaches; cells are scanned from
// an explicit stack, never by recursion.
bool mark_series(uint32_t node);         // true when newly marked
bool mark_series_cells(uint32_t node);
void mark_block(const Cell* c);
void mark_context(uint32_t node);
void mark_cells(const Cell* first, const Cell* last);  // [first, last)
void clear_mark(uint32_t node);

// Cells owned by C++ code that must survive collections: registered for as
// long as the guard lives.
class Protect {
public:
    // A linked list through the guards themselves: guarding costs two
    // stores, and C++ scopes end in reverse order, exits included.
    Protect(Cell* cells, int32_t count) : first(cells), count(count), outer(innermost) { innermost = this; }
    explicit Protect(Cell* c) : Protect(c, 1) {}
    ~Protect() { innermost = outer; }
    Protect(const Protect&) = delete;
    Protect& operator=(const Protect&) = delete;

    static inline Protect* innermost = nullptr;
    const Cell* first;
    int32_t count;
    Protect* outer;
};

// A cell local to C++ code, guarded for its scope: `gc::Local v(*value);`
// in place of a Cell and its Protect. It is the cell, so `&v` serves as a Cell*
// and the fields read as before; the guard costs what a Protect costs.
// Its address is registered, so it is never copied or moved as a whole;
// assigning a cell (or another Local) replaces only the value it guards.
// Pointer arithmetic on `&v` would step over the guard: one cell, no array.
class Local : public Cell {
public:
    explicit Local(const Cell& value) : Cell(value), guard(this) {}
    Local(const Local&) = delete;
    Local& operator=(const Local& other) { return *this = static_cast<const Cell&>(other); }
    Local& operator=(const Cell& value) {
        Cell::operator=(value);
        return *this;
    }

private:
    Protect guard;
};

// A node held by C++ code (not inside any cell).
class ProtectNode {
public:
    explicit ProtectNode(const uint32_t* node) : node(node), outer(innermost) { innermost = this; }
    ~ProtectNode() { innermost = outer; }
    ProtectNode(const ProtectNode&) = delete;
    ProtectNode& operator=(const ProtectNode&) = delete;

    static inline ProtectNode* innermost = nullptr;
    const uint32_t* node;
    ProtectNode* outer;
};

// Roots that the runtime's modules keep; the collector marks each that is set.
struct Roots {
    Cell root_block;          // every permanent value
    uint32_t symbol_table;    // hash table of the symbols
    uint32_t ownership_table;
    uint32_t arg_stack;       // the stacks' series only: the value stack marks its live cells
    uint32_t call_stack;
    uint32_t global_context;
    uint32_t take_scratch;
    // The expression being evaluated, for error reports: its block's node
    // (0: none) and its index there. Eight bytes, saved and put back around
    // every block the interpreter runs.
    struct Expression {
        uint32_t node;
        uint32_t position;
    } current_expression;
    uint32_t cell_slot_table;
};
extern Roots roots;

}  // namespace vum::gc
