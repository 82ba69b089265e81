# Sourced by the scripts that bring pinned PyPI wheels: CMake and Ninja (build-tools.sh), CUDA
# 13.0 and CCCL 2.7.0 (cuda-toolkit.sh, check-cuda12) and the Windows CUDA runtime
# (check-windows). pip only downloads; the wheels are zips, unpacked with Python's zipfile, so
# nothing is installed into any Python and no root or virtual environment is needed.
#
# GPU_MEASUREMENTS_WHEELS names a folder that keeps each wheel downloaded, under its sha256, for
# later runs (CI keeps one per machine). A kept wheel is checked against its pin again.

# The sha256 of each pinned Linux wheel, for x86-64 and for 64-bit Arm.
pinned_wheels="
cmake==3.31.10 x86_64 2f766bb46367e5e0559fa33184653754bce044583a06014dcaebf8e6dff8a1f1
cmake==3.31.10 aarch64 a4a5615f31f692c9b9aa8b365704e4b76172348af6fa40e16fea3f118bb01194
cmake==4.4.5 x86_64 85625a9b6d5e88ff99c7eb79123d85570844e77ac076366cf75c609cc0b1b579
cmake==4.4.5 aarch64 25fc8469e67857124ef10c002331c0ab416eb7b8d9e1d6e4c58e84e730013ece
ninja==1.13.0 x86_64 fb46acf6b93b8dd0322adc3a4945452a4e774b75b91293bafcc7b7f8e6517dfa
ninja==1.13.0 aarch64 3d00c692fb717fd511abeb44b8c5d00340c36938c12d6538ba989fe764e79630
nvidia-cuda-nvcc==13.0.88 x86_64 56fe502eb77625a12f25172caa3cdddb4e4c8ba2c8c17dba44b164761b380f03
nvidia-cuda-nvcc==13.0.88 aarch64 c7ff28f86a24effdc6c034fa15230c549a273e4771b10a7fec14996f8cf3307f
nvidia-nvvm==13.0.88 x86_64 c5f41ffeb6466944a026dfa5317d7d85355c119bbec279205d22f1869d1054e0
nvidia-nvvm==13.0.88 aarch64 c4376a291d72d22a315d9d2f69bdae8f8cd83a627f75bad395cee49a0fe65dc1
nvidia-cuda-crt==13.0.88 x86_64 2c8043c7c9e02492716426e9919fc78d2c5b3b2a7a768a88e952676b08aa55a4
nvidia-cuda-crt==13.0.88 aarch64 ee2ea2a97073e02ee62bb27841f437332be2c248e3eac013df07997ada39c003
nvidia-cuda-runtime==13.0.96 x86_64 7f82250d7782aa23b6cfe765ecc7db554bd3c2870c43f3d1821f1d18aebf0548
nvidia-cuda-runtime==13.0.96 aarch64 ef9bcbe90493a2b9d810e43d249adb3d02e98dd30200d86607d8d02687c43f55
nvidia-cuda-cccl==13.0.85 x86_64 e0da7ad981f3a8aff08241b5bfc1af868742a63e2762f53a5171c492ef242649
nvidia-cuda-cccl==13.0.85 aarch64 6f0203e29fed809ee2b7fe9b1344df66ecab990c37d6a2e0e189b26d6c97ed7c
nvidia-cuda-cccl-cu12==12.8.90 x86_64 575bc5cfb0fe4a1956c539215c0f1e6718821b95a68ef6b7abf226aa87e3a5ad
nvidia-cuda-cccl-cu12==12.8.90 aarch64 1e4b0d0ea7577cc0ccef6ebf9639380d3d30869f0f774b020380d288a49273c2"

# The pinned sha256 of wheel NAME==VERSION for this machine; nothing if it has none.
pinned_wheel_hash() {  # NAME==VERSION
  awk -v wheel="$1" -v arch="$(uname -m)" '$1 == wheel && $2 == arch { print $3 }' <<<"$pinned_wheels"
}

# Downloads one wheel with pip into DIR, or takes it from GPU_MEASUREMENTS_WHEELS, and checks it
# against its pinned sha256. Prints the wheel's path. Returns 1 if pip cannot download it (pip's
# output is in DIR/pip.log) and 2 if it does not have the pinned hash (it is then removed, and
# DIR/pip.log says which hash it had). PIP_ARGUMENT... names the wheel, as "cmake==3.31.10",
# and may choose its platform.
download_pinned_wheel() {  # DIR SHA256 PIP_ARGUMENT...
  local dir=$1 sha256=$2 fresh wheel kept=${GPU_MEASUREMENTS_WHEELS:-}
  shift 2
  mkdir -p "$dir"
  if [ -n "$kept" ]; then
    for wheel in "$kept/$sha256"/*.whl; do
      if [ -f "$wheel" ] && echo "$sha256  $wheel" | sha256sum --check --status 2>/dev/null; then
        cp "$wheel" "$dir/" && echo "$dir/$(basename "$wheel")" && return 0
      fi
    done
  fi
  fresh=$(mktemp -d "$dir/download.XXXXXX")
  if ! python3 -m pip download --quiet --no-deps --only-binary=:all: -d "$fresh" "$@" >"$dir/pip.log" 2>&1; then
    rm -rf "$fresh"
    return 1
  fi
  wheel=$(ls "$fresh"/*.whl)
  if ! echo "$sha256  $wheel" | sha256sum --check --status 2>/dev/null; then
    echo "downloaded $(basename "$wheel") with sha256 $(sha256sum "$wheel" | cut -d' ' -f1)" >>"$dir/pip.log"
    rm -rf "$fresh"
    return 2
  fi
  mv "$wheel" "$dir/" && rm -rf "$fresh"
  if [ -n "$kept" ] && mkdir -p "$kept/$sha256" 2>/dev/null; then
    cp "$dir/$(basename "$wheel")" "$kept/$sha256/" 2>/dev/null || true
  fi
  echo "$dir/$(basename "$wheel")"
}

# What went wrong, from pip's log: the cause of its last retry (no network, a proxy that
# refuses, a certificate it cannot check) rather than its closing "No matching distribution".
pip_failure_cause() {  # LOG
  local cause
  cause=$(grep 'after connection broken by' "$1" | tail -n 1 |
    sed -e 's/.*after connection broken by //' -e 's/<[^>]*>: //g' -e "s/': [^ ]*\$//" -e "s/^'//")
  [ -n "$cause" ] || cause=$(grep -vE 'No matching distribution|Could not find a version' "$1" | grep -v '^ *$' | tail -n 1)
  [ -n "$cause" ] || cause=$(tail -n 1 "$1")
  echo "$cause"
}

# Brings the pinned wheels WHEEL... (NAME==VERSION each) for this machine and unpacks them
# together into DIR: beside it first and then moved there, so that an interrupted run leaves no
# half. On failure prints one line that says why and what to run again, keeps pip's log next to
# DIR, and returns 1.
bring_wheels() {  # DIR WHEEL...
  local dir=$1 wanted hash download wheel status=0 me
  shift
  me=$(basename "$0")
  command -v python3 >/dev/null 2>&1 && python3 -m pip --version >/dev/null 2>&1 || {
    echo "$me: $* must be downloaded and pip is missing; install it with: sudo apt-get install python3-pip" >&2
    return 1
  }
  download=$(mktemp -d)
  rm -rf "$dir.new"
  for wanted; do
    hash=$(pinned_wheel_hash "$wanted")
    if [ -z "$hash" ]; then
      echo "$me: no pinned $wanted wheel for $(uname -m); install ${wanted%%==*} yourself" >&2
      status=1
      break
    fi
    wheel=$(download_pinned_wheel "$download" "$hash" "$wanted") || status=$?
    if [ "$status" -ne 0 ]; then
      mkdir -p "$(dirname "$dir")"
      cp "$download/pip.log" "$dir.pip.log"
      if [ "$status" -eq 1 ]; then
        echo "$me: cannot download $wanted from PyPI: $(pip_failure_cause "$download/pip.log") (pip's log: $dir.pip.log); once that is mended, run $0 again" >&2
      else
        echo "$me: the $wanted wheel from PyPI is not the pinned one ($(tail -n 1 "$download/pip.log"), pinned $hash); run $0 again, and if it persists, the index or a proxy serves another file" >&2
      fi
      status=1
      break
    fi
    python3 -m zipfile -e "$wheel" "$dir.new" || { status=1; break; }
    rm -f "$wheel"
  done
  if [ "$status" -eq 0 ]; then
    rm -rf "$dir" && mv "$dir.new" "$dir" && rm -f "$dir.pip.log" || status=1
  fi
  rm -rf "$download" "$dir.new"
  return $status
}
