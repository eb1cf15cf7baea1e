#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing:
# bash scripts/install_deps.sh [preset]. The fuzz preset also needs clang and
# libFuzzer, the coverage report gcovr.
set -euo pipefail
packages=(cmake ninja-build g++ libicu-dev zlib1g-dev libgtest-dev libbenchmark-dev zip unzip qemu-utils pkg-config
  libfuse3-dev fuse3 fio sqlite3 git rsync tar python3 libaio-dev clang-format-14)
if [ "${1:-}" = fuzz ]; then
  packages+=(clang-14 libclang-rt-14-dev libfuzzer-14-dev)
elif [ "${1:-}" = coverage ]; then
  packages+=(gcovr)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
