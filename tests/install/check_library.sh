#!/usr/bin/env bash
# Checks the Java library as a Java developer gets it from an installed tree:
# - share/java holds the library jar, the module quenlab.hopwarbler that exports its one package
#   and requires nothing beyond the JDK, apart from the tool jar;
# - share/maven-repo holds both as Maven artifacts, with the library's sources and API
#   documentation, laid out as Debian lays out /usr/share/maven-repo;
# - a program compiled against the library jar on the module path runs, loading the native
#   library from inside the jar;
# - jlink builds a runtime image of that program and the library, and the image runs it;
# - an offline Maven build of the same program resolves the library and the tool, with the
#   tool's Debian dependencies, from that repository beside Debian's own, without a warning.
#
#   check_library.sh --build BUILD_DIR VERSION   installs the build into a temporary prefix first
#   check_library.sh --prefix PREFIX VERSION     checks a tree installed there (/usr: the package)
set -euo pipefail

usage="usage: check_library.sh --build BUILD_DIR VERSION | --prefix PREFIX VERSION"
mode=${1:?$usage}
where=${2:?$usage}
version=${3:?$usage}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
case $mode in
  --build)
    prefix=$tmp/prefix
    cmake --install "$where" --prefix "$prefix" >"$tmp/install.log"
    ;;
  --prefix) prefix=$where ;;
  *) echo "$usage" >&2; exit 2 ;;
esac

status=0
fail() {
  echo "check_library.sh: $*" >&2
  status=1
}
finish() {
  ((status == 0)) || exit 1
}

group=quenlab/hopwarbler
java_dir=$prefix/share/java
repo=$prefix/share/maven-repo
library=$java_dir/hopwarbler-lib-$version.jar
tool=$java_dir/hopwarbler-$version.jar

# The jars, and each artifact under its version and under 'debian', its jar a link to the one in
# share/java.
[[ -f $library && $(readlink "$java_dir/hopwarbler-lib.jar") == "hopwarbler-lib-$version.jar" ]] ||
  fail "no $library with its link hopwarbler-lib.jar"
for artifact in hopwarbler-lib:$library hopwarbler:$tool; do
  jar=${artifact#*:}
  artifact=${artifact%%:*}
  for v in "$version" debian; do
    base=$repo/$group/$artifact/$v/$artifact-$v
    [[ $(readlink -f "$base.jar") == $(readlink -f "$jar") ]] ||
      fail "$base.jar does not lead to $jar"
    coordinates=$(grep -m 3 -o -E '<(groupId|artifactId|version)>[^<]*' "$base.pom" 2>/dev/null |
      sed 's/.*>//' | paste -sd:)
    [[ $coordinates == "quenlab.hopwarbler:$artifact:$v" ]] ||
      fail "$base.pom names '$coordinates', not quenlab.hopwarbler:$artifact:$v"
  done
done
for classifier in sources:module-info.java javadoc:index.html; do
  entry=${classifier#*:}
  classifier=${classifier%%:*}
  classified=$repo/$group/hopwarbler-lib/$version/hopwarbler-lib-$version-$classifier.jar
  grep -qx "$entry" <<<"$(jar --list --file "$classified" 2>&1)" || fail "$classified lacks $entry"
  [[ $(readlink -f "$repo/$group/hopwarbler-lib/debian/hopwarbler-lib-debian-$classifier.jar") == \
    "$(readlink -f "$classified")" ]] || fail "no debian link to $classified"
done
finish

# The module: its name and version, its one export, and no module required beyond the JDK's
# java.desktop (javax.sound.sampled); the tool's classes stay in the tool jar and the library's
# in the library jar.
module=$(jar --describe-module --file "$library")
grep -q "^quenlab.hopwarbler@$version " <<<"$module" ||
  fail "not the module quenlab.hopwarbler@$version: $module"
grep -qx "exports quenlab.hopwarbler" <<<"$module" ||
  fail "no export of quenlab.hopwarbler: $module"
requires=$(grep '^requires' <<<"$module" | sort | paste -sd,)
[[ $requires == "requires java.base mandated,requires java.desktop transitive" ]] ||
  fail "the module requires $requires"
! grep -q '^quenlab/hopwarbler/cli/' <<<"$(jar --list --file "$library")" ||
  fail "the library jar carries the tool's classes"
tool_entries=$(jar --list --file "$tool")
! grep -q -e '^quenlab/hopwarbler/[A-Za-z]*\.class' -e 'native/' <<<"$tool_entries" ||
  fail "the tool jar carries the library's classes"
finish

# The consumer program prints "frames N peak P": one second at speed 2 is 22050 frames, and the
# sine keeps its peak of 8192 within 1 dB.
expect_run() {
  local what=$1 out
  shift
  out=$("$@" 2>&1) || { fail "$what failed: $out"; return; }
  local frames peak
  read -r _ frames _ peak <<<"$out"
  if [[ $frames == 22050 ]] && ((peak >= 7301 && peak <= 9192)); then
    echo "check_library.sh: $what: $out"
  else
    fail "$what printed '$out', not 22050 frames at a peak of 8192 +-1 dB"
  fi
}
consumer_sources=("$here/consumer/module-info.java"
  "$here/consumer/hopwarbler/consumer/ProcessBlock.java")
main=hopwarbler.consumer/hopwarbler.consumer.ProcessBlock
clean_env=(env -u CLASSPATH -u JAVA_TOOL_OPTIONS -u JDK_JAVA_OPTIONS -u _JAVA_OPTIONS)
mkdir "$tmp/empty"

"${clean_env[@]}" javac --release 17 -Xlint:all -Werror -d "$tmp/consumer" \
  --module-path "$java_dir/hopwarbler-lib.jar" "${consumer_sources[@]}" ||
  fail "the consumer does not compile against the library module"
finish
expect_run "the consumer on the module path" "${clean_env[@]}" java \
  -Djava.library.path="$tmp/empty" --module-path "$java_dir/hopwarbler-lib.jar:$tmp/consumer" \
  -m "$main"

java_home=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
"${clean_env[@]}" jlink --module-path "$library:$tmp/consumer:$java_home/jmods" \
  --add-modules hopwarbler.consumer --output "$tmp/image" >"$tmp/jlink.log" 2>&1 ||
  fail "jlink refused the library: $(cat "$tmp/jlink.log")"
finish
expect_run "the consumer in a jlink image" "$tmp/image/bin/java" -Djava.library.path="$tmp/empty" \
  -m "$main"

# The Maven build: offline, with a local repository of links to Debian's and to the installed one,
# depending on the library (which the program uses) and on the tool (whose pom must lead to
# picocli and JLine in Debian's repository).
if ! command -v mvn >/dev/null; then
  fail "mvn not found: install maven (scripts/setup.sh)"
  finish
fi
local_repo=$tmp/m2
mkdir "$local_repo"
cp -rs /usr/share/maven-repo/. "$local_repo"
if [[ $(readlink -f "$repo") != /usr/share/maven-repo ]]; then
  cp -rs --remove-destination "$(readlink -f "$repo")/." "$local_repo"
fi
project=$tmp/project
mkdir -p "$project/src/main"
cp -r "$here/consumer" "$project/src/main/java"
cat >"$project/pom.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<project xmlns="http://maven.apache.org/POM/4.0.0">
  <modelVersion>4.0.0</modelVersion>
  <groupId>hopwarbler.consumer</groupId>
  <artifactId>consumer</artifactId>
  <version>1</version>
  <properties>
    <maven.compiler.release>17</maven.compiler.release>
    <project.build.sourceEncoding>UTF-8</project.build.sourceEncoding>
  </properties>
  <dependencies>
    <dependency>
      <groupId>quenlab.hopwarbler</groupId>
      <artifactId>hopwarbler-lib</artifactId>
      <version>$version</version>
    </dependency>
    <dependency>
      <groupId>quenlab.hopwarbler</groupId>
      <artifactId>hopwarbler</artifactId>
      <version>$version</version>
    </dependency>
  </dependencies>
</project>
EOF
echo '<settings/>' >"$tmp/settings.xml"
(cd "$project" && "${clean_env[@]}" mvn -o -B -s "$tmp/settings.xml" \
  -Dmaven.repo.local="$local_repo" compile >"$tmp/mvn.log" 2>&1) ||
  fail "the offline Maven build failed: $(grep -E 'ERROR|WARNING' "$tmp/mvn.log" | head -n 20)"
# Debian relocates the default versions of Maven's own plugins to the ones it packages, with a
# warning each; any other warning (an invalid or missing pom, say) fails the check.
warnings=$(grep WARNING "$tmp/mvn.log" |
  grep -v 'org[.]apache[.]maven[.]plugins:.* has been relocated to org[.]apache[.]maven' ||
  true)
[[ -z $warnings ]] || fail "the offline Maven build warned: $warnings"
finish
resolved=$local_repo/$group/hopwarbler-lib/$version/hopwarbler-lib-$version.jar
expect_run "the consumer built by Maven" "${clean_env[@]}" java -Djava.library.path="$tmp/empty" \
  --module-path "$project/target/classes:$resolved" -m "$main"

((status == 0)) &&
  echo "check_library.sh: $prefix serves the library $version to javac, jlink and Maven"
exit $status
