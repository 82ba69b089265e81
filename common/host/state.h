// Call accounting shared by the parts of the host execution layer.
#pragma once

#include <cstddef>

#include "control.h"

namespace host_layer::detail {

// Counts and traces a call. Returns the injected failure for this call, or cudaSuccess; `slot`
// names the call for leave().
cudaError_t enter(traced_call call, std::size_t& slot);
// Records the call's final status and returns it.
cudaError_t leave(std::size_t slot, cudaError_t status);

}  // namespace host_layer::detail
