// Helpers shared by the tests that run on the host execution layer.
#pragma once

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/host/control.h"
#include "common/program.h"

namespace testing_support {

struct captured_run {
    int status;
    std::string out;
    std::string err;
};

// Runs `body` as the program's main does, with standard output captured.
template <class Body> captured_run run_captured(const char* program, Body body)
{
    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    const int status = gpu::run_program(program, body, err);
    std::cout.rdbuf(saved);
    return {status, out.str(), err.str()};
}

inline std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The traced calls of one operation, in order.
inline std::vector<host_layer::traced_call> calls_of(const std::string& operation)
{
    std::vector<host_layer::traced_call> found;
    for (const auto& call : host_layer::trace()) {
        if (call.operation == operation) {
            found.push_back(call);
        }
    }
    return found;
}

// The operations traced between the recording of `start` and of the next record of any event.
inline std::vector<std::vector<std::string>> timed_intervals()
{
    std::vector<std::vector<std::string>> intervals;
    bool open = false;
    for (const auto& call : host_layer::trace()) {
        if (call.operation == "cudaEventRecord") {
            if (!open) {
                intervals.emplace_back();
            }
            open = !open;
        } else if (open) {
            intervals.back().push_back(call.operation);
        }
    }
    return intervals;
}

}  // namespace testing_support
