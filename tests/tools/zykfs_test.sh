#!/usr/bin/env bash
# The zykfs tool end to end: put, get and cat round trips for a plain file and
# an archive, progress only on a terminal, and failures named with their text.
# Usage: zykfs_test.sh PATH_TO_ZYKFS
set -euo pipefail
zykfs="$1"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
mkdir "$work/root"
head -c 3000001 /dev/urandom > "$work/model"

for name in data.bin data.QMV; do
  "$zykfs" -p "$work/root" put "$work/model" "$name" 2> "$work/err"
  "$zykfs" -p "$work/root" get "$name" "$work/got" 2>> "$work/err"
  cmp -s "$work/got" "$work/model" || fail "$name: get differs"
  "$zykfs" "$work/root" cat "$name" | cmp -s - "$work/model" || fail "$name: cat differs"
  [ ! -s "$work/err" ] || fail "$name: progress shown without a terminal: $(cat "$work/err")"
done

# On a terminal -p draws the final count with the total.
if command -v script > /dev/null; then
  shown=$(script -qec "'$zykfs' -p '$work/root' get data.QMV '$work/got'" /dev/null)
  [[ "$shown" == *"get data.QMV: 2.9 MiB / 2.9 MiB (100%)"* ]] || fail "no progress on a terminal: $shown"
fi

status=0
"$zykfs" "$work/root" cat missing > /dev/null 2> "$work/err" || status=$?
[ "$status" = 1 ] && grep -qF "code 0x02850002 (The named file or directory does not exist.)" "$work/err" ||
  fail "cat missing: status $status, $(cat "$work/err")"
status=0
"$zykfs" --bogus > /dev/null 2>&1 || status=$?
[ "$status" = 2 ] || fail "unknown option: status $status"
echo "zykfs: all checks passed"
