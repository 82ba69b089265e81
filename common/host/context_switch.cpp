// The switch between execution contexts (see context_switch.h).

#include "context_switch.h"

#include <cstdint>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <pthread.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace host_layer::detail {

#if defined(__SANITIZE_ADDRESS__)
namespace {

// AddressSanitizer must know which stack runs, or it takes a switch for a stack overflow and
// an exception unwound on a context's stack for a wild jump.
[[gnu::noinline]] void fill_thread_stack(stack_memory& stack)
{
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0 ||
        pthread_attr_getstack(&attributes, &stack.base, &stack.size) != 0) {
        std::abort();
    }
    pthread_attr_destroy(&attributes);
}

}  // namespace

// Uninstrumented, so that its frame is no fake one: a context that ends releases its fake
// stack here, and this frame must outlive that.
[[gnu::no_sanitize_address]] void sanitizer_before_switch(context& from, const context& to, bool from_ends)
{
    if (from.stack.base == nullptr) {
        fill_thread_stack(from.stack);
    }
    __sanitizer_start_switch_fiber(from_ends ? nullptr : &from.sanitizer_fake_stack, to.stack.base,
                                   to.stack.size);
}

void sanitizer_after_switch(context& resumed)
{
    __sanitizer_finish_switch_fiber(resumed.sanitizer_fake_stack, nullptr, nullptr);
}

#endif

}  // namespace host_layer::detail

#if !defined(HOST_LAYER_BOOST_SWITCH)

// host_layer_context_start is where a prepared context first resumes (see switch_registers):
// its saved registers hold the context in r12, the entry in r13 and the argument in rbx (see
// prepare_context).
extern "C" [[noreturn]] __attribute__((used, visibility("hidden"))) void
host_layer_run_context(host_layer::detail::context* self, host_layer::detail::context_entry entry,
                       void* argument);

// Global but hidden, so that every link-time partition of the executable finds it.
asm(R"(
    .pushsection .text
    .p2align 4
    .globl host_layer_context_start
    .hidden host_layer_context_start
    .type host_layer_context_start, @function
host_layer_context_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r12, %rdi
    movq %r13, %rsi
    movq %rbx, %rdx
    call host_layer_run_context
    ud2
    .cfi_endproc
    .size host_layer_context_start, .-host_layer_context_start
    .popsection
)");

extern "C" void host_layer_context_start();

// Runs a context's entry on its own stack and then leaves it for good.
extern "C" [[gnu::no_sanitize_address]] void host_layer_run_context(host_layer::detail::context* self,
                                                                    host_layer::detail::context_entry entry,
                                                                    void* argument)
{
    using namespace host_layer::detail;
    sanitizer_after_switch(*self);
    context* next = entry(argument);
    sanitizer_before_switch(*self, *next, true);
    // Nothing local may be touched from here on: under AddressSanitizer this frame's locals may
    // lie on a fake stack that before_switch has just released.
    switch_registers(&self->registers, &next->registers);
    std::abort();  // an ended context is never switched to
}

namespace host_layer::detail {

void prepare_context(context& c, stack_memory stack, context_entry entry, void* argument)
{
    // host_layer_context_start calls on, so it must start with a 16-byte aligned stack pointer;
    // the 16 bytes above it stay unused.
    const auto top = (reinterpret_cast<std::uintptr_t>(stack.base) + stack.size) & ~std::uintptr_t{15};
    c.registers = {};
    c.registers.r12 = &c;
    c.registers.r13 = reinterpret_cast<void*>(entry);
    c.registers.rbx = argument;
    c.registers.rsp = reinterpret_cast<void*>(top - 16);
    c.registers.rip = reinterpret_cast<void*>(host_layer_context_start);
#if defined(__SANITIZE_ADDRESS__)
    c.stack = stack;
    c.sanitizer_fake_stack = nullptr;
#endif
}

}  // namespace host_layer::detail

#else  // Boost.Context

namespace host_layer::detail {
namespace {

namespace ctx = boost::context;

// Hands Boost a stack that the caller owns.
class borrowed_stack {
  public:
    explicit borrowed_stack(stack_memory stack) : stack_(stack) {}
    ctx::stack_context allocate()
    {
        ctx::stack_context s;
        s.sp = static_cast<char*>(stack_.base) + stack_.size;
        s.size = stack_.size;
        return s;
    }
    void deallocate(ctx::stack_context&) noexcept {}

  private:
    stack_memory stack_;
};

}  // namespace

void prepare_context(context& c, stack_memory stack, context_entry entry, void* argument)
{
#if defined(__SANITIZE_ADDRESS__)
    c.stack = stack;
#endif
    c.fiber = ctx::fiber(std::allocator_arg, borrowed_stack(stack), [&c, entry, argument](ctx::fiber&&) {
        sanitizer_after_switch(c);
        context* next = entry(argument);
        sanitizer_before_switch(c, *next, true);
        return std::move(next->fiber);
    });
}

void switch_context(context& from, context& to)
{
    sanitizer_before_switch(from, to, false);
    // The resumed context finds the suspended one in `from`, wherever it switches to next.
    std::move(to.fiber).resume_with([&from](ctx::fiber&& suspended) {
        from.fiber = std::move(suspended);
        return ctx::fiber{};
    });
    sanitizer_after_switch(from);
}

}  // namespace host_layer::detail

#endif
