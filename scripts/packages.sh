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

# dpkg-dev and file: the package target (CPack's DEB generator runs dpkg-shlibdeps and file);
# help2man: the manual page.
BUILD_PACKAGES=(cmake make g++ pkg-config libsnmp-dev libfccp-dev libxml2-dev libssl-dev snmpd snmp dpkg-dev
  file help2man)
# mount and iproute2: tests in private mount and network namespaces (a minimal system has neither);
# lintian, bash-completion, man-db: the package test.
TEST_PACKAGES=(libgtest-dev clang libclang-rt-14-dev python3 locales parallel mount iproute2 lintian
  bash-completion man-db)
