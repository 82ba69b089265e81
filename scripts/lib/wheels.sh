# Sourced by the scripts that bring a pinned PyPI wheel: CMake and Ninja (build-tools.sh), CCCL
# 2.7.0 (check-cuda12) and the Windows CUDA runtime (check-windows).

# Downloads one wheel with pip into DIR and checks it against its pinned sha256. Prints the
# wheel's path. Returns 1 if pip cannot download it (pip's output is in DIR/pip.log) and 2 if it
# does not have the pinned hash (it is then removed). PIP_ARGUMENT... names the wheel, as
# "cmake==3.31.10", and may choose its platform.
download_pinned_wheel() {  # DIR SHA256 PIP_ARGUMENT...
  local dir=$1 sha256=$2 fresh wheel
  shift 2
  mkdir -p "$dir"
  fresh=$(mktemp -d "$dir/download.XXXXXX")
  if ! python3 -m pip download --quiet --no-deps --only-binary=:all: -d "$fresh" "$@" >"$dir/pip.log" 2>&1; then
    rm -rf "$fresh"
    return 1
  fi
  wheel=$(ls "$fresh"/*.whl)
  if ! echo "$sha256  $wheel" | sha256sum --check --status 2>/dev/null; then
    rm -rf "$fresh"
    return 2
  fi
  mv "$wheel" "$dir/" && rm -rf "$fresh"
  echo "$dir/$(basename "$wheel")"
}
