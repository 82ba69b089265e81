// A program frame like vecmat's and gputune's: gpu::run_program runs a body that writes report
// lines (UTF-8 labels, floats in the stream's default format) to std::cout. The console's output
// code page is logged to the file named by the second argument before, during and after the run.
//
//   console_driver report LOG     the run succeeds
//   console_driver failure LOG    the body writes a line and fails: a one-line error, status 1
//   console_driver terminate LOG  a release throws while a failure unwinds: run_program's
//                                 terminate handler restores the console, then writes its line
//   console_driver restore LOG    restore_console() during the run, twice: the second call, and
//                                 the guard's end, leave a code page set since then alone
//   console_driver nested LOG     a run inside the run: its end leaves the code page as it is
//
// Where standard output is a console, the driver first sets its code page to 866 (a Russian
// console's usual one) so that the switch and its undoing show. Built natively on Linux it gives
// the reference bytes of the report and logs "-" for the code pages.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <streambuf>
#include <string>

#include "common/check.h"
#include "common/console.h"
#include "common/program.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace {

std::FILE* code_page_log = nullptr;

void log_code_page(const char* when)
{
#if defined(_WIN32)
    std::fprintf(code_page_log, "%s %u\n", when, GetConsoleOutputCP());
#else
    std::fprintf(code_page_log, "%s -\n", when);
#endif
    std::fflush(code_page_log);
}

void set_code_page([[maybe_unused]] unsigned code_page)
{
#if defined(_WIN32)
    SetConsoleOutputCP(code_page);
#endif
}

bool output_is_console()
{
#if defined(_WIN32)
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
#else
    return false;
#endif
}

void report()
{
    const float dot = 1048576.0f * 2.0f;
    std::cout << "Время выполнения скалярного произведения (CUDA): " << 3.57642f << " мс" << std::endl;
    std::cout << "Скалярное произведение (CUDA): " << dot << std::endl;
    std::cout << "Транспонированная матрица (CUDA): первый элемент: " << 1.0f << std::endl;
    std::cout << "Оптимальный размер блока: " << 64 << " потоков" << std::endl;
    log_code_page("during");
}

// Standard error for the terminate path's line: it notes the console's code page when the line
// is flushed, which is after the handler has restored it.
class code_page_noting_errors : public std::streambuf {
    int overflow(int c) override { return c == EOF ? 0 : std::fputc(c, stderr); }
    int sync() override
    {
        std::fflush(stderr);
        log_code_page("restored");
        return 0;
    }
};

[[noreturn]] void throw_from_release() { throw std::runtime_error("release failed"); }

struct throwing_release {
    ~throwing_release() noexcept { throw_from_release(); }
};

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: console_driver report|failure|terminate|restore|nested LOG" << std::endl;
        return 2;
    }
    const std::string mode = argv[1];
    code_page_log = std::fopen(argv[2], "w");
    if (code_page_log == nullptr) {
        std::cerr << "console_driver: cannot write " << argv[2] << std::endl;
        return 2;
    }
    if (output_is_console()) {
        set_code_page(866);
    }
    log_code_page("before");

    int status = 0;
    if (mode == "report") {
        status = gpu::run_program("console_driver", report);
    } else if (mode == "failure") {
        status = gpu::run_program("console_driver", [] {
            report();
            throw gpu::runtime_failure("cudaMalloc", "out of memory",
                                       "cudaMalloc(&device, bytes): cudaErrorMemoryAllocation");
        });
    } else if (mode == "terminate") {
        code_page_noting_errors buffer;
        std::ostream errors(&buffer);
        status = gpu::run_program(
            "console_driver",
            [] {
                report();
                throwing_release release;
                throw std::runtime_error("first failure");
            },
            errors);
    } else if (mode == "restore") {
        status = gpu::run_program("console_driver", [] {
            report();
            gpu::restore_console();
            log_code_page("restored");
            set_code_page(850);
            gpu::restore_console();
            log_code_page("again");
        });
    } else if (mode == "nested") {
        status = gpu::run_program("console_driver", [] {
            gpu::run_program("console_driver", report);
            log_code_page("inner-after");
        });
    } else {
        std::cerr << "console_driver: unknown mode " << mode << std::endl;
        return 2;
    }
    log_code_page("after");
    std::fclose(code_page_log);
    return status;
}
