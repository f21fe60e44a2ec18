// compress and decompress: the deflate family (raw, zlib and gzip framing)
// over the bytes of a binary! or the UTF-8 of a string.
#include <strings.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "datatypes/binary.h"
#include "datatypes/native.h"
#include "datatypes/string.h"
#include "engine/natives.h"
#include "io/deflate.h"
#include "memory/cell.h"
#include "memory/collector.h"
#include "memory/raise-error.h"
#include "memory/symbols.h"
#include "memory/value-stack.h"

namespace vum::natives {

namespace {

using Codec = int (*)(uint8_t* out, size_t* size, const uint8_t* data, size_t length);

struct Method {
    const char* spelling;
    Codec compress;
    Codec decompress;
    bool sized_by_trailer;  // the stream states its output size (gzip)
};

constexpr Method methods[] = {
    {"zlib", compression::zlib_compress, compression::zlib_decompress, false},
    {"deflate", compression::deflate_compress, compression::deflate_decompress, false},
    {"gzip", compression::gzip_compress, compression::gzip_decompress, true},
};

// Words match whatever their case.
const Method& method_of(const Cell* word) {
    if (cell::type(word) == type_word) {
        int32_t length = 0;
        const char* spelling = symbols::text(int32_t(word->w2), &length);
        for (const Method& m : methods)
            if (std::strlen(m.spelling) == size_t(length) &&
                strncasecmp(m.spelling, spelling, size_t(length)) == 0)
                return m;
    }
    errors::raise(err::script::invalid_arg, word);
}

// A deflate stream cannot stand for more than 1,032 bytes per input byte
// (two one-bit codes for a 258-byte match), so a larger stated size is a
// damaged stream, not a reason to allocate gigabytes.
constexpr size_t max_expansion = 1032;

// Runs the codec into a buffer of `size` bytes, once more with the size it
// asks for when that was too small, and gives the result as a new binary!
// in the frame's result slot.
void run(Codec codec, const std::string& input, size_t size) {
    const auto* in = reinterpret_cast<const uint8_t*>(input.data());
    std::vector<uint8_t> out;
    int status = compression::too_small;
    for (int attempt = 0; attempt < 2 && status == compression::too_small; attempt++) {
        if (size > size_t(cell::max_series_bytes)) errors::raise(err::internal::no_memory);
        out.resize(size);
        status = codec(out.data(), &size, in, input.size());
    }
    if (status != compression::ok) errors::raise(err::script::invalid_data);
    *stack::arg(0) = *binary::push_bytes(out.data(), int32_t(size));
    stack::keep_result_only();
}

void compress_native(const int32_t*) {
    const Method& method = method_of(stack::arg(1));
    const std::string input = bytes_of(stack::arg(0));
    run(method.compress, input, input.size() + 32);
}

void decompress_native(const int32_t* refinements) {
    const Method& method = method_of(stack::arg(1));
    int64_t wanted = 0;
    if (refinements[refine::decompress::size] >= 0) {
        const Cell* sz = stack::arg(refinements[refine::decompress::size]);
        wanted = cell::get_integer(sz);
        if (wanted < 0) errors::raise(err::script::invalid_arg, sz);
    }
    const std::string input = bytes_of(stack::arg(0));
    size_t size = size_t(wanted);
    // A pass without a buffer learns the size: always for gzip, whose
    // trailer states it, and for the others when the given size is not
    // above the input's length (compressed data is rarely larger).
    if (method.sized_by_trailer || input.size() >= size) {
        size = 0;
        int status = method.decompress(nullptr, &size, reinterpret_cast<const uint8_t*>(input.data()), input.size());
        if (status != compression::ok && status != compression::too_small)
            errors::raise(err::script::invalid_data);
    }
    const size_t most = input.size() * max_expansion + 64;
    if (size > most) {
        if (method.sized_by_trailer) errors::raise(err::script::invalid_data);
        size = most;  // a generous /size need not be taken at its word
    }
    run(method.decompress, input, size);
}

}  // namespace

void register_compression_natives() {
    set_native(native::compress, compress_native);
    set_native(native::decompress, decompress_native);
}

}  // namespace vum::natives
