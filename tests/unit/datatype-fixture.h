// The runtime as far as the datatypes: the core of memory-fixture.h, the
// value stack, errors, and every registered datatype with its action words
// (and the I/O actions the file services give file! and url!).
#pragma once
#include <array>

#include "datatypes/actions.h"
#include "datatypes/all-types.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/string.h"
#include "io/file-url-actions.h"
#include "memory-fixture.h"
#include "memory/ownership.h"
#include "memory/value-stack.h"
#include "view/event-type.h"

class DatatypeTest : public CoreTest {
protected:
    void SetUp() override {
        set_up_core(true);
        vum::ownership::init_table();
        vum::stack::init();
        vum::error::init();
        vum::datatypes::register_all();
        vum::view::register_event_type();  // its actions are in the view module
        vum::file_url_actions::init();
        vum::datatype::make_name_words();
        vum::actions::fill_table();
        for (vum::Cell& c : kept_errors()) c = {vum::type_none, 0, 0, 0};
        vum::gc::add_mark_callback(mark_kept);
        vum::gc::state.enabled = 1;
    }
    void TearDown() override {
        vum::gc::remove_mark_callback(mark_kept);
        vum::stack::s = {};
        CoreTest::TearDown();
    }

    // Errors handed back by caught() stay alive while the test looks at
    // them: the stack that held them has been put back.
    static std::array<vum::Cell, 16>& kept_errors() {
        static std::array<vum::Cell, 16> cells;
        return cells;
    }
    static void mark_kept() { vum::gc::mark_cells(kept_errors().data(), kept_errors().data() + kept_errors().size()); }
    static vum::Cell keep_error(const vum::Cell& e) {
        static size_t next = 0;
        kept_errors()[next++ % kept_errors().size()] = e;
        return e;
    }

    // The error a try frame caught around fn, or none.
    template <class Fn>
    static vum::Cell caught(Fn fn) {
        using namespace vum;
        Cell w = context::load_word("try");
        stack::Mark mark;
        stack::push_native_frame(&w);
        stack::push_try_frame(&w);
        Cell result = {type_none, 0, 0, 0};
        uint32_t code = sys::catch_codes(sys::catch_guard, fn);
        if (code == sys::code_language_error) {
            sys::clear_thrown();
            result = keep_error(*stack::thrown_value());
        }
        return result;
    }
    // The id of an error value, as text.
    static std::string error_id(const vum::Cell& e) {
        if (vum::cell::type(&e) != vum::type_error) return "";
        return vum::symbols::text(int32_t(vum::error::field(&e, vum::error::field_id)->w2));
    }
    static std::string mold(const vum::Cell& v) { return vum::actions::mold_text(&v); }

    static vum::Cell integer(int32_t n) { return {vum::type_integer, 0, uint32_t(n), 0}; }
    static vum::Cell real(double d) {
        vum::Cell c{};
        return *vum::cell::make_float(&c, d);
    }
    static vum::Cell typed(uint8_t t, double d) {
        vum::Cell c = real(d);
        vum::cell::set_type(&c, t);
        return c;
    }

    // Short makers for block tests; the values live on the value stack,
    // which the collector sees.
    static vum::Cell I(int32_t n) { return integer(n); }
    static vum::Cell W(const char* text) {
        return {vum::type_word, 0, uint32_t(vum::symbols::make(text)), uint32_t(-1)};
    }
    static vum::Cell* B(std::initializer_list<vum::Cell> items) {
        vum::Cell* b = vum::stack::push_cell();
        vum::cell::make_none(b);
        vum::block_actions::make_at(b, int32_t(items.size()));
        for (const vum::Cell& c : items) vum::block_actions::append_copy(b, &c);
        return b;
    }
    static vum::Cell* keep(const vum::Cell& c) { return vum::stack::push_copy(&c); }

    // Runs fn the way the evaluator runs a frame handler: a native frame
    // whose argument cells hold the operands; the result is left in the
    // first. An error leaves the frame for the catching try frame to unwind.
    template <class Fn>
    static vum::Cell in_frame(const vum::Cell& a, const vum::Cell* b, Fn fn) {
        using namespace vum;
        Cell w = context::load_word("add");
        Cell* top = stack::s.args_top;
        Cell* args = stack::s.args;
        stack::Frame* calls = stack::s.calls_top;
        stack::push_native_frame(&w);
        *stack::push_cell() = a;
        if (b) *stack::push_cell() = *b;
        fn();
        Cell result = *stack::arg(0);
        stack::s.args_top = top;
        stack::s.args = args;
        stack::s.calls_top = calls;
        return result;
    }
    static std::string form(const vum::Cell& v) { return vum::actions::form_text(&v); }
};
