// vecmat on the host execution layer: its kernels, its library paths, what each timed interval
// holds, and how a failure is reported.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "common/host/control.h"
#include "common/launch.h"
#include "common/resources.h"
#include "support.h"
#include "vecmat/dot_product.h"
#include "vecmat/report.h"
#include "vecmat/thrust_paths.h"
#include "vecmat/transpose.h"
#include "vecmat/vecmat.h"

namespace {

using testing_support::calls_of;
using testing_support::lines_of;
using testing_support::run_captured;

using Vecmat = testing_support::layer_test;

// Runs dot_product_kernel over n elements of a[i] = i % 7 and b[i] = 2.
float kernel_dot(int n, int grid)
{
    return testing_support::launch_patterned_dot(vecmat::dot_product_kernel, n, grid, 256, 7, 2.0f);
}

float exact_dot(int n) { return testing_support::patterned_dot(n, 7, 2.0f); }

TEST_F(Vecmat, DotProductKernelCoversSizesThatAreNoMultipleOfTheBlock)
{
    for (int n : {1, 255, 256, 257, 1000, 4097}) {
        EXPECT_EQ(kernel_dot(n, (n + 255) / 256), exact_dot(n)) << "n = " << n;
    }
    // Extra threads beyond n add nothing.
    EXPECT_EQ(kernel_dot(300, 4), exact_dot(300));
}

TEST_F(Vecmat, DotProductKernelAddsNothingForNonPositiveSizes)
{
    EXPECT_EQ(kernel_dot(0, 1), 0.0f);
    EXPECT_EQ(kernel_dot(-5, 1), 0.0f);
}

std::vector<float> kernel_transpose(const std::vector<float>& in, int rows, int cols)
{
    gpu::device_array<float> device_in(in.size());
    gpu::device_array<float> device_out(in.size());
    EXPECT_EQ(cudaMemcpy(device_in.get(), in.data(), in.size() * sizeof(float), cudaMemcpyHostToDevice),
              cudaSuccess);
    const dim3 block(16, 16);
    const dim3 grid((rows + 15) / 16, (cols + 15) / 16);
    EXPECT_EQ(
        gpu::launch(vecmat::transpose_kernel, grid, block, device_in.get(), device_out.get(), rows, cols),
        cudaSuccess);
    std::vector<float> out(in.size());
    EXPECT_EQ(cudaMemcpy(out.data(), device_out.get(), out.size() * sizeof(float), cudaMemcpyDeviceToHost),
              cudaSuccess);
    return out;
}

std::vector<float> numbered(int rows, int cols)
{
    std::vector<float> m(static_cast<std::size_t>(rows) * cols);
    for (std::size_t i = 0; i < m.size(); ++i) {
        m[i] = static_cast<float>(i);
    }
    return m;
}

TEST_F(Vecmat, BothTransposesMoveRowIColumnJToRowJColumnI)
{
    EXPECT_EQ(kernel_transpose({0, 1, 2, 3, 4, 5}, 2, 3), (std::vector<float>{0, 3, 1, 4, 2, 5}));
    std::vector<float> out(6, -1.0f);
    vecmat::transpose_thrust({0, 1, 2, 3, 4, 5}, out, 2, 3);
    EXPECT_EQ(out, (std::vector<float>{0, 3, 1, 4, 2, 5}));

    // Shapes that are not multiples of the block, both ways round. Every output element is
    // written although the device output starts poisoned.
    for (auto [rows, cols] : {std::pair{17, 33}, std::pair{33, 17}, std::pair{1, 40}}) {
        const std::vector<float> in = numbered(rows, cols);
        const std::vector<float> by_kernel = kernel_transpose(in, rows, cols);
        std::vector<float> by_library(in.size(), -1.0f);
        vecmat::transpose_thrust(in, by_library, rows, cols);
        for (int i = 0; i < rows; ++i) {
            for (int j = 0; j < cols; ++j) {
                ASSERT_EQ(by_kernel[j * rows + i], in[i * cols + j]) << rows << "x" << cols;
                ASSERT_EQ(by_library[j * rows + i], in[i * cols + j]) << rows << "x" << cols;
            }
        }
    }
}

TEST_F(Vecmat, LibraryDotProductSumsEveryPairAndStartsFromZero)
{
    EXPECT_EQ(vecmat::dot_product_thrust({1, 2, 3}, {4, 5, 6}, 3), 32.0f);
    EXPECT_EQ(vecmat::dot_product_thrust({}, {}, 0), 0.0f);
}

// The whole run, with the event times scripted.
TEST_F(Vecmat, PrintsEightLinesWithTheExactLabelsAndValues)
{
    host_layer::script_elapsed_times({0.25f, 1.25e-05f});
    const auto run = run_captured("vecmat", vecmat::run);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto lines = lines_of(run.out);
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "Время выполнения скалярного произведения (CUDA): 0.25 мс");
    EXPECT_EQ(lines[1], "Скалярное произведение (CUDA): 2.09715e+06");
    EXPECT_TRUE(std::regex_match(
        lines[2], std::regex("Время выполнения скалярного произведения \\(Thrust\\): [0-9]+ мс")))
        << lines[2];
    EXPECT_EQ(lines[3], "Скалярное произведение (Thrust): 2.09715e+06");
    EXPECT_EQ(lines[4], "Время выполнения транспонирования (CUDA): 1.25e-05 мс");
    EXPECT_EQ(lines[5], "Транспонированная матрица (CUDA): первый элемент: 1");
    EXPECT_TRUE(
        std::regex_match(lines[6], std::regex("Время выполнения транспонирования \\(Thrust\\): [0-9]+ мс")))
        << lines[6];
    EXPECT_EQ(lines[7], "Транспонированная матрица (Thrust): первый элемент: 1");
    EXPECT_EQ(run.out.back(), '\n');
}

TEST_F(Vecmat, EachTimedIntervalHoldsOneKernelAndEverythingIsReleased)
{
    host_layer::set_tracing(true);
    const auto run = run_captured("vecmat", vecmat::run);
    ASSERT_EQ(run.status, 0) << run.err;
    const auto intervals = testing_support::timed_intervals();
    ASSERT_EQ(intervals.size(), 2u);
    for (const auto& interval : intervals) {
        EXPECT_EQ(interval, (std::vector<std::string>{"cudaLaunchKernel"}));
    }
    const auto launches = calls_of("cudaLaunchKernel");
    ASSERT_EQ(launches.size(), 2u);
    EXPECT_EQ(launches[0].target, reinterpret_cast<const void*>(vecmat::dot_product_kernel));
    EXPECT_EQ(launches[0].grid.x, 4096u);
    EXPECT_EQ(launches[0].block.x, 256u);
    EXPECT_EQ(launches[1].target, reinterpret_cast<const void*>(vecmat::transpose_kernel));
    EXPECT_EQ(launches[1].grid.x, 64u);
    EXPECT_EQ(launches[1].grid.y, 64u);
    EXPECT_EQ(launches[1].block.x, 16u);
    EXPECT_EQ(launches[1].block.y, 16u);
    // Each kernel is loaded before its start event, so loading stays out of the interval.
    const auto& trace = host_layer::trace();
    for (std::size_t k = 0; k < trace.size(); ++k) {
        if (trace[k].operation == "cudaLaunchKernel") {
            ASSERT_GE(k, 2u);
            EXPECT_EQ(trace[k - 1].operation, "cudaEventRecord");
            EXPECT_EQ(trace[k - 2].operation, "cudaFuncGetAttributes");
            EXPECT_EQ(trace[k - 2].target, trace[k].target);
        }
    }
    // The result is zeroed before the dot-product kernel; frees come in allocation order.
    EXPECT_EQ(calls_of("cudaMemset").size(), 1u);
    EXPECT_EQ(calls_of("cudaMalloc").size(), 5u);
    EXPECT_EQ(calls_of("cudaFree").size(), 5u);
    const auto mallocs = calls_of("cudaMalloc");
    const auto frees = calls_of("cudaFree");
    for (std::size_t k = 0; k < mallocs.size() && k < frees.size(); ++k) {
        EXPECT_EQ(frees[k].target, mallocs[k].target);
    }
    EXPECT_EQ(leaked(), 0u);
}

// Every runtime call of a run, made to fail in turn: one line on standard error naming the
// operation, exit status 1, no report line after the failure, nothing left allocated.
TEST_F(Vecmat, EachRuntimeCallMadeToFailIsReportedAndEndsTheRun)
{
    host_layer::set_tracing(true);
    ASSERT_EQ(run_captured("vecmat", vecmat::run).status, 0);
    const std::vector<host_layer::traced_call> clean = host_layer::trace();

    const char* const labels[] = {
        vecmat::label::kernel_dot_time,       vecmat::label::kernel_dot_result,
        vecmat::label::thrust_dot_time,       vecmat::label::thrust_dot_result,
        vecmat::label::kernel_transpose_time, vecmat::label::kernel_transpose_first,
        vecmat::label::thrust_transpose_time, vecmat::label::thrust_transpose_first};
    std::map<std::string, int> seen;
    int launches = 0;
    int records = 0;
    for (const auto& call : clean) {
        const int nth = ++seen[call.operation];
        host_layer::reset();
        host_layer::set_tracing(true);
        const std::size_t device_before = host_layer::live_device_allocations();
        const std::size_t events_before = host_layer::live_events();
        host_layer::fail_call(call.operation, nth, cudaErrorMemoryAllocation);
        const auto run = run_captured("vecmat", vecmat::run);
        // A call of a timed interval is reported as one of the kernel it times.
        records += call.operation == "cudaEventRecord" ? 1 : 0;
        const std::string kernel = records <= 2 ? "dot_product_kernel" : "transpose_kernel";
        std::string operation = call.operation;
        if (operation == "cudaLaunchKernel") {
            operation = ++launches == 1 ? "launch of dot_product_kernel" : "launch of transpose_kernel";
        } else if (operation == "cudaEventRecord" || operation == "cudaEventSynchronize" ||
                   operation == "cudaEventElapsedTime") {
            operation = kernel + ": " + operation;
        }
        SCOPED_TRACE(call.operation + " #" + std::to_string(nth));
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "vecmat: " + operation + ": out of memory\n");
        const auto lines = lines_of(run.out);
        EXPECT_LT(lines.size(), 8u);
        // The printed lines are the first lines of a full report: none skipped or repeated.
        for (std::size_t k = 0; k < lines.size() && k < 8; ++k) {
            EXPECT_EQ(lines[k].rfind(labels[k], 0), 0u) << lines[k];
        }
        // Everything is released but what the failed release itself left; the test frees that.
        const bool failed_release = call.operation == "cudaFree" || call.operation == "cudaEventDestroy";
        EXPECT_EQ(host_layer::live_device_allocations() - device_before,
                  call.operation == "cudaFree" ? 1u : 0u);
        EXPECT_EQ(host_layer::live_events() - events_before, call.operation == "cudaEventDestroy" ? 1u : 0u);
        EXPECT_EQ(testing_support::release_what_failed_releases_left(), failed_release ? 1u : 0u);
        EXPECT_EQ(host_layer::live_device_allocations(), device_before);
        EXPECT_EQ(host_layer::live_events(), events_before);
    }
    EXPECT_GE(clean.size(), 30u);
}

}  // namespace
