#!/usr/bin/env bash
# zykfs-fuse: kill -9 of the daemon while a program writes and syncs an
# archive; after fusermount3 -u and a new mount the archive opens and holds a
# synced state.
FUSE_BIN="$1"
source "$(dirname "$0")/fuse_lib.sh"
command -v python3 >/dev/null || skip "python3 is not installed"

"$FUSE_BIN" -f "$ROOT" "$MNT" &
daemon=$!
wait_for_mount
# Each round fills the archive with its round number and syncs; the writer
# reports each synced round, and the daemon is killed while round 4 is written.
python3 - "$MNT/x.QMV" "$daemon" "$WORK/synced" <<'PY' || fail "writer"
import os, signal, sys
path, daemon, record = sys.argv[1], int(sys.argv[2]), sys.argv[3]
block = 256 * 1024
fd = os.open(path, os.O_RDWR | os.O_CREAT)
try:
    for round in range(1, 100):
        for i in range(8):
            if round == 4 and i == 4:
                os.kill(daemon, signal.SIGKILL)
            os.pwrite(fd, bytes([round]) * block, i * block)
        os.fsync(fd)
        with open(record, "w") as f:
            f.write(str(round))
except OSError:
    pass
PY
wait "$daemon" || true
fusermount3 -u "$MNT" || fusermount3 -u -z "$MNT"
mount_tree
python3 - "$MNT/x.QMV" "$(cat "$WORK/synced")" <<'PY' || fail "archive after the crash"
import sys
data = open(sys.argv[1], "rb").read()
synced = int(sys.argv[2])
assert len(data) == 8 * 256 * 1024, len(data)
assert len(set(data)) == 1, "mixed rounds: not a synced state"
assert data[0] >= synced, (data[0], synced)
print("archive holds round", data[0], "synced", synced)
PY
echo OK
