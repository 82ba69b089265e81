// The host execution layer's memory, copies, events and test controls.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "common/host/control.h"
#include "support.h"

namespace {

using LayerMemory = testing_support::layer_test;

TEST_F(LayerMemory, FreshDeviceMemoryIsPoisonedAndTracked)
{
    float* device = nullptr;
    ASSERT_EQ(cudaMalloc(&device, 16 * sizeof(float)), cudaSuccess);
    EXPECT_EQ(device_allocations(), 1u);
    std::vector<float> back(16, 0.0f);
    ASSERT_EQ(cudaMemcpy(back.data(), device, 16 * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    for (float value : back) {
        EXPECT_TRUE(std::isnan(value));
    }
    ASSERT_EQ(cudaMemset(device, 0, sizeof(float)), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(back.data(), device, 2 * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back[0], 0.0f);
    EXPECT_TRUE(std::isnan(back[1]));
    EXPECT_EQ(cudaFree(device), cudaSuccess);
    EXPECT_EQ(device_allocations(), 0u);
}

TEST_F(LayerMemory, CopiesAndMemsetsOutsideAnAllocationFailWithoutTouchingMemory)
{
    float* device = nullptr;
    ASSERT_EQ(cudaMalloc(&device, 4 * sizeof(float)), cudaSuccess);
    std::vector<float> host(8, 3.0f);
    EXPECT_EQ(cudaMemcpy(device, host.data(), 5 * sizeof(float), cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(device + 1, host.data(), 4 * sizeof(float), cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(host.data(), device, 5 * sizeof(float), cudaMemcpyDeviceToHost),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemset(device + 3, 0, 2 * sizeof(float)), cudaErrorInvalidValue);
    // A host pointer where a device pointer belongs, and the wrong direction.
    EXPECT_EQ(cudaMemcpy(host.data(), host.data() + 4, sizeof(float), cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(device, host.data(), sizeof(float), cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
    for (float value : host) {
        EXPECT_EQ(value, 3.0f);  // nothing was written back
    }
    ASSERT_EQ(cudaMemcpy(host.data(), device, 4 * sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_TRUE(std::isnan(host[0]));  // the refused copies in never wrote the device either

    ASSERT_EQ(cudaFree(device), cudaSuccess);
    EXPECT_EQ(cudaMemset(device, 0, sizeof(float)), cudaErrorInvalidValue);  // freed
    EXPECT_EQ(cudaFree(device), cudaErrorInvalidValue);                      // twice
    EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
}

TEST_F(LayerMemory, PageLockedMemoryHasItsOwnRelease)
{
    float* pinned = nullptr;
    ASSERT_EQ(cudaMallocHost(&pinned, 8 * sizeof(float)), cudaSuccess);
    EXPECT_EQ(host_allocations(), 1u);
    EXPECT_EQ(cudaFree(pinned), cudaErrorInvalidValue);
    float* device = nullptr;
    ASSERT_EQ(cudaMalloc(&device, 8 * sizeof(float)), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(device), cudaErrorInvalidValue);
    // Page-locked memory is host memory: a copy may not run past its end either.
    EXPECT_EQ(cudaMemcpy(device, pinned + 1, 8 * sizeof(float), cudaMemcpyHostToDevice),
              cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(device, pinned, 8 * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
    EXPECT_EQ(cudaFree(device), cudaSuccess);
    EXPECT_EQ(host_allocations(), 0u);
}

TEST_F(LayerMemory, EventsNeedRecordingAndCanBeScripted)
{
    cudaEvent_t start = nullptr;
    cudaEvent_t stop = nullptr;
    ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
    ASSERT_EQ(cudaEventCreate(&stop), cudaSuccess);
    float ms = -1.0f;
    EXPECT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaErrorInvalidResourceHandle);
    ASSERT_EQ(cudaEventRecord(start, 0), cudaSuccess);
    ASSERT_EQ(cudaEventRecord(stop, 0), cudaSuccess);
    ASSERT_EQ(cudaEventSynchronize(stop), cudaSuccess);
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_GE(ms, 0.0f);
    EXPECT_LT(ms, 1000.0f);

    host_layer::script_elapsed_times({0.25f, 7.0f});
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_EQ(ms, 0.25f);
    ASSERT_EQ(cudaEventElapsedTime(&ms, start, stop), cudaSuccess);
    EXPECT_EQ(ms, 7.0f);

    EXPECT_EQ(events(), 2u);
    EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
    EXPECT_EQ(cudaEventDestroy(start), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventRecord(start, 0), cudaErrorInvalidResourceHandle);
    EXPECT_EQ(cudaEventDestroy(stop), cudaSuccess);
    EXPECT_EQ(events(), 0u);
}

TEST_F(LayerMemory, TheNthCallFailsAsInjectedAndIsTraced)
{
    host_layer::set_tracing(true);
    host_layer::fail_call("cudaMalloc", 2, cudaErrorMemoryAllocation);
    void* first = nullptr;
    void* second = nullptr;
    void* third = nullptr;
    EXPECT_EQ(cudaMalloc(&first, 64), cudaSuccess);
    EXPECT_EQ(cudaMalloc(&second, 64), cudaErrorMemoryAllocation);
    EXPECT_EQ(cudaMalloc(&third, 64), cudaSuccess);
    EXPECT_EQ(device_allocations(), 2u);
    EXPECT_EQ(cudaFree(first), cudaSuccess);
    EXPECT_EQ(cudaFree(third), cudaSuccess);

    const auto& trace = host_layer::trace();
    ASSERT_EQ(trace.size(), 5u);
    EXPECT_EQ(trace[1].operation, "cudaMalloc");
    EXPECT_EQ(trace[1].bytes, 64u);
    EXPECT_EQ(trace[1].status, cudaErrorMemoryAllocation);
    EXPECT_EQ(trace[3].operation, "cudaFree");
    EXPECT_EQ(trace[3].target, first);
}

TEST_F(LayerMemory, ErrorStringsAreTheRuntimes)
{
    EXPECT_STREQ(cudaGetErrorString(cudaErrorMemoryAllocation), "out of memory");
    EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidConfiguration), "invalid configuration argument");
    EXPECT_STREQ(cudaGetErrorName(cudaErrorLaunchFailure), "cudaErrorLaunchFailure");
}

}  // namespace
