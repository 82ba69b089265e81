# gpu_find_cccl([HINTS dir...]): finds CCCL (Thrust, CUB, libcu++) in a version the code supports,
# 2.7 or later, up to 3.x, and says which it took.
#
# CCCL's version file reads only the lower end of a version range and accepts its own major
# version alone, so `find_package(CCCL 2.7...<4)` would refuse 3.x. Each supported major version
# is therefore asked for in turn, the newest first, and a package of any other version (Debian's
# Thrust 2.3.2 under /usr, say) is passed over. A CCCL_DIR given on the command line, or found
# by an earlier run, is taken as it is, but only if its version is supported.
set(GPU_CCCL_MINIMUM 2.7)
set(GPU_CCCL_BELOW 4)

macro(gpu_find_cccl)
  if(CCCL_DIR)
    find_package(CCCL CONFIG REQUIRED)
    if(CCCL_VERSION VERSION_LESS GPU_CCCL_MINIMUM OR NOT CCCL_VERSION VERSION_LESS GPU_CCCL_BELOW)
      message(FATAL_ERROR "CCCL ${CCCL_VERSION} in ${CCCL_DIR} is not supported: the code needs "
                          "${GPU_CCCL_MINIMUM} or later, before ${GPU_CCCL_BELOW}")
    endif()
  else()
    foreach(_cccl_wanted IN ITEMS 3 ${GPU_CCCL_MINIMUM})
      find_package(CCCL ${_cccl_wanted} CONFIG QUIET ${ARGN})
      if(CCCL_FOUND)
        break()
      endif()
    endforeach()
    if(NOT CCCL_FOUND)
      set(_cccl_considered "")
      foreach(_cccl_config _cccl_version IN ZIP_LISTS CCCL_CONSIDERED_CONFIGS CCCL_CONSIDERED_VERSIONS)
        string(APPEND _cccl_considered "\n  ${_cccl_config} (version ${_cccl_version})")
      endforeach()
      message(FATAL_ERROR "No CCCL of a supported version (${GPU_CCCL_MINIMUM} or later, before "
                          "${GPU_CCCL_BELOW}) was found. Considered:${_cccl_considered}\n"
                          "Set CCCL_DIR to the folder of a supported one's cccl-config.cmake.")
    endif()
  endif()
  message(STATUS "CCCL ${CCCL_VERSION_MAJOR}.${CCCL_VERSION_MINOR}.${CCCL_VERSION_PATCH} from ${CCCL_DIR}")
endmacro()
