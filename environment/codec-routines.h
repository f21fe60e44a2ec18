// The C++ code behind the codec objects' routines in system/codecs: the
// serialised-value codec's encode* and decode, and each image codec's encode
// and their shared decode, and the JSON parser's
// string unescaping. environment/system.vum
// makes the routines with boot-routine under these names.
#pragma once

namespace vum::boot {

// Registers each under its name.
void register_codec_routines();

}  // namespace vum::boot
