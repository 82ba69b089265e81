#!/usr/bin/env bash
# The README's two commands on a fresh Linux machine with no CUDA toolkit and the oldest
# toolchain we claim: a minimal Debian 11 root (GCC 10, CMake 3.18, GoogleTest 1.10, Python 3.9,
# glibc 2.31), made with debootstrap, that holds git and nothing from NVIDIA. In a fresh clone:
#   1. as a user without root or sudo, scripts/run stops with one line that names the packages
#      it needs, and root installs just those;
#   2. offline, the user's scripts/run says why its download failed;
#   3. interrupted while pip downloads, the user's scripts/run leaves nothing behind: no staging
#      folder, no temporary file, no process;
#   4. two scripts/run of the user's, started together, each print vecmat's 8 lines and gputune's
#      17, on the host execution layer, one waiting while the other brings CMake, Ninja and CUDA
#      13.0's headers from PyPI;
#   5. with a compile error planted, scripts/run shows the compiler's error line;
#   6. as root, scripts/test passes, both presets, with CUDA 13.0 brought from PyPI;
#   7. as the user, configuring with CMake 4.4.5 warns of nothing, as with the CMake of steps 4
#      and 6 (and so root's run left the user's build/ and .tools/ to the user);
#   8. root's scripts/run brings CMake into the user's clone; the user's run after it succeeds,
#      and the user can remove build/ and .tools/.
# The root is made once and kept in the cache folder until its recipe changes; each run works on
# an overlay of it, so each run installs its packages afresh (their .deb files are kept). The
# wheels downloaded are kept there too (GPU_MEASUREMENTS_WHEELS): they are fetched once per
# machine, and their hashes still decide.
#
# --here makes the same runs on this machine instead, in a mount namespace that hides its CUDA
# toolkit: quicker, for the developer loop. This machine has the packages already, so step 1 is
# left out.
#
# Needs root, and the Debian archive and PyPI. GPU_MEASUREMENTS_CACHE moves the cache folder
# (/var/cache/gpu_measurements); KEEP_WORK=1 keeps the run's files.
set -euo pipefail
checkout=$(cd "$(dirname "$0")/.." && pwd)
source "$checkout/scripts/lib/debian-root.sh"
here=0
[ "${1:-}" != --here ] || here=1
user=gpu-measurements-user
cache=${GPU_MEASUREMENTS_CACHE:-/var/cache/gpu_measurements}
debian_root_cache=$cache
base=$cache/debian11-root
wheels=$cache/wheels
newest_cmake=4.4.5  # configuring with it must not warn either
recipe="debootstrap --variant=minbase bullseye
apt-get install --no-install-recommends git ca-certificates
the host's extra CA certificates, a user $user"

fail() { echo "fresh_machine: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (it makes a Debian root, and runs as another user)"

if [ "$here" -eq 1 ] && [ -z "${FRESH_MACHINE_HIDDEN:-}" ]; then
  # Again, in a mount namespace of its own in which this machine's CUDA toolkit is hidden.
  exec unshare -m --propagation private env FRESH_MACHINE_HIDDEN=1 "$0" "$@"
fi

mkdir -p "$cache" "$wheels" "$cache/debian11-apt"
chmod 1777 "$wheels"  # the user's runs keep what they download too
exec 9>"$cache/lock"
flock 9  # one check at a time on this machine: the roots and their mounts are shared
work=$(mktemp -d "$cache/fresh-machine.XXXXXX")
chmod 755 "$work"
log=$work/log
cleanup() {
  debian_root_unmount_all
  [ -n "${KEEP_WORK:-}" ] || rm -rf --one-file-system "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
debian_root_unmount_all
failures=0
check() {  # WHAT COMMAND...
  if "${@:2}"; then echo "ok: $1"; else echo "FAILED: $1"; failures=$((failures + 1)); fi
}
step() { printf '== %s\n' "$*"; }

make_base() {
  local new=$base.new
  step "making the Debian 11 root in $base (once)"
  debian_root_make "$new" bullseye main "$log" || fail "cannot make the root (log: $log)"
  debian_root_mount "$new"
  { in_root "$new" apt-get update && in_root "$new" apt-get install -y --no-install-recommends git ca-certificates &&
    cp /usr/local/share/ca-certificates/*.crt "$new/usr/local/share/ca-certificates/" 2>/dev/null;
    in_root "$new" update-ca-certificates && in_root "$new" useradd --create-home --shell /bin/bash "$user" &&
    in_root "$new" apt-get clean; } >>"$log" 2>&1 || { tail -n 20 "$log" >&2; fail "cannot set up the root"; }
  debian_root_unmount_all
  printf '%s\n' "$recipe" >"$new/etc/gpu_measurements-recipe"
  debian_root_remove "$base"
  mv "$new" "$base"
}

# The machine: an overlay of the Debian 11 root with the checkout, the kept wheels and .deb
# files bound in; or, with --here, this machine with its CUDA toolkit hidden.
if [ "$here" -eq 1 ]; then
  for dir in /usr/local/cuda-*; do
    [ ! -d "$dir" ] || mount -t tmpfs -o size=1m none "$dir"
  done
  [ ! -e /usr/local/bin/nvcc ] || mount --bind /dev/null /usr/local/bin/nvcc
  id "$user" >/dev/null 2>&1 || useradd --system --create-home --home-dir "$work/home" --shell /usr/sbin/nologin "$user"
  home=$work/home
  mkdir -p "$home" && chown "$user" "$home"
  machine=""
  git clone -q "$checkout" "$home/checkout"
  chown -R "$user" "$home/checkout"
else
  [ "$(cat "$base/etc/gpu_measurements-recipe" 2>/dev/null)" = "$recipe" ] || make_base
  step "a fresh overlay of $base"
  machine=$work/root
  mkdir -p "$machine" "$work/upper" "$work/overlay"
  mount -t overlay overlay -o "lowerdir=$base,upperdir=$work/upper,workdir=$work/overlay" "$machine"
  debian_root_mount "$machine"
  debian_root_bind "$machine" "$checkout" /src
  debian_root_bind "$machine" "$wheels" "$wheels"
  debian_root_bind "$machine" "$cache/debian11-apt" /var/cache/apt/archives
  home=/home/$user
  in_root "$machine" runuser -u "$user" -- git clone -q /src "$home/checkout"
fi

# COMMAND... in the clone, as root or as the user (no root, no sudo), with stdin closed and
# the environment of a login; WHO is root or user; NET is net or offline.
on_machine() {  # WHO NET COMMAND...
  local who=$1 net=() environment
  [ "$2" = net ] || net=(unshare -n)
  shift 2
  environment=(env -i HOME="$home" LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin)
  [ "$who" = root ] || environment=(runuser -u "$user" -- "${environment[@]}")
  if [ -n "$machine" ]; then
    "${net[@]}" chroot "$machine" "${environment[@]}" "$@" </dev/null
  else
    "${net[@]}" "${environment[@]}" "$@" </dev/null
  fi
}
# SCRIPT in the clone, as WHO, online or not, with the wheels kept in WHEELS (none if empty);
# stdout goes to $work/out, stderr to $work/err.
run_in_clone() {  # WHO NET SCRIPT [WHEELS]
  local started status=0
  started=$(date +%s)
  on_machine "$1" "$2" env GPU_MEASUREMENTS_WHEELS="${4:-}" bash -c 'cd "$1" && exec "$2"' _ "$home/checkout" "$3" \
    >"$work/out" 2>"$work/err" || status=$?
  echo "   $(($(date +%s) - started)) s, exit status $status"
  return $status
}
errors() { grep -v '^note: ' "$work/err"; }
no_cmake_warning() { [ -f "$1" ] && ! grep -qE '^CMake (Deprecation )?Warning' "$1"; }
one_error_line() { [ "$(errors | wc -l)" -eq 1 ]; }
show_err() { echo "--- stderr:"; tail -n 30 "$work/err"; }

if [ "$here" -eq 0 ]; then
  step "1. scripts/run as $user"
  status=0
  run_in_clone user net scripts/run || status=$?
  missing=$(sed -n 's/^install-deps: missing \(.*\); install .*/\1/p' "$work/err")
  check "it stops with exit status 1" [ "$status" -eq 1 ]
  check "with one line that names what to install" [ -n "$missing" ]
  check "and no other" one_error_line
  echo "   root installs: $missing"
  # shellcheck disable=SC2086 # the packages named
  on_machine root net bash -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing" >>"$log" 2>&1 ||
    { tail -n 20 "$log"; fail "cannot install $missing"; }
fi

step "2. scripts/run as $user, offline"
status=0
run_in_clone user offline scripts/run || status=$?  # and no wheels kept: they must be downloaded
check "it stops with exit status 1" [ "$status" -eq 1 ]
check "with one line that names what it could not download, and why" \
  grep -qE "^run: cannot download [^ ]+ from PyPI: .*(Errno|resolution|unreachable)" "$work/err"
check "not that no distribution matches" eval '! grep -q "No matching distribution" "$work/err"'
[ "$failures" -eq 0 ] || show_err

step "3. scripts/run as $user, interrupted while pip downloads"
# In a process group of its own (job control), so that the signal can be caught as at a terminal.
touch "$machine$home/.started"
set -m
on_machine user net bash -c 'cd "$1" && exec scripts/run' _ "$home/checkout" >"$work/out" 2>"$work/err" &
interrupted=$!
set +m
for _ in $(seq 600); do
  compgen -G "$machine$home/checkout/.tools/*.new.*/download.*" >/dev/null && break
  sleep 0.1
done
sleep 0.2
kill -INT -- "-$interrupted"  # as Ctrl-C does (runuser passes it on as SIGTERM)
status=0
wait "$interrupted" || status=$?
left=$(on_machine root net find /tmp "$home/checkout/.tools" -mindepth 1 -user "$user" -newer "$home/.started" \
  \( -name '*.new*' -o -path '/tmp/*' \))
check "it stops with exit status 130 or 143" eval '[ "$status" -eq 130 ] || [ "$status" -eq 143 ]'
check "with one line that says it was interrupted while bringing" grep -qxE 'run: interrupted \(SIG(INT|TERM)\) while bringing .*' "$work/err"
check "and leaves no staging folder or temporary file" [ -z "$left" ]
check "and no process" eval '! on_machine root net pgrep -u "$user" >/dev/null'
[ "$failures" -eq 0 ] || { show_err; echo "left: $left"; }

step "4. two scripts/run as $user, started together"
for run in 1 2; do
  on_machine user net env GPU_MEASUREMENTS_WHEELS="$wheels" bash -c 'cd "$1" && exec scripts/run' _ "$home/checkout" \
    >"$work/out$run" 2>"$work/err$run" &
done
statuses=""
for run in 1 2; do
  status=0
  wait -n || status=$?
  statuses+=" $status"
done
for run in 1 2; do
  out=$work/out$run
  check "run $run: it succeeds" [ "$statuses" = " 0 0" ]
  check "run $run: it printed vecmat's 8 lines, an empty one and gputune's 17" [ "$(wc -l <"$out")" -eq 26 ]
  check "run $run: vecmat's dot products" [ "$(grep -c '^Скалярное произведение (.*): 2.09715e+06$' "$out")" -eq 2 ]
  check "run $run: gputune's last line" grep -q '^Минимальное время выполнения: .* ms$' "$out"
done
cat "$work/err1" "$work/err2" >"$work/err"
check "both brought CUDA 13.0's headers" [ "$(grep -c "bringing CUDA 13.0's headers and CCCL" "$work/err")" -eq 2 ]
check "one waited for the other" grep -qE '^note: another run in this checkout is (bringing|building) .*; waiting$' "$work/err"
check "only notes on stderr" [ "$(errors | wc -l)" -eq 0 ]
check "configuring warned of nothing" no_cmake_warning "$machine$home/checkout/build/host.log"
[ "$failures" -eq 0 ] || show_err

step "5. scripts/run as $user, with a compile error planted"
on_machine user net bash -c "echo 'int planted_error(' >>'$home/checkout/gputune/gputune.cpp'"
status=0
run_in_clone user net scripts/run "$wheels" || status=$?
check "it stops with exit status 1" [ "$status" -eq 1 ]
check "it shows the compiler's error line" grep -qE 'gputune/gputune\.cpp:[0-9]+:[0-9]+: error: ' "$work/err"
[ "$status" -eq 1 ] || show_err
on_machine user net git -C "$home/checkout" checkout -q gputune/gputune.cpp

step "6. scripts/test as root"
status=0
run_in_clone root net scripts/test "$wheels" || status=$?
check "it passes" [ "$status" -eq 0 ]
check "both presets' tests ran" [ "$(grep -c '^100% tests passed' "$work/out")" -eq 2 ]
check "it brought CUDA 13.0" grep -q "bringing CUDA 13.0 (5 wheels" "$work/err"
check "configuring warned of nothing" no_cmake_warning "$work/out"
[ "$status" -eq 0 ] || { tail -n 30 "$work/out"; show_err; }

step "7. configure both presets with CMake $newest_cmake, as $user"
on_machine user net env GPU_MEASUREMENTS_WHEELS="$wheels" bash -c '
  cd "$1" && source scripts/lib/wheels.sh && bring_wheels .tools/cmake-$2 cmake==$2 && chmod +x .tools/cmake-$2/cmake/data/bin/*' \
  _ "$home/checkout" "$newest_cmake" >>"$log" 2>&1 || fail "cannot bring CMake $newest_cmake"
for preset in host cuda; do
  on_machine user net bash -c 'cd "$1" && source scripts/lib/build-tools.sh && use_build_tools "$PWD" &&
    toolkit=$(scripts/find-cuda "$3" 2>/dev/null) && option=-DCUDAToolkit_ROOT && { [ "$3" = host ] || option=-DCMAKE_CUDA_COMPILER; } &&
    PATH=$PWD/.tools/cmake-$2/cmake/data/bin:$PATH cmake --preset "$3" -B "build/cmake-$2-$3" "$option=$toolkit"' \
    _ "$home/checkout" "$newest_cmake" "$preset" >"$work/out" 2>&1 || { tail -n 20 "$work/out"; failures=$((failures + 1)); }
  check "$preset: no warning" no_cmake_warning "$work/out"
done

step "8. scripts/run as root in $user's clone, then as $user"
on_machine user net rm -rf "$home/checkout/.tools/cmake-3.31.10" "$home/checkout/build/host"
status=0
run_in_clone root net scripts/run "$wheels" || status=$?
check "root's run succeeds" [ "$status" -eq 0 ]
[ "$here" -eq 1 ] || check "it brought CMake again" grep -q 'bringing CMake 3\.31\.10 into' "$work/err"
check "nothing in build/ and .tools/ is root's" \
  [ -z "$(on_machine root net find "$home/checkout/build" "$home/checkout/.tools" -user root)" ]
[ "$status" -eq 0 ] || show_err
status=0
run_in_clone user net scripts/run "$wheels" || status=$?
check "the user's run after it succeeds" [ "$status" -eq 0 ]
check "and prints both reports" [ "$(wc -l <"$work/out")" -eq 26 ]
[ "$status" -eq 0 ] || show_err
check "the user can remove build/ and .tools/" on_machine user net rm -rf "$home/checkout/build" "$home/checkout/.tools"

where="Debian 11"
[ "$here" -eq 0 ] || where="this machine, its CUDA toolkit hidden"
echo "fresh machine ($where): $failures failed"
[ "$failures" -eq 0 ]
