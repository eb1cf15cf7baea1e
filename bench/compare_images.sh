#!/usr/bin/env bash
# Archive speed beside a widely used disk-image format, in one run and one table:
# the container archive over a plain file (from container_archive_bench) and a
# qcow2 image over a raw image (qemu-io scripts run on the same disk), for
# sequential writes, random 4 KiB overwrites and random 4 KiB first writes, with
# a flush every 1,000 random writes. A ratio above 1 is faster than the base.
#
#   bench/compare_images.sh [BUILD_DIR] [REPETITIONS]
#
# BUILD_DIR defaults to build/default; REPETITIONS (default 5) runs each side of
# each row that often and takes the median. Needs qemu-io and qemu-img
# (Debian package qemu-utils). Scratch files go to $TMPDIR (default /tmp).
set -euo pipefail

build=${1:-build/default}
repetitions=${2:-5}
bench="$build/bench/container_archive_bench"
for tool in qemu-io qemu-img "$bench"; do
  command -v "$tool" >/dev/null || { echo "compare_images: $tool not found" >&2; exit 1; }
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/compare_images.XXXXXX")
trap 'rm -rf "$scratch"' EXIT

sequential_mib=256
random_mib=64
random_writes=10000

# --- container archive over plain file --------------------------------------
# The median ratio of one benchmark of container_archive_bench.
archive_ratio() {
  "$bench" --benchmark_filter="^$1\$" --benchmark_repetitions="$repetitions" \
    --benchmark_report_aggregates_only=true 2>/dev/null |
    awk '/_median/ { for (i = 1; i <= NF; i++) if ($i ~ /^ratio=/) { sub(/^ratio=/, "", $i); print $i } }'
}

# --- qcow2 over raw -------------------------------------------------------------
# qemu-io command scripts: sequential 1 MiB writes and a final flush; random
# 4 KiB writes with a flush every 1,000 (the same offsets for both formats).
seq_script="$scratch/sequential.qio"
rand_script="$scratch/random.qio"
awk -v n=$((sequential_mib)) 'BEGIN { for (i = 0; i < n; i++) printf "write -q -P 90 %d 1M\n", i * 1048576; print "flush" }' \
  >"$seq_script"
awk -v n=$random_writes -v blocks=$((random_mib * 256)) 'BEGIN {
  srand(7)
  for (i = 1; i <= n; i++) {
    printf "write -q -P 90 %d 4k\n", int(rand() * blocks) * 4096
    if (i % 1000 == 0) print "flush"
  }
  print "flush"
}' >"$rand_script"
echo "flush" >"$scratch/empty.qio"

now_ns() { date +%s%N; }

# Seconds for qemu-io to run SCRIPT on IMAGE of FORMAT, start-up included.
run_qemu_io() {
  local format=$1 image=$2 script=$3 start end
  start=$(now_ns)
  qemu-io -f "$format" -t writeback "$image" <"$script" >/dev/null
  end=$(now_ns)
  echo "$(( end - start ))"
}

# A fresh image of FORMAT and SIZE_MIB: empty, or filled with data first.
make_image() {
  local format=$1 image=$2 size_mib=$3 filled=$4
  rm -f "$image" "$scratch/fill.raw"
  if [ "$filled" = filled ]; then
    head -c $((size_mib << 20)) /dev/urandom >"$scratch/fill.raw"
    if [ "$format" = raw ]; then mv "$scratch/fill.raw" "$image"
    else qemu-img convert -f raw -O qcow2 "$scratch/fill.raw" "$image"; rm -f "$scratch/fill.raw"; fi
  else
    qemu-img create -q -f "$format" "$image" "${size_mib}M"
  fi
  sync "$image"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# Nanoseconds of one qemu-io run of SCRIPT on a fresh image, start-up removed.
qemu_ns() {
  local format=$1 script=$2 size_mib=$3 filled=$4 startup total
  local image="$scratch/image.$format"
  make_image "$format" "$image" "$size_mib" "$filled"
  startup=$(run_qemu_io "$format" "$image" "$scratch/empty.qio")
  total=$(run_qemu_io "$format" "$image" "$script")
  rm -f "$image"
  echo $(( total > startup ? total - startup : 1 ))
}

# Median over the repetitions of raw time / qcow2 time (qcow2 speed over raw).
qcow2_ratio() {
  local script=$1 size_mib=$2 filled=$3 raw qcow2
  for _ in $(seq "$repetitions"); do
    raw=$(qemu_ns raw "$script" "$size_mib" "$filled")
    qcow2=$(qemu_ns qcow2 "$script" "$size_mib" "$filled")
    awk -v r="$raw" -v q="$qcow2" 'BEGIN { printf "%.3f\n", r / q }'
  done | median
}

printf '%-28s %18s %14s\n' "row" "archive / plain" "qcow2 / raw"
row() {
  local name=$1 benchmark=$2 script=$3 size_mib=$4 filled=$5
  printf '%-28s %18s %14s\n' "$name" "$(archive_ratio "$benchmark")" "$(qcow2_ratio "$script" "$size_mib" "$filled")"
}
row "sequential write 256 MiB" "SequentialWriteRatio/$sequential_mib/iterations:2" "$seq_script" "$sequential_mib" empty
row "random 4K overwrite" "RandomOverwriteRatio/$random_mib/iterations:1" "$rand_script" "$random_mib" filled
row "random 4K first write" "RandomFirstWriteRatio/$random_mib/iterations:1" "$rand_script" "$random_mib" empty
