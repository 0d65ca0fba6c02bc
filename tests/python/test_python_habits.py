"""Python's habits: a CALSTARS file is a context manager that says how many records it has read and
reads again once at its end; a four-product indexes by plane number and name and is written with its
own camera; reconstitute still takes its first argument by its former keyword."""

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import header_bytes

STARS = {"row": [10.5, 20.25], "col": [12.25, 30.5], "intensity": [1800, 900], "total": [2300, 1000]}


def write_night(path, names, shape=(32, 40)):
    calstars2fp.write_calstars(path, [calstars2fp.Record(STARS, 9, 4, name) for name in names], shape)


def test_calstars_file_reads_again_at_its_end_counts_and_closes(tmp_path):
    path = tmp_path / "CALSTARS_T.txt"
    write_night(path, ["A.bin", "B.bin", "C.bin"])
    with calstars2fp.read_calstars(path) as calstars:
        assert next(calstars).name == "A.bin" and calstars.records_read == 1
        # A loop goes on where the last one stopped; at the end, iterating reads the file again.
        assert [record.name for record in calstars] == ["B.bin", "C.bin"] and calstars.records_read == 3
        with pytest.raises(StopIteration):
            next(calstars)
        first_pass = list(calstars)
        assert [record.name for record in first_pass] == ["A.bin", "B.bin", "C.bin"] and calstars.records_read == 3
        assert [record.name for record in calstars] == ["A.bin", "B.bin", "C.bin"]
        # A file whose header changed is not read again as if it were the same.
        write_night(path, ["A.bin"], shape=(40, 40))
        with pytest.raises(calstars2fp.ContentError, match="has another header than when it was opened"):
            list(calstars)
    assert calstars.closed and calstars.shape == (32, 40)
    with pytest.raises(ValueError, match="is closed"):
        iter(calstars)
    with pytest.raises(StopIteration):
        next(calstars)
    # Its records stay records of the file.
    planes = calstars2fp.Reconstitution().reconstitute(calstars, first_pass[0])
    assert np.array_equal(planes, calstars2fp.Reconstitution().reconstitute((32, 40), first_pass[0]))
    # The first argument by its former keyword.
    again = calstars2fp.Reconstitution().reconstitute(calstars_file=calstars, record=first_pass[0])
    assert np.array_equal(planes, again)


@pytest.mark.parametrize("key, plane", [(0, 0), ("peak", 0), (1, 1), ("frame", 1), (2, 2), ("mean", 2), (3, 3), ("stddev", 3),
                                        (-1, 3)])
def test_four_product_indexes_by_plane_number_and_name(key, plane):
    planes = np.random.default_rng(1).integers(0, 256, size=(4, 3, 5), dtype=np.uint8)
    four = calstars2fp.FourProduct(planes, camera=9)
    assert np.array_equal(four[key], planes[plane]) and not four[key].flags.writeable
    assert four[plane, 2, 4] == planes[plane, 2, 4]


@pytest.mark.parametrize("key, error", [("median", KeyError), (4, IndexError)])
def test_four_product_refuses_a_plane_it_does_not_have(key, error):
    with pytest.raises(error):
        calstars2fp.FourProduct(np.zeros((4, 2, 2), dtype=np.uint8))[key]


@pytest.mark.parametrize("planes, camera, written", [("four-product", None, 9), ("four-product", 4, 4), ("array", None, 0)])
def test_write_fourproduct_takes_the_camera_of_the_four_product_unless_given(tmp_path, planes, camera, written):
    arrays = np.random.default_rng(2).integers(0, 256, size=(4, 3, 5), dtype=np.uint8)
    given = calstars2fp.FourProduct(arrays, camera=9) if planes == "four-product" else arrays
    calstars2fp.write_fourproduct(tmp_path / "f.bin", given, camera)
    assert (tmp_path / "f.bin").read_bytes() == header_bytes(3, 5, written) + arrays.tobytes()
