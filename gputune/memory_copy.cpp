#include "memory_copy.h"

#include <iostream>
#include <memory>
#include <optional>

#include "common/resources.h"

namespace gputune {

void benchmark_memory_copy(std::size_t bytes, bool pinned)
{
    const std::size_t values = bytes / sizeof(float);
    gpu::event start;
    gpu::event stop;
    // Nothing is written into the host buffer: only the times matter, and the first copy of a
    // pageable run is the first touch of its fresh pages.
    std::optional<gpu::page_locked_array<float>> page_locked;
    std::unique_ptr<float[]> pageable;
    float* host = nullptr;
    if (pinned) {
        host = page_locked.emplace(values).get();
    } else {
        pageable.reset(new float[values]);
        host = pageable.get();
    }
    gpu::device_array<float> device(values);

    const float to_device_ms = gpu::time_with_events(
        pinned ? "host-to-device copy (page-locked)" : "host-to-device copy (pageable)", start, stop,
        [&] { GPU_CHECK(cudaMemcpy(device.get(), host, bytes, cudaMemcpyHostToDevice)); });
    const float to_host_ms = gpu::time_with_events(
        pinned ? "device-to-host copy (page-locked)" : "device-to-host copy (pageable)", start, stop,
        [&] { GPU_CHECK(cudaMemcpy(host, device.get(), bytes, cudaMemcpyDeviceToHost)); });

    if (pinned) {
        page_locked->release();
    } else {
        pageable.reset();
    }
    device.release();
    start.release();
    stop.release();

    const char* mode = pinned ? "pinned" : "normal";
    std::cout << "=== Бенчмарк копирования памяти ===" << std::endl;
    std::cout << "H2D " << mode << " time: " << to_device_ms << " ms" << std::endl;
    std::cout << "D2H " << mode << " time: " << to_host_ms << " ms" << std::endl;
}

}  // namespace gputune
