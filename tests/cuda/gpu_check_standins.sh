# shellcheck shell=bash disable=SC2016  # the stand-ins' bodies expand when they run, not here
# Stand-ins for what scripts/gpu-check runs on a GPU machine. `make_standins DIR` writes the tools
# into DIR/tools, links to the system commands that they and the script use into DIR/base (so that
# PATH=DIR/tools:DIR/base holds no real build or CUDA tool), the programs that the stand-in
# `cmake --build` installs into DIR/own, and programs as check-cuda12 builds them into DIR/cuda12.
# A program carries its device code as lines "# cubin sm_NN" and "# ptx sm_NN" for cuobjdump.
# The environment steers them: HANG and HANG_VERSION name the tools that hang at their work, or at
# a version query too, ignoring SIGTERM and with a child in a process group of its own (both pids
# go to $PIDS); CALLS collects every call; GPU is nvidia-smi's answer; NCU_ERROR a line that ncu
# logs instead of measuring; STANDIN_CMAKE_VERSION cmake's version; THRUST_DOT vecmat's Thrust dot product;
# GPUTUNE_ERROR a line with which gputune fails.

standin_preamble='#!/usr/bin/env bash
name=${0##*/}
echo "$name $*" >>"${CALLS:-/dev/null}"
list=${HANG:-}
[ "${1:-}" != --version ] || list=${HANG_VERSION:-}
if [[ " $list " == *" $name "* ]]; then
  trap "" TERM  # inherited by the children
  set -m        # the next child leads a process group of its own, as build tools make them
  sleep 1000 &
  set +m
  echo "$! $name-child" >>"$PIDS"
  echo "$$ $name" >>"$PIDS"
  while :; do sleep 1; done
fi
'
standin() {  # FILE BODY
  printf '%s%s\n' "$standin_preamble" "$2" >"$1"
  chmod +x "$1"
}

standin_program() {  # DIR NAME DEVICE-CODE...: DEVICE-CODE such as "cubin sm_90"
  local dir=$1 name=$2 code="" line
  shift 2
  for line; do code+="# $line"$'\n'; done
  if [ "$name" = vecmat ]; then
    standin "$dir/vecmat" "$code"'printf "%s\n" "Время выполнения скалярного произведения (CUDA): 0.0130 мс" \
  "Скалярное произведение (CUDA): 2.09715e+06" "Время выполнения скалярного произведения (Thrust): 1 мс" \
  "Скалярное произведение (Thrust): ${THRUST_DOT:-2.09715e+06}" \
  "Время выполнения транспонирования (CUDA): 0.0460 мс" "Транспонированная матрица (CUDA): первый элемент: 1" \
  "Время выполнения транспонирования (Thrust): 2 мс" "Транспонированная матрица (Thrust): первый элемент: 1"'
  else
    standin "$dir/gputune" "$code"'[ -z "${GPUTUNE_ERROR:-}" ] || { echo "$GPUTUNE_ERROR" >&2; exit 1; }
for copy in normal pinned; do
  printf "%s\n" "=== Бенчмарк копирования памяти ===" "H2D $copy time: 1 ms" "D2H $copy time: 1 ms" ""
done
for search in "векторного сложения" "скалярного произведения"; do
  printf "%s\n" "=== Оптимизация $search ===" "Оптимальный размер данных: 1048576 элементов" \
    "Оптимальный размер блока: 64 потоков" "Минимальное время выполнения: 0.1 ms" ""
done | head -n 9'
  fi
}

make_standins() {  # DIR
  local dir=$1 command
  mkdir -p "$dir/tools" "$dir/base" "$dir/own" "$dir/cuda12"
  for command in bash env timeout setsid sleep cat sed awk grep sort paste tail head tr wc mkdir rm \
    cp chmod mktemp tee dirname basename; do
    ln -sf "$(command -v "$command")" "$dir/base/$command"
  done
  standin "$dir/tools/nvidia-smi" 'GPU=${GPU:-NVIDIA H100 80GB HBM3, 580.95.05, 9.0}
case "$*" in
--version) echo "NVIDIA-SMI version  : 580.95.05" ;;
-L) echo "GPU 0: ${GPU%%,*} (UUID: GPU-5a1d7e2c)" ;;
*--query-gpu=*) printf "%s\n" "WARNING: infoROM is corrupted at gpu 0000:00:1E.0" "$GPU" ;;
*) echo "| NVIDIA-SMI 580.95.05   Driver Version: 580.95.05   CUDA Version: 13.0 |" ;;
esac'
  standin "$dir/tools/cmake" 'case $1 in
--version) echo "cmake version ${STANDIN_CMAKE_VERSION:-3.25.1}" ;;
--preset) printf "%s\n" "-- nvcc 13.0.88: /usr/bin/nvcc" "-- CUDA architectures: 75;90-real" "-- CCCL 3.0.1 from /cccl" ;;
--build) mkdir -p build/cuda/bin && cp "'"$dir"'"/own/* build/cuda/bin/ && echo "[1/1] Linking" ;;
esac'
  standin "$dir/tools/ctest" 'echo "100% tests passed, 0 tests failed out of 11"'
  standin "$dir/tools/ninja" 'echo 1.11.1'
  standin "$dir/tools/nvcc" 'echo "Cuda compilation tools, release 13.0, V13.0.88"'
  standin "$dir/tools/compute-sanitizer" '[ "$1" != --version ] || { echo "Version 2025.3.1.0"; exit 0; }
while [[ $1 == --* ]]; do [ "$1" != --tool ] || tool=$2; shift 2; done
"$@"
status=$?
if [ "$tool" = racecheck ]; then echo "RACECHECK SUMMARY: 0 hazards displayed (0 errors, 0 warnings)"
else echo "========= ERROR SUMMARY: 0 errors"; fi
exit $status'
  standin "$dir/tools/ncu" '[ "$1" != --version ] || { echo "Version 2025.3.1.0"; exit 0; }
while [ $# -gt 1 ]; do [ "$1" != --log-file ] || log=$2; shift; done
"$1" || exit 1
if [ -n "${NCU_ERROR:-}" ]; then echo "==ERROR== $NCU_ERROR" >"$log"; exit 0; fi
printf "%s\n" "\"Kernel Name\",\"gpu__time_duration.sum\"" "\"\",\"nsecond\"" \
  "\"vecmat::dot_product_kernel(float *, float *, float *, int)\",\"12,480\"" \
  "\"vecmat::transpose_kernel(float *, float *, int, int)\",\"45,120\"" >"$log"'
  standin "$dir/tools/cuobjdump" '[ "$1" != --version ] || { echo "release 13.0, V13.0.85"; exit 0; }
sed -n "s/^# cubin \(.*\)/ELF file    1: x.1.\1.cubin/p; s/^# ptx \(.*\)/PTX file    1: x.1.\1.ptx/p" "${!#}"'
  local program
  for program in vecmat gputune; do  # PTX for the oldest architecture, machine code for the GPU
    standin_program "$dir/own" "$program" "ptx sm_75" "cubin sm_75" "ptx sm_75" "cubin sm_90" "cubin sm_90"
    standin_program "$dir/cuda12" "$program" "ptx sm_52" "cubin sm_52" "ptx sm_52" "cubin sm_52"
  done
}
