# Sourced by the checks that build in a Debian root of their own, made with debootstrap and
# entered with chroot (check-cuda12, tests/fresh_machine.sh). Needs root. debian_root_cache is the
# folder the roots are kept in; everything mounted under it is the callers' and is unmounted by
# debian_root_unmount_all, deepest first, including what a killed run left.

# Runs COMMAND in the root DIR with a clean environment.
in_root() {  # DIR COMMAND...
  local dir=$1
  shift
  chroot "$dir" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}

debian_root_unmount_all() {
  local target
  findmnt -rn -o TARGET | awk -v under="$debian_root_cache/" 'index($0, under) == 1' | sort -r |
    while read -r target; do
      umount "$target" 2>/dev/null || umount -l "$target"
    done
}

# /proc and /dev inside the root DIR.
debian_root_mount() {  # DIR
  mount -t proc proc "$1/proc"
  mount --bind /dev "$1/dev"
}

# Binds the host's folder FROM to TO inside the root DIR.
debian_root_bind() {  # DIR FROM TO
  mkdir -p "$1$3"
  mount --bind "$2" "$1$3"
}

# Removes the tree DIR, which must no longer have anything mounted in it: a bind mount of a
# checkout is on the same file system, and nothing may be deleted through one.
debian_root_remove() {  # DIR
  local left
  debian_root_unmount_all
  left=$(findmnt -rn -o TARGET | awk -v tree="$1" '$0 == tree || index($0, tree "/") == 1')
  [ -z "$left" ] || { echo "$(basename "$0"): cannot unmount $left" >&2; return 1; }
  [ ! -e "$1" ] || rm -rf --one-file-system "$1"
}

# The Debian archive this host's apt uses, read from its sources (which stay as they are).
debian_archive() {
  local codename
  codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
  apt-get indextargets --no-release-info --format '$(REPO_URI)' "Release: $codename" \
    'Identifier: Packages' 2>/dev/null | head -n 1
}

# Makes a minimal root of Debian SUITE in DIR with debootstrap, with the host's DNS settings;
# installs debootstrap on the host first if needed. Its output goes to LOG.
debian_root_make() {  # DIR SUITE COMPONENTS LOG
  local dir=$1 suite=$2 components=$3 log=$4 archive
  archive=$(debian_archive)
  [ -n "$archive" ] || { echo "$(basename "$0"): no Debian archive in this host's apt sources" >&2; return 1; }
  curl -fsS --max-time 30 -o /dev/null "${archive%/}/dists/$suite/InRelease" 2>/dev/null ||
    { echo "$(basename "$0"): cannot reach the Debian archive ${archive%/}" >&2; return 1; }
  if ! command -v debootstrap >/dev/null || [ ! -e /usr/share/keyrings/debian-archive-keyring.gpg ]; then
    { apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
      debootstrap debian-archive-keyring; } >>"$log" 2>&1 || return 1
  fi
  debian_root_remove "$dir" || return 1
  debootstrap --variant=minbase --components="$components" \
    --keyring=/usr/share/keyrings/debian-archive-keyring.gpg "$suite" "$dir" "$archive" >>"$log" 2>&1 ||
    { tail -n 20 "$log" >&2; return 1; }
  cp /etc/resolv.conf "$dir/etc/resolv.conf"
}
