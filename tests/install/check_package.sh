#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary folder and checks its name, its version,
# its dependencies and that its file list holds the launcher, the jar, the library and the
# manual page. Installing it needs root and apt: scripts/check-package.sh does that.
#
#   check_package.sh BUILD_DIR VERSION C_COMPILER
set -euo pipefail

build=${1:?usage: check_package.sh BUILD_DIR VERSION C_COMPILER}
version=${2:?usage: check_package.sh BUILD_DIR VERSION C_COMPILER}
cc=${3:?usage: check_package.sh BUILD_DIR VERSION C_COMPILER}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp" >"$tmp/cpack.log" ||
  { cat "$tmp/cpack.log" >&2; exit 1; }
deb=$tmp/hopwarbler_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || { echo "no $deb; cpack wrote: $(ls "$tmp")" >&2; exit 1; }

status=0
fail() {
  echo "check_package.sh: $*" >&2
  status=1
}
files=$(dpkg-deb -c "$deb" | awk '{ print $6 }')
libdir=usr/lib/$("$cc" -print-multiarch)
for file in usr/bin/hopwarbler "usr/share/java/hopwarbler-$version.jar" \
  usr/share/java/hopwarbler.jar "$libdir/libhopwarbler.so.$version" \
  usr/share/man/man1/hopwarbler.1 usr/share/bash-completion/completions/hopwarbler \
  usr/share/doc/hopwarbler/copyright; do
  grep -qx "\./$file" <<<"$files" || fail "the package lacks /$file"
done

package_version=$(dpkg-deb -f "$deb" Version)
[[ $package_version == "$version" ]] || fail "the package's version is $package_version"
depends=$(dpkg-deb -f "$deb" Depends)
for package in 'openjdk-17-jre-headless | java17-runtime-headless' libpicocli-java libjline3-java \
  libc6 libstdc++6; do
  grep -qF "$package" <<<"$depends" || fail "Depends lacks $package: $depends"
done

((status == 0)) && echo "check_package.sh: $(basename "$deb") depends on $depends"
exit $status
