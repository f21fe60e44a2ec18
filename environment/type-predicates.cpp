#include "environment/type-predicates.h"

#include <utility>

#include "datatypes/function.h"
#include "memory/context.h"
#include "memory/typed-access.h"

namespace vum::boot {

namespace {

using routines::MachineValue;

MachineValue answer(bool yes) { return MachineValue{.integer = yes}; }

// One comparison of the datatype id.
template <uint8_t T>
MachineValue is_type(const MachineValue* args, int32_t) {
    return answer(cell::type(args[0].cell) == T);
}

constexpr struct {
    const char* name;
    routines::RoutineFn code;
} predicates[] = {
    {"bitset?", is_type<type_bitset>},       {"binary?", is_type<type_binary>},
    {"block?", is_type<type_block>},         {"char?", is_type<type_char>},
    {"email?", is_type<type_email>},         {"file?", is_type<type_file>},
    {"float?", is_type<type_float>},         {"get-path?", is_type<type_get_path>},
    {"get-word?", is_type<type_get_word>},   {"hash?", is_type<type_hash>},
    {"integer?", is_type<type_integer>},     {"issue?", is_type<type_issue>},
    {"lit-path?", is_type<type_lit_path>},   {"lit-word?", is_type<type_lit_word>},
    {"logic?", is_type<type_logic>},         {"map?", is_type<type_map>},
    {"pair?", is_type<type_pair>},           {"paren?", is_type<type_paren>},
    {"path?", is_type<type_path>},           {"percent?", is_type<type_percent>},
    {"refinement?", is_type<type_refinement>}, {"set-path?", is_type<type_set_path>},
    {"set-word?", is_type<type_set_word>},   {"string?", is_type<type_string>},
    {"tag?", is_type<type_tag>},             {"time?", is_type<type_time>},
    {"typeset?", is_type<type_typeset>},     {"tuple?", is_type<type_tuple>},
    {"unset?", is_type<type_unset>},         {"url?", is_type<type_url>},
    {"word?", is_type<type_word>},           {"none?", is_type<type_none>},
    {"image?", is_type<type_image>},         {"date?", is_type<type_date>},
    {"money?", is_type<type_money>},         {"ref?", is_type<type_ref>},
    {"point2D?", is_type<type_point2d>},     {"point3D?", is_type<type_point3d>},
    {"handle?", is_type<type_handle>},       {"error?", is_type<type_error>},
    {"action?", is_type<type_action>},       {"native?", is_type<type_native>},
    {"datatype?", is_type<type_datatype>},   {"function?", is_type<type_function>},
    {"object?", is_type<type_object>},       {"op?", is_type<type_op>},
    {"routine?", is_type<type_routine>},     {"vector?", is_type<type_vector>},
};

// The typeset tests, each with the typeset word it reads at every call, so
// that redefining the word changes the answer.
constexpr struct {
    const char* name;
    const char* typeset;
} typeset_tests[] = {
    {"any-list?", "any-list!"},     {"any-block?", "any-block!"}, {"any-function?", "any-function!"},
    {"any-object?", "any-object!"}, {"any-path?", "any-path!"},   {"any-string?", "any-string!"},
    {"any-word?", "any-word!"},     {"series?", "series!"},       {"number?", "number!"},
    {"immediate?", "immediate!"},   {"scalar?", "scalar!"},       {"all-word?", "all-word!"},
    {"any-point?", "any-point!"},   {"planar?", "planar!"},
};
constexpr int typeset_test_count = int(sizeof typeset_tests / sizeof typeset_tests[0]);

// The global words of the typesets, bound when the tests register. A word
// of the global context keeps its slot, so each call is an indexed read.
Cell typeset_words[typeset_test_count];

template <int K>
MachineValue in_typeset(const MachineValue* args, int32_t) {
    const Cell* typeset = context::get_word_value(&typeset_words[K]);
    return answer(cell::type(typeset) == type_typeset && typeset::has_type(typeset, cell::type(args[0].cell)));
}

template <int... K>
void register_typeset_tests(std::integer_sequence<int, K...>) {
    ((typeset_words[K] = context::load_word(typeset_tests[K].typeset),
      routines::register_routine(typeset_tests[K].name, in_typeset<K>)),
     ...);
}

}  // namespace

void register_type_predicates() {
    for (const auto& p : predicates) routines::register_routine(p.name, p.code);
    register_typeset_tests(std::make_integer_sequence<int, typeset_test_count>());
}

}  // namespace vum::boot
