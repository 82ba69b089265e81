#include "transpose.h"

#include <iostream>

#include "common/launch.h"
#include "common/resources.h"
#include "report.h"

namespace vecmat {

__global__ void transpose_kernel(float* in, float* out, int rows, int cols)
{
    const int x = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    const int y = static_cast<int>(blockIdx.y * blockDim.y + threadIdx.y);
    if (x >= rows || y >= cols) {
        return;
    }
    out[y * rows + x] = in[x * cols + y];
}

void transpose_step(const std::vector<float>& matrix, std::vector<float>& transposed, int rows, int cols)
{
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    gpu::event start;
    gpu::event stop;
    gpu::device_array<float> device_in(count);
    gpu::device_array<float> device_out(count);
    GPU_CHECK(cudaMemcpy(device_in.get(), matrix.data(), count * sizeof(float), cudaMemcpyHostToDevice));

    const dim3 block(16, 16, 1);
    const dim3 grid((static_cast<unsigned int>(rows) + block.x - 1) / block.x,
                    (static_cast<unsigned int>(cols) + block.y - 1) / block.y, 1);
    gpu::load_kernel(transpose_kernel);
    const float ms = gpu::time_with_events("transpose_kernel", start, stop, [&] {
        gpu::launch_checked("transpose_kernel", transpose_kernel, grid, block, device_in.get(),
                            device_out.get(), rows, cols);
    });
    std::cout << label::kernel_transpose_time << ms << label::ms << std::endl;

    GPU_CHECK(cudaMemcpy(transposed.data(), device_out.get(), count * sizeof(float), cudaMemcpyDeviceToHost));
    std::cout << label::kernel_transpose_first << transposed[0] << std::endl;

    device_in.release();
    device_out.release();
    start.release();
    stop.release();
}

}  // namespace vecmat
