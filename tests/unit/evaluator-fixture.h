// The datatype fixture with the means to put test functions in the global
// context: natives the test installs, functions and operators.
#pragma once
#include <cstring>
#include <string>

#include "datatype-fixture.h"
#include "datatypes/function.h"
#include "datatypes/word.h"
#include "engine/lexer.h"
#include "memory/context.h"
#include "memory/symbols.h"

class EvaluatorTest : public DatatypeTest {
protected:
    // The loaded block, on the value stack.
    vum::Cell* load(const char* text) {
        using namespace vum;
        Cell* b = stack::push_cell();
        cell::make_none(b);
        lexer::load_utf8(text, int32_t(strlen(text)), b);
        return b;
    }

    // Binds a global word to a native made from [spec index], or to a
    // function made from [spec body], or to an op! of another word's value.
    void define(const char* name, const char* source) {
        using namespace vum;
        stack::Mark mark;
        Cell* b = load(source);
        Cell head = series::cells_head(b->w2)[0];
        std::string what = symbols::text(int32_t(head.w2));
        Cell* arg = stack::push_copy(series::cells_head(b->w2) + 1);
        Cell* result = stack::push_cell();
        if (what == "make-native") {
            auto make = actions::handler<actions::slot_make>(type_native);
            make(nullptr, arg, type_native, result);
        } else if (what == "make-op") {
            Cell source_value = *word::value_address(arg);
            auto make = actions::handler<actions::slot_make>(type_op);
            make(nullptr, &source_value, type_op, result);
        } else {
            Cell* body = stack::push_copy(series::cells_head(b->w2) + 2);
            function::make_func(arg, body, result);
        }
        Cell w = context::load_word(name);
        context::set_word_value(&w, result);
    }
};
