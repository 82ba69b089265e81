// The host execution layer: the subset of the CUDA runtime that the programs use, run on the
// CPU, so that the same kernel and host-path sources build with g++ and run in tests.
//
// The layer is built on the toolkit's own runtime headers: they give the types (dim3,
// cudaError_t, cudaFuncAttributes, ...) and the declarations, and the layer supplies only the
// bodies of the calls it implements (runtime.cpp, executor.cpp). Nothing links the real
// runtime library, so a call outside that subset fails to link instead of failing at run time.
// Keeping the toolkit's headers off the include path would not work anyway: CCCL includes
// <cuda_runtime_api.h> whenever it can find it, and on some machines it sits in a default
// include directory.
#pragma once

#include <cuda_runtime.h>

// Under a host compiler the toolkit defines the qualifiers as nothing. Block-shared arrays
// instead live in one section of thread-local storage: each worker thread runs its blocks one
// after another, so one instance per worker serves all its blocks, and the layer poisons the
// whole section at the start of every block. (GCC ignores the section of a static local in a
// function template, so such arrays start a block with what the last block left.)
#undef __shared__
#define __shared__ static thread_local __attribute__((section("host_layer_shared")))

// The coordinates of the thread that runs now on this worker; set before each thread runs.
extern __thread uint3 threadIdx;
extern __thread uint3 blockIdx;
extern dim3 blockDim;
extern dim3 gridDim;

#include "barrier.h"

// Adds `value` to `*address` indivisibly and returns the previous value.
float atomicAdd(float* address, float value);
