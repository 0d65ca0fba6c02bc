#!/usr/bin/env bash
# The viewer and the packages: fpview's tests (fitsverify included), cmake --install, and the Debian
# packages (the programs, and the Python package), which must install with dpkg -i, run (the Python
# package imported by the system's Python, with its version), and remove cleanly.
set -euo pipefail
cd "$(dirname "$0")/.."
source .ci/install.sh
install_packages cmake ninja-build libhwy-dev g++ libgtest-dev pkg-config libpng-dev libcfitsio-dev fitsverify dpkg-dev file \
  python3-dev pybind11-dev python3-numpy

# The Linux stage's build, when it ran first: the same configuration, nothing to build again.
build=build/ci
cmake -S . -B "${build}" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCALSTARS2FP_VIEWER=ON -DCALSTARS2FP_PYTHON=ON
cmake --build "${build}"
ctest --test-dir "${build}" --output-on-failure -j2 -L viewer

# cmake --install puts both programs and their manual pages under the prefix.
stage=$(mktemp -d)
trap 'rm -rf "${stage}"' EXIT
cmake --install "${build}" --prefix "${stage}/usr" > /dev/null
for file in bin/calstars2fp bin/fpview share/man/man1/calstars2fp.1.gz share/man/man1/fpview.1.gz \
  share/calstars2fp/calstars2fp-array.sbatch share/doc/calstars2fp/copyright; do
  test -f "${stage}/usr/${file}" || { echo "cmake --install did not install ${file}"; exit 1; }
done
# ... and the Python package, with its metadata, where the system's Python finds it under a prefix
# other than /usr (which takes lib/python3/dist-packages, as the Debian package below).
python_dir=$(/usr/bin/python3 -c 'import sys; print("lib/python%d.%d/dist-packages" % sys.version_info[:2])')
ls "${stage}/usr/${python_dir}"/calstars2fp/_core.cpython-*.so "${stage}/usr/${python_dir}"/calstars2fp/{__init__.py,_core.pyi,py.typed} \
  "${stage}/usr/${python_dir}"/calstars2fp-*.dist-info/METADATA > /dev/null

# The Debian packages: installed with dpkg -i, the programs run from the PATH on the example folder,
# the Python package imported, then both removed again.
(cd "${build}" && cpack -G DEB > /dev/null)
package=$(ls "${build}"/calstars2fp_*.deb)
python_package=$(ls "${build}"/python3-calstars2fp_*.deb)
dpkg-deb -f "${package}" Depends
dpkg-deb -f "${python_package}" Depends
dpkg -i "${package}" "${python_package}"
test "$(command -v calstars2fp)" = /usr/bin/calstars2fp
calstars2fp --version
fpview --help > /dev/null
cp -r examples/night "${stage}/night"
calstars2fp "${stage}/night" > /dev/null
(cd / && /usr/bin/python3 -c "import calstars2fp, importlib.metadata, sys; print(calstars2fp.__file__); \
  assert importlib.metadata.version('calstars2fp') == calstars2fp.__version__; \
  sys.exit(calstars2fp.read_fourproduct(sys.argv[1]).planes.shape != (4, 480, 640))" \
  "${stage}/night/IMG_C01_20140101_210000_0001.bin")
fpview --out "${stage}/exports" "${stage}/night"
fitsverify -q -e "${stage}"/exports/*.fits
dpkg -r python3-calstars2fp calstars2fp
if /usr/bin/python3 -c "import calstars2fp" 2> /dev/null; then echo "the Python package is still there after dpkg -r"; exit 1; fi
for program in /usr/bin/calstars2fp /usr/bin/fpview; do
  if test -e "${program}"; then echo "${program} still there after dpkg -r"; exit 1; fi
done
test -z "$(git status --porcelain)" || { echo "the viewer stage left the tree dirty"; git status --porcelain; exit 1; }
