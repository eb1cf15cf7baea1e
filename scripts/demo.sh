#!/usr/bin/env bash
# The library at work through its host interface: mounts a sample tree, stores
# a file as a container archive through the mount, lists it with its sizes,
# reads it back and compares it with the original.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install_deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target zykfs zyk_backend_local >/dev/null

zykfs=build/default/tools/zykfs/zykfs
tree=$(mktemp -d)
trap 'rm -rf "$tree" "$tree.out"' EXIT

echo "== A sample tree in $tree"
mkdir -p "$tree/docs"
echo "hello from a plain file" > "$tree/docs/readme.txt"
head -c 5000000 /dev/urandom > "$tree.sample"
trap 'rm -rf "$tree" "$tree.out" "$tree.sample"' EXIT

echo "== Store 5 MB through the mount as data.QMV (an archive) and as data.bin (plain)"
"$zykfs" "$tree" put "$tree.sample" data.QMV
"$zykfs" "$tree" put "$tree.sample" data.bin

echo "== List the root through the mount: the archive shows its logical size"
"$zykfs" "$tree" ls

echo "== On disk, data.QMV is an archive: its label magic and its file size"
od -A n -t x1 -N 4 "$tree/data.QMV"
ls -l "$tree/data.QMV" "$tree/data.bin"

echo "== Read both back through the mount and compare with the original"
"$zykfs" "$tree" cat data.QMV > "$tree.out"
cmp "$tree.out" "$tree.sample" && echo "data.QMV: identical"
"$zykfs" "$tree" cat data.bin | cmp - "$tree.sample" && echo "data.bin: identical"
"$zykfs" "$tree" cat docs/readme.txt
