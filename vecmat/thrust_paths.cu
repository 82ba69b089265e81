#include "thrust_paths.h"

#include <thrust/copy.h>
#include <thrust/device_vector.h>
#include <thrust/for_each.h>
#include <thrust/functional.h>
#include <thrust/iterator/counting_iterator.h>
#include <thrust/iterator/zip_iterator.h>
#include <thrust/transform_reduce.h>

namespace vecmat {

float dot_product_thrust(const std::vector<float>& a, const std::vector<float>& b, int /*n*/)
{
    thrust::device_vector<float> device_a(a.begin(), a.end());
    thrust::device_vector<float> device_b(b.begin(), b.end());
    const auto first = thrust::make_zip_iterator(thrust::make_tuple(device_a.begin(), device_b.begin()));
    const auto last = thrust::make_zip_iterator(thrust::make_tuple(device_a.end(), device_b.end()));
    return thrust::transform_reduce(first, last, multiply_and_add(), 0.0f, thrust::plus<float>());
}

void transpose_thrust(const std::vector<float>& in, std::vector<float>& out, int rows, int cols)
{
    thrust::device_vector<float> device_in(in.begin(), in.end());
    thrust::device_vector<float> device_out(out.size());
    float* in_ptr = thrust::raw_pointer_cast(device_in.data());
    float* out_ptr = thrust::raw_pointer_cast(device_out.data());
    // Index idx names output element (row j, column i) = input element (row i, column j), so
    // neighbouring indices write neighbouring output elements.
    thrust::for_each(thrust::counting_iterator<int>(0), thrust::counting_iterator<int>(rows * cols),
                     [rows, out_ptr, in_ptr, cols] __device__(int idx) {
                         const int j = idx / rows;
                         const int i = idx % rows;
                         out_ptr[j * rows + i] = in_ptr[i * cols + j];
                     });
    thrust::copy(device_out.begin(), device_out.end(), out.begin());
}

}  // namespace vecmat
