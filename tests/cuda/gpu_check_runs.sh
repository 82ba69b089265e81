#!/usr/bin/env bash
# scripts/gpu-check run whole, in a copy of its checkout, with stand-ins for nvidia-smi (an H100
# unless said otherwise), the build tools, compute-sanitizer, ncu, cuobjdump and the programs
# (gpu_check_standins.sh): the rows each fault fails, the deadline with tools that hang and ignore
# SIGTERM, the log folder, --also, a GPU that Nsight Compute cannot profile, and that no stand-in
# outlives a run. GPU_CHECK_RUNS_LONG=1 adds two runs of 150 s in which stand-ins hang.
set -u
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $1"; failures=$((failures + 1)); }
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else fail "$1: got '$3', expected '$2'"; fi
}
# shellcheck source-path=SCRIPTDIR
source "$here/gpu_check_standins.sh"
make_standins "$work"
checkout=$work/checkout logs=$work/logs table=$work/logs/table
mkdir -p "$checkout/scripts" "$checkout/tests/cuda"
cp "$here/../../scripts/gpu-check" "$checkout/scripts/"
cp "$here/gpu_check.sh" "$checkout/tests/cuda/"

no_survivors() {  # NAME: every stand-in that hung is gone (or a zombie waiting to be reaped)
  local pid what stat
  while read -r pid what; do
    read -r stat 2>/dev/null <"/proc/$pid/stat" && [[ ${stat##*) } != Z* ]] &&
      fail "$1: the stand-in $what (pid $pid) still runs"
  done <"$work/pids"
}
# Runs gpu-check with ARGS, the stand-ins in TOOLS (default $work/tools) and the environment given
# before the call; sets status and took (seconds).
run_check() {  # NAME ARGS...
  local name=$1 started=$SECONDS
  shift
  rm -rf "$checkout/build" "$logs"
  : >"$work/pids"
  : >"$work/calls"
  (cd "$work" && PATH="${TOOLS:-$work/tools}:$work/base" CUDA_HOME=/nonexistent PIDS=$work/pids \
    CALLS=$work/calls exec "$checkout/scripts/gpu-check" --log-dir "$logs" "$@" >"$work/out" 2>&1)
  status=$?
  took=$((SECONDS - started))
  echo "-- $name: status $status after $took s"
  no_survivors "$name"
}
row() { grep -F -- "$(printf '%-40s ' "$1")" "$table" | cut -c42- | sed -E 's/ +[0-9]+s  / /'; }  # CHECK: "VERDICT FIGURE"
verdicts() { sed '1,3d;$d' "$table" | cut -c42-47 | sort | uniq -c | awk '{ print $2 "=" $1 }' | paste -sd ' '; }
called() { grep -cE -- "$1" "$work/calls"; }  # how many stand-in calls match PATTERN

run_check "every tool works" --also "$work/cuda12/"
expect "working: exit status, rows" "0 ok=30" "$status $(verdicts)"
expect "the GPU from nvidia-smi's last line" "gpu-check on NVIDIA H100 80GB HBM3 (compute capability 9.0)" \
  "$(grep -o '^gpu-check on .*)' "$table")"
for file in log table gpu configure build cuobjdump-vecmat-cuda12 values-gputune ncu-3.csv ctest \
  memcheck-vecmat-cuda12 racecheck-gputune; do
  [ -s "$logs/$file" ] || fail "log folder: no $file"
done
if ! grep -q '^GPU 0: NVIDIA H100' "$logs/gpu" || ! grep -q '"nsecond"' "$logs/ncu-1.csv" ||
  ! grep -q 'RACECHECK SUMMARY' "$logs/racecheck-gputune" || ! grep -qF "$(sed -n 3p "$table")" "$logs/log"; then
  fail "log folder: a file without its tool's output"
fi
expect "calls: configure, ctest, ncu, racecheck on gputune" "1 1 3 4" "$(called '^cmake --preset cuda -DWARNINGS_AS_ERRORS=OFF -DBUILD_TESTS=ON$') \
$(called '^ctest .*--no-tests=error') $(called '^ncu .*--print-units base') \
$(called '^compute-sanitizer --tool racecheck .*--launch-skip (0|10|20|30) --launch-count 1 .*gputune$')"
expect "a timing row" "ok event 0.013 ms, ncu 0.01248 ms (medians of 3 runs each), difference +0.0005 ms (+4.2 %)" \
  "$(row "dot_product_kernel time")"
expect "--also: PTX that the driver compiles" "ok no sm_90 cubin, 2 PTX modules: the driver JIT-compiles them" \
  "$(row "gputune PTX only for sm_90 [cuda12]")"

mkdir -p "$work/faulty/bin"
for program in vecmat gputune; do  # built elsewhere, but with machine code for this GPU
  standin_program "$work/faulty/bin" "$program" "ptx sm_52" "cubin sm_52" "ptx sm_52" "cubin sm_90"
done
NCU_ERROR="ERR_NVGPUCTRPERM - The user does not have permission" THRUST_DOT=2.09714e+06 \
  GPUTUNE_ERROR="gputune: cudaMalloc: out of memory" run_check "faults" --also "$work/faulty/bin"
# Failed: 2 timing, 2 machine code, 4 values, memcheck twice and initcheck, racecheck, synccheck on gputune.
expect "faults: exit status, rows" "1 failed=13 ok=17" "$status $(verdicts)"
expect "faults: ncu's error line" "failed ncu run 1: ==ERROR== ERR_NVGPUCTRPERM - The user does not have permission" \
  "$(row "transpose_kernel time")"
expect "faults: values" "failed missing line: Скалярное произведение (Thrust): 2.09715e+06" "$(row "vecmat values")"
expect "faults: a program that stops" \
  "failed 0 errors; gputune: cudaMalloc: out of memory (dot_product_kernel, 1st launch at each block size)" \
  "$(row "synccheck gputune")"
expect "faults: machine code where the JIT should run" \
  "failed 1 sm_90 cubins, 2 PTX modules: what runs here is not the JIT's" "$(row "vecmat PTX only for sm_90 [faulty]")"

mkdir -p "$work/some-tools"
cp "$work/tools/"* "$work/some-tools/"
rm "$work/some-tools/ncu" "$work/some-tools/cuobjdump"
standin "$work/some-tools/compute-sanitizer" 'echo "error while loading shared libraries: libcuda.so.1"; exit 127'
TOOLS=$work/some-tools run_check "missing tools"
# Failed: the three tools, 2 machine code, 2 timing, 8 sanitizer rows.
expect "missing: exit status, rows" "1 failed=15 ok=9" "$status $(verdicts)"
expect "missing: ncu's rows" "failed ncu is not installed" "$(row "transpose_kernel time")"
expect "missing: cuobjdump's rows" "failed cuobjdump is not installed" "$(row "gputune machine code for sm_90")"
expect "refused: compute-sanitizer's rows" \
  "failed compute-sanitizer refused: error while loading shared libraries: libcuda.so.1" "$(row "memcheck vecmat")"
STANDIN_CMAKE_VERSION=3.22.1 run_check "an old cmake"
expect "old cmake" "1 failed cmake 3.22.1 is older than 3.25 0" "$status $(row "configure (cuda preset)") $(called '^cmake --preset')"

for program in vecmat gputune; do
  standin_program "$work/own" "$program" "ptx sm_52" "cubin sm_61"
done
GPU="NVIDIA GeForce GTX 1080, 580.95.05, 6.1" run_check "compute capability 6.1"
expect "6.1: exit status, rows, ncu runs" "0 n/a=2 ok=22 0" "$status $(verdicts) $(called '^ncu --clock')"
expect "6.1: timing rows" "n/a not available: Nsight Compute cannot profile compute capability 6.1" \
  "$(row "dot_product_kernel time")"
make_standins "$work"  # the H100's programs again

# cuobjdump hangs at its version query, compute-sanitizer at its work: each cut short, the rows
# after them skipped, and the run ends by its deadline with its table.
HANG=compute-sanitizer HANG_VERSION=cuobjdump GPU_CHECK_SECONDS=30 run_check "hanging tools"
[ "$took" -lt 25 ] || [ "$took" -gt 33 ] && fail "hang: took $took s for a deadline of 30 s"
expect "hang: exit status, stand-ins and children that hung" "1 4" "$status $(wc -l <"$work/pids")"
expect "hang: the version query" "failed cuobjdump refused: deadline: cut short after 10 s" "$(row "tool cuobjdump")"
[[ $(row "memcheck vecmat") =~ ^failed\ deadline:\ cut\ short\ after\ [0-9]+\ s$ ]] || fail "hang: $(row "memcheck vecmat")"
[[ $(row "synccheck gputune") =~ ^failed\ deadline:\ not\ started ]] || fail "hang: $(row "synccheck gputune")"
expect "hang: the rows before" "ok ok" "$(row "vecmat values" | cut -d' ' -f1) $(row "transpose_kernel time" | cut -d' ' -f1)"
grep -q '^gpu-check: .* checks failed' "$work/out" || fail "hang: no table on stdout"

# Interrupted: the running step's session ends with it, and the table so far comes.
: >"$work/pids"
(cd "$work" && PATH="$work/tools:$work/base" CUDA_HOME=/nonexistent PIDS=$work/pids HANG=compute-sanitizer \
  exec "$checkout/scripts/gpu-check" --log-dir "$logs" >"$work/out" 2>&1) &
checker=$!
for _ in $(seq 150); do [ "$(wc -l <"$work/pids")" -lt 2 ] || break; sleep 0.2; done
kill -TERM "$checker"
wait "$checker"
expect "interrupted" "130 failed interrupted by SIGTERM" "$? $(row "gpu-check itself")"
no_survivors "interrupted"

if [ -n "${GPU_CHECK_RUNS_LONG:-}" ]; then
  gpu_tools="compute-sanitizer ncu cuobjdump vecmat gputune"
  every="cmake ctest ninja nvcc $gpu_tools"
  for hang in "$every/$every" "$gpu_tools/"; do  # at everything; or the GPU tools and programs at their work
    HANG=${hang%/*} HANG_VERSION=${hang#*/} GPU_CHECK_SECONDS=150 run_check "long hang" --also "$work/cuda12"
    if [ "$status" -ne 1 ] || [ "$took" -gt 180 ] || [ ! -s "$work/pids" ] || [ ! -s "$logs/gpu" ]; then
      fail "long hang: status $status after $took s"
    fi
    cat "$table"
  done
fi

echo "$failures failed"
[ "$failures" -eq 0 ]
