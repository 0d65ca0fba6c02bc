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
