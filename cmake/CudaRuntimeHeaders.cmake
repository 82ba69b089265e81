# Finds the CUDA runtime's headers for the host build. It compiles the programs with the host
# compiler against them and links nothing of CUDA's, so it needs no nvcc: a toolkit's headers
# and CCCL are enough. CUDAToolkit_ROOT (set, or in the environment), CUDA_HOME or CUDA_PATH name
# the toolkit; /usr/local/cuda and the system's include folders are searched after them.
#
# Sets GPU_CUDA_INCLUDE_DIR, GPU_CUDA_VERSION ("13.0") and GPU_CUDA_CCCL_HINTS (where a toolkit
# keeps its CCCL package).
set(_gpu_hints "")
foreach(_gpu_root IN ITEMS "${CUDAToolkit_ROOT}" "$ENV{CUDAToolkit_ROOT}" "$ENV{CUDA_HOME}" "$ENV{CUDA_PATH}"
                           /usr/local/cuda)
  if(_gpu_root)
    file(GLOB _gpu_target_includes LIST_DIRECTORIES true "${_gpu_root}/targets/*/include")
    list(APPEND _gpu_hints "${_gpu_root}/include" ${_gpu_target_includes})
  endif()
endforeach()
find_path(GPU_CUDA_INCLUDE_DIR cuda_runtime_api.h HINTS ${_gpu_hints} DOC "The CUDA runtime's headers")
if(NOT GPU_CUDA_INCLUDE_DIR)
  message(FATAL_ERROR "The CUDA runtime's headers (cuda_runtime_api.h) were not found. Set "
                      "CUDAToolkit_ROOT to a CUDA toolkit, 12.0 or newer; scripts/run and "
                      "scripts/test bring one where none is installed.")
endif()
file(STRINGS "${GPU_CUDA_INCLUDE_DIR}/cuda_runtime_api.h" _gpu_version REGEX "^#define CUDART_VERSION +[0-9]+")
string(REGEX REPLACE "^#define CUDART_VERSION +([0-9]+).*" "\\1" _gpu_version "${_gpu_version}")
math(EXPR _gpu_major "${_gpu_version} / 1000")
math(EXPR _gpu_minor "${_gpu_version} % 1000 / 10")
set(GPU_CUDA_VERSION "${_gpu_major}.${_gpu_minor}")
get_filename_component(_gpu_prefix "${GPU_CUDA_INCLUDE_DIR}" DIRECTORY)
set(GPU_CUDA_CCCL_HINTS "${_gpu_prefix}/lib/cmake/cccl" "${_gpu_prefix}/lib64/cmake/cccl")
