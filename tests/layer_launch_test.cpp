// Kernel launch on the host execution layer: configuration checks, coordinates, barriers,
// thread order and block-shared memory.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/host/control.h"
#include "support.h"
#include "common/launch.h"
#include "common/resources.h"

namespace {

__global__ void count_threads(int* hits, int total)
{
    const unsigned int block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned int thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const int linear = static_cast<int>(block * blockDim.x * blockDim.y * blockDim.z + thread);
    if (linear < total) {
        hits[linear] += 1;
    }
}

// Sums 256-thread blocks into out[blockIdx.x], with or without the barrier inside the loop.
// (Plain functions: the layer cannot poison block-shared arrays of function templates.)
__device__ void block_sum(const float* in, float* out, bool in_loop_barrier)
{
    __shared__ float cache[256];
    cache[threadIdx.x] = in[blockIdx.x * blockDim.x + threadIdx.x];
    __syncthreads();
    for (unsigned int s = blockDim.x / 2; s != 0; s /= 2) {
        if (threadIdx.x < s) {
            cache[threadIdx.x] += cache[threadIdx.x + s];
        }
        if (in_loop_barrier) {
            __syncthreads();
        }
    }
    if (threadIdx.x == 0) {
        out[blockIdx.x] = cache[0];
    }
}

__global__ void reduction(const float* in, float* out) { block_sum(in, out, true); }
__global__ void reduction_missing_a_barrier(const float* in, float* out) { block_sum(in, out, false); }

__global__ void add_one_each(float* total) { atomicAdd(total, 1.0f); }

__global__ void first_thread_leaves_early(float* out)
{
    if (threadIdx.x == 0) {
        return;
    }
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1.0f;
}

__global__ void last_thread_skips_a_barrier(float* out)
{
    __syncthreads();
    if (threadIdx.x + 1 != blockDim.x) {
        __syncthreads();
    }
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1.0f;
}

// Every thread writes its round number, meets a barrier, and counts the threads of its block
// whose entry does not hold that round yet: a thread let past a barrier early sees some.
__global__ void count_early_passes(int* early)
{
    __shared__ int round_of[64];
    const unsigned int thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    const unsigned int threads = blockDim.x * blockDim.y * blockDim.z;
    int seen = 0;
    for (int round = 0; round < 3; ++round) {
        round_of[thread] = round;
        __syncthreads();
        for (unsigned int other = 0; other < threads; ++other) {
            seen += round_of[other] != round ? 1 : 0;
        }
        __syncthreads();
    }
    early[blockIdx.x * threads + thread] = seen;
}

// Thread 37 of each block leaves after the first of two barriers.
__global__ void middle_thread_leaves_after_a_barrier(float* out)
{
    __syncthreads();
    if (threadIdx.x == 37) {
        return;
    }
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1.0f;
}

// Thread 5 of block 1 throws once every thread has passed a barrier, as host code in a kernel
// might (a kernel on a GPU cannot).
__global__ void throws_after_a_barrier(float* out)
{
    __syncthreads();
    if (blockIdx.x == 1 && threadIdx.x == 5) {
        throw std::runtime_error("thrown by a kernel");
    }
    __syncthreads();
    out[blockIdx.x * blockDim.x + threadIdx.x] = 1.0f;
}

// Every thread keeps more values of every kind live across barriers than the registers hold,
// and writes what it kept. A barrier that let the next thread's switch clobber a register
// would show as another thread's value.
constexpr int kept_values = 12;

template <class Out> void keep_values_across_barriers(unsigned int t, Out out)
{
    int i1 = static_cast<int>(t * 3), i2 = static_cast<int>(t * 5 + 1), i3 = static_cast<int>(t ^ 0x55u);
    float f1 = static_cast<float>(t) * 0.5f, f2 = static_cast<float>(t) + 0.25f,
          f3 = 1.0f / static_cast<float>(t);
    float f4 = static_cast<float>(t * t), f5 = static_cast<float>(t) * 3.0f;
    double d1 = t * 1.5, d2 = t + 0.125, d3 = 1.0 / t;
    long double l1 = t * 2.5L;
    out(0);  // a barrier in the kernel, nothing on the host
    i1 += 1;
    f1 += 1.0f;
    d1 += 1.0;
    out(0);
    out(0);
    const double kept[kept_values] = {double(i1), double(i2), double(i3), f1, f2, f3,
                                      f4,         f5,         d1,         d2, d3, static_cast<double>(l1)};
    for (int k = 0; k < kept_values; ++k) {
        out(k + 1, kept[k]);
    }
}

__global__ void keeps_values_across_barriers(double* out)
{
    const unsigned int thread = blockIdx.x * blockDim.x + threadIdx.x;
    struct {
        double* slots;
        void operator()(int) const { __syncthreads(); }
        void operator()(int k, double value) const { slots[k - 1] = value; }
    } barrier_or_store{out + thread * kept_values};
    keep_values_across_barriers(threadIdx.x + 1, barrier_or_store);
}

// Thread 0 of every block reports what the block-shared array held before anyone wrote it.
__global__ void read_shared_before_writing(std::uint32_t* out)
{
    __shared__ float scratch[4];
    if (threadIdx.x == 0) {
        std::memcpy(&out[blockIdx.x], &scratch[1], sizeof(std::uint32_t));
        scratch[1] = 5.0f;
    }
}

// 256-thread blocks whose sums are 0 + 1 + ... + 255 = 32640 apiece.
std::vector<float> block_sums(void (*kernel)(const float*, float*), int blocks)
{
    std::vector<float> in(static_cast<std::size_t>(blocks) * 256);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<float>(i % 256);
    }
    gpu::device_array<float> device_in(in.size());
    gpu::device_array<float> device_out(static_cast<std::size_t>(blocks));
    EXPECT_EQ(cudaMemcpy(device_in.get(), in.data(), in.size() * sizeof(float), cudaMemcpyHostToDevice),
              cudaSuccess);
    EXPECT_EQ(gpu::launch(kernel, dim3(blocks), dim3(256), device_in.get(), device_out.get()), cudaSuccess);
    std::vector<float> out(static_cast<std::size_t>(blocks));
    EXPECT_EQ(cudaMemcpy(out.data(), device_out.get(), out.size() * sizeof(float), cudaMemcpyDeviceToHost),
              cudaSuccess);
    return out;
}

using LayerLaunch = testing_support::layer_test;

TEST_F(LayerLaunch, RefusesWhatTheRuntimeRefusesAndRunsNothing)
{
    gpu::device_array<int> hits(1);
    ASSERT_EQ(cudaMemset(hits.get(), 0, sizeof(int)), cudaSuccess);
    const dim3 refused[][2] = {
        {dim3(1), dim3(1025)},        {dim3(1), dim3(32, 33)},    {dim3(1), dim3(1, 1, 65)},
        {dim3(0), dim3(32)},          {dim3(1, 65536), dim3(32)}, {dim3(1, 1, 65536), dim3(32)},
        {dim3(2147483648u), dim3(1)}, {dim3(1), dim3(0)},
    };
    for (const auto& config : refused) {
        EXPECT_EQ(gpu::launch(count_threads, config[0], config[1], hits.get(), 1),
                  cudaErrorInvalidConfiguration)
            << config[0].x << "x" << config[0].y << "x" << config[0].z << " / " << config[1].x << "x"
            << config[1].y << "x" << config[1].z;
    }
    int host = -1;
    ASSERT_EQ(cudaMemcpy(&host, hits.get(), sizeof(int), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, 0);
    EXPECT_EQ(gpu::launch(count_threads, dim3(1), dim3(1024), hits.get(), 1), cudaSuccess);
}

TEST_F(LayerLaunch, EveryThreadOfAThreeDimensionalGridRunsOnceInEitherOrder)
{
    for (auto [order, workers] : {std::pair{host_layer::thread_order::ascending, 1u},
                                  std::pair{host_layer::thread_order::descending, 1u},
                                  std::pair{host_layer::thread_order::ascending, 5u}}) {
        host_layer::set_thread_order(order);
        host_layer::set_workers(workers);  // 12 blocks: not a multiple of 5
        const dim3 grid(2, 3, 2);
        const dim3 block(4, 2, 3);
        const int total = 2 * 3 * 2 * 4 * 2 * 3;
        gpu::device_array<int> hits(total);
        ASSERT_EQ(cudaMemset(hits.get(), 0, total * sizeof(int)), cudaSuccess);
        ASSERT_EQ(gpu::launch(count_threads, grid, block, hits.get(), total), cudaSuccess);
        std::vector<int> host(total);
        ASSERT_EQ(cudaMemcpy(host.data(), hits.get(), total * sizeof(int), cudaMemcpyDeviceToHost),
                  cudaSuccess);
        for (int i = 0; i < total; ++i) {
            EXPECT_EQ(host[i], 1) << "thread " << i;
        }
    }
}

TEST_F(LayerLaunch, BarriersMakeATreeReductionCorrectInBothOrders)
{
    for (auto order : {host_layer::thread_order::ascending, host_layer::thread_order::descending}) {
        host_layer::set_thread_order(order);
        for (float sum : block_sums(reduction, 5)) {
            EXPECT_EQ(sum, 32640.0f);
        }
    }
}

TEST_F(LayerLaunch, EveryThreadKeepsItsOwnValuesAcrossBarriers)
{
    host_layer::set_workers(2);
    constexpr unsigned int blocks = 3, threads = 96;
    std::vector<double> expected(blocks * threads * kept_values);
    for (unsigned int thread = 0; thread < blocks * threads; ++thread) {
        struct {
            double* slots;
            void operator()(int) const {}
            void operator()(int k, double value) const { slots[k - 1] = value; }
        } store{&expected[thread * kept_values]};
        keep_values_across_barriers(thread % threads + 1, store);
    }
    for (auto order : {host_layer::thread_order::ascending, host_layer::thread_order::descending}) {
        host_layer::set_thread_order(order);
        gpu::device_array<double> out(expected.size());
        ASSERT_EQ(gpu::launch(keeps_values_across_barriers, dim3(blocks), dim3(threads), out.get()),
                  cudaSuccess);
        std::vector<double> kept(expected.size());
        ASSERT_EQ(cudaMemcpy(kept.data(), out.get(), kept.size() * sizeof(double), cudaMemcpyDeviceToHost),
                  cudaSuccess);
        EXPECT_EQ(kept, expected);
    }
}

TEST_F(LayerLaunch, AscendingOrderExposesAReductionMissingItsBarrier)
{
    host_layer::set_thread_order(host_layer::thread_order::ascending);
    EXPECT_NE(block_sums(reduction_missing_a_barrier, 1)[0], 32640.0f);
    // Descending order happens to hide the race, which is why tests run both.
    host_layer::set_thread_order(host_layer::thread_order::descending);
    EXPECT_EQ(block_sums(reduction_missing_a_barrier, 1)[0], 32640.0f);
}

TEST_F(LayerLaunch, ABarrierSomeThreadsNeverReachFailsTheLaunchInsteadOfHanging)
{
    host_layer::set_tracing(true);
    gpu::device_array<float> out(3 * 64);  // one slot per thread: the blocks run on different workers
    for (auto order : {host_layer::thread_order::ascending, host_layer::thread_order::descending}) {
        host_layer::set_thread_order(order);
        EXPECT_EQ(gpu::launch(first_thread_leaves_early, dim3(3), dim3(64), out.get()),
                  cudaErrorLaunchFailure);
        EXPECT_EQ(gpu::launch(last_thread_skips_a_barrier, dim3(3), dim3(64), out.get()),
                  cudaErrorLaunchFailure);
    }
    EXPECT_EQ(host_layer::trace().back().status, cudaErrorLaunchFailure);
    // The layer is fit for the next launch.
    for (float sum : block_sums(reduction, 2)) {
        EXPECT_EQ(sum, 32640.0f);
    }
}

TEST_F(LayerLaunch, NoThreadPassesABarrierBeforeEveryThreadOfItsBlockReachesIt)
{
    const dim3 shapes[] = {dim3(64), dim3(4, 4, 4), dim3(1), dim3(3, 7)};
    for (auto order : {host_layer::thread_order::ascending, host_layer::thread_order::descending}) {
        host_layer::set_thread_order(order);
        for (const dim3& block : shapes) {
            host_layer::set_workers(2);
            const int blocks = 3;
            const int threads = static_cast<int>(block.x * block.y * block.z);
            gpu::device_array<int> early(static_cast<std::size_t>(blocks * threads));
            ASSERT_EQ(gpu::launch(count_early_passes, dim3(blocks), block, early.get()), cudaSuccess);
            std::vector<int> host(static_cast<std::size_t>(blocks * threads), -1);
            ASSERT_EQ(cudaMemcpy(host.data(), early.get(), host.size() * sizeof(int), cudaMemcpyDeviceToHost),
                      cudaSuccess);
            for (int k = 0; k < blocks * threads; ++k) {
                EXPECT_EQ(host[k], 0) << "thread " << k % threads << " of block " << k / threads << ", block "
                                      << block.x << "x" << block.y << "x" << block.z;
            }
        }
    }
}

TEST_F(LayerLaunch, AFailedLaunchEndsEveryThreadItStartedAndLeavesTheLayerFit)
{
    gpu::device_array<float> out(3 * 64);
    for (unsigned int workers : {1u, 2u}) {
        host_layer::set_workers(workers);
        for (auto order : {host_layer::thread_order::ascending, host_layer::thread_order::descending}) {
            host_layer::set_thread_order(order);
            EXPECT_EQ(gpu::launch(middle_thread_leaves_after_a_barrier, dim3(3), dim3(64), out.get()),
                      cudaErrorLaunchFailure);
            EXPECT_EQ(host_layer::live_thread_contexts(), 0u);
            // An exception other than a divergence is the host's problem, not the kernel's: it is
            // carried out of the launch.
            EXPECT_THROW(gpu::launch(throws_after_a_barrier, dim3(3), dim3(64), out.get()),
                         std::runtime_error);
            EXPECT_EQ(host_layer::live_thread_contexts(), 0u);
            for (float sum : block_sums(reduction, 3)) {
                EXPECT_EQ(sum, 32640.0f);
            }
            EXPECT_EQ(host_layer::live_thread_contexts(), 0u);
        }
    }
}

TEST_F(LayerLaunch, BlockSharedMemoryIsPoisonedForEveryBlock)
{
    for (unsigned int workers : {1u, 2u}) {
        host_layer::set_workers(workers);
        const int blocks = 6;
        gpu::device_array<std::uint32_t> out(blocks);
        ASSERT_EQ(gpu::launch(read_shared_before_writing, dim3(blocks), dim3(8), out.get()), cudaSuccess);
        std::vector<std::uint32_t> host(blocks);
        ASSERT_EQ(cudaMemcpy(host.data(), out.get(), blocks * sizeof(std::uint32_t), cudaMemcpyDeviceToHost),
                  cudaSuccess);
        for (std::uint32_t bits : host) {
            EXPECT_EQ(bits, 0xFFFFFFFFu);  // not the 5.0 an earlier block left there
        }
    }
}

TEST_F(LayerLaunch, AtomicAdditionsFromSeveralWorkersAreNotLost)
{
    host_layer::set_workers(3);
    gpu::device_array<float> total(1);
    ASSERT_EQ(cudaMemset(total.get(), 0, sizeof(float)), cudaSuccess);
    ASSERT_EQ(gpu::launch(add_one_each, dim3(301), dim3(256), total.get()), cudaSuccess);
    float host = 0.0f;
    ASSERT_EQ(cudaMemcpy(&host, total.get(), sizeof(float), cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(host, 301.0f * 256.0f);
}

TEST_F(LayerLaunch, TheLaunchIsTracedWithItsGeometry)
{
    host_layer::set_tracing(true);
    gpu::device_array<int> hits(8);
    ASSERT_EQ(gpu::launch(count_threads, dim3(2), dim3(4), hits.get(), 8), cudaSuccess);
    const auto& call = host_layer::trace().back();
    EXPECT_EQ(call.operation, "cudaLaunchKernel");
    EXPECT_EQ(call.target, reinterpret_cast<const void*>(count_threads));
    EXPECT_EQ(call.grid.x, 2u);
    EXPECT_EQ(call.block.x, 4u);
    EXPECT_EQ(call.status, cudaSuccess);
}

}  // namespace
