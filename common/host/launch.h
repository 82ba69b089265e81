// Kernel launch on the host execution layer. The blocks of a grid are shared out among worker
// threads, one per core; within a block the threads run as a plain loop until one of them
// meets a barrier, and each on a stack of its own from then on, so that __syncthreads is a real
// barrier (see executor.cpp).
#pragma once

#include <type_traits>

#include "control.h"
#include "runtime.h"

namespace host_layer::detail {

// A non-owning reference to a callable, usable without knowing its type.
template <class... Args> struct callable_ref {
    void* object;
    void (*call)(void*, Args...);
    void operator()(Args... args) const { call(object, args...); }

    template <class F> static callable_ref to(F& f)
    {
        return {&f, [](void* o, Args... args) { (*static_cast<F*>(o))(args...); }};
    }
};

using body_ref = callable_ref<>;
// Runs the blocks [first, last) of the grid, in linear order, on the calling OS thread.
using blocks_ref = callable_ref<unsigned long long, unsigned long long>;

// Thrown by a barrier that the first thread of the block never reached.
struct barrier_divergence {};

// Validates the configuration, counts and traces the launch; on success sets gridDim and blockDim.
cudaError_t begin_launch(dim3 grid, dim3 block, const void* kernel);
// Shares the grid's blocks out among the workers, waits for them and returns the launch status.
cudaError_t run_blocks(blocks_ref blocks);
// Sets blockIdx and poisons this worker's block-shared arrays.
void begin_block(unsigned int x, unsigned int y, unsigned int z);
// Runs the block's first thread. Returns true when that thread met a barrier, in which case the
// whole block has run on thread contexts; false when the other threads are left to a plain loop.
bool run_first_thread(body_ref body);
// Whether another worker has failed the launch.
bool launch_failed();

inline void set_thread(unsigned int x, unsigned int y, unsigned int z)
{
    threadIdx.x = x;
    threadIdx.y = y;
    threadIdx.z = z;
}

}  // namespace host_layer::detail

namespace host_layer {

// Runs `body` once for every thread of the grid, with the built-in coordinates set. The kernel
// has finished when the call returns, which keeps every later runtime call in stream order.
// Threads that run as a plain loop call a copy of `body`, so it must be copyable and every copy
// must do the same: a kernel and its arguments, not a callable that counts its calls.
template <class Body> cudaError_t launch(const void* kernel, dim3 grid, dim3 block, Body& body)
{
    static_assert(std::is_copy_constructible_v<Body>, "plain-loop threads call a copy of the body");
    if (const cudaError_t status = detail::begin_launch(grid, block, kernel); status != cudaSuccess) {
        return status;
    }
    const auto ref = detail::body_ref::to(body);
    const bool descending = current_thread_order() == thread_order::descending;
    auto blocks = [&](unsigned long long first_block, unsigned long long last_block) {
        // Copies whose addresses never leave this frame: the compiler may keep what they hold in
        // registers across the kernel calls instead of reloading it for every thread.
        const dim3 extent = block;
        Body thread_body = body;
        for (unsigned long long linear = first_block; linear < last_block && !detail::launch_failed();
             ++linear) {
            detail::begin_block(static_cast<unsigned int>(linear % grid.x),
                                static_cast<unsigned int>(linear / grid.x % grid.y),
                                static_cast<unsigned int>(linear / grid.x / grid.y));
            if (detail::run_first_thread(ref)) {
                continue;
            }
            // The first thread met no barrier: the others run straight through. A barrier met
            // here is one the first thread never reached.
            // In descending order each coordinate counts down from its last value.
            const auto ordered = [descending](unsigned int k, unsigned int count) {
                return descending ? count - 1 - k : k;
            };
            bool first = true;
            for (unsigned int z = 0; z < extent.z; ++z) {
                for (unsigned int y = 0; y < extent.y; ++y) {
                    for (unsigned int x = 0; x < extent.x; ++x) {
                        if (first) {
                            first = false;
                            continue;
                        }
                        detail::set_thread(ordered(x, extent.x), ordered(y, extent.y), ordered(z, extent.z));
                        thread_body();
                    }
                }
            }
        }
    };
    return detail::run_blocks(detail::blocks_ref::to(blocks));
}

}  // namespace host_layer
