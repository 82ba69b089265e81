// Execution of a grid on the host execution layer.
//
// Each worker (an OS thread) runs a contiguous share of the blocks. Within a block the first
// thread (in the chosen order) runs on the worker's own stack. When it meets no barrier, the
// others run as a plain loop (see launch.h). When it meets one, every other thread runs on a
// fiber: at each barrier of the first thread, each fiber in turn runs up to the same barrier,
// so that every thread reaches barrier k before any passes it. A thread that finishes early,
// or waits at a barrier the first thread never reaches, fails the launch.

#include <boost/context/fiber.hpp>
#include <boost/context/protected_fixedsize_stack.hpp>

#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "guarded_memory.h"
#include "launch.h"
#include "state.h"

__thread uint3 threadIdx;
__thread uint3 blockIdx;
dim3 blockDim;
dim3 gridDim;

// Every block-shared array lies in this section; the anchor makes sure it exists.
__attribute__((used, section("host_layer_shared"))) static thread_local unsigned char shared_anchor;
extern "C" unsigned char __start_host_layer_shared[];
extern "C" unsigned char __stop_host_layer_shared[];

namespace host_layer {
namespace {

namespace ctx = boost::context;

// Block-shared memory holds this byte at the start of every block.
constexpr unsigned char shared_poison = 0xFF;
constexpr std::size_t fiber_stack_bytes = 64 * 1024;
constexpr unsigned int max_block_threads = 1024;
constexpr unsigned int max_workers = 16;

// A stack that outlives its fiber, so that a worker's fibers are cheap to make.
class reused_stack {
  public:
    explicit reused_stack(ctx::stack_context stack) : stack_(stack) {}
    ctx::stack_context allocate() { return stack_; }
    void deallocate(ctx::stack_context&) noexcept {}

  private:
    ctx::stack_context stack_;
};

enum class mode {
    plain,         // the first thread met no barrier; the others run straight through
    first_thread,  // the first thread runs on the worker's stack
    fiber,         // a fiber runs
};

// What one worker knows of the block it runs.
struct worker_state {
    mode current = mode::plain;
    detail::body_ref body{};
    std::vector<unsigned int> order;      // linear thread indices, first thread first
    std::vector<uint3> coordinates;       // threadIdx by linear index
    std::vector<unsigned int> arrivals;   // barriers reached in this block, by linear index
    std::vector<unsigned char> finished;  // whether the thread is done with this block
    std::vector<ctx::fiber> fibers;       // by linear index; made once per launch, when needed
    std::vector<ctx::stack_context> stacks;
    ctx::fiber scheduler;                                         // where a fiber returns to at a barrier
    unsigned int running = 0;                                     // linear index of the running fiber
    bool fibers_made = false;                                     // in this launch
    bool fibers_used = false;                                     // in this block
    unsigned char* shared = nullptr;                              // this worker's block-shared section
    ctx::protected_fixedsize_stack allocator{fiber_stack_bytes};  // a guard page below each

    ~worker_state()
    {
        fibers.clear();
        for (auto& stack : stacks) {
            allocator.deallocate(stack);
        }
    }
};

worker_state& worker()
{
    static thread_local worker_state w;
    return w;
}

struct launch_state {
    std::size_t slot = 0;
    std::atomic<bool> failed{false};
    std::mutex error_lock;
    std::exception_ptr error;  // the first exception other than a divergence, from any worker
};

launch_state& current_launch()
{
    static launch_state l;
    return l;
}

// This thread's copy of the block-shared section. The linker's section bounds give the
// section's place in the thread-local image; the thread's copy is at the same offset from the
// start of the thread's block of the executable's thread-local storage.
unsigned char* locate_shared_section()
{
    struct search {
        std::uintptr_t image = 0;
        unsigned char* found = nullptr;
    } s{reinterpret_cast<std::uintptr_t>(__start_host_layer_shared)};
    (void)shared_anchor;
    dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto& s = *static_cast<search*>(data);
            for (int k = 0; k < info->dlpi_phnum; ++k) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[k];
                const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (segment.p_type == PT_TLS && s.image >= start && s.image < start + segment.p_memsz &&
                    info->dlpi_tls_data != nullptr) {
                    s.found = static_cast<unsigned char*>(info->dlpi_tls_data) + (s.image - start);
                    return 1;
                }
            }
            return 0;
        },
        &s);
    if (s.found == nullptr) {
        std::terminate();  // the layer's own section must exist in the executable
    }
    return s.found;
}

// Each fiber serves its thread for every block the worker runs: it runs the body, reports that
// it is done, and waits to be resumed for the next block.
void make_fibers()
{
    worker_state& w = worker();
    while (w.stacks.size() < w.order.size()) {
        w.stacks.push_back(w.allocator.allocate());
    }
    for (std::size_t k = 1; k < w.order.size(); ++k) {
        const unsigned int t = w.order[k];
        w.fibers[t] = ctx::fiber(std::allocator_arg, reused_stack(w.stacks[t]), [t](ctx::fiber&& caller) {
            worker_state& s = worker();
            s.scheduler = std::move(caller);
            for (;;) {
                s.body();
                s.finished[t] = 1;
                s.scheduler = std::move(s.scheduler).resume();
            }
            return std::move(s.scheduler);
        });
    }
    w.fibers_made = true;
}

// Runs fiber t until its next barrier or the end of its body.
void resume(unsigned int t)
{
    worker_state& w = worker();
    w.running = t;
    threadIdx = w.coordinates[t];
    w.current = mode::fiber;
    w.fibers[t] = std::move(w.fibers[t]).resume();
    w.current = mode::first_thread;
}

// The first thread has reached a barrier: bring every other thread to the same one.
void barrier_round()
{
    worker_state& w = worker();
    const unsigned int first = w.order.front();
    const unsigned int reached = ++w.arrivals[first];
    if (!w.fibers_made) {
        make_fibers();
    }
    w.fibers_used = true;
    for (std::size_t k = 1; k < w.order.size(); ++k) {
        const unsigned int t = w.order[k];
        if (w.finished[t]) {
            throw detail::barrier_divergence{};
        }
        resume(t);
        if (w.finished[t] || w.arrivals[t] != reached) {
            throw detail::barrier_divergence{};
        }
    }
    threadIdx = w.coordinates[first];
}

// The first thread has finished: every other thread must finish without another barrier.
void finish_round()
{
    worker_state& w = worker();
    const unsigned int first = w.order.front();
    for (std::size_t k = 1; k < w.order.size(); ++k) {
        const unsigned int t = w.order[k];
        resume(t);
        if (!w.finished[t] || w.arrivals[t] != w.arrivals[first]) {
            throw detail::barrier_divergence{};
        }
    }
}

void end_block()
{
    worker_state& w = worker();
    std::fill(w.arrivals.begin(), w.arrivals.end(), 0);
    std::fill(w.finished.begin(), w.finished.end(), 0);
    w.fibers_used = false;
    w.current = mode::plain;
}

void begin_worker()
{
    worker_state& w = worker();
    const unsigned int threads = blockDim.x * blockDim.y * blockDim.z;
    w.coordinates.resize(threads);
    for (unsigned int k = 0; k < threads; ++k) {
        w.coordinates[k] = {k % blockDim.x, k / blockDim.x % blockDim.y, k / (blockDim.x * blockDim.y)};
    }
    w.order.resize(threads);
    for (unsigned int k = 0; k < threads; ++k) {
        w.order[k] = k;
    }
    if (current_thread_order() == thread_order::descending) {
        std::reverse(w.order.begin(), w.order.end());
    }
    w.arrivals.assign(threads, 0);
    w.finished.assign(threads, 0);
    w.fibers.resize(std::max<std::size_t>(w.fibers.size(), threads));
    if (w.shared == nullptr) {
        w.shared = locate_shared_section();
    }
}

void end_worker()
{
    worker_state& w = worker();
    if (w.fibers_made) {
        // Destroying a suspended fiber unwinds its stack.
        for (auto& fiber : w.fibers) {
            fiber = ctx::fiber{};
        }
        w.fibers_made = false;
    }
    end_block();
}

// Runs the blocks [first, last) on this thread; a failure marks the whole launch failed.
void run_worker(detail::blocks_ref blocks, unsigned long long first, unsigned long long last)
{
    begin_worker();
    launch_state& l = current_launch();
    try {
        blocks(first, last);
    } catch (const detail::barrier_divergence&) {
        l.failed = true;
    } catch (...) {
        const std::lock_guard<std::mutex> guard(l.error_lock);
        if (!l.error) {
            l.error = std::current_exception();
        }
        l.failed = true;
    }
    end_worker();
}

bool valid_configuration(dim3 grid, dim3 block)
{
    const unsigned long long threads = static_cast<unsigned long long>(block.x) * block.y * block.z;
    return grid.x != 0 && grid.y != 0 && grid.z != 0 && block.x != 0 && block.y != 0 && block.z != 0 &&
           block.x <= 1024 && block.y <= 1024 && block.z <= 64 && threads <= max_block_threads &&
           grid.x <= 2147483647u && grid.y <= 65535 && grid.z <= 65535;
}

}  // namespace

namespace detail {

cudaError_t begin_launch(dim3 grid, dim3 block_dim, const void* kernel)
{
    launch_state& l = current_launch();
    if (const cudaError_t injected =
            enter({"cudaLaunchKernel", kernel, nullptr, 0, 0, grid, block_dim}, l.slot)) {
        return injected;
    }
    if (!valid_configuration(grid, block_dim)) {
        return leave(l.slot, cudaErrorInvalidConfiguration);
    }
    gridDim = grid;
    blockDim = block_dim;
    l.failed = false;
    l.error = nullptr;
    return cudaSuccess;
}

cudaError_t run_blocks(blocks_ref blocks)
{
    device_memory_access device_memory;  // open to the kernel until close()
    const unsigned long long total = static_cast<unsigned long long>(gridDim.x) * gridDim.y * gridDim.z;
    unsigned int count = host_layer::workers();
    if (count == 0) {
        count = std::max(1u, std::thread::hardware_concurrency());
    }
    count = static_cast<unsigned int>(std::min<unsigned long long>({count, max_workers, total}));

    std::vector<std::thread> helpers;
    for (unsigned int k = 1; k < count; ++k) {
        helpers.emplace_back(run_worker, blocks, total * k / count, total * (k + 1) / count);
    }
    run_worker(blocks, 0, total / count);
    for (auto& helper : helpers) {
        helper.join();
    }
    launch_state& l = current_launch();
    const cudaError_t status = device_memory.close(l.failed ? cudaErrorLaunchFailure : cudaSuccess);
    leave(l.slot, status);
    if (l.error) {
        std::rethrow_exception(l.error);  // e.g. no memory for a fiber stack: not the kernel's fault
    }
    return status;
}

void begin_block(unsigned int x, unsigned int y, unsigned int z)
{
    blockIdx = {x, y, z};
    std::memset(worker().shared, shared_poison,
                static_cast<std::size_t>(__stop_host_layer_shared - __start_host_layer_shared));
}

bool run_first_thread(body_ref body)
{
    worker_state& w = worker();
    w.body = body;
    w.current = mode::first_thread;
    const unsigned int first = w.order.front();
    threadIdx = w.coordinates[first];
    body();
    if (!w.fibers_used) {
        w.current = mode::plain;
        return false;
    }
    finish_round();
    end_block();
    return true;
}

bool launch_failed() { return current_launch().failed.load(std::memory_order_relaxed); }

}  // namespace detail
}  // namespace host_layer

void __syncthreads()
{
    host_layer::worker_state& w = host_layer::worker();
    switch (w.current) {
    case host_layer::mode::plain: throw host_layer::detail::barrier_divergence{};
    case host_layer::mode::first_thread: host_layer::barrier_round(); break;
    case host_layer::mode::fiber:
        ++w.arrivals[w.running];
        w.scheduler = std::move(w.scheduler).resume();
        break;
    }
}

float atomicAdd(float* address, float value)
{
    // Workers run blocks side by side, so the update is a compare-and-swap loop on the bits.
    auto* bits = reinterpret_cast<std::uint32_t*>(address);
    std::uint32_t expected = __atomic_load_n(bits, __ATOMIC_RELAXED);
    for (;;) {
        float old;
        std::memcpy(&old, &expected, sizeof old);
        const float updated = old + value;
        std::uint32_t desired;
        std::memcpy(&desired, &updated, sizeof desired);
        if (__atomic_compare_exchange_n(bits, &expected, desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
            return old;
        }
    }
}
