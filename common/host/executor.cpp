// Execution of a block's threads on the host execution layer.
//
// The block's first thread (in the chosen order) runs on the caller's own stack. When it meets
// no barrier, the others run as a plain loop (see launch.h). When it meets one, every other
// thread gets a fiber: at each barrier of the first thread, each fiber in turn runs up to the
// same barrier, so that every thread reaches barrier k before any passes it. A thread that
// finishes early, or waits at a barrier the first thread never reaches, fails the launch.

#include <boost/context/fiber.hpp>
#include <boost/context/fixedsize_stack.hpp>

#include <algorithm>
#include <cstring>
#include <vector>

#include "launch.h"
#include "state.h"

uint3 threadIdx;
uint3 blockIdx;
dim3 blockDim;
dim3 gridDim;

// Every block-shared array lies in this section; the anchor makes sure it exists.
__attribute__((used, section("host_layer_shared"))) static unsigned char shared_anchor;
extern "C" unsigned char __start_host_layer_shared[];
extern "C" unsigned char __stop_host_layer_shared[];

namespace host_layer {
namespace {

namespace ctx = boost::context;

// Block-shared memory holds this byte at the start of every block.
constexpr unsigned char shared_poison = 0xFF;
constexpr std::size_t fiber_stack_bytes = 16 * 1024;
constexpr unsigned int max_block_threads = 1024;

// A stack that outlives its fiber, so that fibers are cheap to make for every block.
class reused_stack {
public:
    explicit reused_stack(ctx::stack_context stack) : stack_(stack) {}
    ctx::stack_context allocate() { return stack_; }
    void deallocate(ctx::stack_context&) noexcept {}

private:
    ctx::stack_context stack_;
};

enum class mode {
    plain,        // the first thread met no barrier; the others run straight through
    first_thread, // the first thread runs on the caller's stack
    fiber,        // a fiber runs
};

struct block_state {
    mode current = mode::plain;
    detail::body_ref body{};
    std::vector<unsigned int> order;       // linear thread indices, first thread first
    std::vector<uint3> coordinates;        // threadIdx by linear index
    std::vector<unsigned int> arrivals;    // barriers reached in this block, by linear index
    std::vector<unsigned char> finished;   // whether the thread is done with this block
    std::vector<ctx::fiber> fibers;        // by linear index; made once per launch, when needed
    std::vector<ctx::stack_context> stacks;
    ctx::fiber scheduler;                  // where a fiber returns to at a barrier
    unsigned int running = 0;              // linear index of the running fiber
    bool fibers_made = false;              // in this launch
    bool fibers_used = false;              // in this block
    std::size_t launch_slot = 0;
    ctx::fixedsize_stack allocator{fiber_stack_bytes};

    ~block_state()
    {
        fibers.clear();
        for (auto& stack : stacks) {
            allocator.deallocate(stack);
        }
    }
};

block_state& block()
{
    static block_state b;
    return b;
}

// Each fiber serves its thread for every block of the launch: it runs the body, reports that
// it is done, and waits to be resumed for the next block.
void make_fibers()
{
    block_state& b = block();
    while (b.stacks.size() < b.order.size()) {
        b.stacks.push_back(b.allocator.allocate());
    }
    for (std::size_t k = 1; k < b.order.size(); ++k) {
        const unsigned int t = b.order[k];
        b.fibers[t] = ctx::fiber(std::allocator_arg, reused_stack(b.stacks[t]), [t](ctx::fiber&& caller) {
            block_state& s = block();
            s.scheduler = std::move(caller);
            for (;;) {
                s.body();
                s.finished[t] = 1;
                s.scheduler = std::move(s.scheduler).resume();
            }
            return std::move(s.scheduler);
        });
    }
    b.fibers_made = true;
}

// Runs fiber t until its next barrier or the end of its body.
void resume(unsigned int t)
{
    block_state& b = block();
    b.running = t;
    threadIdx = b.coordinates[t];
    b.current = mode::fiber;
    b.fibers[t] = std::move(b.fibers[t]).resume();
    b.current = mode::first_thread;
}

// The first thread has reached a barrier: bring every other thread to the same one.
void barrier_round()
{
    block_state& b = block();
    const unsigned int first = b.order.front();
    const unsigned int reached = ++b.arrivals[first];
    if (!b.fibers_made) {
        make_fibers();
    }
    b.fibers_used = true;
    for (std::size_t k = 1; k < b.order.size(); ++k) {
        const unsigned int t = b.order[k];
        if (b.finished[t]) {
            throw detail::barrier_divergence{};
        }
        resume(t);
        if (b.finished[t] || b.arrivals[t] != reached) {
            throw detail::barrier_divergence{};
        }
    }
    threadIdx = b.coordinates[first];
}

// The first thread has finished: every other thread must finish without another barrier.
void finish_round()
{
    block_state& b = block();
    const unsigned int first = b.order.front();
    for (std::size_t k = 1; k < b.order.size(); ++k) {
        const unsigned int t = b.order[k];
        resume(t);
        if (!b.finished[t] || b.arrivals[t] != b.arrivals[first]) {
            throw detail::barrier_divergence{};
        }
    }
}

void end_block()
{
    block_state& b = block();
    std::fill(b.arrivals.begin(), b.arrivals.end(), 0);
    std::fill(b.finished.begin(), b.finished.end(), 0);
    b.fibers_used = false;
    b.current = mode::plain;
}

bool valid_configuration(dim3 grid, dim3 block)
{
    const unsigned long long threads =
        static_cast<unsigned long long>(block.x) * block.y * block.z;
    return grid.x != 0 && grid.y != 0 && grid.z != 0 && block.x != 0 && block.y != 0 &&
           block.z != 0 && block.x <= 1024 && block.y <= 1024 && block.z <= 64 &&
           threads <= max_block_threads && grid.x <= 2147483647u && grid.y <= 65535 &&
           grid.z <= 65535;
}

}  // namespace

namespace detail {

cudaError_t begin_launch(dim3 grid, dim3 block_dim, const void* kernel)
{
    block_state& b = block();
    if (const cudaError_t injected =
            enter({"cudaLaunchKernel", kernel, nullptr, 0, 0, grid, block_dim}, b.launch_slot)) {
        return injected;
    }
    if (!valid_configuration(grid, block_dim)) {
        return leave(b.launch_slot, cudaErrorInvalidConfiguration);
    }
    gridDim = grid;
    blockDim = block_dim;
    const unsigned int threads = block_dim.x * block_dim.y * block_dim.z;
    b.coordinates.resize(threads);
    for (unsigned int k = 0; k < threads; ++k) {
        b.coordinates[k] = {k % block_dim.x, k / block_dim.x % block_dim.y, k / (block_dim.x * block_dim.y)};
    }
    b.order.resize(threads);
    for (unsigned int k = 0; k < threads; ++k) {
        b.order[k] = k;
    }
    if (current_thread_order() == thread_order::descending) {
        std::reverse(b.order.begin(), b.order.end());
    }
    b.arrivals.assign(threads, 0);
    b.finished.assign(threads, 0);
    b.fibers.resize(std::max<std::size_t>(b.fibers.size(), threads));
    return cudaSuccess;
}

void begin_block(unsigned int x, unsigned int y, unsigned int z)
{
    blockIdx = {x, y, z};
    std::memset(__start_host_layer_shared, shared_poison,
                static_cast<std::size_t>(__stop_host_layer_shared - __start_host_layer_shared));
}

bool run_first_thread(body_ref body)
{
    block_state& b = block();
    b.body = body;
    b.current = mode::first_thread;
    const unsigned int first = b.order.front();
    threadIdx = b.coordinates[first];
    body();
    if (!b.fibers_used) {
        b.current = mode::plain;
        return false;
    }
    finish_round();
    end_block();
    return true;
}

void end_launch()
{
    block_state& b = block();
    if (b.fibers_made) {
        // Destroying a suspended fiber unwinds its stack.
        for (auto& fiber : b.fibers) {
            fiber = ctx::fiber{};
        }
        b.fibers_made = false;
    }
    end_block();
}

cudaError_t abandon_launch()
{
    end_launch();
    return leave(block().launch_slot, cudaErrorLaunchFailure);
}

}  // namespace detail
}  // namespace host_layer

void __syncthreads()
{
    using host_layer::block;
    host_layer::block_state& b = block();
    switch (b.current) {
    case host_layer::mode::plain:
        throw host_layer::detail::barrier_divergence{};
    case host_layer::mode::first_thread:
        host_layer::barrier_round();
        break;
    case host_layer::mode::fiber:
        ++b.arrivals[b.running];
        b.scheduler = std::move(b.scheduler).resume();
        break;
    }
}

float atomicAdd(float* address, float value)
{
    // Blocks and threads take turns on one OS thread, so a plain update is indivisible.
    const float old = *address;
    *address = old + value;
    return old;
}
