#!/usr/bin/env bash
# Which CCCL the build takes when several versions are installed, using stand-in packages that
# carry CCCL's own version rule (same major version, at least the version asked for).
# Usage: cccl_lookup.sh CMAKE GENERATOR MAKE_PROGRAM
set -u
cmake=$1 generator=$2 make_program=$3
project=$(cd "$(dirname "$0")/cccl_lookup" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A stand-in CCCL of version MAJOR.MINOR.PATCH under $work/VERSION/lib/cmake/cccl.
package() {
  local dir=$work/$1/lib/cmake/cccl
  mkdir -p "$dir"
  IFS=. read -r major minor patch <<<"$1"
  cat >"$dir/cccl-config-version.cmake" <<VERSION
set(PACKAGE_VERSION $major.$minor.$patch.0)
set(PACKAGE_VERSION_COMPATIBLE FALSE)
if(PACKAGE_VERSION VERSION_GREATER_EQUAL PACKAGE_FIND_VERSION AND $major EQUAL PACKAGE_FIND_VERSION_MAJOR)
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
VERSION
  : >"$dir/cccl-config.cmake"
}
for version in 2.3.2 2.7.0 2.8.1 3.0.1 4.0.0; do package "$version"; done

# Configures the lookup project in build folder BUILD with the prefixes (searched in that order)
# and any further cache settings; prints the CCCL it took or "none".
configure() {
  local build=$work/build-$1 prefixes=$2 output
  shift 2
  output=$("$cmake" -S "$project" -B "$build" -G "$generator" -DCMAKE_MAKE_PROGRAM="$make_program" \
    -DCMAKE_PREFIX_PATH="$prefixes" "$@" 2>&1)
  if [ $? -eq 0 ]; then
    sed -n 's/^-- CCCL \([0-9.]*\) from .*/\1/p' <<<"$output"
  else
    echo none
    echo "$output" >"$build.log"
  fi
}

failures=0
expect() {  # WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    echo "ok: $1: $3"
  else
    echo "FAILED: $1: took $3, expected $2"
    failures=$((failures + 1))
  fi
}

expect "only an older 2.x" none "$(configure old "$work/2.3.2")"
grep -q "2.3.2/lib/cmake/cccl/cccl-config.cmake (version 2.3.2.0)" "$work/build-old.log" ||
  { echo "FAILED: the error does not name the package it passed over"; failures=$((failures + 1)); }
expect "an older 2.x found first" 2.7.0 "$(configure older-first "$work/2.3.2;$work/2.7.0")"
expect "the first supported 2.x" 2.8.1 "$(configure first-2x "$work/2.3.2;$work/2.8.1;$work/2.7.0")"
expect "2.x and 3.x" 3.0.1 "$(configure both "$work/2.7.0;$work/3.0.1")"
expect "only a 4.x" none "$(configure newer "$work/4.0.0")"
expect "4.x found before 3.x" 3.0.1 "$(configure newer-first "$work/4.0.0;$work/3.0.1")"
expect "CCCL_DIR chosen by hand" 2.7.0 \
  "$(configure chosen "$work/3.0.1" -DCCCL_DIR="$work/2.7.0/lib/cmake/cccl")"
expect "an unsupported CCCL_DIR" none \
  "$(configure chosen-old "$work/3.0.1" -DCCCL_DIR="$work/2.3.2/lib/cmake/cccl")"
expect "a second configure keeps its choice" 2.7.0 \
  "$(configure older-first "$work/2.3.2;$work/2.7.0;$work/3.0.1")"
[ "$failures" -eq 0 ]
