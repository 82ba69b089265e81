// The CUDA runtime the programs are built on: the real one for the GPU build, the host
// execution layer for the CPU build. Program sources include this header and nothing else of
// either.
#pragma once

#if defined(GPU_BACKEND_HOST)
#include "host/runtime.h"
#else
#include <cuda_runtime.h>
#endif
