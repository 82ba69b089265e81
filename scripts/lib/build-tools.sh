# Sourced by the scripts: puts a CMake of 3.25 or newer and Ninja first on PATH.
#
# The system's are used when they are good enough. Otherwise (Ubuntu 22.04 ships CMake 3.22.1,
# say) pinned CMake and Ninja wheels are unpacked into the checkout's own .tools/ folder, which
# git ignores, and that folder goes first on PATH for this script only. Nothing of the system's
# is replaced, and nothing needs root: the wheels come through pip, checked against their hashes.
# A brought folder counts once its marker is there (wheels_brought): the last thing a bring writes.

source "$(dirname "${BASH_SOURCE[0]}")/wheels.sh"

build_tools_cmake=3.31.10
build_tools_ninja=1.13.0

# Whether the cmake on PATH is 3.25 or newer.
build_tools_cmake_is_new_enough() {
  local version
  version=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9][0-9.]*\).*/\1/p')
  [ -n "$version" ] || return 1
  [ "$(printf '3.25\n%s\n' "$version" | sort -V | head -n 1)" = 3.25 ]
}

# Makes `cmake` (3.25 or newer) and `ninja` the first on PATH, bringing them into .tools if
# needed. ROOT is the checkout.
use_build_tools() {  # ROOT
  local tools=$1/.tools
  if ! build_tools_cmake_is_new_enough; then
    local cmake_dir=$tools/cmake-$build_tools_cmake
    if ! wheels_brought "$cmake_dir"; then
      echo "note: CMake 3.25 or newer is needed ($(command -v cmake >/dev/null && cmake --version | head -n 1 ||
        echo 'none found')); bringing CMake $build_tools_cmake into $tools" >&2
      bring_wheels --name "CMake $build_tools_cmake" --then build_tools_runnable "$cmake_dir" "cmake==$build_tools_cmake" ||
        return 1
    fi
    PATH=$cmake_dir/cmake/data/bin:$PATH
  fi
  if ! command -v ninja >/dev/null 2>&1; then
    local ninja_dir=$tools/ninja-$build_tools_ninja
    if ! wheels_brought "$ninja_dir"; then
      echo "note: Ninja is not installed; bringing Ninja $build_tools_ninja into $tools" >&2
      bring_wheels --name "Ninja $build_tools_ninja" --then build_tools_runnable "$ninja_dir" "ninja==$build_tools_ninja" ||
        return 1
    fi
    PATH=$ninja_dir/ninja-$build_tools_ninja.data/scripts:$PATH
  fi
  export PATH
  hash -r
}
# The executables of an unpacked CMake or Ninja wheel in DIR lose their run bit in the zip.
build_tools_runnable() {  # DIR
  chmod +x "$1"/cmake/data/bin/* 2>/dev/null || chmod +x "$1"/ninja-*.data/scripts/ninja
}

# Runs COMMAND with its output appended to LOG (checkout_build_lock starts it afresh) and nothing
# on the terminal, as a child that an interrupt ends. When it fails, shows what failed from the
# log (the first failed build step or CMake error on, else its end) and the log's path, or the
# one line that says the disk is full, and returns its status.
run_logged() {  # LOG COMMAND...
  local log=$1 status=0
  shift
  mkdir -p "$(dirname "$log")"
  checkout_child "$log" "$@" || status=$?
  [ "$status" -ne 0 ] || return 0
  if checkout_no_space "$(dirname "$log")" "$log"; then
    echo "$checkout_me: no space left on device in $(dirname "$log") ($*)" >&2
    return "$status"
  fi
  {
    echo "$checkout_me: failed: $*"
    if grep -qE '^FAILED: |^CMake Error' "$log"; then
      sed -n '/^FAILED: \|^CMake Error/,$p' "$log" | head -n 40
    else
      tail -n 30 "$log"
    fi
    echo "(the whole output: $log)"
  } >&2
  return "$status"
}
