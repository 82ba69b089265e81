# Project-wide settings that depend on the platform and its compiler. Included before any target
# is defined, so that they hold for every target, tests included.

# The host execution layer switches block threads with x86-64 System V assembly or Boost.Context,
# guards device memory with POSIX page protection and is built with GCC's or Clang's options.
if(BACKEND STREQUAL "host" AND (MSVC OR NOT CMAKE_SYSTEM_NAME STREQUAL "Linux"))
  message(FATAL_ERROR "BACKEND=host needs GCC or Clang on Linux (this is ${CMAKE_CXX_COMPILER_ID} "
                      "on ${CMAKE_SYSTEM_NAME}); on Windows build BACKEND=cuda with MSVC and nvcc")
endif()

if(MSVC)
  # cudart_static.lib asks for the static C runtime (/DEFAULTLIB:LIBCMT in every member); every
  # object of a program must then be compiled for it too.
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
  # The sources are UTF-8 without a byte-order mark, and the report labels must reach the
  # executable as those bytes. Without /utf-8, cl reads them in the user's code page; nvcc hands
  # the option to each cl pass, its preprocessing included.
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:/utf-8> $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=/utf-8>)
endif()
