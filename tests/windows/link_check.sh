#!/usr/bin/env bash
# Links a program against the Windows cudart_static.lib as the Windows build does (no definition
# of the driver hint of its own) and checks that the executable exports NvOptimusEnablementCuda
# exactly once, as data holding 1. Then checks that a second definition, as driver_hint.cpp
# would give, does not link, and that the library asks for the static C runtime (LIBCMT) that
# the build compiles for.
#
#   link_check.sh CUDA_LIB_DIR WORK_DIR
# Needs clang-cl and lld-link (Debian's clang-14 and lld-14) and llvm-readobj (llvm-14). The C runtime and the
# Windows import libraries are not at hand: their symbols are left unresolved (/force:unresolved),
# which does not change what the runtime's own objects define or export.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
lib_dir=$(cd "$1" && pwd) work=$2
if command -v clang-cl >/dev/null; then clang_cl=(clang-cl); else clang_cl=(clang-14 --driver-mode=cl); fi
lld_link=$(command -v lld-link || echo /usr/lib/llvm-14/bin/lld-link)
readobj=$(command -v llvm-readobj-14 || command -v llvm-readobj)
hint=NvOptimusEnablementCuda
failed=0
fail() { echo "$*" >&2; failed=1; }

rm -rf "$work"
mkdir -p "$work"
cd "$work"
# A program that calls the runtime, so that the linker pulls its objects in as the programs do.
cat >main.c <<'EOF'
int cudaGetDeviceCount(int* count);
int main(void) { int count = 0; return cudaGetDeviceCount(&count); }
EOF
cat >hint.c <<EOF
__declspec(dllexport) int $hint = 1;
EOF
for source in main hint; do
  "${clang_cl[@]}" --target=x86_64-pc-windows-msvc /nologo /MT /c "$source.c" "/Fo$source.obj"
done
link() {  # OUTPUT OBJECTS...: links against cudart_static.lib, output in OUTPUT.log
  local output=$1
  shift
  "$lld_link" /nologo /machine:x64 /subsystem:console /nodefaultlib /force:unresolved \
    "/out:$output" "$@" "/libpath:$lib_dir" cudart_static.lib >"$output.log" 2>&1
}

if link program.exe main.obj; then
  exports=$("$readobj" --coff-exports program.exe | grep -c "Name: $hint\$" || true)
  [ "$exports" = 1 ] || fail "llvm-readobj: program.exe exports $hint $exports times, not once"
  mapfile -t found < <(python3 "$here/pe_export.py" program.exe "$hint")
  if [ "${found[0]}" != 1 ]; then
    fail "program.exe's export table names $hint ${found[0]} times, not once"
  elif [[ ${found[1]} != ".data 1" ]]; then
    fail "program.exe exports $hint as '${found[1]}' (section, value), not as data holding 1"
  fi
else
  fail "linking a program against cudart_static.lib failed:"
  grep -v 'undefined symbol\|>>>' program.exe.log | head -n 10 >&2
fi

# driver_hint.cpp's definition next to the runtime's: the linker must refuse it.
if link twice.exe main.obj hint.obj; then
  fail "a second definition of $hint linked: the runtime no longer defines it"
elif ! grep -q "duplicate symbol: $hint" twice.exe.log; then
  fail "linking a second definition of $hint failed, but not as a duplicate:"
  grep -v 'undefined symbol\|>>>' twice.exe.log | head -n 10 >&2
fi

# Every member that names a C runtime names the static one.
runtimes=$(grep -a -o -i '/DEFAULTLIB:"\?\(LIBCMTD\?\|MSVCRTD\?\)' "$lib_dir/cudart_static.lib" |
  tr -d '"' | tr '[:lower:]' '[:upper:]' | sort -u | paste -sd ' ' || true)
[ "$runtimes" = "/DEFAULTLIB:LIBCMT" ] ||
  fail "cudart_static.lib asks for the C runtime '${runtimes:-none}', not /DEFAULTLIB:LIBCMT alone"
exit "$failed"
