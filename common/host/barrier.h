// The block barrier of the host execution layer. Kernels see it inline: a thread other than the
// first, at a barrier of a round that the first thread began at a barrier, switches straight to
// the next thread of the ring from the kernel's own frame. Everything else (the first thread,
// divergence, the end of a thread, sanitized and Boost.Context builds) goes through the layer's
// out-of-line barrier (executor.cpp).
//
// Why inline: a block of 256 threads keeps 256 suspended contexts, and what a barrier costs is
// mostly reading and writing them. Inline, the switch stores the suspended thread's registers in
// its context and loads the next thread's from the adjacent one, touches neither thread's stack,
// and jumps to where the next thread resumes without a call or a return, so that the
// return-address prediction of the kernel's own calls and returns stays in step.
// Included by runtime.h, after the coordinates that the barrier sets.
#pragma once

#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(HOST_LAYER_BOOST_SWITCH)
#define HOST_LAYER_INLINE_BARRIER 1
#include "context_switch.h"
#endif

namespace host_layer::detail {

struct context;

// The ring of the block that runs on this worker, as the barrier sees it (see executor.cpp).
struct barrier_ring {
    unsigned int position = 0;  // ring place of the running thread; 0 is the first thread
    unsigned int threads = 0;   // in the block
    bool inline_round = false;  // the inline barrier may hand control on in this round
    bool ending = false;        // the launch is over: a resumed thread unwinds and ends
    // By ring place: each thread's context and coordinates. The place after the last is a spare.
    context* contexts = nullptr;
    const uint3* coordinates = nullptr;
};

extern __thread barrier_ring current_ring;

// The barrier for every case the inline one leaves out.
void barrier();
// Unwinds the running thread's frames once the launch has ended without it.
[[noreturn]] void abandon_thread();

#if defined(HOST_LAYER_INLINE_BARRIER)
// Saves the running thread at *save and resumes the one saved at *load; returns when another
// thread resumes this one. The saved stack pointer is 128 bytes below the kernel's, so that the
// out-of-line switch may push the resume address there without touching the kernel's red zone.
// The callee-saved registers go through *save and *load; every other register is declared
// clobbered.
inline void switch_from_kernel(saved_registers* save, const saved_registers* load)
{
    asm volatile(
        "movq %%rbx, 0(%0)\n\t"
        "movq %%rbp, 8(%0)\n\t"
        "movq %%r12, 16(%0)\n\t"
        "movq %%r13, 24(%0)\n\t"
        "movq %%r14, 32(%0)\n\t"
        "movq %%r15, 40(%0)\n\t"
        "leaq -128(%%rsp), %%rax\n\t"
        "movq %%rax, 48(%0)\n\t"
        "leaq 1f(%%rip), %%rax\n\t"
        "movq %%rax, 56(%0)\n\t"
        "movq 0(%1), %%rbx\n\t"
        "movq 8(%1), %%rbp\n\t"
        "movq 16(%1), %%r12\n\t"
        "movq 24(%1), %%r13\n\t"
        "movq 32(%1), %%r14\n\t"
        "movq 40(%1), %%r15\n\t"
        "movq 48(%1), %%rsp\n\t"
        "jmp *56(%1)\n"
        "1:\n\t"
        "leaq 128(%%rsp), %%rsp"
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
#if defined(HOST_LAYER_INLINE_BARRIER)
    using host_layer::detail::current_ring;
    const unsigned int position = current_ring.position;
    if (position != 0 && current_ring.inline_round) [[likely]] {
        const unsigned int next = position + 1 == current_ring.threads ? 0 : position + 1;
        current_ring.position = next;
        host_layer::detail::context* const contexts = current_ring.contexts;
        threadIdx = current_ring.coordinates[next];
        __builtin_prefetch(&contexts[next + 1], 0, 3);
        host_layer::detail::switch_from_kernel(&contexts[position].registers, &contexts[next].registers);
        if (current_ring.ending) [[unlikely]] {
            host_layer::detail::abandon_thread();
        }
        return;
    }
#endif
    host_layer::detail::barrier();
}
