#!/usr/bin/env bash
# The Python package as its users install it, after the Linux stage's build (its programs are the
# reference the tests compare with): pip install of the source tree into a fresh venv, offline
# against the system's pybind11 and NumPy; then, outside the source tree, the import, the version,
# the module's tests and doctests against the installed copy, mypy on a typed example, and pip
# uninstall. Then pip wheel and an editable install (pip install -e), which reuse that install's
# build folder (build/editable) and so compile nothing again: the editable package imports from
# another folder, its Python files are the source's, and the tree stays clean. Then the Debian
# packages: the split, their fields, the Python package's files imported from an unpacked copy, and
# lintian on both.
# Usage: .ci/python_package.sh <build folder with calstars2fp, make_calstars and fpview>
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
build="${root}/$1"
python=/usr/bin/python3
scratch=$(mktemp -d)
trap 'rm -rf "${scratch}"' EXIT
# Readable by all: the permission test reruns the interpreter as an unprivileged user.
chmod 755 "${scratch}"
version=$(sed -n 's/^project(calstars2fp VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
python_version=$("${python}" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

echo "--- pip install --no-build-isolation into a fresh venv"
tree_before=$(git status --porcelain)
tree_unchanged() { [ "$(cd "${root}" && git status --porcelain)" = "${tree_before}" ] ||
  { echo "$1 changed the tree"; (cd "${root}" && git status --porcelain); exit 1; }; }
"${python}" -m venv --system-site-packages "${scratch}/venv"
venv_python="${scratch}/venv/bin/python"
# Built in the editable install's folder, so that pip wheel and pip install -e below reuse the build.
shared_build=(--config-settings "build-dir=${root}/build/editable")
CMAKE_BUILD_PARALLEL_LEVEL=2 "${venv_python}" -m pip install --no-build-isolation --no-index --quiet "${shared_build[@]}" "${root}"
tree_unchanged "pip install"

cd "${scratch}"
installed=$("${venv_python}" -c 'import calstars2fp, importlib.metadata as m; print(calstars2fp.__file__, m.version("calstars2fp"))')
echo "${installed}"
[[ "${installed}" == "${scratch}/venv/"*"/site-packages/calstars2fp/__init__.py ${version}" ]] ||
  { echo "not the venv's package of version ${version}"; exit 1; }

echo "--- the module's tests and doctests against the installed package"
CALSTARS2FP_EXE="${build}/calstars2fp" MAKE_CALSTARS_EXE="${build}/make_calstars" FPVIEW_EXE="${build}/fpview" \
  PYTHONDONTWRITEBYTECODE=1 "${venv_python}" -m pytest -q -p no:cacheprovider -rs "${root}/tests/python"

echo "--- mypy against the installed package's types"
"${venv_python}" -m mypy --strict --cache-dir "${scratch}/mypy" "${root}/tests/python/typed_example.py"
# A wrong use is caught: the stub's types are read, not taken as Any.
if "${venv_python}" -m mypy --cache-dir "${scratch}/mypy" -c 'import calstars2fp
path: int = calstars2fp.read_calstars("x").path' > "${scratch}/mypy.out"; then
  echo "mypy accepted a str as an int"; exit 1
fi
grep -q 'Incompatible types in assignment (expression has type "str", variable has type "int")' "${scratch}/mypy.out"

echo "--- pip uninstall"
"${venv_python}" -m pip uninstall --yes --quiet calstars2fp
if "${venv_python}" -c 'import calstars2fp' 2> /dev/null; then echo "still importable after pip uninstall"; exit 1; fi
[ -z "$(ls "${scratch}"/venv/lib/python*/site-packages | grep -i calstars2fp || true)" ] ||
  { echo "pip uninstall left files"; ls "${scratch}"/venv/lib/python*/site-packages; exit 1; }

echo "--- pip wheel, offline: --no-deps, since NumPy comes from the system and not from an index"
"${venv_python}" -m pip wheel --no-build-isolation --no-index --no-deps --quiet "${shared_build[@]}" -w "${scratch}/wheels" "${root}"
ls "${scratch}"/wheels/calstars2fp-"${version}"-*.whl
tree_unchanged "pip wheel"

echo "--- pip install -e: an editable install, imported from another folder"
"${venv_python}" -m pip install --no-build-isolation --no-index --quiet -e "${root}"
tree_unchanged "pip install -e"
editable=$(cd "${scratch}" && "${venv_python}" -c 'import os, calstars2fp, importlib.metadata as m
print(calstars2fp.__file__, os.path.realpath(calstars2fp.__file__), m.version("calstars2fp"), calstars2fp.draw(
    {"row": [20.0], "col": [20.0], "intensity": [1800]}, (32, 32), 9, level=5).shape)')
echo "${editable}"
[ "${editable}" = "${root}/build/editable/python-editable/calstars2fp/__init__.py ${root}/src/python/calstars2fp/__init__.py ${version} (4, 32, 32)" ] ||
  { echo "not the editable package of the source tree"; exit 1; }
(cd "${scratch}" && "${venv_python}" -m mypy --strict --cache-dir "${scratch}/mypy-editable" "${root}/tests/python/typed_example.py")
"${venv_python}" -m pip uninstall --yes --quiet calstars2fp
if (cd "${scratch}" && "${venv_python}" -c 'import calstars2fp' 2> /dev/null); then echo "editable still importable"; exit 1; fi
tree_unchanged "the editable install"

echo "--- the Debian packages"
cd "${build}"
rm -f ./*.deb
cpack -G DEB > /dev/null
tools_package=$(ls calstars2fp_"${version}"_*.deb)
python_package=$(ls python3-calstars2fp_"${version}"_*.deb)
dpkg-deb -I "${python_package}"
field() { dpkg-deb -f "$1" "$2"; }
next_minor=$("${python}" -c 'import sys; print("%d.%d" % (sys.version_info[0], sys.version_info[1] + 1))')
depends=$(field "${python_package}" Depends)
for needed in "python3 (>= ${python_version}~)" "python3 (<< ${next_minor})" "python3-numpy"; do
  [[ ", ${depends}," == *", ${needed},"* ]] || { echo "${python_package}: Depends '${depends}' lacks '${needed}'"; exit 1; }
done
[[ "$(field "${tools_package}" Depends)" != *python* ]] || { echo "${tools_package} depends on Python"; exit 1; }
tools_files=$(dpkg-deb -c "${tools_package}")
python_files=$(dpkg-deb -c "${python_package}")
[[ "${tools_files}" == *" ./usr/bin/calstars2fp"* && "${tools_files}" != *calstars2fp/__init__.py* ]] ||
  { echo "${tools_package}: not the programs alone"; exit 1; }
[[ "${python_files}" != *"./usr/bin/"* && "${python_files}" == *" ./usr/lib/python3/dist-packages/calstars2fp/py.typed"* ]] ||
  { echo "${python_package}: not the Python package alone"; exit 1; }
# Unpacked into a clean root: the package's folder imports with the interpreter it names.
dpkg-deb -x "${python_package}" "${scratch}/root"
site=$(dirname "$(find "${scratch}/root" -name __init__.py -path '*/calstars2fp/*')")
(cd "${scratch}" && PYTHONPATH=$(dirname "${site}") "${python}" -c \
  "import calstars2fp, importlib.metadata as m; assert calstars2fp.__file__.startswith('${scratch}/root/'); assert m.version('calstars2fp') == '${version}'")

echo "--- lintian on both packages"
# Fails on any error or warning. The informational tags it leaves (shown with --display-info):
# - binary-has-unneeded-section .comment: CPack strips the programs and the module with plain strip,
#   which keeps the compiler's version string (a few dozen bytes) that Debian's own tools remove.
# - hardening-no-fortify-functions, hardening-no-bindnow: the project builds with its own flags; a
#   distribution's build adds its hardening flags (dpkg-buildflags) through CXXFLAGS and LDFLAGS.
for package in "${tools_package}" "${python_package}"; do
  status=0
  lintian --fail-on error,warning --display-info "${package}" > "${scratch}/lintian.out" 2>&1 || status=$?
  grep -v '^running with root privileges' "${scratch}/lintian.out" || true
  [ "${status}" -eq 0 ] || { echo "lintian: ${package} has errors or warnings (status ${status})"; exit 1; }
done
rm -f ./*.deb
echo "--- the Python package: installed, tested, typed, removed, installed editable, packaged and linted"
