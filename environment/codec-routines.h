// The C++ code behind the codec objects' routines in system/codecs: today
// the serialised-value codec's encode* and decode. environment/system.vum
// makes the routines with boot-routine under these names.
#pragma once

namespace vum::boot {

// Registers each under its name.
void register_codec_routines();

}  // namespace vum::boot
