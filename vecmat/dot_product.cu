#include "dot_product.h"

#include <iostream>

#include "common/launch.h"
#include "common/resources.h"
#include "report.h"

namespace vecmat {

__global__ void dot_product_kernel(float* a, float* b, float* result, int n)
{
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i < n) {
        atomicAdd(result, a[i] * b[i]);
    }
}

void dot_product_step(const std::vector<float>& a, const std::vector<float>& b, int n)
{
    const std::size_t count = static_cast<std::size_t>(n);
    gpu::event start;
    gpu::event stop;
    gpu::device_array<float> device_a(count);
    gpu::device_array<float> device_b(count);
    gpu::device_array<float> device_result(1);
    GPU_CHECK(cudaMemcpy(device_a.get(), a.data(), count * sizeof(float), cudaMemcpyHostToDevice));
    GPU_CHECK(cudaMemcpy(device_b.get(), b.data(), count * sizeof(float), cudaMemcpyHostToDevice));
    GPU_CHECK(cudaMemset(device_result.get(), 0, sizeof(float)));

    const int block_size = 256;
    const int grid_size = (n + block_size - 1) / block_size;
    gpu::load_kernel(dot_product_kernel);
    const float ms = gpu::time_with_events("dot_product_kernel", start, stop, [&] {
        gpu::launch_checked("dot_product_kernel", dot_product_kernel, dim3(grid_size), dim3(block_size),
                            device_a.get(), device_b.get(), device_result.get(), n);
    });
    std::cout << label::kernel_dot_time << ms << label::ms << std::endl;

    float result = 0.0f;
    GPU_CHECK(cudaMemcpy(&result, device_result.get(), sizeof(float), cudaMemcpyDeviceToHost));
    std::cout << label::kernel_dot_result << result << std::endl;

    device_a.release();
    device_b.release();
    device_result.release();
    start.release();
    stop.release();
}

}  // namespace vecmat
