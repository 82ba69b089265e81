# Runs a GPU build and checks what it reports, where neither bash nor the ELF tools are at hand:
#   cmake -DPROGRAM=<executable> -DNAME=vecmat|gputune -P program_run.cmake
# With a GPU the program must exit 0 with its full report and nothing on standard error: eight
# lines for vecmat, whose values are exact, seventeen for gputune. Without one (or without a
# driver) it must exit 1 with one line "<name>: <operation>: <reason>" on standard error and
# fewer report lines than a full report. Anything else fails.
cmake_minimum_required(VERSION 3.25)
if(NOT PROGRAM OR NOT NAME MATCHES "^(vecmat|gputune)$")
  message(FATAL_ERROR "usage: cmake -DPROGRAM=<executable> -DNAME=vecmat|gputune -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
if(NAME STREQUAL "vecmat")
  set(full_report 8)
else()
  set(full_report 17)
endif()

# The report is UTF-8 whatever the console's code page (CMake before 3.31 would decode it in that
# code page by default).
execute_process(COMMAND "${PROGRAM}" RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err
                ENCODING UTF-8)
# Text mode ends lines with CR LF on Windows; the checks read the lines alone.
string(REPLACE "\r\n" "\n" out "${out}")
string(REPLACE "\r\n" "\n" err "${err}")
set(out_lines "")
if(NOT out STREQUAL "")
  string(REGEX REPLACE "\n$" "" out_text "${out}")
  string(REPLACE ";" "\\;" out_text "${out_text}")
  string(REPLACE "\n" ";" out_lines "${out_text}")
endif()
list(LENGTH out_lines out_count)
message("${out}${err}")

set(faults "")
if(NOT out STREQUAL "" AND NOT out MATCHES "\n$")
  list(APPEND faults "standard output does not end with a line end")
endif()
if(status STREQUAL "0")
  if(NOT err STREQUAL "")
    list(APPEND faults "exit status 0 with something on standard error")
  endif()
  if(NOT out_count EQUAL full_report)
    list(APPEND faults "exit status 0 with ${out_count} report lines, not ${full_report}")
  endif()
  if(NAME STREQUAL "vecmat")
    foreach(line IN ITEMS "Скалярное произведение (CUDA): 2.09715e+06"
                          "Скалярное произведение (Thrust): 2.09715e+06"
                          "Транспонированная матрица (CUDA): первый элемент: 1"
                          "Транспонированная матрица (Thrust): первый элемент: 1")
      if(NOT line IN_LIST out_lines)
        list(APPEND faults "missing line: ${line}")
      endif()
    endforeach()
  elseif(NOT out MATCHES "(^|\n)Оптимальный размер блока: (32|64|128|256|512|1024) потоков\n")
    list(APPEND faults "no line with the best block size")
  endif()
elseif(status STREQUAL "1")
  if(NOT err MATCHES "^${NAME}: [^:\n]+: [^\n]+\n$")
    list(APPEND faults "exit status 1 without exactly one line '${NAME}: <operation>: <reason>' on standard error")
  endif()
  if(NOT out_count LESS full_report)
    list(APPEND faults "exit status 1 after the full report")
  endif()
else()
  list(APPEND faults "exit status ${status}, neither 0 (a report) nor 1 (one failure line)")
endif()

if(faults)
  list(JOIN faults "\n  " text)
  message(FATAL_ERROR "${NAME}:\n  ${text}")
endif()
