#include "datatypes/file-url.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "base/os-services.h"
#include "base/tracked-heap.h"
#include "datatypes/port.h"
#include "datatypes/registry.h"
#include "datatypes/string-text.h"
#include "datatypes/string-type.h"
#include "datatypes/string.h"
#include "memory/call.h"
#include "memory/collector.h"
#include "memory/context.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/symbols.h"
#include "memory/unicode.h"

namespace vum::file_url {

namespace {

using namespace actions;

const Cell none = {type_none, 0, 0, 0};

bool is_alphanumeric(uint8_t c) { return (c >= '0' && c <= '9') || ((c | 0x20) >= 'a' && (c | 0x20) <= 'z'); }

int32_t hex_digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool is_any_block(uint8_t t) { return t == type_block || t == type_paren || t == type_hash; }

Cell element(const Cell* block, int32_t i) {
    return reinterpret_cast<const Cell*>(nodes::buffer(block->w2)->head_ptr())[i];
}

void form_into(const Cell* value, uint32_t target) {
    gc::Local v(*value);
    call_form(&v, target, false, -1);
}

}  // namespace

// ---- Percent escapes ----

bool allowed(uint8_t c, int32_t mode) {
    if (c >= 128) return false;
    if (is_alphanumeric(c)) return true;
    if (mode == mode_unreserved) return c == '-' || c == '.' || c == '_' || c == '~';
    return std::strchr("!#$&'()*+,-./:=?@_~", c) != nullptr && c != 0;
}

int32_t encode_byte(int32_t mode, uint8_t byte, char out[3]) {
    if (allowed(byte, mode)) {
        out[0] = char(byte);
        return 1;
    }
    const char* hex = string::byte_to_hex(byte);
    out[0] = '%';
    out[1] = hex[0];
    out[2] = hex[1];
    return 3;
}

bool decode_escape(const uint8_t* p, const uint8_t* end, uint8_t* byte) {
    if (end - p < 3 || p[0] != '%') return false;
    int32_t high = hex_digit(p[1]), low = hex_digit(p[2]);
    if (high < 0 || low < 0) return false;
    *byte = uint8_t(high << 4 | low);
    return true;
}

namespace {
// Delimiters of a URL that mold writes as they are: escaped, each stands
// for the character itself within a part (a "#" in a name, a "/" within a
// segment, a "&" within a query value), so decoding one would change the
// URL. "%" stays escaped for the same reason.
bool keeps_escape(uint8_t byte) {
    return byte == '%' || (byte < 0x80 && allowed(byte, mode_url) && !allowed(byte, mode_unreserved));
}
}  // namespace

void decode_string(const Cell* source, uint32_t target, bool keep_delimiters) {
    gc::ProtectNode keep(&target);
    std::string text = string::to_utf8(source);
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const uint8_t* end = p + text.size();
    while (p < end) {
        uint8_t lead;
        if (decode_escape(p, end, &lead) && !(keep_delimiters && keeps_escape(lead))) {
            if (lead < 0x80) {
                string::append_char(target, lead);
                p += 3;
                continue;
            }
            // The decoded bytes are read as UTF-8: an escape that does not
            // start a whole, valid sequence (a lone continuation byte, a
            // sequence cut short or malformed) stays as it was written, so
            // no byte is ever read as a Latin-1 character.
            int32_t n = unicode::utf8_lead_length(lead);
            uint8_t bytes[4] = {lead, 0, 0, 0};
            bool complete = n >= 2;
            for (int32_t k = 1; complete && k < n; k++)
                complete = decode_escape(p + 3 * k, end, &bytes[k]);
            if (complete) {
                int32_t cp;
                const uint8_t* after = unicode::decode_utf8_char(bytes, bytes + n, &cp);
                if (cp >= 0 && after == bytes + n) {
                    string::append_char(target, uint32_t(cp));
                    p += 3 * n;
                    continue;
                }
            }
        }
        int32_t cp;
        p = unicode::decode_utf8_char(p, end, &cp);
        string::append_char(target, cp < 0 ? 0xFFFD : uint32_t(cp));
    }
}

void encode_string(const Cell* source, uint32_t target, int32_t mode) {
    gc::ProtectNode keep(&target);
    std::string text = string::to_utf8(source);
    for (unsigned char c : text) {
        char out[3];
        int32_t n = encode_byte(mode, c, out);
        for (int32_t k = 0; k < n; k++) string::append_char(target, uint8_t(out[k]));
    }
}

Cell make_decoded(const char* text, int32_t length, bool keep_delimiters) {
    // The UTF-8 loader drops a byte-order mark at the start of its text; in
    // a token it is a character, so the text is loaded after a space that
    // the value's index then skips.
    std::string copy = " " + std::string(text, size_t(length));
    gc::Local raw({type_string, 1, unicode::load_utf8_new(reinterpret_cast<const uint8_t*>(copy.data()), length + 1), 0});
    gc::Local out(string::make_cell(length));
    decode_string(&raw, out.w2, keep_delimiters);
    cell::set_type(&out, type_url);
    return out;
}

// ---- Paths ----

Cell current_dir() {
    int32_t length = 0;
    char* dir = platform::current_dir(&length);
    std::string text(dir ? dir : "", dir ? size_t(length) : 0);
    heap::free(dir);
    if (text.empty() || text.back() != '/') text += '/';
    Cell out = from_local_path(text.data(), int32_t(text.size()));
    cell::set_type(&out, type_string);
    return out;
}

void to_local_path(const Cell* file, uint32_t target, bool full) {
    gc::Local f(*file);
    gc::ProtectNode keep_target(&target);
    bool absolute = !string::at_tail(&f) && string::char_at(f.w2, int32_t(f.w1)) == '/';
    if (full && !absolute) {
        gc::Local dir(current_dir());
        string::append_string(target, &dir);
    }
    string::append_string(target, &f);
}

// A Linux name is any bytes but NUL and "/", not always UTF-8, and a name
// read from the system must open the same file again. So a byte that is no
// part of well-formed UTF-8 becomes the code point U+DC00 + byte (U+DC80 to
// U+DCFF): lone low surrogates, which well-formed UTF-8 never yields, so no
// real character is taken for an escaped byte; mold writes them as
// ^(DCxx), which loads back. to_os_path turns each of them into its byte
// again (a U+DC80-U+DCFF written by hand in a file! names that byte too).
// Every path from the system comes in here and every path to it goes out
// through to_os_path.
Cell from_local_path(const char* path, int32_t length) {
    std::string copy(path, size_t(length));
    uint32_t node = string::make(length);
    gc::ProtectNode keep(&node);
    const auto* p = reinterpret_cast<const uint8_t*>(copy.data());
    const uint8_t* end = p + copy.size();
    while (p < end) {
        int32_t cp;
        const uint8_t* next = unicode::decode_utf8_char(p, end, &cp);
        if (cp >= 0) {
            string::append_char(node, uint32_t(cp));
        } else {
            for (; p < next; p++) string::append_char(node, escaped_byte_base | *p);
        }
        p = next;
    }
    return {type_file, 0, node, 0};
}

std::string to_os_path(const Cell* file) {
    std::string text;
    const int32_t n = string::length(file->w2);
    for (int32_t i = int32_t(file->w1); i < n; i++) {
        uint32_t c = string::char_at(file->w2, i);
        if (c == 0) errors::raise(err::script::invalid_arg, file);
        if (c >= (escaped_byte_base | 0x80) && c <= (escaped_byte_base | 0xFF)) {
            text += char(c & 0xFF);
            continue;
        }
        char bytes[4];
        text.append(bytes, size_t(unicode::encode_utf8_char(c, bytes)));
    }
    return text;
}

// ---- Handlers ----

void url_to(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    if (type != type_url || !is_any_block(cell::type(spec))) {
        string::to(prototype, spec, type, result);
        return;
    }
    gc::Local block(*spec);
    int32_t n = int32_t(nodes::buffer(block.w2)->count()) - int32_t(block.w1);
    if (n <= 0) {
        Cell target = cell::make_datatype(type_url);
        errors::raise(err::script::bad_to_arg, &target, &block);
    }
    gc::Local out(string::make_cell(32));
    auto part = [&](int32_t k) { return element(&block, int32_t(block.w1) + k); };
    Cell p = part(0);
    form_into(&p, out.w2);
    string::append_ascii(out.w2, "://");
    int32_t k = 1;
    if (k < n) {
        p = part(k++);
        form_into(&p, out.w2);
    }
    if (k < n && cell::type(&(p = part(k))) == type_integer) {
        string::append_char(out.w2, ':');
        form_into(&p, out.w2);
        k++;
    }
    for (bool first = true; k < n; k++, first = false) {
        p = part(k);
        string::append_char(out.w2, !first && cell::type(&p) == type_issue ? '#' : '/');
        form_into(&p, out.w2);
    }
    cell::set_type(&out, type_url);
    *result = out;
}

void url_make(const Cell* prototype, const Cell* spec, int32_t type, Cell* result) {
    if (type == type_url && is_any_block(cell::type(spec))) {
        url_to(prototype, spec, type, result);
        return;
    }
    string::make(prototype, spec, type, result);
}

// An escape already in the text ("%" and two hexadecimal digits) is written
// as it is: the text of an escaped URL molds without being escaped twice.
int32_t url_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    std::string text = string::to_utf8(value);
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    int32_t written = 0;
    for (size_t i = 0; i < text.size(); i++) {
        const uint8_t c = bytes[i];
        char out[3];
        uint8_t escaped;
        int32_t n = 1;
        if (c == '%' && decode_escape(bytes + i, bytes + text.size(), &escaped))
            out[0] = '%';
        else
            n = encode_byte(mode_url, c, out);
        for (int32_t k = 0; k < n; k++) {
            if (arg && written >= limit) return limit - written;
            string::append_char(buffer, uint8_t(out[k]));
            written++;
        }
    }
    return limit - written;
}

// Characters a quoted file writes as ^(code): the UTF-8 loader refuses
// surrogates and U+FFFE. (A quote is written so too: the lexer ends a quoted
// file at the first quote, escaped or not.)
namespace {
bool by_code(uint32_t c) { return (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE; }
}  // namespace

int32_t file_mold(const Cell* value, uint32_t buffer, bool, bool, bool, const Cell* arg, int32_t limit, int32_t) {
    gc::Local f(*value);
    string::append_char(buffer, '%');
    int32_t head = std::min<int32_t>(int32_t(f.w1), string::length(f.w2));
    int32_t count = string::length(f.w2) - head;
    if (count == 0) {
        string::append_ascii(buffer, "\"\"");
        return limit - 3;
    }
    if (arg) count = std::clamp(limit, 0, count);
    // Names a bare file would not load back as (spaces, quotes, "^", "%",
    // controls, and "(", ")", ":" or "@", which end a bare file) are written
    // as a quoted text with the string escapes.
    bool quoted = false;
    for (int32_t i = head; i < head + count && !quoted; i++) {
        uint32_t c = string::char_at(f.w2, i);
        quoted = c < 127 ? !allowed(uint8_t(c), mode_url) || std::strchr("():@", int(c)) : c <= 159 || by_code(c);
    }
    if (quoted) string::append_char(buffer, '"');
    for (int32_t i = head; i < head + count; i++) {
        uint32_t c = string::char_at(f.w2, i);
        if (quoted && (c == '"' || by_code(c))) {
            char code[16];
            std::snprintf(code, sizeof code, "^(%X)", c);
            string::append_ascii(buffer, code);
        } else if (quoted) {
            string::append_escaped(buffer, c, false);
        } else {
            string::append_char(buffer, c);
        }
    }
    if (quoted) string::append_char(buffer, '"');
    return limit - count - 1;
}

void eval_path(const PathStep& step, Cell* result) {
    gc::Local base(*step.parent);
    gc::Local selector(*step.element);
    if (step.value) {
        Cell path = step.path ? *step.path : none;
        errors::raise(err::script::bad_path_set, &path, &selector);
    }
    if (cell::type(&selector) == type_get_word) selector = *context::get_word_value(&selector);
    gc::Local formed(string::make_cell(16));
    form_into(&selector, formed.w2);
    gc::Local out(Cell{});
    string::make_at(&out, string::length_from_head(&base) + string::length(formed.w2) + 16,
                    nodes::buffer(base.w2)->unit());
    string::append_string(out.w2, &base);
    int32_t n = string::length(out.w2);
    bool base_slash = n > 0 && string::char_at(out.w2, n - 1) == '/';
    bool selector_slash = string::length(formed.w2) > 0 && string::char_at(formed.w2, 0) == '/';
    if (base_slash && selector_slash) formed.w1 = 1;
    else if (!base_slash && !selector_slash) string::append_char(out.w2, '/');
    string::append_string(out.w2, &formed);
    cell::set_type(&out, cell::type(&base));
    *result = out;
}

Cell open_port(const Cell* url) {
    gc::Local where(*url);
    Cell* decoder = context::global_value_address(symbols::make("decode-url"));
    if (!decoder || cell::type(decoder) != type_function) errors::raise(err::script::invalid_arg, &where);
    gc::Local function(*decoder);
    gc::Local spec(none);
    call::Call(&function).arg(&where).run(&spec);
    if (cell::type(&spec) != type_object) errors::raise(err::script::invalid_arg, &where);
    gc::Local port_cell(none);
    port::make(nullptr, &spec, type_port, &port_cell);
    return port_cell;
}

void url_open(const Cell* spec, bool new_port, bool read, bool write, bool seek, const Cell* allow, Cell* result) {
    gc::Local port(open_port(spec));
    gc::Local opened(none);
    actions::lookup<slot_open>(&port)(&port, new_port, read, write, seek, allow, &opened);
    *result = opened;
}

}  // namespace vum::file_url

namespace vum::url_type {

void init() {
    using namespace actions;
    Row r(type_url, "url!", type_string);
    r.inherit(text_series_slots)
        .inherit<slot_append, slot_modify, slot_form, slot_compare>()
        .set<slot_make>(file_url::url_make)
        .set<slot_to>(file_url::url_to)
        .set<slot_mold>(file_url::url_mold)
        .set<slot_eval_path>(file_url::eval_path)
        .set<slot_open>(file_url::url_open);
    // read and write: the network services fill them (io/file-url-actions.h).
    datatype::register_type(r);
}

}  // namespace vum::url_type

namespace vum::file_type {

void init() {
    using namespace actions;
    Row r(type_file, "file!", type_url);
    r.inherit(text_series_slots)
        .inherit<slot_append, slot_modify, slot_make, slot_to, slot_form, slot_eval_path, slot_compare>()
        .set<slot_mold>(file_url::file_mold);
    // delete, query, read, rename and write: the file services fill them
    // (io/file-url-actions.h).
    datatype::register_type(r);
}

}  // namespace vum::file_type
