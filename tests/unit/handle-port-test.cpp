// What the transcripts cannot reach, since only the runtime makes handles:
// handle!'s text forms and comparison, handles over registry slots and
// their collection, and ports whose actor is a native actor table, which
// the action front-ends consult before the port's own handlers.
// tests/transcripts/port.transcript covers actors written in the language.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/handle-registry.h"
#include "datatype-fixture.h"
#include "datatypes/handle.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/port.h"
#include "engine/action-front-ends.h"
#include "memory/context.h"

using namespace vum;

namespace {

// What the native actor below was called with.
std::string seen;

void native_at() { cell::make_integer(stack::arg(0), cell::get_integer(stack::arg(1)) + 100); }

void native_insert(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, bool append,
                   Cell* result) {
    seen = (append ? "append " : "insert ") + actions::mold_text(value) + " part " +
           (part ? actions::mold_text(part) : "-") + (only ? " only" : "") + " dup " +
           (dup ? actions::mold_text(dup) : "-");
    *result = *series;
}

void native_read(const Cell*, const Cell* part, const Cell*, bool, bool, bool, const Cell*, Cell* result) {
    *result = string::from_utf8(part ? "part" : "whole");
}

const port::ActorTable& native_actor() {
    static const port::ActorTable table = port::ActorTable()
                                              .set<actions::slot_at>(native_at)
                                              .set<actions::slot_insert>(native_insert)
                                              .set<actions::slot_append>(native_insert)
                                              .set<actions::slot_read>(native_read);
    return table;
}

class HandlePortTest : public DatatypeTest {
protected:
    void SetUp() override {
        DatatypeTest::SetUp();
        actions::register_front_ends();
        seen.clear();
    }

    // Calls the slot's front-end as the interpreter does: the arguments in
    // a native frame, then the arguments of each refinement used, by its
    // place among the action's refinements.
    static Cell call(int32_t slot, const std::vector<Cell>& arguments,
                     const std::vector<std::pair<int32_t, std::vector<Cell>>>& used = {}) {
        return in_frame(arguments[0], arguments.size() > 1 ? &arguments[1] : nullptr, [&] {
            for (size_t i = 2; i < arguments.size(); i++) *stack::push_cell() = arguments[i];
            int32_t refinements[16];
            for (int32_t& r : refinements) r = -1;
            for (const auto& [k, cells] : used) {
                refinements[k] = int32_t(stack::s.args_top - stack::s.args);
                for (const Cell& c : cells) *stack::push_cell() = c;
            }
            natives::front_end_at(slot)(refinements);
        });
    }
    // The error fn raised, or none. The forwarding to actors restores the
    // stack top as the error leaves, so the error is read where the throw
    // keeps it, not from the stack.
    template <class Fn>
    static Cell caught(Fn fn) {
        Cell w = context::load_word("try");
        stack::Mark mark;
        stack::push_native_frame(&w);
        stack::push_try_frame(&w);
        Cell result = {type_none, 0, 0, 0};
        if (sys::catch_codes(sys::catch_guard, fn) == sys::code_language_error) {
            sys::clear_thrown();
            result = keep_error(*stack::thrown_value());
        }
        return result;
    }
    template <class Fn>
    static std::string error_of(Fn fn) {
        return error_id(caught(fn));
    }

    static Cell* object_with(std::initializer_list<std::pair<const char*, Cell>> fields) {
        Cell* o = stack::push_cell();
        object_type::make_at(o, int32_t(fields.size()));
        for (const auto& [name, value] : fields) {
            Cell v = value;
            context::put_word_value(o->w1, symbols::make(name), &v);
        }
        return o;
    }

    // Registers a scheme of the actor in system/schemes and makes a port
    // of it.
    static Cell* port_with_actor(const Cell& actor) {
        Cell* scheme = object_with({{"name", W("native")}, {"actor", actor}});
        Cell* schemes = B({W("native"), *scheme});
        Cell* system = object_with({{"schemes", *schemes}});
        Cell w = context::load_word("system");
        context::set_word_value(&w, system);
        Cell* spec = object_with({{"scheme", W("native")}});
        Cell* p = stack::push_cell();
        port::make(nullptr, spec, type_port, p);
        return p;
    }
};

TEST_F(HandlePortTest, HandleTextForms) {
    struct Case {
        uint32_t kind;
        uint32_t data;
        const char* form;
        const char* mold_all;
    } cases[] = {
        {handle::kind_null, 0, "00000000h", "#[handle! 00000000h]"},
        {handle::kind_window, 0x1A2B0, "0001A2B0h", "#[handle! 0001A2B0h window]"},
        {handle::kind_fd, 3, "00000003h", "#[handle! 00000003h fd]"},
        {handle::kind_rich_text, 0xFFFFFFFF, "FFFFFFFFh", "#[handle! FFFFFFFFh rich-text]"},
        {77, 0xABCDEF01, "ABCDEF01h", "#[handle! ABCDEF01h]"},
    };
    for (const Case& c : cases) {
        Cell h;
        handle::make_at(&h, c.kind, c.data);
        EXPECT_EQ(form(h), c.form);
        EXPECT_EQ(mold(h), "handle!");
        EXPECT_EQ(actions::mold_text(&h, true), c.mold_all);
    }
    Cell h;
    handle::make_at(&h, handle::kind_window, 0x1A2B0);
    Cell limit = I(5);
    Cell part = call(actions::slot_mold, {h}, {{1, {}}, {3, {limit}}});
    EXPECT_EQ(mold(part), "\"#[han\"");
}

TEST_F(HandlePortTest, HandlesCompareByTheirDataAlone) {
    Cell window, font, low, high;
    handle::make_at(&window, handle::kind_window, 42);
    handle::make_at(&font, handle::kind_font, 42);
    handle::make_at(&low, handle::kind_null, 0xFFFFFFFF);  // -1 as a signed word
    handle::make_at(&high, handle::kind_null, 1);
    EXPECT_TRUE(actions::compare(&window, &font, actions::op_equal));
    EXPECT_TRUE(actions::compare(&window, &font, actions::op_strict_equal));
    EXPECT_TRUE(actions::compare(&low, &high, actions::op_lesser));
    EXPECT_FALSE(actions::compare(&high, &low, actions::op_lesser_equal));
    Cell n = I(42);
    EXPECT_EQ(actions::call_compare(&window, &n, actions::op_equal), actions::not_comparable);
    EXPECT_FALSE(actions::compare(&window, &n, actions::op_equal));
    EXPECT_EQ(error_of([&] { actions::compare(&window, &n, actions::op_lesser); }), "invalid-compare");
    // Nothing of integer!'s arithmetic is taken.
    EXPECT_EQ(datatype::handler(type_handle, actions::slot_add), nullptr);
    EXPECT_EQ(datatype::handler(type_handle, actions::slot_make), nullptr);
}

TEST_F(HandlePortTest, HandleMakers) {
    Cell* b = B({});
    handle::append_to_block(b, handle::kind_monitor, 7);
    Cell* pushed = handle::push(handle::kind_font);
    EXPECT_EQ(actions::mold_text(b, true), "[#[handle! 00000007h monitor]]");
    EXPECT_EQ(actions::mold_text(pushed, true), "#[handle! 00000000h font]");
    Cell result = in_frame(I(0), nullptr, [] { handle::set_result(handle::kind_window, 9); });
    EXPECT_EQ(actions::mold_text(&result, true), "#[handle! 00000009h window]");
    EXPECT_EQ(int32_t(result.w3), -1);
}

TEST_F(HandlePortTest, RegisteredHandlesLiveAsLongAsTheirValues) {
    int32_t kind = handle_registry::register_kind("test-resource", nullptr);
    int32_t other = handle_registry::register_kind("other-resource", nullptr);
    int payload = 0;
    Cell* kept = stack::push_cell();
    handle::make_registered(kept, handle::kind_null, &payload, kind);
    Cell dropped;
    handle::make_registered(&dropped, handle::kind_null, &payload, kind);
    Cell plain;
    handle::make_at(&plain, handle::kind_fd, kept->w2);
    EXPECT_EQ(handle::registered_data(kept, kind), &payload);
    EXPECT_EQ(handle::registered_data(kept, other), nullptr);
    EXPECT_EQ(handle::registered_data(&plain, kind), nullptr);
    gc::collect();
    EXPECT_EQ(handle::registered_data(kept, kind), &payload);
    EXPECT_FALSE(handle_registry::is_live(int32_t(dropped.w3)));
    EXPECT_EQ(handle::registered_data(&dropped, kind), nullptr);
}

TEST_F(HandlePortTest, NativeActorTableAnswersFromAppendOn) {
    Cell* actor = stack::push_cell();
    *actor = port::make_actor_handle(native_actor());
    Cell* p = port_with_actor(*actor);
    ASSERT_EQ(cell::type(p), type_port);
    gc::collect();  // the scheme keeps the table's registry slot alive

    EXPECT_EQ(mold(call(actions::slot_at, {*p, I(3)})), "103");
    Cell* text = keep(string::from_utf8("abc"));
    Cell r = call(actions::slot_insert, {*p, *text}, {{0, {I(2)}}, {1, {}}});
    EXPECT_EQ(seen, "insert \"abc\" part 2 only dup -");
    EXPECT_EQ(cell::type(&r), type_port);
    call(actions::slot_append, {*p, *text}, {{2, {I(3)}}});
    EXPECT_EQ(seen, "append \"abc\" part - dup 3");
    // The table's read, not the port's own.
    EXPECT_EQ(mold(call(actions::slot_read, {*p})), "\"whole\"");
    EXPECT_EQ(mold(call(actions::slot_read, {*p}, {{0, {I(1)}}})), "\"part\"");
    // An empty entry.
    Cell e = caught([&] { call(actions::slot_pick, {*p, I(1)}); });
    EXPECT_EQ(error_id(e), "no-port-action");
    EXPECT_EQ(error_id(caught([&] { call(actions::slot_open_q, {*p}); })), "no-port-action");
    // Below append the port's own row still answers.
    EXPECT_EQ(form(*p).substr(0, 12), "make port! [");
    EXPECT_EQ(mold(*object_type::select_word(p, keep(W("scheme")))), "native");
}

TEST_F(HandlePortTest, PortsWithoutAnActorObject) {
    // A handle that is no actor table leaves the port to its own row, whose
    // forwarding needs an actor object.
    Cell fd;
    handle::make_at(&fd, handle::kind_fd, 4);
    Cell* p = port_with_actor(fd);
    Cell e = caught([&] { call(actions::slot_at, {*p, I(1)}); });
    EXPECT_EQ(error_id(e), "invalid-port");
    EXPECT_EQ(cell::type(error::field(&e, error::field_arg1)), type_port);
    EXPECT_EQ(error_id(caught([&] { call(actions::slot_read, {*p}); })), "invalid-port");

    Cell* bad = object_with({{"name", W("bad")}, {"actor", I(5)}});
    Cell* schemes = B({W("bad"), *bad});
    Cell w = context::load_word("system");
    context::set_word_value(&w, object_with({{"schemes", *schemes}}));
    Cell* spec = object_with({{"scheme", W("bad")}});
    Cell* out = stack::push_cell();
    EXPECT_EQ(error_id(caught([&] { port::make(nullptr, spec, type_port, out); })), "invalid-actor");
}

}  // namespace
