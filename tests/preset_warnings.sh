#!/usr/bin/env bash
# Warnings are errors where we build, not where users build: PRESET as a user configures it
# makes no warning an error, and with WARNINGS_AS_ERRORS=ON (as the project's scripts and CI
# configure it) every compile of the project's own code does. The further arguments (the
# compilers and CCCL of the build that runs the test) go to every configure.
# Usage: preset_warnings.sh CMAKE PRESET [CACHE_ARGUMENT...]
set -u
cmake=$1 preset=$2
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
configure() {  # BUILD ARGUMENT...
  local build=$1
  shift
  (cd "$root" && "$cmake" --preset "$preset" -B "$build" -DBUILD_TESTS=OFF "$@") >"$build.log" 2>&1 ||
    { echo "FAILED: configuring $preset $*:"; tail -n 20 "$build.log"; return 1; }
}
for strict in OFF ON; do
  build=$work/$strict
  configure "$build" -DWARNINGS_AS_ERRORS=$strict "$@" || { failures=$((failures + 1)); continue; }
  commands=$(grep '"command"' "$build/compile_commands.json")
  total=$(grep -c . <<<"$commands")
  strict_compiles=$(grep -c -- '-Werror' <<<"$commands")
  expected=0
  [ "$strict" = ON ] && expected=$total
  if [ "$total" -gt 0 ] && [ "$strict_compiles" -eq "$expected" ]; then
    echo "ok: $preset, WARNINGS_AS_ERRORS=$strict: -Werror in $strict_compiles of $total compiles"
  else
    echo "FAILED: $preset, WARNINGS_AS_ERRORS=$strict: -Werror in $strict_compiles of $total compiles"
    failures=$((failures + 1))
  fi
done
# Configuring by hand again takes the preset's own setting, not the one cached before.
if configure "$work/ON" "$@" && grep -q 'WARNINGS_AS_ERRORS:BOOL=OFF' "$work/ON/CMakeCache.txt"; then
  echo "ok: configuring $preset by hand again turns warnings as errors off"
else
  echo "FAILED: configuring $preset by hand keeps WARNINGS_AS_ERRORS=ON from an earlier configure"
  failures=$((failures + 1))
fi
[ "$failures" -eq 0 ]
