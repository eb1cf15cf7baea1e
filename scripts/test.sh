#!/usr/bin/env bash
# Builds and runs the whole test suite: bash scripts/test.sh [preset]
# Presets: default (RelWithDebInfo), debug, asan, tsan. Installs missing
# Debian build dependencies first.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"

bash scripts/install_deps.sh

cmake --preset "$preset"
cmake --build --preset "$preset"
ctest --preset "$preset"
