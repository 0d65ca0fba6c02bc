# Sourced by the stage scripts: updates the package lists and installs the Debian packages that are
# missing (.ci/run has updated the package lists already).

# A mirror being synced can change an index while it is downloaded, and apt-get update then exits
# non-zero though every other list is fresh. Tries a few times and goes on with the lists it has:
# whether what a stage needs can be installed is for install_packages to find out.
update_package_lists() {
  local attempt
  for attempt in 1 2 3 4; do
    apt-get update -qq && return 0
    echo "apt-get update failed (attempt ${attempt} of 4)"
    [ "${attempt}" -lt 4 ] && sleep $(( attempt * 15 ))
  done
  echo "going on with the package lists as they are"
  return 0
}

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
