# Checks that a Windows executable exports the driver hint NvOptimusEnablementCuda exactly once
# (the static CUDA runtime's definition, and no second one):
#   cmake -DDUMPBIN=<dumpbin.exe> -DPROGRAM=<executable> -P driver_hint_export.cmake
cmake_minimum_required(VERSION 3.25)
execute_process(COMMAND "${DUMPBIN}" /exports "${PROGRAM}" RESULT_VARIABLE status
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors)
if(NOT status STREQUAL "0")
  message(FATAL_ERROR "${DUMPBIN} /exports ${PROGRAM} failed (${status}): ${errors}")
endif()
# One line per export; the name is its last field.
string(REGEX MATCHALL "[ \t]NvOptimusEnablementCuda[ \t\r]*\n" exports "${listing}\n")
list(LENGTH exports count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "${PROGRAM} exports NvOptimusEnablementCuda ${count} times, not once:\n${listing}")
endif()
