#!/usr/bin/env bash
# A GPU build run where no driver is installed: one line on stderr naming the program, the
# failed call and the runtime's reason; exit status 1; nothing on stdout. The reason is the
# runtime's for a missing driver library, or (where a driver library is installed but no GPU or
# kernel module is present) for a missing device.
# Skipped (77) where the CUDA driver reports a usable GPU.
set -u
program=$1
name=$(basename "$program")
if "$(dirname "$0")/../../scripts/find-gpu" >/dev/null; then
  echo "the CUDA driver reports a usable GPU; this test needs a machine without one"
  exit 77
fi
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
"$program" >"$out" 2>"$err"
status=$?
fail=0
[ "$status" -eq 1 ] || { echo "exit status $status, expected 1"; fail=1; }
[ ! -s "$out" ] || { echo "stdout not empty:"; cat "$out"; fail=1; }
lines=$(wc -l <"$err")
[ "$lines" -eq 1 ] || { echo "stderr has $lines lines, expected 1"; fail=1; }
reasons="CUDA driver version is insufficient for CUDA runtime version|no CUDA-capable device is detected"
grep -Eq "^$name: cuda[A-Za-z]+: ($reasons)$" "$err" || { echo "unexpected stderr:"; cat "$err"; fail=1; }
cat "$err"
exit $fail
