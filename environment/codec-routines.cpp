#include "environment/codec-routines.h"

#include "datatypes/actions.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "datatypes/string.h"
#include "io/files.h"
#include "io/vumbin-decoder.h"
#include "io/vumbin-encoder.h"
#include "memory/cell.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/series.h"
#include "memory/value-stack.h"

namespace vum::boot {

namespace {

using routines::MachineValue;

MachineValue none_returned() { return MachineValue{.integer = 0}; }

// encode* data compact?: the whole file as a binary!, in the compact or
// the fixed form.
MachineValue vumbin_encode(const MachineValue* args, int32_t) {
    Cell* made = stack::push_cell();
    cell::make_none(made);
    if (args[1].integer != 0)
        vumbin::encode_compact(args[0].cell, made);
    else
        vumbin::encode_fixed(args[0].cell, made);
    *stack::result() = *made;
    return none_returned();
}

// decode payload: the one value the file holds, or a block of its values.
// A file or URL is read whole through its type's read action (so a URL
// decodes as soon as URLs read); data of ten bytes or fewer cannot be a
// file and is refused before the decoder looks.
MachineValue vumbin_decode(const MachineValue* args, int32_t) {
    const Cell* payload = args[0].cell;
    uint8_t t = cell::type(payload);
    if (t == type_file || t == type_url) {
        Cell* bytes = stack::push_cell();
        cell::make_none(bytes);
        actions::lookup<actions::slot_read>(payload)(payload, nullptr, nullptr, true, false, false, nullptr, bytes);
        payload = bytes;
        t = cell::type(payload);
    }
    if (t != type_binary || binary::length_from_index(payload) <= 10)
        errors::raise(err::script::invalid_data, payload);
    Cell* block = stack::push_cell();
    block_actions::make_at(block, 4);
    vumbin::set_mode(vumbin::Mode::saved);
    vumbin::decode(binary::position_pointer(payload), binary::length_from_index(payload), block, true, payload);
    *stack::result() = series::length_from_head(block) == 1 ? series::cells_head(block->w2)[0] : *block;
    return none_returned();
}

// encode img where, of each image codec: the image in the codec's format
// as a binary!; `where` only receives it (save writes the file itself).
template <int32_t Format>
MachineValue image_encode(const MachineValue* args, int32_t) {
    Cell* made = stack::push_cell();
    cell::make_none(made);
    image::encode(args[0].cell, Format, made);
    *stack::result() = *made;
    return none_returned();
}

// The bytes of an image file (a file! or string! path); one that cannot be
// read says why: access cannot-open with the value and the system's reason.
std::string image_file_bytes(const Cell* file) {
    gc::Local f(*file);
    uint8_t t = cell::type(&f);
    if (t != type_file && t != type_string) errors::raise(err::access::cannot_open, &f);
    return files::read_bytes(&f);
}

// decode data, shared by the image codecs: a binary! decodes from memory
// (none when no image signature starts it), anything else is opened as an
// image file.
MachineValue image_decode(const MachineValue* args, int32_t) {
    Cell* made = stack::push_cell();
    cell::make_none(made);
    const Cell* data = args[0].cell;
    if (cell::type(data) == type_binary) image::decode_binary(data, made);
    else image::decode_file_bytes(image_file_bytes(data), made);
    *stack::result() = *made;
    return none_returned();
}


// ---- JSON strings ----

int32_t hex_digit(uint32_t c) {
    if (c >= '0' && c <= '9') return int32_t(c - '0');
    if (c >= 'a' && c <= 'f') return int32_t(c - 'a' + 10);
    if (c >= 'A' && c <= 'F') return int32_t(c - 'A' + 10);
    return -1;
}

// The four hex digits after "\u" at element index `at`; -1 when they run
// past the end or one is not a hex digit.
int32_t read_hex4(uint32_t node, int32_t at, int32_t end) {
    if (at + 4 > end) return -1;
    int32_t code = 0;
    for (int32_t i = 0; i < 4; i++) {
        int32_t d = hex_digit(string::char_at(node, at + i));
        if (d < 0) return -1;
        code = code * 16 + d;
    }
    return code;
}

uint32_t simple_escape(uint32_t c) {
    switch (c) {
        case 'b': return 0x08;
        case 'f': return 0x0C;
        case 'n': return 0x0A;
        case 'r': return 0x0D;
        case 't': return 0x09;
        default: return c;  // the quote, the backslash and the slash
    }
}

// unescape str: the JSON escapes of the string decoded in place, written
// behind the read index. Indexes are element indexes, so a write that
// widens the buffer leaves the read index valid.
MachineValue json_unescape(const MachineValue* args, int32_t) {
    Cell text = *args[0].cell;
    uint32_t node = text.w2;
    int32_t end = string::length(node);
    int32_t read = string::clip_head(&text);
    int32_t write = read;
    auto refuse = [&text]() { errors::raise(err::script::invalid_data, &text); };
    while (read < end) {
        uint32_t c = string::char_at(node, read++);
        if (c == '\\' && read < end) {
            uint32_t kind = string::char_at(node, read++);
            if (kind != 'u') {
                c = simple_escape(kind);
            } else {
                int32_t code = read_hex4(node, read, end);
                if (code < 0) refuse();
                read += 4;
                if (code >= 0xD800 && code <= 0xDBFF) {
                    if (read + 2 > end || string::char_at(node, read) != '\\' ||
                        string::char_at(node, read + 1) != 'u')
                        refuse();
                    int32_t low = read_hex4(node, read + 2, end);
                    if (low < 0xDC00 || low > 0xDFFF) refuse();
                    read += 6;
                    code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                c = uint32_t(code);
            }
        }
        string::poke_char(node, write++, c);
    }
    string::cut(node, write);
    *stack::result() = text;
    return none_returned();
}

}  // namespace

void register_codec_routines() {
    routines::register_routine("vumbin-encode*", vumbin_encode);
    routines::register_routine("vumbin-decode", vumbin_decode);
    routines::register_routine("bmp-encode", image_encode<int32_t(imaging::Format::bmp)>);
    routines::register_routine("png-encode", image_encode<int32_t(imaging::Format::png)>);
    routines::register_routine("gif-encode", image_encode<int32_t(imaging::Format::gif)>);
    routines::register_routine("jpeg-encode", image_encode<int32_t(imaging::Format::jpeg)>);
    routines::register_routine("tiff-encode", image_encode<int32_t(imaging::Format::tiff)>);
    routines::register_routine("image-decode", image_decode);
    routines::register_routine("json-unescape", json_unescape);
}

}  // namespace vum::boot
