// The shared-memory dot-product kernel and its launch search.
#pragma once

#include "common/gpu_runtime.h"
#include "launch_search.h"

namespace gputune {

// Entries of the block-shared partial sums: the largest block the kernel supports. The block
// size must be a power of two for the tree reduction to sum every entry.
inline constexpr int dot_product_max_block = 256;

// Adds the dot product of a and b over n elements into *c: a grid-stride partial sum per
// thread, a tree reduction per block, one atomic addition per block.
__global__ void dot_product_kernel(float* a, float* b, float* c, int n);

// What the launch search measures for this kernel.
extern const search_plan dot_product_plan;

// Searches data sizes x block sizes 32..256 for the fastest launch and prints the result.
void optimize_dot_product();

}  // namespace gputune
