// Execution contexts for the threads of a block: each runs on a stack of its own, and a switch
// suspends one context and resumes another.
//
// On x86-64 the switch is the layer's own (context_switch.cpp): it keeps a suspended context's
// callee-saved registers, stack pointer and resume address in one cache line of the context
// itself, not on the context's stack. A block's contexts lie side by side, so a round of
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
// the address it resumes at. The offsets are fixed: the switch's assembly reads and writes them.
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
extern "C" void host_layer_switch_context(saved_registers* save, const saved_registers* load);

// Suspends the caller into `from` and resumes `to`; returns when something switches to `from`.
// Inline, because a barrier costs little more than this.
inline void switch_context(context& from, context& to)
{
    sanitizer_before_switch(from, to, false);
    host_layer_switch_context(&from.registers, &to.registers);
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
