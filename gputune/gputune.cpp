#include "gputune.h"

#include <iostream>

#include "dot_product.h"
#include "memory_copy.h"
#include "vector_add.h"

namespace gputune {

void run()
{
    benchmark_memory_copy(copy_bytes, false);
    std::cout << '\n';  // the empty line between the two copy reports, not flushed
    benchmark_memory_copy(copy_bytes, true);
    optimize_vector_add();
    optimize_dot_product();
}

}  // namespace gputune
