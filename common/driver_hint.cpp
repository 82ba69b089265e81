// Tells the driver of a machine with switchable graphics to run this program on the NVIDIA GPU.
// The driver looks the value up in the executable's dynamic symbol table; the build exports it.
// Linked everywhere but Windows: there the static CUDA runtime (cudart_static.lib) defines the
// same symbol with the value 1 and exports it itself, so a definition here would be a duplicate.
#include <cstdint>

#if defined(_WIN32)
#define GPU_EXPORT __declspec(dllexport)
#else
#define GPU_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
GPU_EXPORT std::int32_t NvOptimusEnablementCuda = 1;
}
