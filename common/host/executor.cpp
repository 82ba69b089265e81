// Execution of a grid on the host execution layer.
//
// Each worker (an OS thread) runs a contiguous share of the blocks. Within a block the first
// thread (in the chosen order) runs on the worker's own stack. When it meets no barrier, the
// others run as a plain loop (see launch.h). When it meets one, every other thread runs as a
// context of its own (context_switch.h), and the block's threads form a ring in their order:
// at a barrier each thread switches straight to the next, and the last back to the first, so
// that every thread reaches barrier k before any passes it, at one switch per thread. A thread
// that finishes while the first waits at a barrier, or waits at a barrier while the first has
// finished, fails the launch. Threads other than the first usually hand on from the kernel's
// own frame (barrier.h); every other case comes through barrier() below.

#include <sys/mman.h>
#include <unistd.h>

#include <link.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "context_switch.h"
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

using detail::context;
using detail::stack_memory;

// Block-shared memory holds this byte at the start of every block.
constexpr unsigned char shared_poison = 0xFF;
constexpr std::size_t thread_stack_bytes = 64 * 1024;
constexpr unsigned int max_block_threads = 1024;
constexpr unsigned int max_workers = 16;

// Whether barrier.h switches from the kernel's frame: with the layer's own switch, outside
// AddressSanitizer builds (which must hear of every switch).
#if defined(HOST_LAYER_INLINE_BARRIER)
constexpr bool inline_barrier = true;
#else
constexpr bool inline_barrier = false;
#endif

// Contexts started and not yet ended, in all workers.
std::atomic<std::size_t> started_contexts{0};

// The stacks of one worker's thread contexts, in one mapping, each with an inaccessible page
// below it so that an overflow faults instead of overwriting its neighbour.
class thread_stacks {
  public:
    thread_stacks() = default;
    thread_stacks(const thread_stacks&) = delete;
    thread_stacks& operator=(const thread_stacks&) = delete;
    ~thread_stacks() { release(); }

    // Makes room for `count` stacks. Stacks handed out earlier stay valid while count does not
    // grow, so it grows only while no context is live.
    void reserve(std::size_t count)
    {
        if (count <= count_) {
            return;
        }
        release();
        void* mapping = mmap(nullptr, count * stride(), PROT_READ | PROT_WRITE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (mapping == MAP_FAILED) {
            throw std::bad_alloc();
        }
        base_ = static_cast<unsigned char*>(mapping);
        count_ = count;
        for (std::size_t k = 0; k < count; ++k) {
            mprotect(base_ + k * stride(), page(), PROT_NONE);
        }
    }

    stack_memory operator[](std::size_t k) const
    {
        return {base_ + k * stride() + page(), thread_stack_bytes};
    }

  private:
    static std::size_t page() { return static_cast<std::size_t>(sysconf(_SC_PAGESIZE)); }
    static std::size_t stride() { return thread_stack_bytes + page(); }

    void release()
    {
        if (base_ != nullptr) {
            munmap(base_, count_ * stride());
        }
        base_ = nullptr;
        count_ = 0;
    }

    unsigned char* base_ = nullptr;
    std::size_t count_ = 0;
};

// What a thread does when it hands control on: wait at a barrier, or end its part of the block.
enum class arrival { barrier, finished };

// Thrown on a thread's own stack to unwind it when the launch ends with it still suspended.
struct thread_abandoned {};

// What one worker knows of the block it runs.
struct worker_state {
    bool plain = true;  // the threads run straight through: a barrier met now is divergence
    detail::body_ref body{};
    // By ring place, first thread first, in the chosen order (see barrier_ring). The first
    // thread runs on the worker's own stack.
    std::vector<context> contexts;
    std::vector<uint3> coordinates;
    arrival round = arrival::barrier;  // what the first thread did in the current round
    bool ring_used = false;            // the first thread met a barrier in this block
    bool contexts_made = false;        // in this launch
    bool diverged = false;             // a thread arrived otherwise than the first
    std::exception_ptr fault;          // thrown by a kernel on a thread's own stack
    thread_stacks stacks;
    unsigned char* shared = nullptr;  // this worker's block-shared section
};

worker_state& worker()
{
    static thread_local worker_state w;
    return w;
}

// Position, thread count and end of the launch live where the inline barrier reads them.
using detail::current_ring;

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

// A thread other than the first arrives at a barrier or at its end. It hands control on round
// the ring, or straight back to the first thread when it arrived otherwise than the first did.
inline void arrive(worker_state& w, arrival how)
{
    unsigned int next = detail::next_place();
    if (how != w.round) [[unlikely]] {
        w.diverged = true;
        next = 0;
    }
    detail::hand_on(next);
    if (current_ring.ending) [[unlikely]] {
        detail::abandon_thread();
    }
}

// The life of a thread's context: it runs the thread for every block of the launch whose first
// thread meets a barrier, and ends when the launch does.
context* run_thread(void* state)
{
    auto& w = *static_cast<worker_state*>(state);
    started_contexts.fetch_add(1, std::memory_order_relaxed);
    while (!current_ring.ending) {
        bool faulted = false;
        try {
            w.body();
            arrive(w, arrival::finished);
        } catch (const thread_abandoned&) {
            break;
        } catch (...) {
            w.fault = std::current_exception();
            faulted = true;
        }
        // Hand over outside the handler: the exception being handled belongs to the OS thread.
        if (faulted) {
            detail::hand_on(0);
        }
    }
    started_contexts.fetch_sub(1, std::memory_order_relaxed);
    return &w.contexts[0];
}

void make_contexts(worker_state& w)
{
    w.stacks.reserve(current_ring.threads);
    for (std::size_t k = 1; k < current_ring.threads; ++k) {
        detail::prepare_context(w.contexts[k], w.stacks[k], run_thread, &w);
    }
    w.contexts_made = true;
}

// The first thread hands control round the ring and gets it back once every other thread has
// arrived as it did.
void first_thread_round(worker_state& w, arrival how)
{
    if (current_ring.threads == 1) {
        return;
    }
    w.round = how;
    current_ring.inline_round = inline_barrier && how == arrival::barrier;
    detail::hand_on(1);
    if (w.fault) {
        std::rethrow_exception(std::exchange(w.fault, nullptr));
    }
    if (w.diverged) {
        throw detail::barrier_divergence{};
    }
}

void begin_worker()
{
    worker_state& w = worker();
    const unsigned int threads = blockDim.x * blockDim.y * blockDim.z;
    w.contexts.clear();
    w.contexts.resize(threads + 1);
    w.coordinates.resize(threads);
    current_ring.threads = threads;
    current_ring.contexts = w.contexts.data();
    current_ring.coordinates = w.coordinates.data();
    for (unsigned int k = 0; k < threads; ++k) {
        const unsigned int t = current_thread_order() == thread_order::descending ? threads - 1 - k : k;
        w.coordinates[k] = {t % blockDim.x, t / blockDim.x % blockDim.y, t / (blockDim.x * blockDim.y)};
    }
    current_ring.position = 0;
    w.diverged = false;
    w.fault = nullptr;
    w.plain = true;
    if (w.shared == nullptr) {
        w.shared = locate_shared_section();
    }
}

// Lets every context end normally: one still inside a block unwinds its thread's frames first.
void end_worker()
{
    worker_state& w = worker();
    if (w.contexts_made) {
        current_ring.ending = true;
        for (std::size_t k = 1; k < current_ring.threads; ++k) {
            current_ring.position = static_cast<unsigned int>(k);
            detail::switch_context(w.contexts[0], w.contexts[k]);
        }
        current_ring.ending = false;
        w.contexts_made = false;
    }
    current_ring.position = 0;
    w.plain = true;
}

// Runs the blocks [first, last) on this thread; a failure marks the whole launch failed.
void run_worker(detail::blocks_ref blocks, unsigned long long first, unsigned long long last)
{
    launch_state& l = current_launch();
    try {
        begin_worker();
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
        std::rethrow_exception(l.error);  // e.g. no memory for thread stacks: not the kernel's fault
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
    w.plain = false;
    w.ring_used = false;
    threadIdx = w.coordinates[0];
    body();
    if (w.ring_used) {
        first_thread_round(w, arrival::finished);
    }
    w.plain = true;
    return w.ring_used;
}

bool launch_failed() { return current_launch().failed.load(std::memory_order_relaxed); }

}  // namespace detail

std::size_t live_thread_contexts() { return started_contexts.load(); }

}  // namespace host_layer

namespace host_layer {
namespace {

// The first thread of a block meets a barrier, or a thread of a plain loop does (which means
// the first thread never met it).
[[gnu::noinline]] void first_thread_barrier(worker_state& w)
{
    if (w.plain) {
        throw detail::barrier_divergence{};
    }
    if (!w.contexts_made) {
        make_contexts(w);
    }
    w.ring_used = true;
    first_thread_round(w, arrival::barrier);
}

}  // namespace
}  // namespace host_layer

namespace host_layer::detail {

__thread barrier_ring current_ring;

void barrier()
{
    worker_state& w = worker();
    if (current_ring.position != 0) {
        arrive(w, arrival::barrier);
    } else {
        first_thread_barrier(w);
    }
}

[[gnu::noinline]] void abandon_thread() { throw thread_abandoned{}; }

}  // namespace host_layer::detail

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
