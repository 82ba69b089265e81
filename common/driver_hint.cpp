// Tells the driver of a machine with switchable graphics to run this program on the NVIDIA GPU.
// The build exports the value (on Linux into the executable's dynamic symbol table), so that a
// driver can find it in the executable as it runs. That the Linux driver reads it there has not
// been shown; on Windows, where the hint matters most, the runtime's own definition is exported.
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
