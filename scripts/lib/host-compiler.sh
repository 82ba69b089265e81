# Sourced by scripts/lib/cuda-toolkit.sh: chooses the host compiler nvcc compiles with, by having
# nvcc compile a one-line kernel with it. nvcc refuses a GCC or Clang newer than its version
# supports (its crt/host_config.h stops with "#error -- unsupported GNU version!"), which neither
# `nvcc --version` nor `nvcc --dryrun` shows, as they run no host compiler.
#
#   host_compiler_choose ROOT NVCC VERSION
#     sets host_compiler: CUDAHOSTCXX where the user names one (it must then be accepted); else
#     nothing, for nvcc's own default (gcc on PATH), where that is accepted; else the newest g++-N
#     on PATH that nvcc accepts, with a note. Otherwise prints one line that names the compiler,
#     its version and nvcc's reason, and returns 1.
#
# Each verdict is kept in ROOT/.tools/host-compilers/, under a hash of the nvcc and the compiler
# with their versions, so that each pair is compiled once.

# "gcc (GCC 14.2.0)": COMPILER as it is named, and what it is.
host_compiler_name() {  # COMPILER
  local version kind=GCC
  command -v "$1" >/dev/null 2>&1 || { echo "$1 (not installed)"; return; }
  version=$("$1" -dumpfullversion 2>/dev/null || "$1" -dumpversion 2>/dev/null)
  [[ $("$1" --version 2>/dev/null | head -n 1) != *clang* ]] || kind=Clang
  echo "$1 ($kind ${version:-of an unknown version})"
}

# Nothing where NVCC compiles a kernel with COMPILER ("" for its default), else why not: nvcc's
# own reason where it refuses the compiler's version, or the first error.
host_compiler_verdict() {  # ROOT NVCC COMPILER
  local dir=$1/.tools/host-compilers nvcc=$2 compiler=$3 key work status=0 reason
  key=$({ echo "$nvcc ${compiler:-default}"; "$nvcc" --version; command -v "${compiler:-gcc}"
    "${compiler:-gcc}" --version; } 2>&1 | sha256sum | cut -c1-16)
  if [ -f "$dir/$key" ]; then
    cat "$dir/$key"
    return
  fi
  work=$(mktemp -d)
  echo '__global__ void probe() {}' >"$work/probe.cu"
  timeout 120 "$nvcc" ${compiler:+-ccbin "$compiler"} -c "$work/probe.cu" -o "$work/probe.o" >"$work/log" 2>&1 ||
    status=$?
  if [ "$status" -ne 0 ]; then
    reason=$(sed -n 's/.*#error -- *\(.*\)/\1/p' "$work/log" | head -n 1 | sed -e 's/ The nvcc flag.*//' -e 's/! *$//')
    [ -n "$reason" ] || reason=$(grep -m 1 -iE 'error|not found' "$work/log" || true)
    [ -n "$reason" ] || reason="nvcc exited with status $status"
  fi
  rm -rf "$work"
  # A verdict of a probe that ran out of time is not kept: it may be the machine's load.
  if [ "$status" -ne 124 ] && mkdir -p "$dir" 2>/dev/null; then
    printf '%s' "${reason:-}" >"$dir/$key.$$" && mv -f "$dir/$key.$$" "$dir/$key"
  fi
  printf '%s' "${reason:-}"
}

host_compiler_choose() {  # ROOT NVCC VERSION
  local root=$1 nvcc=$2 version=$3 reason candidate refused limit me
  me=$(basename "$0")
  host_compiler=""
  if [ -n "${CUDAHOSTCXX:-}" ]; then
    reason=$(host_compiler_verdict "$root" "$nvcc" "$CUDAHOSTCXX")
    if [ -n "$reason" ]; then
      echo "$me: CUDAHOSTCXX names $(host_compiler_name "$CUDAHOSTCXX"), which nvcc $version does not accept: $reason; name another host compiler, or unset CUDAHOSTCXX" >&2
      return 1
    fi
    host_compiler=$CUDAHOSTCXX
    return 0
  fi
  refused=$(host_compiler_verdict "$root" "$nvcc" "")
  [ -n "$refused" ] || return 0
  for candidate in $(compgen -c | grep -xE 'g\+\+-[0-9]+' | sort -u -t- -k2,2nr); do
    if [ -z "$(host_compiler_verdict "$root" "$nvcc" "$candidate")" ]; then
      host_compiler=$(command -v "$candidate")
      echo "note: nvcc $version does not accept its default host compiler, $(host_compiler_name gcc): $refused; building with $(host_compiler_name "$candidate") (CUDAHOSTCXX names another)" >&2
      return 0
    fi
  done
  limit=$(grep -oE 'later than [0-9]+' <<<"$refused" | grep -oE '[0-9]+$' || true)
  echo "$me: nvcc $version does not accept the host compiler $(host_compiler_name gcc): $refused; install ${limit:+GCC $limit or older, as }g++-${limit:-N} (it is then taken), or name an accepted compiler with CUDAHOSTCXX" >&2
  return 1
}
