"""Shared helpers of the Python module's tests: the package and the built programs, the bundled
folders, and runs of the program to compare against.

Under CTest the environment names the build (PYTHONPATH, CALSTARS2FP_EXE and the like). Run as
`pytest tests/python` from a checkout, the tests take the package this interpreter imports, else the
first build folder's (build/python, build/*/python) that imports here; the programs are those beside
a build's package, or on PATH for an installed one; without them the tests are skipped with the
reason."""

import importlib
import os
import pathlib
import shutil
import struct
import subprocess
import sys

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]


def _find_package():
    """The folder holding the package calstars2fp that this interpreter imports, after putting a
    build folder's on sys.path where none is importable already; None when none imports (the
    reason is then in PACKAGE_MISSING)."""
    global PACKAGE_MISSING
    try:
        return pathlib.Path(importlib.import_module("calstars2fp").__file__).parents[1]
    except ImportError as error:
        PACKAGE_MISSING = f"{PACKAGE_MISSING} ({error})"
    for init in sorted(SOURCE_DIR.glob("build/python/calstars2fp/__init__.py")) + \
            sorted(SOURCE_DIR.glob("build/*/python/calstars2fp/__init__.py")):
        folder = str(init.parents[1])
        sys.path.insert(0, folder)
        try:
            importlib.import_module("calstars2fp")
            return init.parents[1]
        except ImportError as error:
            PACKAGE_MISSING = f"{PACKAGE_MISSING}; {folder}: {error}"
            sys.path.remove(folder)
            for name in [name for name in sys.modules if name == "calstars2fp" or name.startswith("calstars2fp.")]:
                del sys.modules[name]
    return None


PACKAGE_MISSING = (f"calstars2fp is not importable by {sys.executable}, nor from a build folder of this checkout: "
                   "build it (cmake -S . -B build && cmake --build build) or pip install it")
PACKAGE_DIR = _find_package()
# The build folder of a package found in a build (build/<x>/python/calstars2fp): its programs are beside.
BUILD_DIR = PACKAGE_DIR.parent if PACKAGE_DIR is not None and PACKAGE_DIR.name == "python" else None
EXAMPLES = SOURCE_DIR / "examples" / "night"
CONFORMANCE = SOURCE_DIR / "tests" / "data" / "conformance"
LISTING = "DirListingCalstars.txt"

# The example folder and every conformance case: (id, folder of CALSTARS files).
FOLDERS = [("example", EXAMPLES)] + [
    (case.name, case / "input") for case in sorted(CONFORMANCE.iterdir()) if (case / "input").is_dir()
]


PROGRAMS = {"CALSTARS2FP_EXE": "calstars2fp", "FPVIEW_EXE": "fpview", "MAKE_CALSTARS_EXE": "make_calstars"}
# What a missing program needs, for the skip reasons.
NEEDS = {"fpview": " (it is built where libpng and CFITSIO are installed)",
         "make_calstars": " (the generator of a build: no package installs it)"}


def find_program(variable):
    """(path, None) for a program, else (None, why it is missing): as CTest names it in `variable`;
    else beside the package of a build; else, for a package installed (the Debian package, pip), on
    PATH, where the packages put the programs."""
    path = os.environ.get(variable)
    if path:
        return path, None
    name = PROGRAMS[variable]
    if BUILD_DIR is not None:
        if (BUILD_DIR / name).is_file():
            return str(BUILD_DIR / name), None
        return None, f"{name} is not built in {BUILD_DIR}{NEEDS.get(name, '')} and {variable} is not set"
    on_path = shutil.which(name)
    if on_path:
        return on_path, None
    return None, (f"{name} is not on PATH{NEEDS.get(name, '')} and {variable} is not set, "
                  f"for the package in {PACKAGE_DIR}")


def built_program(variable):
    """The path of a program (find_program); the test is skipped without it."""
    path, missing = find_program(variable)
    if path is None:
        pytest.skip(missing)
    return path


def run_program(folder, jobs=1):
    """Runs calstars2fp on `folder`; returns (exit status, lines of standard output)."""
    done = subprocess.run(
        [built_program("CALSTARS2FP_EXE"), "--jobs", str(jobs), str(folder)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=300, check=False)
    return done.returncode, done.stdout.decode("utf-8", "replace").splitlines()


def copy_folder(source, destination):
    """A copy of the CALSTARS files of `source` in a new folder `destination`."""
    shutil.copytree(source, destination)
    return destination


def header_bytes(rows, cols, camera):
    """The four-product header: five little-endian 32-bit words (|first_int| keeps its bit pattern
    where it does not fit: -2^31)."""
    return struct.pack("<4iI", rows, cols, 8, 256, camera % 2**32)


def listed_files(folder):
    """The CALSTARS files of a folder in the order of the listing that a run left there."""
    return [line.rstrip("\r") for line in (folder / LISTING).read_text().splitlines() if line.strip()]


@pytest.fixture(scope="session")
def program_runs(tmp_path_factory):
    """Per folder id: the folder the program processed (--jobs 1) and the names it printed."""
    runs = {}
    for name, source in FOLDERS:
        folder = copy_folder(source, tmp_path_factory.mktemp("program") / name)
        status, lines = run_program(folder)
        assert status == 0, lines
        runs[name] = (folder, lines)
    return runs
