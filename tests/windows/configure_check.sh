#!/usr/bin/env bash
# Configures a checkout for Windows (cl, link.exe, nvcc with cl as host compiler) with the
# stand-in tools of msvc_toolchain.cmake and checks the command lines CMake wrote:
#   1. the windows-cuda preset's settings (Release, warnings not errors);
#   2. Debug with WARNINGS_AS_ERRORS=ON, and Release when no build type is given;
#   3. BACKEND=host, which must stop with one clear error.
#
#   configure_check.sh SOURCE_DIR STANDIN_DIR WORK_DIR
# STANDIN_DIR holds msvc/ and cuda/ as msvc_toolchain.cmake describes; builds go to WORK_DIR.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$3"
source_dir=$(cd "$1" && pwd) standin=$(cd "$2" && pwd) work=$(cd "$3" && pwd)
toolchain=$here/msvc_toolchain.cmake
# The toolkit's CCCL is header-only and the same on every platform; the Linux toolkit's serves.
cccl_dir=${CCCL_DIR:-/usr/local/cuda/lib64/cmake/cccl}
failed=0

configure() {  # BUILD_DIR ARGS...: configures into a fresh BUILD_DIR, output in BUILD_DIR.log
  local build=$1
  shift
  rm -rf "$build"
  cmake -S "$source_dir" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DWINDOWS_STANDIN="$standin" -DCCCL_DIR="$cccl_dir" -DCMAKE_PROGRAM_PATH="$standin/msvc" "$@" \
    >"$build.log" 2>&1
}

# 1. The preset's own cache variables (a preset conditioned on a Windows host cannot be used
# here directly).
preset_args=()
if preset_vars=$(python3 "$here/windows_commands.py" preset "$source_dir/CMakePresets.json" windows-cuda); then
  while IFS= read -r line; do preset_args+=("-D$line"); done <<<"$preset_vars"
else
  failed=1
  preset_args=(-DBACKEND=cuda -DCMAKE_BUILD_TYPE=Release)
fi
if configure "$work/release" "${preset_args[@]}"; then
  config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$work/release/CMakeCache.txt")
  werror=$(sed -n 's/^WARNINGS_AS_ERRORS:[A-Z]*=//p' "$work/release/CMakeCache.txt")
  python3 "$here/windows_commands.py" commands "$work/release" "$config" "${werror:-OFF}" || failed=1
else
  echo "configuring with the windows-cuda preset's settings failed:" >&2
  tail -n 20 "$work/release.log" >&2
  failed=1
fi

# 2. Debug, warnings as errors.
if configure "$work/debug-werror" -DBACKEND=cuda -DCMAKE_BUILD_TYPE=Debug -DWARNINGS_AS_ERRORS=ON; then
  python3 "$here/windows_commands.py" commands "$work/debug-werror" Debug ON || failed=1
else
  echo "configuring Debug with WARNINGS_AS_ERRORS=ON failed:" >&2
  tail -n 20 "$work/debug-werror.log" >&2
  failed=1
fi

# Configured by hand without a build type, the build is Release, not MSVC's default Debug.
if configure "$work/default" -DBACKEND=cuda; then
  config=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$work/default/CMakeCache.txt")
  [ "$config" = Release ] || { echo "configured without a build type, the build is '$config', not Release" >&2; failed=1; }
else
  echo "configuring without a build type failed:" >&2
  tail -n 20 "$work/default.log" >&2
  failed=1
fi

# 3. The host execution layer cannot be built with MSVC: one error that says so, no other.
if configure "$work/host" -DBACKEND=host -DCMAKE_BUILD_TYPE=Release; then
  echo "BACKEND=host with MSVC configured without an error" >&2
  failed=1
else
  errors=$(grep -c '^CMake Error' "$work/host.log" || true)
  if [ "$errors" != 1 ] || ! grep -q 'BACKEND=host needs GCC or Clang on Linux' "$work/host.log"; then
    echo "BACKEND=host with MSVC: expected one error saying it needs GCC or Clang on Linux, got:" >&2
    grep -A3 '^CMake Error' "$work/host.log" >&2 || tail -n 10 "$work/host.log" >&2
    failed=1
  fi
fi
exit "$failed"
