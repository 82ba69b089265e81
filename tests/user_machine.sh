#!/usr/bin/env bash
# scripts/run as a GPU user meets it on their own machine: in a fresh clone, as a user without
# root or sudo, with a CMake older than 3.25 first on PATH (a stand-in that reports 3.22.1 and
# fails if it is used for anything else). The run must bring its own CMake and print both
# programs' reports; a missing system package must end in one line that names it and the
# command that installs it, without prompting. Needs root (it makes the user); CI runs it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
user=gpu-measurements-user
[ "$(id -u)" -eq 0 ] || { echo "user_machine.sh: needs root, to run as another user" >&2; exit 1; }
id "$user" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$user"
work=$(mktemp -d)
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$work"' EXIT
chmod 755 "$work"
failures=0
check() {  # WHAT COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}

git clone -q "$root" "$work/checkout"
mkdir -p "$work/home" "$work/old-cmake" "$work/no-boost"
cat >"$work/old-cmake/cmake" <<'STANDIN'
#!/bin/sh
# A CMake too old for the project: it reports its version and can do nothing else.
if [ "$1" = --version ]; then printf 'cmake version 3.22.1\n\nCMake suite maintained and supported by Kitware (kitware.com/cmake).\n'; exit 0; fi
echo "CMake 3.25 or higher is required.  You are running version 3.22.1" >&2
exit 1
STANDIN
# dpkg-query as on a machine where Boost.Context is not installed.
cat >"$work/no-boost/dpkg-query" <<'STANDIN'
#!/bin/sh
for last; do :; done
[ "$last" = libboost-context-dev ] && exit 1
exec /usr/bin/dpkg-query "$@"
STANDIN
chmod +x "$work/old-cmake/cmake" "$work/no-boost/dpkg-query"
chown -R "$user" "$work/home" "$work/checkout"

as_user() {  # PATH_FIRST COMMAND...: runs COMMAND in the clone as the user, stdin closed
  local first=$1
  shift
  (cd "$work/checkout" && runuser -u "$user" -- env -i HOME="$work/home" LANG=C.UTF-8 \
    PATH="$first:/usr/local/cuda/bin:/usr/local/bin:/usr/bin:/bin" "$@" </dev/null)
}

echo "== scripts/run as $user, CMake 3.22.1 first on PATH"
started=$(date +%s)
status=0
as_user "$work/old-cmake" scripts/run >"$work/out" 2>"$work/err" || status=$?
echo "   $(($(date +%s) - started)) s, exit status $status"
check "scripts/run succeeds" [ "$status" -eq 0 ]
check "it printed vecmat's 8 lines, an empty one and gputune's 17" [ "$(wc -l <"$work/out")" -eq 26 ]
check "vecmat's dot products" [ "$(grep -c '^Скалярное произведение (.*): 2.09715e+06$' "$work/out")" -eq 2 ]
check "gputune's last line" grep -q '^Минимальное время выполнения: .* ms$' "$work/out"
check "it brought its own CMake" grep -q 'bringing CMake 3\.31\.10 into' "$work/err"
check "the build used that CMake" grep -q "/.tools/cmake-3.31.10/" "$work/checkout/build/host/CMakeCache.txt"
check "nothing of the tests was built" [ ! -e "$work/checkout/build/host/bin/unit_tests" ]
[ "$status" -eq 0 ] || { echo "--- stderr:"; tail -n 20 "$work/err"; }

echo "== scripts/run --repeat 3 --json as $user, the build kept"
status=0
as_user "$work/old-cmake" scripts/run --repeat 3 --json "$work/home/r.json" >"$work/out3" 2>"$work/err" || status=$?
check "it succeeds" [ "$status" -eq 0 ]
check "the first run's 26 lines come first, then the table" \
  grep -qx '=== 3 runs of each program ===' <(sed -n 28p "$work/out3")
# Every value in the record is the number on its line, in each run's output as the record kept
# it; the first run's output is what was printed; every time has 3 values.
check "the record holds the printed lines' numbers" python3 - "$work/home/r.json" "$work/out3" <<'CHECK'
import json, re, sys
record = json.load(open(sys.argv[1]))
printed = open(sys.argv[2], encoding="utf-8").read().split("\n")
assert record["ok"] and record["build"] == "host" and record["runs"] == 3, record["failure"]
first = "\n".join(p["output"][0].rstrip("\n") for p in record["programs"]).split("\n")
assert printed[:8] == first[:8] and printed[9:26] == first[8:], "the first run is not what was printed"
for program in record["programs"]:
    assert len(program["output"]) == 3
    numbered = [entry for entry in program["lines"]]
    for run, output in enumerate(program["output"]):
        numbers = [float(m.group(1)) for m in (re.search(r": ([-+0-9.e]+)( \S+)?$", t) for t in output.splitlines()) if m]
        assert numbers == [entry["values"][run] for entry in numbered], (program["name"], run)
    assert all(len(e["values"]) == 3 for e in numbered if e["kind"] == "time")
CHECK
as_user /usr/bin scripts/compare "$work/home/r.json" "$work/home/r.json" >"$work/compare" 2>&1 && status=0 || status=$?
check "compare of the record with itself: exit 0, 10 rows, each within noise" \
  [ "$status:$(grep -c ' within noise$' "$work/compare"):$(wc -l <"$work/compare")" = 0:10:12 ]
[ "$failures" -eq 0 ] || { echo "--- stderr:"; tail -n 20 "$work/err"; cat "$work/compare"; }

echo "== scripts/run as $user without Boost.Context installed"
status=0
as_user "$work/no-boost:$work/old-cmake" scripts/run >"$work/out" 2>"$work/err" || status=$?
check "it stops with exit status 1" [ "$status" -eq 1 ]
check "one line names the package and the command" \
  grep -qx 'install-deps: missing libboost-context-dev; install as root with: apt-get install libboost-context-dev' "$work/err"
check "that is the only line but the GPU note" [ "$(grep -vc '^note: ' "$work/err")" -eq 1 ]
[ "$failures" -eq 0 ] || { echo "--- stderr:"; cat "$work/err"; }
echo "user machine: $failures failed"
[ "$failures" -eq 0 ]
