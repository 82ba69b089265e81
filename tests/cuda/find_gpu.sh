#!/usr/bin/env bash
# Whether a GPU is there is the CUDA driver's answer, not nvidia-smi's: scripts/find-gpu and the
# tests that depend on it, run against a stand-in driver library that has one GPU, none, or fails,
# with a stand-in nvidia-smi first on PATH that claims an H100 or that cannot reach the driver
# (the system's own, in /usr/bin where a driver package put it, stays on PATH behind it).
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
mkdir -p "$work/smi" "$work/no-smi"
printf '#!/bin/sh\necho "GPU 0: NVIDIA H100 80GB HBM3 (UUID: GPU-0)"\n' >"$work/smi/nvidia-smi"
printf '#!/bin/sh\necho "NVIDIA-SMI has failed because it couldn'"'"'t communicate with the NVIDIA driver."\nexit 9\n' \
  >"$work/no-smi/nvidia-smi"
chmod +x "$work/smi/nvidia-smi" "$work/no-smi/nvidia-smi"

# COMMAND... with the stand-in driver having GPU CAPABILITY (empty: none), and an nvidia-smi that
# claims a GPU or fails; prints the command's exit status and the first line it prints, notes aside.
with_driver() {  # CAPABILITY smi|no-smi COMMAND...
  local capability=$1 path=$work/$2:$PATH out status
  shift 2
  out=$(env PATH="$path" LD_LIBRARY_PATH="$driver" STAND_IN_GPU_CAPABILITY="$capability" "$@" 2>&1 </dev/null)
  status=$?
  echo "$status $(grep -v '^note: ' <<<"$out" | head -n 1)"
}
expect "a GPU, though nvidia-smi cannot reach the driver" "0 90" "$(with_driver 90 no-smi "$root/scripts/find-gpu")"
expect "no GPU, though nvidia-smi claims one" "1 " "$(with_driver '' smi "$root/scripts/find-gpu")"
expect "GPU tests skipped where the driver has none" 77 \
  "$(GPU_LOGS=$work/logs with_driver '' smi "$root/tests/cuda/gpu_check.sh" values vecmat_gpu_values "$program" |
    cut -d' ' -f1)"
expect "the no-driver test skipped where the driver has a GPU" 77 \
  "$(with_driver 90 no-smi "$root/tests/cuda/no_driver.sh" "$program" | cut -d' ' -f1)"

# A driver that is there and fails (cuInit gives 803 after an update without a restart) is named,
# and is no machine without a GPU: scripts/run stops, a GPU test fails rather than skips.
mismatch="the CUDA driver is installed but fails: cuInit gives CUDA_ERROR_SYSTEM_DRIVER_MISMATCH (803)"
export STAND_IN_CUINIT_STATUS=803
expect "a failing driver: find-gpu names it" "3 $mismatch" "$(with_driver 90 smi "$root/scripts/find-gpu" | cut -d';' -f1)"
expect "  scripts/run stops with that line" "1 run: $mismatch" "$(with_driver 90 smi "$root/scripts/run" | cut -d';' -f1)"
expect "  a GPU test fails with it" "1 $mismatch" \
  "$(GPU_LOGS=$work/logs with_driver 90 smi "$root/tests/cuda/gpu_check.sh" values vecmat_gpu_values "$program" |
    cut -d';' -f1)"
unset STAND_IN_CUINIT_STATUS

# A query left by another machine (it cannot run here) is built again.
mkdir -p "$work/checkout" && cp -r "$root/scripts" "$work/checkout/"
with_driver 90 smi "$work/checkout/scripts/find-gpu" >/dev/null
for query in "$work"/checkout/.tools/driver-query-*/driver-query; do printf '#!/bin/sh\nexit 126\n' >"$query"; done
expect "a query that cannot run here is built again" "0 90" "$(with_driver 90 smi "$work/checkout/scripts/find-gpu")"
[ "$failures" -eq 0 ]
