// Device memory of the host execution layer, guarded so that a stray access shows.
//
// Each buffer has pages of its own, between guard pages that nothing may touch. It starts on a
// 256-byte boundary and ends at the next 256-byte boundary after its last byte, right where
// the guard pages begin; the bytes of its pages that lie outside it (its slack) hold canary
// values. So:
// - an access at or past the buffer's next 256-byte boundary, or before its first page, stops
//   the process with SIGSEGV, from a kernel or from host code alike;
// - a write into the slack (past the end but before that boundary, or before the start on the
//   same page) changes a canary, and the launch that did it fails with cudaErrorIllegalAddress;
// - a read of the slack cannot be caught: it yields a canary, which reads as NaN both as float
//   and as double. A GPU lets such a read through as well; only its sanitizer reports it.
// Device pages are closed (PROT_NONE) except while the layer's own copies, memsets and launches
// need them, so host code that dereferences a device pointer faults as on a GPU machine.
//
// Host memory, pageable or page-locked, is never closed: host code may always touch it.
#pragma once

#include <cstddef>

#include "runtime.h"

namespace host_layer {

// A buffer of `bytes` (> 0) device bytes, each 0xFF, closed; null when there is no memory.
void* guarded_allocate(std::size_t bytes);

// Unmaps a buffer that guarded_allocate returned.
void guarded_release(void* buffer);

// Whether [p, p + bytes) touches the pages of any device buffer, guard pages included.
bool touches_device_pages(const void* p, std::size_t bytes);

// Opens the device buffer that holds `p` (null: none) to the layer's own copy or memset for
// the lifetime of this object.
class device_buffer_access {
  public:
    device_buffer_access(const void* p, bool writable);
    ~device_buffer_access();
    device_buffer_access(const device_buffer_access&) = delete;
    device_buffer_access& operator=(const device_buffer_access&) = delete;

  private:
    const void* p_;
};

// Opens every device buffer to a launch's kernel until close() or destruction.
class device_memory_access {
  public:
    device_memory_access();
    ~device_memory_access();
    device_memory_access(const device_memory_access&) = delete;
    device_memory_access& operator=(const device_memory_access&) = delete;

    // Closes device memory again and returns the launch's status: cudaErrorIllegalAddress when
    // the kernel wrote into a buffer's slack (the canaries are restored for later launches),
    // otherwise `status`.
    cudaError_t close(cudaError_t status);

  private:
    bool open_ = true;
};

}  // namespace host_layer
