"""The bad inputs of the program's catalogue (tests/e2e/bad_inputs_test.cpp) through the module: each
raises calstars2fp.Error with the program's own line, the interpreter lives on, and the next good call
works with the same Reconstitution."""

import os
import tempfile

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import header_bytes, run_program

INPUT = "CALSTARS_T.txt"
# The failures the reader and the reconstitution raise themselves; the others (a record that would
# overwrite an input, the folder) belong to a run of a folder.
RECORD_FAILURES = ("OpenCalStarExtraction:", "ReadCalStarFrame:", "CalStarReconsitution", "Image of ",
                   "Cannot open Cal Star Extraction file")


def good_lines():
    """The lines of a small valid CALSTARS file of two records, as write_calstars writes it."""
    first = {"row": [6.25, 12.5], "col": [9.5, 15.75], "intensity": [1900, 1500], "total": [2300, 1620]}
    second = {"row": [10, 14.5], "col": [10, 3.25], "intensity": [1000, 2500], "total": [1100, 2700]}
    records = [calstars2fp.Record(first, 5, 4, "A.bin"), calstars2fp.Record(second, 3, 2, "B.bin")]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, INPUT)
        calstars2fp.write_calstars(path, records, (20, 24), first_int=7, header_text="test camera")
        with open(path, encoding="ascii", newline="") as file:
            return file.read().splitlines(keepends=True)


GOOD_LINES = good_lines()
# Where the fields stand among those lines: after the five free lines the header's text line, then
# first_int, rows, cols and nstars; the first record's separator, name, window and divisor, then its
# first star line (row col intensity total); the second record's name after its star lines.
KEY_LINES = dict(first_int=6, rows=7, cols=8, nstars=9, window=12, divisor=13)
NAME_LINES = dict(name=11, name2=17)
FIRST_STAR_LINE = 14
STAR_VALUES = ("row", "col", "intensity", "total")


def text(**changes):
    """The valid file with fields replaced as the catalogue does, edited line by line."""
    lines = list(GOOD_LINES)
    for field, value in changes.items():
        if field in KEY_LINES:
            key = lines[KEY_LINES[field]].partition("=")[0]
            lines[KEY_LINES[field]] = f"{key}= {value}\n"
        elif field in NAME_LINES:
            lines[NAME_LINES[field]] = value + "\n"
        else:
            values = lines[FIRST_STAR_LINE].split()
            values[STAR_VALUES.index(field)] = value
            lines[FIRST_STAR_LINE] = " ".join(values) + "\n"
    return "".join(lines)


def cases():
    good = text()
    lines = good.splitlines(keepends=True)
    yield "empty file", ""
    for k in range(0, len(lines), 3):
        yield f"cut before line {k + 1}", "".join(lines[:k])
        yield f"cut inside line {k + 1}", "".join(lines[:k]) + lines[k][: len(lines[k]) // 2]
    for field in ("first_int", "rows", "cols", "nstars", "window", "divisor", "row", "col", "intensity", "total"):
        for value in ("abc", "-7", "0", "99999999999", "2147483647", "-2147483648"):
            yield f"{field} = {value}", text(**{field: value})
    long_text = "x" * 300
    yield "ignored header line over 255 characters", "".join(lines[:1] + [long_text + "\n"] + lines[2:])
    yield "record name over 255 characters", text(name=long_text)
    yield "key over 255 characters", good.replace("window", long_text, 1)
    yield "fewer star lines than nstars", text(nstars="3")
    yield "more star lines than nstars", text(nstars="1")
    for field, value in (("row", "nan"), ("col", "inf"), ("row", "-inf"), ("col", "1e39")):
        yield f"{field} {value}", text(**{field: value})
    for name in ("sub/A.bin", "sub\\A.bin", "..", ".", "../A.bin"):
        yield f"name {name}", text(name=name)
    yield "name of the input", text(name=INPUT)
    yield "name of the listing", text(name2="DirListingCalstars.txt")
    yield "image below 15 x 15", text(rows="14", window="3")
    yield "image beyond the machine's memory", text(rows="46000", cols="46000")
    yield "even window", text(window="4")
    yield "window above the image", text(window="21")
    yield "background clamped", text(total="9999")


CASES = list(cases())


def good_record_planes(run, tmp_path):
    """Reconstitutes the good file's first record with `run`; its bytes must be those the program
    writes for that record with the same generator state."""
    path = tmp_path / "good" / INPUT
    path.parent.mkdir(exist_ok=True)
    path.write_text(text())
    calstars = calstars2fp.read_calstars(path)
    record = next(iter(calstars))
    state = run.generator_state
    planes = run.reconstitute(calstars, record)
    fresh = calstars2fp.Reconstitution(state)
    assert np.array_equal(fresh.reconstitute(calstars, record), planes)
    return planes


@pytest.mark.filterwarnings("ignore::calstars2fp.CalstarsWarning")
@pytest.mark.parametrize("what, content", CASES, ids=[what for what, _ in CASES])
def test_bad_input_raises_the_programs_line(tmp_path, what, content):
    night = tmp_path / "night"
    night.mkdir()
    (night / INPUT).write_text(content)
    status, lines = run_program(night)
    assert status in (0, 1), lines
    program_names = [line for line in lines if line and not line.startswith(" ")]
    failure = lines[-1].strip() if status == 1 else None

    # In memory: the reader and the reconstitution.
    run = calstars2fp.Reconstitution()
    names = []
    raised = None
    try:
        calstars = calstars2fp.read_calstars(night / INPUT)
        for record in calstars:
            planes = run.reconstitute(calstars, record)
            if record.name in program_names:
                expected = (night / record.name).read_bytes()
                assert header_bytes(calstars.rows, calstars.cols, abs(calstars.first_int)) + planes.tobytes() == expected
            if run.warnings:
                assert run.warnings in [line.strip() for line in lines]
            names.append(record.name)
    except calstars2fp.Error as error:
        raised = str(error)
    if failure is None:
        assert raised is None and names == program_names
    elif failure.startswith(RECORD_FAILURES):
        assert raised == failure
    good_record_planes(run, tmp_path)

    # A run of the folder, as the program's.
    again = tmp_path / "again"
    again.mkdir()
    (again / INPUT).write_text(content)
    warnings = []
    if failure is None:
        assert calstars2fp.process_folder(again, jobs=1, warnings=warnings) == program_names
    else:
        with pytest.raises(calstars2fp.Error) as error:
            calstars2fp.process_folder(again, jobs=1, warnings=warnings)
        assert str(error.value) == failure.replace(str(night), str(again))
    assert warnings == [line.strip().replace(str(night), str(again)) for line in lines if line.startswith(" Warning: ")]
    assert not [name for name in os.listdir(again) if ".partial" in name]
    good_record_planes(run, tmp_path)


@pytest.mark.parametrize("folder, message", [
    ("", "The folder argument is empty"),
    ("x" * 232, "Folder " + "x" * 232 + " is longer than 231 characters"),
])
def test_bad_folder_raises_the_programs_line(folder, message):
    with pytest.raises(calstars2fp.Error) as error:
        calstars2fp.process_folder(folder)
    assert str(error.value) == message


def test_missing_folder_raises_the_listing_message(tmp_path):
    missing = tmp_path / "missing"
    with pytest.raises(calstars2fp.Error) as error:
        calstars2fp.process_folder(missing)
    assert str(error.value) == f"Directory listing file {missing}/DirListingCalstars.txt not found (or not generated)"


@pytest.mark.parametrize("call, error", [
    (lambda: calstars2fp.read_calstars(7), TypeError),
    (lambda: calstars2fp.read_fourproduct(None), TypeError),
    (lambda: calstars2fp.process_folder(3.5), TypeError),
    (lambda: calstars2fp.process_folder(".", jobs=257), ValueError),
    (lambda: calstars2fp.process_folder(".", jobs=-1), ValueError),
    (lambda: calstars2fp.process_folder(".", warnings=()), TypeError),
    (lambda: calstars2fp.Reconstitution(-1), ValueError),
    (lambda: calstars2fp.Reconstitution(2**32), ValueError),
    (lambda: calstars2fp.Reconstitution("1"), TypeError),
])
def test_arguments_of_the_wrong_kind(call, error):
    with pytest.raises(error):
        call()


def test_record_of_another_file_is_refused(tmp_path):
    first = tmp_path / "CALSTARS_A.txt"
    first.write_text(text())
    second = tmp_path / "CALSTARS_B.txt"
    second.write_text(text(rows="30"))
    a = calstars2fp.read_calstars(first)
    b = calstars2fp.read_calstars(second)
    with pytest.raises(ValueError):
        calstars2fp.Reconstitution().reconstitute(b, next(a))


def test_refused_record_leaves_the_generator_where_it_was(tmp_path):
    path = tmp_path / INPUT
    path.write_text(text(window="4"))
    calstars = calstars2fp.read_calstars(path)
    run = calstars2fp.Reconstitution(12345)
    with pytest.raises(calstars2fp.Error, match="^CalStarReconsitution: "):
        run.reconstitute(calstars, next(calstars))
    assert run.generator_state == 12345
    # The second record is good: the run goes on with it.
    assert run.reconstitute(calstars, next(calstars)).shape == (4, 20, 24)
    assert run.generator_state != 12345
