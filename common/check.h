// Checked runtime calls: a status other than cudaSuccess becomes a runtime_failure that names
// the operation and carries the runtime's own words for the error; what() adds the call's text
// and the error's name.
#pragma once

#include <stdexcept>
#include <string>

#include "gpu_runtime.h"

namespace gpu {

class runtime_failure : public std::runtime_error {
  public:
    // `operation` is what failed ("cudaMalloc"), `message` the reason ("out of memory"),
    // `detail` the full account for what().
    runtime_failure(std::string operation, std::string message, const std::string& detail)
        : std::runtime_error(detail), operation_(std::move(operation)), message_(std::move(message))
    {
    }

    const std::string& operation() const noexcept { return operation_; }
    const std::string& message() const noexcept { return message_; }

    // The same failure as one of `step` (the kernel or copy being timed, say), unless its
    // operation already names it.
    runtime_failure within(const std::string& step) const
    {
        if (operation_.find(step) != std::string::npos) {
            return *this;
        }
        return runtime_failure(step + ": " + operation_, message_, step + ": " + what());
    }

  private:
    std::string operation_;
    std::string message_;
};

// The name of the called function: the text of `call` up to its first parenthesis.
inline std::string operation_of(const std::string& call)
{
    const auto paren = call.find('(');
    return paren == std::string::npos ? call : call.substr(0, paren);
}

inline void check(cudaError_t status, const std::string& operation, const char* call)
{
    if (status != cudaSuccess) {
        throw runtime_failure(operation, cudaGetErrorString(status),
                              std::string(call) + ": " + cudaGetErrorName(status) + ": " +
                                  cudaGetErrorString(status));
    }
}

inline void check(cudaError_t status, const char* call) { check(status, operation_of(call), call); }

}  // namespace gpu

// Runs a runtime call and throws gpu::runtime_failure if it fails.
#define GPU_CHECK(call) ::gpu::check((call), #call)
