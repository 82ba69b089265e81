# Sourced by the scripts: puts a CMake of 3.25 or newer and Ninja first on PATH.
#
# The system's are used when they are good enough. Otherwise (Ubuntu 22.04 ships CMake 3.22.1,
# say) pinned CMake and Ninja wheels are unpacked into the checkout's own .tools/ folder, which
# git ignores, and that folder goes first on PATH for this script only. Nothing of the system's
# is replaced, and nothing needs root: the wheels come through pip, checked against their hashes.

source "$(dirname "${BASH_SOURCE[0]}")/wheels.sh"

build_tools_cmake=3.31.10
build_tools_ninja=1.13.0
# sha256 of each pinned wheel, for x86-64 and for 64-bit Arm Linux.
build_tools_hashes="
cmake x86_64 2f766bb46367e5e0559fa33184653754bce044583a06014dcaebf8e6dff8a1f1
cmake aarch64 a4a5615f31f692c9b9aa8b365704e4b76172348af6fa40e16fea3f118bb01194
ninja x86_64 fb46acf6b93b8dd0322adc3a4945452a4e774b75b91293bafcc7b7f8e6517dfa
ninja aarch64 3d00c692fb717fd511abeb44b8c5d00340c36938c12d6538ba989fe764e79630"

# Whether the cmake on PATH is 3.25 or newer.
build_tools_cmake_is_new_enough() {
  local version
  version=$(cmake --version 2>/dev/null | sed -n '1s/^cmake version \([0-9][0-9.]*\).*/\1/p')
  [ -n "$version" ] || return 1
  [ "$(printf '3.25\n%s\n' "$version" | sort -V | head -n 1)" = 3.25 ]
}

# Unpacks wheel NAME==VERSION for this machine into DIR, after checking its pinned hash.
build_tools_unpack() {  # NAME VERSION DIR
  local name=$1 version=$2 dir=$3 arch hash download wheel
  arch=$(uname -m)
  hash=$(awk -v n="$name" -v a="$arch" '$1 == n && $2 == a { print $3 }' <<<"$build_tools_hashes")
  if [ -z "$hash" ]; then
    echo "$(basename "$0"): no pinned $name wheel for $arch; install $name yourself" >&2
    return 1
  fi
  if ! python3 -m pip --version >/dev/null 2>&1; then
    echo "$(basename "$0"): $name $version is needed and pip is missing; install it with:" \
      "sudo apt-get install python3-pip" >&2
    return 1
  fi
  download=$(mktemp -d)
  local status=0
  wheel=$(download_pinned_wheel "$download" "$hash" "$name==$version") || status=$?
  if [ "$status" -eq 1 ]; then
    echo "$(basename "$0"): cannot download the $name $version wheel with pip: $(tail -n 1 "$download/pip.log")" >&2
  elif [ "$status" -eq 2 ]; then
    echo "$(basename "$0"): the $name $version wheel does not have the pinned sha256 $hash" >&2
  else
    # Unpacked beside its place and then moved there, so that an interrupted run leaves no half.
    rm -rf "$dir" "$dir.new"
    python3 -m zipfile -e "$wheel" "$dir.new" && mv "$dir.new" "$dir" || status=$?
  fi
  rm -rf "$download"
  return $status
}

# Makes `cmake` (3.25 or newer) and `ninja` the first on PATH, bringing them into .tools if
# needed. ROOT is the checkout.
use_build_tools() {  # ROOT
  local tools=$1/.tools
  if ! build_tools_cmake_is_new_enough; then
    local cmake_bin=$tools/cmake-$build_tools_cmake/cmake/data/bin
    if [ ! -x "$cmake_bin/cmake" ]; then
      echo "note: CMake 3.25 or newer is needed ($(command -v cmake >/dev/null && cmake --version | head -n 1 ||
        echo 'none found')); bringing CMake $build_tools_cmake into $tools" >&2
      build_tools_unpack cmake "$build_tools_cmake" "$tools/cmake-$build_tools_cmake" || return 1
      chmod +x "$cmake_bin"/*
    fi
    PATH=$cmake_bin:$PATH
  fi
  if ! command -v ninja >/dev/null 2>&1; then
    local ninja_bin=$tools/ninja-$build_tools_ninja/ninja-$build_tools_ninja.data/scripts
    if [ ! -x "$ninja_bin/ninja" ]; then
      echo "note: Ninja is not installed; bringing Ninja $build_tools_ninja into $tools" >&2
      build_tools_unpack ninja "$build_tools_ninja" "$tools/ninja-$build_tools_ninja" || return 1
      chmod +x "$ninja_bin/ninja"
    fi
    PATH=$ninja_bin:$PATH
  fi
  export PATH
  hash -r
}
