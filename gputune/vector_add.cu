#include "vector_add.h"

namespace gputune {

__global__ void vector_add_kernel(float* a, float* b, float* c, int n)
{
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i < n) {
        c[i] = a[i] + b[i];
    }
}

const search_plan vector_add_plan = {"vector_add_kernel", vector_add_kernel, 1024, false, false};

void optimize_vector_add()
{
    const search_result best = search_launch(vector_add_plan);
    print_search_result("\n=== Оптимизация векторного сложения ===", best);
}

}  // namespace gputune
