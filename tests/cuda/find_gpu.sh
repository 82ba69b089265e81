#!/usr/bin/env bash
# Whether a GPU is there is the CUDA driver's answer, not nvidia-smi's: scripts/find-gpu and the
# tests that depend on it, run against a stand-in driver library that has one GPU or none, with
# and without a stand-in nvidia-smi that claims an H100.
# Usage: find_gpu.sh STAND_IN_DRIVER_DIR PROGRAM
set -u
driver=$1 program=$2
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: got '$3', expected '$2'"; failures=$((failures + 1)); fi
}
mkdir -p "$work/smi"
printf '#!/bin/sh\necho "GPU 0: NVIDIA H100 80GB HBM3 (UUID: GPU-0)"\n' >"$work/smi/nvidia-smi"
chmod +x "$work/smi/nvidia-smi"
without_smi=$(tr ':' '\n' <<<"$PATH" | while read -r dir; do [ -x "$dir/nvidia-smi" ] || echo "$dir"; done | paste -sd ':')

# COMMAND... with the stand-in driver having GPU CAPABILITY (empty: none), and nvidia-smi on PATH
# or not; prints the command's output and exit status.
with_driver() {  # CAPABILITY smi|no-smi COMMAND...
  local capability=$1 path=$without_smi
  [ "$2" = smi ] && path=$work/smi:$without_smi
  shift 2
  local out
  out=$(env PATH="$path" LD_LIBRARY_PATH="$driver" STAND_IN_GPU_CAPABILITY="$capability" "$@" 2>/dev/null)
  echo "$? ${out%%$'\n'*}"
}

expect "a GPU, no nvidia-smi" "0 90" "$(with_driver 90 no-smi "$root/scripts/find-gpu")"
expect "no GPU, though nvidia-smi claims one" "1 " "$(with_driver '' smi "$root/scripts/find-gpu")"
expect "GPU tests skipped where the driver has none" 77 \
  "$(GPU_LOGS=$work/logs with_driver '' smi "$root/tests/cuda/gpu_check.sh" values vecmat_gpu_values "$program" |
    cut -d' ' -f1)"
expect "the no-driver test skipped where the driver has a GPU" 77 \
  "$(with_driver 90 no-smi "$root/tests/cuda/no_driver.sh" "$program" | cut -d' ' -f1)"
[ "$failures" -eq 0 ]
