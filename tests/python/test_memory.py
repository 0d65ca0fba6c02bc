"""No leak: many reconstitute calls on a small record keep the resident memory flat."""

import os

import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from test_bad_inputs import text


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def test_ten_thousand_reconstitute_calls_keep_memory_flat(tmp_path):
    path = tmp_path / "CALSTARS_T.txt"
    path.write_text(text())
    calstars = calstars2fp.read_calstars(path)
    record = next(calstars)
    run = calstars2fp.Reconstitution()
    for _ in range(1000):
        run.reconstitute(calstars, record)
    before = resident_bytes()
    for _ in range(10000):
        planes = run.reconstitute(calstars, record)
        stars = record.stars
    after = resident_bytes()
    assert planes.shape == (4, 20, 24) and len(stars) == 2
    # One leaked plane set a call would be 19 MB, one leaked star array about 1 MB.
    assert after - before < 256 * 1024, (before, after)
