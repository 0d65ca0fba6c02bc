"""Python's error model: every failure is a calstars2fp.Error whose message is the program's line, and
also Python's own class (an OSError subclass with errno and filename for the system's failures, a
ValueError with filename and lineno for refused content, MemoryError); paths are str, bytes or
os.PathLike, names that are not UTF-8 come back as os.fsdecode gives them, and warning lines go
through warnings.warn."""

import errno
import os
import pathlib
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import run_program
from test_bad_inputs import INPUT, text


def read_both(path):
    """Reads a CALSTARS file to its end, then the same path as a four-product file."""
    for _ in calstars2fp.read_calstars(path):
        pass


def calstars_path(tmp_path, kind):
    """A path of the given kind for the CALSTARS reader."""
    if kind == "missing":
        return tmp_path / "CALSTARS_none.txt"
    if kind == "folder":
        (tmp_path / "CALSTARS_dir.txt").mkdir()
        return tmp_path / "CALSTARS_dir.txt"
    if kind == "fifo":
        os.mkfifo(tmp_path / "CALSTARS_fifo.txt")
        return tmp_path / "CALSTARS_fifo.txt"
    if kind == "device":
        return pathlib.Path("/dev/zero")
    if kind == "under a file":
        (tmp_path / "plain").write_text("x")
        return tmp_path / "plain" / "CALSTARS_x.txt"
    raise AssertionError(kind)


# (kind, built-in class, errno, the program's line with {path} for the path)
OS_FAILURES = [
    ("missing", FileNotFoundError, errno.ENOENT, "Cannot open Cal Star Extraction file {path} for reading"),
    ("folder", IsADirectoryError, errno.EISDIR, "Cal Star Extraction file {path} is a folder"),
    ("fifo", OSError, None, "Cal Star Extraction file {path} is not a regular file"),
    ("device", OSError, None, "Cal Star Extraction file {path} is not a regular file"),
    ("under a file", NotADirectoryError, errno.ENOTDIR, "Cannot open Cal Star Extraction file {path} for reading"),
]


@pytest.mark.parametrize("kind, builtin, code, line", OS_FAILURES, ids=[case[0] for case in OS_FAILURES])
@pytest.mark.parametrize("as_type", [str, bytes, pathlib.Path])
def test_reader_failures_are_oserrors_with_errno_and_filename(tmp_path, kind, builtin, code, line, as_type):
    path = calstars_path(tmp_path, kind)
    argument = os.fsencode(path) if as_type is bytes else as_type(path)
    # A FIFO or a device is refused before it is opened: the call neither blocks nor reads for ever.
    with pytest.raises(calstars2fp.Error) as raised:
        calstars2fp.read_calstars(argument)
    error = raised.value
    assert isinstance(error, builtin) and isinstance(error, OSError)
    assert error.errno == code
    assert error.filename == str(path)
    assert str(error) == line.format(path=path)


@pytest.mark.parametrize("kind", ["missing", "folder", "fifo"])
def test_four_product_reader_failures_are_oserrors(tmp_path, kind):
    path = calstars_path(tmp_path, kind)
    with pytest.raises(calstars2fp.Error) as raised:
        calstars2fp.read_fourproduct(path)
    assert isinstance(raised.value, OSError) and raised.value.filename == str(path)
    assert isinstance(raised.value, FileNotFoundError) == (kind == "missing")
    assert isinstance(raised.value, IsADirectoryError) == (kind == "folder")


def test_no_permission_is_permission_error(tmp_path):
    path = tmp_path / INPUT
    path.write_text(text())
    path.chmod(0)
    code = ("import calstars2fp, sys\n"
            "try:\n"
            "    calstars2fp.read_calstars(sys.argv[1])\n"
            "except PermissionError as error:\n"
            "    assert isinstance(error, calstars2fp.Error) and error.errno == 13 and error.filename == sys.argv[1]\n"
            "    print(error)\n")
    # The superuser reads any file: the check runs as an unprivileged user there, where that user can
    # reach this interpreter and package.
    as_other = (lambda: os.setuid(65534)) if os.geteuid() == 0 else None
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    if as_other and subprocess.run([sys.executable, "-c", "import calstars2fp"], preexec_fn=as_other, env=environment,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False).returncode != 0:
        pytest.skip("the superuser reads every file, and an unprivileged user cannot reach this interpreter's package")
    done = subprocess.run([sys.executable, "-c", code, str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          preexec_fn=as_other, env=environment, check=False)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout.decode().strip() == f"Cannot open Cal Star Extraction file {path} for reading"


@pytest.mark.parametrize("changes, line", [
    (dict(divisor="0"), 14),
    (dict(rows="0"), 8),
    (dict(row="abc"), 15),
])
def test_bad_content_is_value_error_with_file_and_line(tmp_path, changes, line):
    path = tmp_path / INPUT
    path.write_text(text(**changes))
    status, lines = run_program(tmp_path)
    assert status == 1
    with pytest.raises(calstars2fp.Error) as raised:
        read_both(path)
    error = raised.value
    assert isinstance(error, ValueError) and not isinstance(error, OSError)
    assert (error.filename, error.lineno) == (str(path), line)
    assert str(error) == lines[-1].strip()


def test_bad_four_product_is_value_error_without_a_line(tmp_path):
    path = tmp_path / "short.bin"
    path.write_bytes(b"\x01\x00")
    with pytest.raises(ValueError) as raised:
        calstars2fp.read_fourproduct(path)
    assert isinstance(raised.value, calstars2fp.Error)
    assert (raised.value.filename, raised.value.lineno) == (str(path), None)


def test_memory_failure_is_memory_error(tmp_path):
    # A file whose size the memory cannot hold is refused before it is read (sparse: no disk used).
    path = tmp_path / INPUT
    with open(path, "wb") as file:
        file.truncate(64 << 30)
    code = ("import calstars2fp, resource, sys\n"
            "mapped = int(open('/proc/self/statm').read().split()[0]) * resource.getpagesize()\n"
            "resource.setrlimit(resource.RLIMIT_AS, (mapped + (512 << 20),) * 2)\n"
            "try:\n"
            "    calstars2fp.read_calstars(sys.argv[1])\n"
            "except MemoryError as error:\n"
            "    assert isinstance(error, calstars2fp.Error)\n"
            "    print(error)\n")
    done = subprocess.run([sys.executable, "-c", code, str(path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), check=False)
    assert done.returncode == 0, done.stderr.decode()
    assert done.stdout.decode().strip() == "Memory not allocated in OpenCalStarExtraction"


@pytest.mark.parametrize("call", [
    lambda path: calstars2fp.read_calstars(path),
    lambda path: calstars2fp.read_fourproduct(path),
    lambda path: calstars2fp.write_fourproduct(path, np.zeros((4, 2, 2), dtype=np.uint8), 1),
    lambda path: calstars2fp.process_folder(path),
    lambda path: calstars2fp.processing_order(path),
], ids=["read_calstars", "read_fourproduct", "write_fourproduct", "process_folder", "processing_order"])
@pytest.mark.parametrize("path", ["CALSTARS_A.txt\0.bin", b"CALSTARS_A.txt\0.bin"], ids=["str", "bytes"])
def test_embedded_nul_is_refused_as_open_refuses_it(tmp_path, monkeypatch, call, path):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "CALSTARS_A.txt").write_text(text())
    with pytest.raises(ValueError, match="embedded null byte"):
        call(path)
    assert sorted(os.listdir(tmp_path)) == ["CALSTARS_A.txt"]


def test_exceptions_pickle_with_their_fields(tmp_path):
    raised = []
    for path in (tmp_path / "missing.txt", tmp_path):
        try:
            calstars2fp.read_calstars(path)
        except calstars2fp.Error as error:
            raised.append(error)
    (tmp_path / INPUT).write_text(text(divisor="0"))
    try:
        read_both(tmp_path / INPUT)
    except calstars2fp.Error as error:
        raised.append(error)
    assert len(raised) == 3
    for error in raised:
        again = pickle.loads(pickle.dumps(error))
        assert type(again) is type(error) and str(again) == str(error)
        assert getattr(again, "errno", None) == getattr(error, "errno", None)
        assert again.filename == error.filename and getattr(again, "lineno", None) == getattr(error, "lineno", None)


LATIN_1_NAME = "étoile_Ø.bin".encode("latin-1")


def test_names_that_are_not_utf8_come_back_as_fsdecode_gives_them(tmp_path):
    folder = tmp_path / os.fsdecode(b"nuit-\xe9")
    folder.mkdir()
    content = text().encode("ascii").replace(b"A.bin", LATIN_1_NAME)
    (folder / INPUT).write_bytes(content)
    name = os.fsdecode(LATIN_1_NAME)
    calstars = calstars2fp.read_calstars(os.fsencode(folder / INPUT))
    assert calstars.path == str(folder / INPUT)
    assert next(calstars).name == name
    warnings_given = []
    assert calstars2fp.process_folder(os.fsencode(folder), jobs=1, warnings=warnings_given) == [name, "B.bin"]
    assert os.path.isfile(os.path.join(os.fsencode(folder), LATIN_1_NAME))
    status, lines = run_program(folder)
    assert status == 0


def test_warning_lines_go_through_warnings(tmp_path):
    path = tmp_path / INPUT
    path.write_text(text(total="9999"))  # record A.bin's background is clamped
    calstars = calstars2fp.read_calstars(path)
    run = calstars2fp.Reconstitution()
    with pytest.warns(calstars2fp.CalstarsWarning) as given:
        run.reconstitute(calstars, next(calstars))
    assert issubclass(calstars2fp.CalstarsWarning, UserWarning)
    assert [str(warning.message) for warning in given] == [run.warnings]
    assert given[0].filename == __file__  # attributed to the caller's line
    status, lines = run_program(tmp_path)
    assert run.warnings in [line.strip() for line in lines]


@pytest.mark.parametrize("jobs", [1, 2])
def test_warning_as_error_stops_the_run_before_that_records_file(tmp_path, jobs):
    (tmp_path / INPUT).write_text(text(total="9999"))
    with warnings.catch_warnings():
        warnings.simplefilter("error", calstars2fp.CalstarsWarning)
        with pytest.raises(calstars2fp.CalstarsWarning):
            calstars2fp.process_folder(tmp_path, jobs=jobs)
    # A.bin, the first record, carries the warning: nothing was written for it, nothing is left over.
    assert sorted(os.listdir(tmp_path)) == sorted([INPUT, "DirListingCalstars.txt"])


def test_interpreter_without_numpy_is_told_numpy_is_missing():
    # The child's NumPy cannot be imported, as in an interpreter that has none.
    code = "import sys\nsys.modules['numpy'] = None\nimport calstars2fp\n"
    done = subprocess.run([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), check=False)
    last = done.stderr.decode().strip().splitlines()[-1]
    assert done.returncode == 1
    assert last.startswith(f"ImportError: calstars2fp needs NumPy, which this interpreter ({sys.executable}) cannot import")


def test_listing_that_cannot_be_written_is_an_oserror(tmp_path):
    (tmp_path / INPUT).write_text(text())
    (tmp_path / "DirListingCalstars.txt").mkdir()  # a folder holds the listing's name
    status, lines = run_program(tmp_path)
    with pytest.raises(OSError) as raised:
        calstars2fp.process_folder(tmp_path, jobs=1)
    assert isinstance(raised.value, calstars2fp.Error) and raised.value.errno is not None
    assert raised.value.filename == str(tmp_path / "DirListingCalstars.txt")
    assert status == 1 and str(raised.value) == lines[-1].strip()
