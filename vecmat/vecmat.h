// The whole vecmat run: the four measurements in order and the eight report lines.
#pragma once

namespace vecmat {

// Element count of each dot-product operand, and the matrix shape.
inline constexpr int element_count = 1 << 20;
inline constexpr int matrix_rows = 1024;
inline constexpr int matrix_cols = 1024;

// Throws gpu::runtime_failure on the first failed runtime or library call.
void run();

}  // namespace vecmat
