// A stand-in for the CUDA driver library (libcuda.so.1) with the entry points a device query
// uses. STAND_IN_GPU_CAPABILITY ("90" for compute capability 9.0) gives it one GPU; unset or
// empty, it has none and cuInit fails as the real driver does on a machine without a GPU.
// STAND_IN_DRIVER_VERSION ("12040" for CUDA 12.4) is the CUDA version it supports, 13000 unless
// set. STAND_IN_CUINIT_STATUS ("803") makes cuInit fail with that status, as a broken driver's
// does (CUDA_ERROR_SYSTEM_DRIVER_MISMATCH after an update without a restart).
#include <cstdlib>
#include <cstring>

namespace {

constexpr int no_device = 100;        // CUDA_ERROR_NO_DEVICE
constexpr int driver_mismatch = 803;  // CUDA_ERROR_SYSTEM_DRIVER_MISMATCH
constexpr int capability_major = 75, capability_minor = 76;

const char* capability()
{
    const char* value = std::getenv("STAND_IN_GPU_CAPABILITY");
    return value != nullptr && std::strlen(value) >= 2 ? value : nullptr;
}

}  // namespace

extern "C" {
int cuDriverGetVersion(int* version)
{
    const char* value = std::getenv("STAND_IN_DRIVER_VERSION");
    *version = value != nullptr && *value != '\0' ? std::atoi(value) : 13000;
    return 0;
}
int cuInit(unsigned int)
{
    const char* status = std::getenv("STAND_IN_CUINIT_STATUS");
    if (status != nullptr && *status != '\0') {
        return std::atoi(status);
    }
    return capability() != nullptr ? 0 : no_device;
}
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
    const int number = std::atoi(cc);  // "120" is 12.0
    *value = attribute == capability_major ? number / 10 : attribute == capability_minor ? number % 10 : 0;
    return 0;
}
int cuDeviceGetName(char* name, int length, int)
{
    if (capability() == nullptr) {
        return no_device;
    }
    std::strncpy(name, "Stand-in GPU", static_cast<std::size_t>(length));
    name[length - 1] = '\0';
    return 0;
}
int cuGetErrorName(int status, const char** name)
{
    *name = status == driver_mismatch ? "CUDA_ERROR_SYSTEM_DRIVER_MISMATCH" : "CUDA_ERROR_NO_DEVICE";
    return 0;
}
}
