#!/usr/bin/env bash
# Fails when a tracked C or C++ source is not formatted as .clang-format says.
# Usage: bash scripts/check_format.sh
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format-14 >/dev/null || { echo "clang-format-14 is missing (scripts/install_deps.sh)" >&2; exit 1; }
git ls-files -z '*.c' '*.cc' '*.h' ':!:tests/fuzz/corpus/**' | xargs -0 -r clang-format-14 --dry-run -Werror
