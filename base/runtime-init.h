// Starting every runtime module, in one fixed order: each step uses what
// the steps before it made.
#pragma once
#include <cstdint>

namespace vum::services {
struct Services;
}

namespace vum::runtime {

// 1 while start-up makes permanent values: words and issues made then are
// kept in the root block.
extern int32_t word_recording;

// How long decoding the boot image took, in nanoseconds (0 without one).
extern int64_t boot_image_decode_ns;

// The layers' state that exists before start-up (the cycle guard's); the
// process entry makes it with its own, before init_all.
void init_top_level_state();

// Fills every runtime service (memory/runtime-services.h) from the layers
// that offer them. init_all fills services::current so before any layer
// starts, and stops when one is missing.
void fill_services(services::Services& s);

void init_all();

// Start-up is over: words made from here on are not kept in the root block,
// and the collector runs.
void end_start_up();

// Returns every memory frame to the OS and frees every tracked block. No
// step of start-up or exit calls it; it exists for an orderly release.
void release_all();

}  // namespace vum::runtime
