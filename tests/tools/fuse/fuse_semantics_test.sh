#!/usr/bin/env bash
# zykfs-fuse: names and open files as programs use them, unsupported
# operations, and a clean unmount on SIGTERM.
FUSE_BIN="$1"
source "$(dirname "$0")/fuse_lib.sh"

mount_tree
cd "$MNT"

# Plain files and archives read back what was written; archives are stored as containers.
printf 'plain' > a.txt
printf 'archive' > x.QMV
[ "$(cat a.txt)" = plain ] || fail "plain read back"
[ "$(cat x.QMV)" = archive ] || fail "archive read back"
[ "$(stat -c %s x.QMV)" = 7 ] || fail "archive shows its logical size"
[ "$(stat -c %s "$ROOT/x.QMV")" != 7 ] || fail "archive is stored as a container"

# The kernel caches writes and keeps the size of the files it knows: a file
# changed through another path still shows its new size and contents at a
# later lookup (timeouts 0 make that every access; the release of the mount's
# own last write may still be on its way, so the new contents are waited for).
cd /
unmount_tree
mount_tree -o entry_timeout=0,attr_timeout=0
printf 'one' > "$MNT/w.txt"
[ "$(cat "$MNT/w.txt")" = one ] || fail "written through the cache"
printf 'longer text' > "$ROOT/w.txt"
tries=0
until [ "$(stat -c %s "$MNT/w.txt")" = 11 ] && [ "$(cat "$MNT/w.txt")" = "longer text" ]; do
  tries=$((tries + 1))
  [ "$tries" -lt 200 ] || fail "a change through another path does not show"
  sleep 0.05
done
unmount_tree
mount_tree
cd "$MNT"

# Inode numbers stay stable.
inode=$(stat -c %i a.txt)
[ "$(stat -c %i a.txt)" = "$inode" ] || fail "stable inode"

# An unlinked open file disappears at once and stays readable until closed.
exec 3<>a.txt
rm a.txt
[ ! -e a.txt ] || fail "unlinked file still visible"
ls -a | grep -q zykfs && fail "hidden name listed"
[ "$(cat <&3)" = plain ] || fail "unlinked open file readable"
printf 'new' > a.txt  # the name is free again
exec 3>&-
[ "$(cat a.txt)" = new ] || fail "new file under the unlinked name"
[ -z "$(ls -A "$ROOT" | grep zykfs || true)" ] || fail "unlinked file removed at last close"

# A renamed open file keeps working through the open descriptor; an open
# rename target is replaced.
exec 4>>x.QMV
exec 5<a.txt
mv x.QMV y.QMV
printf 'more' >&4
mv y.QMV a.QMV
[ "$(cat a.QMV)" = archivemore ] || fail "write through a renamed open archive"
printf 'replacement' > b.txt
mv b.txt a.txt
[ "$(cat <&5)" = new ] || fail "replaced open file still readable"
[ "$(cat a.txt)" = replacement ] || fail "rename over an open file"
exec 4>&- 5<&-

# Archive <-> plain renames answer EXDEV, so mv copies.
mv a.QMV plain.bin
[ "$(cat plain.bin)" = archivemore ] || fail "mv across the archive boundary"
[ "$(head -c 4 "$ROOT/plain.bin")" = arch ] || fail "copied as a plain file"
python3 - <<'PY' || fail "errno of unsupported operations"
import errno, os
def expect(code, call, *args):
    try:
        call(*args)
    except OSError as e:
        assert e.errno == code, (call.__name__, e)
    else:
        assert code == 0, (call.__name__, "succeeded")
mode = os.stat("plain.bin").st_mode & 0o7777
expect(0, os.chmod, "plain.bin", mode)
expect(errno.EPERM, os.chmod, "plain.bin", mode ^ 0o100)
expect(errno.EXDEV, os.rename, "plain.bin", "p.QMV")
expect(errno.EPERM, os.link, "plain.bin", "hard")
expect(errno.EPERM, os.symlink, "plain.bin", "soft")
expect(errno.EPERM, os.utime, "plain.bin", (1, 1))
expect(errno.ENOENT, os.stat, "missing")
expect(errno.EEXIST, os.mkdir, ".")
os.mkdir("d"); open("d/f", "w").close()
expect(errno.ENOTEMPTY, os.rmdir, "d")
expect(errno.EOPNOTSUPP, os.setxattr, "plain.bin", "user.a", b"1")
PY

# A directory renamed with a file open below it keeps the file usable.
exec 6>>d/f
mv d e
printf 'below' >&6
exec 6>&-
[ "$(cat e/f)" = below ] || fail "open file below a renamed directory"

# Links that lead out of the root are refused through the mount, as by the library.
mkdir -p "$WORK/outside"
echo secret > "$WORK/outside/secret"
ln -s "$WORK/outside/secret" "$ROOT/absolute"
ln -s ../outside/secret "$ROOT/relative"
ln -s ../outside "$ROOT/outdir"
for link in absolute relative outdir/secret; do
  if cat "$link" 2>/dev/null | grep -q secret; then fail "$link reached a file outside the root"; fi
done

# Appends from two processes: a reader never sees bytes that were not written.
python3 - <<'PY' || fail "append and read a log"
import os, multiprocessing
line = b"0123456789abcdef\n"
count = 500
def writer():
    with open("log", "ab", buffering=0) as f:
        for _ in range(count):
            f.write(line)
open("log", "wb").close()
p = multiprocessing.Process(target=writer)
p.start()
seen = 0
with open("log", "rb") as r:
    while True:
        chunk = r.read()
        if not chunk:
            if p.is_alive():
                continue
            p.join()
            chunk = r.read()  # whatever the writer added before it ended
            if not chunk:
                break
        for i, b in enumerate(chunk):
            assert b == line[(seen + i) % len(line)], "foreign byte"
        seen += len(chunk)
assert p.exitcode == 0, p.exitcode
assert seen == count * len(line), (seen, os.stat("log").st_size)
PY

# SIGTERM: the daemon closes its handles (archives commit), unmounts and exits 0.
cd /
unmount_tree
"$FUSE_BIN" -f "$ROOT" "$MNT" &
daemon=$!
wait_for_mount
exec 7<>"$MNT/c.QMV"
printf 'committed at unmount' >&7
kill -TERM "$daemon"
status=0
wait "$daemon" || status=$?
exec 7>&-
[ "$status" = 0 ] || fail "daemon exit status $status after SIGTERM"
fusermount3 -u -z "$MNT" 2>/dev/null || true
mount_tree
[ "$(cat "$MNT/c.QMV")" = "committed at unmount" ] || fail "archive committed at SIGTERM"
echo OK
