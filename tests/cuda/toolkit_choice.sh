#!/usr/bin/env bash
# Which CUDA toolkit the scripts take, against stand-in toolkits (an nvcc that answers for its
# version and architectures, and their headers) and a stand-in driver library that reports one
# GPU of a chosen compute capability and CUDA version. Only the stand-ins are candidates: PATH
# holds no other nvcc and no fixed folder is searched.
#   - Of two toolkits, the one that can target the GPU is taken, whatever their order on PATH.
#   - Where only CUDA 13 is there and the GPU or the driver is too old for it, scripts/run stops
#     with one line that says what to install, before it builds anything.
#   - A toolkit the user names (CUDA_HOME, CUDACXX) is taken over a newer one on PATH, and where
#     it does not fit, nothing else is: one line says why.
#   - A 12.x toolkit runs on a driver of an older 12.x, with a note; a GPU newer than a toolkit's
#     newest architecture rules it out.
#   - A 12.x toolkit whose CCCL is older than 2.7 gets CCCL 2.7.0.
#   - With this machine's own nvcc (/usr/local/cuda) and a gcc that says it is GCC 16, which nvcc
#     refuses: an installed g++-N that nvcc accepts is taken, and without one the run stops in
#     one line that names the compiler.
# Usage: toolkit_choice.sh STAND_IN_DRIVER_DIR
set -u
driver=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
real_nvcc=/usr/local/cuda/bin/nvcc
unset CUDA_HOME CUDA_PATH CUDACXX CUDAHOSTCXX  # a case names one where it means to
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() {  # WHAT COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}

# A stand-in toolkit in $work/NAME: VERSION (12.8.93), oldest architecture, THRUST_VERSION.
toolkit() {  # NAME VERSION OLDEST THRUST_VERSION
  local dir=$work/$1 number
  mkdir -p "$dir/bin" "$dir/include/thrust"
  number=$((${2%%.*} * 1000 + $(cut -d. -f2 <<<"$2") * 10))
  cat >"$dir/bin/nvcc" <<NVCC
#!/bin/sh
case "\$*" in
--version) echo "Cuda compilation tools, release ${2%.*}, V$2" ;;
--list-gpu-arch) echo compute_$3; echo compute_90 ;;
*--dryrun*) echo "#\\\$ _HERE_=$dir/bin" >&2 ;;
-c*) ;;  # the probe of the host compiler: accepted
*) exit 1 ;;
esac
NVCC
  chmod +x "$dir/bin/nvcc"
  echo "#define CUDART_VERSION $number" >"$dir/include/cuda_runtime_api.h"
  echo "#define THRUST_VERSION $4" >"$dir/include/thrust/version.h"
}
toolkit cuda-13.0 13.0.88 75 300001
toolkit cuda-12.8 12.8.93 50 200800
toolkit cuda-12.4 12.4.131 50 200302

# The system's PATH with no nvcc on it: a folder that holds one is replaced by links to the rest
# of its commands (Debian's own toolkit puts nvcc in /usr/bin).
mkdir -p "$work/without-nvcc"
system_path=$work/without-nvcc
while read -r dir; do
  if [ -x "$dir/nvcc" ]; then
    for command in "$dir"/*; do
      name=$(basename "$command")
      [ "$name" = nvcc ] || [ -e "$work/without-nvcc/$name" ] || ln -s "$command" "$work/without-nvcc/$name"
    done
  else
    system_path+=:$dir
  fi
done < <(tr ':' '\n' <<<"$PATH")
# The scripts alone, in a folder of their own: what scripts/run builds would go there.
mkdir -p "$work/checkout"
cp -r "$root/scripts" "$work/checkout/"

# COMMAND... with the stand-in toolkits FOLDERS first on PATH and a GPU of CAPABILITY whose
# driver supports CUDA version DRIVER; stdout and stderr go to $work/out and $work/err.
with() {  # FOLDERS CAPABILITY DRIVER COMMAND...
  local path=$1 capability=$2 version=$3
  shift 3
  (cd "$work/checkout" && env CUDA_TOOLKIT_DIRS="" PATH="$path:$system_path" \
    LD_LIBRARY_PATH="$driver" STAND_IN_GPU_CAPABILITY="$capability" STAND_IN_DRIVER_VERSION="$version" \
    "$@" >"$work/out" 2>"$work/err" </dev/null)
}
errors() { grep -v '^note: ' "$work/err"; }
one_line_naming() { [ "$(errors | wc -l)" -eq 1 ] && errors | grep -q "$1"; }

for order in "$work/cuda-13.0/bin:$work/cuda-12.8/bin" "$work/cuda-12.8/bin:$work/cuda-13.0/bin"; do
  first=$(basename "$(dirname "${order%%:*}")")
  with "$order" 61 13000 scripts/find-cuda cuda
  check "compute capability 6.1, $first first on PATH: CUDA 12.8 is taken" \
    [ "$(cat "$work/out")" = "$work/cuda-12.8/bin/nvcc" ]
  check "  and the note says why CUDA 13.0 was passed over" \
    grep -qx "note: passed over $work/cuda-13.0 (13.0.88): cannot target compute capability 6.1" "$work/err"
done
with "$work/cuda-13.0/bin:$work/cuda-12.8/bin" 90 13000 scripts/find-cuda cuda
check "compute capability 9.0: the newer CUDA 13.0 is taken" [ "$(cat "$work/out")" = "$work/cuda-13.0/bin/nvcc" ]

with "$work/cuda-13.0/bin" 61 13000 scripts/run
status=$?
check "only CUDA 13, compute capability 6.1: scripts/run exits 1" [ "$status" -eq 1 ]
check "  with one line that names CUDA 12" one_line_naming 'install a CUDA 12 toolkit'
check "  having built nothing" [ ! -e "$work/checkout/build" ]

with "$work/cuda-13.0/bin" 90 12040 scripts/run
status=$?
check "only CUDA 13, a driver for CUDA 12.4: scripts/run exits 1" [ "$status" -eq 1 ]
check "  with one line that names the driver and CUDA 12.4" \
  [ "$(errors)" = "run: the driver supports CUDA 12.4, and CUDA 13 needs driver 580 or newer: update the driver, or install a CUDA 12.4 toolkit (found and passed over: $work/cuda-13.0 (13.0.88): the driver supports CUDA 12.4 only)" ]
check "  having built nothing" [ ! -e "$work/checkout/build" ]

CUDA_HOME=$work/cuda-12.8 with "$work/cuda-13.0/bin" 90 13000 scripts/find-cuda cuda
check "CUDA_HOME names CUDA 12.8, CUDA 13.0 first on PATH: 12.8 is taken" [ "$(cat "$work/out")" = "$work/cuda-12.8/bin/nvcc" ]
CUDACXX=$work/cuda-13.0/bin/nvcc with "$work/cuda-12.8/bin" 61 13000 scripts/run
status=$?
check "CUDACXX names CUDA 13.0 for a GPU of 6.1, CUDA 12.8 on PATH: scripts/run exits 1" [ "$status" -eq 1 ]
check "  with one line that names CUDACXX and why" one_line_naming "CUDACXX names CUDA 13.0.88 in $work/cuda-13.0, which does not fit the cuda build: cannot target compute capability 6.1"

with "$work/cuda-12.8/bin" 90 12040 scripts/find-cuda cuda
check "CUDA 12.8 on a driver for 12.4: taken" [ "$(cat "$work/out")" = "$work/cuda-12.8/bin/nvcc" ]
check "  with a note on minor-version compatibility" grep -q '^note: the driver supports CUDA 12.4, older than CUDA 12.8.93: .*minor-version compatibility' "$work/err"
with "$work/cuda-12.8/bin" 120 12080 scripts/find-cuda cuda
check "a GPU of 12.0, newer than CUDA 12.8's newest architecture here: exit 1, naming it" one_line_naming \
  "cannot build machine code for compute capability 12.0 (its newest is 9.0)"

with "$work/cuda-12.4/bin" 61 12040 scripts/find-cuda cuda
check "CUDA 12.4 with CCCL 2.3.2: it is taken, with CCCL 2.7.0" \
  grep -q "note: its CCCL 2.3.2 is older than 2.7; would bring CCCL 2.7.0" "$work/err"


if [ -x "$real_nvcc" ]; then
  # FOLDER/NAME: the system's gcc (or g++-N), saying it is GCC 16.
  gcc16() {
    local system
    system=$(command -v "$2") && mkdir -p "$1" && cat >"$1/$2" <<GCC16 && chmod +x "$1/$2"
#!/bin/sh
case "\$1" in -dumpfullversion | -dumpversion) echo 16.1.0; exit 0 ;; --version) echo "$2 (GCC) 16.1.0"; exit 0 ;; esac
exec $system -U__GNUC__ -D__GNUC__=16 "\$@"
GCC16
  }
  gcc16 "$work/gcc16" gcc
  CUDACXX=$real_nvcc with "$work/gcc16" 90 13000 scripts/find-cuda cuda
  check "nvcc refuses a gcc of GCC 16: an installed g++-N it accepts is taken" \
    grep -qE "^note: nvcc [0-9.]+ does not accept its default host compiler, gcc \(GCC 16.1.0\): .*later than [0-9]+ are not supported; building with g\+\+-[0-9]+" "$work/err"
  for compiler in $(compgen -c | grep -xE 'g\+\+-[0-9]+' | sort -u); do gcc16 "$work/gcc16" "$compiler"; done
  CUDACXX=$real_nvcc with "$work/gcc16" 90 13000 scripts/find-cuda cuda
  status=$?
  check "  and where every g++-N is refused too: exit 1" [ "$status" -eq 1 ]
  check "  with one line that names the compiler and its version" one_line_naming "the host compiler gcc (GCC 16.1.0)"
else
  echo "skipped: the host compiler cases (no $real_nvcc here)"
fi
[ "$failures" -eq 0 ]
