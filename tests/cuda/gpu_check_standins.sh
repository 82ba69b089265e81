# shellcheck shell=bash disable=SC2016  # the stand-ins' bodies expand when they run, not here
# Stand-ins for the tools and programs that scripts/gpu-check runs on a GPU machine, for running
# it whole on a machine without one. Sourced; `make_standins DIR` writes them:
#   DIR/tools     nvidia-smi, cmake, ctest, ninja, nvcc, compute-sanitizer, ncu, cuobjdump;
#   DIR/base      links to the few system commands the script and the stand-ins use, so that
#                 PATH=DIR/tools:DIR/base holds no real cmake, ninja or CUDA tool;
#   DIR/own       the programs that the stand-in `cmake --build` puts into build/cuda/bin;
#   DIR/cuda12    programs as scripts/check-cuda12 builds them (sm_52 machine code and PTX).
# A stand-in program carries its device code as lines "# cubin sm_NN" and "# ptx sm_NN", which
# the stand-in cuobjdump lists.
#
# The environment steers them:
#   HANG, HANG_VERSION  tools (by name) that hang at their work, or at their version query too,
#                       ignoring SIGTERM, with a child in a process group of its own;
#   PIDS                file where a hanging stand-in writes its own and its child's pid;
#   CALLS               file where every stand-in writes its name and arguments;
#   GPU                 nvidia-smi's CSV answer (default an H100 with compute capability 9.0);
#   NCU_ERROR           an error line that ncu logs instead of measuring;
#   DOT_NS, TRANSPOSE_NS  the durations ncu measures (default 12,480 and 45,120 ns);
#   SANITIZER_ERRORS    errors that compute-sanitizer reports (default 0);
#   THRUST_DOT          the dot product that vecmat prints for Thrust (default 2.09715e+06);
#   GPUTUNE_ERROR       a line with which gputune fails at once.

standin_preamble='#!/usr/bin/env bash
set -u
name=${0##*/}
echo "$name $*" >>"${CALLS:-/dev/null}"
hang_if() {  # work or version
  local list=${HANG:-}
  [ "$1" = work ] || list=${HANG_VERSION:-}
  case " $list " in *" $name "*) ;; *) return 0 ;; esac
  trap "" TERM  # ignored here and, inherited, in the children
  set -m        # the next child leads a process group of its own, as build tools make them
  sleep 1000 &
  set +m
  echo "$! $name-child" >>"$PIDS"
  echo "$$ $name" >>"$PIDS"
  while :; do sleep 1; done
}
if [ "${1:-}" = --version ]; then hang_if version; else hang_if work; fi
'

standin() {  # FILE BODY
  printf '%s%s\n' "$standin_preamble" "$2" >"$1"
  chmod +x "$1"
}

# A stand-in program NAME into DIR with the device code ARCH... ("cubin sm_90", "ptx sm_75").
standin_program() {  # DIR NAME ARCH...
  local dir=$1 name=$2 body
  shift 2
  case $name in
  vecmat)
    body='echo "Время выполнения скалярного произведения (CUDA): ${DOT_MS:-0.0130} мс"
echo "Скалярное произведение (CUDA): 2.09715e+06"
echo "Время выполнения скалярного произведения (Thrust): 1 мс"
echo "Скалярное произведение (Thrust): ${THRUST_DOT:-2.09715e+06}"
echo "Время выполнения транспонирования (CUDA): ${TRANSPOSE_MS:-0.0460} мс"
echo "Транспонированная матрица (CUDA): первый элемент: 1"
echo "Время выполнения транспонирования (Thrust): 2 мс"
echo "Транспонированная матрица (Thrust): первый элемент: 1"'
    ;;
  gputune)
    body='printf "%s\n" "=== Бенчмарк копирования памяти ===" "H2D normal time: 14.3 ms" \
  "D2H normal time: 22.6 ms" "" "=== Бенчмарк копирования памяти ===" "H2D pinned time: 15.5 ms" \
  "D2H pinned time: 25.7 ms" "" "=== Оптимизация векторного сложения ===" \
  "Оптимальный размер данных: 1048576 элементов" "Оптимальный размер блока: 64 потоков" \
  "Минимальное время выполнения: 2.7 ms" "" "=== Оптимизация скалярного произведения ===" \
  "Оптимальный размер данных: 1048576 элементов" "Оптимальный размер блока: 32 потоков" \
  "Минимальное время выполнения: 0.1 ms"'
    ;;
  esac
  # GPUTUNE_ERROR: the line on stderr with which gputune stops at once (exit status 1).
  [ "$name" != gputune ] || body='[ -z "${GPUTUNE_ERROR:-}" ] || { echo "$GPUTUNE_ERROR" >&2; exit 1; }'$'\n'$body
  local arch code=""
  for arch; do code+="# $arch"$'\n'; done
  standin "$dir/$name" "$code$body"
}

make_standins() {  # DIR
  local dir=$1 command
  mkdir -p "$dir/tools" "$dir/base" "$dir/own" "$dir/cuda12"
  for command in bash sh env timeout setsid sleep cat sed awk grep sort paste tail head tr wc \
    mkdir rm cp chmod mktemp tee date dirname basename ls readlink; do
    ln -sf "$(command -v "$command")" "$dir/base/$command"
  done

  standin "$dir/tools/nvidia-smi" 'GPU=${GPU:-NVIDIA H100 80GB HBM3, 580.95.05, 9.0}
case "$*" in
--version) printf "NVIDIA-SMI version  : 580.95.05\nDRIVER version      : 580.95.05\n" ;;
-L) echo "GPU 0: ${GPU%%,*} (UUID: GPU-5a1d7e2c-0000-0000-0000-000000000000)" ;;
*--query-gpu=*)
  # A warning on stdout before the answer, as nvidia-smi prints some.
  echo "WARNING: infoROM is corrupted at gpu 0000:00:1E.0"
  echo "$GPU" ;;
*) echo "| NVIDIA-SMI 580.95.05   Driver Version: 580.95.05   CUDA Version: 13.0 |" ;;
esac'
  standin "$dir/tools/cmake" 'case "${1:-}" in
--version) echo "cmake version ${CMAKE_STANDIN_VERSION:-3.25.1}" ;;
--preset)
  mkdir -p build/cuda
  echo "-- nvcc 13.0.88: /usr/local/cuda/bin/nvcc"
  echo "-- CUDA architectures: 75;90-real"
  echo "-- CCCL 3.0.1 from /usr/local/cuda/lib64/cmake/cccl" ;;
--build)
  mkdir -p build/cuda/bin
  cp "'"$dir"'"/own/* build/cuda/bin/
  echo "[1/2] Linking CXX executable bin/vecmat"
  echo "[2/2] Linking CXX executable bin/gputune" ;;
*) exit 1 ;;
esac'
  standin "$dir/tools/ctest" 'case "${1:-}" in
--version) echo "ctest version ${CMAKE_STANDIN_VERSION:-3.25.1}" ;;
*) echo "100% tests passed, 0 tests failed out of 11" ;;
esac'
  standin "$dir/tools/ninja" 'echo 1.11.1'
  standin "$dir/tools/nvcc" 'echo "Cuda compilation tools, release 13.0, V13.0.88"'
  standin "$dir/tools/compute-sanitizer" '[ "$1" != --version ] || { echo "Version 2025.3.1.0 (build 1)"; exit 0; }
while [ $# -gt 0 ]; do
  case $1 in
  --tool) tool=$2; shift 2 ;;
  --*) shift 2 ;;
  *) break ;;
  esac
done
echo "========= COMPUTE-SANITIZER"
"$@"
status=$?  # that of the program, unless errors were found
errors=${SANITIZER_ERRORS:-0}
if [ "$tool" = racecheck ]; then
  echo "========= RACECHECK SUMMARY: $errors hazards displayed ($errors errors, 0 warnings)"
else
  echo "========= ERROR SUMMARY: $errors errors"
fi
[ "$errors" -eq 0 ] || exit 3
exit $status'
  standin "$dir/tools/ncu" '[ "$1" != --version ] || { echo "Version 2025.3.1.0 (build 1)"; exit 0; }
while [ $# -gt 1 ]; do [ "$1" = --log-file ] && log=$2; shift; done
"$1" || exit 1
if [ -n "${NCU_ERROR:-}" ]; then
  echo "==ERROR== $NCU_ERROR" >"$log"
  echo "==WARNING== No kernels were profiled." >>"$log"
  exit 0
fi
{
  echo "\"ID\",\"Kernel Name\",\"gpu__time_duration.sum\""
  echo "\"\",\"\",\"nsecond\""
  echo "\"0\",\"vecmat::dot_product_kernel(float *, float *, float *, int)\",\"${DOT_NS:-12,480}\""
  echo "\"1\",\"vecmat::transpose_kernel(float *, float *, int, int)\",\"${TRANSPOSE_NS:-45,120}\""
} >"$log"'
  standin "$dir/tools/cuobjdump" '[ "$1" != --version ] || { echo "Cuda compilation tools, release 13.0, V13.0.85"; exit 0; }
file=${!#}
program=${file##*/}
n=0
sed -n "s/^# //p" "$file" | while read -r kind arch; do
  n=$((n + 1))
  if [ "$kind" = cubin ]; then
    echo "ELF file    $n: $program.$n.$arch.cubin"
  else
    echo "PTX file    $n: $program.$n.$arch.ptx"
  fi
done'

  local program
  for program in vecmat gputune; do
    # Two modules with device code: PTX for the oldest architecture, machine code for it and
    # for the GPU found (sm_90 unless OWN_SM says otherwise).
    standin_program "$dir/own" "$program" "ptx sm_75" "cubin sm_75" "ptx sm_75" "cubin sm_75" \
      "cubin ${OWN_SM:-sm_90}" "cubin ${OWN_SM:-sm_90}"
    standin_program "$dir/cuda12" "$program" "ptx sm_52" "cubin sm_52" "ptx sm_52" "cubin sm_52"
  done
}
