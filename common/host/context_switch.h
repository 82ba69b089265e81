// Execution contexts for the threads of a block: each runs on a stack of its own, and a switch
// suspends one context and resumes another.
//
// On x86-64 the switch is the layer's own (switch_registers below): it keeps a suspended
// context's callee-saved registers, stack pointer and resume address in one cache line of the
// context itself, not on the context's stack. A block's contexts lie side by side, so a round of
// switches reads consecutive lines instead of one line on each of a few hundred stacks. Elsewhere,
// or with HOST_LAYER_BOOST_SWITCH defined, Boost.Context does the same job more slowly.
#pragma once

#include <cstddef>

#if !defined(__x86_64__) && !defined(HOST_LAYER_BOOST_SWITCH)
#define HOST_LAYER_BOOST_SWITCH 1
#endif

#if defined(HOST_LAYER_BOOST_SWITCH)
#include <boost/context/fiber.hpp>
#endif

namespace host_layer::detail {

// Memory for one context's stack: [base, base + size), growing down from the top.
struct stack_memory {
    void* base = nullptr;
    std::size_t size = 0;
};

#if !defined(HOST_LAYER_BOOST_SWITCH)
// What a suspended context keeps: the six registers a call must preserve, the stack pointer and
// the address it resumes at. The switch's assembly relies on these offsets.
struct alignas(64) saved_registers {
    void* rbx = nullptr;
    void* rbp = nullptr;
    void* r12 = nullptr;
    void* r13 = nullptr;
    void* r14 = nullptr;
    void* r15 = nullptr;
    void* rsp = nullptr;
    void* rip = nullptr;
};
static_assert(offsetof(saved_registers, rbx) == 0 && offsetof(saved_registers, rbp) == 8 &&
              offsetof(saved_registers, r12) == 16 && offsetof(saved_registers, r13) == 24 &&
              offsetof(saved_registers, r14) == 32 && offsetof(saved_registers, r15) == 40 &&
              offsetof(saved_registers, rsp) == 48 && offsetof(saved_registers, rip) == 56);
#endif

// A suspended context, or the one that runs now. A default-constructed context stands for the
// calling OS thread's own stack: switching away from it saves it.
struct context {
#if defined(HOST_LAYER_BOOST_SWITCH)
    boost::context::fiber fiber;
#else
    saved_registers registers;
#endif
#if defined(__SANITIZE_ADDRESS__)
    // What AddressSanitizer is told at a switch. Other builds leave them out: a block's ring
    // reads a context at every barrier, and the smaller it is the more of the ring stays cached.
    stack_memory stack;  // empty for the OS thread's own stack until first needed
    void* sanitizer_fake_stack = nullptr;
#endif
};

// What a new context runs. It returns the context to resume when it ends; a context that has
// ended must not be switched to again.
using context_entry = context* (*)(void* argument);

// Makes `c` a context that starts `entry(argument)` on `stack` when first switched to. `c` must
// not be running or suspended with frames of its own.
void prepare_context(context& c, stack_memory stack, context_entry entry, void* argument);

// Tell AddressSanitizer, where it runs, which stack a switch enters (`from_ends`: the stack
// being left is done with for good); elsewhere they do nothing.
#if defined(__SANITIZE_ADDRESS__)
void sanitizer_before_switch(context& from, const context& to, bool from_ends);
void sanitizer_after_switch(context& resumed);
#else
inline void sanitizer_before_switch(context&, const context&, bool) {}
inline void sanitizer_after_switch(context&) {}
#endif

#if defined(HOST_LAYER_BOOST_SWITCH)
// Suspends the caller into `from` and resumes `to`; returns when something switches to `from`.
void switch_context(context& from, context& to);
#else
// Saves the running context's registers at *save and resumes the context saved at *load;
// returns when something resumes the saved one. Inline and without a call: the callee-saved
// registers (rbx, rbp, r12-r15) go through *save and *load, and every other register the
// compiler may allocate (AVX-512 and APX ones included where the target has them) is declared
// clobbered. Control passes with an indirect jump to the resume address, never a call or a
// return, so that each thread's own calls and returns stay paired for the processor's
// return-address prediction; the threads of a ring mostly switch from the same place, where
// what one thread's calls left on the predictor also fits the next. Neither stack is touched.
// The floating-point control words are callee-saved too, but kernels never change them, so they
// are left alone.
inline void switch_registers(saved_registers* save, const saved_registers* load)
{
    asm volatile(
        "movq %%rbx, 0(%0)\n\t"
        "movq %%rbp, 8(%0)\n\t"
        "movq %%r12, 16(%0)\n\t"
        "movq %%r13, 24(%0)\n\t"
        "movq %%r14, 32(%0)\n\t"
        "movq %%r15, 40(%0)\n\t"
        "movq %%rsp, 48(%0)\n\t"
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
        "1:"
        : "+D"(save), "+S"(load)
        :
        : "rax", "rcx", "rdx", "r8", "r9", "r10", "r11", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5",
          "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", "xmm11", "xmm12", "xmm13", "xmm14", "xmm15",
#if defined(__AVX512F__)
          "xmm16", "xmm17", "xmm18", "xmm19", "xmm20", "xmm21", "xmm22", "xmm23", "xmm24", "xmm25", "xmm26",
          "xmm27", "xmm28", "xmm29", "xmm30", "xmm31", "k0", "k1", "k2", "k3", "k4", "k5", "k6", "k7",
#endif
#if defined(__APX_F__)
          "r16", "r17", "r18", "r19", "r20", "r21", "r22", "r23", "r24", "r25", "r26", "r27", "r28", "r29",
          "r30", "r31",
#endif
          "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)", "memory", "cc");
}

// Suspends the caller into `from` and resumes `to`; returns when something switches to `from`.
inline void switch_context(context& from, context& to)
{
    sanitizer_before_switch(from, to, false);
    switch_registers(&from.registers, &to.registers);
    sanitizer_after_switch(from);
}
#endif

// A hint, before switching to `c` soon: bring its saved registers into the cache.
inline void prefetch_context([[maybe_unused]] const context& c)
{
#if !defined(HOST_LAYER_BOOST_SWITCH)
    __builtin_prefetch(&c.registers, 0, 3);
#endif
}

}  // namespace host_layer::detail
