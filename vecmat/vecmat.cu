#include "vecmat.h"

#include <chrono>
#include <iostream>
#include <new>
#include <vector>

#include <thrust/system/system_error.h>

#include "common/check.h"
#include "dot_product.h"
#include "report.h"
#include "thrust_paths.h"
#include "transpose.h"

namespace vecmat {
namespace {

// Runs a library call; a failure it throws becomes a runtime_failure naming the call.
template <class Call> auto library_call(const char* name, Call&& call) -> decltype(call())
{
    try {
        return call();
    } catch (const thrust::system::system_error& failure) {
        throw gpu::runtime_failure(name, failure.what(), failure.what());
    } catch (const std::bad_alloc& failure) {
        throw gpu::runtime_failure(name, failure.what(), failure.what());
    }
}

std::chrono::milliseconds::rep whole_ms(std::chrono::steady_clock::duration elapsed)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

}  // namespace

void run()
{
    const std::vector<float> a(element_count, 1.0f);
    const std::vector<float> b(element_count, 2.0f);
    const std::vector<float> matrix(static_cast<std::size_t>(matrix_rows) * matrix_cols, 1.0f);
    std::vector<float> transposed(matrix.size(), 0.0f);

    dot_product_step(a, b, element_count);

    auto start = std::chrono::steady_clock::now();
    const float dot =
        library_call("dot_product_thrust", [&] { return dot_product_thrust(a, b, element_count); });
    auto stop = std::chrono::steady_clock::now();
    std::cout << label::thrust_dot_time << whole_ms(stop - start) << label::ms << std::endl;
    std::cout << label::thrust_dot_result << dot << std::endl;

    transpose_step(matrix, transposed, matrix_rows, matrix_cols);

    start = std::chrono::steady_clock::now();
    library_call("transpose_thrust", [&] { transpose_thrust(matrix, transposed, matrix_rows, matrix_cols); });
    stop = std::chrono::steady_clock::now();
    std::cout << label::thrust_transpose_time << whole_ms(stop - start) << label::ms << std::endl;
    std::cout << label::thrust_transpose_first << transposed[0] << std::endl;
}

}  // namespace vecmat
