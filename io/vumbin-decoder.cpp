#include "io/vumbin-decoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "base/console-output.h"
#include "base/system-throw.h"
#include "datatypes/bitset.h"
#include "datatypes/calendar.h"
#include "datatypes/char.h"
#include "datatypes/date.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/hash.h"
#include "datatypes/image-record.h"
#include "datatypes/image.h"
#include "datatypes/map.h"
#include "datatypes/money-currencies.h"
#include "datatypes/money.h"
#include "datatypes/native.h"
#include "datatypes/object.h"
#include "datatypes/registry.h"
#include "datatypes/tuple.h"
#include "datatypes/vector.h"
#include "datatypes/word.h"
#include "io/lz-codec.h"
#include "io/vumbin-format.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/hash-table.h"
#include "memory/memory-manager.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"
#include "memory/value-stack.h"

namespace vum::vumbin {

namespace {

Mode current_mode = Mode::saved;
int32_t kept_root_base = 0;

constexpr Cell none_cell = {type_none, 0, 0, 0};
constexpr uint32_t saved_class_id = 0xFFFFFFFF;  // -1: a decoded object is of no known class

// ---- Cells and series ----

// Every series the decoder writes is one it made: no code has run it yet.
Cell* cell_at(uint32_t node, int64_t i) { return series::cells_mut_untracked(node) + i; }
int32_t cell_count(uint32_t node) { return int32_t(nodes::buffer(node)->count()); }

// Drops the cells from index n on (of a series the decoder made).
void truncate(uint32_t node, int32_t n) {
    SeriesBuffer* b = nodes::buffer(node);
    b->tail = b->head + uint32_t(n) * 16;
}

// Reserves the next cell (unset) and answers its index: a record that makes
// a series takes its place in its parent before it allocates, so that what
// it makes is reachable at every allocation and back-references reach it.
int32_t reserve(uint32_t node) {
    int32_t i = cell_count(node);
    series::alloc_tail_cell(node);
    return i;
}

bool is_block_kind(uint8_t t) {
    return t == type_block || t == type_paren || (t >= type_path && t <= type_get_path);
}
bool is_text_kind(uint8_t t) {
    return (t >= type_string && t <= type_url) || t == type_tag || t == type_email || t == type_ref;
}
bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_refinement; }

// Datatypes with no serialised form.
bool is_refused(uint8_t t) {
    return t == type_routine || t == type_triple || t == type_handle || t == type_port || t == type_event;
}

// The context a context! cell heads: its word cells name it (a context
// without words names none, and no word can be bound to it).
uint32_t context_of_context_cell(const Cell* c) {
    uint32_t keys = hashtable::record(cell::context_words(c))->keys;
    if (nodes::buffer(keys)->count() == 0) return 0;
    return cell::word_context(series::cells_head(keys));
}

// The context a value names: an object's, a function's, a word's, a native's
// spec context; 0 for a value that has none.
uint32_t context_of(const Cell* c) {
    uint8_t t = cell::type(c);
    if (is_word_kind(t)) return cell::word_context(c);
    if (t == type_object || t == type_error || t == type_port || t == type_function || t == type_routine)
        return cell::context_node(c);
    if (t == type_op && (cell::op_source(c) == type_function || cell::op_source(c) == type_routine)) {
        Cell wrapped = cell::op_wrapped(c);
        return cell::context_node(&wrapped);
    }
    if (t == type_native || t == type_action || t == type_op) {
        const Cell* kept = series::cells_head(cell::function_info(c));
        return cell::type(kept) == type_context ? context_of_context_cell(kept) : 0;
    }
    if (t == type_context) return context_of_context_cell(c);
    return 0;
}

// The function an op! wraps, when it wraps one.
bool unwrap_function(const Cell& c, Cell* out) {
    if (cell::type(&c) == type_function) {
        *out = c;
        return true;
    }
    if (cell::type(&c) == type_op && cell::op_source(&c) == type_function) {
        *out = c;
        out->header = (c.header & ~(uint32_t(cell::type_mask) | cell::op_source_mask)) | type_function;
        return true;
    }
    return false;
}

bool valid_error_code(uint32_t code) {
    if (!error::ready()) return false;
    uint32_t catalogue = cell::context_node(&error::catalogue());
    uint32_t category = code / 100;
    uint32_t values = cell::context_values(context::context_cell(catalogue));
    if (category >= uint32_t(context::word_count(catalogue)) || category >= uint32_t(cell_count(values)))
        return false;
    const Cell* ids = cell_at(values, category);
    if (cell::type(ids) != type_object) return false;
    return code % 100 + 2 < uint32_t(context::word_count(cell::context_node(ids)));
}

bool valid_date(uint32_t bits, double time) {
    int32_t year = calendar::year_of(bits), month = calendar::month_of(bits), day = calendar::day_of(bits);
    if (year < calendar::min_year || year > calendar::max_year || month < 1 || month > 12 || day < 1 ||
        day > calendar::month_length(year, month))
        return false;
    if (!calendar::has_time(bits)) return true;
    double local = time + calendar::zone_offset(calendar::zone_of(bits));
    return local >= 0.0 && local < double(calendar::seconds_per_day);
}

bool valid_vector_width(uint8_t element, uint32_t width) {
    switch (element) {
        case type_char: case type_integer: return width == 1 || width == 2 || width == 4;
        case type_float: return width == 4 || width == 8;
        case type_percent: return width == 8;
        default: return false;
    }
}

bool valid_utf8(const uint8_t* p, const uint8_t* end) {
    while (p < end) {
        int32_t cp;
        p = unicode::decode_utf8_char(p, end, &cp);
        if (cp < 0) return false;
    }
    return true;
}

uint32_t read_le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// ---- The decoder ----

// What precedes a record's payload: the compact form's prefixes and lead
// byte, or the fixed form's header word.
struct Head {
    enum Special : uint8_t { none, small_integer, logic_true, logic_false, back_reference };
    const uint8_t* at;       // the record's first byte
    const uint8_t* lead_at;  // the lead byte, or the header word
    uint32_t bits;           // the fixed header word; the lead byte in the compact form
    uint8_t type;
    Special special;
    bool short_form;
    bool new_line;
    bool reference;
    bool assign;
};

class Decoder {
public:
    Decoder(const uint8_t* origin, int64_t shift, bool boot, uint32_t destination, const Cell* source)
        : origin_(origin), shift_(shift), boot_(boot), destination_(destination), source_(source) {
        first_cell_ = cell_count(destination);
    }

    int32_t first_cell() const { return first_cell_; }

    // The body from begin, of size bytes (negative: unknown).
    void body(const uint8_t* begin, int64_t size, bool compact, bool with_symbols) {
        p_ = begin;
        end_known_ = size >= 0;
        data_end_ = end_known_ ? begin + size : nullptr;
        compact_ = compact;
        if (compact)
            compact_header(with_symbols);
        else
            fixed_header(with_symbols);
        while (p_ < end_) {
            if (!compact_ && skip_filler()) continue;
            record(destination_);
        }
    }

private:
    const uint8_t* origin_;
    int64_t shift_;
    bool boot_;
    uint32_t destination_;
    const Cell* source_;
    int32_t first_cell_ = 0;
    bool compact_ = true;
    const uint8_t* p_ = nullptr;
    const uint8_t* end_ = nullptr;       // of the records area (of the header while it is read)
    const uint8_t* data_end_ = nullptr;
    bool end_known_ = true;
    int32_t depth_ = 0;

    const uint8_t* offsets_ = nullptr;
    const uint8_t* names_ = nullptr;
    uint32_t symbol_count_ = 0;
    uint32_t names_size_ = 0;
    // The error fields being decoded, innermost last: until a field's
    // record is done it sits in a scratch cell, where a back-reference from
    // inside it (a near block whose words belong to a function that holds
    // the block) must find it.
    struct PendingField {
        uint32_t context;
        uint32_t field;
        uint32_t scratch_series;
        int32_t scratch_index;
    };
    std::vector<PendingField> pending_fields_;
    std::vector<int32_t> symbol_ids_;      // interned on first use; 0 until then
    std::vector<uint32_t> global_slots_;  // slot + 1 of the global word; 0 until used

    // ---- Faults ----

    [[noreturn]] void fault(const uint8_t* at) const {
        int64_t position = (at - origin_) + shift_ + 1;
        Cell n{};
        cell::make_integer(&n, int32_t(std::min<int64_t>(position, INT32_MAX)));
        errors::raise(err::script::vb_invalid_record, &n);
    }
    [[noreturn]] void invalid_data() const { errors::raise(err::script::invalid_data, source_); }

    // ---- Reading ----

    size_t left() const { return size_t(end_ - p_); }
    void need(size_t n, const uint8_t* at) const {
        if (left() < n) fault(at);
    }
    uint8_t u8() {
        need(1, p_);
        return *p_++;
    }
    uint32_t u32() {
        need(4, p_);
        uint32_t v = read_le32(p_);
        p_ += 4;
        return v;
    }
    double f64() {
        need(8, p_);
        uint64_t bits = uint64_t(read_le32(p_ + 4)) << 32 | read_le32(p_);
        p_ += 8;
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    // At most five bytes; the fifth carries the top four bits only.
    uint32_t uvarint() {
        const uint8_t* at = p_;
        uint32_t v = 0;
        for (int i = 0; i < 5; i++) {
            if (p_ >= end_) fault(at);
            uint8_t b = *p_++;
            if (i == 4) {
                if (b & 0xF0) fault(at);
                return v | uint32_t(b) << 28;
            }
            v |= uint32_t(b & 0x7F) << (7 * i);
            if (!(b & 0x80)) return v;
        }
        return v;
    }
    int32_t svarint() { return unzigzag(uvarint()); }
    // The form's unsigned and signed integers.
    uint32_t unsigned_value() { return compact_ ? uvarint() : u32(); }
    int32_t signed_value() { return compact_ ? svarint() : int32_t(u32()); }
    // A count of items of at least `least` bytes each in the rest of the records area.
    uint32_t item_count(size_t least) {
        const uint8_t* at = p_;
        uint32_t n = unsigned_value();
        if (n > uint32_t(INT32_MAX) || uint64_t(n) * least > left()) fault(at);
        return n;
    }
    uint32_t record_count() { return item_count(compact_ ? 1 : 4); }
    // A series' head index: the compact form writes it only with the short-form bit.
    uint32_t head_index(const Head& h, uint32_t unit) {
        const uint8_t* at = p_;
        uint32_t head = compact_ ? (h.short_form ? uvarint() : 0) : u32();
        if (head > uint32_t(cell::max_series_bytes) / unit) fault(at);
        return head;
    }
    // Raw bytes: the fixed form pads them to whole words.
    const uint8_t* take_bytes(uint64_t n, const uint8_t* at) {
        uint64_t span = compact_ ? n : (n + 3) & ~uint64_t(3);
        if (span > left()) fault(at);
        const uint8_t* start = p_;
        p_ += span;
        return start;
    }

    // ---- Header and symbol table ----

    // Before the records area is known each read is bounded by the data's end,
    // or, when that is unknown, by a short stretch past the position.
    void bound_header(size_t stretch) {
        end_ = end_known_ && size_t(data_end_ - p_) <= stretch ? data_end_ : p_ + stretch;
    }
    size_t data_left() const { return end_known_ ? size_t(data_end_ - p_) : SIZE_MAX; }

    void compact_header(bool with_symbols) {
        bound_header(20);
        uvarint();  // root count: the records area's size says where they end
        bound_header(20);
        const uint8_t* size_at = p_;
        uint32_t records = uvarint();
        if (with_symbols) {
            bound_header(20);
            const uint8_t* count_at = p_;
            uint32_t count = uvarint();
            bound_header(20);
            const uint8_t* names_at = p_;
            uint32_t names = uvarint();
            symbol_table(count, count_at, names, names_at);
        }
        records_area(records, size_at);
    }

    void fixed_header(bool with_symbols) {
        if (data_left() < 8) invalid_data();
        bound_header(8);
        u32();  // root count
        const uint8_t* size_at = p_;
        uint32_t records = u32();
        if (with_symbols) {
            bound_header(8);
            const uint8_t* count_at = p_;
            uint32_t count = u32();
            const uint8_t* names_at = p_;
            uint32_t names = u32();
            symbol_table(count, count_at, names, names_at);
        }
        records_area(records, size_at);
    }

    void symbol_table(uint32_t count, const uint8_t* count_at, uint32_t names, const uint8_t* names_at) {
        if (count > uint32_t(INT32_MAX) || count > data_left() / 4) fault(count_at);
        if (names > uint32_t(INT32_MAX) || names > data_left() - size_t(count) * 4) fault(names_at);
        offsets_ = p_;
        names_ = p_ + size_t(count) * 4;
        symbol_count_ = count;
        names_size_ = names;
        if (names > 0 && names_[names - 1] != 0) fault(names_ + names - 1);
        symbol_ids_.assign(count, 0);
        p_ = names_ + names;
    }

    void records_area(uint32_t size, const uint8_t* size_at) {
        if (size > uint32_t(INT32_MAX) || size > data_left()) fault(size_at);
        end_ = p_ + size;
    }

    // A symbol reference: its index in the file's table, interned on first use.
    uint32_t symbol_reference() {
        const uint8_t* at = p_;
        uint32_t index = unsigned_value();
        if (index >= symbol_count_) fault(at);
        if (symbol_ids_[index]) return index;
        uint32_t offset = read_le32(offsets_ + size_t(index) * 4);
        if (offset >= names_size_) fault(at);
        const uint8_t* name = names_ + offset;
        size_t length = std::strlen(reinterpret_cast<const char*>(name));  // the table ends with a NUL
        if (!valid_utf8(name, name + length)) fault(at);
        symbol_ids_[index] = symbols::make_from_utf8(reinterpret_cast<const char*>(name), int32_t(length));
        return index;
    }
    int32_t symbol() { return symbol_ids_[symbol_reference()]; }

    // The global word of a symbol: its slot is looked up (or made) once a decode.
    Cell global_word(uint32_t reference, uint8_t type) {
        int32_t id = symbol_ids_[reference];
        if (global_slots_.empty()) global_slots_.assign(symbol_count_, 0);
        if (!global_slots_[reference]) {
            Cell w{};
            word::make_at(id, &w);
            global_slots_[reference] = uint32_t(cell::word_index(&w)) + 1;
        }
        return {type, context::global, uint32_t(id), global_slots_[reference] - 1};
    }

    // ---- Record heads ----

    bool skip_filler() {
        need(4, p_);
        if (read_le32(p_) & fixed_type_mask) return false;
        p_ += 4;
        return true;
    }

    Head read_head() { return compact_ ? compact_head() : fixed_head(); }

    Head compact_head() {
        Head h{};
        h.at = p_;
        for (;;) {
            need(1, p_);
            uint8_t b = *p_;
            if (b == prefix_new_line) {
                h.new_line = true;
            } else if (b == prefix_reference) {
                h.reference = true;
            } else if (b == prefix_assignment) {
                if (!boot_) fault(p_);
                h.assign = true;
            } else {
                break;
            }
            p_++;
        }
        h.lead_at = p_;
        uint8_t lead = *p_++;
        h.bits = lead;
        if (lead >= lead_small_integer && lead < prefix_new_line) {
            h.special = Head::small_integer;
        } else if (lead == lead_true || lead == lead_false) {
            h.special = lead == lead_true ? Head::logic_true : Head::logic_false;
        } else if (lead == lead_back_reference) {
            h.special = Head::back_reference;
        } else if (lead >= prefix_new_line) {
            fault(h.lead_at);
        } else {
            uint32_t type = lead & lead_type_mask;
            h.short_form = (lead & lead_short_form) != 0;
            if (type == lead_type_follows) type = uvarint();
            if (type == 0 || type > 0xFF) fault(h.lead_at);
            h.type = uint8_t(type);
        }
        if (h.special != Head::none && (h.reference || h.assign)) fault(h.lead_at);
        if (h.assign && !(is_word_kind(h.type) || h.type == type_issue)) fault(h.lead_at);
        refuse(h);
        return h;
    }

    Head fixed_head() {
        while (skip_filler()) {
        }
        Head h{};
        h.at = h.lead_at = p_;
        h.bits = u32();
        h.type = uint8_t(h.bits & fixed_type_mask);
        h.new_line = (h.bits & fixed_new_line) != 0;
        h.reference = (h.bits & fixed_reference) != 0;
        h.assign = boot_ && is_word_kind(h.type) && (h.bits & fixed_word_assign);
        refuse(h);
        return h;
    }

    void refuse(const Head& h) const {
        if (h.special != Head::none || !is_refused(h.type)) return;
        Cell datatype = cell::make_datatype(h.type);
        errors::raise(err::access::no_codec, &datatype);
    }

    // ---- Records ----

    // Decodes one record and appends what it makes to the block (nothing for
    // an assignment).
    void record(uint32_t into) {
        Head h = read_head();
        dispatch(h, into);
    }

    // A record that must make exactly one value: no assignment.
    void value(uint32_t into) {
        Head h = read_head();
        if (h.assign) fault(h.at);
        dispatch(h, into);
    }

    void append(uint32_t into, Cell c, const Head& h) {
        if (h.new_line) c.header |= cell::flag_new_line;
        *series::alloc_tail_cell(into) = c;
    }

    void place(uint32_t into, int32_t index, Cell c, const Head& h) {
        if (h.new_line) c.header |= cell::flag_new_line;
        *cell_at(into, index) = c;
    }

    void dispatch(const Head& h, uint32_t into) {
        if (++depth_ > max_depth) fault(h.at);
        switch (h.special) {
            case Head::small_integer: {
                Cell c{};
                append(into, *cell::make_integer(&c, int32_t(h.bits - lead_small_integer)), h);
                break;
            }
            case Head::logic_true: case Head::logic_false: {
                Cell c{};
                append(into, *cell::make_logic(&c, h.special == Head::logic_true), h);
                break;
            }
            case Head::back_reference: {
                const uint8_t* at = p_;
                Cell c = walk_path();
                if (cell::type(&c) == 0) fault(at);
                cell::clear_new_line(&c);
                append(into, c, h);
                break;
            }
            case Head::none: typed(h, into); break;
        }
        depth_--;
    }

    // Nested records recurse through here once a level; the handlers are kept
    // out of line (noinline) so that their locals do not widen every level's
    // frame: max_depth levels must fit a thread's ordinary stack.
    void typed(const Head& h, uint32_t into) {
        switch (h.type) {
            case type_datatype: {
                const uint8_t* at = p_;
                uint32_t id = unsigned_value();
                if (id == 0 || id >= uint32_t(max_type_slots) || !datatype::is_registered(int32_t(id))) fault(at);
                append(into, cell::make_datatype(uint8_t(id)), h);
                break;
            }
            case type_unset: {
                Cell c{};
                append(into, *cell::make_unset(&c), h);
                break;
            }
            case type_none: append(into, none_cell, h); break;
            case type_logic: {
                if (compact_) fault(h.lead_at);  // the compact form has lead bytes for both
                const uint8_t* at = p_;
                uint32_t v = u32();
                if (v > 1) fault(at);
                Cell c{};
                append(into, *cell::make_logic(&c, v != 0), h);
                break;
            }
            case type_char: {
                const uint8_t* at = p_;
                uint32_t cp = unsigned_value();
                if (cp > char_type::max_code_point) fault(at);
                append(into, char_type::make(cp), h);
                break;
            }
            case type_integer: {
                Cell c{};
                append(into, *cell::make_integer(&c, signed_value()), h);
                break;
            }
            case type_float: case type_percent: case type_time: number(h, into); break;
            case type_pair: {
                int32_t x = signed_value();
                int32_t y = signed_value();
                append(into, {type_pair, 0, uint32_t(x), uint32_t(y)}, h);
                break;
            }
            case type_point2d: case type_point3d: {
                uint32_t x = u32(), y = u32();
                uint32_t z = h.type == type_point3d ? u32() : 0;
                append(into, {h.type, x, y, z}, h);
                break;
            }
            case type_date: date(h, into); break;
            case type_typeset: typeset(h, into); break;
            case type_tuple: tuple(h, into); break;
            case type_money: money(h, into); break;
            case type_issue: issue(h, into); break;
            case type_word: case type_set_word: case type_lit_word: case type_get_word: case type_refinement:
                word(h, into);
                break;
            case type_block: case type_paren: case type_path: case type_lit_path: case type_set_path:
            case type_get_path: case type_hash:
                block_series(h, into);
                break;
            case type_string: case type_file: case type_url: case type_tag: case type_email: case type_ref:
            case type_binary:
                text(h, into);
                break;
            case type_vector: vector(h, into); break;
            case type_bitset: bitset(h, into); break;
            case type_image: image(h, into); break;
            case type_map: map(h, into); break;
            case type_context: context_value(h, into); break;
            case type_object: object(h, into); break;
            case type_function: function(h, into); break;
            case type_native: case type_action: native(h, into); break;
            case type_op: op(h, into); break;
            case type_error: error_value(h, into); break;
            default: fault(h.lead_at);
        }
    }

    // ---- Scalars ----

    [[gnu::noinline]] void number(const Head& h, uint32_t into) {
        double d;
        if (compact_ && h.short_form) {
            int32_t i = svarint();
            d = h.type == type_percent ? i / 100.0 : double(i);
        } else {
            d = f64();
        }
        Cell c{};
        cell::make_float(&c, d);
        cell::set_type(&c, h.type);
        append(into, c, h);
    }

    [[gnu::noinline]] void date(const Head& h, uint32_t into) {
        const uint8_t* at = p_;
        uint32_t bits = u32();
        bool with_time = calendar::has_time(bits);
        double time = 0;
        if (compact_) {
            if (with_time != h.short_form) fault(at);
            if (with_time) time = f64();
        } else {
            time = f64();
        }
        if (!valid_date(bits, time)) fault(at);
        if (!with_time) time = 0;  // the fixed form carries the double all the same
        Cell c{};
        append(into, *date_type::make_from(&c, bits, time), h);
    }

    [[gnu::noinline]] void typeset(const Head& h, uint32_t into) {
        Cell c = {type_typeset, 0, 0, 0};
        cell::Payload bits{};
        if (compact_) {
            const uint8_t* at = p_;
            uint8_t n = u8();
            if (n > max_typeset_bytes) fault(at);
            static_assert(sizeof bits.words == max_typeset_bytes);
            const uint8_t* bytes = take_bytes(n, at);
            std::memcpy(bits.words, bytes, n);
        } else {
            for (uint32_t& w : bits.words) w = u32();
        }
        cell::set_payload(&c, bits);
        append(into, c, h);
    }

    [[gnu::noinline]] void tuple(const Head& h, uint32_t into) {
        uint8_t bytes[max_tuple_bytes] = {};
        int32_t n = 3;
        if (compact_) {
            const uint8_t* at = p_;
            if (h.short_form) {
                n = u8();
                if (n < 1 || n > max_tuple_bytes) fault(at);
            }
            std::memcpy(bytes, take_bytes(uint64_t(n), at), size_t(n));
        } else {
            n = int32_t((h.bits & fixed_unit_mask) >> fixed_unit_shift);
            if (n < 1 || n > max_tuple_bytes) fault(h.lead_at);
            std::memcpy(bytes, take_bytes(max_tuple_bytes, p_), max_tuple_bytes);
        }
        Cell c{};
        append(into, *tuple_type::make_at(&c, bytes, n), h);
    }

    [[gnu::noinline]] void money(const Head& h, uint32_t into) {
        bool negative = compact_ ? h.short_form : (h.bits & fixed_money_negative) != 0;
        const uint8_t* at = p_;
        const uint8_t* bytes = take_bytes(1 + money_type::packed_bytes, at);
        if (bytes[0] > money_type::currencies::count()) fault(at);
        Cell c{};
        if (!money_type::make_at(&c, negative, bytes[0], bytes + 1)) fault(at);
        append(into, c, h);
    }

    // ---- Back-references ----

    // Walks a path from the destination block and answers the cell it names.
    [[gnu::noinline]] Cell walk_path() {
        const uint8_t* at = p_;
        uint32_t n = unsigned_value();
        if (n < 1 || n > max_path_length || uint64_t(n) * (compact_ ? 1 : 4) > left()) fault(at);
        Cell c = {type_block, 0, destination_, 0};
        for (uint32_t k = 0; k < n; k++) {
            at = p_;
            uint32_t index = unsigned_value();
            c = step(c, index, at);
        }
        return c;
    }

    Cell step(const Cell& from, uint32_t index, const uint8_t* at) const {
        uint8_t t = cell::type(&from);
        uint32_t node = 0;
        uint64_t skip = 0;
        Cell function{};
        if (unwrap_function(from, &function)) return function_step(function, index, at);
        if (is_block_kind(t) || t == type_hash || t == type_map) {
            node = cell::series_node(&from);
        } else if (t == type_native || t == type_action || t == type_op) {
            node = cell::function_spec(&from);
        } else if (is_word_kind(t)) {
            uint32_t ctx = cell::word_context(&from);
            if (!ctx) fault(at);
            if (unwrap_function(*context::owner_cell(ctx), &function)) return function_step(function, index, at);
            node = values_of(ctx, at);
        } else if (t == type_object || t == type_error || t == type_port) {
            if (t == type_error) {
                for (auto p = pending_fields_.rbegin(); p != pending_fields_.rend(); ++p)
                    if (p->context == cell::context_node(&from) && p->field == index &&
                        p->scratch_index < cell_count(p->scratch_series))
                        return *cell_at(p->scratch_series, p->scratch_index);
            }
            node = values_of(cell::context_node(&from), at);
            if (t == type_error) skip = error::field_arg1;
        } else if (t == type_context) {
            if (from.header & cell::flag_stack_context) fault(at);
            node = cell::context_values(&from);
        } else {
            fault(at);
        }
        if (!node || uint64_t(index) + skip >= uint64_t(cell_count(node))) fault(at);
        return *cell_at(node, int64_t(index + skip));
    }

    Cell function_step(const Cell& function, uint32_t index, const uint8_t* at) const {
        if (index == 0) return {type_block, 0, cell::function_spec(&function), 0};
        if (index == 1) return *cell_at(cell::function_info(&function), function::info_body);
        fault(at);
    }

    uint32_t values_of(uint32_t ctx, const uint8_t* at) const {
        if (context::is_stack(ctx)) fault(at);
        return cell::context_values(context::context_cell(ctx));
    }

    // An object or function named through one of its words: an owner written
    // in full inside a word record stands where the word now stands.
    static Cell owner_named(const Cell& c) {
        if (is_word_kind(cell::type(&c)) && cell::word_context(&c)) return *context::owner_cell(cell::word_context(&c));
        return c;
    }

    // The cell a reference names, which must be of a kind the record accepts.
    template <class Accepts>
    Cell referenced(Accepts accepts) {
        const uint8_t* at = p_;
        Cell c = walk_path();
        if (!accepts(cell::type(&c))) fault(at);
        return c;
    }

    // ---- Words ----

    [[gnu::noinline]] void word(const Head& h, uint32_t into) {
        uint32_t reference = symbol_reference();
        int32_t symbol_id = symbol_ids_[reference];
        bool global = false;
        uint32_t ctx = 0;
        int32_t slot = -1;
        int32_t owner_index = -1;  // where an owner written in full was decoded
        const uint8_t* slot_at = p_;
        if (boot_) {
            if (compact_ && h.reference) fault(h.lead_at);
            const uint8_t* root_at = p_;
            int64_t root = compact_ ? (h.short_form ? int64_t(uvarint()) : -1) : int64_t(int32_t(u32()));
            global = root == -1;
            if (!compact_ || !global) {  // the fixed form writes a slot for a global word too
                slot_at = p_;
                slot = signed_value();
            }
            if (!global) {
                ctx = root_context(root, root_at);
                if (slot == -1) slot = context::find_word(ctx, symbol_id, true);
                if (slot < 0 || slot >= context::word_count(ctx)) fault(slot_at);
            }
        } else {
            global = compact_ ? !h.short_form : (h.bits & fixed_word_global) != 0;
            if (compact_ && global && h.reference) fault(h.lead_at);
            if (!compact_ || !global) {
                slot_at = p_;
                slot = signed_value();
            }
            if (!global) {
                ctx = h.reference ? owner_by_path() : owner_in_full(into, &owner_index);
                if (slot < -1 || slot >= context::word_count(ctx)) fault(slot_at);
            }
        }
        Cell w = global ? global_word(reference, h.type) : Cell{h.type, ctx, uint32_t(symbol_id), uint32_t(slot)};
        // The word takes its owner's place; its context keeps the owner alive.
        int32_t index = owner_index >= 0 ? owner_index : reserve(into);
        place(into, index, w, h);
        if (h.assign) assign(into, index, cell::word_context(&w), cell::word_index(&w), h.at);
    }

    // Boot mode: the context of root cell r, counted from this decode's first cell.
    uint32_t root_context(int64_t root, const uint8_t* at) const {
        if (root < 0 || first_cell_ + root >= cell_count(destination_)) fault(at);
        uint32_t ctx = context_of(cell_at(destination_, first_cell_ + root));
        if (!ctx) fault(at);
        return ctx;
    }

    uint32_t owner_by_path() {
        const uint8_t* at = p_;
        Cell owner = walk_path();
        uint32_t ctx = context_of(&owner);
        if (!ctx) fault(at);
        return ctx;
    }

    // The owning object or function written in full: decoded where the word
    // will stand, so that references made inside it and later ones find it
    // there (and through the word, once it has taken the place).
    [[gnu::noinline]] uint32_t owner_in_full(uint32_t into, int32_t* index) {
        Head h = read_head();
        if (h.special != Head::none || h.assign || (h.type != type_object && h.type != type_function))
            fault(h.lead_at);
        *index = cell_count(into);
        dispatch(h, into);
        return cell::context_node(cell_at(into, *index));
    }

    // Boot mode's assignment: the next record is the value of the slot;
    // neither it nor the word stays in the block.
    void assign(uint32_t into, int32_t word_index, uint32_t ctx, int32_t slot, const uint8_t* at) {
        value(into);
        if (slot < 0 || context::is_stack(ctx)) fault(at);
        uint32_t values = cell::context_values(context::context_cell(ctx));
        if (slot >= cell_count(values)) fault(at);
        *cell_at(values, slot) = *cell_at(into, word_index + 1);
        truncate(into, word_index);
    }

    [[gnu::noinline]] void issue(const Head& h, uint32_t into) {
        int32_t symbol_id = symbol();
        Cell c{};
        issue::make_at(symbol_id, &c);
        if (!h.assign) {
            append(into, c, h);
            return;
        }
        // An issue names no slot: its assignment goes to the global word of its name.
        int32_t slot = context::add_word(context::global, symbol_id);
        int32_t index = reserve(into);
        place(into, index, c, h);
        assign(into, index, context::global, slot, h.at);
    }

    // ---- Series ----

    void block_series(const Head& h, uint32_t into) {
        uint32_t head = head_index(h, 16);
        if (h.reference) {
            bool hash = h.type == type_hash;
            Cell c = referenced([hash](uint8_t t) { return hash ? t == type_hash : is_block_kind(t); });
            append(into, {h.type, head, cell::series_node(&c), hash ? cell::hash_table(&c) : 0}, h);
            return;
        }
        uint32_t n = record_count();
        int32_t index = reserve(into);
        uint32_t node = memory::alloc_cells(int32_t(std::max(n, 1u)));
        place(into, index, {h.type, head, node, 0}, h);
        for (uint32_t k = 0; k < n; k++) record(node);
        if (h.type == type_hash) {
            Cell c = *cell_at(into, index);
            hash_type::index_in_place(&c, std::max(cell_count(node), 1));
            *cell_at(into, index) = c;
        }
    }

    // A block! record whose cells go into a series made already (a function's
    // spec or body, a native's spec); answers its head index. With none_allowed
    // a none! record stands for no block (a function without a body): -1.
    [[gnu::noinline]] int64_t block_into(uint32_t node, bool none_allowed = false) {
        Head h = read_head();
        if (none_allowed && h.special == Head::none && h.type == type_none && !h.reference && !h.assign) return -1;
        if (h.special != Head::none || h.type != type_block || h.reference || h.assign) fault(h.lead_at);
        if (++depth_ > max_depth) fault(h.at);
        uint32_t head = head_index(h, 16);
        uint32_t n = record_count();
        for (uint32_t k = 0; k < n; k++) record(node);
        depth_--;
        return head;
    }

    // The string kinds and binary!: characters of one width.
    [[gnu::noinline]] void text(const Head& h, uint32_t into) {
        bool binary = h.type == type_binary;
        uint32_t head = head_index(h, 1);
        if (h.reference) {
            Cell c = referenced([binary](uint8_t t) { return binary ? t == type_binary : is_text_kind(t); });
            append(into, {h.type, head, cell::series_node(&c), 0}, h);
            return;
        }
        const uint8_t* at = p_;
        uint32_t unit = 1, n;
        if (compact_) {
            uint32_t length = uvarint();
            uint32_t code = binary ? 0 : length & 3;
            if (code == 3) fault(at);
            unit = 1u << code;
            n = binary ? length : length >> 2;
        } else {
            unit = (h.bits & fixed_unit_mask) >> fixed_unit_shift;
            if (unit != 1 && (binary || (unit != 2 && unit != 4))) fault(h.lead_at);
            at = p_;
            n = u32();
        }
        uint64_t bytes = uint64_t(n) * unit;
        if (bytes > uint64_t(cell::max_series_bytes)) fault(at);
        const uint8_t* chars = take_bytes(bytes, at);
        if (unit == 4)
            for (uint32_t i = 0; i < n; i++)
                if (read_le32(chars + size_t(i) * 4) > char_type::max_code_point) fault(at);
        int32_t index = reserve(into);
        uint32_t node = memory::alloc_units(int32_t(n), int32_t(unit));
        fill(node, chars, size_t(bytes));
        place(into, index, {h.type, head, node, 0}, h);
    }

    static void fill(uint32_t node, const uint8_t* bytes, size_t n) {
        SeriesBuffer* b = nodes::buffer(node);
        if (n) std::memcpy(b->head_ptr(), bytes, n);
        b->tail = b->head + uint32_t(n);
    }

    [[gnu::noinline]] void vector(const Head& h, uint32_t into) {
        uint32_t head = head_index(h, 1);
        if (h.reference) {
            Cell c = referenced([](uint8_t t) { return t == type_vector; });
            append(into, {type_vector, head, cell::series_node(&c), cell::vector_element_type(&c)}, h);
            return;
        }
        const uint8_t* at = p_;
        uint32_t element, width, n;
        if (compact_) {
            uint8_t kind = u8();
            element = kind >> 2;
            width = 1u << (kind & 3);
            n = uvarint();
        } else {
            width = (h.bits & fixed_unit_mask) >> fixed_unit_shift;
            n = u32();
            element = u32();
        }
        if (element > 0xFF || !valid_vector_width(uint8_t(element), width)) fault(at);
        uint64_t bytes = uint64_t(n) * width;
        if (bytes > uint64_t(cell::max_series_bytes)) fault(at);
        const uint8_t* data = take_bytes(bytes, at);
        int32_t index = reserve(into);
        uint32_t node = memory::alloc_units(int32_t(n), int32_t(width));
        fill(node, data, size_t(bytes));
        place(into, index, {type_vector, head, node, element}, h);
    }

    [[gnu::noinline]] void bitset(const Head& h, uint32_t into) {
        if (h.reference) {
            Cell c = referenced([](uint8_t t) { return t == type_bitset; });
            append(into, bitset::make_cell(cell::series_node(&c)), h);
            return;
        }
        bool complemented = compact_ ? h.short_form : (h.bits & fixed_bitset_complemented) != 0;
        const uint8_t* at = p_;
        uint32_t n = item_count(1);
        const uint8_t* bytes = take_bytes(n, at);
        int32_t index = reserve(into);
        uint32_t node = bitset::make_bytes(int32_t(n), 0);
        if (n) std::memcpy(bitset::bits_pointer(node), bytes, n);
        bitset::set_complemented(node, complemented);
        place(into, index, bitset::make_cell(node), h);
    }

    // The position, the size and the stored pixels, into a new record (or
    // none for an image without pixels); a reference shares the record.
    [[gnu::noinline]] void image(const Head& h, uint32_t into) {
        const uint8_t* head_at = p_;
        uint32_t head = head_index(h, 4);
        if (h.reference) {
            Cell c = referenced([](uint8_t t) { return t == type_image; });
            uint32_t size = cell::image_size(&c);
            if (head > (size & 0xFFFF) * (size >> 16)) fault(head_at);
            append(into, {type_image, head, cell::series_node(&c), size}, h);
            return;
        }
        const uint8_t* at = p_;
        uint32_t width, height;
        if (compact_) {
            width = uvarint();
            height = uvarint();
        } else {
            uint32_t size = u32();
            width = size & 0xFFFF;
            height = size >> 16;
        }
        if (width > uint32_t(imaging::max_side) || height > uint32_t(imaging::max_side)) fault(at);
        uint64_t bytes = uint64_t(width) * height * 4;
        if (int64_t(bytes) >= imaging::max_bytes) fault(at);
        if (head > width * height) fault(head_at);
        const uint8_t* pixels = take_bytes(bytes, at);
        imaging::Pixels made_pixels;
        made_pixels.width = int32_t(width);
        made_pixels.height = int32_t(height);
        try {
            made_pixels.bgra.assign(pixels, pixels + bytes);
        } catch (const std::bad_alloc&) {
            errors::raise(err::internal::no_memory);
        }
        int32_t index = reserve(into);
        Cell made{};
        image::make_from_pixels(&made, std::move(made_pixels),
                                image_record::flag_bitmap_current | image_record::flag_bitmap_written, false, true);
        cell::set_series_index(&made, int32_t(head));
        place(into, index, made, h);
    }

    [[gnu::noinline]] void map(const Head& h, uint32_t into) {
        if (h.reference) {
            Cell c = referenced([](uint8_t t) { return t == type_map; });
            cell::clear_new_line(&c);
            append(into, c, h);
            return;
        }
        const uint8_t* at = p_;
        uint32_t n = record_count();
        if (n % 2) fault(at);
        int32_t index = reserve(into);
        uint32_t pairs = memory::alloc_cells(int32_t(std::max(n, 2u)));
        place(into, index, {type_map, 0, pairs, 0}, h);
        for (uint32_t k = 0; k < n; k++) {
            const uint8_t* key_at = p_;
            value(pairs);
            if (k % 2 == 0 && !map_type::valid_key_type(cell::type(cell_at(pairs, k)))) fault(key_at);
        }
        Cell block = {type_block, 0, pairs, 0};
        gc::Local made(none_cell);
        map_type::make_at(&made, &block, int32_t(n / 2));
        cell::set_hash_table(cell_at(into, index), cell::hash_table(&made));
    }

    // ---- Contexts, objects, functions ----

    struct ContextShape {
        const uint8_t* at;
        bool values;
        int32_t count;
    };

    // The context! record's head inside an object! or function! record.
    Head context_head() {
        Head h{};
        h.at = h.lead_at = p_;
        if (compact_) {
            if (u8() != type_context) fault(h.at);
        } else {
            h.bits = u32();
            if ((h.bits & fixed_type_mask) != type_context || (h.bits & fixed_reference)) fault(h.at);
        }
        h.type = type_context;
        return h;
    }

    // Reads a context! record's flags and words into a new context (*ctx,
    // which the caller protects).
    ContextShape context_words(const Head& h, uint32_t* ctx) {
        ContextShape shape{h.at, false, 0};
        uint32_t kind;
        bool stack, made;
        if (compact_) {
            shape.at = p_;
            uint8_t flags = u8();
            kind = flags & context_kind_bits;
            stack = flags & context_stack;
            made = flags & context_made;
            shape.values = flags & context_values;
        } else {
            kind = (h.bits >> fixed_context_kind_shift) & 3;
            stack = h.bits & fixed_context_stack;
            made = h.bits & fixed_context_flag;
            shape.values = h.bits & fixed_context_values;
        }
        if (kind > context::kind_object || (stack && shape.values)) fault(shape.at);
        shape.count = int32_t(record_count());
        *ctx = context::make(shape.count, stack, made, 0, context::Kind(kind));
        for (int32_t k = 0; k < shape.count; k++) {
            const uint8_t* at = p_;
            int32_t added;
            if (context::find_or_add_word(*ctx, symbol(), true, &added) >= 0) fault(at);  // twice in one context
        }
        return shape;
    }

    void fill_values(uint32_t ctx, const ContextShape& shape) {
        if (context::is_stack(ctx)) return;
        uint32_t values = cell::context_values(context::context_cell(ctx));
        for (int32_t k = 0; k < shape.count; k++) {
            if (shape.values)
                value(values);
            else
                cell::make_unset(series::alloc_tail_cell(values));
        }
    }

    [[gnu::noinline]] void context_value(const Head& h, uint32_t into) {
        if (h.reference) {
            const uint8_t* at = p_;
            Cell named = walk_path();
            uint32_t ctx = context_of(&named);
            if (!ctx) fault(at);
            append(into, *context::context_cell(ctx), h);
            return;
        }
        int32_t index = reserve(into);
        uint32_t ctx = 0;
        gc::ProtectNode keep(&ctx);
        ContextShape shape = context_words(h, &ctx);
        place(into, index, *context::context_cell(ctx), h);
        fill_values(ctx, shape);
    }

    [[gnu::noinline]] void object(const Head& h, uint32_t into) {
        if (h.reference) {
            const uint8_t* at = p_;
            Cell c = owner_named(walk_path());
            if (cell::type(&c) != type_object) fault(at);
            cell::clear_new_line(&c);
            append(into, c, h);
            return;
        }
        int32_t class_id = signed_value();
        bool handlers = compact_ ? h.short_form : (h.bits & fixed_object_handlers) != 0;
        const uint8_t* handlers_at = p_;
        uint32_t record[2] = {0, 0};
        if (handlers) {
            record[0] = uint32_t(signed_value());
            record[1] = uint32_t(signed_value());
        }
        Head context_record = context_head();
        int32_t index = reserve(into);
        uint32_t ctx = 0;
        gc::ProtectNode keep(&ctx);
        ContextShape shape = context_words(context_record, &ctx);
        if (context::is_stack(ctx)) fault(shape.at);
        Cell o = {type_object, ctx, boot_ ? uint32_t(class_id) : saved_class_id, 0};
        place(into, index, o, h);
        *context::owner_cell(ctx) = o;
        fill_values(ctx, shape);
        if (handlers) change_handlers(into, index, record, shape.count, handlers_at);
    }

    // The object's change record as stored: each handler's field position
    // must name a field (0xFFFF: none). With on-deep-change* the object owns
    // the series in its fields, as an object made by the language does.
    void change_handlers(uint32_t into, int32_t index, const uint32_t* record, int32_t fields,
                         const uint8_t* at) {
        int32_t position[2];
        for (int k = 0; k < 2; k++) {
            uint32_t p = record[k] >> 16;
            if (p != object_type::no_handler && p >= uint32_t(fields)) fault(at);
            position[k] = p == object_type::no_handler ? -1 : int32_t(p);
        }
        uint32_t node = object_type::make_change_record(position[0], int32_t(record[0] & 0xFFFF), 0, position[1],
                                                        int32_t(record[1] & 0xFFFF), 0);
        Cell* o = cell_at(into, index);
        cell::set_change_record(o, node);
        gc::Local owner(*o);
        cell::clear_new_line(&owner);
        uint32_t ctx = cell::context_node(&owner);
        *context::owner_cell(ctx) = owner;
        if (position[1] < 0) return;
        for (int32_t k = 0; k < fields; k++) {
            gc::Local field({type_word, ctx, uint32_t(cell::word_symbol(context::word_at(ctx, k))), uint32_t(k)});
            ownership::set_owner(cell_at(cell::context_values(context::context_cell(ctx)), k), &owner, &field);
        }
        context::context_cell(ctx)->header |= cell::flag_owner;
    }

    [[gnu::noinline]] void function(const Head& h, uint32_t into) {
        if (h.reference) {
            const uint8_t* at = p_;
            Cell named = owner_named(walk_path());
            Cell f{};
            if (!unwrap_function(named, &f)) fault(at);
            cell::clear_new_line(&f);
            append(into, f, h);
            return;
        }
        record_count();  // spec and body lengths: their records say as much
        record_count();
        Head context_record = context_head();
        int32_t index = reserve(into);
        uint32_t ctx = 0, spec = 0, body = 0;
        gc::ProtectNode keep_ctx(&ctx), keep_spec(&spec), keep_body(&body);
        ContextShape shape = context_words(context_record, &ctx);
        if (!context::is_stack(ctx)) fault(shape.at);
        spec = memory::alloc_cells(1);
        body = memory::alloc_cells(1);
        Cell spec_cell = {type_block, 0, spec, 0};
        {
            stack::Mark mark;
            function::push(&spec_cell, &none_cell, ctx, 0, 0, 0);
            Cell f = *stack::top_cell();
            *cell_at(cell::function_info(&f), function::info_body) = {type_block, 0, body, 0};
            place(into, index, f, h);
        }
        const uint8_t* spec_at = p_;
        block_into(spec);
        int64_t body_head = block_into(body, true);
        Cell* stored_body = cell_at(cell::function_info(cell_at(into, index)), function::info_body);
        if (body_head < 0)
            *stored_body = none_cell;
        else
            cell::set_series_index(stored_body, int32_t(body_head));
        if (!spec_matches_context(spec, ctx)) fault(spec_at);
    }

    // The words a function's context holds are those that its spec names, in
    // order, as the language makes them: a call lays its arguments out by the
    // spec and its words read them by slot.
    static bool spec_matches_context(uint32_t spec, uint32_t ctx) {
        int32_t next = 0;
        for (int32_t i = 0, n = cell_count(spec); i < n; i++) {
            const Cell* c = cell_at(spec, i);
            uint8_t t = cell::type(c);
            if (t != type_word && t != type_lit_word && t != type_get_word && t != type_refinement) continue;
            int32_t slot = context::find_word(ctx, cell::word_symbol(c), true);
            if (slot < 0 || slot > next) return false;
            if (slot == next) next++;
        }
        return next == context::word_count(ctx);
    }

    [[gnu::noinline]] void native(const Head& h, uint32_t into) {
        const uint8_t* at = p_;
        uint32_t position = unsigned_value();
        bool action = h.type == type_action;
        uint32_t limit = uint32_t(action ? natives::front_end_count : natives::native_count);
        if (position < 1 || position > limit) fault(at);
        if (!(action ? natives::front_end_at(int32_t(position)) : natives::native_at(int32_t(position)))) fault(at);
        int32_t index = reserve(into);
        uint32_t spec = 0, info = 0;
        gc::ProtectNode keep_spec(&spec), keep_info(&info);
        spec = memory::alloc_cells(1);
        info = memory::alloc_cells(2);
        cell::make_none(series::alloc_tail_cell(info));
        cell::make_none(series::alloc_tail_cell(info));
        place(into, index, {h.type, position, spec, info}, h);
        block_into(spec);
        Cell spec_cell = {type_block, 0, spec, 0};
        uint32_t ctx = context::make_from_block(&spec_cell, true, false, context::kind_function);
        *cell_at(info, 0) = *context::context_cell(ctx);
    }

    [[gnu::noinline]] void op(const Head& h, uint32_t into) {
        Head inner = read_head();
        if (inner.special != Head::none || inner.assign ||
            (inner.type != type_native && inner.type != type_action && inner.type != type_function))
            fault(inner.lead_at);
        int32_t index = cell_count(into);
        dispatch(inner, into);
        Cell source = *cell_at(into, index);
        cell::clear_new_line(&source);
        uint8_t t = cell::type(&source);
        if (t == type_function) *cell_at(cell::function_info(&source), function::info_op) = source;
        Cell o = source;
        o.header = (source.header & ~(uint32_t(cell::type_mask) | cell::op_source_mask)) | type_op |
                   uint32_t(t) << cell::op_source_shift;
        if (inner.new_line) o.header |= cell::flag_new_line;
        place(into, index, o, h);
    }

    [[gnu::noinline]] void error_value(const Head& h, uint32_t into) {
        const uint8_t* at = p_;
        uint32_t code = unsigned_value();
        if (!valid_error_code(code)) fault(at);
        int32_t index = reserve(into);
        {
            gc::Local made(none_cell);
            Cell spec{};
            cell::make_integer(&spec, int32_t(code));
            error::make(&spec, &made);
            place(into, index, made, h);
        }
        for (int32_t k = 0; k < 6; k++) {
            pending_fields_.push_back({cell::context_node(cell_at(into, index)), uint32_t(k), into, index + 1});
            value(into);
            pending_fields_.pop_back();
            Cell e = *cell_at(into, index);
            *error::field(&e, error::Field(error::field_arg1 + k)) = *cell_at(into, index + 1);
            truncate(into, index + 1);
        }
    }
};

// The file: magic, flags, the body (decompressed first when it is packed).
int32_t decode_file(const uint8_t* data, int64_t length, Cell* destination_block, bool raise_errors,
                    const Cell* source_value) {
    gc::Local destination(*destination_block);
    gc::Local source(source_value ? *source_value : none_cell);
    bool known = length >= 0;
    std::vector<uint8_t> copy;
    const uint8_t* start = data;
    if (known) {
        copy.assign(data, data + length);
        start = copy.data();
    }
    if ((known && length < int64_t(sizeof magic)) || std::memcmp(start, magic, sizeof magic) != 0) {
        if (raise_errors) errors::raise(err::script::invalid_data, &source);
        static const char message[] = "Error: Not a Vumbin file!";
        output::write_line8(message, int32_t(sizeof message - 1));
        sys::exit_process(0);
    }
    if (known && length < header_size) {
        Cell position{};
        cell::make_integer(&position, header_size);
        errors::raise(err::script::vb_invalid_record, &position);
    }
    uint8_t flags = start[7];
    const uint8_t* body = start + header_size;
    int64_t body_size = known ? length - header_size : -1;
    const uint8_t* origin = start;
    int64_t shift = 0;
    std::optional<std::vector<uint8_t>> unpacked;
    if (flags & flag_compressed) {
        // Unknown length: the container's own header says how long it is.
        size_t size = known ? size_t(body_size) : size_t(read_le32(body)) + 8;
        unpacked = lz::decompress(body, size);
        if (!unpacked) {
            if (raise_errors) errors::raise(err::script::invalid_data, &source);
            static const char message[] = "Error: Vumbin compressed data corrupted!";
            output::write_line8(message, int32_t(sizeof message - 1));
            sys::exit_process(0);
        }
        body = unpacked->data();
        body_size = int64_t(unpacked->size());
        origin = body;
        shift = header_size;
    }
    Decoder decoder(origin, shift, current_mode == Mode::boot, cell::series_node(&destination), &source);
    decoder.body(body, body_size, (flags & flag_compact) != 0, (flags & flag_symbols) != 0);
    return decoder.first_cell();
}

}  // namespace

Mode mode() { return current_mode; }
void set_mode(Mode m) { current_mode = m; }

void decode(const uint8_t* data, int64_t length, Cell* destination_block, bool raise_errors,
            const Cell* source_value) {
    int32_t base = decode_file(data, length, destination_block, raise_errors, source_value);
    if (!raise_errors) kept_root_base = base;
}

int32_t load_boot_image(const uint8_t* image, bool keep_root_base, int64_t length) {
    struct CollectorOff {
        int32_t saved = gc::state.enabled;
        CollectorOff() { gc::state.enabled = 0; }
        ~CollectorOff() { gc::state.enabled = saved; }
    } off;
    int32_t previous = kept_root_base;
    current_mode = Mode::boot;
    int32_t base = decode_file(image, length, &gc::roots.root_block, false, nullptr);
    kept_root_base = keep_root_base ? previous : base;
    return base;
}

int32_t root_base_index() { return kept_root_base; }

}  // namespace vum::vumbin
