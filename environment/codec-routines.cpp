#include "environment/codec-routines.h"

#include "datatypes/actions.h"
#include "datatypes/binary.h"
#include "datatypes/block.h"
#include "datatypes/function.h"
#include "datatypes/image.h"
#include "io/vumbin-decoder.h"
#include "io/vumbin-encoder.h"
#include "memory/cell.h"
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
        actions::find<actions::ReadFn>(payload, actions::slot_read)(payload, nullptr, nullptr, true, false, false,
                                                                    nullptr, bytes);
        payload = bytes;
        t = cell::type(payload);
    }
    if (t != type_binary || binary::length_from_index(payload) <= 10)
        errors::raise(err::script::invalid_data, payload);
    Cell* block = stack::push_cell();
    block_actions::make_at(block, 4);
    vumbin::set_mode(vumbin::Mode::saved);
    vumbin::decode(binary::position_pointer(payload), binary::length_from_index(payload), block, true, payload);
    *stack::result() = block::length_from_head(block) == 1 ? series::cells_head(block->w2)[0] : *block;
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

// decode data, shared by the image codecs: a binary! decodes from memory
// (none when no image signature starts it), anything else is opened as an
// image file.
MachineValue image_decode(const MachineValue* args, int32_t) {
    Cell* made = stack::push_cell();
    cell::make_none(made);
    image::decode(args[0].cell, made);
    *stack::result() = *made;
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
}

}  // namespace vum::boot
