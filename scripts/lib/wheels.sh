# Sourced by the scripts that bring pinned PyPI wheels: CMake and Ninja (build-tools.sh), CUDA
# 13.0 and CCCL 2.7.0 (cuda-toolkit.sh, check-cuda12) and the Windows CUDA runtime
# (check-windows). pip only downloads, and checks each wheel against its pin itself
# (--require-hashes): it takes only a file with the pinned hash. The wheels are zips, unpacked with
# Python's zipfile, so nothing is installed into any Python and no root or virtual environment is
# needed. Runs that share a checkout bring one at a time (scripts/lib/checkout.sh).
#
# GPU_MEASUREMENTS_WHEELS names a folder that keeps each wheel downloaded, under its sha256, for
# later runs (CI keeps one per machine). A kept wheel is checked against its pin again.

source "$(dirname "${BASH_SOURCE[0]}")/checkout.sh"

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

# Downloads one wheel with pip into DIR, or takes it from GPU_MEASUREMENTS_WHEELS, pip checking
# it against its pinned SHA256 (DIR/requirements.txt). Sets pinned_wheel_path to the wheel's path
# and prints it. Returns 1 if pip cannot download it and 2 if the index has no file with the
# pinned hash; pip's output is in DIR/pip.log. The last argument names the wheel, as
# "cmake==3.31.10"; PIP_OPTIONs before it may choose its platform. pip's temporary files stay
# inside DIR, and pip runs as a child that an interrupt ends (checkout_child).
download_pinned_wheel() {  # DIR SHA256 [PIP_OPTION...] NAME==VERSION
  local dir=$1 sha256=$2 kept=${GPU_MEASUREMENTS_WHEELS:-} fresh wheel
  shift 2
  local options=("${@:1:$#-1}") pip
  pinned_wheel_path=""
  mkdir -p "$dir" && echo "${*: -1} --hash=sha256:$sha256" >"$dir/requirements.txt" &&
    fresh=$(mktemp -d "$dir/download.XXXXXX") && mkdir "$fresh/tmp" && : >"$dir/pip.log" || return 1
  pip=(env TMPDIR="$fresh/tmp" python3 -m pip download --quiet --require-hashes --no-deps --only-binary=:all:
    -d "$fresh" "${options[@]}" -r "$dir/requirements.txt")
  if [ -n "$kept" ] && [ -d "$kept/$sha256" ] &&
    checkout_child "$dir/pip.log" "${pip[@]}" --no-index --find-links "$kept/$sha256"; then
    kept=""  # taken from there
  elif ! : >"$dir/pip.log" || ! checkout_child "$dir/pip.log" "${pip[@]}"; then
    rm -rf "$fresh"
    grep -q 'DO NOT MATCH THE HASHES' "$dir/pip.log" 2>/dev/null && return 2
    return 1
  fi
  wheel=$(ls "$fresh"/*.whl) && mv "$wheel" "$dir/" && rm -rf "$fresh" || { rm -rf "$fresh"; return 1; }
  pinned_wheel_path=$dir/$(basename "$wheel")
  if [ -n "$kept" ] && mkdir -p "$kept/$sha256" 2>/dev/null; then
    cp "$pinned_wheel_path" "$kept/$sha256/" 2>/dev/null || true
  fi
  echo "$pinned_wheel_path"
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

# Whether the folder DIR was brought whole: the marker in it is the last thing a bring writes.
wheels_brought() { [ -f "$1/.brought" ]; }

# Brings the pinned wheels WHEEL... (NAME==VERSION each) for this machine, unpacked together, into
# DIR, unless DIR was brought already. One run at a time brings DIR (the lock DIR.lock; NAME, as
# "CMake 3.31.10", names it in the note of a run that waits), and it looks again once it holds the
# lock. It stages in a folder of its own beside DIR (DIR.new.*, pip's temporary files included),
# where the function FINISH, given that folder, may make its last changes; then it writes the
# marker and moves the folder to DIR. So a half copy is never taken, and an interrupt or a failure
# leaves nothing behind. On failure prints one line that says why (a full disk, pip's reason, the
# pinned and the offered hash) and what to run again, keeps pip's log in DIR.pip.log where the
# download failed, and returns 1.
bring_wheels() {  # [--name NAME] [--then FINISH] DIR WHEEL...
  local name="" finish="" dir wanted hash stage log status=0 line=""
  while :; do
    case $1 in
    --name) name=$2 ;;
    --then) finish=$2 ;;
    *) break ;;
    esac
    shift 2
  done
  dir=$1
  shift
  name=${name:-$*}
  ! wheels_brought "$dir" || return 0
  command -v python3 >/dev/null 2>&1 && python3 -m pip --version >/dev/null 2>&1 || {
    echo "$checkout_me: $* must be downloaded and pip is missing; install it with: sudo apt-get install python3-pip" >&2
    return 1
  }
  checkout_lock bring "$dir.lock" "bringing $name" || return 1
  if wheels_brought "$dir"; then  # by the run this one waited for
    checkout_unlock bring
    return 0
  fi
  rm -rf "$dir".new.*  # what a killed run left: none stages here but the lock's holder
  if ! stage=$(mktemp -d "$dir.new.XXXXXX" 2>/dev/null); then
    checkout_cannot_write "$(dirname "$dir")"
    checkout_unlock bring
    return 1
  fi
  checkout_staging=$stage checkout_doing="bringing $name into $(dirname "$dir")"
  checkout_on_signal='rm -rf "$checkout_staging"'
  for wanted; do
    hash=$(pinned_wheel_hash "$wanted")
    if [ -z "$hash" ]; then
      line="no pinned $wanted wheel for $(uname -m); install ${wanted%%==*} yourself"
      break
    fi
    download_pinned_wheel "$stage" "$hash" "$wanted" >/dev/null || status=$?
    if [ "$status" -eq 0 ]; then
      checkout_child "$stage/unpack.log" python3 -m zipfile -e "$pinned_wheel_path" "$stage/unpacked" &&
        rm -f "$pinned_wheel_path" && cat "$stage/requirements.txt" >>"$stage/pins" || status=3
    fi
    [ "$status" -ne 0 ] || continue
    log=$stage/pip.log
    [ "$status" -ne 3 ] || log=$stage/unpack.log
    if checkout_no_space "$stage" "$log"; then
      line="no space left on device in $(dirname "$dir") (bringing $name); free some and run $0 again"
    elif [ "$status" -eq 1 ]; then
      cp "$stage/pip.log" "$dir.pip.log" 2>/dev/null
      line="cannot download $wanted from PyPI: $(pip_failure_cause "$stage/pip.log") (pip's log: $dir.pip.log); once that is mended, run $0 again"
    elif [ "$status" -eq 2 ]; then
      line="the $wanted wheel from PyPI is not the pinned one (it has sha256 $(sed -n 's/^ *Got *//p' "$stage/pip.log" | head -n 1), pinned $hash); run $0 again, and if it persists, the index or a proxy serves another file"
    else
      line="cannot unpack $wanted: $(tail -n 1 "$stage/unpack.log" 2>/dev/null)"
    fi
    break
  done
  if [ -z "$line" ] && ! { { [ -z "$finish" ] || "$finish" "$stage/unpacked"; } &&
    mv "$stage/pins" "$stage/unpacked/.brought" && rm -rf "$dir" && mv "$stage/unpacked" "$dir"; }; then
    line="cannot finish $dir"
    checkout_no_space "$stage" && line="no space left on device in $(dirname "$dir") (bringing $name); free some and run $0 again"
  fi
  [ -n "$line" ] || rm -f "$dir.pip.log"
  rm -rf "$stage"
  checkout_on_signal="" checkout_doing=""
  checkout_unlock bring
  [ -z "$line" ] || { echo "$checkout_me: $line" >&2; return 1; }
}
