#!/usr/bin/env bash
# Builds the fuzz preset and runs fuzz targets: bash scripts/fuzz.sh [TARGET|all] [SECONDS]
# Targets: archive_read archive_ops tree_node tree_ops zip_reader host_path file_name
# (default all, 600 seconds each, one after another). New corpus entries go to
# build/fuzz/work/<target>, crashes to build/fuzz/findings, each run's output
# to build/fuzz/logs/<target>.log; the committed corpus is only read. A finding
# that matters is copied into tests/fuzz/corpus/<target>/ with its fix.
#
# bash scripts/fuzz.sh merge TARGET folds the work folder's inputs of up to
# 8 KiB that reach new edges into the committed corpus (edges, not hit counts,
# so that the corpus stays small and its replay quick).
set -euo pipefail
cd "$(dirname "$0")/.."
all=(archive_read archive_ops tree_node tree_ops zip_reader host_path file_name)
which="${1:-all}"
seconds="${2:-600}"
if [ "$which" = merge ]; then
  target="$2"
  small=$(mktemp -d)
  find "build/fuzz/work/$target" -type f -size -8193c -exec cp {} "$small/" \;
  "build/fuzz/tests/fuzz/fuzz_$target" -merge=1 -use_counters=0 "tests/fuzz/corpus/$target" "$small"
  rm -rf "$small"
  exit 0
fi
if [ "$which" = all ]; then targets=("${all[@]}"); else targets=("$which"); fi

bash scripts/install_deps.sh fuzz
cmake --preset fuzz >/dev/null
nice cmake --build --preset fuzz --target "${targets[@]/#/fuzz_}"

mkdir -p build/fuzz/findings build/fuzz/logs
for target in "${targets[@]}"; do
  mkdir -p "build/fuzz/work/$target"
  dict=()
  [ -f "tests/fuzz/dict/$target.dict" ] && dict=("-dict=tests/fuzz/dict/$target.dict")
  echo "fuzzing $target for $seconds s (log: build/fuzz/logs/$target.log)"
  status=0
  nice -n 19 "build/fuzz/tests/fuzz/fuzz_$target" "${dict[@]}" -max_total_time="$seconds" \
    -artifact_prefix="build/fuzz/findings/$target-" -print_final_stats=1 \
    "build/fuzz/work/$target" "tests/fuzz/corpus/$target" >"build/fuzz/logs/$target.log" 2>&1 || status=$?
  grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)|cov: ' \
    "build/fuzz/logs/$target.log" | tail -4
  if [ "$status" -ne 0 ]; then
    echo "$target: finding (exit $status), see build/fuzz/logs/$target.log and build/fuzz/findings/"
    exit "$status"
  fi
done
