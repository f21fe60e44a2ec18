#include "datatypes/image-record.h"

#include <cstring>
#include <utility>

#include "base/handle-registry.h"
#include "memory/collector.h"
#include "memory/memory-manager.h"
#include "memory/series-buffer.h"

namespace vum::image_record {

namespace {

// What a record's slot holds: the straight buffer, and the premultiplied
// source while one is wanted.
struct Store {
    imaging::Pixels straight;
    imaging::Pixels premultiplied;
};

const char kind_tag[] = "image";
int32_t kind_id = 0;
CacheReleaser cache_releaser = nullptr;

uint32_t* words(uint32_t node) { return reinterpret_cast<uint32_t*>(nodes::buffer(node)->head_ptr()); }

void finalize(void* data) { delete static_cast<Store*>(data); }

// The store of a live record; a record whose pixels were released gets an
// empty one of its size again rather than a null.
Store& store(uint32_t node) {
    int32_t slot = int32_t(words(node)[word_handle]);
    auto* s = static_cast<Store*>(handle_registry::data(slot));
    if (!s) {
        s = new Store;
        handle_registry::set_data(slot, s);
    }
    size_t bytes = size_t(width(node)) * size_t(height(node)) * 4;
    if (s->straight.bgra.size() != bytes) {
        s->straight.width = width(node);
        s->straight.height = height(node);
        s->straight.bgra.assign(bytes, 0);
    }
    return *s;
}

void set_flag(uint32_t node, uint32_t bits, bool on) {
    uint32_t& f = words(node)[word_flags];
    f = on ? f | bits : f & ~bits;
}

uint8_t scale_by_alpha(uint8_t channel, uint8_t alpha) { return uint8_t((channel * alpha + 127) / 255); }

uint8_t unscale_by_alpha(uint8_t channel, uint8_t alpha) {
    if (alpha == 0) return 0;
    uint32_t v = (uint32_t(channel) * 255 + alpha / 2) / alpha;
    return uint8_t(v > 255 ? 255 : v);
}

}  // namespace

int32_t kind() {
    const handle_registry::HandleKind* k = handle_registry::kind(kind_id);
    if (k && k->tag == kind_tag) return kind_id;
    kind_id = handle_registry::register_kind(kind_tag, finalize);
    return kind_id;
}

void init() {
    kind();
}

uint32_t make(imaging::Pixels&& pixels, uint32_t flags, bool with_source, bool with_bitmap) {
    int32_t w = pixels.width, h = pixels.height;
    uint32_t node = memory::alloc_bytes(record_bytes);
    // Nothing allocates in the memory manager from here on: the node is the
    // caller's to protect.
    auto* s = new Store;
    s->straight = std::move(pixels);
    int32_t slot = handle_registry::add(s, kind());
    SeriesBuffer* b = nodes::buffer(node);
    b->tail = b->head + record_bytes;
    uint32_t* r = words(node);
    r[word_flags] = flags;
    r[word_source] = with_source ? 1 : 0;
    r[word_bitmap] = with_bitmap ? 1 : 0;
    r[word_size] = size_word(w, h);
    r[word_handle] = uint32_t(slot);
    r[word_cache] = 0;
    return node;
}

uint32_t word(uint32_t node, Word w) { return words(node)[w]; }
void set_word(uint32_t node, Word w, uint32_t value) { words(node)[w] = value; }
int32_t width(uint32_t node) { return int32_t(words(node)[word_size] & 0xFFFF); }
int32_t height(uint32_t node) { return int32_t(words(node)[word_size] >> 16); }

imaging::Pixels& bitmap(uint32_t node) {
    Store& s = store(node);
    if (flags(node) & flag_drawn) set_flag(node, flag_drawn | flag_bitmap_current, false);
    if (flags(node) & flag_bitmap_current) return s.straight;
    // Drawing went to the premultiplied source: the buffer comes back from it.
    if ((flags(node) & flag_premultiplied) && words(node)[word_source] &&
        s.premultiplied.bgra.size() == s.straight.bgra.size())
        s.straight = unpremultiply(s.premultiplied);
    words(node)[word_bitmap] = 1;
    set_flag(node, flag_bitmap_current, true);
    return s.straight;
}

const imaging::Pixels& source(uint32_t node, bool premultiplied) {
    uint32_t f = flags(node);
    bool needed = words(node)[word_source] == 0 || (f & flag_bitmap_written) ||
                  bool(f & flag_premultiplied) != premultiplied;
    if (needed) {
        imaging::Pixels& straight = bitmap(node);
        Store& s = store(node);
        s.premultiplied = premultiplied ? premultiply(straight) : imaging::Pixels{};
        words(node)[word_source] = 1;
        release_cache(node);
        set_flag(node, flag_bitmap_written | flag_drawing_target, false);
        set_flag(node, flag_premultiplied, premultiplied);
    }
    Store& s = store(node);
    return premultiplied ? s.premultiplied : s.straight;
}

uint8_t* open_pixels(uint32_t node, bool write) {
    imaging::Pixels& p = bitmap(node);
    if (write) set_flag(node, flag_bitmap_written, true);
    return p.bgra.data();
}

uint32_t read_pixel(uint32_t node, int32_t index) {
    const uint8_t* p = open_pixels(node, false) + size_t(index) * 4;
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void write_pixel(uint32_t node, int32_t index, uint32_t pixel) {
    uint8_t* p = open_pixels(node, true) + size_t(index) * 4;
    for (int k = 0; k < 4; k++) p[k] = uint8_t(pixel >> (8 * k));
}

imaging::Pixels& to_drawable(uint32_t node) {
    source(node, true);
    if (!(flags(node) & flag_drawing_target)) {
        // The drawing target replaces the buffer as the truth until the next
        // pixel access rebuilds it.
        words(node)[word_bitmap] = 0;
        set_word(node, word_flags, flag_drawing_target | flag_premultiplied);
    }
    return store(node).premultiplied;
}

void mark_changed(uint32_t node) {
    set_flag(node, flag_drawn, true);
    release_cache(node);
}

uint32_t get_cache(uint32_t node) {
    set_flag(node, flag_cache_used, true);
    return words(node)[word_cache];
}

void set_cache(uint32_t node, uint32_t token) {
    release_cache(node);
    words(node)[word_cache] = token;
}

void release_cache(uint32_t node) {
    uint32_t token = words(node)[word_cache];
    words(node)[word_cache] = 0;
    if (token && cache_releaser) cache_releaser(token);
}

void set_cache_releaser(CacheReleaser fn) { cache_releaser = fn; }

void release(uint32_t node) {
    release_cache(node);
    int32_t slot = int32_t(words(node)[word_handle]);
    if (auto* s = static_cast<Store*>(handle_registry::data(slot))) {
        s->straight = {};
        s->premultiplied = {};
    }
    words(node)[word_source] = 0;
    words(node)[word_bitmap] = 0;
}

void gc_mark(uint32_t node) {
    uint32_t* r = words(node);
    if (!handle_registry::mark(int32_t(r[word_handle]), nullptr)) return;
    if (r[word_flags] & flag_cache_used)
        r[word_flags] &= ~uint32_t(flag_cache_used);
    else
        release_cache(node);
}

imaging::Pixels premultiply(const imaging::Pixels& straight) {
    imaging::Pixels out = straight;
    for (size_t i = 0; i + 3 < out.bgra.size(); i += 4) {
        uint8_t a = out.bgra[i + 3];
        for (int k = 0; k < 3; k++) out.bgra[i + k] = scale_by_alpha(out.bgra[i + k], a);
    }
    return out;
}

imaging::Pixels unpremultiply(const imaging::Pixels& premultiplied) {
    imaging::Pixels out = premultiplied;
    for (size_t i = 0; i + 3 < out.bgra.size(); i += 4) {
        uint8_t a = out.bgra[i + 3];
        for (int k = 0; k < 3; k++) out.bgra[i + k] = unscale_by_alpha(out.bgra[i + k], a);
    }
    return out;
}

}  // namespace vum::image_record
