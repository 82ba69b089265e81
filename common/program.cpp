#include "program.h"

#include <iostream>
#include <new>

#include "check.h"
#include "console.h"

namespace gpu {

int run_program(const char* program, const std::function<void()>& body, std::ostream& errors)
{
    const utf8_console console;
    try {
        body();
        return 0;
    } catch (const runtime_failure& failure) {
        errors << program << ": " << failure.operation() << ": " << failure.message() << std::endl;
    } catch (const std::bad_alloc& failure) {
        errors << program << ": host memory allocation: " << failure.what() << std::endl;
    } catch (const std::exception& failure) {
        errors << program << ": " << failure.what() << std::endl;
    }
    return 1;
}

int run_program(const char* program, const std::function<void()>& body)
{
    return run_program(program, body, std::cerr);
}

}  // namespace gpu
