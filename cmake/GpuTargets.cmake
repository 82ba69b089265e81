# Helpers for targets whose sources build with either backend.

# Compiles the .cu sources of `target` as C++ when the backend is the host execution layer.
# Call it in the directory that defines the target: source properties are directory-scoped.
function(gpu_sources_for_backend target)
  if(BACKEND STREQUAL "host")
    get_target_property(_sources ${target} SOURCES)
    foreach(_source IN LISTS _sources)
      if(_source MATCHES "\\.cu$")
        set_source_files_properties(${_source} PROPERTIES LANGUAGE CXX)
      endif()
    endforeach()
  endif()
endfunction()

# Warnings for the project's own code, host and device alike.
function(gpu_warnings target)
  if(MSVC)
    # cl's spelling; nvcc hands cl its options with -Xcompiler. (cl takes -Wall for /Wall, every
    # off-by-default warning, and ignores -Wextra and -Werror.)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:/W4>
                                             $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=/W4>)
    if(WARNINGS_AS_ERRORS)
      target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:/WX>
        $<$<COMPILE_LANGUAGE:CUDA>:-Werror=all-warnings -Xcompiler=/WX>)
    endif()
    return()
  endif()
  if(BACKEND STREQUAL "cuda")
    set(_werror "")
    if(WARNINGS_AS_ERRORS)
      set(_werror ",-Werror")
      target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CUDA>:-Werror=all-warnings>)
    endif()
    target_compile_options(${target} PRIVATE
      $<$<COMPILE_LANGUAGE:CUDA>:-Xcompiler=-Wall,-Wextra${_werror}>)
  endif()
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra>)
  if(WARNINGS_AS_ERRORS)
    target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-Werror>)
  endif()
endfunction()

# A program: its sources' library `<name>_lib`, the executable in bin/, the exported driver hint.
function(gpu_add_program name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "MAIN" "SOURCES;LIBRARIES")
  add_library(${name}_lib STATIC ${arg_SOURCES})
  target_link_libraries(${name}_lib PUBLIC gpu_common ${arg_LIBRARIES})
  gpu_sources_for_backend(${name}_lib)
  gpu_warnings(${name}_lib)

  add_executable(${name} ${arg_MAIN})
  target_link_libraries(${name} PRIVATE ${name}_lib gpu_driver_hint)
  gpu_warnings(${name})
  if(NOT WIN32)
    # An executable exports nothing by default; this puts the hint in its dynamic symbols, where
    # a driver can find it (driver_hint.cpp). On Windows the definition in cudart_static.lib
    # carries its own export directive.
    target_link_options(${name} PRIVATE "LINKER:--export-dynamic-symbol=NvOptimusEnablementCuda")
  endif()
endfunction()
