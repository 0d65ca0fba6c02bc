"""Shared helpers of the Python module's tests: the built programs (from CTest's environment), the
bundled folders, and runs of the program to compare against."""

import os
import pathlib
import shutil
import struct
import subprocess

import pytest

SOURCE_DIR = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = SOURCE_DIR / "examples" / "night"
CONFORMANCE = SOURCE_DIR / "tests" / "data" / "conformance"
LISTING = "DirListingCalstars.txt"

# The example folder and every conformance case: (id, folder of CALSTARS files).
FOLDERS = [("example", EXAMPLES)] + [
    (case.name, case / "input") for case in sorted(CONFORMANCE.iterdir()) if (case / "input").is_dir()
]


def built_program(variable):
    """The path of a built program that CTest names in `variable`; the test fails without it."""
    path = os.environ.get(variable)
    if not path:
        pytest.fail(f"{variable} is not set: run these tests through ctest")
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
