#!/usr/bin/env bash
# zykfs-fuse with unmodified programs, on plain files and inside *.QMV
# archives: fio with verification, sqlite3 and cp --sparse.
# Sizes follow ZYK_TEST_PERCENT (10 by default, 100 for the full run).
FUSE_BIN="$1"
source "$(dirname "$0")/fuse_lib.sh"
[ -z "${ZYK_SANITIZER_BUILD:-}" ] || skip "long program runs are left to the plain build; the sanitizer build runs the semantics and crash tests"
need() { command -v "$1" >/dev/null || skip "$1 is not installed"; }
for program in fio sqlite3 cmp python3; do need "$program"; done

mount_tree
cd "$MNT"

# fio: sequential and random writes, then verified reads (crc32c, with a
# backlog so reads interleave with writes), 4 KiB to 1 MiB blocks, psync and
# libaio, on a plain file and on an archive.
size_mib=$(scaled 640 16)
for file in plain.bin x.QMV; do
  for engine in psync libaio; do
    for pattern in write randwrite; do
      log="$WORK/fio.log"
      fio --name=verify --filename="$file" --size="${size_mib}M" --rw="$pattern" --bsrange=4k-1m \
          --ioengine="$engine" --iodepth=8 --verify=crc32c --verify_backlog=64 --do_verify=1 \
          --verify_fatal=1 --randrepeat=1 --output="$log" >/dev/null 2>&1 || { cat "$log"; fail "fio $file $engine $pattern"; }
      grep -q "err= 0" "$log" || { cat "$log"; fail "fio reported errors on $file $engine $pattern"; }
    done
  done
done
rm -f plain.bin x.QMV ./*.state

# sqlite3: a database named data.QMV, rows inserted in transactions, updated
# and deleted; the integrity check passes after a remount.
rows=10000
sqlite3 data.QMV >/dev/null <<SQL || fail "sqlite3 writes"
PRAGMA journal_mode=DELETE;
CREATE TABLE t(id INTEGER PRIMARY KEY, v TEXT);
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
INSERT INTO t SELECT i, hex(randomblob(32)) FROM n WHERE i <= $rows / 2;
WITH RECURSIVE n(i) AS (SELECT $rows / 2 + 1 UNION ALL SELECT i + 1 FROM n WHERE i < $rows)
INSERT INTO t SELECT i, hex(randomblob(32)) FROM n;
BEGIN; UPDATE t SET v = 'updated' WHERE id % 3 = 0; COMMIT;
BEGIN; DELETE FROM t WHERE id % 5 = 0; COMMIT;
SQL
cd /
unmount_tree
mount_tree
cd "$MNT"
[ "$(sqlite3 data.QMV 'PRAGMA integrity_check;')" = ok ] || fail "sqlite integrity after remount"
[ "$(sqlite3 data.QMV 'SELECT count(*) FROM t;')" = $((rows - rows / 5)) ] || fail "sqlite row count"
[ "$(sqlite3 data.QMV "SELECT count(*) FROM t WHERE v = 'updated';")" = 2667 ] || fail "sqlite updates"

# cp --sparse=always into an archive keeps the holes.
sparse="$WORK/sparse"
truncate -s 64M "$sparse"
printf 'head' | dd of="$sparse" conv=notrunc status=none
printf 'tail' | dd of="$sparse" bs=1 seek=$((64 * 1024 * 1024 - 4)) conv=notrunc status=none
cp --sparse=always "$sparse" holes.QMV
cmp "$sparse" holes.QMV || fail "sparse copy differs"
allocated=$(( $(stat -c %b holes.QMV) * 512 ))
[ "$allocated" -lt $((4 * 1024 * 1024)) ] || fail "holes not kept: $allocated bytes allocated"
echo OK
