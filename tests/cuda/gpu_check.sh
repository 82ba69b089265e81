#!/usr/bin/env bash
# One GPU test of the cuda build (label gpu; tests/cuda/gpu_tests.cmake declares them all):
#   gpu_check.sh values NAME PROGRAM                   the report's lines and values
#   gpu_check.sh machine-code NAME PROGRAM ELF_CONTENTS   machine code for every GPU present
#   gpu_check.sh ptx-only NAME PROGRAM ELF_CONTENTS    PTX and no machine code for those GPUs
#   gpu_check.sh compute-sanitizer NAME PROBE          the tool finds the probe's planted write
#   gpu_check.sh ncu NAME PROBE                        the tool measures the probe's kernel
#   gpu_check.sh sanitizer NAME TOOL PROGRAM           compute-sanitizer's TOOL finds no error
#   gpu_check.sh kernel-times NAME PROGRAM             vecmat's event times against ncu's durations
# NAME (the test's) names its raw output in $GPU_LOGS: sanitizer reports, ncu's CSV pages. The
# tools' own tests leave their verdict there for the tests that need the tool. COMPUTE_SANITIZER
# and NCU name the tools (empty: not found when configuring).
# The last line printed is the figure judged. Exit 0 passed, 1 failed, 77 skipped: where the CUDA
# driver reports no GPU, or where a tool's own test found that this machine cannot run it (the
# line then carries the tool's own error line).
set -u

pass() { echo "$*"; exit 0; }
fail() { echo "$*"; exit 1; }
skip() { echo "$*"; exit 77; }

dotted() { echo "${1%?}.${1: -1}"; }  # "90" -> "9.0"

# The tool's own complaint in its output FILE..., else the last line.
tool_line() {
  cat "$@" 2>/dev/null | grep -m 1 -E '^(==ERROR==|========= (Error|Target application))' ||
    cat "$@" 2>/dev/null | grep -v '^ *$' | tail -n 1
}

# Records what TOOL's own test found (ok, cannot: this machine cannot run it, broken: it runs and
# gives wrong answers) for the tests that need the tool, and ends that test.
tool_verdict() {  # TOOL VERDICT LINE
  echo "$2 $3" >"$GPU_LOGS/tool-$1"
  case $2 in
  ok) pass "$3" ;;
  cannot) skip "this machine cannot run $1: $3" ;;
  *) fail "$3" ;;
  esac
}
# Skips the test unless TOOL's own test found that it works here.
needs_tool() {  # TOOL
  local verdict="" line=""
  read -r verdict line 2>/dev/null <"$GPU_LOGS/tool-$1"
  case $verdict in
  ok) ;;
  cannot) skip "this machine cannot run $1: $line" ;;
  broken) skip "not run: $1 failed its own test: $line" ;;
  *) skip "not run: $1's own test has not run in this build" ;;
  esac
}

# compute-sanitizer's closing lines, such as "ERROR SUMMARY: 0 errors", added up: "N errors".
sanitizer_errors() {  # FILE
  grep -oE '(ERROR SUMMARY: [0-9]+ error|RACECHECK SUMMARY: .*\(([0-9]+) error)' "$1" |
    grep -oE '[0-9]+ error$' | awk '{ n += $1; runs++ } END { if (!runs) exit 1; print n (n == 1 ? " error" : " errors") }'
}
sanitize() {  # FILE TOOL ARGUMENT...: the report is added to FILE; the tool's status
  local file=$1 tool=$2
  shift 2
  echo "running compute-sanitizer --tool $tool $*"  # the last line of a run that hangs
  "$COMPUTE_SANITIZER" --tool "$tool" --error-exitcode 3 "$@" >>"$file" 2>&1
}

# The kernels' durations in ms from ncu's raw CSV page, one "FUNCTION MS" line each. Every field
# is quoted; the first row names the metrics, the second gives their units.
kernel_durations() {  # FILE
  awk -F'","' '
    !/^"/ { next }
    { sub(/^"/, ""); sub(/"$/, "") }
    !header {
      for (i = 1; i <= NF; i++) {
        if ($i == "Kernel Name") name = i
        if ($i == "gpu__time_duration.sum") time = i
      }
      header = 1; next
    }
    !units {
      scale["nsecond"] = 1e-6; scale["usecond"] = 1e-3; scale["msecond"] = 1; scale["second"] = 1e3
      if (!($time in scale)) { print "unknown unit " $time > "/dev/stderr"; exit 1 }
      factor = scale[$time]; units = 1; next
    }
    {
      kernel = $name; sub(/\(.*/, "", kernel); sub(/.*::/, "", kernel)  # the bare function name
      value = $time; gsub(/,/, "", value)
      printf "%s %.6f\n", kernel, value * factor
    }
  ' "$1"
}
# ncu measures the kernels matching KERNELS (a regular expression on their demangled names), at
# the clocks and with the caches as a plain run has them; its CSV page goes to CSV, the rest to OUT.
# Fails when ncu fails or logs an error (it reports some, such as missing access to the counters,
# in its log, not in its status); ncu_error then says why.
ncu_error=""
profile() {  # CSV OUT KERNELS COUNT PROGRAM
  rm -f "$1"
  echo "running ncu on $5"
  "$NCU" --clock-control none --cache-control none --metrics gpu__time_duration.sum \
    --kernel-name-base demangled --kernel-name "regex:$3" --launch-count "$4" \
    --print-kernel-base function --csv --print-units base --page raw --log-file "$1" "$5" >"$2" 2>&1
  local status=$?
  ncu_error=$(cat "$1" "$2" 2>/dev/null | grep -m 1 '^==ERROR==')
  [ $status -eq 0 ] || ncu_error=${ncu_error:-status $status: $(tool_line "$2")}
  [ -z "$ncu_error" ]
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR) print (NR % 2 ? v[(NR + 1) / 2] + 0 : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
# Whether an event-timed interval and the kernel's duration (ms) agree: within 10 % of the
# duration or 10 µs, whichever is larger. The interval also holds the launch's submission and
# latency, a few µs.
times_agree() { awk -v e="$1" -v k="$2" 'BEGIN { d = e - k; if (d < 0) d = -d; a = 0.1 * k; if (a < 0.010) a = 0.010; exit !(d <= a) }'; }
percent() { awk -v e="$1" -v k="$2" 'BEGIN { printf "%+.1f %%\n", (k > 0 ? 100 * (e - k) / k : 0) }'; }

# --- the checks ----------------------------------------------------------------------------------

# The report has its lines and values: a run on this GPU that computes right and fails nothing.
check_values() {  # PROGRAM
  local out=$GPU_LOGS/$name.txt err=$GPU_LOGS/$name-stderr.txt program=$1 problems=()
  "$program" >"$out" 2>"$err"
  local status=$?
  cat "$out" "$err"
  [ $status -eq 0 ] || fail "$(grep -m 1 "^$(basename "$program"): " "$err" || echo "exit status $status")"
  expect() { grep -Fxq -- "$1" "$out" || problems+=("missing line: $1"); }
  lines() { [ "$(wc -l <"$out")" -eq "$1" ] || problems+=("$(wc -l <"$out") lines, not $1"); }
  local figure
  case $(basename "$program") in
  vecmat)
    lines 8
    expect "Скалярное произведение (CUDA): 2.09715e+06"
    expect "Скалярное произведение (Thrust): 2.09715e+06"
    expect "Транспонированная матрица (CUDA): первый элемент: 1"
    expect "Транспонированная матрица (Thrust): первый элемент: 1"
    figure="dot product $(sed -n 's/^Скалярное произведение (.*): //p' "$out" | paste -sd /),"
    figure+=" transpose starts with $(sed -n 's/^Транспонированная матрица (.*): первый элемент: //p' "$out" |
      paste -sd /) (CUDA/Thrust)"
    ;;
  gputune)
    lines 17
    # Lines 11 and 16: each search's best block size, from the sizes that search tries.
    sed -n 11p "$out" | grep -Eqx 'Оптимальный размер блока: (32|64|128|256|512|1024) потоков' ||
      problems+=("line 11 is not a vector-add block size")
    sed -n 16p "$out" | grep -Eqx 'Оптимальный размер блока: (32|64|128|256) потоков' ||
      problems+=("line 16 is not a dot-product block size")
    figure=$(grep -E '^Оптимальный размер (данных|блока)' "$out" | grep -oE '[0-9]+' | paste -sd ' ' |
      awk '{ print "best: vector add " $1 " elements, " $2 " threads; dot product " $3 ", " $4 }')
    ;;
  *) fail "no report to check for a program named $(basename "$program")" ;;
  esac
  [ ${#problems[@]} -eq 0 ] || fail "$(printf '%s; ' "${problems[@]}" | sed 's/; $//')"
  pass "$figure"
}

# Machine code for each GPU present (mode machine-code), or PTX alone for them (ptx-only), in
# every module of PROGRAM, as elf_contents reads its fat binaries.
check_device_code() {  # MODE PROGRAM ELF_CONTENTS
  local cc out figures=() status=0
  for cc in $(tr ' ' '\n' <<<"$gpus" | sort -u); do
    out=$("$3" "$1" "$2" "$cc") || status=1
    echo "$out"
    figures+=("${out##*$'\n'}")
  done
  echo "${figures[@]/%/;}" | sed 's/;$//'
  exit $status
}

# compute-sanitizer runs here and tells errors apart: none in the probe's clean run, the planted
# out-of-bounds write in its faulty one. A tool that cannot run here leaves its tests skipped; one
# that runs and misses the write fails this test, and its tests do not run.
check_compute_sanitizer() {  # PROBE
  local clean=$GPU_LOGS/$name-clean.txt planted=$GPU_LOGS/$name-planted.txt status errors
  rm -f "$GPU_LOGS/tool-compute-sanitizer" "$clean" "$planted"
  [ -n "${COMPUTE_SANITIZER:-}" ] || tool_verdict compute-sanitizer cannot "not found when the build was configured"
  sanitize "$clean" memcheck "$1"
  status=$?
  cat "$clean"
  case $status in
  0) sanitizer_errors "$clean" >/dev/null ||
    tool_verdict compute-sanitizer broken "no error summary in the report of the probe's clean run" ;;
  3) tool_verdict compute-sanitizer broken "$(sanitizer_errors "$clean") in the probe's clean run" ;;
  *) tool_verdict compute-sanitizer cannot "$(tool_line "$clean")" ;;
  esac
  sanitize "$planted" memcheck "$1" --out-of-bounds
  status=$?
  cat "$planted"
  if [ $status -eq 0 ]; then
    tool_verdict compute-sanitizer broken "the probe's planted out-of-bounds write was not reported"
  elif [ $status -ne 3 ]; then
    tool_verdict compute-sanitizer cannot "$(tool_line "$planted")"
  elif ! grep -q 'Invalid __global__ write' "$planted" || ! errors=$(sanitizer_errors "$planted"); then
    tool_verdict compute-sanitizer broken "errors reported, but not the probe's planted write"
  fi
  tool_verdict compute-sanitizer ok "found the probe's planted write ($errors), none in its clean run"
}

# ncu runs here and its CSV page gives the duration of the probe's kernel. Nsight Compute
# profiles compute capability 7.0 and newer only.
check_ncu() {  # PROBE
  local cc duration
  rm -f "$GPU_LOGS/tool-ncu"
  cc=${gpus%% *}
  [ "$cc" -ge 70 ] || tool_verdict ncu cannot "Nsight Compute cannot profile compute capability $(dotted "$cc")"
  [ -n "${NCU:-}" ] || tool_verdict ncu cannot "not found when the build was configured"
  profile "$GPU_LOGS/$name.csv" "$GPU_LOGS/$name.txt" '^gpu_probe::probe_kernel' 1 "$1" ||
    { cat "$GPU_LOGS/$name.txt"; tool_verdict ncu cannot "$ncu_error"; }
  cat "$GPU_LOGS/$name.csv"
  duration=$(kernel_durations "$GPU_LOGS/$name.csv" 2>&1 | awk '$1 == "probe_kernel" { print $2 }')
  [ -n "$duration" ] || tool_verdict ncu broken "its CSV page gives no duration of probe_kernel"
  tool_verdict ncu ok "measured the probe's kernel: $duration ms"
}

# No error that compute-sanitizer's TOOL finds in the launches it checks, and the program's run
# under it succeeds. On gputune, racecheck and synccheck check dot_product_kernel (its only kernel
# with shared memory and barriers) at its first launch for each block size: gputune launches it
# ten times for each of its eight configurations, the four block sizes (32 to 256) at the smaller
# data size first, and the block size alone decides the pattern of accesses and barriers.
check_sanitizer() {  # TOOL PROGRAM
  local tool=$1 program=$2 report=$GPU_LOGS/$name.txt status=0 runs=1 scope="" errors figure
  rm -f "$report"
  needs_tool compute-sanitizer
  if [[ $(basename "$program") == gputune && $tool =~ ^(racecheck|synccheck)$ ]]; then
    local launch
    runs=0 scope=": dot_product_kernel, first launch at each block size"
    for launch in 0 10 20 30; do
      sanitize "$report" "$tool" --kernel-name kns=dot_product_kernel --launch-skip "$launch" \
        --launch-count 1 "$program" || status=1
      runs=$((runs + 1))
    done
  else
    sanitize "$report" "$tool" "$program" || status=1
  fi
  cat "$report"
  errors=$(sanitizer_errors "$report") || fail "no error summary: $(tool_line "$report")"
  figure="$errors ($runs run$([ $runs -eq 1 ] || echo s)$scope)"
  [ $status -eq 0 ] || fail "$figure$(grep -m 1 "^$(basename "$program"): " "$report" | sed 's/^/; /')"
  pass "$figure"
}

# Each event-timed kernel time of three plain vecmat runs (their median) agrees with the kernel's
# duration in three ncu runs (their median): the events time the kernel and little else. It cannot
# show a JIT compilation or a module load: vecmat does both before its start event.
check_kernel_times() {  # PROGRAM
  local run figures=() status=0 kernel label event measured
  needs_tool ncu
  for run in 1 2 3; do
    "$1" >"$GPU_LOGS/$name-plain-$run.txt" 2>&1 || fail "plain run $run: $(tool_line "$GPU_LOGS/$name-plain-$run.txt")"
    profile "$GPU_LOGS/$name-$run.csv" "$GPU_LOGS/$name-$run.txt" '^vecmat::(dot_product|transpose)_kernel' 2 "$1" ||
      fail "ncu run $run: $ncu_error"
    kernel_durations "$GPU_LOGS/$name-$run.csv" >"$GPU_LOGS/$name-$run.durations" ||
      fail "ncu run $run: its CSV page gives no durations"
  done
  for kernel in dot_product_kernel transpose_kernel; do
    label="Время выполнения скалярного произведения (CUDA): "
    [ $kernel = transpose_kernel ] && label="Время выполнения транспонирования (CUDA): "
    event=$(cat "$GPU_LOGS/$name"-plain-?.txt | sed -n "s/^$label\([0-9.e+-]*\) мс$/\1/p" | median)
    measured=$(awk -v k=$kernel '$1 == k { print $2 }' "$GPU_LOGS/$name"-?.durations)
    figures+=("$kernel event ${event:-?} ms, ncu $(median <<<"$measured") ms")
    if [ -z "$event" ] || [ "$(wc -w <<<"$measured")" -ne 3 ]; then
      figures[-1]+=" (ncu measured it in $(wc -w <<<"$measured") of 3 runs)"
      status=1
    else
      figures[-1]+=", $(percent "$event" "$(median <<<"$measured")")"
      times_agree "$event" "$(median <<<"$measured")" || status=1
    fi
    echo "${figures[-1]}"
  done
  echo "${figures[0]}; ${figures[1]}"
  exit $status
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  [ $# -ge 3 ] || { echo "usage: gpu_check.sh CHECK NAME ARGUMENT..." >&2; exit 2; }
  check=$1 name=$2
  shift 2
  mkdir -p "${GPU_LOGS:?the folder for the raw outputs}"
  # The GPUs' compute capabilities ("90 90"), in the driver's order.
  found=0 && gpus=$("$(dirname "$0")/../../scripts/find-gpu") || found=$?
  [ $found -ne 3 ] || { echo "$gpus"; exit 1; }  # a driver that fails is a failure, not a skip
  [ $found -eq 0 ] ||
    skip "no GPU: the CUDA driver reports none${CUDA_VISIBLE_DEVICES+ (CUDA_VISIBLE_DEVICES=$CUDA_VISIBLE_DEVICES)}"
  case $check in
  values) check_values "$@" ;;
  machine-code | ptx-only) check_device_code "$check" "$@" ;;
  compute-sanitizer) check_compute_sanitizer "$@" ;;
  ncu) check_ncu "$@" ;;
  sanitizer) check_sanitizer "$@" ;;
  kernel-times) check_kernel_times "$@" ;;
  *) echo "gpu_check.sh: unknown check $check" >&2; exit 2 ;;
  esac
fi
