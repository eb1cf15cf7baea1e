#!/usr/bin/env bash
# Speed of zykfs-fuse against the native file system, measured in one run:
#   bash bench/fuse_bench.sh [ZYKFS_FUSE] [SIZE_MIB]
# Runs the same fio jobs on the native ROOT, on a plain file through the mount
# and on x.QMV through the mount, and prints one table of ratios to native
# (higher is better; 1.00 is native speed). ZYKFS_FUSE_OPTIONS holds the mount's
# -o options (default dirty_limit=20: the kernel holds every FUSE mount to 1% of
# the write-back cache otherwise; set it empty to measure with that limit).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
fuse_bin="$(realpath "${1:-$here/build/default/tools/zykfs-fuse}")"
size_mib="${2:-256}"
runtime=5
for tool in fio fusermount3 python3; do command -v "$tool" >/dev/null || { echo "needs $tool"; exit 1; }; done

work="$(mktemp -d "${TMPDIR:-/tmp}/zykfs_fuse_bench_XXXXXX")"
root="$work/root"
mnt="$work/mnt"
mkdir -p "$root/native" "$mnt"
cleanup() { cd /; mountpoint -q "$mnt" && fusermount3 -u "$mnt"; rm -rf "$work"; }
trap cleanup EXIT
options="${ZYKFS_FUSE_OPTIONS-dirty_limit=20}"
"$fuse_bin" ${options:+-o "$options"} "$root" "$mnt"

# Writes out and drops the cached pages of FILE, so that reads start at the disk.
drop_cached() {
  python3 -c 'import os, sys
fd = os.open(sys.argv[1], os.O_RDONLY)
os.fsync(fd)
os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)' "$1"
}

# One fio job; prints its bandwidth in KiB/s (reads plus writes). fio drops the
# pages cached for the file it opens; through the mount, the served file under
# ROOT keeps its own, which are dropped too, so every job starts cold.
fio_bw() {
  local file="$1" rw="$2" bs="$3" depth="$4" engine="$5"
  drop_cached "${file/#$mnt/$root}"
  fio --name=bench --filename="$file" --size="${size_mib}M" --rw="$rw" --bs="$bs" --iodepth="$depth" \
      --ioengine="$engine" --runtime="$runtime" --time_based=1 --invalidate=1 --output-format=json 2>/dev/null |
    python3 -c 'import json,sys; j=json.load(sys.stdin)["jobs"][0]; print(j["read"]["bw"] + j["write"]["bw"])'
}

# Small files: create, write 4 KiB, close, stat, unlink; prints files per second.
small_files() {
  python3 - "$1" "${2:-}" <<'PY'
import os, sys, time
d, suffix = sys.argv[1], sys.argv[2]
os.makedirs(d, exist_ok=True)
data = b"x" * 4096
count = 0
end = time.monotonic() + 5
while time.monotonic() < end:
    for i in range(50):
        p = os.path.join(d, f"f{i}{suffix}")
        with open(p, "wb") as f:
            f.write(data)
        os.stat(p)
        os.unlink(p)
    count += 50
print(count / 5)
PY
}

declare -A native plain archive
rows=("seq read 1M|read|1M|1|psync" "seq write 1M|write|1M|1|psync"
      "rand read 4K QD1|randread|4k|1|psync" "rand write 4K QD1|randwrite|4k|1|psync"
      "rand read 4K QD32|randread|4k|32|libaio" "rand write 4K QD32|randwrite|4k|32|libaio")
# Lay the files down once, so reads find data.
for file in "$root/native/f" "$mnt/plain.bin" "$mnt/x.QMV"; do
  fio --name=fill --filename="$file" --size="${size_mib}M" --rw=write --bs=1M --ioengine=psync >/dev/null 2>&1
done
for row in "${rows[@]}"; do
  IFS='|' read -r label rw bs depth engine <<<"$row"
  native[$label]=$(fio_bw "$root/native/f" "$rw" "$bs" "$depth" "$engine")
  plain[$label]=$(fio_bw "$mnt/plain.bin" "$rw" "$bs" "$depth" "$engine")
  archive[$label]=$(fio_bw "$mnt/x.QMV" "$rw" "$bs" "$depth" "$engine")
done
label="small files create/write/close/stat/unlink"
native[$label]=$(small_files "$root/native/small")
plain[$label]=$(small_files "$mnt/small")
archive[$label]=$(small_files "$mnt/smallqmv" .QMV)
rows+=("$label")

echo "mount options: ${options:-(none)}"
printf '%-44s %14s %10s %10s\n' "row" "native" "plain/nat" "x.QMV/nat"
for row in "${rows[@]}"; do
  label="${row%%|*}"
  python3 -c "import sys; n,p,a=map(float,sys.argv[2:5]); print(f'{sys.argv[1]:<44} {n:>14.0f} {p/n:>10.2f} {a/n:>10.2f}')" \
    "$label" "${native[$label]}" "${plain[$label]}" "${archive[$label]}"
done
echo "(native column: KiB/s for fio rows, files/s for the small-file row)"
