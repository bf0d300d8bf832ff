#!/usr/bin/env bash
# Builds the Debian package and installs it the way a user would, then checks the installed
# tool: `hopwarbler --version` and a short `process` run from the PATH, in a folder outside
# the build tree (tests/install/run_tool.sh), that it starts from the class archive the package
# wrote, and that `man` finds the manual page; and the
# installed Java library: its module in /usr/share/java used by javac, java and jlink, and its
# artifacts in /usr/share/maven-repo by an offline Maven build (tests/install/check_library.sh).
# Needs root, since it installs the package with apt-get. Not part of the default tests.
#
#   scripts/check-package.sh
#
# It removes the package again at the end, unless KEEP_PACKAGE=1: an installed
# /usr/lib/<multiarch>/libhopwarbler.so is on every JVM's java.library.path, so it would take
# the place of the library inside a development jar (NativeInterface tries System.loadLibrary
# before the jar's copy) for every program that does not name its library.
#
# Installs missing build packages first (see scripts/setup.sh). Builds into build/ (or
# $BUILD_DIR).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=common.sh
source "$root/scripts/common.sh"
build=${BUILD_DIR:-$root/build}

if [[ $(id -u) -ne 0 ]]; then
  echo "check-package.sh installs the package with apt-get: run it as root" >&2
  exit 1
fi
"$root/scripts/setup.sh"

export_java_home

cmake -S "$root" -B "$build"
cmake --build "$build" -j2
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb=$build/hopwarbler_${version}_$(dpkg --print-architecture).deb
rm -f "$deb"
(cd "$build" && cpack -G DEB)

work=$(mktemp -d)
cleanup() {
  rm -rf "$work"
  if [[ ${KEEP_PACKAGE:-0} != 1 ]]; then
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -q hopwarbler >/dev/null &&
      echo "check-package.sh: removed the package again (KEEP_PACKAGE=1 keeps it)"
    [[ ! -e /var/cache/hopwarbler ]] || echo "check-package.sh: the purge left /var/cache/hopwarbler" >&2
  fi
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y --reinstall "$deb"
dpkg-query -W -f='${Package} ${Version} ${Status}\n' hopwarbler

launcher=$(command -v hopwarbler) || { echo "hopwarbler is not on PATH" >&2; exit 1; }
# The class archive the package wrote when it was configured, mapped by the installed launcher.
"$root/tests/install/check_class_archive.sh" "$launcher" /usr/libexec/hopwarbler/class-archive
"$root/tests/install/run_tool.sh" "$launcher" "$version" "$work"
if command -v man >/dev/null; then
  man -w hopwarbler
fi
"$root/tests/install/check_library.sh" --prefix /usr "$version"
echo "check-package.sh: $(basename "$deb") installs a working $launcher"
