// The launch search that both kernels go through: every data size, then every block size,
// timed over ten launches each, and the configuration with the lowest average kept.
#pragma once

namespace gputune {

using search_kernel = void (*)(float* a, float* b, float* c, int n);

// What one search measures.
struct search_plan {
    const char* kernel_name;
    search_kernel kernel;
    int max_block_size;             // block sizes run from 32 up to this, doubling
    bool single_result;             // c holds one value (true) or one per element (false)
    bool zero_result_before_trial;  // c is zeroed before every trial
};

// The fastest configuration found. The initial values stay when no average is below 1.0e9 ms
// (or every average is NaN).
struct search_result {
    float time_ms = 1.0e9f;
    int data_size = 1048576;
    int block_size = 32;
};

inline constexpr int first_data_size = 1048576;
inline constexpr int data_size_step = 5242880;
inline constexpr int max_data_size = 10485760;
inline constexpr int first_block_size = 32;
inline constexpr int trials = 10;

// Runs the search. Every configuration gets fresh events; the buffers live for one data size.
// Each trial copies both inputs to the device (and zeroes the result where the plan says so)
// before its start event, so the interval holds the kernel alone.
search_result search_launch(const search_plan& plan);

// Prints a search's four lines under `header`.
void print_search_result(const char* header, const search_result& result);

}  // namespace gputune
