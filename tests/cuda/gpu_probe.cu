// The probe on which the GPU tests try their tools before trusting them (tests/cuda/gpu_check.sh):
//   gpu_probe                  probe_kernel writes each of 256 floats of a device buffer once;
//                              the values copied back are checked
//   gpu_probe --out-of-bounds  the same with one thread more, whose write lands just past the
//                              buffer: compute-sanitizer's memcheck must report it (without the
//                              tool nothing notices, as the allocation is rounded up)
//   gpu_probe --identity       each GPU the runtime sees (name, compute capability), and the
//                              CUDA versions of the driver and of this runtime
// A runtime call that fails: one line on stderr naming it and the runtime's reason, exit 1.
#include <cstdio>
#include <cstring>
#include <vector>

#include <cuda_runtime.h>

namespace gpu_probe {

constexpr int buffer_floats = 256;

__global__ void probe_kernel(float* data, int count)
{
    const int i = static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x);
    if (i < count) {
        data[i] = static_cast<float>(i);
    }
}

bool succeeded(cudaError_t status, const char* call)
{
    if (status != cudaSuccess) {
        std::fprintf(stderr, "gpu_probe: %s: %s\n", call, cudaGetErrorString(status));
    }
    return status == cudaSuccess;
}

const char* version(int encoded, char (&text)[16])
{
    std::snprintf(text, sizeof text, "%d.%d", encoded / 1000, encoded % 1000 / 10);
    return text;
}

int identity()
{
    int driver = 0;
    int runtime = 0;
    int devices = 0;
    if (!succeeded(cudaDriverGetVersion(&driver), "cudaDriverGetVersion") ||
        !succeeded(cudaRuntimeGetVersion(&runtime), "cudaRuntimeGetVersion") ||
        !succeeded(cudaGetDeviceCount(&devices), "cudaGetDeviceCount")) {
        return 1;
    }
    for (int device = 0; device < devices; ++device) {
        cudaDeviceProp properties{};
        if (!succeeded(cudaGetDeviceProperties(&properties, device), "cudaGetDeviceProperties")) {
            return 1;
        }
        std::printf("device %d: %s, compute capability %d.%d, %d multiprocessors, %.1f GiB\n", device,
                    properties.name, properties.major, properties.minor, properties.multiProcessorCount,
                    static_cast<double>(properties.totalGlobalMem) / (1u << 30));
    }
    char driver_text[16];
    char runtime_text[16];
    std::printf("CUDA driver %s, runtime %s\n", version(driver, driver_text), version(runtime, runtime_text));
    return 0;
}

int probe(bool out_of_bounds)
{
    float* data = nullptr;
    if (!succeeded(cudaMalloc(&data, buffer_floats * sizeof(float)), "cudaMalloc")) {
        return 1;
    }
    const int count = buffer_floats + (out_of_bounds ? 1 : 0);
    probe_kernel<<<(count + 127) / 128, 128>>>(data, count);
    std::vector<float> values(buffer_floats);
    const bool ran = succeeded(cudaGetLastError(), "probe_kernel") &&
                     succeeded(cudaMemcpy(values.data(), data, buffer_floats * sizeof(float),
                                          cudaMemcpyDeviceToHost),
                               "cudaMemcpy");
    const bool freed = succeeded(cudaFree(data), "cudaFree");
    if (!ran || !freed) {
        return 1;
    }
    for (int i = 0; i < buffer_floats; ++i) {
        if (values[i] != static_cast<float>(i)) {
            std::fprintf(stderr, "gpu_probe: element %d is %g, not %d\n", i, static_cast<double>(values[i]), i);
            return 1;
        }
    }
    std::printf("gpu_probe: %d floats written%s\n", count, out_of_bounds ? ", the last past the buffer" : "");
    return 0;
}

}  // namespace gpu_probe

int main(int argc, char** argv)
{
    const char* mode = argc > 1 ? argv[1] : "";
    if (argc <= 2 && std::strcmp(mode, "--identity") == 0) {
        return gpu_probe::identity();
    }
    if (argc == 1 || (argc == 2 && std::strcmp(mode, "--out-of-bounds") == 0)) {
        return gpu_probe::probe(argc == 2);
    }
    std::fprintf(stderr, "usage: gpu_probe [--out-of-bounds | --identity]\n");
    return 2;
}
