// Test controls of the host execution layer: the order in which a block's threads run, the
// trace of runtime calls, injected failures, scripted event times and counts of what is live.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "runtime.h"

namespace host_layer {

enum class thread_order { ascending, descending };

// One runtime call as the layer saw it. Fields that an operation does not have stay null/zero.
struct traced_call {
    std::string operation;         // "cudaMemcpy", "cudaLaunchKernel", ...
    const void* target = nullptr;  // destination, freed pointer, event or kernel
    const void* source = nullptr;  // copy source, or the stop event of an elapsed-time query
    std::size_t bytes = 0;         // bytes allocated, copied or set
    int kind = 0;                  // copy kind, or memset value
    dim3 grid{0, 0, 0};            // launch geometry
    dim3 block{0, 0, 0};
    cudaError_t status = cudaSuccess;
};

// Clears the trace, injected failures, scripted times and call counts, stops tracing and sets
// the ascending thread order. Live allocations and events stay as they are.
void reset();

void set_thread_order(thread_order order);

// Worker threads that share a launch's blocks; 0 (the default) means one per core.
void set_workers(unsigned int workers);
unsigned int workers();
thread_order current_thread_order();

void set_tracing(bool on);
const std::vector<traced_call>& trace();

// The nth call (counted from 1 since the last reset) of `operation` fails with `error` and does
// nothing else.
void fail_call(const std::string& operation, int nth, cudaError_t error);

// cudaEventElapsedTime hands out these values, in order, instead of measured times.
void script_elapsed_times(std::vector<float> times_ms);

std::size_t live_device_allocations();
std::size_t live_host_allocations();
std::size_t live_events();
// Contexts of block threads that have started and not ended; none outlives its launch.
std::size_t live_thread_contexts();

}  // namespace host_layer
