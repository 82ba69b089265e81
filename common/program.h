// The frame of a program's run: every failure becomes one line on standard error and exit
// status 1, so that exit status 0 means every printed line is a real measurement.
#pragma once

#include <functional>
#include <iosfwd>

namespace gpu {

// Runs `body`. Returns 0 when it returns; when it throws, writes "<program>: <operation>:
// <reason>" to `errors` and returns 1. Lines already written to standard output stay there.
int run_program(const char* program, const std::function<void()>& body, std::ostream& errors);
int run_program(const char* program, const std::function<void()>& body);

}  // namespace gpu
