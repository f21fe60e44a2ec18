// The runtime services of a test runtime started up to the datatypes: the
// datatypes offer their own, and stand-ins do what the lower floors got
// while nothing above them was started. Fixtures that start the engine add
// its own services over these (eval::offer_services, lexer::offer_services).
#pragma once
#include "base/system-throw.h"
#include "datatypes/block.h"
#include "datatypes/error.h"
#include "datatypes/image-record.h"
#include "datatypes/map.h"
#include "datatypes/object.h"
#include "datatypes/word.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"

namespace partial_services {

// make's spec without an evaluator: each run of set-words (bound to the new
// object) takes the value after it as it stands; a run at the end keeps its
// values.
inline void assign_spec_runs(const vum::Cell* spec) {
    using namespace vum;
    gc::Local s(*spec);
    int32_t run_start = -1;
    for (int32_t i = cell::series_index(&s); i < block_actions::buffer_length(cell::series_node(&s)); i++) {
        if (cell::type(block_actions::cell_at(cell::series_node(&s), i)) == type_set_word) {
            if (run_start < 0) run_start = i;
            continue;
        }
        if (run_start < 0) continue;
        gc::Local v(*block_actions::cell_at(cell::series_node(&s), i));
        for (int32_t k = run_start; k < i; k++) {
            Cell w = *block_actions::cell_at(cell::series_node(&s), k);
            context::set_word_value(&w, &v);
        }
        run_start = -1;
    }
}

inline vum::services::Services make() {
    using namespace vum;
    services::Services s{};
    object_type::offer_services(s);
    s.prepare_map_key = map_type::prepare_key;
    s.mark_image = image_record::gc_mark;
    error::offer_services(s);
    s.note_error = [](const Cell*) {};
    s.load_first_value = word::stand_in_load_first;
    s.lex_type = word::stand_in_lex_type;
    s.load_text = [](const Cell*, Cell*) { errors::raise(err::internal::not_done); };
    s.count_locals = [](const Cell*, uint32_t* spec_node) {
        *spec_node = 0;
        return int32_t(0);
    };
    s.evaluate_spec = assign_spec_runs;
    s.money_digits = [] { return static_cast<const Cell*>(nullptr); };
    s.stack_trace_level = [] { return int32_t(0); };
    s.source_files = [](Cell*) { return false; };
    // Calling a function needs the interpreter: a test that reaches this
    // without one is at fault, as a C++ caller without a runner was.
    s.run_call = [](call::Request&, Cell*) { sys::terminate(98, 0); };
    return s;
}

// Puts the partial set in place of whatever an earlier test left.
inline void fill() { vum::services::current = make(); }

}  // namespace partial_services
