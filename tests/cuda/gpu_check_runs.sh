#!/usr/bin/env bash
# scripts/gpu-check run whole, in a copy of its checkout, with stand-ins for nvidia-smi (an H100
# unless said otherwise), the build tools, compute-sanitizer, ncu, cuobjdump and the programs
# (gpu_check_standins.sh): the rows that each fault fails, the deadline with tools that hang and
# ignore SIGTERM, the files it leaves, --also, a GPU that Nsight Compute cannot profile, and that
# no stand-in outlives a run.
# GPU_CHECK_RUNS_LONG=1 adds two runs of 150 s: every stand-in but nvidia-smi hangs, and the GPU
# tools and programs hang at their work.
set -u
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
pass() { echo "ok: $1"; }
fail() { echo "FAILED: $1"; failures=$((failures + 1)); }
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: got '$3', expected '$2'"; fi
}
expect_match() {  # WHAT PATTERN ACTUAL: ACTUAL matches the extended regular expression PATTERN
  if [[ $3 =~ $2 ]]; then pass "$1"; else fail "$1: got '$3', not matching '$2'"; fi
}

# shellcheck source-path=SCRIPTDIR
source "$here/gpu_check_standins.sh"
make_standins "$work"
checkout=$work/checkout
mkdir -p "$checkout/scripts" "$checkout/tests/cuda"
cp "$root/scripts/gpu-check" "$checkout/scripts/"
cp "$root/tests/cuda/gpu_check.sh" "$checkout/tests/cuda/"
logs=$work/logs

alive() {  # PID: running, not merely a zombie waiting to be reaped
  local stat
  read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
  [[ ${stat##*) } != Z* ]]
}

no_survivors() {  # NAME: no stand-in that hung still runs
  local pid what
  while read -r pid what; do
    ! alive "$pid" || fail "$1: the stand-in $what (pid $pid) still runs"
  done <"$work/pids"
}

# Runs gpu-check with ARGS and the stand-ins in TOOLS (default $work/tools) and the environment
# given before the call; sets status and took (seconds). Checks that no stand-in outlived it.
run_check() {  # NAME [ARGS...]
  local name=$1 started=$SECONDS pid what
  shift
  rm -rf "$checkout/build" "$logs"
  : >"$work/pids"
  : >"$work/calls"
  (cd "$work" && PATH="${TOOLS:-$work/tools}:$work/base" CUDA_HOME=/nonexistent PIDS=$work/pids \
    CALLS=$work/calls "$checkout/scripts/gpu-check" "$@" >"$work/out" 2>"$work/err")
  status=$?
  took=$((SECONDS - started))
  echo "-- $name: status $status after $took s"
  no_survivors "$name"
  table=$logs/table
  [ -s "$table" ] || table=$checkout/build/gpu-check/table
}
# The table's row for CHECK: its verdict, or its figure.
row() { grep -F -- "$(printf '%-40s ' "$1")" "$table" | head -n 1; }
verdict() { row "$1" | cut -c42-47 | tr -d ' '; }
figure() { row "$1" | cut -c56-; }
verdicts() { sed -n '/^check  /,/^gpu-check:/p' "$table" | sed '1d;$d' | cut -c42-47 | sort | uniq -c | awk '{ print $2 "=" $1 }' | paste -sd ' '; }
called() { grep -c -- "$1" "$work/calls"; }  # how many stand-in calls match PATTERN

own_rows=("tool nvidia-smi" "tool cmake (3.25 or newer)" "tool ninja" "tool nvcc" "tool compute-sanitizer"
  "tool ncu" "tool cuobjdump" "configure (cuda preset)" "build (cuda preset)" "vecmat machine code for sm_90"
  "gputune machine code for sm_90" "vecmat values" "gputune values" "dot_product_kernel time"
  "transpose_kernel time" "cuda tests that need no GPU" "memcheck vecmat" "memcheck gputune"
  "initcheck vecmat" "initcheck gputune" "racecheck vecmat" "racecheck gputune" "synccheck vecmat"
  "synccheck gputune")
also_rows=("vecmat PTX only for sm_90 [cuda12]" "gputune PTX only for sm_90 [cuda12]" "vecmat values [cuda12]"
  "gputune values [cuda12]" "memcheck vecmat [cuda12]" "memcheck gputune [cuda12]")

# --- every tool works: every row holds, and the files are there ------------------------------------
run_check "every tool works" --log-dir "$logs" --also "$work/cuda12/"
expect "all working: exit status" 0 "$status"
expect "all working: rows" "ok=30" "$(verdicts)"
for check in "${own_rows[@]}" "${also_rows[@]}"; do
  [ "$(verdict "$check")" = ok ] || fail "all working: no row '$check' that holds"
done
expect "the GPU is nvidia-smi's last line, not its warning" \
  "gpu-check on NVIDIA H100 80GB HBM3 (compute capability 9.0), driver 580.95.05;" \
  "$(grep -o '^gpu-check on .*;' "$table")"
for file in log table gpu version-ncu configure build ctest cuobjdump-vecmat cuobjdump-gputune-cuda12 \
  values-vecmat values-gputune-cuda12 vecmat-plain-3 ncu-1.csv ncu-2.csv ncu-3.csv memcheck-vecmat \
  memcheck-gputune-cuda12 initcheck-gputune racecheck-gputune synccheck-vecmat; do
  [ -s "$logs/$file" ] || fail "log folder: no $file"
done
grep -q 'RACECHECK SUMMARY' "$logs/racecheck-gputune" || fail "log folder: racecheck's report is not in its file"
grep -q '"gpu__time_duration.sum"' "$logs/ncu-2.csv" || fail "log folder: ncu's CSV is not in its file"
grep -q '^GPU 0: NVIDIA H100' "$logs/gpu" || fail "log folder: no nvidia-smi -L in gpu"
grep -q 'Driver Version: 580.95.05' "$logs/gpu" || fail "log folder: no nvidia-smi view in gpu"
grep -qF "$(sed -n 3p "$table")" "$logs/log" || fail "the log does not hold the table"
grep -q 'ERROR SUMMARY' "$logs/log" || fail "the log lacks the sanitizers' reports"
expect "the output ends with the table" "$(tail -n 1 "$table")" "$(tail -n 1 "$work/out")"
expect "configured with warnings allowed and the tests" 1 \
  "$(called '^cmake --preset cuda -DWARNINGS_AS_ERRORS=OFF -DBUILD_TESTS=ON$')"
expect "ctest fails where it finds no test" 1 "$(called '^ctest .*--no-tests=error')"
expect "three profiled runs in base units" 3 "$(called '^ncu .*--print-units base')"
expect "racecheck on gputune: the first launch at each block size" "0 10 20 30" \
  "$(sed -n 's/^compute-sanitizer --tool racecheck .*--launch-skip \([0-9]*\) --launch-count 1 .*gputune$/\1/p' \
    "$work/calls" | paste -sd ' ')"
expect "a timing row shows both times and their difference" \
  "event 0.013 ms, ncu 0.01248 ms (medians of 3 runs each), difference +0.0005 ms (+4.2 %)" \
  "$(figure "dot_product_kernel time")"
expect_match "--also: its values are checked" "^dot product 2.09715e\+06/2.09715e\+06" \
  "$(figure "vecmat values [cuda12]")"
expect "--also: PTX that the driver compiles" "no sm_90 cubin, 2 PTX modules: the driver JIT-compiles them" \
  "$(figure "gputune PTX only for sm_90 [cuda12]")"

run_check "the default log folder"
expect "default folder: exit status" 0 "$status"
for file in log table memcheck-vecmat; do
  [ -s "$checkout/build/gpu-check/$file" ] || fail "default folder: no build/gpu-check/$file"
done

# --- faults: each fails its own row --------------------------------------------------------------
mkdir -p "$work/faulty/bin"
for program in vecmat gputune; do  # built elsewhere, but with machine code for this GPU
  standin_program "$work/faulty/bin" "$program" "ptx sm_52" "cubin sm_52" "ptx sm_52" "cubin sm_90"
done
NCU_ERROR="ERR_NVGPUCTRPERM - The user does not have permission to access NVIDIA GPU Performance Counters" \
  THRUST_DOT=2.09714e+06 GPUTUNE_ERROR="gputune: cudaMalloc: out of memory" \
  run_check "faults" --log-dir "$logs" --also "$work/faulty/bin"
expect "faults: exit status" 1 "$status"
expect "faults: rows" "failed=13 ok=17" "$(verdicts)"
expect "faults: ncu's error line is in the timing row" \
  "ncu run 1: ==ERROR== ERR_NVGPUCTRPERM - The user does not have permission to access NVIDIA GPU Performance Counters" \
  "$(figure "transpose_kernel time")"
expect "faults: a wrong dot product" "failed failed" "$(verdict "vecmat values") $(verdict "vecmat values [faulty]")"
expect "faults: the values check's last words" "missing line: Скалярное произведение (Thrust): 2.09715e+06" \
  "$(figure "vecmat values")"
expect "faults: a program that stops, in its values row" "gputune: cudaMalloc: out of memory" \
  "$(figure "gputune values [faulty]")"
expect "faults: a program that stops, in its sanitizer rows" \
  "failed 0 errors; gputune: cudaMalloc: out of memory (dot_product_kernel, 1st launch at each block size)" \
  "$(verdict "synccheck gputune") $(figure "synccheck gputune")"
expect "faults: machine code for this GPU where the JIT should run" \
  "1 sm_90 cubins, 2 PTX modules: what runs here is not the JIT's" "$(figure "vecmat PTX only for sm_90 [faulty]")"

# --- missing and refused tools fail only the rows that need them -----------------------------------
mkdir -p "$work/some-tools"
cp "$work/tools/"* "$work/some-tools/"
rm "$work/some-tools/ncu" "$work/some-tools/cuobjdump"
standin "$work/some-tools/compute-sanitizer" \
  'echo "compute-sanitizer: error while loading shared libraries: libsanitizer-public.so"; exit 127'
TOOLS=$work/some-tools run_check "missing tools" --log-dir "$logs"
expect "missing tools: exit status" 1 "$status"
expect "missing tools: rows" "failed=15 ok=9" "$(verdicts)"
expect "missing ncu" "failed ncu is not installed" "$(verdict "tool ncu") $(figure "tool ncu")"
expect "missing ncu: its timing rows" "ncu is not installed" "$(figure "dot_product_kernel time")"
expect "missing cuobjdump: its rows" "cuobjdump is not installed" "$(figure "gputune machine code for sm_90")"
refusal="compute-sanitizer refused: compute-sanitizer: error while loading shared libraries: libsanitizer-public.so"
expect "refused compute-sanitizer" "$refusal" "$(figure "tool compute-sanitizer")"
expect "refused compute-sanitizer: its rows" "$refusal" "$(figure "synccheck gputune")"
for check in "configure (cuda preset)" "build (cuda preset)" "vecmat values" "gputune values" \
  "cuda tests that need no GPU"; do
  expect "missing tools: $check still runs" ok "$(verdict "$check")"
done

CMAKE_STANDIN_VERSION=3.22.1 run_check "an old cmake" --log-dir "$logs"
expect "old cmake: exit status" 1 "$status"
expect "old cmake: its row" "cmake 3.22.1 is older than 3.25" "$(figure "tool cmake (3.25 or newer)")"
expect "old cmake: no configure" "cmake 3.22.1 is older than 3.25" "$(figure "configure (cuda preset)")"
expect "old cmake: no build" "failed not configured" "$(verdict "build (cuda preset)") $(figure "build (cuda preset)")"
expect "old cmake: nothing to check" "failed no build to check" "$(verdict "memcheck vecmat") $(figure "memcheck vecmat")"
expect "old cmake: never configured" 0 "$(called '^cmake --preset')"

# --- a GPU that Nsight Compute cannot profile ------------------------------------------------------
for program in vecmat gputune; do
  standin_program "$work/own" "$program" "ptx sm_52" "cubin sm_61"
done
GPU="NVIDIA GeForce GTX 1080, 580.95.05, 6.1" run_check "compute capability 6.1" --log-dir "$logs"
expect "6.1: exit status" 0 "$status"
expect "6.1: rows" "n/a=2 ok=22" "$(verdicts)"
expect "6.1: timing rows" "n/a not available: Nsight Compute cannot profile compute capability 6.1" \
  "$(verdict "dot_product_kernel time") $(figure "dot_product_kernel time")"
expect "6.1: ncu never profiles" 0 "$(called '^ncu --clock-control')"
expect "6.1: machine code" ok "$(verdict "vecmat machine code for sm_61")"
make_standins "$work"  # the H100's programs again

# --- tools that hang and ignore SIGTERM: the run still ends by its deadline --------------------------
# cuobjdump hangs when asked its version, compute-sanitizer at its work; each leaves a child in a
# process group of its own.
HANG=compute-sanitizer HANG_VERSION=cuobjdump GPU_CHECK_SECONDS=30 run_check "hanging tools" --log-dir "$logs"
expect "hang: exit status" 1 "$status"
[ "$took" -le 33 ] || fail "hang: took $took s for a deadline of 30 s"
[ "$took" -ge 25 ] || fail "hang: ended after $took s, before the hanging step could have run out"
expect "hang: two stand-ins and their children hung" 4 "$(wc -l <"$work/pids")"
expect "hang: the version query cut short" "failed cuobjdump refused: deadline: cut short after 10 s" \
  "$(verdict "tool cuobjdump") $(figure "tool cuobjdump")"
expect_match "hang: the sanitizer run cut short" "^failed deadline: cut short after [0-9]+ s$" \
  "$(verdict "memcheck vecmat") $(figure "memcheck vecmat")"
expect_match "hang: the rows that no longer fit" "^failed deadline: not started, [0-9]+ s left, needs [0-9]+ s$" \
  "$(verdict "synccheck gputune") $(figure "synccheck gputune")"
for check in "build (cuda preset)" "vecmat values" "dot_product_kernel time" "cuda tests that need no GPU"; do
  expect "hang: $check before it" ok "$(verdict "$check")"
done
grep -q '^gpu-check: .* checks failed' "$work/out" || fail "hang: no table on stdout"
[ -e "$logs/memcheck-vecmat" ] || fail "hang: no memcheck file"

# --- interrupted: the running step ends with it, and the table so far comes ---------------------------
rm -rf "$logs"
: >"$work/pids"
(cd "$work" && PATH="$work/tools:$work/base" CUDA_HOME=/nonexistent PIDS=$work/pids HANG=compute-sanitizer \
  exec "$checkout/scripts/gpu-check" --log-dir "$logs" >"$work/out" 2>"$work/err") &
checker=$!
for _ in $(seq 150); do  # until the hanging stand-in and its child are there
  [ "$(wc -l <"$work/pids")" -lt 2 ] || break
  sleep 0.2
done
kill -TERM "$checker"
wait "$checker"
expect "interrupted: exit status" 130 "$?"
table=$logs/table
expect "interrupted: its row" "failed interrupted by SIGTERM" \
  "$(verdict "gpu-check itself") $(figure "gpu-check itself")"
expect "interrupted: the rows before it" ok "$(verdict "vecmat values")"
no_survivors "interrupted"

# 150 s runs, with --also, in which stand-ins hang (at WORK, or at VERSION queries too).
long_hang() {  # NAME WORK VERSION
  HANG=$2 HANG_VERSION=$3 GPU_CHECK_SECONDS=150 run_check "$1" --log-dir "$logs" --also "$work/cuda12"
  expect "$1: exit status" 1 "$status"
  [ "$took" -le 180 ] || fail "$1: took $took s for a deadline of 150 s"
  [ -s "$work/pids" ] || fail "$1: nothing hung"
  for file in log table gpu; do
    [ -s "$logs/$file" ] || fail "$1: no $file in the log folder"
  done
  grep -q '^gpu-check: .* checks failed' "$work/out" || fail "$1: no table on stdout"
  cat "$table"
}
if [ -n "${GPU_CHECK_RUNS_LONG:-}" ]; then
  every="cmake ctest ninja nvcc compute-sanitizer ncu cuobjdump vecmat gputune"
  long_hang "every stand-in hangs" "$every" "$every"
  long_hang "the GPU tools and programs hang at their work" "compute-sanitizer ncu cuobjdump vecmat gputune" ""
fi

echo "$failures failed"
[ "$failures" -eq 0 ]
