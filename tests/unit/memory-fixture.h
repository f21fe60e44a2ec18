// A fresh memory manager and collector for each test, with collections off
// until the test turns them on.
#pragma once
#include <gtest/gtest.h>

#include "base/handle-registry.h"
#include "base/system-throw.h"
#include "memory/raise-error.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/memory-manager.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "partial-services.h"

// The id of the error raised by fn, or null when none was.
template <class Fn>
const char* raised(Fn fn) {
    vum::errors::last_raised = {0, nullptr};
    uint32_t code = vum::sys::catch_codes(vum::sys::catch_guard, fn);
    vum::sys::clear_thrown();
    return code == vum::sys::code_language_error ? vum::errors::last_raised.id : nullptr;
}

// Under the torture switch a test whose work is quadratic in collections
// (thousands of allocations over a large heap) collects at a coarser stride
// while it runs: still many collections, moves and growths between them.
class CoarserTorture {
public:
    explicit CoarserTorture(int32_t stride) : saved_(vum::gc::torture_stride_now()) {
        if (saved_ > 0 && saved_ < stride) vum::gc::set_torture(stride);
    }
    ~CoarserTorture() { vum::gc::set_torture(saved_); }
    CoarserTorture(const CoarserTorture&) = delete;
    CoarserTorture& operator=(const CoarserTorture&) = delete;

private:
    int32_t saved_;
};

class MemoryTest : public testing::Test {
protected:
    int32_t saved_torture = 0;
    void SetUp() override {
        partial_services::fill();
        vum::memory::release_all();
        vum::memory::init();
        vum::gc::roots = {};
        vum::gc::state.enabled = 0;
        vum::handle_registry::init();
        saved_torture = vum::gc::torture_stride_now();
    }
    void TearDown() override {
        vum::gc::state.enabled = 0;
        vum::gc::roots = {};
        vum::memory::release_all();
        vum::memory::init();
    }

    // A block of n integer cells 0..n-1.
    static uint32_t integers(int32_t n) {
        uint32_t node = vum::memory::alloc_cells(n);
        for (int32_t i = 0; i < n; i++) vum::cell::make_integer(vum::series::alloc_tail_cell(node), i);
        return node;
    }
    static bool holds_integers(uint32_t node, int32_t n) {
        vum::SeriesBuffer* b = vum::nodes::buffer(node);
        if (int32_t(b->count()) != n) return false;
        auto* c = reinterpret_cast<vum::Cell*>(b->head_ptr());
        for (int32_t i = 0; i < n; i++)
            if (vum::cell::type(c + i) != vum::type_integer || vum::cell::get_integer(c + i) != i) return false;
        return true;
    }
};

// The core that start-up makes before any datatype: the root block, the
// symbol table, the global context, the cycle guard and, on request, the
// runtime's own words.
class CoreTest : public MemoryTest {
protected:
    void SetUp() override { set_up_core(false); }
    void set_up_core(bool runtime_words) {
        MemoryTest::SetUp();
        vum::cell::make_series(&vum::gc::roots.root_block, vum::type_block, vum::memory::alloc_cells(100));
        vum::symbols::init_table();
        vum::context::init_global();
        vum::cycles::init();
        if (runtime_words) vum::runtime_symbols::init_runtime_words();
    }
};
