#!/usr/bin/env bash
# The Thrust and CUB code in a GPU build comes from the CCCL that configuring found: the inline
# namespaces of their kernels (THRUST_<version>_..., CUB_<version>_...) carry its version.
# Usage: library_version.sh EXECUTABLE VERSION [optional]
#   VERSION as THRUST_VERSION writes it (2.7.0: 200700); "optional" for a program that may use
#   neither library, in which case it must carry none of another version.
set -u
file=$1 version=$2 optional=${3:-}
found=$(grep -aoE '(THRUST|CUB)_[0-9]+_' "$file" | sort -u | paste -sd ' ')
echo "library namespaces: ${found:-none}"
case "$found" in
"CUB_${version}_ THRUST_${version}_" | "THRUST_${version}_") exit 0 ;;
"") [ "$optional" = optional ] && exit 0 ;;
esac
echo "expected Thrust (and CUB) of version $version only"
exit 1
