#!/usr/bin/env bash
# Runs a GPU build on a GPU and checks its report; under compute-sanitizer too where installed.
# Skipped (77) where the CUDA driver reports no usable GPU. With "values" as the second argument
# it checks the report alone and does not ask for the GPU: its caller already knows one is there.
set -u
program=$1 only=${2:-}
name=$(basename "$program")
if [ "$only" != values ] && ! "$(dirname "$0")/../../scripts/find-gpu" >/dev/null; then
  echo "the CUDA driver reports no usable GPU on this machine"
  exit 77
fi
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$program" >"$out" || { echo "$name failed"; exit 1; }
cat "$out"
fail=0
expect() { grep -Fxq -- "$1" "$out" || { echo "missing line: $1"; fail=1; }; }
case "$name" in
vecmat)
  [ "$(wc -l <"$out")" -eq 8 ] || { echo "expected 8 lines"; fail=1; }
  expect "Скалярное произведение (CUDA): 2.09715e+06"
  expect "Скалярное произведение (Thrust): 2.09715e+06"
  expect "Транспонированная матрица (CUDA): первый элемент: 1"
  expect "Транспонированная матрица (Thrust): первый элемент: 1"
  ;;
gputune)
  [ "$(wc -l <"$out")" -eq 17 ] || { echo "expected 17 lines"; fail=1; }
  # Lines 11 and 16: each search's best block size, from the sizes that search tries.
  sed -n '11p' "$out" | grep -Eqx 'Оптимальный размер блока: (32|64|128|256|512|1024) потоков' ||
    { echo "line 11 is not a vector-add block size"; fail=1; }
  sed -n '16p' "$out" | grep -Eqx 'Оптимальный размер блока: (32|64|128|256) потоков' ||
    { echo "line 16 is not a dot-product block size"; fail=1; }
  ;;
*)
  echo "no report to check for a program named '$name'"
  fail=1
  ;;
esac
[ "$only" != values ] || exit $fail
sanitizer=$(command -v compute-sanitizer || ls /usr/local/cuda/bin/compute-sanitizer 2>/dev/null || true)
if [ -n "$sanitizer" ]; then
  "$sanitizer" --error-exitcode 3 "$program" >/dev/null || { echo "compute-sanitizer found errors"; fail=1; }
else
  echo "compute-sanitizer is not installed; skipped it"
fi
exit $fail
