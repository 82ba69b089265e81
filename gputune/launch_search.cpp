#include "launch_search.h"

#include <iostream>

#include "common/launch.h"
#include "common/resources.h"

namespace gputune {

search_result search_launch(const search_plan& plan)
{
    gpu::load_kernel(plan.kernel);
    search_result best;
    for (int n = first_data_size; n <= max_data_size; n += data_size_step) {
        const std::size_t values = static_cast<std::size_t>(n);
        const std::size_t bytes = values * sizeof(float);
        gpu::page_locked_array<float> host_a(values);
        gpu::page_locked_array<float> host_b(values);
        gpu::device_array<float> device_a(values);
        gpu::device_array<float> device_b(values);
        gpu::device_array<float> device_c(plan.single_result ? 1 : values);

        for (int block_size = first_block_size; block_size <= plan.max_block_size; block_size *= 2) {
            gpu::event start;
            gpu::event stop;
            float sum = 0.0f;
            for (int trial = 0; trial < trials; ++trial) {
                GPU_CHECK(cudaMemcpy(device_a.get(), host_a.get(), bytes, cudaMemcpyHostToDevice));
                GPU_CHECK(cudaMemcpy(device_b.get(), host_b.get(), bytes, cudaMemcpyHostToDevice));
                if (plan.zero_result_before_trial) {
                    GPU_CHECK(cudaMemset(device_c.get(), 0, sizeof(float)));
                }
                const int grid_size = (n + block_size - 1) / block_size;
                sum += gpu::time_with_events(plan.kernel_name, start, stop, [&] {
                    gpu::launch_checked(plan.kernel_name, plan.kernel, dim3(grid_size), dim3(block_size),
                                        device_a.get(), device_b.get(), device_c.get(), n);
                });
            }
            const float average = sum / static_cast<float>(trials);
            // Strictly less: of equal averages the first stays, and NaN never wins.
            if (average < best.time_ms) {
                best = {average, n, block_size};
            }
            start.release();
            stop.release();
        }

        host_a.release();
        host_b.release();
        device_a.release();
        device_b.release();
        device_c.release();
    }
    return best;
}

void print_search_result(const char* header, const search_result& result)
{
    std::cout << header << std::endl;
    std::cout << "Оптимальный размер данных: " << result.data_size << " элементов" << std::endl;
    std::cout << "Оптимальный размер блока: " << result.block_size << " потоков" << std::endl;
    std::cout << "Минимальное время выполнения: " << result.time_ms << " ms" << std::endl;
}

}  // namespace gputune
