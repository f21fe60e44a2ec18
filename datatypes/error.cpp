#include "datatypes/error.h"

#include <strings.h>

#include <cstring>

#include "base/error-catalogue.h"
#include "base/float-text.h"
#include "datatypes/actions.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/cycle-guard.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/runtime-services.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"

namespace vum::error {

namespace {

const char* const field_names[field_count] = {"code", "type", "id",    "arg1",  "arg2",
                                              "arg3", "near", "where", "stack", "files"};

Cell catalogue_object{};  // object! whose fields are the category objects
uint32_t prototype_ctx = 0;

Cell make_string(const char* text) {
    uint32_t node = unicode::load_utf8_new(reinterpret_cast<const uint8_t*>(text), int32_t(std::strlen(text)));
    return {type_string, 0, node, 0};
}

Cell make_word(uint8_t type, const char* text) { return {type, 0, uint32_t(symbols::make(text)), uint32_t(-1)}; }

// A message: a string, or a block of strings and field words.
Cell make_message(const error_catalogue::Entry& e) {
    if (e.part_count == 1 && !e.parts[0].is_field) return make_string(e.parts[0].text);
    uint32_t block = memory::alloc_cells(e.part_count);
    gc::ProtectNode keep(&block);
    for (int32_t i = 0; i < e.part_count; i++) {
        const error_catalogue::MessagePart& part = e.parts[i];
        Cell c = part.is_field ? make_word(part.optional ? type_word : type_get_word, part.text)
                               : make_string(part.text);
        *series::alloc_tail_cell(block) = c;
    }
    return {type_block, 0, block, 0};
}

void keep_in_root(const Cell& c) {
    if (gc::roots.root_block.w2) *series::alloc_tail(&gc::roots.root_block) = c;
}

uint32_t make_category(const error_catalogue::Category& cat) {
    uint32_t ctx = context::make(cat.id_count + 2, false, false, 0, context::kind_object);
    gc::ProtectNode keep(&ctx);
    gc::Local v(Cell{});
    cell::make_integer(&v, cat.code);
    context::put_word_value(ctx, symbols::make("code"), &v);
    v = make_string(cat.title);
    context::put_word_value(ctx, symbols::make("type"), &v);
    for (int32_t i = 0; i < cat.id_count; i++) {
        gc::Local message(make_message(cat.ids[i]));
        context::put_word_value(ctx, symbols::make(cat.ids[i].id), &message);
    }
    return ctx;
}

// An error's field values: storage, never code.
Cell* slot(uint32_t ctx, int32_t i) { return series::cells_mut_untracked(context::context_cell(ctx)->w2) + i; }

// Plain writing of values for reports, until the datatypes bring mold.
void plain_write(const Cell* v, bool mold, int32_t limit, std::string& out) {
    size_t start = out.size();
    switch (cell::type(v)) {
        case type_none: out += "none"; break;
        case type_unset: out += "unset"; break;
        case type_logic: out += v->w1 ? "true" : "false"; break;
        case type_integer: out += std::to_string(cell::get_integer(v)); break;
        case type_float: out += floats::form_text(cell::get_double(v), 0, 1); break;
        case type_char: {
            char buf[4];
            int n = unicode::encode_utf8_char(v->w2, buf);
            if (mold) out += "#\"";
            out.append(buf, size_t(n));
            if (mold) out += "\"";
            break;
        }
        case type_string: case type_file: case type_url: case type_tag: case type_email: {
            Cell s = *v;
            int32_t length = -1;
            const char* text = unicode::to_utf8_data(&s, &length);
            if (mold && cell::type(v) == type_string) out += '"';
            if (mold && cell::type(v) == type_file) out += '%';
            out.append(text, size_t(length));
            if (mold && cell::type(v) == type_string) out += '"';
            break;
        }
        case type_word: case type_set_word: case type_lit_word: case type_get_word:
        case type_refinement: case type_issue: {
            uint8_t t = cell::type(v);
            if (mold && t == type_lit_word) out += '\'';
            if (mold && t == type_get_word) out += ':';
            if (mold && t == type_refinement) out += '/';
            if (mold && t == type_issue) out += '#';
            out += symbols::text(int32_t(v->w2));
            if (mold && t == type_set_word) out += ':';
            break;
        }
        case type_block: case type_paren: {
            bool paren = cell::type(v) == type_paren;
            if (mold) out += paren ? "(" : "[";
            SeriesBuffer* b = nodes::buffer(v->w2);
            int32_t n = int32_t(b->count()) - int32_t(v->w1);
            for (int32_t i = 0; i < n; i++) {
                if (i) out += ' ';
                plain_write(series::cells_head(v->w2) + v->w1 + i, true, limit, out);
                if (limit > 0 && out.size() - start > size_t(limit)) break;
            }
            if (mold) out += paren ? ")" : "]";
            break;
        }
        default: out += "..."; break;
    }
    if (limit > 0 && out.size() - start > size_t(limit)) out.resize(start + size_t(limit));
}

}  // namespace


namespace {

using actions::not_comparable;

// Positions fixed by the catalogue's build; they do not change while the
// runtime runs.
const int32_t internal_category = errors::category_internal;
int32_t invalid_error_position() { return err::internal::invalid_error.index; }

const Cell none_cell = {type_none, 0, 0, 0};

bool is_any_word(uint8_t t) { return t >= type_word && t <= type_issue; }

Cell unbound_word(const char* text) { return make_word(type_word, text); }

// The category object's context at a position of the catalogue, or 0.
uint32_t category_context(int32_t category) {
    if (category < 0 || category >= context::word_count(catalogue_object.w1)) return 0;
    const Cell* c = slot(catalogue_object.w1, category);
    return cell::type(c) == type_object ? c->w1 : 0;
}

// The category a word names, by its position in the catalogue, or -1.
int32_t find_category(const Cell* word) {
    if (!is_any_word(cell::type(word))) return -1;
    int32_t position = context::find_word(catalogue_object.w1, int32_t(word->w2), true);
    return category_context(position) ? position : -1;
}

// The id's field position in its category object, or -1; code and type are
// the category's own fields, not ids.
int32_t find_id(uint32_t category_ctx, const Cell* word) {
    if (!category_ctx || !is_any_word(cell::type(word))) return -1;
    int32_t position = context::find_word(category_ctx, int32_t(word->w2), true);
    return position >= 2 ? position : -1;
}

// Writes the code, type and id fields: the words taken from the catalogue,
// bound to it and to the category. Allocates nothing.
void designate(uint32_t ctx, int32_t category, int32_t position) {
    uint32_t cats = catalogue_object.w1;
    uint32_t cat = category_context(category);
    cell::make_integer(slot(ctx, field_code), category * 100 + position - 2);
    *slot(ctx, field_type) = {type_word, cats, context::word_at(cats, category)->w2, uint32_t(category)};
    *slot(ctx, field_id) = {type_word, cat, context::word_at(cat, position)->w2, uint32_t(position)};
}

// A new error context: the prototype's words, every field none, the owner
// slot holding the error cell.
uint32_t new_error_context() {
    uint32_t ctx = context::make(field_count, false, false, prototype_ctx, context::kind_object);
    gc::ProtectNode keep(&ctx);
    uint32_t values = context::context_cell(ctx)->w2;
    for (int32_t i = 0; i < field_count; i++) cell::make_none(series::alloc_tail_cell(values));
    *context::owner_cell(ctx) = {type_error, ctx, class_id, 0};
    return ctx;
}

[[noreturn]] void spec_field(const char* name) {
    Cell word = unbound_word(name);
    errors::raise(err::script::invalid_spec_field, &word);
}

[[noreturn]] void out_of_range(int32_t code) {
    Cell n;
    cell::make_integer(&n, code);
    errors::raise(err::script::out_of_range, &n);
}

// Category and id position for a numeric code; raises out-of-range.
void from_code(int32_t code, int32_t* category, int32_t* position) {
    if (code < 0) out_of_range(code);
    *category = code / 100;
    uint32_t cat = category_context(*category);
    if (!cat) out_of_range(code);
    *position = code % 100 + 2;
    if (*position >= context::word_count(cat)) out_of_range(code);
}

// Category and id position for a [category id] block at its head.
void from_block(const Cell* block, int32_t* category, int32_t* position) {
    int32_t head = int32_t(block->w1);
    int32_t total = int32_t(nodes::buffer(block->w2)->count());
    Cell first = head < total ? series::cells_head(block->w2)[head] : none_cell;
    if (cell::type(&first) != type_word) errors::raise(err::internal::invalid_error, block);
    *category = find_category(&first);
    if (*category < 0) spec_field("type");
    if (head + 1 >= total) spec_field("id");
    Cell second = series::cells_head(block->w2)[head + 1];
    if (cell::type(&second) != type_word) errors::raise(err::script::invalid_arg, &second);
    *position = find_id(category_context(*category), &second);
    if (*position < 0) spec_field("id");
}

// A spec of set-words, evaluated in the error's context: its type and id
// fields must then name a category and one of its ids.
void from_fields(const Cell* block, uint32_t ctx, int32_t* category, int32_t* position) {
    gc::Local b(*block);
    gc::ProtectNode keep_ctx(&ctx);
    context::bind_block(&b, ctx, false);
    services::current.evaluate_spec(&b);
    Cell type = *slot(ctx, field_type);
    *category = find_category(&type);
    if (*category < 0) spec_field("type");
    Cell id = *slot(ctx, field_id);
    *position = find_id(category_context(*category), &id);
    if (*position < 0) spec_field("id");
}

// Appends a value formed or molded, at most limit characters when limit
// is above 0. Datatypes that have not registered go through the stand-in.
void write(const Cell* value, uint32_t buffer, bool mold, bool only, bool flat, int32_t limit) {
    gc::Local v(*value);
    int32_t start = string::length(buffer);
    uint8_t t = cell::type(&v);
    int32_t slot_needed = mold ? actions::slot_mold : actions::slot_form;
    if (datatype::is_registered(t) && datatype::handler(t, slot_needed)) {
        if (mold)
            actions::call_mold(&v, buffer, only, false, flat, limit > 0, limit, 0);
        else
            actions::call_form(&v, buffer, limit > 0, limit);
    } else {
        std::string text;
        bool bracketed = mold && !(only && (t == type_block || t == type_paren));
        write_value(&v, bracketed, limit, text);
        string::append_utf8(buffer, text.data(), int32_t(text.size()));
    }
    // Handlers stop at the limit only between values: a long last value
    // runs past it.
    if (limit > 0 && string::length(buffer) - start > limit) string::cut(buffer, start + limit);
}

// The report's fallback: the error names what the catalogue did not know.
void make_invalid(uint32_t ctx, const Cell& unknown) {
    *slot(ctx, field_arg1) = unknown;
    designate(ctx, internal_category, invalid_error_position());
}

void append_message_block(const Cell* message, uint32_t buffer, uint32_t ctx, bool formed) {
    gc::Local block(*message);
    gc::Local part(none_cell);
    bool first = true;
    for (int32_t i = int32_t(block.w1); i < int32_t(nodes::buffer(block.w2)->count()); i++) {
        part = series::cells_head(block.w2)[i];
        uint8_t t = cell::type(&part);
        int32_t f = -1;
        if (t == type_word || t == type_get_word) f = context::find_word(ctx, int32_t(part.w2), true);
        if (t != type_string && f < 0) continue;
        if (t == type_word && cell::type(slot(ctx, f)) == type_none) continue;
        if (!first) string::append_char(buffer, ' ');
        first = false;
        if (t == type_string)
            string::append_string(buffer, &part);
        else
            write(slot(ctx, f), buffer, !formed, false, true, argument_limit);
    }
}

}  // namespace

WriteValueFn write_value = plain_write;

bool ready() { return prototype_ctx != 0; }
const Cell& catalogue() { return catalogue_object; }
uint32_t prototype() { return prototype_ctx; }

namespace {
// The catalogue made from the table that the build makes of the
// catalogue's source. Each object owns its context, as one that the boot
// image brings does.
Cell make_catalogue() {
    uint32_t cats = context::make(error_catalogue::category_count, false, false, 0, context::kind_object);
    gc::ProtectNode keep(&cats);
    for (int32_t c = 0; c < error_catalogue::category_count; c++) {
        uint32_t ctx = make_category(error_catalogue::categories[c]);
        gc::ProtectNode keep_ctx(&ctx);
        Cell object = {type_object, ctx, 0, 0};
        *context::owner_cell(ctx) = object;
        context::put_word_value(cats, symbols::make(error_catalogue::categories[c].name), &object);
    }
    Cell catalogue = {type_object, cats, 0, 0};
    *context::owner_cell(cats) = catalogue;
    keep_in_root(catalogue);
    return catalogue;
}

// A catalogue from the boot image stands for the table when it has the
// table's shape: the ids the runtime raises are numbered from the same
// source.
bool fits_the_table(const Cell* catalogue) {
    if (!catalogue || cell::type(catalogue) != type_object) return false;
    uint32_t cats = catalogue->w1;
    if (context::word_count(cats) != error_catalogue::category_count) return false;
    for (int32_t c = 0; c < error_catalogue::category_count; c++) {
        const Cell* category = slot(cats, c);
        if (cell::type(category) != type_object ||
            context::word_count(category->w1) != error_catalogue::categories[c].id_count + 2)
            return false;
    }
    return true;
}
}  // namespace

void init(const Cell* from_image) {
    catalogue_object = fits_the_table(from_image) ? *from_image : make_catalogue();
    uint32_t proto = context::make(field_count, false, false, 0, context::kind_object);
    gc::ProtectNode keep_proto(&proto);
    Cell none;
    cell::make_none(&none);
    for (const char* name : field_names) context::put_word_value(proto, symbols::make(name), &none);
    Cell proto_cell = {type_error, proto, class_id, 0};
    *context::owner_cell(proto) = proto_cell;
    keep_in_root(proto_cell);
    prototype_ctx = proto;
    // From here on the layers below raise errors as values.
    errors::values_ready = true;
}

void offer_services(services::Services& s) {
    static const errors::ErrorValues values{create, set_where, note_stack, form_report};
    s.error_values = &values;
}

void create(int32_t category, int32_t id_index, const Cell* arg1, const Cell* arg2, const Cell* arg3, Cell* out) {
    // The arguments may lie in series that the allocations below move.
    Cell args[3];
    const Cell* given[3] = {arg1, arg2, arg3};
    for (int i = 0; i < 3; i++) {
        if (given[i]) args[i] = *given[i]; else cell::make_none(&args[i]);
    }
    gc::Protect keep_args(args, 3);
    uint32_t ctx = new_error_context();
    designate(ctx, category, id_index);
    for (int i = 0; i < 3; i++) *slot(ctx, Field(field_arg1 + i)) = args[i];
    *out = {type_error, ctx, class_id, 0};
}

void make(const Cell* spec, Cell* out) {
    gc::Local s(*spec);
    int32_t category = 0, position = 0;
    if (cell::type(&s) == type_block && int32_t(s.w1) < int32_t(nodes::buffer(s.w2)->count()) &&
        cell::type(series::cells_head(s.w2) + s.w1) == type_set_word) {
        uint32_t ctx = new_error_context();
        gc::ProtectNode keep_ctx(&ctx);
        from_fields(&s, ctx, &category, &position);
        designate(ctx, category, position);
        *out = {type_error, ctx, class_id, 0};
        return;
    }
    switch (cell::type(&s)) {
        case type_integer: from_code(cell::get_integer(&s), &category, &position); break;
        case type_block: from_block(&s, &category, &position); break;
        case type_string: create(errors::category_user, 2, &s, nullptr, nullptr, out); return;
        default: {
            Cell datatype = cell::make_datatype(type_error);
            errors::raise(err::script::bad_make_arg, &datatype, &s);
        }
    }
    uint32_t ctx = new_error_context();
    designate(ctx, category, position);
    *out = {type_error, ctx, class_id, 0};
}

Cell* field(const Cell* error, Field f) { return slot(error->w1, f); }

void set_where(const Cell* error, const Cell* value) {
    Cell* where = field(error, field_where);
    if (cell::type(where) == type_none) *where = *value;
}

void note_stack(const Cell* error, int32_t frame_index) {
    Cell* stack = field(error, field_stack);
    if (cell::type(stack) == type_block) return;
    cell::make_integer(stack, frame_index);
    // The error may be held by nothing the collector sees yet.
    gc::Local e(*error);
    gc::Local files({});
    if (services::current.source_files(&files)) *field(&e, field_files) = files;
}

int32_t get_type(const Cell* error) { return int32_t(field(error, field_type)->w2); }
int32_t get_id(const Cell* error) { return int32_t(field(error, field_id)->w2); }

int32_t write_report(const Cell* error, uint32_t buffer) {
    gc::Local e(*error);
    uint32_t out = buffer;
    gc::ProtectNode keep_out(&out);
    uint32_t ctx = e.w1;
    int32_t start = string::length(out);
    string::append_ascii(out, "*** ");

    int32_t category = find_category(field(&e, field_type));
    if (category < 0) {
        make_invalid(ctx, *field(&e, field_type));
        category = internal_category;
    }
    int32_t position = find_id(category_context(category), field(&e, field_id));
    if (position < 0) {
        make_invalid(ctx, *field(&e, field_id));
        category = internal_category;
        position = invalid_error_position();
    }
    uint32_t cat = category_context(category);
    gc::Local message(*slot(cat, position));
    if (cell::type(&message) == type_word) {
        int32_t f = context::find_word(ctx, int32_t(message.w2), true);
        message = f >= 0 ? *slot(ctx, f) : none_cell;
    }
    write(slot(cat, 1), out, false, false, false, 0);
    string::append_ascii(out, ": ");
    switch (cell::type(&message)) {
        case type_string: string::append_string(out, &message); break;
        case type_block: append_message_block(&message, out, ctx, category == errors::category_syntax); break;
        default: make_invalid(ctx, *field(&e, field_type)); break;
    }

    string::append_ascii(out, "\n*** Where: ");
    gc::Local where(*field(&e, field_where));
    if (is_any_word(cell::type(&where)))
        write(&where, out, false, false, false, 0);
    else if (cell::type(&where) == type_string)
        string::append_string(out, &where);
    else
        string::append_ascii(out, "???");

    string::append_ascii(out, "\n*** Near : ");
    write(field(&e, field_near), out, true, true, true, near_limit);

    int32_t level = services::current.stack_trace_level();
    if (level > 0 && cell::type(field(&e, field_stack)) == type_block) {
        string::append_ascii(out, "\n*** Stack: ");
        write(field(&e, field_stack), out, false, false, false, 0);
    }
    if (cell::type(field(&e, field_files)) == type_block) {
        string::append_ascii(out, "\n*** Files: ");
        write(field(&e, field_files), out, true, true, true, near_limit);
    }
    return string::length(out) - start;
}

std::string form_report(const Cell* error) {
    gc::Local e(*error);
    uint32_t buffer = string::make(128);
    gc::ProtectNode keep_buffer(&buffer);
    write_report(&e, buffer);
    return string::node_to_utf8(buffer);
}


namespace {

using actions::PathStep;

using string::put_indent;
using string::put_text;

// The change handlers' fields, which mold shows only with /all.
bool is_handler_word(int32_t symbol) {
    const char* name = symbols::text(symbol);
    return !strcasecmp(name, "on-change*") || !strcasecmp(name, "on-deep-change*");
}

int32_t error_mold(const Cell* value, uint32_t buffer, bool only, bool all, bool flat, const Cell* arg,
                   int32_t limit, int32_t indent) {
    gc::Local e(*value);
    uint32_t out = buffer;
    gc::ProtectNode keep_out(&out);
    uint32_t ctx = e.w1;
    if (cycles::find(ctx)) {
        put_text(out, "make error! [...]", &limit);
        return limit;
    }
    cycles::Visit visit(ctx);
    bool indented = !only && !flat;
    if (!only) put_text(out, indented ? "make error! [\n" : "make error! [", &limit);
    gc::Local v(none_cell);
    bool first = true;
    for (int32_t i = 0; i < context::word_count(ctx); i++) {
        if (arg && limit <= 0) break;
        int32_t symbol = int32_t(context::word_at(ctx, i)->w2);
        if (!all && is_handler_word(symbol)) continue;
        if (!indented && !first) put_text(out, flat ? " " : "\n", &limit);
        first = false;
        if (indented) put_indent(out, indent + 1, &limit);
        // The name is copied out first: appending may move the symbol's text.
        int32_t length = 0;
        const char* text = symbols::text(symbol, &length);
        std::string name(text, size_t(length));
        string::append_utf8(out, name.data(), length);
        put_text(out, ": ", &limit);
        limit -= length;
        Cell* field_value = slot(ctx, i);
        if (cell::type(field_value) == 0) cell::make_unset(field_value);
        v = *field_value;
        if (cell::type(&v) == type_word) put_text(out, "'", &limit);
        limit = actions::call_mold(&v, out, false, all, flat, arg != nullptr, limit, indent + 1);
        if (indented) put_text(out, "\n", &limit);
    }
    if (!only) {
        if (indented && indent > 0) put_indent(out, indent, &limit);
        put_text(out, "]", &limit);
    }
    return limit;
}

int32_t error_form(const Cell* value, uint32_t buffer, const Cell*, int32_t limit) {
    return limit - write_report(value, buffer);
}

void error_make(const Cell*, const Cell* spec, int32_t, Cell* result) { make(spec, result); }

void error_path(const PathStep& step, Cell* result) {
    gc::Local e(*step.parent);
    gc::Local element(*step.element);
    gc::Local path(step.path ? *step.path : e);
    uint8_t t = cell::type(&element);
    if (t != type_word && t != type_set_word && t != type_get_word && t != type_lit_word)
        errors::raise(err::script::invalid_path, &path, &element);
    uint32_t ctx = e.w1;
    int32_t index = context::find_word(ctx, int32_t(element.w2), true);
    uint8_t held = index >= 0 ? cell::type(slot(ctx, index)) : 0;
    if (index < 0 || (!step.value && (held == 0 || held == type_unset)))
        errors::raise(err::script::unset_path, &path, &element);
    if (!step.value) {
        *result = *slot(ctx, index);
        return;
    }
    gc::Local v(*step.value);
    Cell word = {type_word, ctx, element.w2, uint32_t(index)};
    context::set_in(&word, &v, ctx, false);
    *result = v;
}

// Errors compare as objects, field by field: word count, then each word's
// canonical symbol, then the values.
int32_t error_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_error) return not_comparable;
    return object_type::compare(a, b, op);
}

}  // namespace

}  // namespace vum::error

namespace vum::error_type {

void init() {
    using namespace actions;
    Row r(type_error, "error!", type_object);
    // Without object! there is nothing to take: those slots stay empty, so
    // their actions raise instead of calling a stale handler.
    if (datatype::is_registered(type_object)) r.inherit<slot_reflect, slot_copy, slot_find, slot_select>();
    r.set<slot_make>(error::error_make)
        .set<slot_form>(error::error_form)
        .set<slot_mold>(error::error_mold)
        .set<slot_eval_path>(error::error_path)
        .set<slot_compare>(error::error_compare);
    datatype::register_type(r);
}

}  // namespace vum::error_type
