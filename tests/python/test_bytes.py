"""The module's arrays and files are the program's bytes: through Reconstitution in memory, through
process_folder, through read_fourproduct and write_fourproduct."""

import os

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import FOLDERS, LISTING, copy_folder, header_bytes, listed_files

FOLDER_IDS = [name for name, _ in FOLDERS]


@pytest.mark.parametrize("case", FOLDER_IDS)
def test_reconstitution_gives_the_programs_files(program_runs, case):
    folder, printed = program_runs[case]
    run = calstars2fp.Reconstitution()
    names = []
    for listed in listed_files(folder):
        calstars = calstars2fp.read_calstars(folder / listed)
        for record in calstars:
            state_before = run.generator_state
            planes = run.reconstitute(calstars, record)
            assert planes.dtype == np.uint8 and planes.shape == (4, calstars.rows, calstars.cols)
            expected = (folder / record.name).read_bytes()
            assert header_bytes(calstars.rows, calstars.cols, abs(calstars.first_int)) + planes.tobytes() == expected, record.name
            # One draw per pixel: the state after rows x cols steps of the generator.
            state = state_before
            for _ in range(calstars.rows * calstars.cols):
                state = (state * 214013 + 2531011) % 2**32
            assert run.generator_state == state
            names.append(record.name)
    assert names == printed


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize("case", FOLDER_IDS)
def test_process_folder_writes_the_programs_files(program_runs, tmp_path, case, jobs):
    reference, printed = program_runs[case]
    source = dict(FOLDERS)[case]
    folder = copy_folder(source, tmp_path / "night")
    names = calstars2fp.process_folder(folder, jobs=jobs)
    assert names == printed
    inputs = sorted(os.listdir(source))
    assert sorted(os.listdir(folder)) == sorted(inputs + [LISTING] + names)
    for name in names + [LISTING]:
        assert (folder / name).read_bytes() == (reference / name).read_bytes(), name


@pytest.mark.parametrize("case", [name for name in FOLDER_IDS if name != "example"])
def test_conformance_cases_through_the_module(tmp_path, case):
    folder = copy_folder(dict(FOLDERS)[case], tmp_path / "case")
    calstars2fp.process_folder(str(folder), jobs=0)
    expected = dict(FOLDERS)[case].parent / "expected"
    for path in sorted(expected.iterdir()):
        assert (folder / path.name).read_bytes() == path.read_bytes(), path.name


def test_read_fourproduct_equals_the_files_bytes(program_runs):
    for case, (folder, names) in program_runs.items():
        for name in names:
            data = (folder / name).read_bytes()
            four = calstars2fp.read_fourproduct(folder / name)
            assert header_bytes(four.rows, four.cols, four.camera) + four.planes.tobytes() == data, (case, name)
            assert (four.bits_per_pixel, four.frames, four.source) == (8, 256, name)
            assert four.planes.shape == (4, four.rows, four.cols) and four.planes.dtype == np.uint8
            assert not four.planes.flags.writeable
            for k, plane in enumerate([four.peak, four.frame, four.mean, four.stddev]):
                assert np.shares_memory(plane, four.planes) and np.array_equal(plane, four.planes[k])


def test_write_fourproduct_gives_the_same_file_back(program_runs, tmp_path):
    folder, names = program_runs["example"]
    for name in names:
        four = calstars2fp.read_fourproduct(str(folder / name))
        calstars2fp.write_fourproduct(tmp_path / name, four.planes, four.camera)
        assert (tmp_path / name).read_bytes() == (folder / name).read_bytes()


@pytest.mark.parametrize("shape, camera", [((4, 1, 1), 0), ((4, 3, 7), 2**31 - 1), ((4, 15, 2), 12)])
def test_write_then_read_round_trips(tmp_path, shape, camera):
    planes = np.random.default_rng(7).integers(0, 256, size=shape, dtype=np.uint8)
    path = tmp_path / "round.bin"
    calstars2fp.write_fourproduct(path, planes, camera)
    four = calstars2fp.read_fourproduct(path)
    assert (four.rows, four.cols, four.camera) == (shape[1], shape[2], camera)
    assert np.array_equal(four.planes, planes)
    # A view that is not contiguous is written as its values.
    calstars2fp.write_fourproduct(path, np.asfortranarray(planes), camera)
    assert np.array_equal(calstars2fp.read_fourproduct(path).planes, planes)
    assert sorted(os.listdir(tmp_path)) == ["round.bin"]


@pytest.mark.parametrize("planes, camera, error", [
    (np.zeros((4, 2, 2), dtype=np.uint16), 1, TypeError),
    (np.zeros((4, 2, 2), dtype=np.float64), 1, TypeError),
    ([[[0]]] * 4, 1, TypeError),
    (np.zeros((3, 2, 2), dtype=np.uint8), 1, ValueError),
    (np.zeros((4, 4), dtype=np.uint8), 1, ValueError),
    (np.zeros((4, 0, 2), dtype=np.uint8), 1, ValueError),
    (np.zeros((4, 2, 2), dtype=np.uint8), -1, ValueError),
    (np.zeros((4, 2, 2), dtype=np.uint8), 2**31, ValueError),
])
def test_write_fourproduct_refuses_arguments_of_the_wrong_kind(tmp_path, planes, camera, error):
    with pytest.raises(error):
        calstars2fp.write_fourproduct(tmp_path / "x.bin", planes, camera)
    assert os.listdir(tmp_path) == []


def test_write_fourproduct_failure_is_the_programs_message(tmp_path):
    path = tmp_path / "missing" / "x.bin"
    with pytest.raises(calstars2fp.Error) as failure:
        calstars2fp.write_fourproduct(path, np.zeros((4, 2, 2), dtype=np.uint8), 1)
    assert str(failure.value) == f"Cannot open output file {path} for writing"
    assert os.listdir(tmp_path) == []


@pytest.mark.filterwarnings("ignore::calstars2fp.CalstarsWarning")
@pytest.mark.parametrize("jobs", [1, 2])
def test_nothing_is_printed(tmp_path, capfd, jobs):
    from test_bad_inputs import text
    folder = tmp_path / "night"
    folder.mkdir()
    (folder / "CALSTARS_T.txt").write_text(text(total="9999"))  # a record with a warning line
    warnings = []
    assert calstars2fp.process_folder(folder, jobs=jobs, warnings=warnings) == ["A.bin", "B.bin"]
    assert len(warnings) == 1 and warnings[0].startswith("Warning: ")
    with pytest.raises(calstars2fp.Error):
        calstars2fp.process_folder(tmp_path / "missing", jobs=jobs)
    calstars = calstars2fp.read_calstars(folder / "CALSTARS_T.txt")
    run = calstars2fp.Reconstitution()
    run.reconstitute(calstars, next(calstars))
    assert run.warnings.startswith("Warning: ")
    assert capfd.readouterr() == ("", "")
