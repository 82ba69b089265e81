// The frame of a program's run: every failure becomes one line on standard error and exit
// status 1, so that exit status 0 means every printed line is a real measurement.
#pragma once

#include <exception>
#include <functional>
#include <iosfwd>
#include <string>

#include "check.h"

namespace gpu {

// Runs `body`. Returns 0 when it returns; when it throws, writes "<program>: <operation>:
// <reason>" to `errors` and returns 1. Lines already written to standard output stay there.
//
// The same holds when the process would end through std::terminate during `body`, as when a
// library's release throws while an earlier failure unwinds (a device vector freed after a
// sticky GPU error): the line, naming the step that ran, is written, standard output is
// flushed and the process exits with status 1 at once, without unwinding further.
int run_program(const char* program, const std::function<void()>& body, std::ostream& errors);
int run_program(const char* program, const std::function<void()>& body);

// Marks the step that runs while it lives, for the line of a failure that ends the process
// through std::terminate, where no handler can name it. Steps nest; the innermost is named.
class step_scope {
  public:
    explicit step_scope(const char* name) noexcept;
    ~step_scope();
    step_scope(const step_scope&) = delete;
    step_scope& operator=(const step_scope&) = delete;

  private:
    const char* outer_;
};

// Runs `call`, the program's step `name` (a library call, say), and returns what it returns.
// A failure it throws is reported under that name: a runtime_failure as within(name), any
// other exception (a library's system_error or bad_alloc) with its what() as the reason.
template <class Call> auto named_step(const char* name, Call&& call) -> decltype(call())
{
    const step_scope scope(name);
    try {
        return call();
    } catch (const runtime_failure& failure) {
        throw failure.within(name);
    } catch (const std::exception& failure) {
        throw runtime_failure(name, failure.what(), std::string(name) + ": " + failure.what());
    }
}

}  // namespace gpu
