#!/usr/bin/env bash
# Warnings are errors where we build, not where users build: the cuda and host presets as a
# user configures them make no warning an error, and with WARNINGS_AS_ERRORS=ON (as the
# project's scripts and CI configure them) every compile of the project's own code does.
# Usage: preset_warnings.sh CMAKE
set -u
cmake=$1
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
for preset in cuda host; do
  for strict in OFF ON; do
    build=$work/$preset-$strict
    if ! (cd "$root" && "$cmake" --preset "$preset" -B "$build" -DBUILD_TESTS=OFF -DWARNINGS_AS_ERRORS=$strict) \
      >"$build.log" 2>&1; then
      echo "FAILED: configuring $preset (WARNINGS_AS_ERRORS=$strict):"
      tail -n 20 "$build.log"
      failures=$((failures + 1))
      continue
    fi
    # One line per compile of a source of the project's own (not of a stand-in or a library).
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
done
# What a hand configure gets is the preset's own default, not a value cached before.
(cd "$root" && "$cmake" --preset host -B "$work/host-ON") >/dev/null 2>&1
grep -q 'WARNINGS_AS_ERRORS:BOOL=OFF' "$work/host-ON/CMakeCache.txt" ||
  { echo "FAILED: configuring by hand keeps WARNINGS_AS_ERRORS=ON from an earlier configure"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ]
