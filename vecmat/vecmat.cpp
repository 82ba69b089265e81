#include "vecmat.h"

#include <chrono>
#include <iostream>
#include <vector>

#include "common/program.h"
#include "dot_product.h"
#include "report.h"
#include "thrust_paths.h"
#include "transpose.h"

namespace vecmat {
namespace {

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
        gpu::named_step("dot_product_thrust", [&] { return dot_product_thrust(a, b, element_count); });
    auto stop = std::chrono::steady_clock::now();
    std::cout << label::thrust_dot_time << whole_ms(stop - start) << label::ms << std::endl;
    std::cout << label::thrust_dot_result << dot << std::endl;

    transpose_step(matrix, transposed, matrix_rows, matrix_cols);

    start = std::chrono::steady_clock::now();
    gpu::named_step("transpose_thrust", [&] { transpose_thrust(matrix, transposed, matrix_rows, matrix_cols); });
    stop = std::chrono::steady_clock::now();
    std::cout << label::thrust_transpose_time << whole_ms(stop - start) << label::ms << std::endl;
    std::cout << label::thrust_transpose_first << transposed[0] << std::endl;
}

}  // namespace vecmat
