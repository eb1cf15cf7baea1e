#!/usr/bin/env bash
# zykfs-fuse: random reads, writes, appends, truncates, hole punches and
# reopens against an in-memory model, on an archive and on a plain file.
# 100,000 operations (half on each file) in the full run (ZYK_TEST_PERCENT=100); ZYK_TEST_SEED replays.
# Half of them run with the kernel's write-back cache, half without.
FUSE_BIN="$1"
source "$(dirname "$0")/fuse_lib.sh"
[ -z "${ZYK_SANITIZER_BUILD:-}" ] || skip "long program runs are left to the plain build; the sanitizer build runs the semantics and crash tests"
command -v python3 >/dev/null || skip "python3 is not installed"
seed="${ZYK_TEST_SEED:-$RANDOM$RANDOM}"
echo "ZYK_TEST_SEED=$seed"
operations=$(scaled 25000 250)  # per file and mode: 100,000 in all in the full run
for cache in writeback_cache no_writeback_cache; do
  mount_tree -o "$cache"
  for file in x.QMV plain.bin; do
    python3 "$(dirname "$0")/fsx_model.py" "$MNT/$file" "$operations" "$seed" ||
      fail "model run on $file with $cache (ZYK_TEST_SEED=$seed)"
  done
  unmount_tree
done
echo OK
