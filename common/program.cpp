#include "program.h"

#include <cstdlib>
#include <iostream>
#include <new>
#include <string>

#include "console.h"

namespace gpu {
namespace {

// What the running program's terminate handler needs: set by run_program for its run.
const char* running_program = nullptr;
std::ostream* running_errors = nullptr;
const char* current_step = nullptr;

// "<operation>: <reason>" for a failure. Inside a named step, the step is the operation and a
// bad_alloc is the library's (of device memory), so its own words are the reason.
std::string describe(const std::exception_ptr& failure, bool in_step)
{
    try {
        std::rethrow_exception(failure);
    } catch (const runtime_failure& f) {
        return f.operation() + ": " + f.message();
    } catch (const std::bad_alloc& f) {
        return std::string(in_step ? "" : "host memory allocation: ") + f.what();
    } catch (const std::exception& f) {
        return f.what();
    } catch (...) {
        return "an exception of unknown type";
    }
}

// Writes the one line for the exception that std::terminate was called with (the one that left
// a noexcept function, which the C++ runtime holds as caught by now), then ends the process.
[[noreturn]] void report_termination() noexcept
{
    std::string line = running_program;
    if (current_step != nullptr) {
        line += std::string(": ") + current_step;
    }
    const std::exception_ptr failure = std::current_exception();
    line += ": " + (failure ? describe(failure, current_step != nullptr)
                            : std::string("ended by std::terminate without an exception"));
    std::cout.flush();
    restore_console();  // no destructor runs from here on
    *running_errors << line << std::endl;
    std::_Exit(1);
}

// Installs the terminate handler for one run and puts the previous one back after it.
class termination_report {
  public:
    termination_report(const char* program, std::ostream& errors)
        : program_(running_program), errors_(running_errors), previous_(std::set_terminate(report_termination))
    {
        running_program = program;
        running_errors = &errors;
    }
    ~termination_report()
    {
        std::set_terminate(previous_);
        running_program = program_;
        running_errors = errors_;
    }
    termination_report(const termination_report&) = delete;
    termination_report& operator=(const termination_report&) = delete;

  private:
    const char* program_;
    std::ostream* errors_;
    std::terminate_handler previous_;
};

}  // namespace

step_scope::step_scope(const char* name) noexcept : outer_(current_step) { current_step = name; }
step_scope::~step_scope() { current_step = outer_; }

int run_program(const char* program, const std::function<void()>& body, std::ostream& errors)
{
    const utf8_console console;
    const termination_report report(program, errors);
    try {
        body();
        return 0;
    } catch (...) {
        errors << program << ": " << describe(std::current_exception(), false) << std::endl;
    }
    return 1;
}

int run_program(const char* program, const std::function<void()>& body)
{
    return run_program(program, body, std::cerr);
}

}  // namespace gpu
