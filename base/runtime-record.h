// The one run-time record, reachable from everywhere.
#pragma once
#include <cstdint>

#include "base/tracked-heap.h"

namespace vum {

struct ImageRecord {
    uintptr_t image_base;
    uintptr_t code_start;
    uintptr_t code_size;
    uintptr_t data_start;
    uintptr_t data_size;
};

struct RunTimeRecord {
    int32_t arg_count;
    char** args;            // UTF-8, null-terminated list, tracked heap
    int32_t cleared;
    uint32_t thrown;        // code of the throw in flight, 0 for none
    const uint8_t* boot_image;  // null: start-up loads the environment from its sources
    int64_t boot_image_size;    // bytes; -1 when the image's own header bounds it
    ImageRecord* image_record;
    heap::List* heap_list;
    void* top_catch_frame;
};

extern RunTimeRecord rt;

}  // namespace vum
