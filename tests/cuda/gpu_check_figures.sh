#!/usr/bin/env bash
# How the gpu tests (tests/cuda/gpu_check.sh) read the tools' output and judge the figures, on
# samples in the tools' formats: ncu's raw CSV page, compute-sanitizer's summaries and errors,
# and the agreement of an event-timed interval with a kernel's duration. And scripts/gpu-check's
# rows from ctest's own reports, as CMake 3.25.1 and 4.4.5 wrote them (tests/cuda/ctest_reports).
set -u
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then echo "ok: $1"; else echo "FAILED: $1: got '$3', expected '$2'"; failures=$((failures + 1)); fi
}
# shellcheck source=gpu_check.sh
source "$(dirname "$0")/gpu_check.sh"

agree() { if times_agree "$1" "$2"; then echo agree; else echo differ; fi; }
expect "5 % over and under the duration" "agree agree" "$(agree 0.105 0.100) $(agree 1.90 2.00)"
expect "15 % over a long kernel" differ "$(agree 2.30 2.00)"
expect "8 µs over a 4 µs kernel, and 16 µs" "agree differ" "$(agree 0.012 0.004) $(agree 0.020 0.004)"
expect "an interval thirty times the kernel" differ "$(agree 0.950 0.030)"
expect "the difference in percent" "+4.2 % -10.0 %" "$(percent 0.0130 0.01248) $(percent 1.8 2.0)"
expect "median of three, of two, in e-notation" "0.02 1.5 0.0005" \
  "$(printf '0.03\n0.01\n0.02\n' | median) $(printf '2\n1\n' | median) $(printf '5e-4\n1e-2\n1e-5\n' | median)"

cat >"$work/ncu.csv" <<'EOF'
==PROF== Connected to process 4242 (/work/build/cuda/bin/vecmat)
==PROF== Profiling "dot_product_kernel": 0%....50%....100% - 1 pass
"ID","Process ID","Process Name","Host Name","Kernel Name","Context","Stream","Block Size","Grid Size","Device","CC","gpu__time_duration.sum"
"","","","","","","","","","","","nsecond"
"0","4242","vecmat","127.0.0.1","dot_product_kernel","1","7","(256, 1, 1)","(4096, 1, 1)","0","9.0","12,416"
"1","4242","vecmat","127.0.0.1","vecmat::transpose_kernel(float *, float *, int, int)","1","7","(16, 16, 1)","(64, 64, 1)","0","9.0","9,344.2"
==PROF== Disconnected from process 4242
EOF
expect "ncu durations in nanoseconds" "dot_product_kernel 0.012416|transpose_kernel 0.009344" \
  "$(kernel_durations "$work/ncu.csv" | paste -sd '|')"
sed -i 's/"nsecond"/"usecond"/' "$work/ncu.csv"
expect "ncu durations in microseconds" "dot_product_kernel 12.416000" "$(kernel_durations "$work/ncu.csv" | head -n 1)"
sed -i 's/"usecond"/"cycle"/' "$work/ncu.csv"
kernel_durations "$work/ncu.csv" >/dev/null 2>&1 && expect "durations in an unknown unit" refused taken

printf '%s\n' "========= COMPUTE-SANITIZER" "========= ERROR SUMMARY: 0 errors" \
  "========= RACECHECK SUMMARY: 0 hazards displayed (0 errors, 0 warnings)" >"$work/clean"
printf '%s\n' "========= Invalid __global__ write of size 4 bytes" "========= ERROR SUMMARY: 1 error" \
  "========= RACECHECK SUMMARY: 2 hazards displayed (2 errors, 0 warnings)" >"$work/dirty"
printf '%s\n' "========= COMPUTE-SANITIZER" "========= Error: Device not supported" \
  "gpu_probe: cudaMalloc: unknown error" >"$work/refused"
expect "sanitizer summaries added up" "0 errors|3 errors|1 error" \
  "$(sanitizer_errors "$work/clean")|$(sanitizer_errors "$work/dirty")|$(sanitizer_errors <(sed 3d "$work/dirty"))"
sanitizer_errors "$work/refused" >/dev/null && expect "a run without a summary" "no figure" "counted"
sed 2d "$work/refused" >"$work/failed"
expect "the tool's own line, else the last" "========= Error: Device not supported|gpu_probe: cudaMalloc: unknown error" \
  "$(tool_line "$work/refused")|$(tool_line "$work/failed")"

# Passed, failed, skipped, not run for a failed fixture, silent, timed out, cut short at the stop
# time, never started: the same rows from either CMake, whose reports differ in their messages.
reports=$(dirname "$0")/ctest_reports
expected='passes ok 0 0 errors (1 run) <&> "quoted"
fails FAILED 0 missing line: Транспонированная матрица (CUDA): первый элемент: 1
skips skipped 0 this machine cannot run ncu: ==ERROR== Failed to initialize the profiler: LibraryNotLoaded
self_test_fails FAILED 0 its CSV page gives no duration of probe_kernel
needs_the_tool not run 0 Failed test dependencies: self_test_fails
silent ok 0
hangs timeout 2 timed out; last line: running compute-sanitizer --tool memcheck gpu_probe
cut_by_the_deadline timeout 3 timed out; last line: running ncu on vecmat
never_started not run 0 not started: the deadline came first'
for cmake in 3.25 4.4; do
  expect "rows from CMake $cmake's report" "$expected" "$(awk -v late=1 -f "$(dirname "$0")/../../scripts/lib/ctest-rows.awk" \
    "$reports/cmake-$cmake/"{tests.txt,ctest.log,junit.xml} | sed -E 's/ +/ /g; s/ ([0-9]+)s / \1 /; s/ $//')"
done
expect "rows without a report" "never_started not run 0 no result from ctest" \
  "$(awk -v late=0 -f "$(dirname "$0")/../../scripts/lib/ctest-rows.awk" "$reports/cmake-4.4/tests.txt" /dev/null /dev/null |
    tail -n 1 | sed -E 's/ +/ /g; s/ ([0-9]+)s / \1 /')"

echo "$failures failed"
[ "$failures" -eq 0 ]
