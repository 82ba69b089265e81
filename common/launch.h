// Kernel launch that both backends compile (g++ cannot parse the triple-chevron syntax).
#pragma once

#include <tuple>
#include <utility>

#include "check.h"
#include "gpu_runtime.h"

#if defined(GPU_BACKEND_HOST)
#include "host/launch.h"
#endif

namespace gpu {

// Launches `kernel` with exactly `grid` and `block`, no dynamic shared memory, on the default
// stream, and returns the launch status. The arguments are converted to the kernel's own
// parameter types first, as a call would convert them.
template <class... Params, class... Args>
cudaError_t launch(void (*kernel)(Params...), dim3 grid, dim3 block, Args&&... args)
{
    static_assert(sizeof...(Params) == sizeof...(Args), "one argument per kernel parameter");
    std::tuple<Params...> values(std::forward<Args>(args)...);
#if defined(GPU_BACKEND_HOST)
    // By value, so that the thread loop can keep the kernel and its arguments in registers.
    auto body = [kernel, values] { std::apply(kernel, values); };
    return host_layer::launch(reinterpret_cast<const void*>(kernel), grid, block, body);
#else
    return std::apply(
        [&](auto&... value) {
            void* pointers[] = {static_cast<void*>(&value)..., nullptr};
            return cudaLaunchKernel(reinterpret_cast<const void*>(kernel), grid, block, pointers, 0, nullptr);
        },
        values);
#endif
}

// Launches `kernel` as launch() does and throws gpu::runtime_failure if it is refused.
template <class... Params, class... Args>
void launch_checked(const char* name, void (*kernel)(Params...), dim3 grid, dim3 block, Args&&... args)
{
    check(launch(kernel, grid, block, std::forward<Args>(args)...), std::string("launch of ") + name, name);
}

// Makes sure the kernel's module is loaded, so that loading (and any JIT compilation) happens
// now and not inside a timed interval. The runtime loads modules lazily, at first use; querying
// the kernel's attributes is such a use.
template <class... Params> void load_kernel(void (*kernel)(Params...))
{
    cudaFuncAttributes attributes{};
    GPU_CHECK(cudaFuncGetAttributes(&attributes, reinterpret_cast<const void*>(kernel)));
}

}  // namespace gpu
