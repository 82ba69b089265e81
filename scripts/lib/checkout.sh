# Sourced by the scripts that write into the checkout (build/, .tools/), so that several runs can
# share one checkout:
#
#   checkout_begin ROOT            at a script's start: traps that end every exit with one line,
#                                  and, for root in another user's checkout, ownership handed back
#   checkout_lock SLOT FILE DOING  takes the lock FILE for this run (a note, then waiting, while
#                                  another run holds it); checkout_unlock SLOT gives it up
#   checkout_build_lock DIR [LOG]  the lock on build folder DIR for the rest of the run; LOG afresh
#   checkout_child LOG COMMAND...  runs COMMAND so that an interrupt ends it and what it started
#   checkout_no_space DIR [LOG...] whether a failure was a full disk
#
# The locks are flock(1) locks on files beside what they guard. Such a lock belongs to the open
# file, which ends with the last process holding it, so a run that was killed leaves no lock that
# blocks. The files stay; they are opened for reading only, so a lock file another user made
# serves as well.

checkout_me=$(basename "$0")

# Takes the lock FILE, first giving up whatever this run held in SLOT (bring, build). Where
# another run holds FILE, says so in one note ("another run in this checkout is DOING; waiting")
# and waits, in a child so that an interrupt is not held up.
checkout_lock() {  # SLOT FILE DOING
  local fd
  checkout_unlock "$1"
  mkdir -p "$(dirname "$2")" 2>/dev/null && { [ -e "$2" ] || : >>"$2"; } 2>/dev/null && exec {fd}<"$2" || {
    checkout_cannot_write "$(dirname "$2")"
    return 1
  }
  printf -v "checkout_lock_$1" %s "$fd"
  if ! flock -n "$fd"; then
    echo "note: another run in this checkout is $3; waiting" >&2
    checkout_child /dev/null flock "$fd" || return 1
  fi
}
checkout_unlock() {  # SLOT
  local slot=checkout_lock_$1 fd
  fd=${!slot:-}
  [ -z "$fd" ] || exec {fd}<&-
  printf -v "$slot" %s ""
}

# The lock on the build folder DIR (in DIR.lock) until the run ends or takes another: configuring,
# building and what uses the build are one run's at a time. LOG, where given, is started afresh:
# what the run appends to it is its own.
checkout_build_lock() {  # DIR [LOG]
  checkout_lock build "$1.lock" "building $1" || exit 1
  [ $# -lt 2 ] || { mkdir -p "$(dirname "$2")" && : >"$2"; } || exit 1
}

# Runs COMMAND with its output appended to LOG, as a child in a session of its own, and returns
# its status. An INT, TERM or HUP meanwhile ends the child and all in its session, runs
# checkout_on_signal (a command that removes what was half done), says in one line that the run
# was interrupted (and, from checkout_doing, while doing what), and lets the signal take its
# course: the trap the script had set, or else the script's end.
checkout_child() {  # LOG COMMAND...
  local log=$1 saved child="" status=0
  shift
  saved=$(trap -p INT TERM HUP)
  trap 'checkout_interrupted INT' INT
  trap 'checkout_interrupted TERM' TERM
  trap 'checkout_interrupted HUP' HUP
  # Without job control this child is no process group leader, so setsid needs no fork.
  setsid -w "$@" >>"$log" 2>&1 </dev/null &
  child=$!
  wait "$child" || status=$?
  child=""
  trap - INT TERM HUP
  eval "$saved"
  return "$status"
}
# Every command here may fail without ending the script early: the trap runs under set -e too.
checkout_interrupted() {  # SIGNAL (in checkout_child's trap: its child and saved are visible)
  if [ -n "$child" ]; then
    kill -TERM -- "-$child" "$child" 2>/dev/null || :
    wait "$child" 2>/dev/null || :
  fi
  eval "${checkout_on_signal:-}" || :
  checkout_on_signal=""
  echo "$checkout_me: interrupted (SIG$1)${checkout_doing:+ while $checkout_doing}; nothing half done is kept" >&2
  checkout_said=1
  trap - INT TERM HUP
  eval "$saved"
  kill -s "$1" "$BASHPID"
}

# After a failure: whether the file system of DIR (or of the nearest folder above it that exists)
# has less than 1 MiB left, or the failed command's LOG says that a write found none, or is empty:
# the command's own lines, written to a full disk, were lost.
checkout_no_space() {  # DIR [LOG]
  local dir=$1 left
  [ $# -lt 2 ] || [ -s "$2" ] || return 0
  [ $# -lt 2 ] || ! grep -qsE 'No space left on device|Errno 28' "$2" || return 0
  while [ ! -d "$dir" ] && [ "$dir" != / ]; do dir=$(dirname "$dir"); done
  left=$(df -Pk "$dir" 2>/dev/null | awk 'NR == 2 { print $4 }')
  [ -n "$left" ] && [ "$left" -lt 1024 ]
}

# The one line for a folder that cannot be written: a full disk, or no permission.
checkout_cannot_write() {  # DIR
  if checkout_no_space "$1"; then
    echo "$checkout_me: no space left on device in $1; free some and run $0 again" >&2
  else
    echo "$checkout_me: cannot write into $1 (owned by $(stat -c %U "$1" 2>/dev/null || echo '?')); run $0 as its owner" >&2
  fi
}

# At the start of a script that writes into the checkout ROOT. Sets the traps: an interrupt ends
# the run with one line and status 128 + its number, and the exit hands back. Where root runs in
# a checkout that another user owns, what it writes into build/ and .tools/ is given to that user
# now (what a killed run left) and at every exit, so that the user's own runs can write there and
# remove it all; where that cannot be done, it stops at once.
checkout_begin() {  # ROOT
  local owner
  checkout_root=$1 checkout_owner="" checkout_said=0
  trap 'checkout_signalled INT 130' INT
  trap 'checkout_signalled TERM 143' TERM
  trap 'checkout_signalled HUP 129' HUP
  trap checkout_hand_back EXIT
  owner=$(stat -c %u:%g "$1") || exit 1
  [ "$(id -u)" -eq 0 ] && [ "${owner%%:*}" -ne 0 ] || return 0
  checkout_owner=$owner
  checkout_hand_back || {
    echo "$checkout_me: root cannot give what it writes in $1 back to its owner, $(stat -c %U "$1"); run $0 as that user" >&2
    checkout_owner=""
    exit 1
  }
}
checkout_signalled() {  # SIGNAL STATUS
  [ "${checkout_said:-0}" -eq 1 ] || echo "$checkout_me: interrupted (SIG$1)" >&2
  exit "$2"
}
# What root made in build/ and .tools/ becomes the checkout owner's (links themselves, not what
# they point to).
checkout_hand_back() {
  local dir made=()
  [ -n "${checkout_owner:-}" ] || return 0
  for dir in "$checkout_root/build" "$checkout_root/.tools"; do
    [ ! -e "$dir" ] || made+=("$dir")
  done
  [ ${#made[@]} -eq 0 ] || chown -R -h --from=0 "$checkout_owner" "${made[@]}"
}
