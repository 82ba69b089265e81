// gputune on the host execution layer: the copy benchmark, both launch searches with scripted
// event times, and the shared-memory dot-product kernel.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "common/host/control.h"
#include "common/launch.h"
#include "common/resources.h"
#include "gputune/dot_product.h"
#include "gputune/gputune.h"
#include "gputune/launch_search.h"
#include "gputune/memory_copy.h"
#include "gputune/vector_add.h"
#include "support.h"

namespace {

using testing_support::calls_of;
using testing_support::lines_of;
using testing_support::run_captured;

using Gputune = testing_support::layer_test;

TEST_F(Gputune, EachCopyIntervalHoldsOneFullCopyInItsDirection)
{
    for (bool pinned : {false, true}) {
        host_layer::reset();
        host_layer::set_tracing(true);
        host_layer::script_elapsed_times({3.5f, 0.125f});
        const auto run =
            run_captured("gputune", [&] { gputune::benchmark_memory_copy(gputune::copy_bytes, pinned); });
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string mode = pinned ? "pinned" : "normal";
        EXPECT_EQ(run.out, "=== Бенчмарк копирования памяти ===\nH2D " + mode + " time: 3.5 ms\nD2H " + mode +
                               " time: 0.125 ms\n");

        const auto intervals = testing_support::timed_intervals();
        ASSERT_EQ(intervals.size(), 2u);
        EXPECT_EQ(intervals[0], (std::vector<std::string>{"cudaMemcpy"}));
        EXPECT_EQ(intervals[1], (std::vector<std::string>{"cudaMemcpy"}));
        const auto copies = calls_of("cudaMemcpy");
        ASSERT_EQ(copies.size(), 2u);
        EXPECT_EQ(copies[0].kind, cudaMemcpyHostToDevice);
        EXPECT_EQ(copies[1].kind, cudaMemcpyDeviceToHost);
        for (const auto& copy : copies) {
            EXPECT_EQ(copy.bytes, 41943040u);
        }
        // Page-locked memory comes and goes through its own calls; pageable memory never does.
        EXPECT_EQ(calls_of("cudaHostAlloc").size(), pinned ? 1u : 0u);
        EXPECT_EQ(calls_of("cudaFreeHost").size(), pinned ? 1u : 0u);
        if (pinned) {
            EXPECT_EQ(calls_of("cudaFreeHost")[0].target, calls_of("cudaHostAlloc")[0].target);
            EXPECT_EQ(copies[0].source, calls_of("cudaHostAlloc")[0].target);
        }
        EXPECT_EQ(calls_of("cudaFree").size(), 1u);
        EXPECT_EQ(leaked(), 0u);
    }
}

// Stands in for the real kernels where only the search scheme is under test; the real kernels
// are tested on their own below, and in full runs of the program.
__global__ void no_op_kernel(float*, float*, float*, int) {}

gputune::search_plan with_no_op_kernel(gputune::search_plan plan)
{
    plan.kernel = no_op_kernel;
    return plan;
}

// The average of configuration k (in visiting order) is averages[k]; each is scripted as ten
// equal trial times.
std::vector<float> trial_times(const std::vector<float>& averages)
{
    std::vector<float> times;
    for (float average : averages) {
        times.insert(times.end(), gputune::trials, average);
    }
    return times;
}

std::vector<std::string> search_lines(const gputune::search_plan& plan, const char* header,
                                      const std::vector<float>& averages)
{
    host_layer::reset();
    host_layer::script_elapsed_times(trial_times(averages));
    const auto run = run_captured("gputune", [&] {
        gputune::print_search_result(header, gputune::search_launch(with_no_op_kernel(plan)));
    });
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, 1), "\n");
    return lines_of(run.out);
}

std::vector<std::string> expected_lines(const char* header, const char* size, const char* block,
                                        const char* time)
{
    return {"", header + 1, std::string("Оптимальный размер данных: ") + size + " элементов",
            std::string("Оптимальный размер блока: ") + block + " потоков",
            std::string("Минимальное время выполнения: ") + time + " ms"};
}

TEST_F(Gputune, SearchesPickTheStrictMinimumAndKeepTheFirstOfEqualTimes)
{
    const char* add = "\n=== Оптимизация векторного сложения ===";
    const char* dot = "\n=== Оптимизация скалярного произведения ===";
    std::vector<float> twelve(12, 1.0f);
    twelve[8] = 0.5f;  // 6291456 elements, 128 threads
    EXPECT_EQ(search_lines(gputune::vector_add_plan, add, twelve),
              expected_lines(add, "6291456", "128", "0.5"));
    twelve[3] = 0.5f;  // 1048576 elements, 256 threads: equal, and visited first
    EXPECT_EQ(search_lines(gputune::vector_add_plan, add, twelve),
              expected_lines(add, "1048576", "256", "0.5"));

    std::vector<float> eight(8, 2.0f);
    eight[7] = 1.25f;  // 6291456 elements, 256 threads
    EXPECT_EQ(search_lines(gputune::dot_product_plan, dot, eight),
              expected_lines(dot, "6291456", "256", "1.25"));
}

TEST_F(Gputune, ANaNAverageNeverWinsAndNothingAtOrAboveTheInitialTimeDoes)
{
    const char* add = "\n=== Оптимизация векторного сложения ===";
    const char* dot = "\n=== Оптимизация скалярного произведения ===";
    std::vector<float> twelve(12, 3.0f);
    twelve[0] = std::numeric_limits<float>::quiet_NaN();
    twelve[1] = 2.0f;
    EXPECT_EQ(search_lines(gputune::vector_add_plan, add, twelve), expected_lines(add, "1048576", "64", "2"));

    EXPECT_EQ(search_lines(gputune::vector_add_plan, add, std::vector<float>(12, 1.0e9f)),
              expected_lines(add, "1048576", "32", "1e+09"));
    EXPECT_EQ(search_lines(gputune::dot_product_plan, dot, std::vector<float>(8, 2.0e9f)),
              expected_lines(dot, "1048576", "32", "1e+09"));
    EXPECT_EQ(search_lines(gputune::dot_product_plan, dot,
                           std::vector<float>(8, std::numeric_limits<float>::quiet_NaN())),
              expected_lines(dot, "1048576", "32", "1e+09"));
}

// The grid sizes of every timed launch, in order, for ten trials of each configuration.
std::vector<unsigned int> expected_grids(int max_block)
{
    std::vector<unsigned int> grids;
    for (int n : {1048576, 6291456}) {
        for (int block = 32; block <= max_block; block *= 2) {
            grids.insert(grids.end(), gputune::trials, static_cast<unsigned int>(n / block));
        }
    }
    return grids;
}

TEST_F(Gputune, VectorAddSearchTimesOneHundredTwentyLaunchesAlone)
{
    host_layer::set_tracing(true);
    host_layer::script_elapsed_times(std::vector<float>(120, 1.0f));
    const auto best = gputune::search_launch(with_no_op_kernel(gputune::vector_add_plan));
    EXPECT_EQ(best.block_size, 32);  // all equal: the first stays
    EXPECT_EQ(best.data_size, 1048576);
    std::vector<unsigned int> grids;
    for (const auto& launch : calls_of("cudaLaunchKernel")) {
        grids.push_back(launch.grid.x);
        EXPECT_EQ(launch.target, reinterpret_cast<const void*>(no_op_kernel));
    }
    EXPECT_EQ(grids, expected_grids(1024));
    const auto intervals = testing_support::timed_intervals();
    ASSERT_EQ(intervals.size(), 120u);
    for (const auto& interval : intervals) {
        EXPECT_EQ(interval, (std::vector<std::string>{"cudaLaunchKernel"}));
    }
    EXPECT_EQ(calls_of("cudaMemcpy").size(), 240u);
    EXPECT_EQ(calls_of("cudaEventCreate").size(), 24u);
    EXPECT_EQ(calls_of("cudaHostAlloc").size(), 4u);
    EXPECT_EQ(leaked(), 0u);
}

TEST_F(Gputune, DotProductSearchZeroesTheResultBeforeEachOfItsEightyLaunches)
{
    host_layer::set_tracing(true);
    gputune::search_launch(with_no_op_kernel(gputune::dot_product_plan));
    std::vector<unsigned int> grids;
    const auto& trace = host_layer::trace();
    for (std::size_t k = 0; k < trace.size(); ++k) {
        if (trace[k].operation != "cudaLaunchKernel") {
            continue;
        }
        grids.push_back(trace[k].grid.x);
        // copy a, copy b, zero the 4-byte result, record start, launch
        ASSERT_GE(k, 4u);
        EXPECT_EQ(trace[k - 1].operation, "cudaEventRecord");
        EXPECT_EQ(trace[k - 2].operation, "cudaMemset");
        EXPECT_EQ(trace[k - 2].bytes, 4u);
        EXPECT_EQ(trace[k - 3].operation, "cudaMemcpy");
        EXPECT_EQ(trace[k - 4].operation, "cudaMemcpy");
    }
    EXPECT_EQ(grids, expected_grids(256));
    // The kernel is loaded before the first trial.
    EXPECT_EQ(trace[0].operation, "cudaFuncGetAttributes");
    EXPECT_EQ(trace[0].target, reinterpret_cast<const void*>(no_op_kernel));
}

// Runs the dot-product kernel on a[i] = i % 5, b[i] = 3 and returns *c.
float kernel_dot(int n, int grid, int block)
{
    return testing_support::launch_patterned_dot(gputune::dot_product_kernel, n, grid, block, 5, 3.0f);
}

float exact(int n) { return testing_support::patterned_dot(n, 5, 3.0f); }

TEST_F(Gputune, DotProductKernelIsExactForEveryBlockSizeInBothThreadOrders)
{
    for (auto order : {host_layer::thread_order::ascending, host_layer::thread_order::descending}) {
        host_layer::set_thread_order(order);
        for (int block = 32; block <= 256; block *= 2) {
            for (int n : {1, 100, block, block + 1, 4 * block + 7}) {
                SCOPED_TRACE("block " + std::to_string(block) + ", n " + std::to_string(n));
                EXPECT_EQ(kernel_dot(n, (n + block - 1) / block, block), exact(n));
                // A grid smaller than the data: the grid-stride loop covers the rest.
                EXPECT_EQ(kernel_dot(n, 1, block), exact(n));
            }
        }
    }
    EXPECT_EQ(kernel_dot(0, 1, 64), 0.0f);
}

TEST_F(Gputune, AFailedCallIsReportedAndEndsTheRun)
{
    host_layer::fail_call("cudaLaunchKernel", 3, cudaErrorInvalidConfiguration);
    const auto run = run_captured("gputune", gputune::run);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "gputune: launch of vector_add_kernel: invalid configuration argument\n");
    // The copy reports stand; nothing of either search was printed.
    EXPECT_EQ(lines_of(run.out).size(), 7u);
    EXPECT_EQ(leaked(), 0u);

    for (const char* operation : {"cudaHostAlloc", "cudaEventElapsedTime", "cudaFree"}) {
        host_layer::reset();
        host_layer::set_tracing(true);
        host_layer::fail_call(operation, 1, cudaErrorMemoryAllocation);
        const auto failed = run_captured("gputune", gputune::run);
        EXPECT_EQ(failed.status, 1) << operation;
        std::string expected = operation;
        if (expected == "cudaHostAlloc") {
            expected = "cudaMallocHost";
        } else if (expected == "cudaEventElapsedTime") {  // the first is the first timed copy's
            expected = "host-to-device copy (pageable): cudaEventElapsedTime";
        }
        EXPECT_EQ(failed.err, "gputune: " + expected + ": out of memory\n");
        // Only the buffer whose release failed is left; the test frees it.
        const std::size_t left = std::string(operation) == "cudaFree" ? 1u : 0u;
        EXPECT_EQ(device_allocations(), left) << operation;
        EXPECT_EQ(testing_support::release_what_failed_releases_left(), left) << operation;
        EXPECT_EQ(leaked(), 0u) << operation;
    }

    // The fifth wait on a stop event is the first of the vector-add search, after the four of
    // the copies: its line names the kernel being timed.
    host_layer::reset();
    host_layer::fail_call("cudaEventSynchronize", 5, cudaErrorIllegalAddress);
    const auto faulted = run_captured("gputune", gputune::run);
    EXPECT_EQ(faulted.err,
              "gputune: vector_add_kernel: cudaEventSynchronize: an illegal memory access was encountered\n");
    EXPECT_EQ(leaked(), 0u);
}

}  // namespace
