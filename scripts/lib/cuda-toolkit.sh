# Sourced by the scripts: chooses the CUDA toolkit a build uses, and brings CUDA 13.0 from its
# pinned PyPI wheels where none on the machine fits.
#
#   cuda_toolkit_plan ROOT MODE  decides, and brings nothing. ROOT is the checkout; MODE is host
#                                (the host execution layer's build: the runtime's headers and
#                                CCCL, no nvcc) or cuda (nvcc). Returns 1 when nothing fits.
#   cuda_toolkit_report [would]  the plan's notes on stderr, or the one line that says why
#                                nothing fits and what to install.
#   cuda_toolkit_bring           brings what the plan needs into ROOT/.tools, chooses the host
#                                compiler for nvcc, and sets the array cuda_cmake_args, the
#                                configure options that name the choice. Returns 1 (with one
#                                line) where nvcc accepts no host compiler here.
#
# A toolkit the user names is the one taken: CUDACXX (an nvcc, as CMake reads it), else
# CUDA_HOME, else CUDA_PATH (folders). Where it does not fit, nothing else is taken: the plan
# fails with the reason. Otherwise the candidates are every nvcc on PATH, the folders
# CUDA_TOOLKIT_DIRS names (/usr/local/cuda and /usr/local/cuda-* unless set), and what an earlier
# run brought into .tools. Each is judged on its own and the newest that fits is taken, so none
# is taken merely because it comes first; of equal versions, the one the build was configured
# with stays. A toolkit fits the cuda build when it is CUDA 12.0 or newer, its nvcc runs, it can
# build machine code for every GPU the driver reports (its oldest and newest architectures), and
# the driver supports its major CUDA version: a 12.8 build runs on a driver for 12.4 from its
# machine code (minor-version compatibility), which a note says. Where the driver reports no GPU,
# only the first two apply. It fits the host build when it has the runtime's headers, CUDA 12.0
# or newer. A 12.x toolkit whose CCCL is older than 2.7 builds with CCCL 2.7.0 from its wheel.
# The host compiler nvcc will use is part of the fit (scripts/lib/host-compiler.sh), judged
# once the toolkit is there, before anything is built.
#
# Where none fits, CUDA 13.0 is brought: for the host build its headers and CCCL (3 wheels,
# 5.5 MB), for the cuda build the compiler too (5 wheels, 105 MB), provided every GPU has compute
# capability 7.5 or newer and the driver supports CUDA 13.0 (R580 or newer).

source "$(dirname "${BASH_SOURCE[0]}")/wheels.sh"
source "$(dirname "${BASH_SOURCE[0]}")/host-compiler.sh"

cuda_brought=13.0
cuda_wheels_host="nvidia-cuda-crt==13.0.88 nvidia-cuda-runtime==13.0.96 nvidia-cuda-cccl==13.0.85"
cuda_wheels_cuda="nvidia-cuda-nvcc==13.0.88 nvidia-nvvm==13.0.88 $cuda_wheels_host"
cuda_cccl_wheel=nvidia-cuda-cccl-cu12==12.8.90  # CCCL 2.7.0

# "12.4" for the CUDA version number 12040 (as the driver and the runtime's header give it).
cuda_version_name() { echo "$(($1 / 1000)).$(($1 % 1000 / 10))"; }
# 12040 for "12.4" or "12.4.131".
cuda_version_number() {
  local major=${1%%.*} rest=${1#*.}
  echo $((major * 1000 + ${rest%%.*} * 10))
}
# Whether version NEW ("13.0.88") is newer than OLD; any version is newer than none.
cuda_newer() {  # OLD NEW
  [ -z "$1" ] || [ "$(printf '%s\n' "$1" "$2" | sort -V | tail -n 1)" != "$1" ]
}
# "6.1" for the compute capability 61.
cuda_capability_name() { echo "${1:0:${#1}-1}.${1: -1}"; }

# Where the wheels' toolkit lives once brought, for MODE.
cuda_brought_dir() {  # ROOT MODE
  local dir=$1/.tools/cuda-$cuda_brought
  [ "$2" = cuda ] || dir=$dir-host
  echo "$dir"
}

# The folder of CCCL 2.7.0's CMake package, once brought.
cuda_cccl_dir() { echo "$1/.tools/cccl-2.7.0/nvidia/cuda_cccl/lib/cmake/cccl"; }

# The toolkit the user names, as "VARIABLE VALUE"; nothing if none is named.
cuda_named() {
  local variable
  for variable in CUDACXX CUDA_HOME CUDA_PATH; do
    [ -z "${!variable:-}" ] || { echo "$variable ${!variable}"; return; }
  done
}

# The toolkit build/MODE was configured with (its nvcc, or its folder for the host build).
cuda_configured() {  # ROOT MODE
  local variable=CMAKE_CUDA_COMPILER
  [ "$2" = cuda ] || variable=CUDAToolkit_ROOT
  sed -n "s/^$variable:[A-Z]*=//p" "$1/build/$2/CMakeCache.txt" 2>/dev/null | grep -v NOTFOUND | head -n 1 || true
}

# Every candidate, as a folder or as the path of an nvcc, in the order found: the one the build
# was configured with first, so that of equal versions it stays.
cuda_candidates() {  # ROOT MODE
  local dir
  cuda_configured "$1" "$2"
  local IFS=:
  for dir in $PATH; do
    [ ! -x "$dir/nvcc" ] || echo "$dir/nvcc"
  done
  IFS=$' \t\n'
  for dir in ${CUDA_TOOLKIT_DIRS-/usr/local/cuda /usr/local/cuda-*}; do
    [ ! -d "$dir" ] || echo "$dir"
  done
  # What an earlier run brought: the whole toolkit serves either build, its headers only the
  # host's. The host build takes these first, so that it stays on what it was built with.
  for dir in "$(cuda_brought_dir "$1" "$2")" "$(cuda_brought_dir "$1" cuda)"; do
    ! wheels_brought "$dir" || echo "$dir/nvidia/cu13"
  done
}

# Reads one candidate into the c_* variables: its folder, nvcc, version, headers, CCCL (as
# THRUST_VERSION, 0 if none), oldest and newest architectures, and c_problem if its nvcc does not
# run.
cuda_inspect() {  # FOLDER_OR_NVCC
  c_root="" c_nvcc="" c_version="" c_include="" c_cccl=0 c_oldest="" c_newest="" c_problem=""
  if [ -d "$1" ]; then
    c_root=$1
    [ ! -x "$1/bin/nvcc" ] || c_nvcc=$1/bin/nvcc
  else
    c_nvcc=$1
  fi
  if [ -n "$c_nvcc" ]; then
    local here
    c_version=$(timeout 60 "$c_nvcc" --version 2>/dev/null | sed -n 's/.*release [0-9.]*, V\([0-9.]*\).*/\1/p')
    # nvcc names its own folder: a wrapper script (as /usr/local/bin/nvcc may be) does not.
    here=$(timeout 60 "$c_nvcc" --dryrun -c -x cu /dev/null -o /dev/null 2>&1 | sed -n 's/^#\$ _HERE_=//p' | head -n 1)
    if [ -z "$c_version" ] || [ -z "$here" ]; then
      c_problem="its nvcc ($c_nvcc) does not run"
    else
      [ -n "$c_root" ] || c_root=$(dirname "$here")
      local architectures
      architectures=$(timeout 60 "$c_nvcc" --list-gpu-arch 2>/dev/null | grep -oE '[0-9]+$' | sort -n)
      c_oldest=$(head -n 1 <<<"$architectures") c_newest=$(tail -n 1 <<<"$architectures")
    fi
  fi
  [ -n "$c_root" ] || return 1
  c_root=$(cd "$c_root" && pwd -P) || return 1
  local dir extra=""
  # Debian's and Ubuntu's own toolkit keeps its headers in /usr/include.
  [ "$c_root" != /usr/lib/nvidia-cuda-toolkit ] || extra=/usr/include
  for dir in "$c_root/include" "$c_root"/targets/*/include $extra; do
    if [ -f "$dir/cuda_runtime_api.h" ]; then
      c_include=$dir
      break
    fi
  done
  if [ -n "$c_include" ]; then
    [ -n "$c_version" ] || c_version=$(cuda_version_name "$(sed -n 's/^#define CUDART_VERSION *\([0-9]*\).*/\1/p' \
      "$c_include/cuda_runtime_api.h")")
    for dir in "$c_include" "$c_include/cccl"; do
      if [ -f "$dir/thrust/version.h" ]; then
        c_cccl=$(sed -n 's/^#define THRUST_VERSION *\([0-9]*\).*/\1/p' "$dir/thrust/version.h")
        c_cccl=${c_cccl:-0}
        break
      fi
    done
  fi
  [ -n "$c_version" ]
}

# Why the inspected candidate does not fit MODE, or nothing if it does. GPUS (compute
# capabilities) and DRIVER (the CUDA version number the driver supports) may be empty.
cuda_misfit() {  # MODE GPUS DRIVER
  local number gpu
  number=$(cuda_version_number "$c_version")
  if [ "$number" -lt 12000 ]; then
    echo "CUDA $c_version is older than 12.0"
  elif [ "$1" = host ] && [ -z "$c_include" ]; then
    echo "it has no CUDA runtime headers"
  elif [ "$1" = cuda ] && [ -z "$c_nvcc" ]; then
    echo "it has no nvcc"
  elif [ "$1" = cuda ] && [ -n "$c_problem" ]; then
    echo "$c_problem"
  elif [ "$number" -ge 13000 ] && [ "$c_cccl" -lt 300000 ]; then
    echo "it has no CCCL 3"
  else
    [ "$1" = cuda ] || return 0
    for gpu in $2; do
      if [ -n "$c_oldest" ] && [ "$gpu" -lt "$c_oldest" ]; then
        echo "cannot target compute capability $(cuda_capability_name "$gpu")"
        return
      elif [ -n "$c_newest" ] && [ "$gpu" -gt "$c_newest" ]; then
        echo "cannot build machine code for compute capability $(cuda_capability_name "$gpu") (its newest is $(cuda_capability_name "$c_newest"))"
        return
      fi
    done
    # Within one major version the driver runs what a newer minor version built, from its
    # machine code; across major versions it cannot.
    if [ -n "$2" ] && [ -n "$3" ] && [ $(($3 / 1000)) -lt $((number / 1000)) ]; then
      echo "the driver supports CUDA $(cuda_version_name "$3") only"
    fi
  fi
}

# The one line that says why CUDA 13.0 cannot be brought either, and what to install.
cuda_nothing_fits() {  # GPUS DRIVER
  local gpu lowest="" driver=$2 line
  for gpu in $1; do
    [ -n "$lowest" ] && [ "$gpu" -ge "$lowest" ] || lowest=$gpu
  done
  if [ -n "$lowest" ] && [ "$lowest" -lt 75 ]; then
    line="the GPU has compute capability $(cuda_capability_name "$lowest"), which CUDA 13 cannot build for"
    if [ -z "$driver" ] || [ "$driver" -ge 12080 ]; then
      line+=": install a CUDA 12 toolkit (12.8 is what the programs are written for)"
    elif [ "$driver" -ge 12000 ]; then
      line+=": install a CUDA 12 toolkit no newer than CUDA $(cuda_version_name "$driver"), which the driver supports, or update the driver"
    else
      line+=", and the driver supports CUDA $(cuda_version_name "$driver") only: update the driver and install a CUDA 12 toolkit (12.8 is what the programs are written for)"
    fi
  elif [ "$driver" -ge 12000 ]; then
    line="the driver supports CUDA $(cuda_version_name "$driver"), and CUDA 13 needs driver 580 or newer: update the driver, or install a CUDA $(cuda_version_name "$driver") toolkit"
  else
    line="the driver supports CUDA $(cuda_version_name "$driver"), and the programs need CUDA 12.0 or newer (CUDA 13 needs driver 580 or newer): update the driver"
  fi
  echo "$line"
}

# Takes the inspected candidate into the plan: its folder, nvcc, version, and whether it needs
# CCCL 2.7.0 (a 12.x toolkit without CCCL 2.7 or newer).
cuda_take() {
  cuda_plan_root=$c_root cuda_plan_nvcc="" cuda_plan_version=$c_version cuda_plan_cccl=""
  [ "$cuda_plan_mode" = host ] || cuda_plan_nvcc=$c_nvcc
  if [ "$c_cccl" -eq 0 ]; then
    cuda_plan_cccl="it has no CCCL"
  elif [ "$c_cccl" -lt 200700 ]; then
    cuda_plan_cccl="its CCCL $((c_cccl / 100000)).$((c_cccl / 100 % 1000)).$((c_cccl % 100)) is older than 2.7"
  fi
}

# The note for a toolkit of a newer minor version than the driver supports, which runs from the
# machine code built for each GPU here.
cuda_minor_version_note() {  # DRIVER
  [ -n "$1" ] && [ "$1" -lt "$(cuda_version_number "$cuda_plan_version")" ] || return 0
  cuda_plan_notes+=("the driver supports CUDA $(cuda_version_name "$1"), older than CUDA $cuda_plan_version: the programs run on it from the machine code built for each GPU here (minor-version compatibility); its PTX, for newer GPUs, would need a newer driver")
}

cuda_toolkit_plan() {  # ROOT MODE
  local root=$1 mode=$2 answer gpus driver candidate best_version="" misfit status=0 named
  local -A seen=()
  local passed=()
  cuda_plan_notes=() cuda_plan_error="" cuda_plan_wheels="" cuda_plan_cccl="" cuda_plan_brings=""
  cuda_plan_mode=$mode cuda_plan_root="" cuda_plan_nvcc="" cuda_plan_version=""
  cuda_plan_checkout=$root
  gpus="" driver=""
  if [ "$mode" = cuda ]; then
    answer=$("$root/scripts/find-gpu" --describe 2>/dev/null) || status=$?
    if [ "$status" -eq 3 ]; then  # a driver that fails: nothing can be judged against it
      cuda_plan_error=$answer
      return 1
    elif [ "$status" -eq 0 ]; then
      gpus=$(awk '$1 == "gpu" { print $2 }' <<<"$answer" | paste -sd ' ')
      driver=$(awk '$1 == "driver" { print $2 }' <<<"$answer")
      [ -n "$driver" ] || cuda_plan_notes+=("the driver does not say which CUDA version it supports; assuming it supports the toolkit")
    fi
  fi

  # The user's own choice: taken if it fits, and nothing else if it does not.
  named=$(cuda_named)
  if [ -n "$named" ]; then
    local variable=${named%% *} value=${named#* }
    if ! cuda_inspect "$value"; then
      cuda_plan_error="$variable names $value, which is not a CUDA toolkit that runs here: name one (an nvcc for CUDACXX, a folder for CUDA_HOME and CUDA_PATH), or unset $variable to let the scripts choose"
      return 1
    fi
    misfit=$(cuda_misfit "$mode" "$gpus" "$driver")
    if [ -n "$misfit" ]; then
      cuda_plan_error="$variable names CUDA $c_version in $c_root, which does not fit the $mode build: $misfit; name another toolkit, or unset $variable to let the scripts choose"
      return 1
    fi
    cuda_take
    cuda_plan_notes+=("taking the toolkit $variable names")
    [ "$mode" = host ] || cuda_minor_version_note "$driver"
    [ -z "$cuda_plan_cccl" ] || [ -d "$(cuda_cccl_dir "$root")" ] || cuda_plan_wheels=$cuda_cccl_wheel
    return 0
  fi

  while read -r candidate; do
    cuda_inspect "$candidate" || continue
    [ -z "${seen[$c_root]:-}" ] || continue
    seen[$c_root]=1
    misfit=$(cuda_misfit "$mode" "$gpus" "$driver")
    if [ -n "$misfit" ]; then
      passed+=("$c_version $c_root ($c_version): $misfit")
    elif cuda_newer "$best_version" "$c_version"; then
      best_version=$c_version
      cuda_take
    fi
  done < <(cuda_candidates "$root" "$mode")
  [ "$mode" = host ] || [ -z "$best_version" ] || cuda_minor_version_note "$driver"

  local entry passed_over=""
  for entry in "${passed[@]}"; do
    # Only those newer than the one taken are worth a note.
    if cuda_newer "$best_version" "${entry%% *}"; then
      cuda_plan_notes+=("passed over ${entry#* }")
    fi
    passed_over+="${passed_over:+; }${entry#* }"
  done
  [ -z "$cuda_plan_cccl" ] || [ -d "$(cuda_cccl_dir "$root")" ] || cuda_plan_wheels=$cuda_cccl_wheel
  [ -z "$best_version" ] || return 0

  # Nothing here fits: CUDA 13.0 from its wheels, where it can build for and run on this machine.
  local gpu fits=1
  for gpu in $gpus; do
    [ "$gpu" -ge 75 ] || fits=0
  done
  [ "$mode" != cuda ] || [ -z "$gpus" ] || [ -z "$driver" ] || [ "$driver" -ge 13000 ] || fits=0
  if [ "$fits" -eq 0 ]; then
    cuda_plan_error=$(cuda_nothing_fits "$gpus" "$driver")
    [ -z "$passed_over" ] || cuda_plan_error+=" (found and passed over: $passed_over)"
    return 1
  fi
  cuda_plan_root=$(cuda_brought_dir "$root" "$mode")/nvidia/cu13
  cuda_plan_version=$cuda_brought
  [ "$mode" = host ] || cuda_plan_nvcc=$cuda_plan_root/bin/nvcc
  cuda_plan_brings="CUDA $cuda_brought's headers and CCCL (3 wheels, 5.5 MB)"
  cuda_plan_wheels=$cuda_wheels_host
  if [ "$mode" = cuda ]; then
    cuda_plan_brings="CUDA $cuda_brought (5 wheels, 105 MB)"
    cuda_plan_wheels=$cuda_wheels_cuda
  fi
  if [ -n "$passed_over" ]; then
    cuda_plan_notes+=("no CUDA toolkit here fits the $mode build (found and passed over: $passed_over)")
  else
    cuda_plan_notes+=("no CUDA toolkit is installed")
  fi
}

cuda_toolkit_report() {  # [would]: for a plan that is told and not carried out (find-cuda)
  local note bring=bringing
  [ "${1:-}" != would ] || bring="would bring"
  if [ -n "$cuda_plan_error" ]; then
    echo "$(basename "$0"): $cuda_plan_error" >&2
    return
  fi
  for note in "${cuda_plan_notes[@]}"; do
    echo "note: $note" >&2
  done
  if [ -n "$cuda_plan_brings" ]; then
    echo "note: $bring $cuda_plan_brings from PyPI into ${cuda_plan_root%/nvidia/cu13}" >&2
  else
    echo "note: CUDA $cuda_plan_version in $cuda_plan_root${cuda_plan_nvcc:+ (nvcc: $cuda_plan_nvcc)}" >&2
  fi
  if [ -n "$cuda_plan_cccl" ]; then
    local how="using CCCL 2.7.0 from"
    [ -z "$cuda_plan_wheels" ] || how="$bring CCCL 2.7.0 from PyPI into"
    echo "note: $cuda_plan_cccl; $how $cuda_plan_checkout/.tools/cccl-2.7.0" >&2
  fi
}

# Links the wheels' tree, unpacked in DIR, needs: nvcc's profile looks for headers and libraries
# under targets/<machine>-linux/, and CMake's CUDA toolkit search for lib/libcudart.so. The links
# are relative, so DIR may move.
cuda_link_wheels() {  # DIR
  local tree=$1/nvidia/cu13 targets=targets/x86_64-linux
  [ "$(uname -m)" != aarch64 ] || targets=targets/sbsa-linux
  mkdir -p "$tree/$targets" &&
    ln -sfn ../../include "$tree/$targets/include" &&
    ln -sfn ../../lib "$tree/$targets/lib" &&
    ln -sfn libcudart.so.13 "$tree/lib/libcudart.so" &&
    { [ ! -d "$tree/bin" ] || chmod +x "$tree"/bin/* "$tree"/nvvm/bin/*; }
}

cuda_toolkit_bring() {
  local root=$cuda_plan_checkout dir name
  cuda_cmake_args=()
  if [ -n "$cuda_plan_brings" ]; then
    dir=${cuda_plan_root%/nvidia/cu13}
    name="CUDA $cuda_brought"
    [ "$cuda_plan_mode" = cuda ] || name+="'s headers"
    # shellcheck disable=SC2086 # the list of wheels
    bring_wheels --name "$name" --then cuda_link_wheels "$dir" $cuda_plan_wheels || return 1
  fi
  if [ -n "$cuda_plan_cccl" ]; then
    dir=$(cuda_cccl_dir "$root")
    bring_wheels --name "CCCL 2.7.0" "$root/.tools/cccl-2.7.0" "$cuda_cccl_wheel" || return 1
    cuda_cmake_args+=("-DCCCL_DIR=$dir")
  fi
  if [ "$cuda_plan_mode" = cuda ]; then
    cuda_cmake_args+=("-DCMAKE_CUDA_COMPILER=$cuda_plan_nvcc")
    host_compiler_choose "$root" "$cuda_plan_nvcc" "$cuda_plan_version" || return 1
    [ -z "$host_compiler" ] || cuda_cmake_args+=("-DCMAKE_CUDA_HOST_COMPILER=$host_compiler")
  else
    cuda_cmake_args+=("-DCUDAToolkit_ROOT=$cuda_plan_root")
  fi
}

# --fresh when the build in DIR holds another value than one of the cache ARGUMENTs (-DNAME=VALUE)
# that this configure passes, as after a change of toolkit or CCCL: what an earlier configure
# found stays in its cache otherwise.
cuda_fresh_option() {  # DIR ARGUMENT...
  local cache=$1/CMakeCache.txt argument name value
  shift
  [ -f "$cache" ] || return 0
  for argument; do
    name=${argument#-D} value=${name#*=} name=${name%%=*}
    if ! grep -qxF -e "$name:FILEPATH=$value" -e "$name:PATH=$value" -e "$name:UNINITIALIZED=$value" \
      -e "$name:STRING=$value" -e "$name:BOOL=$value" "$cache"; then
      echo --fresh
      return
    fi
  done
}
