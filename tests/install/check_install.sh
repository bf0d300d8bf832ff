#!/usr/bin/env bash
# Installs the build into a temporary prefix with `cmake --install` and checks what a user gets
# there: the library under lib/<multiarch> with its SONAME and links, the versioned tool jar and
# its unversioned link (check_library.sh checks the library jar and the Maven repository), the
# manual page naming every command, the bash completion, the README and
# the licence; then runs the installed launcher, through a symbolic link from another folder,
# outside the build tree (run_tool.sh), and the installed jar with `java -jar`.
#
#   check_install.sh BUILD_DIR VERSION C_COMPILER
set -euo pipefail

build=${1:?usage: check_install.sh BUILD_DIR VERSION C_COMPILER}
version=${2:?usage: check_install.sh BUILD_DIR VERSION C_COMPILER}
cc=${3:?usage: check_install.sh BUILD_DIR VERSION C_COMPILER}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"

status=0
fail() {
  echo "check_install.sh: $*" >&2
  status=1
}
expect_file() { [[ -f $prefix/$1 ]] || fail "not installed: $1"; }
expect_link() {
  [[ -L $prefix/$1 && $(readlink "$prefix/$1") == "$2" ]] ||
    fail "$1 is not a link to $2 ($(readlink "$prefix/$1" || echo missing))"
}

libdir=lib/$("$cc" -print-multiarch)
major=${version%%.*}
expect_file "$libdir/libhopwarbler.so.$version"
expect_link "$libdir/libhopwarbler.so.$major" "libhopwarbler.so.$version"
expect_link "$libdir/libhopwarbler.so" "libhopwarbler.so.$major"
soname=$(readelf -d "$prefix/$libdir/libhopwarbler.so.$version" |
  sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
[[ $soname == "libhopwarbler.so.$major" ]] ||
  fail "SONAME is '$soname', not libhopwarbler.so.$major"
expect_file "share/java/hopwarbler-$version.jar"
expect_link share/java/hopwarbler.jar "hopwarbler-$version.jar"
[[ -x $prefix/bin/hopwarbler ]] || fail "no executable bin/hopwarbler"
expect_file share/bash-completion/completions/hopwarbler
for doc in README.md LICENSE api/index.html \
  api/quenlab.hopwarbler/quenlab/hopwarbler/Processor.html; do
  expect_file "share/doc/hopwarbler/$doc"
done
((status == 0)) || exit 1

# The launcher through a link, as a user's ~/bin/hopwarbler -> PREFIX/bin/hopwarbler would be.
mkdir "$tmp/links"
ln -s "$prefix/bin/hopwarbler" "$tmp/links/hopwarbler"
"$here/run_tool.sh" "$tmp/links/hopwarbler" "$version" "$tmp/work"

# The commands the installed tool lists in its help, each with a section of the manual page.
page=$prefix/share/man/man1/hopwarbler.1
expect_file share/man/man1/hopwarbler.1
commands=$(cd "$tmp/work" && "$prefix/bin/hopwarbler" --help |
  awk '/^Commands:/ { on = 1; next } on && /^  [a-z]/ { print $1 } on && /^$/ { on = 0 }')
[[ -n $commands ]] || fail "hopwarbler --help lists no commands"
for command in $commands; do
  grep -q "^\.SS \"hopwarbler $command\"" "$page" ||
    fail "the manual page has no section for $command"
done
grep -q "^\.TH \"HOPWARBLER\" \"1\" .*\"hopwarbler $version\"" "$page" ||
  fail "the manual page's title line does not carry version $version"

# Tab after `hopwarbler pro` completes to process.
completion=$(bash -c 'source "$1"; COMP_WORDS=(hopwarbler pro); COMP_CWORD=1
  COMP_LINE="hopwarbler pro"; COMP_POINT=${#COMP_LINE}
  _complete_hopwarbler hopwarbler pro hopwarbler; echo "${COMPREPLY[*]}"' \
  _ "$prefix/share/bash-completion/completions/hopwarbler")
[[ $completion == process ]] || fail "completing 'hopwarbler pro' gave '$completion', not process"

# The tool jar runs by itself: its manifest names the main class, the library jar and the Debian
# jars.
(cd "$tmp/work" &&
  env -u CLASSPATH java -jar "$prefix/share/java/hopwarbler.jar" --help >/dev/null) ||
  fail "java -jar hopwarbler.jar --help failed"

((status == 0)) && echo "check_install.sh: $prefix holds a working hopwarbler $version"
exit $status
