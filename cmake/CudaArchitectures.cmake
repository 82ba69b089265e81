# Chooses CMAKE_CUDA_ARCHITECTURES before the CUDA language is enabled, unless the user set it.
#
# The default is compute capability 5.2 as machine code and PTX where the toolkit still supports
# it, otherwise the oldest architecture the toolkit supports (also as code and PTX); PTX lets any
# newer GPU run the programs. Machine code is added for every GPU found on this machine, so that
# no kernel is JIT-compiled here inside a timed interval. Finding no GPU is not an error.

if(DEFINED CMAKE_CUDA_ARCHITECTURES AND NOT CMAKE_CUDA_ARCHITECTURES STREQUAL "${_GPU_AUTO_ARCHITECTURES}")
  return()  # the user's choice overrides everything
endif()
if(NOT DEFINED CMAKE_CUDA_ARCHITECTURES AND DEFINED ENV{CUDAARCHS})
  return()  # so does the environment's, which enable_language(CUDA) reads
endif()

if(DEFINED CMAKE_CUDA_COMPILER)
  set(_gpu_nvcc "${CMAKE_CUDA_COMPILER}")
elseif(DEFINED ENV{CUDACXX})
  set(_gpu_nvcc "$ENV{CUDACXX}")
else()
  find_program(_gpu_nvcc nvcc HINTS "${CUDAToolkit_ROOT}/bin" /usr/local/cuda/bin REQUIRED)
endif()

execute_process(COMMAND "${_gpu_nvcc}" --list-gpu-arch
                OUTPUT_VARIABLE _gpu_listed RESULT_VARIABLE _gpu_list_result ERROR_QUIET)
string(REGEX MATCHALL "compute_[0-9]+" _gpu_virtual "${_gpu_listed}")
set(_gpu_supported "")
foreach(_arch IN LISTS _gpu_virtual)
  string(REPLACE "compute_" "" _arch "${_arch}")
  list(APPEND _gpu_supported "${_arch}")
endforeach()
list(SORT _gpu_supported COMPARE NATURAL)

if(_gpu_list_result EQUAL 0 AND _gpu_supported)
  if("52" IN_LIST _gpu_supported)
    set(_gpu_base "52")
  else()
    list(GET _gpu_supported 0 _gpu_base)
  endif()
else()
  set(_gpu_base "52")  # an older nvcc that cannot list its architectures
endif()
set(_gpu_architectures "${_gpu_base}")

# GPUs on this machine, as nvcc itself finds them; without a GPU or driver this prints nothing.
# The query lives in nvcc's own folder, which a wrapper script (Debian's /usr/bin/nvcc, say) is
# not in: nvcc names that folder as _HERE_ when asked for its steps.
get_filename_component(_gpu_bin "${_gpu_nvcc}" DIRECTORY)
execute_process(COMMAND "${_gpu_nvcc}" --dryrun -c -x cu /dev/null -o /dev/null
                ERROR_VARIABLE _gpu_steps OUTPUT_QUIET RESULT_VARIABLE _gpu_steps_result)
if(_gpu_steps MATCHES "#\\$ _HERE_=([^\n]*)")
  set(_gpu_bin "${CMAKE_MATCH_1}" "${_gpu_bin}")
endif()
find_program(_gpu_device_query __nvcc_device_query HINTS ${_gpu_bin} NO_DEFAULT_PATH)
if(_gpu_device_query)
  execute_process(COMMAND "${_gpu_device_query}" OUTPUT_VARIABLE _gpu_found
                  RESULT_VARIABLE _gpu_query_result ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(_gpu_query_result EQUAL 0)
    string(REGEX MATCHALL "[0-9]+" _gpu_found "${_gpu_found}")
    foreach(_arch IN LISTS _gpu_found)
      if(NOT _arch STREQUAL _gpu_base AND _arch IN_LIST _gpu_supported)
        list(APPEND _gpu_architectures "${_arch}-real")
      endif()
      if(_gpu_supported AND NOT _arch IN_LIST _gpu_supported AND _arch GREATER _gpu_base)
        list(GET _gpu_supported -1 _gpu_newest)
        message(WARNING "This nvcc builds machine code up to compute capability ${_gpu_newest}; this "
                        "machine's GPU of compute capability ${_arch} will run the PTX, compiled when "
                        "the programs start. Build with a newer CUDA toolkit for machine code.")
      endif()
      if(_arch LESS _gpu_base)
        message(WARNING "This nvcc builds for compute capability ${_gpu_base} and newer; the programs "
                        "will not run on this machine's GPU of compute capability ${_arch}. Build "
                        "with a CUDA 12 toolkit for it.")
      endif()
    endforeach()
    list(REMOVE_DUPLICATES _gpu_architectures)
    message(STATUS "GPUs on this machine: ${_gpu_found}")
  endif()
endif()

set(CMAKE_CUDA_ARCHITECTURES "${_gpu_architectures}" CACHE STRING "CUDA architectures" FORCE)
set(_GPU_AUTO_ARCHITECTURES "${_gpu_architectures}" CACHE INTERNAL "Architectures chosen automatically")
