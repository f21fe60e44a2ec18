#include "datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <new>
#include <string>
#include <utility>

#include "base/console-output.h"
#include "datatypes/actions.h"
#include "datatypes/binary.h"
#include "datatypes/file-url.h"
#include "datatypes/image-record.h"
#include "datatypes/pair.h"
#include "datatypes/registry.h"
#include "datatypes/string.h"
#include "datatypes/tuple.h"
#include "memory/cell-access.h"
#include "memory/collector.h"
#include "memory/ownership.h"
#include "memory/raise-error.h"
#include "memory/runtime-symbols.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::image {

namespace {

using namespace actions;

constexpr uint32_t flags_made = image_record::flag_bitmap_current | image_record::flag_bitmap_written;

const Cell none_value = {type_none, 0, 0, 0};

// The position (a pixel index), and the node of the image record, 0 for an
// image without pixels.
uint32_t position(const Cell* image) { return uint32_t(cell::series_index(image)); }
void set_position(Cell* image, uint32_t p) { cell::set_series_index(image, int32_t(p)); }
uint32_t record_of(const Cell* image) { return cell::series_node(image); }

// The stored bytes of one pixel (B, G, R, opacity) as a tuple R.G.B.A with
// A the transparency.
Cell pixel_tuple(const uint8_t* p) {
    uint8_t bytes[4] = {p[2], p[1], p[0], uint8_t(255 - p[3])};
    Cell t;
    tuple_type::make_at(&t, bytes, 4);
    return t;
}

// A tuple's colour and opacity (a three-byte tuple is opaque).
struct Colour {
    uint8_t r, g, b, opacity;
};
Colour colour_of(const Cell* tuple) {
    uint8_t bytes[tuple_type::max_length];
    tuple_type::get_bytes(tuple, bytes);
    uint8_t transparency = tuple_type::length(tuple) > 3 ? bytes[3] : 0;
    return {bytes[0], bytes[1], bytes[2], uint8_t(255 - transparency)};
}

void store_colour(uint8_t* p, Colour c) {
    p[0] = c.b;
    p[1] = c.g;
    p[2] = c.r;
    p[3] = c.opacity;
}

// The pixel memory of an image's record (null without one): good while the
// image is reachable.
uint8_t* pixel_memory(const Cell* image, bool write) {
    return record_of(image) ? image_record::open_pixels(record_of(image), write) : nullptr;
}

bool is_word_kind(uint8_t t) { return t >= type_word && t <= type_refinement; }

bool is_symbol(const Cell* c, runtime_symbols::Symbol s) {
    return is_word_kind(cell::type(c)) &&
           symbols::resolve(cell::word_symbol(c)) == symbols::resolve(runtime_symbols::id(s));
}

[[noreturn]] void raise_invalid_type(uint8_t t) {
    Cell type = cell::make_datatype(t);
    errors::raise(err::script::invalid_type, &type);
}

// Tells the owner of the image about a change of its pixels.
template <class Change>
void report(const Cell* image, ownership::Action action, const Cell* value, int32_t index, int32_t count,
            Change&& change) {
    ownership::report_change(image, action, value, index, count, std::forward<Change>(change));
}

// ---- Index resolution ----

struct Resolved {
    int64_t position;
    bool out_of_range;
};

// The pixel position an index addresses from the image's position, clamped
// to 0 .. width x height. One-based for pick, poke and at; zero-based for
// skip. A pair names a column and row; one outside the image, an index 0
// and a position that needed clamping are out of range.
Resolved resolve_index(const Cell* image, const Cell* index, bool one_based) {
    int64_t w = width(image), h = height(image), p = position(image);
    bool out = false;
    int64_t e;
    if (cell::type(index) == type_pair) {
        int64_t x = pair_type::x_of(index), y = pair_type::y_of(index);
        if (one_based)
            out = x > w || x <= 0 || y > h || y <= 0;
        else
            out = x >= w || x < 0 || y >= h || y < 0;
        e = one_based && y > 0 ? x + w * (y - 1) : x + w * y;
    } else if (cell::type(index) == type_integer) {
        e = cell::get_integer(index);
    } else {
        errors::raise(err::script::invalid_arg, index);
    }
    int64_t at = one_based && e > 0 ? p + e - 1 : p + e;
    int64_t clamped = std::clamp<int64_t>(at, 0, w * h);
    if (clamped != at || e == 0) out = true;
    return {clamped, out};
}

// ---- Making ----

void fill_from_spec(const Cell* image, const Cell* rgb, const Cell* alpha, const Cell* colour) {
    uint8_t* p = pixel_memory(image, true);
    if (!p) return;
    int64_t n = pixel_count(image);
    if (colour) {
        Colour c = colour_of(colour);
        for (int64_t i = 0; i < n; i++) store_colour(p + i * 4, c);
        return;
    }
    int64_t rgb_pixels = rgb ? binary::length_from_index(rgb) / 3 : 0;
    int64_t alpha_bytes = alpha ? binary::length_from_index(alpha) : 0;
    const uint8_t* rgb_bytes = rgb ? binary::position_pointer(rgb) : nullptr;
    const uint8_t* alpha_at = alpha ? binary::position_pointer(alpha) : nullptr;
    for (int64_t i = 0; i < std::min(n, rgb_pixels); i++) {
        p[i * 4 + 2] = rgb_bytes[i * 3];
        p[i * 4 + 1] = rgb_bytes[i * 3 + 1];
        p[i * 4 + 0] = rgb_bytes[i * 3 + 2];
    }
    for (int64_t i = 0; i < std::min(n, alpha_bytes); i++) p[i * 4 + 3] = uint8_t(255 - alpha_at[i]);
}

void image_to(const Cell*, const Cell* spec, int32_t, Cell* result);

void make_from_block(const Cell* spec, Cell* result) {
    gc::Local s(*spec);
    uint32_t node = cell::series_node(&s);
    int32_t n = std::max(0, int32_t(series::cells_tail(node) - series::cells_head(node)) - cell::series_index(&s));
    auto item = [&](int32_t k) { return series::cells_head(node)[uint32_t(cell::series_index(&s)) + uint32_t(k)]; };
    gc::Local size(n > 0 ? item(0) : none_value);
    gc::Local second(n > 1 ? item(1) : none_value);
    gc::Local third(n > 2 ? item(2) : none_value);
    if (cell::type(&size) != type_pair) errors::raise(err::script::invalid_arg, &size);
    uint8_t t2 = cell::type(&second);
    if (n > 1 && t2 != type_binary && t2 != type_tuple) errors::raise(err::script::invalid_arg, &second);
    if (n > 2 && cell::type(&third) != type_binary) errors::raise(err::script::invalid_arg, &third);
    gc::Local made(none_value);
    make_blank(&made, pair_type::x_of(&size), pair_type::y_of(&size), &size);
    fill_from_spec(&made, t2 == type_binary ? &second : nullptr, n > 2 ? &third : nullptr,
                   t2 == type_tuple ? &second : nullptr);
    *result = made;
}

void image_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    uint8_t t = cell::type(spec);
    if (t == type_block) {
        uint32_t node = cell::series_node(spec);
        int64_t length = series::cells_tail(node) - series::cells_head(node);
        bool empty = length <= int64_t(uint32_t(cell::series_index(spec)));
        if (empty) {
            if (cell::type(prototype) != type_image) errors::raise(err::script::invalid_arg, spec);
            copy_whole(prototype, result);
            return;
        }
        make_from_block(spec, result);
        return;
    }
    if (t == type_pair) {
        Cell size = *spec;
        make_blank(result, pair_type::x_of(&size), pair_type::y_of(&size), &size);
        return;
    }
    image_to(prototype, spec, type, result);
}

// A face would be drawn into an image by the GUI backend, which is not here.
void image_to(const Cell*, const Cell* spec, int32_t, Cell* result) {
    if (cell::type(spec) != type_image) errors::raise_bad_to(type_image, spec);
    copy_whole(spec, result);
}

// ---- Text forms ----

constexpr int32_t pixels_per_line = 10;
constexpr int32_t bytes_for_lines = 31;
const char hex_digits[] = "0123456789ABCDEF";

int32_t image_mold(const Cell* value, uint32_t buffer, bool only, bool, bool flat, const Cell* arg, int32_t limit,
                   int32_t indent) {
    gc::Local v(*value);
    std::string text;
    auto used = [&] { return string::limit_used(arg, limit); };
    auto put = [&](const std::string& s) {
        text += s;
        limit -= int32_t(s.size());
    };
    auto line_break = [&](int32_t level) {
        put("\n");
        for (int32_t k = 0; k < level; k++) put("    ");
    };
    if (!only) put("make image! [");
    put(std::to_string(width(&v)) + "x" + std::to_string(height(&v)));
    int64_t from = std::min<int64_t>(position(&v), pixel_count(&v));
    int64_t count = pixel_count(&v) - from;
    if (!record_of(&v)) {
        put(" #{}]");
    } else {
        const uint8_t* p = pixel_memory(&v, false);  // nothing allocates until the text is appended
        bool lines = !flat && count * 4 >= bytes_for_lines;
        bool translucent = false;
        put(" #{");
        if (lines) line_break(indent + 1);
        for (int64_t i = 0; i < count && !used(); i++) {
            const uint8_t* px = p + (from + i) * 4;
            char six[6] = {hex_digits[px[2] >> 4], hex_digits[px[2] & 15], hex_digits[px[1] >> 4],
                           hex_digits[px[1] & 15], hex_digits[px[0] >> 4], hex_digits[px[0] & 15]};
            put(std::string(six, 6));
            translucent |= px[3] != 255;
            // The line after the last pixel closes at the outer level instead.
            if (lines && (i + 1) % pixels_per_line == 0 && i + 1 < count) line_break(indent + 1);
        }
        for (int64_t i = 0; i < count && !translucent; i++) translucent = p[(from + i) * 4 + 3] != 255;
        if (!used()) {
            if (lines) line_break(indent);
            put("}");
        }
        if (translucent && !used()) {
            put(" #{");
            if (lines) line_break(indent + 1);
            for (int64_t i = 0; i < count && !used(); i++) {
                uint8_t a = uint8_t(255 - p[(from + i) * 4 + 3]);
                char two[2] = {hex_digits[a >> 4], hex_digits[a & 15]};
                put(std::string(two, 2));
                if (lines && (i + 1) % pixels_per_line == 0 && i + 1 < count) line_break(indent + 1);
            }
            if (!used()) {
                if (lines) line_break(indent);
                put("}");
            }
        }
        if (!only && !used()) put("]");
    }
    string::append_utf8(buffer, text.data(), int32_t(text.size()));
    return limit;
}

int32_t image_form(const Cell* value, uint32_t buffer, const Cell* arg, int32_t limit) {
    return image_mold(value, buffer, false, false, false, arg, limit, 0);
}

// ---- Comparison ----

int32_t image_compare(const Cell* a, const Cell* b, int32_t op) {
    if (cell::type(b) != type_image) return not_comparable;
    bool same = record_of(a) == record_of(b) && position(a) == position(b);
    if (op == op_same) return same ? 0 : -1;
    if (same) return 0;
    if (op >= op_lesser && op <= op_greater_equal) return not_comparable;
    int64_t na = pixel_count(a), nb = pixel_count(b);
    if (na != nb) return na < nb ? -1 : 1;
    const uint8_t* pa = pixel_memory(a, false);
    const uint8_t* pb = pixel_memory(b, false);
    if (!pa || !pb) return pa ? 1 : pb ? -1 : 0;
    int r = std::memcmp(pa, pb, size_t(na) * 4);
    return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// ---- Positions ----

void image_at() {
    Cell* s = stack::arg(0);
    set_position(s, uint32_t(resolve_index(s, stack::arg(1), true).position));
}

void image_skip() {
    Cell* s = stack::arg(0);
    set_position(s, uint32_t(resolve_index(s, stack::arg(1), false).position));
}

void image_next() {
    Cell* s = stack::arg(0);
    if (int64_t(position(s)) + 1 <= pixel_count(s)) set_position(s, position(s) + 1);
}

void image_tail() {
    Cell* s = stack::arg(0);
    set_position(s, uint32_t(pixel_count(s)));
}

void image_tail_q() {
    Cell* s = stack::arg(0);
    bool end = int64_t(position(s)) >= pixel_count(s);
    cell::make_logic(s, end);
}

int32_t image_length(Cell* image) { return pixel_count(image); }

// ---- Pixels one by one ----

void image_pick(const Cell* series, const Cell* index, int32_t, Cell* result) {
    Cell s = *series;
    Cell i = *index;
    if (cell::type(&i) == type_integer) {
        // As in every series: index 0 is nothing, negative counts back.
        int64_t n = cell::get_integer(&i);
        if (n == 0) {
            cell::make_none(result);
            return;
        }
        get_pixel(&s, n > 0 ? int64_t(position(&s)) + n - 1 : int64_t(position(&s)) + n, result);
        return;
    }
    Resolved r = resolve_index(&s, &i, true);
    if (r.out_of_range) {
        cell::make_none(result);
        return;
    }
    get_pixel(&s, r.position, result);
}

void image_poke(Cell* series, const Cell* index, const Cell* value, int32_t, Cell* result) {
    gc::Local s(*series);
    gc::Local i(*index);
    gc::Local v(*value);
    Resolved r = resolve_index(&s, &i, true);
    if (r.out_of_range || r.position >= pixel_count(&s)) errors::raise_out_of_range(&i);
    if (cell::type(&v) != type_tuple) errors::raise(err::script::invalid_arg, &v);
    report(&s, ownership::action_poke, &v, int32_t(r.position), 1, [&] {
        store_colour(pixel_memory(&s, true) + r.position * 4, colour_of(&v));
    });
    *result = v;
}

// ---- Paths ----

void image_path(const PathStep& step, Cell* result) {
    gc::Local s(*step.parent);
    gc::Local e(*step.element);
    gc::Local path(step.path ? *step.path : *step.parent);
    uint8_t t = cell::type(&e);
    if (t == type_integer || t == type_pair) {
        if (step.value)
            image_poke(&s, &e, step.value, 0, result);
        else
            image_pick(&s, &e, 0, result);
        return;
    }
    BulkMode mode;
    if (is_symbol(&e, runtime_symbols::sym_size) && !step.value) {
        pair_type::make_at(result, width(&s), height(&s));
        return;
    } else if (is_symbol(&e, runtime_symbols::sym_argb)) {
        mode = bulk_argb;
    } else if (is_symbol(&e, runtime_symbols::sym_rgb)) {
        mode = bulk_rgb;
    } else if (is_symbol(&e, runtime_symbols::sym_alpha)) {
        mode = bulk_alpha;
    } else {
        errors::raise(err::script::invalid_path, &path, &e);
    }
    if (!step.value) {
        pixels_to_binary(&s, mode, result);
        return;
    }
    gc::Local v(*step.value);
    pixels_from_value(&s, &v, mode);
    *result = v;
}

// ---- change ----

// Copies the source image in as a rectangle whose top-left corner is the
// position; the position moves past the last row written.
void change_by_image(Cell* s, const Cell* source) {
    int64_t w = width(s), h = height(s), p = position(s);
    int64_t sw = width(source), sh = height(source);
    int64_t x0 = w ? p % w : 0, y0 = w ? p / w : 0;
    int64_t columns = std::max<int64_t>(0, std::min(sw, w - x0));
    int64_t rows = std::max<int64_t>(0, std::min(sh, h - y0));
    report(s, ownership::action_change, source, int32_t(p), int32_t(columns * rows), [&] {
        // The source may be the image itself: copy its pixels out first.
        imaging::Pixels from = pixels_of(source);
        uint8_t* to = pixel_memory(s, true);
        for (int64_t r = 0; r < rows && to; r++)
            std::memcpy(to + ((y0 + r) * w + x0) * 4, from.bgra.data() + r * sw * 4, size_t(columns) * 4);
    });
    set_position(s, uint32_t((y0 + rows - 1) * w + std::min(x0 + sw, w)));
}

void image_change(Cell* series, const Cell* value, const Cell* part, bool, const Cell* dup, Cell* result) {
    gc::Local s(*series);
    gc::Local v(*value);
    if (part || (dup && (cell::type(dup) != type_integer || cell::get_integer(dup) >= 2)))
        errors::raise(err::internal::not_done);
    uint8_t t = cell::type(&v);
    if (t != type_tuple && t != type_image) raise_invalid_type(t);
    if (int64_t(position(&s)) < pixel_count(&s)) {
        if (t == type_tuple) {
            int64_t p = position(&s);
            report(&s, ownership::action_change, &v, int32_t(p), 1,
                   [&] { store_colour(pixel_memory(&s, true) + p * 4, colour_of(&v)); });
            set_position(&s, position(&s) + 1);
        } else if (pixel_count(&v) > 0) {
            change_by_image(&s, &v);
        }
    }
    *result = s;
}

// ---- copy ----

struct Rect {
    int64_t x, y, w, h;
};

void copy_rect(const Cell* s, Rect r, Cell* result) {
    if (r.w <= 0 || r.h <= 0) {
        *result = {type_image, 0, 0, 0};
        return;
    }
    crop(s, int32_t(r.x), int32_t(r.y), int32_t(r.w), int32_t(r.h), result);
}

Rect part_rect(const Cell* s, const Cell* part) {
    int64_t w = width(s), h = height(s), p = position(s), n = w * h;
    int64_t x0 = p % w, y0 = p / w;
    switch (cell::type(part)) {
        case type_integer:
            errors::raise(err::internal::not_done);
        case type_pair: {
            int64_t pw = pair_type::x_of(part), ph = pair_type::y_of(part);
            if (pw >= 1 && ph >= 1 && p < n) return {x0, y0, std::min(w - x0, pw), std::min(h - y0, ph)};
            if (pw < 0 && ph < 0 && p >= 1) {
                // The rectangle that ends at the position.
                int64_t x1 = x0 == 0 ? w : x0, y1 = y0 < h ? y0 + 1 : y0;
                int64_t x = std::max<int64_t>(0, x1 + pw), y = std::max<int64_t>(0, y1 + ph);
                return {x, y, x1 - x, y1 - y};
            }
            return {0, 0, 0, 0};
        }
        case type_image: {
            if (record_of(part) != record_of(s)) errors::raise_refine_arg("part", part);
            int64_t a = std::min<int64_t>(position(s), n), b = std::min<int64_t>(position(part), n);
            if (a > b) std::swap(a, b);
            int64_t ax = a % w, ay = a / w, bx = b % w, by = b / w;
            return {std::min(ax, bx), ay, std::abs(bx - ax), by - ay};
        }
        default:
            errors::raise_refine_arg("part", part);
    }
}

void image_copy(const Cell* series, Cell* result, const Cell* part, bool, const Cell*) {
    gc::Local s(*series);
    gc::Local pt(part ? *part : none_value);
    if (pixel_count(&s) == 0 || !record_of(&s)) {
        *result = {type_image, 0, 0, 0};
        return;
    }
    int64_t w = width(&s), h = height(&s), p = std::min<int64_t>(position(&s), w * h);
    if (part) {
        copy_rect(&s, part_rect(&s, &pt), result);
        return;
    }
    if (p == 0) {
        copy_whole(&s, result);
        return;
    }
    copy_rect(&s, {p % w, p / w, w - p % w, h - p / w}, result);
}

// ---- Codec helpers ----

bool checked_size(int64_t w, int64_t h) {
    return w >= 0 && h >= 0 && w <= imaging::max_side && h <= imaging::max_side && w * h * 4 < imaging::max_bytes;
}

[[noreturn]] void raise_bad_media() { errors::raise(err::access::bad_media); }

}  // namespace

// ---- Makers ----

Cell* make_at(Cell* c, uint32_t node) {
    *c = {type_image, 0, node, image_record::word(node, image_record::word_size)};
    return c;
}

Cell* make_from_pixels(Cell* c, imaging::Pixels&& pixels, uint32_t flags, bool with_source, bool with_bitmap) {
    int32_t w = pixels.width, h = pixels.height;
    if (!checked_size(w, h) || pixels.bgra.size() != size_t(w) * size_t(h) * 4) errors::raise(err::internal::no_memory);
    if (w == 0 || h == 0) {
        *c = {type_image, 0, 0, image_record::size_word(w, h)};
        return c;
    }
    return make_at(c, image_record::make(std::move(pixels), flags, with_source, with_bitmap));
}

Cell* make_blank(Cell* c, int32_t w, int32_t h, const Cell* culprit) {
    w = std::max(w, 0);
    h = std::max(h, 0);
    if (!checked_size(w, h)) errors::raise(err::script::invalid_arg, culprit);
    imaging::Pixels p;
    p.width = w;
    p.height = h;
    try {
        p.bgra.assign(size_t(w) * size_t(h) * 4, 255);
    } catch (const std::bad_alloc&) {
        errors::raise(err::internal::no_memory);
    }
    return make_from_pixels(c, std::move(p), flags_made, false, true);
}

imaging::Pixels pixels_of(const Cell* image) {
    imaging::Pixels p;
    if (!record_of(image)) return p;
    p = image_record::bitmap(record_of(image));
    return p;
}

// ---- Codecs ----

bool known_signature(const uint8_t* bytes, size_t length) {
    imaging::Format f;
    return imaging::sniff(bytes, length, &f);
}

void decode_binary(const Cell* binary, Cell* result) {
    gc::Local b(*binary);
    const uint8_t* bytes = binary::position_pointer(&b);
    size_t n = size_t(binary::length_from_index(&b));
    if (!known_signature(bytes, n)) {
        cell::make_none(result);
        return;
    }
    // The bytes are copied out: decoding allocates nothing in the memory
    // manager, but the copy keeps that from mattering.
    std::string copy(reinterpret_cast<const char*>(bytes), n);
    imaging::Pixels p;
    if (!imaging::decode(reinterpret_cast<const uint8_t*>(copy.data()), copy.size(), &p)) raise_bad_media();
    make_from_pixels(result, std::move(p), 0, true, false);
}

// A file that reads but does not decode (cut short, damaged, not an image
// at all) is bad media, as such bytes are in memory.
void decode_file_bytes(const std::string& bytes, Cell* result) {
    imaging::Pixels p;
    if (!imaging::decode(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), &p)) raise_bad_media();
    make_from_pixels(result, std::move(p), image_record::flag_bitmap_current, false, true);
}

void encode(const Cell* image, int32_t format, Cell* result) {
    gc::Local img(*image);
    if (format < int32_t(imaging::Format::bmp) || format > int32_t(imaging::Format::tiff)) {
        print::c_string("Cannot find image encoder\n");
        cell::make_unset(result);
        return;
    }
    if (cell::image_size(&img) == 0) raise_bad_media();
    std::vector<uint8_t> out;
    if (pixel_count(&img) > 0) {
        const imaging::Pixels& straight = image_record::source(record_of(&img), false);
        if (!imaging::encode(straight, imaging::Format(format), &out)) raise_bad_media();
    }
    if (out.size() > size_t(cell::max_series_bytes)) raise_bad_media();
    *result = *binary::push_bytes(out.data(), int32_t(out.size()));
}

// ---- Derived images ----

void scale(const Cell* image, int32_t w, int32_t h, Cell* result) {
    gc::Local img(*image);
    if (!checked_size(w, h)) errors::raise(err::script::invalid_arg, &img);
    if (pixel_count(&img) == 0 || w == 0 || h == 0) {
        make_blank(result, 0, 0, &img);
        cell::set_image_size(result, image_record::size_word(w, h));
        return;
    }
    make_from_pixels(result, imaging::scale_nearest(image_record::source(record_of(&img), false), w, h), 0, true,
                     false);
}

void flip_vertical(const Cell* image, Cell* result) {
    gc::Local img(*image);
    if (!record_of(&img)) {
        *result = img;
        set_position(result, 0);
        return;
    }
    make_from_pixels(result, imaging::flip_vertical(image_record::source(record_of(&img), false)), 0, true, false);
}

void crop(const Cell* image, int32_t x, int32_t y, int32_t w, int32_t h, Cell* result) {
    gc::Local img(*image);
    if (!record_of(&img)) {
        *result = {type_image, 0, 0, 0};
        return;
    }
    make_from_pixels(result, imaging::crop(image_record::source(record_of(&img), false), x, y, w, h), flags_made,
                     false, true);
}

void copy_whole(const Cell* image, Cell* result) {
    gc::Local img(*image);
    if (!record_of(&img)) {
        *result = img;
        set_position(result, 0);
        result->header = type_image;
        return;
    }
    imaging::Pixels copy = image_record::source(record_of(&img), false);
    make_from_pixels(result, std::move(copy), flags_made, false, true);
}

// ---- Pixels as values ----

void get_pixel(const Cell* image, int64_t index, Cell* result) {
    if (index < 0 || index >= pixel_count(image) || !record_of(image)) {
        cell::make_none(result);
        return;
    }
    Cell t = pixel_tuple(pixel_memory(image, false) + index * 4);
    *result = t;
}

void pixels_to_binary(const Cell* image, BulkMode mode, Cell* result) {
    gc::Local img(*image);
    imaging::Pixels p = pixels_of(&img);
    size_t n = p.bgra.size() / 4;
    std::string out;
    out.reserve(n * (mode == bulk_alpha ? 1 : mode == bulk_rgb ? 3 : 4));
    for (size_t i = 0; i < n; i++) {
        const uint8_t* px = p.bgra.data() + i * 4;
        if (mode == bulk_alpha) {
            out += char(255 - px[3]);
        } else if (mode == bulk_rgb) {
            out += char(px[2]);
            out += char(px[1]);
            out += char(px[0]);
        } else {
            out.append(reinterpret_cast<const char*>(px), 4);
        }
    }
    *result = *binary::push_bytes(reinterpret_cast<const uint8_t*>(out.data()), int32_t(out.size()));
}

void pixels_from_value(const Cell* image, const Cell* value, BulkMode mode) {
    gc::Local img(*image);
    gc::Local v(*value);
    uint8_t t = cell::type(&v);
    if (t != type_binary && t != type_tuple && t != type_integer) errors::raise(err::script::invalid_arg, &v);
    int64_t n = pixel_count(&img);
    if (n == 0 || !record_of(&img)) return;
    report(&img, ownership::action_poke, &v, 0, int32_t(n), [&] {
        uint8_t* p = pixel_memory(&img, true);
        if (t == type_binary) {
            const uint8_t* b = binary::position_pointer(&v);
            int64_t length = binary::length_from_index(&v);
            if (mode == bulk_argb) {
                std::memcpy(p, b, size_t(std::min(length, n * 4)));
            } else if (mode == bulk_rgb) {
                for (int64_t i = 0; i < std::min(length / 3, n); i++) {
                    p[i * 4 + 2] = b[i * 3];
                    p[i * 4 + 1] = b[i * 3 + 1];
                    p[i * 4 + 0] = b[i * 3 + 2];
                }
            } else {
                for (int64_t i = 0; i < std::min(length, n); i++) p[i * 4 + 3] = uint8_t(255 - b[i]);
            }
            return;
        }
        // A tuple R.G.B.A (a three-byte one with A 0), or an integer's bytes
        // R, G, B, A from the low end.
        uint8_t c[4] = {0, 0, 0, 0};
        if (t == type_tuple) {
            uint8_t bytes[tuple_type::max_length];
            tuple_type::get_bytes(&v, bytes);
            std::copy(bytes, bytes + (tuple_type::length(&v) > 3 ? 4 : 3), c);
        } else {
            auto word = uint32_t(cell::get_integer(&v));
            for (int k = 0; k < 4; k++) c[k] = uint8_t(word >> (8 * k));
        }
        for (int64_t i = 0; i < n; i++) {
            uint8_t* px = p + i * 4;
            if (mode != bulk_alpha) {
                px[2] = c[0];
                px[1] = c[1];
                px[0] = c[2];
            }
            if (mode == bulk_argb) px[3] = uint8_t(255 - c[3]);
            if (mode == bulk_alpha) px[3] = uint8_t(255 - c[0]);
        }
    });
}

}  // namespace vum::image

namespace vum::image_type {

void init() {
    using namespace actions;
    using namespace vum::image;
    image_record::init();
    Row r(type_image, "image!", type_series);
    r.inherit<slot_back, slot_head, slot_head_q, slot_index_q, slot_modify>()
        .set<slot_make>(image_make)
        .set<slot_to>(image_to)
        .set<slot_form>(image_form)
        .set<slot_mold>(image_mold)
        .set<slot_eval_path>(image_path)
        .set<slot_compare>(image_compare)
        .set<slot_at>(image_at)
        .set<slot_change>(image_change)
        .set<slot_copy>(image_copy)
        .set<slot_length_q>(image_length)
        .set<slot_next>(image_next)
        .set<slot_pick>(image_pick)
        .set<slot_poke>(image_poke)
        .set<slot_skip>(image_skip)
        .set<slot_tail>(image_tail)
        .set<slot_tail_q>(image_tail_q);
    datatype::register_type(r);
}

}  // namespace vum::image_type
