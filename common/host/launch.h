// Kernel launch on the host execution layer. The blocks of a grid run one after another; the
// threads of a block run as a plain loop until one of them meets a barrier, and as fibers from
// then on, so that __syncthreads is a real barrier.
#pragma once

#include "control.h"
#include "runtime.h"

namespace host_layer::detail {

// A non-owning reference to a thread's body, callable without knowing its type.
struct body_ref {
    void* object;
    void (*call)(void*);
    void operator()() const { call(object); }
};

// Thrown by a barrier that the first thread of the block never reached.
struct barrier_divergence {};

// Validates the configuration, counts and traces the launch; on success sets gridDim and blockDim.
cudaError_t begin_launch(dim3 grid, dim3 block, const void* kernel);
// Sets blockIdx and poisons every block-shared array.
void begin_block(unsigned int x, unsigned int y, unsigned int z);
// Runs the block's first thread. Returns true when that thread met a barrier, in which case the
// whole block has run on fibers; false when the other threads are left to a plain loop.
bool run_first_thread(body_ref body);
// Releases the fibers of a launch.
void end_launch();
// Releases what a failed launch left behind and returns its failure status.
cudaError_t abandon_launch();

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
template <class Body>
cudaError_t launch(const void* kernel, dim3 grid, dim3 block, Body& body)
{
    if (const cudaError_t status = detail::begin_launch(grid, block, kernel); status != cudaSuccess) {
        return status;
    }
    const detail::body_ref ref{&body, [](void* object) { (*static_cast<Body*>(object))(); }};
    const bool descending = current_thread_order() == thread_order::descending;
    try {
        for (unsigned int bz = 0; bz < grid.z; ++bz) {
            for (unsigned int by = 0; by < grid.y; ++by) {
                for (unsigned int bx = 0; bx < grid.x; ++bx) {
                    detail::begin_block(bx, by, bz);
                    if (detail::run_first_thread(ref)) {
                        continue;
                    }
                    // The first thread met no barrier: the others run straight through. A barrier
                    // met here is one the first thread never reached.
                    bool first = true;
                    if (!descending) {
                        for (unsigned int z = 0; z < block.z; ++z) {
                            for (unsigned int y = 0; y < block.y; ++y) {
                                for (unsigned int x = 0; x < block.x; ++x) {
                                    if (first) {
                                        first = false;
                                        continue;
                                    }
                                    detail::set_thread(x, y, z);
                                    body();
                                }
                            }
                        }
                    } else {
                        for (unsigned int z = block.z; z-- > 0;) {
                            for (unsigned int y = block.y; y-- > 0;) {
                                for (unsigned int x = block.x; x-- > 0;) {
                                    if (first) {
                                        first = false;
                                        continue;
                                    }
                                    detail::set_thread(x, y, z);
                                    body();
                                }
                            }
                        }
                    }
                }
            }
        }
    } catch (const detail::barrier_divergence&) {
        return detail::abandon_launch();
    }
    detail::end_launch();
    return cudaSuccess;
}

}  // namespace host_layer
