#!/usr/bin/env bash
# shellcheck disable=SC2016  # the stand-ins' bodies expand when they run, not here
# scripts/gpu-check run whole, with the real CMake, CTest and Ninja given, on a stand-in project
# that declares the gpu tests (tests/cuda/gpu_tests.cmake) over stand-in programs, and stand-ins
# for the driver's device query, nvcc, compute-sanitizer, ncu and cuobjdump: the table and exit
# status when everything works, when a tool cannot run here or is missing, when the programs are
# at fault, when a tool gives wrong answers, when tools hang and ignore SIGTERM (the deadline, and
# nothing left running), the log folder's files, --also, no GPU, a bad command line, SIGTERM.
# Usage: gpu_check_runs.sh CMAKE CTEST NINJA
set -u
cmake=$1 ctest=$2 ninja=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $1"; failures=$((failures + 1)); }
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: got '$3', expected '$2'"; fi
}

# --- the stand-ins ---------------------------------------------------------------------------------
# HANG and HANG_VERSION name those that hang at their work, or when asked their version: they
# ignore SIGTERM and leave a child in a process group and one in a session of their own (all three
# pids go to $PIDS). Every call is logged in $CALLS.
preamble='#!/usr/bin/env bash
name=${0##*/}
echo "$name $* CUDA_VISIBLE_DEVICES=${CUDA_VISIBLE_DEVICES-unset}" >>"$CALLS"
list=${HANG:-}
[ "${1:-}" != --version ] || list=${HANG_VERSION:-}
if [[ " $list " == *" $name "* ]]; then
  trap "" TERM
  set -m; sleep 1000 & echo "$! $name:child" >>"$PIDS"; set +m
  setsid sleep 1001 & echo "$! $name:session" >>"$PIDS"
  echo "$$ $name" >>"$PIDS"
  while :; do sleep 1; done
fi
'
standin() { printf '%s%s\n' "$preamble" "$2" >"$1" && chmod +x "$1"; }  # FILE BODY
mkdir -p "$work/tools" "$work/base" "$work/own" "$work/cuda12" "$work/checkout/tests/cuda"
for command in bash sh env timeout setsid sleep cat sed awk grep sort uniq paste tail head tr wc mkdir rm \
  cp chmod mktemp tee dirname basename date tar gzip cut ls touch; do
  ln -s "$(command -v "$command")" "$work/base/$command"
done
# Python itself, not a shim that needs more on PATH: gpu-check's results.json step runs it.
ln -s "$(python3 -c 'import sys; print(sys.executable)')" "$work/base/python3"
ln -s "$ctest" "$work/base/ctest"
ln -s "$ninja" "$work/base/ninja"
ln -s "$cmake" "$work/base/cmake"
standin "$work/tools/device-query" '[ -n "${STAND_IN_GPUS-90}" ] || { echo "failed to call load_driver_entries() with error 0x3"; exit 1; }
echo "${STAND_IN_GPUS-90}"'
# nvcc, of a toolkit in $work with its runtime's and CCCL's version headers, as the scripts'
# choice of toolkit reads them; STAND_IN_OLDEST_ARCH is the oldest it builds for (75).
standin "$work/tools/nvcc" 'case "$*" in
*--dryrun*) echo "#\$ _HERE_=${0%/*}" >&2 ;;
--list-gpu-arch) printf "%s\n" "compute_${STAND_IN_OLDEST_ARCH:-75}" compute_90 ;;
*) printf "%s\n" "nvcc: NVIDIA (R) Cuda compiler driver" "Cuda compilation tools, release 13.0, V13.0.88" \
  "Build cuda_13.0.r13.0/compiler.36424714_0" ;;
esac'
mkdir -p "$work/include/thrust"
echo "#define CUDART_VERSION 13000" >"$work/include/cuda_runtime_api.h"
echo "#define THRUST_VERSION 300001" >"$work/include/thrust/version.h"
standin "$work/tools/cuobjdump" 'echo "cuobjdump: NVIDIA (R) CUDA Object Dump Tool"; echo "Cuda compilation tools, release 13.0, V13.0.85"'
# SANITIZER_CANNOT: its error where it cannot run here; SANITIZER_FINDS: programs it finds a fault
# in; SANITIZER_BLIND: it misses the probe's planted write.
standin "$work/tools/compute-sanitizer" '[ "$1" != --version ] || { printf "%s\n" "NVIDIA (R) Compute Sanitizer" \
  "Copyright (c) 2020-2025 NVIDIA Corporation" "Version 2025.3.1.0 (build 36548427) (public-release)"; exit 0; }
while [[ $1 == --* ]]; do [ "$1" != --tool ] || tool=$2; shift 2; done
echo "========= COMPUTE-SANITIZER"
if [ -n "${SANITIZER_CANNOT:-}" ]; then echo "========= Error: $SANITIZER_CANNOT"; echo "${1##*/}: cudaMalloc: unknown error"; exit 1; fi
"$@"
status=$? errors=0
[[ " ${SANITIZER_FINDS:-} " != *" ${1##*/} "* ]] || errors=1
[ "${1##*/} ${2:-}" != "gpu_probe --out-of-bounds" ] || [ -n "${SANITIZER_BLIND:-}" ] || errors=1
[ $errors -eq 0 ] || echo "========= Invalid __global__ write of size 4 bytes"
if [ "$tool" = racecheck ]; then echo "========= RACECHECK SUMMARY: $errors hazards displayed ($errors errors, 0 warnings)"
else echo "========= ERROR SUMMARY: $errors error$([ $errors -eq 1 ] || echo s)"; fi
[ $errors -eq 0 ] || exit 3
exit $status'
# NCU_CANNOT: its error where it cannot run here; NCU_UNIT: the unit of its durations; NCU_DOT:
# the dot product kernel's duration in ns.
standin "$work/tools/ncu" '[ "$1" != --version ] || { printf "%s\n" "NVIDIA (R) Nsight Compute Command Line Profiler" \
  "Version 2025.3.1.0 (build 36398880) (public-release)"; exit 0; }
while [ $# -gt 1 ]; do [ "$1" != --log-file ] || log=$2; shift; done
[ -z "${NCU_CANNOT:-}" ] || { echo "==ERROR== $NCU_CANNOT"; exit 1; }
"$1" >/dev/null || exit 1
printf "%s\n" "==PROF== Connected to process 4242 ($1)" "\"ID\",\"Process ID\",\"Kernel Name\",\"gpu__time_duration.sum\"" \
  "\"\",\"\",\"\",\"${NCU_UNIT:-nsecond}\"" >"$log"
case ${1##*/} in
gpu_probe) echo "\"0\",\"4242\",\"gpu_probe::probe_kernel(float *, int)\",\"2,144\"" >>"$log" ;;
vecmat) printf "%s\n" "\"0\",\"4242\",\"vecmat::dot_product_kernel(float *, float *, float *, int)\",\"${NCU_DOT:-12,480}\"" \
  "\"1\",\"4242\",\"vecmat::transpose_kernel(float *, float *, int, int)\",\"45,120\"" >>"$log" ;;
esac'

# The programs, each with a line per device-code module ("# module code:90 ptx:75") for the
# stand-in elf_contents; THRUST_DOT is vecmat's Thrust dot product.
program() {  # DIR NAME MODULE...
  local dir=$1 name=$2 modules="" module
  shift 2
  for module; do modules+="# module $module"$'\n'; done
  case $name in
  vecmat) standin "$dir/vecmat" "$modules"'printf "%s\n" "Время выполнения скалярного произведения (CUDA): 0.0130 мс" \
  "Скалярное произведение (CUDA): 2.09715e+06" "Время выполнения скалярного произведения (Thrust): 1 мс" \
  "Скалярное произведение (Thrust): ${THRUST_DOT:-2.09715e+06}" "Время выполнения транспонирования (CUDA): 0.0460 мс" \
  "Транспонированная матрица (CUDA): первый элемент: 1" "Время выполнения транспонирования (Thrust): 2 мс" \
  "Транспонированная матрица (Thrust): первый элемент: 1"' ;;
  gputune) standin "$dir/gputune" "$modules"'for copy in normal pinned; do printf "%s\n" "=== Бенчмарк копирования памяти ===" \
  "H2D $copy time: 1 ms" "D2H $copy time: 1 ms" ""; done
for search in "векторного сложения" "скалярного произведения"; do
  printf "%s\n" "=== Оптимизация $search ===" "Оптимальный размер данных: 1048576 элементов" \
    "Оптимальный размер блока: 64 потоков" "Минимальное время выполнения: 0.1 ms" ""
done | head -n 9' ;;
  esac
}
for name in vecmat gputune; do
  program "$work/own" $name "code:75 ptx:75 code:90" "code:75 ptx:75 code:90"
  program "$work/cuda12" $name "code:52 ptx:52" "code:52 ptx:52"
done
standin "$work/own/gpu_probe" 'case ${1:-} in
--identity) printf "%s\n" "device 0: NVIDIA H100 80GB HBM3, compute capability 9.0, 132 multiprocessors, 79.2 GiB" \
  "CUDA driver 13.0, runtime 13.0" ;;
*) echo "gpu_probe: 256 floats written" ;;
esac'
standin "$work/own/elf_contents" 'modules=$(grep -c "^# module" "$2") code=$(grep -c "^# module.* code:$3\( \|$\)" "$2")
echo "sm_$3 machine code in $code of $modules modules"
if [ "$1" = machine-code ]; then [ "$code" -eq "$modules" ]; else [ "$code" -eq 0 ]; fi'

# The stand-in project, in a checkout with the real wrapper, gpu tests and presets.
checkout=$work/checkout
mkdir -p "$checkout/scripts/lib"
cp "$root/scripts/gpu-check" "$root/scripts/find-gpu" "$checkout/scripts/"
cp "$root"/scripts/lib/* "$checkout/scripts/lib/"
cp "$root/tests/cuda/gpu_check.sh" "$root/tests/cuda/gpu_tests.cmake" "$checkout/tests/cuda/"
cp "$root/CMakePresets.json" "$checkout/"
cat >"$checkout/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(stand_in LANGUAGES NONE)
message(STATUS "nvcc 13.0.88: \${CMAKE_CUDA_COMPILER}")
message(STATUS "CUDA architectures: 75;90-real")
message(STATUS "CCCL 3.0.1 from /stand-in/cccl")
set(CMAKE_FIND_USE_CMAKE_SYSTEM_PATH FALSE)  # the tools come from PATH alone
set(GPU_CHECK_ALSO "" CACHE PATH "")
enable_testing()
add_custom_target(programs ALL COMMAND "\${CMAKE_COMMAND}" -E copy_directory "$work/own" "\${CMAKE_BINARY_DIR}/bin")
include(tests/cuda/gpu_tests.cmake)
set(bin "\${CMAKE_BINARY_DIR}/bin")
add_gpu_tests(VECMAT \${bin}/vecmat GPUTUNE \${bin}/gputune PROBE \${bin}/gpu_probe ELF_CONTENTS \${bin}/elf_contents
              ALSO "\${GPU_CHECK_ALSO}")
EOF

# --- the runs --------------------------------------------------------------------------------------
logs=$work/logs table=$work/logs/table
no_survivors() {  # NAME: every stand-in that hung, and its children, is gone (or a zombie)
  local pid what stat
  while read -r pid what; do
    read -r stat 2>/dev/null <"/proc/$pid/stat" && [[ ${stat##*) } != Z* ]] && fail "$1: $what (pid $pid) still runs"
  done <"$work/pids"
}
# Runs gpu-check with ARGS in a fresh build, with the stand-ins in TOOLS (default $work/tools) and
# the environment given before the call; sets status and took (seconds).
run_check() {  # NAME ARGS...
  local name=$1 started=$SECONDS
  shift
  rm -rf "$checkout/build" "$logs"
  : >"$work/pids"
  : >"$work/calls"
  (cd "$work" && unset CUDA_HOME CUDA_PATH CUDACXX CUDAHOSTCXX && PATH="${TOOLS:-$work/tools}:${BASE:-$work/base}" CUDA_TOOLKIT_DIRS="" \
    CUDA_DEVICE_QUERY=$work/tools/device-query PIDS=$work/pids CALLS=$work/calls \
    exec "$checkout/scripts/gpu-check" --log-dir "$logs" "$@" >"$work/out" 2>&1)
  status=$?
  took=$((SECONDS - started))
  echo "-- $name: status $status after $took s"
  [ ! -f "$table" ] || cat "$table"
  no_survivors "$name"
}
row() { grep -E "^$1 +(ok|FAILED|skipped|timeout|not run) " "$table" | sed -E 's/^[^ ]+ +(not run|[^ ]+) +[0-9]+s  /\1 /'; }  # NAME: "VERDICT CLOSING LINE"
verdicts() { sed -E '1,3d;$d; s/^[^ ]+ +(not run|[^ ]+) .*/\1/' "$table" | sort | uniq -c | awk '{ print $2 $3 "=" $1 }' | paste -sd ' '; }
called() { grep -cE -- "$1" "$work/calls"; }  # how many stand-in calls match PATTERN

CUDA_VISIBLE_DEVICES=1 run_check "every tool works" --also "$work/cuda12"
expect "working: exit status, rows" "0 ok=24" "$status $(verdicts)"
expect "working: the log folder" "gpu junit.xml logs.tar.gz results.json table" "$(ls "$logs" | paste -sd ' ')"
tar -tzf "$logs/logs.tar.gz" >"$work/packed"
for file in configure.log build.log ctest.log gpu-logs/vecmat_kernel_times-3.csv gpu-logs/gputune_racecheck.txt \
  gpu-logs/also_vecmat_memcheck.txt gpu-logs/compute_sanitizer_self_test-planted.txt; do
  grep -qx "./$file" "$work/packed" || fail "working: logs.tar.gz holds no $file"
done
expect "working: the GPU and tools" "gpu-check on NVIDIA H100 80GB HBM3, compute capability 9.0, 132 multiprocessors, \
79.2 GiB; CUDA driver 13.0, runtime 13.0|tools: cmake $("$cmake" --version | sed -n '1s/.* //p'), ninja \
$("$ninja" --version | grep -oE '^[0-9]+\.[0-9]+\.[0-9]+(\.[0-9]+)*'), nvcc 13.0.88, compute-sanitizer 2025.3.1.0, ncu 2025.3.1.0" \
  "$(sed -n '1s/; [0-9]* s of 300 s$//p; 2p' "$table" | paste -sd '|')"
expect "working: a kernel times row" "ok dot_product_kernel event 0.013 ms, ncu 0.01248 ms, +4.2 %; \
transpose_kernel event 0.046 ms, ncu 0.04512 ms, +2.0 %" "$(row vecmat_kernel_times)"
expect "working: a sanitizer row on gputune" "ok 0 errors (4 runs: dot_product_kernel, first launch at each block size)" \
  "$(row gputune_synccheck)"
expect "working: the build's rows" "ok nvcc 13.0.88, architectures 75;90-real, CCCL 3.0.1|ok 1 build steps" \
  "$(row configure)|$(row build)"
expect "working: the probe's planted write" "ok found the probe's planted write (1 error), none in its clean run" \
  "$(row compute_sanitizer_self_test)"
expect "working: --also's PTX" "ok sm_90 machine code in 0 of 2 modules" "$(row also_gputune_ptx_only)"
expect "working: CUDA_VISIBLE_DEVICES reaches the programs and the gpu file" "0 CUDA_VISIBLE_DEVICES=1" \
  "$(grep -c 'vecmat.*CUDA_VISIBLE_DEVICES=[^1]' "$work/calls") $(grep -om 1 'CUDA_VISIBLE_DEVICES=[^ ]*' "$logs/gpu")"
expect "working: racecheck on gputune's dot_product_kernel" 4 \
  "$(called '^compute-sanitizer --tool racecheck .*--kernel-name kns=dot_product_kernel --launch-skip (0|10|20|30) --launch-count 1 .*/gputune ')"
"$ctest" --test-dir "$checkout/build/cuda" -N -L gpu --show-only=json-v1 >"$work/tests.json"
expect "working: every gpu test holds the GPU alone (RESOURCE_LOCK gpu)" "21 tests, 0 without" "$(python3 -c '
import json, sys
tests = json.load(open(sys.argv[1]))["tests"]
alone = [t for t in tests if any(p["name"] == "RESOURCE_LOCK" and "gpu" in p["value"] for p in t.get("properties", []))]
print(len(tests), "tests,", len(tests) - len(alone), "without")' "$work/tests.json")"

# compute-sanitizer missing, ncu unable to start: only their tests are skipped, with the reason.
# CMake and Ninja are not on PATH: the checkout's .tools/ has them, as scripts/run would leave them.
mkdir -p "$work/without-sanitizer" "$work/base-without-cmake" "$checkout/.tools/cmake-3.31.10/cmake/data/bin" \
  "$checkout/.tools/ninja-1.13.0/ninja-1.13.0.data/scripts"
cp -P "$work/tools/"* "$work/without-sanitizer/" && rm "$work/without-sanitizer/compute-sanitizer"
cp -P "$work/base/"* "$work/base-without-cmake/" && rm "$work/base-without-cmake/"{cmake,ctest,ninja}
ln -s "$cmake" "$checkout/.tools/cmake-3.31.10/cmake/data/bin/cmake"
ln -s "$ctest" "$checkout/.tools/cmake-3.31.10/cmake/data/bin/ctest"
ln -s "$ninja" "$checkout/.tools/ninja-1.13.0/ninja-1.13.0.data/scripts/ninja"
touch "$checkout/.tools/cmake-3.31.10/.brought" "$checkout/.tools/ninja-1.13.0/.brought"
# (A COMPUTE_SANITIZER in the caller's environment is not taken for the one configuring found.)
COMPUTE_SANITIZER=$work/tools/compute-sanitizer NCU_CANNOT="Failed to initialize the profiler: LibraryNotLoaded" \
  TOOLS=$work/without-sanitizer BASE=$work/base-without-cmake run_check "tools that cannot run here"
rm -rf "$checkout/.tools"
expect "cannot: exit status, rows" "0 ok=7 skipped=11" "$status $(verdicts)"
expect "cannot: a sanitizer row" "skipped this machine cannot run compute-sanitizer: not found when the build was configured" \
  "$(row vecmat_initcheck)"
expect "cannot: the kernel times row" \
  "skipped this machine cannot run ncu: ==ERROR== Failed to initialize the profiler: LibraryNotLoaded" \
  "$(row vecmat_kernel_times)"
grep -q '; this machine cannot run compute-sanitizer, ncu (files in' "$table" || fail "cannot: $(tail -n 1 "$table")"
grep -q "^tools: cmake .*, compute-sanitizer not found, ncu " "$table" || fail "cannot: $(sed -n 2p "$table")"

STAND_IN_GPUS=61 run_check "a GPU of compute capability 6.1 and only CUDA 13"
expect "6.1, CUDA 13: exit status, the tools' row" "1 FAILED gpu-check: the GPU has compute capability 6.1, which \
CUDA 13 cannot build for: install a CUDA 12 toolkit (12.8 is what the programs are written for) (found and passed over: \
$work (13.0.88): cannot target compute capability 6.1)" "$status $(row tools)"

SANITIZER_CANNOT="Device not supported" STAND_IN_GPUS=61 STAND_IN_OLDEST_ARCH=52 run_check "a GPU of compute capability 6.1"
expect "6.1: a sanitizer row" "skipped this machine cannot run compute-sanitizer: ========= Error: Device not supported" \
  "$(row gputune_memcheck)"
expect "6.1: the ncu rows" "skipped this machine cannot run ncu: Nsight Compute cannot profile compute capability 6.1" \
  "$(row ncu_self_test)"
expect "6.1: machine code" "FAILED sm_61 machine code in 0 of 2 modules" "$(row vecmat_gpu_machine_code)"

SANITIZER_FINDS=gputune THRUST_DOT=2.09714e+06 NCU_DOT=95,000 run_check "faults in the programs"
expect "faults: exit status, rows" "1 FAILED=6 ok=12" "$status $(verdicts)"
expect "faults: values" "FAILED missing line: Скалярное произведение (Thrust): 2.09715e+06" "$(row vecmat_gpu_values)"
expect "faults: racecheck" "FAILED 4 errors (4 runs: dot_product_kernel, first launch at each block size)" \
  "$(row gputune_racecheck)"
expect "faults: kernel times" "FAILED dot_product_kernel event 0.013 ms, ncu 0.095 ms, -86.3 %; \
transpose_kernel event 0.046 ms, ncu 0.04512 ms, +2.0 %" "$(row vecmat_kernel_times)"

SANITIZER_BLIND=1 NCU_UNIT=cycle run_check "tools that give wrong answers"
expect "wrong: exit status, rows" "1 FAILED=2 notrun=9 ok=7" "$status $(verdicts)"
expect "wrong: compute-sanitizer's own test" "FAILED the probe's planted out-of-bounds write was not reported" \
  "$(row compute_sanitizer_self_test)"
expect "wrong: ncu's own test" "FAILED its CSV page gives no duration of probe_kernel" "$(row ncu_self_test)"
expect "wrong: what needs them" "not run Failed test dependencies: compute_sanitizer_self_test" "$(row vecmat_memcheck)"

# The tools hang at their work and when asked their version; the run ends by its deadline.
HANG="compute-sanitizer ncu cuobjdump" HANG_VERSION="compute-sanitizer ncu cuobjdump" GPU_CHECK_SECONDS=40 \
  run_check "hanging tools"
[ "$took" -le 45 ] || fail "hang: took $took s for a deadline of 40 s"
expect "hang: exit status, hung stand-ins" "1 3" "$status $(grep -cv : "$work/pids")"
expect "hang: the log folder" "gpu junit.xml logs.tar.gz results.json table" "$(ls "$logs" | paste -sd ' ')"
grep -q '^gpu-check: .*1 timeout' "$work/out" || fail "hang: no table on stdout: $(tail -n 1 "$work/out")"
expect "hang: the test that hung" "timeout timed out; last line: running compute-sanitizer --tool memcheck \
$checkout/build/cuda/bin/gpu_probe" "$(row compute_sanitizer_self_test)"
expect "hang: a test after it" "not run not started: the deadline came first" "$(row gputune_synccheck)"
grep -q ", compute-sanitizer did not answer in 5 s, ncu did not answer in 5 s$" "$table" || fail "hang: $(sed -n 2p "$table")"

# CMake hangs while configuring: the step is ended at the deadline, with all it started.
mkdir -p "$work/hanging-cmake"
standin "$work/hanging-cmake/cmake" "exec '$cmake' \"\$@\""
HANG=cmake TOOLS=$work/hanging-cmake:$work/tools GPU_CHECK_SECONDS=25 run_check "hanging configure"
[ "$took" -le 30 ] || fail "configure hang: took $took s for a deadline of 25 s"
expect "configure hang: exit status, row" "1 FAILED stopped by the deadline" "$status $(row configure)"

STAND_IN_GPUS="" run_check "no GPU"
expect "no GPU: exit status, its line" "77 gpu-check: no GPU found (the CUDA driver reports none); nothing was checked" \
  "$status $(cat "$work/out")"
[ ! -e "$logs" ] && [ ! -e "$checkout/build" ] || fail "no GPU: it left files"
run_check "a bad option" --log
expect "bad option" 2 "$status"

# SIGTERM: the running step is ended with all it started, and the table so far comes.
rm -rf "$checkout/build" && : >"$work/pids"
(cd "$work" && unset CUDA_HOME CUDA_PATH CUDACXX CUDAHOSTCXX && PATH="$work/tools:$work/base" CUDA_TOOLKIT_DIRS="" CUDA_DEVICE_QUERY=$work/tools/device-query \
  PIDS=$work/pids CALLS=/dev/null HANG=compute-sanitizer exec "$checkout/scripts/gpu-check" --log-dir "$logs" \
  >"$work/out" 2>&1) &
checker=$!
for _ in $(seq 300); do [ "$(wc -l <"$work/pids")" -lt 3 ] || break; sleep 0.2; done
kill -TERM "$checker"
wait "$checker"
expect "interrupted" "130 FAILED interrupted" "$? $(row gpu-check)"
no_survivors "interrupted"

echo "$failures failed"
[ "$failures" -eq 0 ]
