// Arbitrary bytes through the image decoders (the signature at their start
// picks PNG, JPEG, GIF, BMP or TIFF). A refusal is an expected outcome; a
// decoded image must have a size within the limits and a buffer to match,
// and a small one must survive a round trip through each lossless encoder
// unchanged. Anything else aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/image-codecs.h"

using namespace vum::imaging;

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "image-decode-fuzz: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Pixels image;
    std::string why;
    if (!decode(data, size, &image, &why)) {
        require(!why.empty(), "a refusal without a reason");
        return 0;
    }
    require(image.width > 0 && image.height > 0 && image.width <= max_side && image.height <= max_side,
            "a decoded size out of range");
    require(image.bgra.size() == size_t(image.width) * size_t(image.height) * 4, "a buffer that does not match");
    if (int64_t(image.width) * image.height > 4096) return 0;
    for (Format f : {Format::png, Format::bmp, Format::tiff}) {
        std::vector<uint8_t> bytes;
        require(encode(image, f, &bytes), "an encoder refused a decoded image");
        Pixels back;
        require(decode(bytes.data(), bytes.size(), &back), "an encoded image did not decode");
        require(back.width == image.width && back.height == image.height && back.bgra == image.bgra,
                "a lossless round trip changed the pixels");
    }
    for (Format f : {Format::gif, Format::jpeg}) {
        std::vector<uint8_t> bytes;
        Pixels back;
        require(encode(image, f, &bytes) && decode(bytes.data(), bytes.size(), &back) &&
                    back.width == image.width && back.height == image.height,
                "a lossy round trip failed");
    }
    return 0;
}
