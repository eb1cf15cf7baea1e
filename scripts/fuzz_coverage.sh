#!/usr/bin/env bash
# Line coverage of the decoding and recovery code from replaying the committed
# fuzz corpus: bash scripts/fuzz_coverage.sh
# Writes build/coverage/fuzz_coverage.txt and build/coverage/fuzz_coverage.html.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh coverage
cmake --preset coverage >/dev/null
nice cmake --build --preset coverage --target fuzz_test
find build/coverage -name '*.gcda' -delete
build/coverage/tests/fuzz_test
filters=(core/backup/ core/file/zipfile.cc core/file/resource_archive.cc core/common/messages.cc
         core/file/chroot.cc core/common/utf8.cc core/common/file_name.cc)
args=()
for f in "${filters[@]}"; do args+=(--filter "$f"); done
gcovr -r . build/coverage "${args[@]}" --txt build/coverage/fuzz_coverage.txt \
  --html-details build/coverage/fuzz_coverage.html
cat build/coverage/fuzz_coverage.txt
