// Guarded device memory on the host execution layer: kernels that run past their buffers, host
// code that dereferences device pointers, and copies that take their direction from the
// pointers.
#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <cstdint>
#include <vector>

#include "common/host/control.h"
#include "common/launch.h"
#include "common/resources.h"
#include "support.h"

namespace {

// The classic off-by-one, `<=` where `<` belongs: thread `last` is one past a buffer of `last`.
__global__ void fill_through(float* out, int last)
{
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i <= last) {
        out[i] = 2.0f;
    }
}

__global__ void copy_through(const float* in, float* out, int last)
{
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i <= last) {
        out[i] = in[i];
    }
}

__global__ void store_at(float* out, int index) { out[index] = 2.0f; }

dim3 grid_for(int threads) { return dim3(static_cast<unsigned int>((threads + 255) / 256)); }

// How touching memory the process may not touch ends it: killed by SIGSEGV, or, in a build with
// AddressSanitizer, which handles that signal itself, its report and exit status 1.
#if defined(__SANITIZE_ADDRESS__)
const testing::ExitedWithCode faults(1);
constexpr const char* fault_report = "SEGV";
#else
const testing::KilledBySignal faults(SIGSEGV);
constexpr const char* fault_report = "";
#endif

// The kernels of these tests run on worker threads: the child of a death test must start afresh.
class LayerGuardDeathTest : public testing_support::layer_test {
  protected:
    void SetUp() override
    {
        // Assigned as a variable: GoogleTest 1.10 and 1.11 have no GTEST_FLAG_SET.
        testing::FLAGS_gtest_death_test_style = "threadsafe";
        layer_test::SetUp();
    }
};
class LayerGuard : public LayerGuardDeathTest {};

// A kernel's access to the bytes between a buffer's end and the next 256-byte boundary: the
// plain build catches a write when the launch ends; under AddressSanitizer those bytes are
// poisoned, so that any access, a read too, ends the process with its report.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool slack_poisoned = true;
#define EXPECT_SLACK_WRITE_CAUGHT(launch) EXPECT_EXIT(launch, testing::ExitedWithCode(1), "use-after-poison")
#else
constexpr bool slack_poisoned = false;
#define EXPECT_SLACK_WRITE_CAUGHT(launch) EXPECT_EQ(launch, cudaErrorIllegalAddress)
#endif

// Buffers whose size is no multiple of 256 bytes end before the alignment boundary; the bytes up
// to it are where an overrun lands first.
TEST_F(LayerGuard, AWriteJustPastABufferFailsTheLaunchWithAnIllegalAddress)
{
    host_layer::set_tracing(true);
    host_layer::set_workers(2);
    for (int n : {3, 1000, (6 << 20) / 4 + 1}) {  // 12 bytes, 4000 bytes, 6 MiB and 4 bytes
        SCOPED_TRACE("n = " + std::to_string(n));
        gpu::device_array<float> out(n);
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(out.get()) % 256, 0u);
        EXPECT_SLACK_WRITE_CAUGHT(gpu::launch(fill_through, grid_for(n + 1), dim3(256), out.get(), n));
        if (!slack_poisoned) {
            EXPECT_EQ(host_layer::trace().back().status, cudaErrorIllegalAddress);
            // The kernel did its work within the buffer.
            float last = 0.0f;
            ASSERT_EQ(cudaMemcpy(&last, out.get() + n - 1, sizeof last, cudaMemcpyDeviceToHost), cudaSuccess);
            EXPECT_EQ(last, 2.0f);
        }
        // The layer is fit for the next launch.
        EXPECT_EQ(gpu::launch(fill_through, grid_for(n), dim3(256), out.get(), n - 1), cudaSuccess);
    }
    // Before the start of a buffer that does not fill its first page.
    gpu::device_array<float> small(3);
    EXPECT_SLACK_WRITE_CAUGHT(gpu::launch(store_at, dim3(1), dim3(1), small.get(), -1));
    EXPECT_STREQ(cudaGetErrorString(cudaErrorIllegalAddress), "an illegal memory access was encountered");
}

// What the plain build cannot catch: a read just past the end but short of the 256-byte
// boundary. It yields NaN rather than a plausible number, and the launch succeeds as on a GPU
// without its memory checker. Under AddressSanitizer it is reported.
TEST_F(LayerGuard, AReadJustPastABufferYieldsNaNOrIsReportedUnderAddressSanitizer)
{
    const int n = 1000;
    gpu::device_array<float> in(n);
    gpu::device_array<float> out(n + 1);
    ASSERT_EQ(cudaMemset(in.get(), 0, n * sizeof(float)), cudaSuccess);
    if (slack_poisoned) {
        EXPECT_EXIT(gpu::launch(copy_through, grid_for(n + 1), dim3(256), in.get(), out.get(), n),
                    testing::ExitedWithCode(1), "use-after-poison");
        return;
    }
    ASSERT_EQ(gpu::launch(copy_through, grid_for(n + 1), dim3(256), in.get(), out.get(), n), cudaSuccess);
    float last_two[2] = {};
    ASSERT_EQ(cudaMemcpy(last_two, out.get() + n - 1, sizeof last_two, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(last_two[0], 0.0f);
    EXPECT_TRUE(std::isnan(last_two[1]));
}

// Buffers of a multiple of 256 bytes end where the guard pages begin.
TEST_F(LayerGuardDeathTest, AnAccessPastTheAlignmentBoundaryStopsTheProcess)
{
    host_layer::set_workers(2);
    for (int n : {64, 1024, 1 << 20}) {  // 256 bytes, one page, and 4 MiB: two whole huge pages
        SCOPED_TRACE("n = " + std::to_string(n));
        gpu::device_array<float> buffer(n);
        gpu::device_array<float> larger(n + 1);
        EXPECT_EXIT(gpu::launch(fill_through, grid_for(n + 1), dim3(256), buffer.get(), n), faults,
                    fault_report);
        EXPECT_EXIT(gpu::launch(copy_through, grid_for(n + 1), dim3(256), buffer.get(), larger.get(), n),
                    faults, fault_report);
    }
    gpu::device_array<float> page(1024);
    EXPECT_EXIT(gpu::launch(store_at, dim3(1), dim3(1), page.get(), -1), faults, fault_report);
}

// As on a GPU machine, host code must copy results out; the layer's own copies and launches
// open device memory only while they run.
TEST_F(LayerGuardDeathTest, HostCodeThatDereferencesDeviceMemoryStopsTheProcess)
{
    const int n = 1000;
    gpu::device_array<float> device(n);
    const std::vector<float> host(n, 1.0f);
    ASSERT_EQ(cudaMemcpy(device.get(), host.data(), n * sizeof(float), cudaMemcpyHostToDevice), cudaSuccess);
    ASSERT_EQ(gpu::launch(fill_through, grid_for(n), dim3(256), device.get(), n - 1), cudaSuccess);
    volatile float* unreachable = device.get();
    EXPECT_EXIT(static_cast<void>(unreachable[0]), faults, fault_report);
    EXPECT_EXIT(unreachable[n - 1] = 0.0f, faults, fault_report);
    float back = 0.0f;
    ASSERT_EQ(cudaMemcpy(&back, device.get(), sizeof back, cudaMemcpyDeviceToHost), cudaSuccess);
    EXPECT_EQ(back, 2.0f);
}

TEST_F(LayerGuard, DefaultCopiesTakeTheirDirectionFromThePointers)
{
    const std::vector<float> values{1.0f, 2.0f, 3.0f, 4.0f};
    const std::size_t bytes = values.size() * sizeof(float);
    gpu::device_array<float> first(values.size());
    gpu::device_array<float> second(values.size());
    gpu::page_locked_array<float> pinned(values.size());
    std::vector<float> back(values.size(), 0.0f);
    std::vector<float> copy(values.size(), 0.0f);
    EXPECT_EQ(cudaMemcpy(first.get(), values.data(), bytes, cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(second.get(), first.get(), bytes, cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(pinned.get(), second.get(), bytes, cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(back.data(), pinned.get(), bytes, cudaMemcpyDefault), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(copy.data(), back.data(), bytes, cudaMemcpyHostToHost), cudaSuccess);
    EXPECT_EQ(copy, values);

    // Past the end, a device pointer named as host memory, and the bytes just past a buffer
    // (host memory to no allocation) still fail and touch nothing.
    std::vector<float> untouched(values.size(), -1.0f);
    float* device = first.get();
    EXPECT_EQ(cudaMemcpy(untouched.data(), device + 1, bytes, cudaMemcpyDefault), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(device + 1, values.data(), bytes, cudaMemcpyDefault), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(untouched.data(), device, bytes, cudaMemcpyHostToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(device, values.data(), bytes, cudaMemcpyHostToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(untouched.data(), device + 4, 4, cudaMemcpyHostToHost), cudaErrorInvalidValue);
    EXPECT_EQ(cudaMemcpy(device + 4, values.data(), 4, cudaMemcpyDefault), cudaErrorInvalidValue);
    EXPECT_EQ(untouched, std::vector<float>(values.size(), -1.0f));
}

}  // namespace
