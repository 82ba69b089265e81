// Host-to-device and device-to-host copy times for one buffer.
#pragma once

#include <cstddef>

namespace gputune {

// Times one copy of `bytes` bytes (a multiple of 4) to the device and one back, each alone
// between two GPU events, with the host buffer page-locked when `pinned` and pageable
// otherwise, and prints the header and the two time lines.
void benchmark_memory_copy(std::size_t bytes, bool pinned);

}  // namespace gputune
