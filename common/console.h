// The console a program's report goes to. The report is UTF-8 bytes, written as they are (no
// locale is set); a Windows console shows them as such only while its output code page is UTF-8
// (65001). Elsewhere, and whenever standard output is not a console (a file, a pipe), nothing is
// changed and both of these do nothing.
#pragma once

namespace gpu {

#if defined(_WIN32)

// While it lives, the console that standard output writes to (if it is one) has the output code
// page UTF-8; the previous code page comes back when it ends or restore_console() is called. A
// guard made while another one holds the console changes nothing, at its start or its end.
class utf8_console {
  public:
    utf8_console() noexcept;
    ~utf8_console();
    utf8_console(const utf8_console&) = delete;
    utf8_console& operator=(const utf8_console&) = delete;

  private:
    bool switched_ = false;  // this guard changed the code page
};

// Flushes standard output and gives the console back the code page it had before the first live
// utf8_console changed it. Idempotent, safe from a terminate handler: after the first call (or
// the guard's end) there is nothing left to restore.
void restore_console() noexcept;

#else

class utf8_console {
  public:
    utf8_console() noexcept {}
    utf8_console(const utf8_console&) = delete;
    utf8_console& operator=(const utf8_console&) = delete;
};

inline void restore_console() noexcept {}

#endif

}  // namespace gpu
