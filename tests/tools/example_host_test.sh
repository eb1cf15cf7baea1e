#!/usr/bin/env bash
# The example host runs as documented: it mounts a fresh directory, stores and
# reads back an archive, and unmounts; the file on disk is a container archive.
# Usage: example_host_test.sh PATH_TO_EXAMPLE_HOST PATH_TO_LIBRARY
set -euo pipefail
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
output=$("$1" "$root" "$2")
echo "$output"
[[ "$output" == *'hello.QMV holds "hello" (5 bytes)'* ]] || { echo "FAIL: unexpected output" >&2; exit 1; }
[ "$(od -A n -t x1 -N 4 "$root/hello.QMV" | tr -d ' ')" = ce24b9a2 ] || { echo "FAIL: not an archive" >&2; exit 1; }
