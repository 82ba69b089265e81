// Matrix transpose with the hand-written kernel: one thread per element, no shared memory.
#pragma once

#include <vector>

#include "common/gpu_runtime.h"

namespace vecmat {

// Writes the transpose of the row-major rows x cols matrix `in` into `out` (cols x rows). The
// x index runs over the input's rows, the y index over its columns.
__global__ void transpose_kernel(float* in, float* out, int rows, int cols);

// Copies the matrix to the device, times transpose_kernel with GPU events and prints the time
// line, then reads the whole result back into `transposed` and prints its first element.
void transpose_step(const std::vector<float>& matrix, std::vector<float>& transposed, int rows, int cols);

}  // namespace vecmat
