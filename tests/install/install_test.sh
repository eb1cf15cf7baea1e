#!/usr/bin/env bash
# The installed tree serves a host author: installs the build into a temporary
# DESTDIR, builds the example host against it with pkg-config and with
# find_package(zykfs), runs both against the installed library, and checks the
# installed tools, the version they report and the manual pages.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1" source="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$work/dest" cmake --install "$build" --strip --prefix /usr > "$work/install.log"
prefix="$work/dest/usr"
pc=$(find "$prefix" -name zykfs.pc)
[ -n "$pc" ] || fail "no zykfs.pc installed"
export PKG_CONFIG_PATH="${pc%/*}"
library=$(pkg-config --variable=library zykfs)
[ -f "$library" ] || fail "pkg-config names $library, which is not installed"
[ "$(readlink -f "$library")" = "$(readlink -f "${library%.1}")" ] || fail "no development link to the library"

# The example host, built with pkg-config, the library passed by path.
mkdir "$work/tree_pc" "$work/tree_cmake"
# shellcheck disable=SC2046  # pkg-config prints several words
cc -o "$work/host_pc" "$source/tools/example_host/example_host.c" $(pkg-config --cflags --libs zykfs)
"$work/host_pc" "$work/tree_pc" "$library" | grep -q 'holds "hello"' || fail "host built with pkg-config"

# The same host as a CMake project; it finds the library by the package's path.
cmake -S "$source/tests/install/consumer" -B "$work/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$prefix" -DEXAMPLE_HOST_SOURCE="$source/tools/example_host/example_host.c" \
  > "$work/consumer.log" || { cat "$work/consumer.log"; fail "find_package(zykfs)"; }
cmake --build "$work/consumer" > "$work/consumer.log" || { cat "$work/consumer.log"; fail "consumer build"; }
"$work/consumer/example_host" "$work/tree_cmake" | grep -q 'holds "hello"' || fail "host built with CMake"

# The installed tools: each reports the package version; zykfs finds the
# installed library and names a failure's code with its text.
version=$(pkg-config --modversion zykfs)
for tool in zykfs qmv zykfs-fuse; do
  [ -x "$prefix/bin/$tool" ] || { [ "$tool" = zykfs-fuse ] && continue; fail "$tool not installed"; }
  "$prefix/bin/$tool" --version | grep -qx "$tool $version" || fail "$tool --version"
done
status=0
"$prefix/bin/zykfs" "$work/tree_pc" cat missing 2> "$work/err" || status=$?
[ "$status" = 1 ] || fail "zykfs cat missing: status $status"
grep -qF "code 0x02850002 (The named file or directory does not exist.)" "$work/err" || fail "$(cat "$work/err")"

# Every installed manual page renders without a warning.
pages=$(find "$prefix/share/man" -type f | sort)
[ "$(echo "$pages" | wc -l)" -ge 3 ] || fail "manual pages missing: $pages"
for page in $pages; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 > /dev/null)
  [ -z "$warnings" ] || fail "$page: $warnings"
done
echo "install: all checks passed"
