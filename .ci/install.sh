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

# Prints the folder of Highway's sources, unpacked (with Debian's patches) from the source package of
# the system's libhwy-dev into build/highway-source, once. The static, cross and Windows builds
# compile the library from it (CALSTARS2FP_HIGHWAY_SOURCE): Debian ships Highway as a shared library
# for the build machine's architectures only. Adds the source lists of the machine's Debian suites
# when apt has none.
highway_source() {
  local folder=build/highway-source
  if ! ls -d "${folder}"/highway-*/ > /dev/null 2>&1; then
    if ! grep -Eqs '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/*; then
      if [ -f /etc/apt/sources.list.d/debian.sources ]; then
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > /etc/apt/sources.list.d/calstars2fp-sources.sources
      else
        sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > /etc/apt/sources.list.d/calstars2fp-sources.list
      fi
      apt-get update -qq
    fi
    install_packages dpkg-dev
    rm -rf "${folder}" && mkdir -p "${folder}"
    (cd "${folder}" && apt-get source -qq highway > /dev/null 2>&1) || { echo "apt-get source highway failed" >&2; return 1; }
  fi
  realpath "$(ls -d "${folder}"/highway-*/ | head -n 1)"
}
