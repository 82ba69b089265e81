// Memory, copies, events, error strings and the test controls of the host execution layer.
//
// Device and page-locked memory are host memory that the layer tracks, so that a call naming
// memory outside a live allocation fails as the runtime does instead of touching it. Device
// memory is guarded besides (guarded_memory.h): the layer opens it only for its own work.

#include <chrono>
#include <cstring>
#include <deque>
#include <map>
#include <new>
#include <set>
#include <unordered_map>

#include "control.h"
#include "guarded_memory.h"
#include "state.h"

struct CUevent_st {
    std::chrono::steady_clock::time_point recorded_at{};
    bool recorded = false;
};

namespace host_layer {
namespace {

struct region {
    std::size_t bytes;
    bool device;
};

struct fault {
    int nth;
    cudaError_t error;
};

struct layer_state {
    std::map<std::uintptr_t, region> regions;  // by start address
    std::set<cudaEvent_t> events;
    std::vector<traced_call> calls;
    bool tracing = false;
    std::unordered_map<std::string, int> call_counts;
    std::unordered_multimap<std::string, fault> faults;
    std::deque<float> scripted_times;
    thread_order order = thread_order::ascending;
    unsigned int workers = 0;
};

layer_state& state()
{
    static layer_state s;
    return s;
}

// The tracked region that holds `p`, or null.
const std::pair<const std::uintptr_t, region>* find_region(const void* p)
{
    const auto address = reinterpret_cast<std::uintptr_t>(p);
    auto& regions = state().regions;
    auto it = regions.upper_bound(address);
    if (it == regions.begin()) {
        return nullptr;
    }
    --it;
    return address - it->first < it->second.bytes ? &*it : nullptr;
}

// Whether [p, p + bytes) ends inside the region that starts at `start`.
bool within(const void* p, std::size_t bytes, const std::pair<const std::uintptr_t, region>& r)
{
    const auto offset = reinterpret_cast<std::uintptr_t>(p) - r.first;
    return bytes <= r.second.bytes - offset;
}

bool device_range(const void* p, std::size_t bytes)
{
    const auto* r = find_region(p);
    return r != nullptr && r->second.device && within(p, bytes, *r);
}

// Host memory that the layer does not track (pageable memory) cannot be checked beyond null
// and staying clear of device pages.
bool host_range(const void* p, std::size_t bytes)
{
    const auto* r = find_region(p);
    if (r == nullptr) {
        return p != nullptr && !touches_device_pages(p, bytes);
    }
    return !r->second.device && within(p, bytes, *r);
}

// Under unified addressing a pointer says itself where it points: into a live device
// allocation, or to host memory.
bool device_pointer(const void* p)
{
    const auto* r = find_region(p);
    return r != nullptr && r->second.device;
}

cudaError_t allocate(void** ptr, std::size_t bytes, bool device)
{
    if (ptr == nullptr) {
        return cudaErrorInvalidValue;
    }
    *ptr = nullptr;
    if (bytes == 0) {
        return cudaSuccess;
    }
    void* memory =
        device ? guarded_allocate(bytes) : ::operator new (bytes, std::align_val_t{256}, std::nothrow);
    if (memory == nullptr) {
        return cudaErrorMemoryAllocation;
    }
    state().regions.emplace(reinterpret_cast<std::uintptr_t>(memory), region{bytes, device});
    *ptr = memory;
    return cudaSuccess;
}

cudaError_t release(void* ptr, bool device)
{
    if (ptr == nullptr) {
        return cudaSuccess;
    }
    auto& regions = state().regions;
    const auto it = regions.find(reinterpret_cast<std::uintptr_t>(ptr));
    if (it == regions.end() || it->second.device != device) {
        return cudaErrorInvalidValue;
    }
    regions.erase(it);
    if (device) {
        guarded_release(ptr);
    } else {
        ::operator delete (ptr, std::align_val_t{256});
    }
    return cudaSuccess;
}

bool live_event(cudaEvent_t event) { return event != nullptr && state().events.count(event) != 0; }

}  // namespace

namespace detail {

cudaError_t enter(traced_call call, std::size_t& slot)
{
    auto& s = state();
    const int count = ++s.call_counts[call.operation];
    const auto [first, last] = s.faults.equal_range(call.operation);
    for (auto it = first; it != last; ++it) {
        if (it->second.nth == count) {
            call.status = it->second.error;
        }
    }
    slot = s.calls.size();
    if (s.tracing) {
        s.calls.push_back(call);
    }
    return call.status;
}

cudaError_t leave(std::size_t slot, cudaError_t status)
{
    auto& s = state();
    if (s.tracing && slot < s.calls.size()) {
        s.calls[slot].status = status;
    }
    return status;
}

}  // namespace detail

namespace {

// Records what a call created in its trace entry.
void record_target(std::size_t slot, const void* created)
{
    if (state().tracing && slot < state().calls.size()) {
        state().calls[slot].target = created;
    }
}

// Allocates for a call that enter() accepted, and traces the new pointer.
cudaError_t allocate_traced(std::size_t slot, void** ptr, std::size_t bytes, bool device)
{
    const cudaError_t status = allocate(ptr, bytes, device);
    if (status == cudaSuccess) {
        record_target(slot, *ptr);
    }
    return detail::leave(slot, status);
}

}  // namespace

void reset()
{
    auto& s = state();
    s.calls.clear();
    s.tracing = false;
    s.call_counts.clear();
    s.faults.clear();
    s.scripted_times.clear();
    s.order = thread_order::ascending;
    s.workers = 0;
}

void set_thread_order(thread_order order) { state().order = order; }
thread_order current_thread_order() { return state().order; }
void set_workers(unsigned int workers) { state().workers = workers; }
unsigned int workers() { return state().workers; }
void set_tracing(bool on) { state().tracing = on; }
const std::vector<traced_call>& trace() { return state().calls; }

void fail_call(const std::string& operation, int nth, cudaError_t error)
{
    state().faults.emplace(operation, fault{nth, error});
}

void script_elapsed_times(std::vector<float> times_ms)
{
    state().scripted_times.assign(times_ms.begin(), times_ms.end());
}

std::size_t live_device_allocations()
{
    std::size_t n = 0;
    for (const auto& entry : state().regions) {
        n += entry.second.device ? 1 : 0;
    }
    return n;
}

std::size_t live_host_allocations() { return state().regions.size() - live_device_allocations(); }
std::size_t live_events() { return state().events.size(); }

}  // namespace host_layer

using host_layer::traced_call;
using host_layer::detail::enter;
using host_layer::detail::leave;

cudaError_t cudaMalloc(void** ptr, std::size_t bytes)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaMalloc", nullptr, nullptr, bytes}, slot)) {
        return injected;
    }
    return host_layer::allocate_traced(slot, ptr, bytes, true);
}

cudaError_t cudaFree(void* ptr)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaFree", ptr}, slot)) {
        return injected;
    }
    return leave(slot, host_layer::release(ptr, true));
}

// The typed cudaMallocHost of the runtime's header comes here, with flags 0 (default memory).
cudaError_t cudaHostAlloc(void** ptr, std::size_t bytes, unsigned int flags)
{
    std::size_t slot;
    if (const cudaError_t injected =
            enter({"cudaHostAlloc", nullptr, nullptr, bytes, static_cast<int>(flags)}, slot)) {
        return injected;
    }
    return host_layer::allocate_traced(slot, ptr, bytes, false);
}

cudaError_t cudaFreeHost(void* ptr)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaFreeHost", ptr}, slot)) {
        return injected;
    }
    return leave(slot, host_layer::release(ptr, false));
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t bytes, cudaMemcpyKind kind)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaMemcpy", dst, src, bytes, kind}, slot)) {
        return injected;
    }
    bool dst_device = false;
    bool src_device = false;
    switch (kind) {
    case cudaMemcpyHostToHost: break;
    case cudaMemcpyHostToDevice: dst_device = true; break;
    case cudaMemcpyDeviceToHost: src_device = true; break;
    case cudaMemcpyDeviceToDevice: dst_device = src_device = true; break;
    case cudaMemcpyDefault:
        dst_device = host_layer::device_pointer(dst);
        src_device = host_layer::device_pointer(src);
        break;
    default: return leave(slot, cudaErrorInvalidMemcpyDirection);
    }
    const auto in_range = [bytes](const void* p, bool device) {
        return device ? host_layer::device_range(p, bytes) : host_layer::host_range(p, bytes);
    };
    const bool valid = in_range(dst, dst_device) && in_range(src, src_device);
    if (bytes == 0) {
        return cudaSuccess;
    }
    if (!valid) {
        return leave(slot, cudaErrorInvalidValue);
    }
    // Source first: when both lie in one buffer, the destination's access is the one that holds.
    const host_layer::device_buffer_access source(src_device ? src : nullptr, false);
    const host_layer::device_buffer_access destination(dst_device ? dst : nullptr, true);
    std::memmove(dst, src, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemset(void* ptr, int value, std::size_t bytes)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaMemset", ptr, nullptr, bytes, value}, slot)) {
        return injected;
    }
    if (bytes == 0) {
        return cudaSuccess;
    }
    if (!host_layer::device_range(ptr, bytes)) {
        return leave(slot, cudaErrorInvalidValue);
    }
    const host_layer::device_buffer_access buffer(ptr, true);
    std::memset(ptr, value, bytes);
    return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaEventCreate"}, slot)) {
        return injected;
    }
    if (event == nullptr) {
        return leave(slot, cudaErrorInvalidValue);
    }
    *event = new CUevent_st;
    host_layer::state().events.insert(*event);
    host_layer::record_target(slot, *event);
    return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaEventDestroy", event}, slot)) {
        return injected;
    }
    if (!host_layer::live_event(event)) {
        return leave(slot, cudaErrorInvalidResourceHandle);
    }
    host_layer::state().events.erase(event);
    delete event;
    return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaEventRecord", event, stream}, slot)) {
        return injected;
    }
    // Only the default stream exists here.
    if (!host_layer::live_event(event) || stream != nullptr) {
        return leave(slot, cudaErrorInvalidResourceHandle);
    }
    event->recorded_at = std::chrono::steady_clock::now();
    event->recorded = true;
    return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaEventSynchronize", event}, slot)) {
        return injected;
    }
    // Work runs to its end when it is issued, so a recorded event has always been reached.
    return leave(slot, host_layer::live_event(event) ? cudaSuccess : cudaErrorInvalidResourceHandle);
}

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t stop)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaEventElapsedTime", start, stop}, slot)) {
        return injected;
    }
    if (ms == nullptr) {
        return leave(slot, cudaErrorInvalidValue);
    }
    if (!host_layer::live_event(start) || !host_layer::live_event(stop) || !start->recorded ||
        !stop->recorded) {
        return leave(slot, cudaErrorInvalidResourceHandle);
    }
    auto& scripted = host_layer::state().scripted_times;
    if (!scripted.empty()) {
        *ms = scripted.front();
        scripted.pop_front();
    } else {
        *ms = std::chrono::duration<float, std::milli>(stop->recorded_at - start->recorded_at).count();
    }
    return cudaSuccess;
}

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attributes, const void* func)
{
    std::size_t slot;
    if (const cudaError_t injected = enter({"cudaFuncGetAttributes", func}, slot)) {
        return injected;
    }
    if (attributes == nullptr) {
        return leave(slot, cudaErrorInvalidValue);
    }
    if (func == nullptr) {
        return leave(slot, cudaErrorInvalidDeviceFunction);
    }
    *attributes = cudaFuncAttributes{};
    attributes->maxThreadsPerBlock = 1024;
    return cudaSuccess;
}

const char* cudaGetErrorString(cudaError_t error)
{
    switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorInsufficientDriver: return "CUDA driver version is insufficient for CUDA runtime version";
    case cudaErrorInvalidDeviceFunction: return "invalid device function";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorNotReady: return "device not ready";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorUnknown: return "unknown error";
    default: break;
    }
    return "unrecognized error code";
}

const char* cudaGetErrorName(cudaError_t error)
{
    switch (error) {
    case cudaSuccess: return "cudaSuccess";
    case cudaErrorInvalidValue: return "cudaErrorInvalidValue";
    case cudaErrorMemoryAllocation: return "cudaErrorMemoryAllocation";
    case cudaErrorInitializationError: return "cudaErrorInitializationError";
    case cudaErrorInvalidConfiguration: return "cudaErrorInvalidConfiguration";
    case cudaErrorInvalidMemcpyDirection: return "cudaErrorInvalidMemcpyDirection";
    case cudaErrorInsufficientDriver: return "cudaErrorInsufficientDriver";
    case cudaErrorInvalidDeviceFunction: return "cudaErrorInvalidDeviceFunction";
    case cudaErrorNoDevice: return "cudaErrorNoDevice";
    case cudaErrorInvalidResourceHandle: return "cudaErrorInvalidResourceHandle";
    case cudaErrorNotReady: return "cudaErrorNotReady";
    case cudaErrorLaunchFailure: return "cudaErrorLaunchFailure";
    case cudaErrorIllegalAddress: return "cudaErrorIllegalAddress";
    case cudaErrorUnknown: return "cudaErrorUnknown";
    default: break;
    }
    return "cudaErrorUnknown";
}
