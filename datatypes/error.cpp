#include "datatypes/error.h"

#include <cstring>

#include "base/error-catalogue.h"
#include "base/float-text.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/memory-manager.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"

namespace vum::error {

namespace {

const char* const field_names[field_count] = {"code", "type", "id",    "arg1",  "arg2",
                                              "arg3", "near", "where", "stack", "files"};

Cell catalogue_object{};  // object! whose fields are the category objects
uint32_t prototype_ctx = 0;
uint32_t category_ctx[10];  // one per category

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
        Cell c = e.parts[i].is_field ? make_word(type_get_word, e.parts[i].text) : make_string(e.parts[i].text);
        *series::alloc_tail_cell(block) = c;
    }
    return {type_block, 0, block, 0};
}

void keep_in_root(const Cell& c) {
    if (gc::roots.root_block.w2) *block::alloc_tail(&gc::roots.root_block) = c;
}

uint32_t make_category(const error_catalogue::Category& cat) {
    uint32_t ctx = context::make(cat.id_count + 2, false, false, 0, context::kind_object);
    gc::ProtectNode keep(&ctx);
    Cell v;
    cell::make_integer(&v, cat.code);
    context::put_word_value(ctx, symbols::make("code"), &v);
    v = make_string(cat.title);
    {
        gc::Protect keep_v(&v);
        context::put_word_value(ctx, symbols::make("type"), &v);
    }
    for (int32_t i = 0; i < cat.id_count; i++) {
        Cell message = make_message(cat.ids[i]);
        gc::Protect keep_m(&message);
        context::put_word_value(ctx, symbols::make(cat.ids[i].id), &message);
    }
    return ctx;
}

Cell* slot(uint32_t ctx, int32_t i) { return series::cells_head(context::context_cell(ctx)->w2) + i; }

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

WriteValueFn write_value = plain_write;

bool ready() { return prototype_ctx != 0; }
const Cell& catalogue() { return catalogue_object; }
uint32_t prototype() { return prototype_ctx; }

void init() {
    uint32_t cats = context::make(error_catalogue::category_count, false, false, 0, context::kind_object);
    gc::ProtectNode keep(&cats);
    for (int32_t c = 0; c < error_catalogue::category_count; c++) {
        uint32_t ctx = make_category(error_catalogue::categories[c]);
        gc::ProtectNode keep_ctx(&ctx);
        Cell object = {type_object, ctx, 0, 0};
        context::put_word_value(cats, symbols::make(error_catalogue::categories[c].name), &object);
        category_ctx[c] = ctx;
    }
    catalogue_object = {type_object, cats, 0, 0};
    keep_in_root(catalogue_object);

    uint32_t proto = context::make(field_count, false, false, 0, context::kind_object);
    gc::ProtectNode keep_proto(&proto);
    Cell none;
    cell::make_none(&none);
    for (const char* name : field_names) context::put_word_value(proto, symbols::make(name), &none);
    Cell proto_cell = {type_error, proto, class_id, 0};
    keep_in_root(proto_cell);
    prototype_ctx = proto;
}

void create(int32_t category, int32_t id_index, const Cell* arg1, const Cell* arg2, const Cell* arg3, Cell* out) {
    // The arguments may lie in series that the allocations below move.
    Cell args[3];
    const Cell* given[3] = {arg1, arg2, arg3};
    for (int i = 0; i < 3; i++) {
        if (given[i]) args[i] = *given[i]; else cell::make_none(&args[i]);
    }
    gc::Protect keep_args(args, 3);
    uint32_t ctx = context::make(field_count, false, false, prototype_ctx, context::kind_object);
    gc::ProtectNode keep(&ctx);
    uint32_t values = context::context_cell(ctx)->w2;
    for (int32_t i = 0; i < field_count; i++) cell::make_none(series::alloc_tail_cell(values));
    const error_catalogue::Category& cat = error_catalogue::categories[category];
    cell::make_integer(slot(ctx, field_code), cat.code + id_index - 2);
    int32_t cat_symbol = symbols::make(cat.name);
    *slot(ctx, field_type) = {type_word, catalogue_object.w1, uint32_t(cat_symbol),
                              uint32_t(context::find_word(catalogue_object.w1, cat_symbol, false))};
    int32_t id_symbol = symbols::make(cat.ids[id_index - 2].id);
    *slot(ctx, field_id) = {type_word, category_ctx[category], uint32_t(id_symbol),
                            uint32_t(context::find_word(category_ctx[category], id_symbol, false))};
    for (int i = 0; i < 3; i++) *slot(ctx, Field(field_arg1 + i)) = args[i];
    *out = {type_error, ctx, class_id, 0};
}

Cell* field(const Cell* error, Field f) { return slot(error->w1, f); }

void set_where(const Cell* error, const Cell* value) {
    Cell* where = field(error, field_where);
    if (cell::type(where) == type_none) *where = *value;
}

void note_stack(const Cell* error, int32_t frame_index) {
    Cell* stack = field(error, field_stack);
    if (cell::type(stack) != type_block) cell::make_integer(stack, frame_index);
}

std::string form_report(const Cell* error) {
    Cell e = *error;
    gc::Protect keep(&e);
    std::string out = "*** ";
    const Cell* type = field(&e, field_type);
    const Cell* id = field(&e, field_id);
    int32_t category = error_catalogue::find_category(symbols::text(int32_t(type->w2)));
    int32_t index = category >= 0 ? error_catalogue::find_id(category, symbols::text(int32_t(id->w2))) : -1;
    if (index < 0) {
        // Unknown to the catalogue: reported as an invalid error naming it.
        *field(&e, field_arg1) = category < 0 ? *type : *id;
        category = errors::category_internal;
        index = error_catalogue::find_id(category, "invalid-error");
    }
    const error_catalogue::Category& cat = error_catalogue::categories[category];
    out += cat.title;
    out += ": ";
    const error_catalogue::Entry& entry = cat.ids[index - 2];
    for (int32_t i = 0; i < entry.part_count; i++) {
        if (i) out += ' ';
        const error_catalogue::MessagePart& part = entry.parts[i];
        if (!part.is_field) {
            out += part.text;
            continue;
        }
        int32_t f = -1;
        for (int32_t k = 0; k < field_count; k++)
            if (!std::strcmp(field_names[k], part.text)) f = k;
        if (f < 0) continue;
        write_value(field(&e, Field(f)), category != errors::category_syntax, 80, out);
    }
    out += "\n*** Where: ";
    const Cell* where = field(&e, field_where);
    uint8_t wt = cell::type(where);
    if (wt >= type_word && wt <= type_issue)
        write_value(where, false, 0, out);
    else if (wt == type_string)
        write_value(where, false, 0, out);
    else
        out += "???";
    out += "\n*** Near : ";
    write_value(field(&e, field_near), true, 40, out);
    return out;
}

}  // namespace vum::error
