// The block barrier of the host execution layer. Kernels see it inline: a thread other than the
// first, at a barrier of a round that the first thread began at a barrier, switches straight to
// the next thread of the ring from the kernel's own frame. Everything else (the first thread,
// divergence, the end of a thread, sanitized and Boost.Context builds) goes through the layer's
// out-of-line barrier (executor.cpp).
//
// Why inline: a barrier costs little more than the switch itself, which stores the suspended
// thread's registers in its context and loads the next thread's from the adjacent one
// (context_switch.h). Through the out-of-line barrier alone, a 256-thread tree reduction takes
// twice as long.
// Included by runtime.h, after the coordinates that the barrier sets.
#pragma once

#include "context_switch.h"

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(HOST_LAYER_BOOST_SWITCH)
#define HOST_LAYER_INLINE_BARRIER 1
#endif

namespace host_layer::detail {

// The ring of the block that runs on this worker, as the barrier sees it (see executor.cpp).
struct barrier_ring {
    unsigned int position = 0;  // ring place of the running thread; 0 is the first thread
    unsigned int threads = 0;   // in the block
    bool inline_round = false;  // the inline barrier may hand control on in this round
    bool ending = false;        // the launch is over: a resumed thread unwinds and ends
    // By ring place: each thread's context and coordinates. The context after the last is a
    // spare, there to be prefetched.
    context* contexts = nullptr;
    const uint3* coordinates = nullptr;
};

extern __thread barrier_ring current_ring;

// The ring place after the running thread's: the last thread's is the first.
inline unsigned int next_place()
{
    const unsigned int position = current_ring.position;
    return position + 1 == current_ring.threads ? 0 : position + 1;
}

// Hands control from the running thread to ring place `next` and returns when control comes
// back to the running thread.
inline void hand_on(unsigned int next)
{
    context* const contexts = current_ring.contexts;
    const unsigned int position = current_ring.position;
    current_ring.position = next;
    threadIdx = current_ring.coordinates[next];
    prefetch_context(contexts[next + 1]);
    switch_context(contexts[position], contexts[next]);
}

// The barrier for every case the inline one leaves out.
void barrier();
// Unwinds the running thread's frames once the launch has ended without it.
[[noreturn]] void abandon_thread();

}  // namespace host_layer::detail

// Barrier across the threads of a block. A barrier that some threads of a block never reach
// makes the launch fail with cudaErrorLaunchFailure.
inline void __syncthreads()
{
#if defined(HOST_LAYER_INLINE_BARRIER)
    using host_layer::detail::current_ring;
    if (current_ring.position != 0 && current_ring.inline_round) [[likely]] {
        host_layer::detail::hand_on(host_layer::detail::next_place());
        if (current_ring.ending) [[unlikely]] {
            host_layer::detail::abandon_thread();
        }
        return;
    }
#endif
    host_layer::detail::barrier();
}
