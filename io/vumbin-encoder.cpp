#include "io/vumbin-encoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/bitset.h"
#include "datatypes/calendar.h"
#include "datatypes/error.h"
#include "datatypes/function.h"
#include "datatypes/image-record.h"
#include "datatypes/tuple.h"
#include "io/vumbin-format.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/hash-table.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"

namespace vum::vumbin {
namespace {

// ---- Scratch storage, all of it on the C++ heap ----

// Records grow here. Nothing in it is a language value, so the collector
// never needs to know about it, and nothing the walk does can move it.
class ByteBuffer {
public:
    void clear() { size_ = 0; }
    size_t size() const { return size_; }
    const uint8_t* data() const { return data_.get(); }

    // The next n bytes, for the caller to fill.
    uint8_t* grow(size_t n) {
        if (size_ + n > capacity_) reserve(size_ + n);
        uint8_t* at = data_.get() + size_;
        size_ += n;
        return at;
    }
    // Gives back the last n bytes of a grow that used fewer.
    void give_back(size_t n) { size_ -= n; }

    void byte(uint8_t b) { *grow(1) = b; }
    void append(const void* bytes, size_t n) {
        if (n) std::memcpy(grow(n), bytes, n);
    }
    void word(uint32_t w) {
        uint8_t* at = grow(4);
        at[0] = uint8_t(w);
        at[1] = uint8_t(w >> 8);
        at[2] = uint8_t(w >> 16);
        at[3] = uint8_t(w >> 24);
    }
    void uvarint(uint32_t v) {
        uint8_t* at = grow(5);
        size_t n = 0;
        while (v >= 0x80) {
            at[n++] = uint8_t(v | 0x80);
            v >>= 7;
        }
        at[n++] = uint8_t(v);
        give_back(5 - n);
    }
    void svarint(int32_t v) { uvarint(zigzag(v)); }
    // The fixed form keeps every record a whole number of words.
    void pad_to_word() {
        while (size_ & 3) byte(0);
    }

private:
    void reserve(size_t need) {
        size_t capacity = capacity_ ? capacity_ : 256;
        while (capacity < need) capacity += capacity / 2;
        std::unique_ptr<uint8_t[]> bigger(new uint8_t[capacity]);
        if (size_) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }

    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// Where records were written: every level entered is a step, its parent
// the level around it and its index the record that opened it, so that a
// place is a level and an index, stored in constant room however deep it
// lies (copying whole paths would make deep nesting quadratic).
struct Place {
    uint32_t level;  // a step; 0 is the top level
    uint32_t index;
};

// The reference table: from a series, context or function node to the
// place where it was first written. Open addressing over node ids; a
// generation number per slot makes emptying the table between encodes
// cost nothing, however large an earlier encode made it.
class NodePlaces {
public:
    void clear() {
        count_ = 0;
        if (++generation_ == 0) {
            for (Slot& s : slots_) s.generation = 0;
            generation_ = 1;
        }
    }

    const Place* find(uint32_t node) const {
        if (slots_.empty()) return nullptr;
        size_t mask = slots_.size() - 1;
        for (size_t i = home(node, mask);; i = (i + 1) & mask) {
            const Slot& s = slots_[i];
            if (s.generation != generation_) return nullptr;
            if (s.node == node) return &s.place;
        }
    }

    // Keeps the first place of a node.
    void add(uint32_t node, Place place) {
        if ((count_ + 1) * 2 > slots_.size()) rehash(slots_.empty() ? 64 : slots_.size() * 2);
        size_t mask = slots_.size() - 1;
        size_t i = home(node, mask);
        for (; slots_[i].generation == generation_; i = (i + 1) & mask)
            if (slots_[i].node == node) return;
        slots_[i] = {node, generation_, place};
        count_++;
    }

private:
    struct Slot {
        uint32_t node;
        uint32_t generation;
        Place place;
    };

    // Series made one after another are mostly met one after another: runs
    // of 16 node ids keep to neighbouring slots, which the cache then holds,
    // while the runs themselves scatter over the table.
    static size_t home(uint32_t node, size_t mask) {
        return (size_t(hashtable::fmix32(node >> 4)) << 4 | (node & 15)) & mask;
    }

    void rehash(size_t size) {
        std::vector<Slot> old(size, Slot{0, 0, {0, 0}});
        old.swap(slots_);
        size_t mask = size - 1;
        for (const Slot& s : old) {
            if (s.generation != generation_) continue;
            size_t i = home(s.node, mask);
            while (slots_[i].generation == generation_) i = (i + 1) & mask;
            slots_[i] = s;
        }
    }

    std::vector<Slot> slots_;
    size_t count_ = 0;
    uint32_t generation_ = 1;
};

// The file's symbol table: indexes in order of first use, found through a
// table indexed by symbol id (ids are small and dense), with the names as
// they will stand in the file.
class SymbolTable {
public:
    void clear() {
        for (int32_t id : ids_) index_of_[size_t(id)] = -1;
        ids_.clear();
        offsets_.clear();
        names_.clear();
    }

    uint32_t index(int32_t id) {
        auto at = size_t(id);
        if (at >= index_of_.size()) index_of_.resize(std::max(at + 1, index_of_.size() * 2), -1);
        int32_t& index = index_of_[at];
        if (index < 0) {
            index = int32_t(ids_.size());
            ids_.push_back(id);
            offsets_.push_back(uint32_t(names_.size()));
            int32_t length = 0;
            const char* name = symbols::text(id, &length);
            names_.append(name, size_t(length));
            names_.byte(0);
        }
        return uint32_t(index);
    }

    bool empty() const { return ids_.empty(); }
    uint32_t count() const { return uint32_t(ids_.size()); }
    const std::vector<uint32_t>& offsets() const { return offsets_; }
    const ByteBuffer& names() const { return names_; }

private:
    std::vector<int32_t> index_of_;  // by symbol id; -1 when not in the file
    std::vector<int32_t> ids_;       // in order of first use
    std::vector<uint32_t> offsets_;
    ByteBuffer names_;               // NUL-terminated UTF-8
};

[[noreturn]] void refuse(uint8_t type) {
    Cell datatype = cell::make_datatype(type);
    errors::raise(err::access::no_codec, &datatype);
}

// 1, 2, 4 and 8-byte units as the two-bit code that records carry.
uint8_t unit_code(uint32_t unit) { return uint8_t(__builtin_ctz(unit)); }

bool is_text_kind(uint8_t t) {
    return t == type_string || t == type_file || t == type_url || t == type_tag || t == type_email ||
           t == type_ref;
}

// Floats and times that are whole numbers within the first limit, and
// percents that are whole hundredths within the second, go as a varint.
constexpr double short_whole_limit = 2147483000.0;
constexpr double short_percent_limit = 21474836.0;

bool short_whole(double d, int32_t* out) {
    if (!(std::fabs(d) <= short_whole_limit) || d != std::trunc(d)) return false;
    if (d == 0 && std::signbit(d)) return false;
    *out = int32_t(d);
    return true;
}

// A percent that is a whole number of hundredths, exactly.
bool short_percent(double d, int32_t* out) {
    if (!(std::fabs(d) <= short_percent_limit)) return false;
    if (d == 0 && std::signbit(d)) return false;
    double hundredths = std::round(d * 100.0);
    if (hundredths / 100.0 != d) return false;
    *out = int32_t(hundredths);
    return true;
}

// How a series record treats the reference table.
enum class Sharing {
    shared,        // a node met before is written as a reference
    always_whole,  // written whole; noted for later references when new
    private_copy,  // written whole and never referred to
};

class Encoder {
public:
    // The boot flavour writes the boot image: version 1, and no word may
    // name an owner (boot mode reads that form as a root cell index).
    void start(bool compact, bool boot = false) {
        compact_ = compact;
        boot_ = boot;
        roots_ = 0;
        out_.clear();
        steps_.assign(1, Place{0, 0});
        saved_.clear();
        here_ = {0, 0};
        refs_.clear();
        symbols_.clear();
    }

    // A record at the current level: it takes the level's next index.
    void record(const Cell* c) {
        value(c, cell::has_new_line(c));
        here_.index++;
    }
    // A record of the top level: the file's root count counts them.
    void root_record(const Cell* c) {
        record(c);
        roots_++;
    }

    void finish(Cell* result) const;

private:
    // ---- Forms ----

    // An unsigned count or index: a varint, or a word in the fixed form.
    void count(uint32_t n) {
        if (compact_)
            out_.uvarint(n);
        else
            out_.word(n);
    }
    void signed_number(int32_t n) {
        if (compact_)
            out_.svarint(n);
        else
            out_.word(uint32_t(n));
    }
    void symbol(int32_t id) { count(symbols_.index(id)); }

    // The record's start: prefixes and lead byte, or the header word with
    // its per-type bits.
    void begin(uint8_t type, bool new_line, bool reference = false, bool short_form = false,
               uint32_t fixed_bits = 0) {
        if (compact_) {
            if (new_line) out_.byte(prefix_new_line);
            if (reference) out_.byte(prefix_reference);
            uint8_t s = short_form ? lead_short_form : 0;
            if (type < lead_type_follows) {
                out_.byte(uint8_t(type | s));
            } else {
                out_.byte(uint8_t(lead_type_follows | s));
                out_.uvarint(type);
            }
            return;
        }
        uint32_t header = type | fixed_bits;
        if (new_line) header |= fixed_new_line;
        if (reference) header |= fixed_reference;
        out_.word(header);
    }

    // The indexes from the top level down to the place.
    void path(const Place* place) {
        path_.clear();
        path_.push_back(place->index);
        for (uint32_t step = place->level; step != 0; step = steps_[step].level)
            path_.push_back(steps_[step].index);
        count(uint32_t(path_.size()));
        for (size_t i = path_.size(); i-- > 0;) count(path_[i]);
    }

    // ---- Levels and references ----

    // Records inside a record number from 0 again.
    [[gnu::noinline]] void enter() {
        // Past this depth a path could not name what lies inside.
        if (saved_.size() + 1 >= max_path_length) errors::raise(err::internal::too_deep);
        saved_.push_back(here_);
        steps_.push_back(here_);
        here_ = {uint32_t(steps_.size() - 1), 0};
    }
    void leave() {
        here_ = saved_.back();
        saved_.pop_back();
    }
    void remember(uint32_t node) { refs_.add(node, here_); }

    // ---- Values ----

    // Every writer below is kept out of line: this dispatch is the frame
    // that each level of nesting adds to the machine stack, so it stays
    // small.
    //
    // A record that takes no index of its own: the top-level ones through
    // record(), and those nested in another record's payload (a word's
    // owner, an operator's function, a native's spec), which share the
    // index of the record around them.
    void value(const Cell* c, bool new_line) {
        uint8_t t = cell::type(c);
        switch (t) {
            case type_unset: case type_none: case type_datatype: case type_char: case type_pair:
            case type_point2d: case type_point3d: case type_issue:
                fixed_size(c, t, new_line);
                return;
            case type_logic:
                logic(c, new_line);
                return;
            case type_integer:
                integer(cell::get_integer(c), new_line);
                return;
            case type_float: case type_time: case type_percent:
                real(c, t, new_line);
                return;
            case type_date:
                date(c, new_line);
                return;
            case type_typeset:
                typeset(c, new_line);
                return;
            case type_tuple:
                tuple(c, new_line);
                return;
            case type_money:
                money(c, new_line);
                return;
            case type_word: case type_set_word: case type_lit_word: case type_get_word: case type_refinement:
                word(c, t, new_line);
                return;
            case type_block: case type_paren: case type_path: case type_lit_path: case type_set_path:
            case type_get_path: case type_hash:
                cells(c, t, new_line, Sharing::shared);
                return;
            case type_string: case type_file: case type_url: case type_tag: case type_email: case type_ref:
            case type_binary:
                text(c, t, new_line);
                return;
            case type_vector:
                vector(c, new_line);
                return;
            case type_bitset:
                bitset(c, new_line);
                return;
            case type_image:
                image(c, new_line);
                return;
            case type_map:
                map(c, new_line);
                return;
            case type_context:
                standalone_context(c, new_line);
                return;
            case type_object:
                object(c, new_line);
                return;
            case type_function:
                function(c, new_line);
                return;
            case type_native: case type_action:
                native(c, t, new_line);
                return;
            case type_op:
                op(c, new_line);
                return;
            case type_error:
                error(c, new_line);
                return;
            default:
                // routine!, triple!, handle!, port!, event!; the internal
                // kinds never have one.
                refuse(t);
        }
    }

    // Values whose payload has one shape in each form.
    [[gnu::noinline]] void fixed_size(const Cell* c, uint8_t t, bool new_line) {
        begin(t, new_line);
        switch (t) {
            case type_datatype:
                count(cell::datatype_id(c));
                return;
            case type_char:
                count(cell::char_code(c));
                return;
            case type_pair:
                signed_number(cell::pair_x(c));
                signed_number(cell::pair_y(c));
                return;
            case type_point2d: {
                cell::Payload xy = cell::payload(c);
                out_.word(xy.words[0]);
                out_.word(xy.words[1]);
                return;
            }
            case type_point3d:
                payload_words(c);
                return;
            case type_issue:
                symbol(cell::word_symbol(c));
                return;
            default:  // unset! and none!: the lead byte says it all
                return;
        }
    }

    [[gnu::noinline]] void logic(const Cell* c, bool new_line) {
        bool on = cell::logic_value(c);
        if (compact_) {
            if (new_line) out_.byte(prefix_new_line);
            out_.byte(on ? lead_true : lead_false);
            return;
        }
        begin(type_logic, new_line);
        out_.word(on);
    }

    [[gnu::noinline]] void integer(int32_t n, bool new_line) {
        if (!compact_) {
            begin(type_integer, new_line);
            out_.word(uint32_t(n));
            return;
        }
        if (n >= 0 && n <= 63) {
            if (new_line) out_.byte(prefix_new_line);
            out_.byte(uint8_t(lead_small_integer | n));
            return;
        }
        begin(type_integer, new_line);
        out_.svarint(n);
    }

    [[gnu::noinline]] void real(const Cell* c, uint8_t t, bool new_line) {
        double d = cell::get_double(c);
        int32_t i;
        if (compact_ && (t == type_percent ? short_percent(d, &i) : short_whole(d, &i))) {
            begin(t, new_line, false, true);
            out_.svarint(i);
            return;
        }
        begin(t, new_line);
        double_words(c);
    }

    [[gnu::noinline]] void date(const Cell* c, bool new_line) {
        bool has_time = calendar::has_time(cell::date_bits(c));
        begin(type_date, new_line, false, has_time);
        out_.word(cell::date_bits(c));
        if (has_time || !compact_) double_words(c);
    }

    // The double of words 2 and 3, low half first.
    void double_words(const Cell* c) {
        uint64_t bits = cell::double_bits(c);
        out_.word(uint32_t(bits));
        out_.word(uint32_t(bits >> 32));
    }

    // The three payload words as the cell holds them.
    void payload_words(const Cell* c) {
        for (uint32_t w : cell::payload(c).words) out_.word(w);
    }

    [[gnu::noinline]] void typeset(const Cell* c, bool new_line) {
        begin(type_typeset, new_line);
        cell::Payload bits = cell::payload(c);
        if (!compact_) {
            payload_words(c);
            return;
        }
        uint8_t bytes[max_typeset_bytes];
        static_assert(sizeof bytes == sizeof bits.words);
        std::memcpy(bytes, bits.words, sizeof bytes);
        uint8_t n = max_typeset_bytes;
        while (n > 0 && bytes[n - 1] == 0) n--;
        out_.byte(n);
        out_.append(bytes, n);
    }

    [[gnu::noinline]] void tuple(const Cell* c, bool new_line) {
        int32_t length = tuple_type::length(c);
        if (!compact_) {
            begin(type_tuple, new_line, false, false, uint32_t(length) << fixed_unit_shift);
            payload_words(c);
            return;
        }
        uint8_t bytes[max_tuple_bytes];
        tuple_type::get_bytes(c, bytes);
        if (length == 3) {
            begin(type_tuple, new_line);
        } else {
            begin(type_tuple, new_line, false, true);
            out_.byte(uint8_t(length));
        }
        out_.append(bytes, size_t(length));
    }

    [[gnu::noinline]] void money(const Cell* c, bool new_line) {
        bool negative = (c->header & cell::flag_money_negative) != 0;
        begin(type_money, new_line, false, negative, negative ? uint32_t(fixed_money_negative) : 0u);
        // The currency byte and the packed digits, as the cell holds them.
        cell::Payload digits = cell::payload(c);
        static_assert(sizeof digits.words == 12);
        out_.append(digits.words, sizeof digits.words);
    }

    // Bound to an object's or a function's context: the owner's cell; any
    // other binding is written as the global one.
    static const Cell* owner_of(uint32_t ctx) {
        if (ctx == 0 || ctx == context::global) return nullptr;
        const Cell* owner = context::owner_cell(ctx);
        uint8_t t = cell::type(owner);
        if ((t != type_object && t != type_function) || cell::context_node(owner) != ctx) return nullptr;
        return owner;
    }

    // A word of an object or a function: its slot, then the owner, in full
    // the first time and afterwards as the reference the word record
    // itself carries (the path then follows the slot).
    [[gnu::noinline]] void word(const Cell* c, uint8_t t, bool new_line) {
        uint32_t ctx = cell::word_context(c);
        const Cell* owner = owner_of(ctx);
        if (owner && boot_) errors::raise(err::script::invalid_arg, c);
        const Place* earlier = owner ? refs_.find(ctx) : nullptr;
        if (compact_) {
            begin(t, new_line, earlier != nullptr, owner != nullptr);
            symbol(cell::word_symbol(c));
            if (!owner) return;
            out_.svarint(cell::word_index(c));
        } else {
            begin(t, new_line, earlier != nullptr, false, owner ? 0u : uint32_t(fixed_word_global));
            symbol(cell::word_symbol(c));
            out_.word(uint32_t(owner ? cell::word_index(c) : -1));
            if (!owner) return;
        }
        if (earlier) {
            path(earlier);
            return;
        }
        Cell owner_value = *owner;
        value(&owner_value, false);
    }

    // block!, paren!, the paths and hash!: the head, then a reference or
    // every cell of the series as a record of the level inside.
    [[gnu::noinline]] void cells(const Cell* c, uint8_t t, bool new_line, Sharing sharing) {
        int64_t n = cells_start(c, t, new_line, sharing);
        if (n < 0) return;
        uint32_t node = cell::series_node(c);
        enter();
        // The walk allocates nothing: the buffer stays where it is.
        const Cell* first = series::cells_head(node);
        for (int64_t i = 0; i < n; i++) record(first + i);
        leave();
    }

    // The record up to its cells: their count, or -1 for a reference.
    [[gnu::noinline]] int64_t cells_start(const Cell* c, uint8_t t, bool new_line, Sharing sharing) {
        uint32_t node = cell::series_node(c);
        auto head = uint32_t(cell::series_index(c));
        const Place* earlier = sharing == Sharing::shared ? refs_.find(node) : nullptr;
        begin(t, new_line, earlier != nullptr, head != 0);
        series_head(head);
        if (earlier) {
            path(earlier);
            return -1;
        }
        if (sharing != Sharing::private_copy) remember(node);
        uint32_t n = nodes::buffer(node)->count();
        count(n);
        return n;
    }

    void series_head(uint32_t head) {
        if (!compact_)
            out_.word(head);
        else if (head)
            out_.uvarint(head);
    }

    // The text kinds and binary!: the characters in the series' own unit.
    [[gnu::noinline]] void text(const Cell* c, uint8_t t, bool new_line) {
        uint32_t node = cell::series_node(c);
        auto head = uint32_t(cell::series_index(c));
        const SeriesBuffer* b = nodes::buffer(node);
        uint32_t unit = b->unit();
        const Place* earlier = refs_.find(node);
        begin(t, new_line, earlier != nullptr, head != 0, unit << fixed_unit_shift);
        series_head(head);
        if (earlier) {
            path(earlier);
            return;
        }
        remember(node);
        uint32_t n = b->count();
        if (compact_ && is_text_kind(t)) {
            // The count shares its varint with the unit code.
            if (n > 0x3FFFFFFF) errors::raise(err::internal::no_memory);
            out_.uvarint(n << 2 | unit_code(unit));
        } else {
            count(n);
        }
        out_.append(b->data() + b->head, size_t(n) * unit);
        if (!compact_) out_.pad_to_word();
    }

    [[gnu::noinline]] void vector(const Cell* c, bool new_line) {
        uint32_t node = cell::series_node(c);
        auto head = uint32_t(cell::series_index(c));
        const SeriesBuffer* b = nodes::buffer(node);
        uint32_t unit = b->unit();
        auto element_type = uint8_t(cell::vector_element_type(c));
        const Place* earlier = refs_.find(node);
        begin(type_vector, new_line, earlier != nullptr, head != 0, unit << fixed_unit_shift);
        series_head(head);
        if (earlier) {
            path(earlier);
            return;
        }
        remember(node);
        uint32_t n = b->count();
        if (compact_) {
            out_.byte(uint8_t(element_type << 2 | unit_code(unit)));
            out_.uvarint(n);
        } else {
            out_.word(n);
            out_.word(element_type);
        }
        out_.append(b->data() + b->head, size_t(n) * unit);
        if (!compact_) out_.pad_to_word();
    }

    [[gnu::noinline]] void bitset(const Cell* c, bool new_line) {
        uint32_t node = cell::series_node(c);
        bool complemented = bitset::is_complemented(node);
        const Place* earlier = refs_.find(node);
        begin(type_bitset, new_line, earlier != nullptr, complemented,
              complemented ? uint32_t(fixed_bitset_complemented) : 0u);
        if (earlier) {
            path(earlier);
            return;
        }
        remember(node);
        auto n = uint32_t(bitset::byte_count(node));
        count(n);
        out_.append(bitset::bits_pointer(node), n);
        if (!compact_) out_.pad_to_word();
    }

    // The position, the size, then the pixels as the record stores them
    // (blue, green, red, opacity), row after row. Two images over one
    // record share it, so the record is what a reference names; an image
    // without pixels has no record and is written whole every time.
    [[gnu::noinline]] void image(const Cell* c, bool new_line) {
        uint32_t node = cell::series_node(c);
        auto head = uint32_t(cell::series_index(c));
        const Place* earlier = node ? refs_.find(node) : nullptr;
        begin(type_image, new_line, earlier != nullptr, head != 0);
        series_head(head);
        if (earlier) {
            path(earlier);
            return;
        }
        uint32_t size = cell::image_size(c);
        uint32_t width = size & 0xFFFF, height = size >> 16;
        if (compact_) {
            out_.uvarint(width);
            out_.uvarint(height);
        } else {
            out_.word(size);
        }
        if (!node) return;
        remember(node);
        // Reading the pixels allocates nothing the collector knows of. A
        // record whose pixels the backend released reads as black.
        const imaging::Pixels& pixels = image_record::bitmap(node);
        size_t n = size_t(width) * height * 4, have = std::min(n, pixels.bgra.size());
        out_.append(pixels.bgra.data(), have);
        if (have < n) std::memset(out_.grow(n - have), 0, n - have);
    }

    // The live pairs only: a removed pair's value cell has a zero header.
    [[gnu::noinline]] void map(const Cell* c, bool new_line) {
        uint32_t node = cell::series_node(c);
        const Place* earlier = refs_.find(node);
        begin(type_map, new_line, earlier != nullptr);
        if (earlier) {
            path(earlier);
            return;
        }
        remember(node);
        const Cell* first = series::cells_head(node);
        uint32_t n = nodes::buffer(node)->count() & ~1u;
        uint32_t live = 0;
        for (uint32_t i = 0; i < n; i += 2)
            if (first[i + 1].header != 0) live++;
        count(2 * live);
        enter();
        for (uint32_t i = 0; i < n; i += 2) {
            if (first[i + 1].header == 0) continue;
            record(first + i);
            record(first + i + 1);
        }
        leave();
    }

    // A context's words, and its values when they are its own: the first
    // cell of a context's series. Value records take indexes of the
    // current level.
    [[gnu::noinline]] void context_record(const Cell* context_cell, bool new_line) {
        uint32_t header = context_cell->header;
        uint32_t kind = (header & cell::context_kind_mask) >> cell::context_kind_shift;
        bool stack = (header & cell::flag_stack_context) != 0;
        bool made = (header & cell::flag_context_made) != 0;
        uint32_t words = hashtable::record(cell::context_words(context_cell))->keys;
        uint32_t n = nodes::buffer(words)->count();

        // A stack context's values live in a call's frame, if anywhere.
        const Cell* values = nullptr;
        uint32_t value_count = 0;
        uint32_t value_node = cell::context_values(context_cell);
        if (!stack && value_node != 0) {
            values = series::cells_head(value_node);
            value_count = std::min(n, nodes::buffer(value_node)->count());
        }
        bool with_values = false;
        for (uint32_t i = 0; i < value_count && !with_values; i++)
            with_values = cell::type(values + i) != type_unset;

        if (compact_) {
            begin(type_context, new_line);
            uint32_t flags = kind;
            if (stack) flags |= context_stack;
            if (made) flags |= context_made;
            if (with_values) flags |= context_values;
            out_.byte(uint8_t(flags));
            out_.uvarint(n);
        } else {
            uint32_t bits = kind << fixed_context_kind_shift;
            if (made) bits |= fixed_context_flag;
            if (stack) bits |= fixed_context_stack;
            if (with_values) bits |= fixed_context_values;
            begin(type_context, new_line, false, false, bits);
            out_.word(n);
        }
        const Cell* word_cells = series::cells_head(words);
        for (uint32_t i = 0; i < n; i++) symbol(cell::word_symbol(word_cells + i));
        if (!with_values) return;
        Cell unset;
        cell::make_unset(&unset);
        for (uint32_t i = 0; i < n; i++) record(i < value_count ? values + i : &unset);
    }

    // A context! value met on its own: its values are a level of their own.
    [[gnu::noinline]] void standalone_context(const Cell* c, bool new_line) {
        enter();
        context_record(c, new_line);
        leave();
    }

    // Indexes inside an object count its field values.
    [[gnu::noinline]] void object(const Cell* c, bool new_line) {
        uint32_t ctx = cell::context_node(c);
        const Place* earlier = refs_.find(ctx);
        uint32_t change_record = earlier ? 0 : cell::change_record(c);
        begin(type_object, new_line, earlier != nullptr, change_record != 0,
              change_record ? uint32_t(fixed_object_handlers) : 0u);
        if (earlier) {
            path(earlier);
            return;
        }
        remember(ctx);
        signed_number(int32_t(cell::object_class(c)));
        if (change_record) {
            const Cell* handlers = series::cells_head(change_record);
            signed_number(int32_t(cell::change_handler_place(&handlers[0])));
            signed_number(int32_t(cell::change_handler_place(&handlers[1])));
        }
        enter();
        context_record(context::context_cell(ctx), false);
        leave();
    }

    // Inside a function, index 0 is the spec and 1 the body.
    [[gnu::noinline]] void function(const Cell* c, bool new_line) {
        uint32_t ctx = cell::context_node(c);
        const Place* earlier = refs_.find(ctx);
        begin(type_function, new_line, earlier != nullptr);
        if (earlier) {
            path(earlier);
            return;
        }
        remember(ctx);
        uint32_t spec_node = cell::function_spec(c);
        Cell spec;
        cell::make_series(&spec, type_block, spec_node);
        Cell body = series::cells_head(cell::function_info(c))[function::info_body];
        bool body_is_block = cell::type(&body) == type_block;
        count(nodes::buffer(spec_node)->count());
        count(body_is_block ? nodes::buffer(cell::series_node(&body))->count() : 0);
        enter();
        context_record(context::context_cell(ctx), false);
        here_.index = 0;
        cells(&spec, type_block, false, Sharing::always_whole);
        here_.index++;
        if (body_is_block)
            cells(&body, type_block, false, Sharing::always_whole);
        else
            value(&body, false);
        leave();
    }

    // The table position, then the spec, whose cells are what a path
    // finds inside the native.
    [[gnu::noinline]] void native(const Cell* c, uint8_t t, bool new_line) {
        begin(t, new_line);
        count(cell::handler_index(c));
        Cell spec;
        cell::make_series(&spec, type_block, cell::function_spec(c));
        cells(&spec, type_block, false, Sharing::private_copy);
    }

    // The operator's function, rebuilt from the words it shares with it.
    [[gnu::noinline]] void op(const Cell* c, bool new_line) {
        if (cell::op_source(c) == type_routine) refuse(type_routine);
        begin(type_op, new_line);
        Cell wrapped = cell::op_wrapped(c);
        value(&wrapped, false);
    }

    // The code, then the fields from arg1 on: indexes inside an error
    // count those six.
    [[gnu::noinline]] void error(const Cell* c, bool new_line) {
        begin(type_error, new_line);
        const Cell* code = error::field(c, error::field_code);
        count(cell::type(code) == type_integer ? uint32_t(cell::get_integer(code)) : 0);
        enter();
        for (int32_t f = error::field_arg1; f <= error::field_stack; f++) {
            Cell field = *error::field(c, error::Field(f));
            record(&field);
        }
        leave();
    }

    bool compact_ = true;
    bool boot_ = false;
    uint32_t roots_ = 0;
    ByteBuffer out_;
    std::vector<Place> steps_;   // every level entered; [0] stands for the top
    std::vector<Place> saved_;   // the places of the enclosing levels
    Place here_{0, 0};           // the current level, and records written in it
    std::vector<uint32_t> path_; // scratch for writing a path
    NodePlaces refs_;
    SymbolTable symbols_;
};

void Encoder::finish(Cell* result) const {
    // Header and counts first, then the symbol table, then the records.
    ByteBuffer front;
    front.append(magic, sizeof magic);
    front.byte(boot_ ? version_boot : version_written);
    uint8_t flags = 0;
    if (compact_) flags |= flag_compact;
    if (!symbols_.empty()) flags |= flag_symbols;
    front.byte(flags);
    const ByteBuffer& names = symbols_.names();
    if (out_.size() > size_t(cell::max_series_bytes) || names.size() > size_t(cell::max_series_bytes))
        errors::raise(err::internal::no_memory);
    if (compact_) {
        front.uvarint(roots_);
        front.uvarint(uint32_t(out_.size()));
        if (!symbols_.empty()) {
            front.uvarint(symbols_.count());
            front.uvarint(uint32_t(names.size()));
        }
    } else {
        front.word(roots_);
        front.word(uint32_t(out_.size()));
        if (!symbols_.empty()) {
            front.word(symbols_.count());
            front.word(uint32_t(names.size()));
        }
    }
    for (uint32_t offset : symbols_.offsets()) front.word(offset);
    front.append(names.data(), names.size());

    size_t total = front.size() + out_.size();
    if (total > size_t(cell::max_series_bytes)) errors::raise(err::internal::no_memory);
    uint32_t node = binary::make(int32_t(total));
    gc::ProtectNode keep(&node);
    uint8_t* at = series::alloc_tail_bytes(node, int32_t(total));
    std::memcpy(at, front.data(), front.size());
    if (out_.size()) std::memcpy(at + front.size(), out_.data(), out_.size());
    cell::make_series(result, type_binary, node);
}

// Module state: the scratch buffers and tables keep their room between
// encodes.
Encoder encoder;

void encode(const Cell* value, Cell* result, bool compact) {
    encoder.start(compact);
    encoder.root_record(value);
    encoder.finish(result);
}

}  // namespace

void encode_boot_image(const Cell* roots, Cell* result) {
    encoder.start(true, true);
    // The walk allocates nothing: the buffer stays where it is.
    uint32_t node = cell::series_node(roots);
    const Cell* first = series::cells_head(node);
    int32_t n = int32_t(nodes::buffer(node)->count());
    for (int32_t i = cell::series_index(roots); i < n; i++) encoder.root_record(first + i);
    encoder.finish(result);
}

void encode_compact(const Cell* value, Cell* result) { encode(value, result, true); }

void encode_fixed(const Cell* value, Cell* result) { encode(value, result, false); }

}  // namespace vum::vumbin
