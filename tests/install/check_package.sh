#!/usr/bin/env bash
# Builds the Debian package with cpack into a temporary folder and checks its name, its version,
# its dependencies (the JAR_PACKAGES, the Debian packages of the jars the tool runs with, among
# them), its recommendations and that its file list holds the launcher, both jars, the library,
# the manual page and the Maven repository's poms, links and jars, and the maintainer scripts
# that write the tool's class archive. Installing it needs root and
# apt: scripts/check-package.sh does that.
#
#   check_package.sh BUILD_DIR VERSION C_COMPILER "JAR_PACKAGES..."
set -euo pipefail

usage='usage: check_package.sh BUILD_DIR VERSION C_COMPILER "JAR_PACKAGES..."'
build=${1:?$usage}
version=${2:?$usage}
cc=${3:?$usage}
read -r -a jar_packages <<<"${4:?$usage}"

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
repo=usr/share/maven-repo/quenlab/hopwarbler
expected=(usr/bin/hopwarbler "$libdir/libhopwarbler.so.$version" usr/share/man/man1/hopwarbler.1
  usr/share/bash-completion/completions/hopwarbler usr/share/doc/hopwarbler/copyright
  usr/libexec/hopwarbler/class-archive)
for artifact in hopwarbler hopwarbler-lib; do
  expected+=("usr/share/java/$artifact-$version.jar" "usr/share/java/$artifact.jar")
  for v in "$version" debian; do
    expected+=("$repo/$artifact/$v/$artifact-$v.pom" "$repo/$artifact/$v/$artifact-$v.jar")
  done
done
for classifier in sources javadoc; do
  expected+=("$repo/hopwarbler-lib/$version/hopwarbler-lib-$version-$classifier.jar"
    "$repo/hopwarbler-lib/debian/hopwarbler-lib-debian-$classifier.jar")
done
for file in "${expected[@]}"; do
  grep -qx "\./$file" <<<"$files" || fail "the package lacks /$file"
done

# The maintainer scripts that write and remove the tool's class archive, and their triggers.
control=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t)
for script in postinst postrm triggers; do
  grep -qx "\./$script" <<<"$control" || fail "the package has no $script"
done

package_version=$(dpkg-deb -f "$deb" Version)
[[ $package_version == "$version" ]] || fail "the package's version is $package_version"
depends=$(dpkg-deb -f "$deb" Depends)
for package in 'openjdk-17-jre-headless | java17-runtime-headless' libpicocli-java libjline3-java \
  "${jar_packages[@]}" libc6 libstdc++6; do
  grep -qF "$package" <<<"$depends" || fail "Depends lacks $package: $depends"
done
# The decoders the tool runs as programs, which it can do without.
recommends=$(dpkg-deb -f "$deb" Recommends)
[[ $recommends == "flac, opus-tools, ffmpeg, mpg123" ]] ||
  fail "Recommends is '$recommends', not flac, opus-tools, ffmpeg, mpg123"

((status == 0)) &&
  echo "check_package.sh: $(basename "$deb") depends on $depends; recommends $recommends"
exit $status
