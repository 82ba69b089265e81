#!/usr/bin/env bash
# Builds the program frame (common/program.cpp, common/console.cpp) into console_driver.exe with
# MinGW-w64 and runs it under Wine:
#   - output redirected: exactly the bytes of the same driver built for Linux, with CR LF line
#     ends (text mode), and the code page left alone even where a console is attached;
#   - output on a console (a pseudo-terminal from `script`): the output code page is 65001 during
#     the run and the previous one again afterwards, after a failure too, and on the terminate
#     path (a release that throws while a failure unwinds) before its line is written; a second
#     restore changes nothing, and a run inside a run leaves it to the outer one.
#
#   console_check.sh SOURCE_DIR WORK_DIR
# Needs x86_64-w64-mingw32-g++-posix, g++, wine64 and script; the CUDA headers for the runtime
# types (CUDA_INCLUDE, default /usr/local/cuda/include). WINEPREFIX defaults to WORK_DIR/wine.
set -euo pipefail
mkdir -p "$2"
source_dir=$(cd "$1" && pwd) work=$(cd "$2" && pwd)
cuda_include=${CUDA_INCLUDE:-/usr/local/cuda/include}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
export WINEPREFIX=${WINEPREFIX:-$work/wine} WINEDEBUG=-all
failed=0
fail() { echo "$*" >&2; failed=1; }

cd "$work"
sources=("$source_dir/tests/windows/console_driver.cpp" "$source_dir/common/program.cpp")
flags=(-std=c++17 -O2 -Wall -Wextra -Werror -I"$source_dir" -isystem "$cuda_include")
g++ "${flags[@]}" -o console_driver "${sources[@]}"
x86_64-w64-mingw32-g++-posix "${flags[@]}" -static -o console_driver.exe "${sources[@]}" \
  "$source_dir/common/console.cpp"
trap '"$wineserver" -k 2>/dev/null || true' EXIT

# The report's bytes as the Linux build writes them, and with Windows text mode's line ends.
./console_driver report linux.log >linux.out
sed 's/$/\r/' linux.out >expected.out
set +e
./console_driver failure linux-failure.log >linux-failure.out 2>linux-failure.err
set -e
sed 's/$/\r/' linux-failure.out >expected-failure.out
sed 's/$/\r/' linux-failure.err >expected-failure.err

run() {  # NAME MODE [console]: runs the driver; status in NAME.status, code pages in NAME.log
  local name=$1 mode=$2 status=0
  if [ "${3:-}" = console ]; then
    # Standard output is the pseudo-terminal; standard error goes to a file.
    script -qefc "'$wine' ./console_driver.exe $mode $name.log 2>$name.err" /dev/null \
      >"$name.tty" </dev/null || status=$?
  elif [ "${3:-}" = console-redirected ]; then
    script -qefc "'$wine' ./console_driver.exe $mode $name.log >$name.out 2>$name.err" /dev/null \
      >"$name.tty" </dev/null || status=$?
  else
    "$wine" ./console_driver.exe "$mode" "$name.log" >"$name.out" 2>"$name.err" </dev/null ||
      status=$?
  fi
  echo "$status" >"$name.status"
}
expect_status() { [ "$(cat "$1.status")" = "$2" ] || fail "$1: exit status $(cat "$1.status"), expected $2"; }
expect_same() { cmp -s "$1" "$2" || fail "$1 differs from $2 (see $work)"; }
expect_log() {  # NAME LINES...: the code-page log, one "when page" a line
  local want
  want=$(printf '%s\n' "${@:2}")
  [ "$(tr -d '\r' <"$1.log")" = "$want" ] ||
    fail "$1: code pages '$(tr '\n' ',' <"$1.log")', expected '$(tr '\n' ',' <<<"$want")'"
}

# Redirected output, no console.
run plain report
expect_status plain 0
expect_same plain.out expected.out
run plain-failure failure
expect_status plain-failure 1
expect_same plain-failure.out expected-failure.out
expect_same plain-failure.err expected-failure.err

# A console, with standard output redirected to a file: nothing is switched.
run redirected report console-redirected
expect_status redirected 0
expect_same redirected.out expected.out
before=$(sed -n 's/^before //p' redirected.log | tr -d '\r')
expect_log redirected "before $before" "during $before" "after $before"

# Standard output on the console.
run console report console
expect_status console 0
expect_log console "before 866" "during 65001" "after 866"
run console-failure failure console
expect_status console-failure 1
expect_log console-failure "before 866" "during 65001" "after 866"
expect_same console-failure.err expected-failure.err
run console-nested nested console
expect_status console-nested 0
expect_log console-nested "before 866" "during 65001" "inner-after 65001" "after 866"
run console-terminate terminate console
expect_status console-terminate 1
expect_log console-terminate "before 866" "during 65001" "restored 866"
run console-restore restore console
expect_status console-restore 0
expect_log console-restore "before 866" "during 65001" "restored 866" "again 850" "after 850"
exit "$failed"
