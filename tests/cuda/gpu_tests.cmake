# The tests that run the GPU build on a GPU, all labelled gpu: `ctest --preset cuda -L gpu`.
#
#   add_gpu_tests(VECMAT <file> GPUTUNE <file> PROBE <file> ELF_CONTENTS <file> [ALSO <folder>]
#                 [TOOL_PATHS <folder>...])
#
# Each runs tests/cuda/gpu_check.sh, which skips (77) where the CUDA driver reports no GPU. Two of
# them try compute-sanitizer and ncu on the probe program first (fixtures of those names): where a
# tool cannot run on this machine, the tests that need it are skipped with the tool's own error
# line; where it runs and gives a wrong answer, its own test fails and those tests do not run.
# ALSO is a folder of vecmat and gputune built elsewhere (build/cuda12/bin from
# scripts/check-cuda12): their values, memcheck, and that they carry PTX alone for this GPU.
# The tools are looked for on PATH, then in TOOL_PATHS. Raw outputs go to <build>/gpu-logs.
#
# They take the GPU one at a time (RESOURCE_LOCK gpu), whatever `ctest -j` says: the kernel
# times are compared with ncu's, and a sanitizer slows whatever shares the GPU with it.
# The TIMEOUTs allow for the slow sanitizers on an H100 several times over; a run with a deadline
# (scripts/gpu-check) passes ctest --stop-time, which cuts them shorter. A test that times out is
# ended with its whole process tree.
# An ALSO of "" (no second folder) is an empty value, not a missing one, with no warning from
# CMake 3.31 and newer; the function keeps the setting it was defined with.
if(POLICY CMP0174)
  cmake_policy(SET CMP0174 NEW)
endif()
function(add_gpu_tests)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "VECMAT;GPUTUNE;PROBE;ELF_CONTENTS;ALSO" "TOOL_PATHS")
  file(GLOB nsight_compute LIST_DIRECTORIES true /opt/nvidia/nsight-compute/*)
  list(SORT nsight_compute COMPARE NATURAL ORDER DESCENDING)
  find_program(GPU_COMPUTE_SANITIZER compute-sanitizer PATHS ${arg_TOOL_PATHS}
               DOC "compute-sanitizer for the gpu tests")
  find_program(GPU_NCU ncu PATHS ${arg_TOOL_PATHS} ${nsight_compute} DOC "Nsight Compute's ncu for the gpu tests")
  set(logs "${CMAKE_BINARY_DIR}/gpu-logs")
  set(check "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/gpu_check.sh")
  set(environment "GPU_LOGS=${logs}")
  foreach(tool IN ITEMS COMPUTE_SANITIZER NCU)  # empty where not found, whatever the caller's environment says
    if(GPU_${tool})
      list(APPEND environment "${tool}=${GPU_${tool}}")
    else()
      list(APPEND environment "${tool}=")
    endif()
  endforeach()

  # gpu_test(NAME TIMEOUT FIXTURE CHECK ARGUMENT...): FIXTURE is the tool the test needs, or "-".
  macro(gpu_test name timeout fixture what)
    add_test(NAME ${name} COMMAND "${check}" ${what} ${name} ${ARGN})
    set_tests_properties(${name} PROPERTIES LABELS gpu TIMEOUT ${timeout} SKIP_RETURN_CODE 77
                                            ENVIRONMENT "${environment}" RESOURCE_LOCK gpu)
    if(NOT "${fixture}" STREQUAL "-")
      set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED ${fixture})
    endif()
  endmacro()

  # In the order they run: what is quick first, so that a deadline costs the slow sanitizers.
  set(programs vecmat gputune)
  set(vecmat "${arg_VECMAT}")
  set(gputune "${arg_GPUTUNE}")
  foreach(program IN LISTS programs)
    gpu_test(${program}_gpu_machine_code 30 - machine-code "${${program}}" "${arg_ELF_CONTENTS}")
    gpu_test(${program}_gpu_values 60 - values "${${program}}")
  endforeach()
  if(arg_ALSO)
    foreach(program IN LISTS programs)
      gpu_test(also_${program}_ptx_only 30 - ptx-only "${arg_ALSO}/${program}" "${arg_ELF_CONTENTS}")
      gpu_test(also_${program}_values 60 - values "${arg_ALSO}/${program}")
    endforeach()
  endif()

  gpu_test(compute_sanitizer_self_test 30 - compute-sanitizer "${arg_PROBE}")
  gpu_test(ncu_self_test 45 - ncu "${arg_PROBE}")
  set_tests_properties(compute_sanitizer_self_test PROPERTIES FIXTURES_SETUP compute-sanitizer)
  set_tests_properties(ncu_self_test PROPERTIES FIXTURES_SETUP ncu)

  foreach(program IN LISTS programs)
    gpu_test(${program}_memcheck 120 compute-sanitizer sanitizer memcheck "${${program}}")
  endforeach()
  if(arg_ALSO)
    foreach(program IN LISTS programs)
      gpu_test(also_${program}_memcheck 120 compute-sanitizer sanitizer memcheck "${arg_ALSO}/${program}")
    endforeach()
  endif()
  gpu_test(vecmat_kernel_times 240 ncu kernel-times "${arg_VECMAT}")
  foreach(tool IN ITEMS initcheck racecheck synccheck)
    foreach(program IN LISTS programs)
      gpu_test(${program}_${tool} 240 compute-sanitizer sanitizer ${tool} "${${program}}")
    endforeach()
  endforeach()
endfunction()
