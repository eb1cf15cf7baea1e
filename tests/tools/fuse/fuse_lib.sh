# Shared by the zykfs-fuse tests: sourced with FUSE_BIN set to the zykfs-fuse
# executable. Makes a fresh ROOT and MNT, skips (exit 77) where FUSE cannot
# mount here, and unmounts on exit.
set -euo pipefail
FUSE_BIN="$(realpath "$FUSE_BIN")"

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*" >&2; exit 1; }

[ -c /dev/fuse ] || skip "no /dev/fuse on this machine"
command -v fusermount3 >/dev/null || skip "fusermount3 is not installed (package fuse3)"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/zykfs_fuse_XXXXXX")"
ROOT="$WORK/root"
MNT="$WORK/mnt"
mkdir -p "$ROOT" "$MNT"

# Percent of the full run (as for the C++ tests); 10 unless set.
PERCENT="${ZYK_TEST_PERCENT:-10}"
scaled() { local n=$(($1 * PERCENT / 100)); [ "$n" -ge "${2:-1}" ] && echo "$n" || echo "${2:-1}"; }

# Mounts ROOT at MNT; the daemon detaches once the mount is in place.
mount_tree() {
  "$FUSE_BIN" "$@" "$ROOT" "$MNT" || fail "zykfs-fuse did not mount"
}
# For a daemon started in the foreground: waits (bounded) until the mount is in place.
wait_for_mount() {
  local tries=0
  until mountpoint -q "$MNT"; do
    tries=$((tries + 1))
    [ "$tries" -lt 600 ] || fail "mount did not appear"
    sleep 0.05
  done
}
unmount_tree() {
  mountpoint -q "$MNT" && fusermount3 -u "$MNT"
  return 0
}
cleanup() {
  cd /
  exec 3>&- 4>&- 5>&- 6>&- 7>&-
  unmount_tree || fusermount3 -u -z "$MNT" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT

# Probe: some containers have /dev/fuse but may not mount.
"$FUSE_BIN" "$ROOT" "$MNT" 2>"$WORK/probe.err" || skip "cannot mount FUSE here: $(cat "$WORK/probe.err")"
fusermount3 -u "$MNT"
