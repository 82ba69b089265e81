// A stand-in for the CUDA driver library (libcuda.so.1) with the entry points a device query
// uses. STAND_IN_GPU_CAPABILITY ("90" for compute capability 9.0) gives it one GPU; unset or
// empty, it has none and cuInit fails as the real driver does on a machine without a GPU.
#include <cstdlib>
#include <cstring>

namespace {

constexpr int no_device = 100;  // CUDA_ERROR_NO_DEVICE
constexpr int capability_major = 75, capability_minor = 76;

const char* capability()
{
    const char* value = std::getenv("STAND_IN_GPU_CAPABILITY");
    return value != nullptr && std::strlen(value) >= 2 ? value : nullptr;
}

}  // namespace

extern "C" {
int cuInit(unsigned int) { return capability() != nullptr ? 0 : no_device; }
int cuDeviceGetCount(int* count)
{
    *count = capability() != nullptr ? 1 : 0;
    return 0;
}
int cuDeviceGet(int* device, int ordinal)
{
    *device = ordinal;
    return capability() != nullptr && ordinal == 0 ? 0 : no_device;
}
int cuDeviceGetAttribute(int* value, int attribute, int)
{
    const char* cc = capability();
    if (cc == nullptr) {
        return no_device;
    }
    *value = attribute == capability_major ? cc[0] - '0' : attribute == capability_minor ? cc[1] - '0' : 0;
    return 0;
}
int cuGetErrorName(int, const char** name)
{
    *name = "CUDA_ERROR_NO_DEVICE";
    return 0;
}
}
