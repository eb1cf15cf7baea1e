#!/usr/bin/env bash
# The layer check passes on the tree and fails on a planted upward include.
# Usage: check_layers_test.sh <source root>
set -euo pipefail
source_root=$1
bash "$source_root/scripts/check_layers.sh" "$source_root"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/core/file/unix" "$scratch/core/backup"
printf '#include "core/common/error.h"\n#include "core/file/unix/posix_dir.h"\n' >"$scratch/core/file/chroot.cc"
bash "$source_root/scripts/check_layers.sh" "$scratch"  # downward includes pass
printf '#include "core/file/dir_delegate.h"\n' >"$scratch/core/file/unix/posix_dir.cc"
if bash "$source_root/scripts/check_layers.sh" "$scratch"; then
  echo "an include of core/file from core/file/unix passed the check" >&2
  exit 1
fi
rm "$scratch/core/file/unix/posix_dir.cc"
printf '#include "tools/qmv/qmv_support.h"\n' >"$scratch/core/backup/container_api.cc"
if bash "$source_root/scripts/check_layers.sh" "$scratch"; then
  echo "an include of tools/ from core/ passed the check" >&2
  exit 1
fi
echo "layer check: ok"
