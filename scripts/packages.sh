# Sourced by the scripts: installs the Debian packages named in its arguments
# that are not installed yet (as root, or through sudo).
install_missing_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

BUILD_PACKAGES=(cmake make g++ pkg-config libsnmp-dev libfccp-dev libxml2-dev libssl-dev snmpd snmp dpkg-dev help2man)
TEST_PACKAGES=(libgtest-dev clang libclang-rt-14-dev python3 locales parallel lintian bash-completion man-db)
