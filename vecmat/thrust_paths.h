// The dot product and the transpose through Thrust. Each function owns the device memory it
// uses and releases it before it returns.
#pragma once

#include <vector>

#include <thrust/tuple.h>

#include "common/gpu_runtime.h"

namespace vecmat {

// Maps one element pair (a[i], b[i]) to its product; the reduction does the adding.
struct multiply_and_add {
    __host__ __device__ float operator()(const thrust::tuple<float, float>& pair) const
    {
        return thrust::get<0>(pair) * thrust::get<1>(pair);
    }
};

// Returns 0 + a[0] * b[0] + a[1] * b[1] + ... over the whole of a and b, summed in the
// library's order. `n` equals their length and is not otherwise consulted.
float dot_product_thrust(const std::vector<float>& a, const std::vector<float>& b, int n);

// Writes the transpose of the row-major rows x cols matrix `in` into `out`, which has the same
// number of elements.
void transpose_thrust(const std::vector<float>& in, std::vector<float>& out, int rows, int cols);

}  // namespace vecmat
