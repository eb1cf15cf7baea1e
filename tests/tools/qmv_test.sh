#!/usr/bin/env bash
# The qmv tool end to end: every command against a byte model kept with
# coreutils, split volumes, exit statuses and error messages.
# Usage: qmv_test.sh PATH_TO_QMV
set -euo pipefail
qmv="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
same() { cmp -s "$1" "$2" || fail "$3: content differs"; }
json_field() { "$qmv" info --json "$1" | sed -n "s/^  \"$2\": \\([0-9]*\\),*$/\\1/p"; }

head -c 300001 /dev/urandom > model
"$qmv" create --block-size 512 a.qmv < model
same <("$qmv" cat a.qmv) model "create"
[ "$(json_field a.qmv logical_size)" = 300001 ] || fail "logical_size"
[ "$(json_field a.qmv block_size)" = 512 ] || fail "block_size"
[ "$(json_field a.qmv allocated_bytes)" = 300001 ] || fail "allocated_bytes"

# write inside and past the end, append, truncate and punch, each against the model
head -c 5000 /dev/urandom > patch
"$qmv" write a.qmv 1000 < patch
dd if=patch of=model bs=1 seek=1000 conv=notrunc status=none
"$qmv" write a.qmv 310000 < patch
dd if=patch of=model bs=1 seek=310000 conv=notrunc status=none
"$qmv" append a.qmv < patch
cat patch >> model
same <("$qmv" cat a.qmv) model "write and append"
"$qmv" truncate a.qmv 250000
truncate -s 250000 model
"$qmv" punch a.qmv 100 2000
dd if=/dev/zero of=model bs=1 seek=100 count=2000 conv=notrunc status=none  # every byte of the range
same <("$qmv" cat a.qmv) model "truncate and punch"

# -p draws nothing when standard error is not a terminal
"$qmv" cat -p a.qmv 2> err | cmp -s - model || fail "cat -p"
"$qmv" append -p a.qmv < /dev/null 2>> err
[ ! -s err ] || fail "progress shown without a terminal: $(cat err)"

# split volumes: the content spans several files and reads back whole
"$qmv" create --volume-size 65536 s.qmv < model
[ "$(json_field s.qmv volumes)" -gt 2 ] || fail "split archive has no later volumes"
same <("$qmv" cat s.qmv) model "split volumes"

# an unusable block size falls back to 4096 with a warning
"$qmv" create --block-size 1000 f.qmv < patch 2> warning
grep -q "using 4096" warning || fail "no fallback warning"
[ "$(json_field f.qmv block_size)" = 4096 ] || fail "fallback block size"

# failures: status 1 with the error code on stderr; usage errors: status 2
echo "not an archive" > plain.qmv
status=0; "$qmv" cat plain.qmv > /dev/null 2> err || status=$?
[ "$status" = 1 ] && grep -q "error 0x0004000d" err || fail "foreign file: status $status, $(cat err)"
status=0; "$qmv" cat missing.qmv > /dev/null 2> err || status=$?
[ "$status" = 1 ] && grep -q "error 0x" err || fail "missing file: status $status"
status=0; "$qmv" truncate a.qmv > /dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "missing SIZE gives status $status"
# check: consistent archives of several shapes exit 0
for archive in a.qmv s.qmv f.qmv; do
  "$qmv" check "$archive" > out || fail "check $archive: status $?"
  grep -q "No errors" out || fail "check $archive says: $(cat out)"
done
"$qmv" check --json s.qmv | grep -q '"corruptions": 0,' || fail "check --json"

# a leak: both allocation maps of the current header copy claim the 10 blocks
# (13..22) that the truncation freed; the copy is resealed with its Adler-32
u32_at() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }
put_bytes() { printf "$3" | dd of="$1" bs=1 seek="$2" conv=notrunc status=none; }
adler32() {  # of bytes [$2, $2 + $3) of file $1
  local a=1 b=0 byte
  for byte in $(od -An -tu1 -v -j "$2" -N "$3" "$1"); do
    a=$(((a + byte) % 65521)); b=$(((b + a) % 65521))
  done
  echo $((b * 65536 + a))
}
head -c 10240 /dev/urandom > leak_model
"$qmv" create --block-size 512 l.qmv < leak_model
"$qmv" truncate l.qmv 5120
truncate -s 5120 leak_model
copy=512; [ "$(u32_at l.qmv 1028)" -gt "$(u32_at l.qmv 516)" ] && copy=1024
for record in 1 2; do  # root records are 152 bytes from offset 56; byte 0 is the level
  start=$((copy + 56 + record * 152))
  dd if=/dev/zero of=l.qmv bs=1 seek="$start" count=152 conv=notrunc status=none
  put_bytes l.qmv $((start + 1)) '\x02\x00\x28\x7e\x02'  # the extent 3 -> 3, 20 blocks
done
sum=$(adler32 l.qmv $((copy + 4)) 508)
put_bytes l.qmv "$copy" "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((sum & 255)) $((sum >> 8 & 255)) $((sum >> 16 & 255)) $((sum >> 24)))"
status=0; "$qmv" check l.qmv > out || status=$?
[ "$status" = 3 ] && grep -q "Leaked blocks 13 to 22" out || fail "leak: status $status, $(cat out)"
status=0; "$qmv" check --json --repair=leaks l.qmv > out || status=$?
[ "$status" = 0 ] && grep -q '"leaks_fixed": 10,' out || fail "repair: status $status, $(cat out)"
"$qmv" check l.qmv > /dev/null || fail "check after repair"
same <("$qmv" cat l.qmv) leak_model "repaired archive"

# corruption: no valid header copy exits 2 and names the block; it is never repaired
flip_byte() { put_bytes "$1" "$2" "$(printf '\\x%02x' $((255 - $(od -An -tu1 -j "$2" -N1 "$1"))))"; }
flip_byte l.qmv 512  # the first checksum byte of each copy: a set value could match by chance
flip_byte l.qmv 1024
status=0; "$qmv" check --repair=leaks l.qmv > out || status=$?
[ "$status" = 2 ] && grep -q "CORRUPTION at block 1 " out || fail "corruption: status $status, $(cat out)"
status=0; "$qmv" check plain.qmv > /dev/null 2> err || status=$?
[ "$status" = 1 ] && grep -q "error 0x0004000d" err || fail "check of a foreign file: status $status"
status=0; "$qmv" check --json missing.qmv > out 2>&1 || status=$?
[ "$status" = 1 ] && grep -q '"check_errors": 1' out || fail "check of a missing file: status $status"

# map: data and holes of the stream, merged where they continue
head -c 1024 /dev/urandom | "$qmv" create --block-size 512 m.qmv
head -c 512 /dev/urandom | "$qmv" write m.qmv 4096
"$qmv" map m.qmv | awk 'NR > 1 { print $1, $2, $3 }' > out
printf '0 1024 3\n1024 3072 hole\n4096 512 5\n' | cmp -s - out || fail "map: $(cat out)"
"$qmv" map --json m.qmv | grep -q '{"start": 1024, "length": 3072, "data": false}' || fail "map --json"

# convert: plain -> archive -> plain byte for byte; zero runs and holes stay holes
blocks() { stat -c %b "$1"; }  # 512-byte units
head -c 200000 /dev/urandom > plain
dd if=/dev/zero of=plain bs=4096 seek=10 count=8 conv=notrunc status=none  # a zero run inside the data
truncate -s 1000000 plain
"$qmv" convert plain c.qmv
same <("$qmv" cat c.qmv) plain "convert to an archive"
"$qmv" map c.qmv | grep -q "^40960 *32768 *hole" || fail "a zero run was stored: $("$qmv" map c.qmv)"
"$qmv" convert --block-size 512 --volume-size 65536 c.qmv d.qmv  # another block size, split
[ "$(json_field d1.qmv block_size)" = 512 ] || fail "convert block size"
"$qmv" check d1.qmv > /dev/null || fail "converted archive does not check"
"$qmv" convert d.qmv back
same back plain "archive to plain"
# a 1 GiB sparse file with 1 MiB of data stays small both ways
truncate -s 1G sparse
head -c 1048576 /dev/urandom | dd of=sparse bs=1M seek=300 conv=notrunc status=none
"$qmv" convert sparse sparse.qmv
[ "$(blocks sparse.qmv)" -lt 8192 ] || fail "sparse archive occupies $(blocks sparse.qmv) blocks"
"$qmv" convert sparse.qmv sparse.back
[ "$(blocks sparse.back)" -lt 8192 ] || fail "sparse plain copy occupies $(blocks sparse.back) blocks"
# (comparing 2 GiB of zeros takes seconds: compare the sizes and the data, and the map shows the rest is holes)
[ "$(stat -c %s sparse.back)" = "$(stat -c %s sparse)" ] || fail "sparse round trip size"
same <(dd if=sparse.back bs=1M skip=300 count=1 status=none) <(dd if=sparse bs=1M skip=300 count=1 status=none) \
  "sparse round trip data"
[ "$("$qmv" map sparse.qmv | awk '$3 != "hole"' | wc -l)" = 2 ] || fail "sparse archive map: $("$qmv" map sparse.qmv)"
rm -f sparse sparse.back sparse.qmv
# a source that fails half-way leaves neither the destination nor a temporary file
"$qmv" create --block-size 512 t.qmv < model
truncate -s 100000 t.qmv  # the later data blocks are gone
status=0; "$qmv" convert t.qmv broken.qmv 2> err || status=$?
[ "$status" = 1 ] || fail "convert of a cut archive: status $status"
ls | grep -q "broken" && fail "an interrupted convert left $(ls | grep broken)"

# space of freed blocks returns to the file system; the file keeps its size
head -c 8388608 /dev/urandom > big
"$qmv" create r.qmv < big
cp r.qmv k.qmv
"$qmv" truncate r.qmv 4096
"$qmv" truncate --return-space=keep k.qmv 4096
[ "$(blocks r.qmv)" -lt 2048 ] || fail "truncated archive still occupies $(blocks r.qmv) blocks"
[ "$(blocks k.qmv)" -gt 16384 ] || fail "--return-space=keep returned space"
[ "$(stat -c %s r.qmv)" = "$(stat -c %s k.qmv)" ] || fail "punching changed the file size"
same <("$qmv" cat r.qmv) <(head -c 4096 big) "truncated archive"
"$qmv" check r.qmv > /dev/null || fail "check after returning space"
status=0; "$qmv" truncate --return-space=some r.qmv 1 2> /dev/null || status=$?
[ "$status" = 2 ] || fail "bad --return-space mode: status $status"

for command in create append write cat truncate punch info check map convert; do
  "$qmv" "$command" --help | grep -q "usage\|qmv $command" || fail "$command --help"
done
echo "qmv: all checks passed"
