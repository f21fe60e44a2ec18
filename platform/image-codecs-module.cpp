// The codec module's one entry: the table of the codecs over Debian's
// libraries (the module is built with hidden symbols but this one).
#include "platform/image-codec-formats.h"

extern "C" __attribute__((visibility("default"))) const vum::imaging::detail::LibraryCodecs*
vum_image_library_codecs() {
    using namespace vum::imaging::detail;
    static const LibraryCodecs table{decode_png, decode_gif, decode_jpeg, decode_tiff,
                                     encode_png, encode_gif, encode_jpeg, encode_tiff};
    return &table;
}
