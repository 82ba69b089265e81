// The whole gputune run: the two copy benchmarks, then both launch searches.
#pragma once

#include <cstddef>

namespace gputune {

// Bytes of each copy in the copy benchmark: 40 MiB.
inline constexpr std::size_t copy_bytes = 41943040;

// Throws gpu::runtime_failure on the first failed runtime call.
void run();

}  // namespace gputune
