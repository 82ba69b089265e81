// Owners of what the programs obtain from the runtime. Each is released explicitly, with its
// status checked, where the measurement says; the destructor only releases what a failure left
// behind, ignoring the status, since the failure is already being reported.
#pragma once

#include <cstddef>

#include "check.h"
#include "gpu_runtime.h"

namespace gpu {

template <class T, cudaError_t (*Free)(void*)> class runtime_array {
  public:
    runtime_array(const runtime_array&) = delete;
    runtime_array& operator=(const runtime_array&) = delete;
    ~runtime_array()
    {
        if (ptr_ != nullptr) {
            Free(ptr_);
        }
    }

    T* get() const noexcept { return ptr_; }

    void release(const char* call)
    {
        T* ptr = ptr_;
        ptr_ = nullptr;
        check(Free(ptr), call);
    }

  protected:
    runtime_array() = default;
    T* ptr_ = nullptr;
};

inline cudaError_t free_device(void* ptr) { return cudaFree(ptr); }
inline cudaError_t free_page_locked(void* ptr) { return cudaFreeHost(ptr); }

// Device memory for `count` values of T (cudaMalloc / cudaFree).
template <class T> class device_array : public runtime_array<T, free_device> {
  public:
    explicit device_array(std::size_t count) { GPU_CHECK(cudaMalloc(&this->ptr_, count * sizeof(T))); }
    void release() { runtime_array<T, free_device>::release("cudaFree"); }
};

// Page-locked host memory for `count` values of T (cudaMallocHost / cudaFreeHost).
template <class T> class page_locked_array : public runtime_array<T, free_page_locked> {
  public:
    explicit page_locked_array(std::size_t count)
    {
        GPU_CHECK(cudaMallocHost(&this->ptr_, count * sizeof(T)));
    }
    void release() { runtime_array<T, free_page_locked>::release("cudaFreeHost"); }
};

// A GPU event with default flags.
class event {
  public:
    event() { GPU_CHECK(cudaEventCreate(&event_)); }
    event(const event&) = delete;
    event& operator=(const event&) = delete;
    ~event()
    {
        if (event_ != nullptr) {
            cudaEventDestroy(event_);
        }
    }

    cudaEvent_t get() const noexcept { return event_; }

    void release()
    {
        cudaEvent_t e = event_;
        event_ = nullptr;
        GPU_CHECK(cudaEventDestroy(e));
    }

  private:
    cudaEvent_t event_ = nullptr;
};

// Times `work`, the kernel or copy `name`, on the default stream: start is recorded before it is
// issued, stop after it, and the milliseconds between them are read once stop has been reached.
// Whatever was issued before the call is complete before start, since the stream runs in order.
// A failure in the interval is reported as one of `name`: a kernel's fault, say, surfaces at
// the synchronisation on stop.
template <class Work>
float time_with_events(const char* name, const event& start, const event& stop, Work&& work)
{
    try {
        GPU_CHECK(cudaEventRecord(start.get(), 0));
        work();
        GPU_CHECK(cudaEventRecord(stop.get(), 0));
        GPU_CHECK(cudaEventSynchronize(stop.get()));
        float ms = 0.0f;
        GPU_CHECK(cudaEventElapsedTime(&ms, start.get(), stop.get()));
        return ms;
    } catch (const runtime_failure& failure) {
        throw failure.within(name);
    }
}

}  // namespace gpu
