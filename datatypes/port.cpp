#include "datatypes/port.h"

#include <initializer_list>
#include <iterator>

#include "base/handle-registry.h"
#include "datatypes/block.h"
#include "datatypes/handle.h"
#include "datatypes/object.h"
#include "datatypes/string.h"
#include "memory/call.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::port {

namespace {

using namespace actions;

const Cell none_value = {type_none, 0, 0, 0};

constexpr const char* port_fields[] = {"spec", "scheme", "actor", "awake", "state", "data", "extra"};
constexpr const char* spec_fields[] = {"scheme", "user-info", "host", "port", "path",
                                       "target", "query", "fragment", "ref"};

Cell word_of(const char* name) { return {type_word, 0, uint32_t(symbols::make(name)), uint32_t(-1)}; }

bool is_object_kind(uint8_t t) { return t == type_object || t == type_error || t == type_port; }

// The field's value (unset for a slot never written), or none when the
// object lacks the word.
Cell field(const Cell* object, const char* name) {
    Cell word = word_of(name);
    Cell v = *object_type::select_word(object, &word);
    if (cell::type(&v) == 0) cell::make_unset(&v);
    return v;
}

void set_field(const Cell* object, const char* name, const Cell* value) {
    gc::Local v(*value);
    context::put_word_value(object->w1, symbols::make(name), &v);
}

// system, then down the named fields; none when a step is missing.
Cell system_value(std::initializer_list<const char*> names) {
    Cell* root = context::value_of_symbol(context::global, symbols::make("system"));
    Cell v = root ? *root : none_value;
    for (const char* name : names) {
        if (!is_object_kind(cell::type(&v))) return none_value;
        v = field(&v, name);
    }
    return v;
}

// A new object of the fields, all none, with its type and class id.
Cell new_object(const char* const* names, int32_t count, uint8_t type, uint32_t class_id) {
    gc::Local o(none_value);
    object_type::make_at(&o, count);
    for (int32_t i = 0; i < count; i++) context::put_word_value(o.w1, symbols::make(names[i]), &none_value);
    cell::set_type(&o, type);
    o.w2 = class_id;
    *context::owner_cell(o.w1) = o;
    return o;
}

// The system's standard prototype of that name, or one made here with the
// same fields.
Cell prototype(const char* name, const char* const* names, int32_t count, uint32_t class_id) {
    Cell standard = system_value({"standard", name});
    if (cell::type(&standard) == type_object) return standard;
    return new_object(names, count, type_object, class_id);
}

// The scheme object registered under the word, or none.
Cell find_scheme(const Cell* name) {
    gc::Local schemes(system_value({"schemes"}));
    int32_t want = symbols::resolve(int32_t(name->w2));
    if (is_object_kind(cell::type(&schemes))) {
        Cell word = {type_word, 0, name->w2, uint32_t(-1)};
        return *object_type::select_word(&schemes, &word);
    }
    if (cell::type(&schemes) != type_block) return none_value;
    for (int32_t i = int32_t(schemes.w1); i + 1 < block_actions::buffer_length(schemes.w2); i += 2) {
        const Cell* c = block_actions::cell_at(schemes.w2, i);
        uint8_t t = cell::type(c);
        if (t >= type_word && t <= type_get_word && symbols::resolve(int32_t(c->w2)) == want)
            return *block_actions::cell_at(schemes.w2, i + 1);
    }
    return none_value;
}

// ---- Native actor tables ----

const char actor_tag[] = "port-actor";
int32_t actor_kind_id = 0;

// The registry kind of actor tables, registered on first use (the registry
// starts over when the runtime does).
int32_t actor_kind(bool create) {
    const handle_registry::HandleKind* k = handle_registry::kind(actor_kind_id);
    if (k && k->tag == actor_tag) return actor_kind_id;
    if (!create) return -1;
    actor_kind_id = handle_registry::register_kind(actor_tag, nullptr);
    return actor_kind_id;
}

// ---- Forwarding to the actor ----

bool is_callable(uint8_t t) { return t == type_function || t == type_native || t == type_action; }

// A refinement of the action as the caller used it.
struct Refinement {
    const char* name;
    bool used;
    const Cell* value;  // its argument, or null
};

// Calls the actor function named after the action with the port and the
// action's other arguments, and stores its result. Arguments go to the
// actor's parameters in order, as they stand; each refinement the caller
// used goes to the actor's refinement of the same name (with its argument),
// and any other refinement of the actor stays off. Missing arguments are
// none.
void forward(int32_t slot, std::initializer_list<const Cell*> positional,
             std::initializer_list<Refinement> refinements, Cell* result) {
    stack::Mark mark;
    // Every value the call needs lives on the value stack from here on.
    Cell* first = stack::s.args_top;
    for (const Cell* p : positional) stack::push_copy(p ? p : &none_value);
    Cell* refinement_values = stack::s.args_top;
    for (const Refinement& r : refinements) stack::push_copy(r.value ? r.value : &none_value);

    Cell* name = stack::push_cell();
    *name = actions::word(slot);
    Cell* actor = stack::push_cell();
    *actor = actor_of(first);
    Cell* function = stack::push_cell();
    *function = *object_type::select_word(actor, name);
    if (!is_callable(cell::type(function))) errors::raise(err::access::no_port_action, name);

    call::Call call(function, name);
    for (size_t i = 0; i < positional.size(); i++) call.arg(first + i);
    int32_t k = 0;
    for (const Refinement& r : refinements) {
        if (r.used) {
            if (r.value) call.refine(r.name, {refinement_values + k});
            else call.refine(r.name);
        }
        k++;
    }
    call.run(result);
}

// ---- The forwarding handlers, one per slot signature ----

template <int32_t Slot>
void forward_frame_1() {
    forward(Slot, {stack::arg(0)}, {}, stack::arg(0));
}

template <int32_t Slot>
void forward_frame_2() {
    forward(Slot, {stack::arg(0), stack::arg(1)}, {}, stack::arg(0));
}

void forward_insert(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, bool append,
                    Cell* result) {
    forward(append ? slot_append : slot_insert, {series, value},
            {{"part", part != nullptr, part}, {"only", only, nullptr}, {"dup", dup != nullptr, dup}}, result);
}

void forward_change(Cell* series, const Cell* value, const Cell* part, bool only, const Cell* dup, Cell* result) {
    forward(slot_change, {series, value},
            {{"part", part != nullptr, part}, {"only", only, nullptr}, {"dup", dup != nullptr, dup}}, result);
}

template <int32_t Slot>
void forward_target(const Cell* target, Cell* result) {
    forward(Slot, {target}, {}, result);
}

void forward_clear(Cell* value, Cell* result) { forward(slot_clear, {value}, {}, result); }

void forward_copy(const Cell* series, Cell* result, const Cell* part, bool deep, const Cell* types) {
    forward(slot_copy, {series},
            {{"part", part != nullptr, part}, {"deep", deep, nullptr}, {"types", types != nullptr, types}}, result);
}

template <int32_t Slot>
void forward_find(const Cell* series, const Cell* value, const FindOptions& o, Cell* result) {
    bool find = Slot == slot_find;
    forward(Slot, {series, value},
            {{"part", o.part != nullptr, o.part},
             {"only", o.only, nullptr},
             {"case", o.case_sensitive, nullptr},
             {"same", o.same, nullptr},
             {"any", o.any, nullptr},
             {"with", o.with != nullptr, o.with},
             {"skip", o.skip != nullptr, o.skip},
             {"last", o.last, nullptr},
             {"reverse", o.reverse, nullptr},
             {"tail", find && o.tail, nullptr},
             {"match", find && o.match, nullptr}},
            result);
}

// length? answers the integer the actor gives, or none.
int32_t forward_length(Cell* value) {
    gc::Local out(none_value);
    forward(slot_length_q, {value}, {}, &out);
    if (cell::type(&out) == type_none) return -1;
    if (cell::type(&out) != type_integer || cell::get_integer(&out) < 0) {
        Cell wanted = cell::make_datatype(type_integer);
        Cell got = cell::make_datatype(cell::type(&out));
        errors::raise(err::script::expect_val, &wanted, &got);
    }
    return cell::get_integer(&out);
}

void forward_move(Cell* origin, Cell* target, const Cell* part, Cell* result) {
    forward(slot_move, {origin, target}, {{"part", part != nullptr, part}}, result);
}

void forward_pick(const Cell* series, const Cell* index, int32_t, Cell* result) {
    forward(slot_pick, {series, index}, {}, result);
}

void forward_poke(Cell* series, const Cell* index, const Cell* value, int32_t, Cell* result) {
    forward(slot_poke, {series, index, value}, {}, result);
}

void forward_put(Cell* series, const Cell* key, const Cell* value, bool case_sensitive, Cell* result) {
    forward(slot_put, {series, key, value}, {{"case", case_sensitive, nullptr}}, result);
}

void forward_remove(Cell* series, const Cell* part, const Cell* key, Cell* result) {
    forward(slot_remove, {series}, {{"part", part != nullptr, part}, {"key", key != nullptr, key}}, result);
}

void forward_reverse(Cell* series, const Cell* part, const Cell* skip, Cell* result) {
    forward(slot_reverse, {series}, {{"part", part != nullptr, part}, {"skip", skip != nullptr, skip}}, result);
}

void forward_sort(Cell* series, bool case_sensitive, const Cell* skip, const Cell* comparator, const Cell* part,
                  bool all, bool reverse, bool stable, Cell* result) {
    forward(slot_sort, {series},
            {{"case", case_sensitive, nullptr},
             {"skip", skip != nullptr, skip},
             {"compare", comparator != nullptr, comparator},
             {"part", part != nullptr, part},
             {"all", all, nullptr},
             {"reverse", reverse, nullptr},
             {"stable", stable, nullptr}},
            result);
}

void forward_swap(Cell* a, Cell* b, Cell* result) { forward(slot_swap, {a, b}, {}, result); }

void forward_take(Cell* series, const Cell* part, bool deep, bool last, Cell* result) {
    forward(slot_take, {series}, {{"part", part != nullptr, part}, {"deep", deep, nullptr}, {"last", last, nullptr}},
            result);
}

void forward_trim(Cell* series, bool head, bool tail, bool automatic, bool lines, bool all, const Cell* with,
                  Cell* result) {
    forward(slot_trim, {series},
            {{"head", head, nullptr},
             {"tail", tail, nullptr},
             {"auto", automatic, nullptr},
             {"lines", lines, nullptr},
             {"all", all, nullptr},
             {"with", with != nullptr, with}},
            result);
}

void forward_modify(Cell* target, const Cell* field, const Cell* value, bool case_sensitive, Cell* result) {
    forward(slot_modify, {target, field, value}, {{"case", case_sensitive, nullptr}}, result);
}

void forward_open(const Cell* spec, bool new_port, bool read, bool write, bool seek, const Cell* allow,
                  Cell* result) {
    forward(slot_open, {spec},
            {{"new", new_port, nullptr},
             {"read", read, nullptr},
             {"write", write, nullptr},
             {"seek", seek, nullptr},
             {"allow", allow != nullptr, allow}},
            result);
}

void forward_rename(const Cell* from, const Cell* to, Cell* result) { forward(slot_rename, {from, to}, {}, result); }

}  // namespace

Cell make_actor_handle(const ActorTable& table) {
    Cell h;
    handle::make_registered(&h, handle::kind_null, const_cast<ActorTable*>(&table), actor_kind(true));
    return h;
}

datatype::Handler actor_handler(const Cell* port, int32_t slot) {
    if (slot < slot_append || slot > slot_write) return nullptr;
    int32_t kind = actor_kind(false);
    if (kind < 0) return nullptr;
    Cell actor = field(port, "actor");
    const auto* table = static_cast<const ActorTable*>(handle::registered_data(&actor, kind));
    if (!table) return nullptr;
    if (datatype::Handler h = table->at(slot)) return h;
    Cell name = actions::word(slot);
    errors::raise(err::access::no_port_action, &name);
}

Cell actor_of(const Cell* port) {
    Cell actor = field(port, "actor");
    if (cell::type(&actor) != type_object) {
        Cell p = *port;
        errors::raise(err::access::invalid_port, &p);
    }
    return actor;
}

void make(const Cell*, const Cell* spec, int32_t, Cell* result) {
    gc::Local argument(*spec);
    gc::Local spec_object(none_value);
    if (cell::type(&argument) == type_object) {
        object_type::copy(&argument, &spec_object, nullptr, false, nullptr);
    } else {
        gc::Local parts(prototype("url-parts", spec_fields, int32_t(std::size(spec_fields)), spec_class_id));
        object_type::make(&parts, &argument, type_object, &spec_object);
    }
    gc::Local scheme(field(&spec_object, "scheme"));
    if (cell::type(&scheme) != type_word) errors::raise(err::access::no_scheme, &argument);
    gc::Local scheme_object(find_scheme(&scheme));
    if (cell::type(&scheme_object) != type_object)
        errors::raise(err::access::unknown_scheme, &argument);
    gc::Local actor(field(&scheme_object, "actor"));
    if (cell::type(&actor) != type_object && cell::type(&actor) != type_handle)
        errors::raise(err::access::invalid_actor, &argument);

    gc::Local standard(system_value({"standard", "port"}));
    gc::Local out(none_value);
    if (cell::type(&standard) == type_object)
        object_type::copy(&standard, &out, nullptr, false, nullptr);
    else
        out = new_object(port_fields, int32_t(std::size(port_fields)), type_object, class_id);
    cell::set_type(&out, type_port);
    out.w2 = class_id;
    *context::owner_cell(out.w1) = out;
    set_field(&out, "spec", &spec_object);
    set_field(&out, "scheme", &scheme);
    set_field(&out, "actor", &actor);
    *result = out;
}

int32_t mold(const Cell* value, uint32_t buffer, bool, bool all, bool flat, const Cell* arg, int32_t limit,
             int32_t indent) {
    gc::Local p(*value);
    gc::ProtectNode keep_buffer(&buffer);
    if (cycles::find(p.w1)) return string::put_limited(buffer, "make port! [...]", arg, limit);
    limit = string::put_limited(buffer, "make port! [", arg, limit);
    if (string::limit_used(arg, limit)) return limit;
    limit = object_type::mold_body(&p, buffer, false, all, flat, false, arg, limit, indent);
    if (string::limit_used(arg, limit)) return limit;
    return string::put_limited(buffer, "]", arg, limit);
}

int32_t form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return mold(value, buffer, false, false, false, arg, limit, 0);
}

void read(const Cell* source, const Cell* part, const Cell*, bool, bool, bool, const Cell*, Cell* result) {
    gc::Local p(*source);
    gc::Local data(none_value);
    gc::Local ignored(none_value);
    forward(slot_open, {&p}, {{"read", true, nullptr}}, &ignored);
    forward(slot_copy, {&p}, {{"part", part != nullptr, part}}, &data);
    forward(slot_close, {&p}, {}, &ignored);
    *result = data;
}

void write(const Cell* destination, const Cell* value, bool, bool, bool, bool, const Cell* part, const Cell*,
           const Cell*, const Cell*, Cell* result) {
    gc::Local p(*destination);
    gc::Local v(*value);
    gc::Local reply(none_value);
    gc::Local ignored(none_value);
    forward(slot_open, {&p}, {{"write", true, nullptr}}, &ignored);
    forward(slot_insert, {&p, &v}, {{"part", part != nullptr, part}}, &ignored);
    forward(slot_copy, {&p}, {}, &reply);
    forward(slot_close, {&p}, {}, &ignored);
    *result = reply;
}

}  // namespace vum::port

namespace vum::port_type {

void init() {
    using namespace actions;
    using namespace port;
    Row r(type_port, "port!", type_object);
    // Without object! there is nothing to take.
    if (datatype::is_registered(type_object)) r.inherit<slot_reflect, slot_eval_path, slot_compare>();
    r.set<slot_make>(port::make)
        .set<slot_form>(port::form)
        .set<slot_mold>(port::mold)
        .set<slot_append>(forward_insert)
        .set<slot_at>(forward_frame_2<slot_at>)
        .set<slot_back>(forward_frame_1<slot_back>)
        .set<slot_change>(forward_change)
        .set<slot_clear>(forward_clear)
        .set<slot_copy>(forward_copy)
        .set<slot_find>(forward_find<slot_find>)
        .set<slot_head>(forward_frame_1<slot_head>)
        .set<slot_head_q>(forward_frame_1<slot_head_q>)
        .set<slot_index_q>(forward_frame_1<slot_index_q>)
        .set<slot_insert>(forward_insert)
        .set<slot_length_q>(forward_length)
        .set<slot_move>(forward_move)
        .set<slot_next>(forward_frame_1<slot_next>)
        .set<slot_pick>(forward_pick)
        .set<slot_poke>(forward_poke)
        .set<slot_put>(forward_put)
        .set<slot_remove>(forward_remove)
        .set<slot_reverse>(forward_reverse)
        .set<slot_select>(forward_find<slot_select>)
        .set<slot_sort>(forward_sort)
        .set<slot_skip>(forward_frame_2<slot_skip>)
        .set<slot_swap>(forward_swap)
        .set<slot_tail>(forward_frame_1<slot_tail>)
        .set<slot_tail_q>(forward_frame_1<slot_tail_q>)
        .set<slot_take>(forward_take)
        .set<slot_trim>(forward_trim)
        .set<slot_create>(forward_target<slot_create>)
        .set<slot_close>(forward_target<slot_close>)
        .set<slot_delete>(forward_target<slot_delete>)
        .set<slot_modify>(forward_modify)
        .set<slot_open>(forward_open)
        .set<slot_query>(forward_target<slot_query>)
        .set<slot_read>(port::read)
        .set<slot_rename>(forward_rename)
        .set<slot_update>(forward_target<slot_update>)
        .set<slot_write>(port::write);
    datatype::register_type(r);
}

}  // namespace vum::port_type
