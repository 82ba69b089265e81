# Toolchain file that stands in for Visual Studio 2022's cl and link and for the Windows nvcc, so
# that CMake writes a Windows build's command lines on a machine that has neither.
#
# WINDOWS_STANDIN (cache or environment) names a folder that holds
#   msvc/cl.exe link.exe lib.exe mt.exe rc.exe dumpbin.exe          stub executables
#   cuda/bin/nvcc.exe                                               a stub executable
#   cuda/include, cuda/lib/x64                                      Windows CUDA headers, .lib files
# The stubs only fail: the compilers' identities are given here as CMake would have detected
# them, and nothing is compiled.
if(NOT WINDOWS_STANDIN)
  set(WINDOWS_STANDIN "$ENV{WINDOWS_STANDIN}")
endif()
if(NOT IS_DIRECTORY "${WINDOWS_STANDIN}/msvc" OR NOT IS_DIRECTORY "${WINDOWS_STANDIN}/cuda")
  message(FATAL_ERROR "WINDOWS_STANDIN must name the stand-in folder (now '${WINDOWS_STANDIN}')")
endif()
set(WINDOWS_STANDIN "${WINDOWS_STANDIN}" CACHE PATH "Folder of the stand-in Windows tools")

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 10.0.22621)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(_msvc "${WINDOWS_STANDIN}/msvc")
set(_cuda "${WINDOWS_STANDIN}/cuda")

# cl 19.44 (Visual Studio 2022 17.14), x64.
set(MSVC_VERSION 1944)
set(MSVC_TOOLSET_VERSION 143)
set(CMAKE_CXX_COMPILER "${_msvc}/cl.exe")
set(CMAKE_CXX_COMPILER_ID MSVC)
set(CMAKE_CXX_COMPILER_VERSION 19.44.35211.0)
set(CMAKE_CXX_COMPILER_ARCHITECTURE_ID x64)
set(MSVC_CXX_ARCHITECTURE_ID x64)
set(CMAKE_CXX_PLATFORM_ID Windows)
set(CMAKE_CXX_STANDARD_COMPUTED_DEFAULT 14)
set(CMAKE_CXX_EXTENSIONS_COMPUTED_DEFAULT OFF)
set(CMAKE_CXX_COMPILER_ID_RUN TRUE)
set(CMAKE_CXX_COMPILER_FORCED TRUE)
set(CMAKE_CXX_SIZEOF_DATA_PTR 8)
set(CMAKE_CXX_COMPILER_ABI "")
set(CMAKE_LINKER "${_msvc}/link.exe")
set(CMAKE_AR "${_msvc}/lib.exe")
set(CMAKE_MT "${_msvc}/mt.exe")
set(CMAKE_RC_COMPILER "${_msvc}/rc.exe")

# nvcc 13.0.88 with cl as its host compiler.
set(CMAKE_CUDA_COMPILER "${_cuda}/bin/nvcc.exe")
set(CMAKE_CUDA_COMPILER_ID NVIDIA)
set(CMAKE_CUDA_COMPILER_VERSION 13.0.88)
set(CMAKE_CUDA_SIMULATE_ID MSVC)
set(CMAKE_CUDA_SIMULATE_VERSION 19.44)
set(CMAKE_CUDA_COMPILER_ARCHITECTURE_ID x64)
set(MSVC_CUDA_ARCHITECTURE_ID x64)
set(CMAKE_CUDA_PLATFORM_ID Windows)
set(CMAKE_CUDA_STANDARD_COMPUTED_DEFAULT 17)
set(CMAKE_CUDA_EXTENSIONS_COMPUTED_DEFAULT OFF)
set(CMAKE_CUDA_COMPILER_ID_RUN TRUE)
set(CMAKE_CUDA_COMPILER_FORCED TRUE)
set(CMAKE_CUDA_SIZEOF_DATA_PTR 8)
set(CMAKE_CUDA_COMPILER_TOOLKIT_ROOT "${_cuda}")
set(CMAKE_CUDA_COMPILER_TOOLKIT_LIBRARY_ROOT "${_cuda}")
set(CMAKE_CUDA_COMPILER_LIBRARY_ROOT "${_cuda}")
set(CMAKE_CUDA_COMPILER_TOOLKIT_VERSION 13.0.88)
set(CMAKE_CUDA_TOOLKIT_INCLUDE_DIRECTORIES "${_cuda}/include")
set(CMAKE_CUDA_HOST_IMPLICIT_LINK_DIRECTORIES "${_cuda}/lib/x64")
# As CMake's CUDA check records them for nvcc with cl.
set(CMAKE_CUDA_IMPLICIT_LINK_DIRECTORIES "${_cuda}/lib/x64")
set(CMAKE_CUDA_RUNTIME_LIBRARY_DEFAULT STATIC)
# Set, the architectures keep the project from asking the stub nvcc for its list.
if(NOT CMAKE_CUDA_ARCHITECTURES)
  set(CMAKE_CUDA_ARCHITECTURES 75)
endif()

# What `nvcc -v` prints when it links the compiler-identification program, in the form the
# Windows nvcc gives it: CMake reads the toolkit's include and library folders and the
# libraries the host link takes from it.
string(CONCAT CMAKE_CUDA_COMPILER_PRODUCED_OUTPUT
  "#$ _NVVM_BRANCH_=nvvm\n"
  "#$ _CUDART_=cudart\n"
  "#$ _HERE_=${_cuda}/bin\n"
  "#$ _THERE_=${_cuda}/bin\n"
  "#$ _TARGET_SIZE_=64\n"
  "#$ _WIN_PLATFORM_=x64\n"
  "#$ TOP=${_cuda}/bin/..\n"
  "#$ NVVMIR_LIBRARY_DIR=${_cuda}/bin/../nvvm/libdevice\n"
  "#$ PATH=${_cuda}/bin/../nvvm/bin;${_cuda}/bin;${_msvc}\n"
  "#$ INCLUDES=\"-I${_cuda}/bin/../include\"\n"
  "#$ LIBRARIES=  \"/LIBPATH:${_cuda}/bin/../lib/x64\"\n"
  "#$ nvlink -m64 --arch=sm_75 \"-L${_cuda}/bin/../lib/x64\" -cpu-arch=X86_64 \"tmp/CMakeCUDACompilerId.obj\" -lcudadevrt -o \"tmp/a_dlink.sm_75.cubin\"\n"
  "#$ link.exe -nologo -out:\"a.exe\" \"/LIBPATH:${_cuda}/bin/../lib/x64\" cudadevrt.lib cudart_static.lib \"tmp/a_dlink.obj\" \"tmp/CMakeCUDACompilerId.obj\"\n")
