// Windows only (see console.h).
#include "console.h"

#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <iostream>

namespace gpu {

namespace {

// The code page to give back, 0 while there is none (0 is no code page).
std::atomic<UINT> saved_code_page{0};

}  // namespace

utf8_console::utf8_console() noexcept
{
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // GetConsoleMode succeeds only for a console: a file or pipe keeps its bytes untouched.
    if (output == nullptr || output == INVALID_HANDLE_VALUE || !GetConsoleMode(output, &mode)) {
        return;
    }
    const UINT previous = GetConsoleOutputCP();
    if (previous == 0 || previous == CP_UTF8) {
        return;  // nothing to switch, or an outer guard already did
    }
    UINT none = 0;
    // Only the first guard records a code page; it is set only once that record is made, so that
    // restore_console never finds a code page changed without one.
    if (!saved_code_page.compare_exchange_strong(none, previous)) {
        return;
    }
    if (SetConsoleOutputCP(CP_UTF8)) {
        switched_ = true;
    } else {
        saved_code_page.store(0);
    }
}

utf8_console::~utf8_console()
{
    if (switched_) {
        restore_console();
    }
}

void restore_console() noexcept
{
    if (saved_code_page.load() == 0) {
        return;
    }
    // Bytes still buffered would otherwise reach the console after the switch back.
    std::cout.flush();
    std::fflush(stdout);
    const UINT previous = saved_code_page.exchange(0);
    if (previous != 0) {
        SetConsoleOutputCP(previous);
    }
}

}  // namespace gpu
