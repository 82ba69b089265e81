// The vector-add kernel and its launch search.
#pragma once

#include "common/gpu_runtime.h"
#include "launch_search.h"

namespace gputune {

// c[i] = a[i] + b[i] for every i below n, one element per thread.
__global__ void vector_add_kernel(float* a, float* b, float* c, int n);

// What the launch search measures for this kernel.
extern const search_plan vector_add_plan;

// Searches data sizes x block sizes 32..1024 for the fastest launch and prints the result.
void optimize_vector_add();

}  // namespace gputune
