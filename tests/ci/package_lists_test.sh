#!/usr/bin/env bash
# CI's package lists: an apt-get update that fails (a mirror changing an index mid-download) is tried
# again, and a stage goes on with the lists it has when it keeps failing; the install step decides.
# Runs .ci/install.sh's update_package_lists against a stand-in apt-get, without waiting.
#
#   package_lists_test.sh <source folder>
set -uo pipefail
source "$1/.ci/install.sh"
work=$(mktemp -d)
trap 'rm -rf "${work}"' EXIT
PATH="${work}:${PATH}"
sleep() { :; }

failures=0
# case: <failing attempts before a success (99: never)> <expected attempts>
for case in "0 1" "1 2" "3 4" "99 4"; do
  read -r failing expected <<< "${case}"
  echo 0 > "${work}/count"
  cat > "${work}/apt-get" << SCRIPT
#!/usr/bin/env bash
count=\$(( \$(cat "${work}/count") + 1 ))
echo "\${count}" > "${work}/count"
[ "\${count}" -gt ${failing} ] || { echo "E: File has unexpected size (mirror sync in progress?)" >&2; exit 100; }
SCRIPT
  chmod +x "${work}/apt-get"
  update_package_lists > /dev/null 2>&1
  status=$?
  attempts=$(cat "${work}/count")
  if [ "${status}" -eq 0 ] && [ "${attempts}" -eq "${expected}" ]; then
    echo "ok: ${failing} failing updates: ${attempts} attempts, the stage goes on"
  else
    echo "FAILED: ${failing} failing updates: status ${status}, ${attempts} attempts (expected 0, ${expected})"
    failures=$(( failures + 1 ))
  fi
done
exit $(( failures > 0 ))
