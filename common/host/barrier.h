// The block barrier of the host execution layer. Kernels see it inline: a thread other than the
// first, at a barrier of a round that the first thread began at a barrier, switches straight to
// the next thread of the ring from the kernel's own frame. Everything else (the first thread,
// divergence, the end of a thread, sanitized and Boost.Context builds) goes through the layer's
// out-of-line barrier (executor.cpp).
//
// Why inline: a block of 256 threads keeps 256 suspended stacks, and what a barrier costs is
// mostly the cache lines of those stacks. Switching from the kernel's frame, on a 64-byte
// aligned save area, leaves one line per suspended thread (the six callee-saved registers, the
// return address and the kernel's stack pointer), so a whole block's worth stays in the L1
// cache; through a call to an out-of-line barrier it takes two.
// Included by runtime.h, after the coordinates that the barrier sets.
#pragma once

#include <cstddef>

namespace host_layer::detail {

// The ring of the block that runs on this worker, as the barrier sees it (see executor.cpp).
struct barrier_ring {
    unsigned int position = 0;  // ring place of the running thread; 0 is the first thread
    unsigned int threads = 0;   // in the block
    bool inline_round = false;  // the inline barrier may hand control on in this round
    bool ending = false;        // the launch is over: a resumed thread unwinds and ends
    std::size_t stride = 0;     // bytes from one ring place to the next
    // At ring place 0: a thread's saved stack pointer and its coordinates. The place after the
    // last is a spare whose stack pointer is null.
    unsigned char* stack_pointers = nullptr;
    unsigned char* coordinates = nullptr;
};

extern __thread barrier_ring current_ring;

// The barrier for every case the inline one leaves out.
void barrier();
// Unwinds the running thread's frames once the launch has ended without it.
[[noreturn]] void abandon_thread();

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(HOST_LAYER_BOOST_SWITCH)
extern "C" void host_layer_switch_stacks(void** save, void* load);

// Saves the running thread at *save and resumes the one saved at `load`; returns when another
// thread resumes this one. The call to the switch is made from a save area below the red zone,
// aligned to a cache line, with the kernel's stack pointer at its top; the switch keeps the
// callee-saved registers, and every other register is declared clobbered.
inline void switch_from_kernel(void** save, void* load)
{
    asm volatile(
        "movq %%rsp, %%rax\n\t"
        "leaq -128(%%rsp), %%rsp\n\t"
        "andq $-64, %%rsp\n\t"
        "pushq %%rax\n\t"
        "call host_layer_switch_stacks\n\t"
        "popq %%rsp"
        : "+D"(save), "+S"(load)
        :
        : "rax", "rcx", "rdx", "r8", "r9", "r10", "r11", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5",
          "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15",
#if defined(__AVX512F__)
          "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26",
          "xmm27", "xmm28", "xmm29", "xmm30", "xmm31", "k1", "k2", "k3", "k4", "k5", "k6", "k7",
#endif
          "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)", "memory", "cc");
}
#endif

}  // namespace host_layer::detail

// Barrier across the threads of a block. A barrier that some threads of a block never reach
// makes the launch fail with cudaErrorLaunchFailure.
inline void __syncthreads()
{
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(HOST_LAYER_BOOST_SWITCH)
    using host_layer::detail::current_ring;
    const unsigned int position = current_ring.position;
    if (position != 0 && current_ring.inline_round) [[likely]] {
        const unsigned int next = position + 1 == current_ring.threads ? 0 : position + 1;
        current_ring.position = next;
        unsigned char* const places = current_ring.stack_pointers;
        const std::size_t stride = current_ring.stride;
        threadIdx = *reinterpret_cast<const uint3*>(current_ring.coordinates + next * stride);
        __builtin_prefetch(*reinterpret_cast<void**>(places + (next + 1) * stride), 0, 3);
        host_layer::detail::switch_from_kernel(reinterpret_cast<void**>(places + position * stride),
                                               *reinterpret_cast<void**>(places + next * stride));
        if (current_ring.ending) [[unlikely]] {
            host_layer::detail::abandon_thread();
        }
        return;
    }
#endif
    host_layer::detail::barrier();
}
