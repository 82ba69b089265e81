#!/usr/bin/env bash
# scripts/gpu-check without a GPU: how it stops where there is none, and how it reads the tools'
# output and judges the figures (on samples in the tools' formats).
set -u
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
pass() { echo "ok: $1"; }
fail() { echo "FAILED: $1"; failures=$((failures + 1)); }
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then pass "$1"; else fail "$1: got '$3', expected '$2'"; fi
}

# --- no GPU: one line on stderr, exit 77, at once, nothing built ---------------------------------
# A copy of the script, in a checkout of its own, shows whether it started anything there.
mkdir -p "$work/checkout/scripts"
cp "$root/scripts/gpu-check" "$work/checkout/scripts/"
no_gpu() {  # NAME PATH
  local started status
  started=$(date +%s)
  (cd "$work" && PATH=$2 "$work/checkout/scripts/gpu-check" >"$work/out" 2>"$work/err")
  status=$?
  expect "$1: exit status" 77 "$status"
  expect "$1: lines on stderr" 1 "$(wc -l <"$work/err")"
  grep -q '^gpu-check: no GPU' "$work/err" || fail "$1: stderr says: $(cat "$work/err")"
  [ ! -s "$work/out" ] || fail "$1: stdout not empty"
  [ $(($(date +%s) - started)) -le 5 ] || fail "$1: took more than 5 s"
  [ -z "$(ls -A "$work/checkout" | grep -v '^scripts$')" ] || fail "$1: it left files in the checkout"
}
mkdir -p "$work/none" "$work/failing"
for tool in bash dirname timeout; do ln -s "$(command -v "$tool")" "$work/none/$tool"; done
no_gpu "no nvidia-smi" "$work/none"
# nvidia-smi where the driver is missing or finds no GPU
printf '#!/bin/sh\necho "NVIDIA-SMI has failed because it could not communicate with the NVIDIA driver."\nexit 9\n' \
  >"$work/failing/nvidia-smi"
chmod +x "$work/failing/nvidia-smi"
no_gpu "nvidia-smi fails" "$work/failing:$PATH"

# --- the figures ----------------------------------------------------------------------------------
# shellcheck source=../../scripts/gpu-check
source "$root/scripts/gpu-check"

agree() { if times_agree "$1" "$2"; then echo agree; else echo differ; fi; }
expect "event 5 % over the duration" agree "$(agree 0.105 0.100)"
expect "event 5 % under the duration" agree "$(agree 1.90 2.00)"
expect "event twice the duration" differ "$(agree 0.200 0.100)"
expect "15 % over a long kernel" differ "$(agree 2.30 2.00)"
expect "8 µs over a 4 µs kernel" agree "$(agree 0.012 0.004)"
expect "16 µs over a 4 µs kernel" differ "$(agree 0.020 0.004)"
expect "an interval thirty times the kernel" differ "$(agree 0.950 0.030)"
expect "difference of a longer interval" "+0.0005 ms (+4.2 %)" "$(time_difference 0.0130 0.01248)"
expect "difference of a shorter interval" "-0.2000 ms (-10.0 %)" "$(time_difference 1.8 2.0)"

cat >"$work/ncu.csv" <<'EOF'
==PROF== Connected to process 4242 (/work/build/cuda/bin/vecmat)
==PROF== Profiling "dot_product_kernel": 0%....50%....100% - 1 pass
"ID","Process ID","Process Name","Host Name","Kernel Name","Context","Stream","Block Size","Grid Size","Device","CC","gpu__time_duration.sum"
"","","","","","","","","","","","nsecond"
"0","4242","vecmat","127.0.0.1","dot_product_kernel","1","7","(256, 1, 1)","(4096, 1, 1)","0","9.0","12,416"
"1","4242","vecmat","127.0.0.1","vecmat::transpose_kernel(float *, float *, int, int)","1","7","(16, 16, 1)","(64, 64, 1)","0","9.0","9,344.2"
==PROF== Disconnected from process 4242
EOF
expect "ncu durations in nanoseconds" "dot_product_kernel 0.012416
transpose_kernel 0.009344" "$(kernel_durations "$work/ncu.csv")"
sed -i 's/"nsecond"/"usecond"/' "$work/ncu.csv"
expect "ncu durations in microseconds" "dot_product_kernel 12.416000" "$(kernel_durations "$work/ncu.csv" | head -n 1)"
sed -i 's/"usecond"/"cycle"/' "$work/ncu.csv"
kernel_durations "$work/ncu.csv" >/dev/null 2>&1 && fail "ncu durations in an unknown unit were taken"

expect "median of three" 0.02 "$(printf '0.03\n0.01\n0.02\n' | median)"
expect "median of two" 1.5 "$(printf '2\n1\n' | median)"
expect "median in e-notation" 0.0005 "$(printf '5e-4\n1e-2\n1e-5\n' | median)"

listing='PTX file    1: vecmat.1.sm_75.ptx
ELF file    1: vecmat.1.sm_75.cubin
ELF file    2: vecmat.2.sm_90.cubin
PTX file    2: vecmat.2.sm_75.ptx
ELF file    3: vecmat.3.sm_75.cubin
ELF file    4: vecmat.4.sm_90.cubin'
expect "machine code for the GPU present" "2 2" "$(machine_code_count sm_90 <<<"$listing")"
expect "no machine code for another GPU" "0 2" "$(machine_code_count sm_100 <<<"$listing")"
expect "sm_9 is not sm_90" "0 2" "$(machine_code_count sm_9 <<<"$listing")"

printf '========= COMPUTE-SANITIZER\n========= ERROR SUMMARY: 0 errors\n' >"$work/clean"
printf '========= RACECHECK SUMMARY: 0 hazards displayed (0 errors, 0 warnings)\n' >>"$work/clean"
expect "sanitizer runs without errors" "0 errors" "$(sanitizer_errors "$work/clean")"
printf '========= Invalid __global__ read of size 4 bytes\n========= ERROR SUMMARY: 1 error\n' >"$work/dirty"
printf '========= RACECHECK SUMMARY: 2 hazards displayed (2 errors, 0 warnings)\n' >>"$work/dirty"
expect "sanitizer errors added up" "3 errors" "$(sanitizer_errors "$work/dirty")"
printf 'vecmat: cudaMalloc: out of memory\n' >"$work/stopped"
sanitizer_errors "$work/stopped" >/dev/null && fail "a run without a summary counted as clean"

# --- the timing check, with stand-ins for vecmat and ncu -----------------------------------------
# The stand-in vecmat prints, in its k-th run, the k-th line of PLAIN as its two kernel times;
# the stand-in ncu measures DOT_NS and TRANSPOSE_NS.
mkdir -p "$work/fake" "$work/gpu-check"
cat >"$work/fake/vecmat" <<'PROGRAM'
#!/usr/bin/env bash
run=$(($(cat "$RUNS" 2>/dev/null || echo 0) + 1))
echo "$run" >"$RUNS"
read -r dot transpose <<<"$(sed -n "${run}p" <<<"$PLAIN")"
echo "Время выполнения скалярного произведения (CUDA): $dot мс"
echo "Скалярное произведение (CUDA): 2.09715e+06"
echo "Время выполнения скалярного произведения (Thrust): 1 мс"
echo "Скалярное произведение (Thrust): 2.09715e+06"
echo "Время выполнения транспонирования (CUDA): $transpose мс"
echo "Транспонированная матрица (CUDA): первый элемент: 1"
echo "Время выполнения транспонирования (Thrust): 2 мс"
echo "Транспонированная матрица (Thrust): первый элемент: 1"
PROGRAM
cat >"$work/fake/ncu" <<'PROGRAM'
#!/usr/bin/env bash
while [ $# -gt 0 ]; do [ "$1" = --log-file ] && log=$2; shift; done
{
  echo '"ID","Process ID","Process Name","Host Name","Kernel Name","gpu__time_duration.sum"'
  echo '"","","","","","nsecond"'
  echo "\"0\",\"1\",\"vecmat\",\"h\",\"dot_product_kernel\",\"$DOT_NS\""
  echo "\"1\",\"1\",\"vecmat\",\"h\",\"transpose_kernel\",\"$TRANSPOSE_NS\""
} >"$log"
PROGRAM
chmod +x "$work/fake/vecmat" "$work/fake/ncu"
timing() {  # PLAIN DOT_NS TRANSPOSE_NS: the verdicts of the two timing rows
  rm -f "$work/runs"
  (
    export PATH=$work/fake:$PATH RUNS=$work/runs PLAIN=$1 DOT_NS=$2 TRANSPOSE_NS=$3
    # The script's own globals, in this subshell alone.
    # shellcheck disable=SC2034
    bin=$work/fake log=$work/gpu-check/log logdir=$work/gpu-check rows=() failures=0 built=yes \
      compute_cap=9.0 deadline=$((SECONDS + 60))
    check_event_times >/dev/null
    printf '%s\n' "${rows[@]}" | awk '{ print $1, $3 }' | paste -sd ' '
  )
}
expect "times that agree, one plain run an outlier" "dot_product_kernel ok transpose_kernel ok" \
  "$(timing $'0.0130 0.0468\n0.4300 0.0451\n0.0125 0.0460' 12,480 45,120)"
expect "a dot-product interval far longer than the kernel" "dot_product_kernel failed transpose_kernel ok" \
  "$(timing $'0.9500 0.0468\n0.9100 0.0451\n0.9300 0.0460' 12480 45120)"
expect "a transpose twice as long as ncu measures" "dot_product_kernel ok transpose_kernel failed" \
  "$(timing $'0.0130 0.0900\n0.0130 0.0910\n0.0130 0.0920' 12480 45120)"
expect "no ncu result" "dot_product_kernel failed transpose_kernel failed" \
  "$(timing $'0.0130 0.0468\n0.0130 0.0468\n0.0130 0.0468' '' '')"

echo "$failures failed"
[ "$failures" -eq 0 ]
