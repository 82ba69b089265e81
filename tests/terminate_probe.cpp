// A program whose step fails and whose release then throws while that failure unwinds, as a
// device vector freed after a sticky GPU error does: the C++ runtime calls std::terminate.
// With the argument "outside", the failing release is not inside a named step.
#include <iostream>
#include <stdexcept>
#include <string>

#include "common/check.h"
#include "common/program.h"

namespace {

bool in_step = true;

[[noreturn]] void free_after_sticky_error()
{
    const char* reason = "an illegal memory access was encountered";
    if (in_step) {
        throw std::runtime_error(std::string("CUDA free failed: cudaErrorIllegalAddress: ") + reason);
    }
    throw gpu::runtime_failure("cudaFree", reason, reason);
}

struct device_storage {
    ~device_storage() noexcept { free_after_sticky_error(); }
};

void failing_step()
{
    device_storage storage;
    throw std::runtime_error("transform_reduce failed: cudaErrorIllegalAddress");
}

}  // namespace

int main(int argc, char** argv)
{
    in_step = !(argc > 1 && std::string(argv[1]) == "outside");
    return gpu::run_program("vecmat", [] {
        std::cout << "a line printed before" << std::endl;
        std::cout << "and one not yet flushed";
        if (in_step) {
            gpu::named_step("dot_product_thrust", failing_step);
        } else {
            failing_step();
        }
    });
}
