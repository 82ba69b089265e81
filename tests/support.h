// Helpers shared by the tests that run on the host execution layer.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/host/control.h"
#include "common/launch.h"
#include "common/resources.h"
#include "common/program.h"

namespace testing_support {

// A test on the host layer: the layer's controls are reset around it, and what is live is
// counted from what was live when it began, so that tests do not depend on their order.
class layer_test : public ::testing::Test {
  protected:
    void SetUp() override
    {
        host_layer::reset();
        device_ = host_layer::live_device_allocations();
        host_ = host_layer::live_host_allocations();
        events_ = host_layer::live_events();
    }
    void TearDown() override { host_layer::reset(); }

    std::size_t device_allocations() const { return host_layer::live_device_allocations() - device_; }
    std::size_t host_allocations() const { return host_layer::live_host_allocations() - host_; }
    std::size_t events() const { return host_layer::live_events() - events_; }
    std::size_t leaked() const { return device_allocations() + host_allocations() + events(); }

  private:
    std::size_t device_ = 0;
    std::size_t host_ = 0;
    std::size_t events_ = 0;
};

struct captured_run {
    int status;
    std::string out;
    std::string err;
};

// Runs `body` as the program's main does, with standard output captured.
template <class Body> captured_run run_captured(const char* program, Body body)
{
    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    const int status = gpu::run_program(program, body, err);
    std::cout.rdbuf(saved);
    return {status, out.str(), err.str()};
}

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The traced calls of one operation, in order.
inline std::vector<host_layer::traced_call> calls_of(const std::string& operation)
{
    std::vector<host_layer::traced_call> found;
    for (const auto& call : host_layer::trace()) {
        if (call.operation == operation) {
            found.push_back(call);
        }
    }
    return found;
}

// Releases what the traced releases that failed left behind: the allocation or event that a
// failed cudaFree, cudaFreeHost or cudaEventDestroy named is still live. Returns how many it
// released.
inline std::size_t release_what_failed_releases_left()
{
    std::vector<host_layer::traced_call> failed;
    for (const auto& call : host_layer::trace()) {
        if (call.status != cudaSuccess && call.target != nullptr) {
            failed.push_back(call);
        }
    }
    std::size_t released = 0;
    for (const auto& call : failed) {
        void* target = const_cast<void*>(call.target);
        cudaError_t status = cudaErrorInvalidValue;
        if (call.operation == "cudaFree") {
            status = cudaFree(target);
        } else if (call.operation == "cudaFreeHost") {
            status = cudaFreeHost(target);
        } else if (call.operation == "cudaEventDestroy") {
            status = cudaEventDestroy(static_cast<cudaEvent_t>(target));
        }
        released += status == cudaSuccess ? 1 : 0;
    }
    return released;
}

// The operations traced between the recording of `start` and of the next record of any event.
inline std::vector<std::vector<std::string>> timed_intervals()
{
    std::vector<std::vector<std::string>> intervals;
    bool open = false;
    for (const auto& call : host_layer::trace()) {
        if (call.operation == "cudaEventRecord") {
            if (!open) {
                intervals.emplace_back();
            }
            open = !open;
        } else if (open) {
            intervals.back().push_back(call.operation);
        }
    }
    return intervals;
}

// Copies a and b to fresh (poisoned) device memory, zeroes a one-float result, runs
// kernel(a, b, result, n) on `grid` blocks of `block` threads and returns the result.
inline float launch_dot(void (*kernel)(float*, float*, float*, int), const std::vector<float>& a,
                        const std::vector<float>& b, int n, int grid, int block)
{
    const std::size_t count = std::max<std::size_t>(a.size(), 1);
    gpu::device_array<float> device_a(count);
    gpu::device_array<float> device_b(count);
    gpu::device_array<float> result(1);
    GPU_CHECK(cudaMemcpy(device_a.get(), a.data(), a.size() * sizeof(float), cudaMemcpyHostToDevice));
    GPU_CHECK(cudaMemcpy(device_b.get(), b.data(), b.size() * sizeof(float), cudaMemcpyHostToDevice));
    GPU_CHECK(cudaMemset(result.get(), 0, sizeof(float)));
    GPU_CHECK(gpu::launch(kernel, dim3(grid), dim3(block), device_a.get(), device_b.get(), result.get(), n));
    float host = -1.0f;
    GPU_CHECK(cudaMemcpy(&host, result.get(), sizeof(float), cudaMemcpyDeviceToHost));
    return host;
}

// launch_dot over n elements of a[i] = i % period and b[i] = factor.
inline float launch_patterned_dot(void (*kernel)(float*, float*, float*, int), int n, int grid, int block,
                                  int period, float factor)
{
    const std::size_t count = n > 0 ? static_cast<std::size_t>(n) : 0;
    std::vector<float> a(count);
    for (std::size_t i = 0; i < count; ++i) {
        a[i] = static_cast<float>(i % static_cast<std::size_t>(period));
    }
    return launch_dot(kernel, a, std::vector<float>(count, factor), n, grid, block);
}

// The exact value of that dot product.
inline float patterned_dot(int n, int period, float factor)
{
    double sum = 0.0;
    for (int i = 0; i < n; ++i) {
        sum += (i % period) * static_cast<double>(factor);
    }
    return static_cast<float>(sum);
}

}  // namespace testing_support
