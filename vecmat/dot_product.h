// Dot product with the hand-written kernel: one thread and one atomic addition per element.
#pragma once

#include <vector>

#include "common/gpu_runtime.h"

namespace vecmat {

// Adds a[i] * b[i] into *result for every i below n.
__global__ void dot_product_kernel(float* a, float* b, float* result, int n);

// Copies a and b to the device, times dot_product_kernel over n elements with GPU events and
// prints the time line, then reads back and prints the result line.
void dot_product_step(const std::vector<float>& a, const std::vector<float>& b, int n);

}  // namespace vecmat
