# Sourced by the stage scripts: installs the Debian packages that are missing (.ci/run has updated the
# package lists already).
install_packages() {
  local missing=()
  for package in "$@"; do
    dpkg -s "${package}" > /dev/null 2>&1 || missing+=("${package}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" > /dev/null
}
