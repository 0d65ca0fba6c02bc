# Sourced by the many-nights stages (slurm.sh, parallel.sh): builds and installs the program, then
# generates camera-nights of different sizes and one bad night, with the files a plain sequential
# run writes for each good night as the reference.
#   make_nights <work folder>   -> <work>/prefix/bin/calstars2fp, <work>/archive/<camera>/<night>/,
#                                  <work>/reference/<camera>/<night>/, GOOD_NIGHTS, BAD_NIGHT
make_nights() {
  local work=$1
  # The Linux stage's build when it ran first: nothing to build again (the programs are the same
  # whatever else that build holds).
  cmake -S . -B build/ci -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
  cmake --build build/ci > /dev/null
  cmake --install build/ci --component tools --prefix "${work}/prefix" > /dev/null
  local generate=build/ci/make_calstars
  rm -rf "${work}/archive" "${work}/reference"
  mkdir -p "${work}/archive/C01/20140101" "${work}/archive/C01/20140102" "${work}/archive/C02/20140101" \
    "${work}/archive/C02/20140102" "${work}/archive/C03/20140101"
  "${generate}" "${work}/archive/C01/20140101" --camera 1 --files 1 --records 3 --rows 120 --cols 160 --seed 1 > /dev/null
  "${generate}" "${work}/archive/C01/20140102" --camera 1 --files 2 --records 6 --rows 60 --cols 80 --stars 12 --seed 2 > /dev/null
  "${generate}" "${work}/archive/C02/20140101" --camera 2 --files 3 --records 2 --rows 240 --cols 320 --stars 40 --seed 3 > /dev/null
  "${generate}" "${work}/archive/C03/20140101" --camera 3 --files 1 --records 12 --rows 30 --cols 40 --stars 5 --seed 4 > /dev/null
  # The bad night: its second file stops inside a record's star lines.
  "${generate}" "${work}/archive/C02/20140102" --camera 2 --files 2 --records 3 --rows 60 --cols 80 --stars 10 --seed 5 > /dev/null
  local cut
  cut=$(ls "${work}/archive/C02/20140102"/CALSTARS* | tail -n 1)
  head -n 30 "${cut}" > "${cut}.cut" && mv "${cut}.cut" "${cut}"
  GOOD_NIGHTS=(C01/20140101 C01/20140102 C02/20140101 C03/20140101)
  BAD_NIGHT=C02/20140102
  local night
  for night in "${GOOD_NIGHTS[@]}"; do
    mkdir -p "${work}/reference/${night}"
    cp "${work}/archive/${night}"/CALSTARS* "${work}/reference/${night}/"
    build/ci/calstars2fp "${work}/reference/${night}" > "${work}/reference/${night}.out"
  done
}

# Compares a night's folder with its reference: the same files (the listing aside), byte for byte.
same_as_reference() {
  local work=$1 night=$2
  diff <(cd "${work}/reference/${night}" && ls) <(cd "${work}/archive/${night}" && ls) ||
    { echo "night ${night}: other files than the sequential run's"; return 1; }
  local name
  for name in $(cd "${work}/reference/${night}" && ls); do
    cmp "${work}/reference/${night}/${name}" "${work}/archive/${night}/${name}" || { echo "night ${night}: ${name} differs"; return 1; }
  done
}

# Removes every output of the nights, leaving the CALSTARS files.
clear_outputs() {
  local work=$1
  find "${work}/archive" -type f ! -name 'CALSTARS*' -delete
}
