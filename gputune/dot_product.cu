#include "dot_product.h"

#include <cmath>

namespace gputune {

__global__ void dot_product_kernel(float* a, float* b, float* c, int n)
{
    __shared__ float cache[dot_product_max_block];
    int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int stride = static_cast<int>(blockDim.x * gridDim.x);
    float partial = 0.0f;
    while (i < n) {
        partial = fmaf(a[i], b[i], partial);
        i += stride;
    }
    cache[threadIdx.x] = partial;
    __syncthreads();

    // Sequential addressing: thread j adds entry j + s into entry j, halving s each step.
    int s = static_cast<int>(blockDim.x / 2);
    while (s != 0) {
        if (static_cast<int>(threadIdx.x) < s) {
            cache[threadIdx.x] += cache[threadIdx.x + s];
        }
        __syncthreads();
        s /= 2;
    }
    if (threadIdx.x == 0) {
        atomicAdd(c, cache[0]);
    }
}

const search_plan dot_product_plan = {"dot_product_kernel", dot_product_kernel, dot_product_max_block, true,
                                      true};

void optimize_dot_product()
{
    const search_result best = search_launch(dot_product_plan);
    print_search_result("\n=== Оптимизация скалярного произведения ===", best);
}

}  // namespace gputune
