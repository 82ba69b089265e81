// The labels of the eight report lines, as UTF-8 bytes.
#pragma once

namespace vecmat::label {

inline constexpr const char* kernel_dot_time = "Время выполнения скалярного произведения (CUDA): ";
inline constexpr const char* kernel_dot_result = "Скалярное произведение (CUDA): ";
inline constexpr const char* thrust_dot_time = "Время выполнения скалярного произведения (Thrust): ";
inline constexpr const char* thrust_dot_result = "Скалярное произведение (Thrust): ";
inline constexpr const char* kernel_transpose_time = "Время выполнения транспонирования (CUDA): ";
inline constexpr const char* kernel_transpose_first = "Транспонированная матрица (CUDA): первый элемент: ";
inline constexpr const char* thrust_transpose_time = "Время выполнения транспонирования (Thrust): ";
inline constexpr const char* thrust_transpose_first = "Транспонированная матрица (Thrust): первый элемент: ";
// The unit after every time.
inline constexpr const char* ms = " мс";

}  // namespace vecmat::label
