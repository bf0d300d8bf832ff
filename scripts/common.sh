# Shell functions the scripts in this folder share; sourced, not run.

# Installs the Debian packages named that the machine lacks, with apt-get, when
# run as root; otherwise names them and fails. `who` is the calling script's name,
# for the message.
install_missing() {
  local who=$1
  shift
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) -eq 0 ]]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
  else
    echo "$who: missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
}

# CMake's JNI lookup wants the JDK's home; takes it from javac when it is not set.
export_java_home() {
  if [[ -z ${JAVA_HOME:-} ]] && command -v javac >/dev/null; then
    JAVA_HOME=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
    export JAVA_HOME
  fi
}
