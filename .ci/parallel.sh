#!/usr/bin/env bash
# GNU parallel on one machine, as docs/many-nights.md shows it: a tree of generated camera-nights (one bad)
# processed with --bar and --joblog; every good night byte-identical to a plain sequential run, the
# joblog's exit values 0 for the good nights and 1 for the bad one, which the chapter's query lists;
# then the bad night is mended, --resume-failed runs that night alone, and the query lists none.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
source .ci/nights.sh
install_packages cmake ninja-build libhwy-dev g++ parallel

work=$(pwd)/build/parallel
rm -rf "${work}" && mkdir -p "${work}"
make_nights "${work}"
export PATH="${work}/prefix/bin:${PATH}"
cd "${work}"

# Runs at once and --jobs per run: two runs of two workers each, so that the last night left still
# uses both cores (and the parallel path is what this stage checks).
per_run=(--jobs 2)
runs=2
process_tree() {
  find archive -name 'CALSTARS*.txt' -printf '%h\n' | sort -u |
    parallel --will-cite --bar --joblog nights.log "$@" -j "${runs}" calstars2fp "${per_run[@]}" {}
}
status=0
process_tree > first.out 2> first.bar || status=$?
[ "${status}" -eq 1 ] || { echo "parallel ended with ${status}, not 1 (one failed night)"; cat first.out; exit 1; }

# Exit values by night (the joblog's seventh column; the command is the last).
exit_value() { awk -F'\t' -v night="archive/$1" 'NR > 1 && $NF ~ (" " night "$") { print $7 }' nights.log; }
for night in "${GOOD_NIGHTS[@]}"; do
  [ "$(exit_value "${night}")" = 0 ] || { echo "night ${night}: exit value '$(exit_value "${night}")'"; cat nights.log; exit 1; }
  same_as_reference "${work}" "${night}"
done
[ "$(exit_value "${BAD_NIGHT}")" = 1 ] || { echo "bad night: exit value '$(exit_value "${BAD_NIGHT}")'"; cat nights.log; exit 1; }
grep -q "^ ReadCalStarFrame: .* of archive/${BAD_NIGHT}/CALSTARS" first.out || { echo "no message for the bad night"; exit 1; }
# The chapter's query: the commands of the nights whose last line in the joblog failed or was stopped.
failed_nights() {
  awk -F'\t' 'NR > 1 { failed[$9] = ($7 != 0 || $8 != 0) } END { for (c in failed) if (failed[c]) print c }' nights.log | sort
}
[ "$(failed_nights)" = "calstars2fp ${per_run[*]} archive/${BAD_NIGHT}" ] || { echo "the query lists '$(failed_nights)'"; exit 1; }
echo "first pass: 4 nights identical to sequential runs, the bad one failed with its message"

# Mend the bad night (its files again as generated) and re-run only what failed.
rm -f "archive/${BAD_NIGHT}"/*
build_generator="$(cd "${work}/../.." && pwd)/build/ci/make_calstars"
"${build_generator}" "archive/${BAD_NIGHT}" --camera 2 --files 2 --records 3 --rows 60 --cols 80 --stars 10 --seed 5 > /dev/null
mkdir -p "reference/${BAD_NIGHT}"
cp "archive/${BAD_NIGHT}"/CALSTARS* "reference/${BAD_NIGHT}/"
calstars2fp "reference/${BAD_NIGHT}" > /dev/null
find archive -type f ! -name 'CALSTARS*' ! -path "archive/${BAD_NIGHT}/*" -exec stat -c '%n %Y %s' {} + | sort > before.stat
lines_before=$(wc -l < nights.log)
process_tree --resume-failed > second.out 2> second.bar
[ "$(wc -l < nights.log)" -eq $(( lines_before + 1 )) ] || { echo "--resume-failed ran more than one night"; cat nights.log; exit 1; }
tail -n 1 nights.log | grep -q "archive/${BAD_NIGHT}$" || { echo "--resume-failed ran another night"; cat nights.log; exit 1; }
[ "$(tail -n 1 nights.log | cut -f 7)" = 0 ] || { echo "the mended night failed"; cat second.out; exit 1; }
same_as_reference "${work}" "${BAD_NIGHT}"
find archive -type f ! -name 'CALSTARS*' ! -path "archive/${BAD_NIGHT}/*" -exec stat -c '%n %Y %s' {} + | sort | cmp - before.stat
[ -z "$(failed_nights)" ] || { echo "after --resume-failed the query still lists '$(failed_nights)'"; cat nights.log; exit 1; }
echo "--resume-failed: the mended night alone, its files identical to a sequential run's; the query lists none"
