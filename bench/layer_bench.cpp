// What a kernel costs on the host execution layer, per element and per thread, against a plain
// loop doing the same work. Every benchmark reports wall-clock time: the layer runs blocks on
// worker threads besides the calling one, so the calling thread's CPU time would undercount.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "common/host/control.h"
#include "common/launch.h"
#include "common/resources.h"
#include "gputune/dot_product.h"
#include "gputune/vector_add.h"

namespace {

constexpr int n = 1 << 20;
constexpr unsigned int block = 256;
constexpr unsigned int grid = (n + block - 1) / block;

// Device inputs a = 1 and b = 2 and an output c of n floats each.
struct operands {
    gpu::device_array<float> a{n}, b{n}, c{n};

    operands()
    {
        const std::vector<float> ones(n, 1.0f), twos(n, 2.0f);
        GPU_CHECK(cudaMemcpy(a.get(), ones.data(), n * sizeof(float), cudaMemcpyHostToDevice));
        GPU_CHECK(cudaMemcpy(b.get(), twos.data(), n * sizeof(float), cudaMemcpyHostToDevice));
    }
};

// Ends the benchmark with the runtime's message when `status` is a failure.
bool failed(benchmark::State& state, cudaError_t status, const char* call)
{
    if (status == cudaSuccess) {
        return false;
    }
    state.SkipWithError((std::string(call) + ": " + cudaGetErrorString(status)).c_str());
    return true;
}

void BM_plain_loop_vector_add(benchmark::State& state)
{
    std::vector<float> a(n, 1.0f), b(n, 2.0f), c(n);
    benchmark::DoNotOptimize(a.data());
    benchmark::DoNotOptimize(b.data());
    for (auto _ : state) {
        for (int i = 0; i < n; ++i) {
            c[i] = a[i] + b[i];
        }
        benchmark::DoNotOptimize(c.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The least any runner must do: call the kernel once per thread with its coordinates set, in a
// plain loop on one core. The layer's own cost is the difference to BM_layer_vector_add/workers:1.
// The kernel works on host vectors: device memory is closed to host code outside the layer.
void BM_plain_loop_kernel_calls(benchmark::State& state)
{
    std::vector<float> a(n, 1.0f), b(n, 2.0f), c(n);
    blockDim = dim3(block);
    gridDim = dim3(grid);
    for (auto _ : state) {
        for (unsigned int bx = 0; bx < grid; ++bx) {
            blockIdx = {bx, 0, 0};
            for (unsigned int tx = 0; tx < block; ++tx) {
                threadIdx = {tx, 0, 0};
                gputune::vector_add_kernel(a.data(), b.data(), c.data(), n);
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// The argument is the worker count: 1 compares one core with the plain loop, 0 uses every core.
void BM_layer_vector_add(benchmark::State& state)
{
    host_layer::reset();
    host_layer::set_workers(static_cast<unsigned int>(state.range(0)));
    operands data;
    for (auto _ : state) {
        const cudaError_t status = gpu::launch(gputune::vector_add_kernel, dim3(grid), dim3(block),
                                               data.a.get(), data.b.get(), data.c.get(), n);
        if (failed(state, status, "vector_add_kernel")) {
            return;
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}

// Every block runs the shared-memory tree reduction, so its threads run as fibers across the
// barriers; the counter gives the cost of one such thread.
void BM_layer_tree_reduction_256(benchmark::State& state)
{
    host_layer::reset();
    host_layer::set_workers(1);
    operands data;
    for (auto _ : state) {
        // The kernel adds into *c. Zeroing those 4 bytes is timed with the launch: it costs next
        // to nothing beside a million threads, less than pausing and resuming the timer would.
        if (failed(state, cudaMemset(data.c.get(), 0, sizeof(float)), "cudaMemset")) {
            return;
        }
        const cudaError_t status = gpu::launch(gputune::dot_product_kernel, dim3(grid), dim3(block),
                                               data.a.get(), data.b.get(), data.c.get(), n);
        if (failed(state, status, "dot_product_kernel")) {
            return;
        }
    }
    // Each product is 2 and every partial sum is an integer below 2^24, so the sum is exact.
    float sum = 0.0f;
    if (failed(state, cudaMemcpy(&sum, data.c.get(), sizeof(float), cudaMemcpyDeviceToHost), "cudaMemcpy")) {
        return;
    }
    if (sum != 2.0f * n) {
        state.SkipWithError(("dot product is " + std::to_string(sum) + ", not 2n").c_str());
        return;
    }
    state.SetItemsProcessed(state.iterations() * n);
    // A rate divides the thread count by the elapsed seconds; inverted, it is seconds per thread
    // (the console shows it with an SI prefix, e.g. "367ns").
    state.counters["seconds_per_thread"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * n,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// A kernel whose threads meet `count` barriers and do next to nothing else.
__global__ void barriers_kernel(float* out, int count)
{
    float value = static_cast<float>(threadIdx.x);
    for (int k = 0; k < count; ++k) {
        __syncthreads();
        value += 1.0f;
    }
    if (value < 0.0f) {
        *out = value;  // never: keeps the loop from being optimised away
    }
}

// The argument is the number of barriers each thread meets. Against one barrier, the cost of 33
// gives the cost of one barrier for one thread: (t33 - t1) / 32. What one barrier leaves is the
// cost of starting, switching to and ending a thread.
void BM_layer_barriers(benchmark::State& state)
{
    host_layer::reset();
    host_layer::set_workers(1);
    gpu::device_array<float> out{1};
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const cudaError_t status = gpu::launch(barriers_kernel, dim3(grid), dim3(block), out.get(), count);
        if (failed(state, status, "barriers_kernel")) {
            return;
        }
    }
    state.counters["seconds_per_thread"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * n,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK(BM_plain_loop_vector_add)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_plain_loop_kernel_calls)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_layer_vector_add)
    ->ArgName("workers")
    ->Arg(1)
    ->Arg(0)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_layer_tree_reduction_256)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_layer_barriers)
    ->ArgName("barriers")
    ->Arg(1)
    ->Arg(33)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
