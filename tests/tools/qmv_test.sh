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
dd if=/dev/zero of=model bs=1 seek=512 count=1536 conv=notrunc status=none  # whole blocks 1 to 3
same <("$qmv" cat a.qmv) model "truncate and punch"

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
for command in create append write cat truncate punch info; do
  "$qmv" "$command" --help | grep -q "usage\|qmv $command" || fail "$command --help"
done
echo "qmv: all checks passed"
