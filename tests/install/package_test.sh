#!/usr/bin/env bash
# The Debian package holds the library, header, tools, manual pages, pkg-config
# and CMake files under /usr and lists the library's dependencies.
# Usage: package_test.sh BUILD_DIR VERSION
set -euo pipefail
build="$1" version="$2"
command -v dpkg-deb > /dev/null && command -v dpkg-shlibdeps > /dev/null || {
  echo "SKIP: dpkg-deb or dpkg-shlibdeps missing (package dpkg-dev)"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" > "$work/cpack.log" || { cat "$work/cpack.log"; fail cpack; }
deb=$(find "$work" -maxdepth 1 -name '*.deb')
[ -n "$deb" ] || fail "no package made"
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for wanted in 'usr/lib/.*libzyk_backend_local\.so\.1$' 'usr/include/zykfs/zykfs\.h$' 'usr/bin/zykfs$' \
              'usr/bin/qmv$' 'usr/share/man/man1/zykfs\.1' 'usr/share/man/man1/qmv\.1' \
              'usr/share/man/man3/zykfs\.h\.3' 'usr/lib/.*pkgconfig/zykfs\.pc$' 'usr/lib/.*cmake/zykfs/zykfsConfig\.cmake$'; do
  echo "$contents" | grep -q "$wanted" || fail "package lacks $wanted"
done
if [ -x "$build/tools/zykfs-fuse" ]; then  # built where libfuse3 is installed
  for wanted in 'usr/bin/zykfs-fuse$' 'usr/share/man/man1/zykfs-fuse\.1'; do
    echo "$contents" | grep -q "$wanted" || fail "package lacks $wanted"
  done
fi
echo "$contents" | grep -v '^\./$' | grep -qv '^\./usr/' && fail "files outside /usr: $contents"
[ "$(dpkg-deb --field "$deb" Version)" = "$version" ] || fail "package version"
depends=$(dpkg-deb --field "$deb" Depends)
for library in libc6 libicu zlib1g libstdc++; do
  [[ "$depends" == *"$library"* ]] || fail "dependencies lack $library: $depends"
done
echo "package: $(basename "$deb") passed"
