"""read_fourproduct makes fpview's checks with fpview's lines, and to_hdulist gives fpview's FITS cube
and keywords."""

import shutil
import struct
import subprocess
import sys

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import find_program, header_bytes

FPVIEW, FPVIEW_MISSING = find_program("FPVIEW_EXE")
needs_fpview = pytest.mark.skipif(not FPVIEW, reason=str(FPVIEW_MISSING))


def fpview_line(*arguments):
    done = subprocess.run([FPVIEW, *map(str, arguments)], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          timeout=60, check=False)
    return done.returncode, done.stdout.decode().splitlines()


BAD_FILES = [
    ("shorter than the header", b"\x01\x00\x00\x00" * 3),
    ("one byte short", header_bytes(3, 5, 1) + bytes(4 * 15 - 1)),
    ("one byte over", header_bytes(3, 5, 1) + bytes(4 * 15 + 1)),
    ("no rows", header_bytes(0, 5, 1)),
    ("negative columns", header_bytes(3, -5, 1) + bytes(60)),
    ("16 bits per pixel", struct.pack("<5i", 3, 5, 16, 256, 1) + bytes(60)),
    ("size that overflows 32 bits", header_bytes(65536, 65536, 1) + bytes(60)),
]


@pytest.mark.parametrize("what, content", BAD_FILES, ids=[what for what, _ in BAD_FILES])
def test_bad_file_raises_fpviews_line(tmp_path, what, content):
    path = tmp_path / "F.bin"
    path.write_bytes(content)
    with pytest.raises(calstars2fp.Error) as error:
        calstars2fp.read_fourproduct(path)
    message = str(error.value)
    assert message.startswith(f"Four-product file {path} ")
    if FPVIEW:
        status, lines = fpview_line("--png", path)
        assert status == 1 and message in [line.strip() for line in lines]
    # A good file afterwards reads as ever.
    calstars2fp.write_fourproduct(tmp_path / "G.bin", np.ones((4, 2, 3), dtype=np.uint8), 4)
    assert calstars2fp.read_fourproduct(tmp_path / "G.bin").camera == 4


def test_missing_file(tmp_path):
    with pytest.raises(calstars2fp.Error) as error:
        calstars2fp.read_fourproduct(tmp_path / "none.bin")
    assert str(error.value) == f"Cannot open four-product file {tmp_path / 'none.bin'} for reading"


@needs_fpview
def test_to_hdulist_matches_fpviews_fits(program_runs, tmp_path):
    fits = pytest.importorskip("astropy.io.fits")
    folder, names = program_runs["example"]
    inputs = [folder / name for name in names[:2]]
    # A name with bytes outside printable ASCII, which a FITS header cannot hold: blanks in both.
    inputs.append(tmp_path / "inputs" / "laté.bin")
    inputs[-1].parent.mkdir()
    shutil.copyfile(inputs[0], inputs[-1])
    for path in inputs:
        status, lines = fpview_line("--fits", "--out", tmp_path, path)
        assert status == 0, lines
        four = calstars2fp.read_fourproduct(path)
        ours = four.to_hdulist()
        with fits.open(tmp_path / (path.name[:-4] + ".fits")) as theirs:
            assert len(ours) == len(theirs) == 1
            assert ours[0].data.dtype == theirs[0].data.dtype == np.uint8
            assert np.array_equal(ours[0].data, theirs[0].data)
            assert np.array_equal(ours[0].data, four.planes)
            for key in ("NAXIS", "NAXIS1", "NAXIS2", "NAXIS3", "BITPIX", "FPROWS", "FPCOLS", "FPBITPIX", "FPFRAMES",
                        "FPCAMERA", "PLANE1", "PLANE2", "PLANE3", "PLANE4", "SOURCE", "CREATOR"):
                assert ours[0].header[key] == theirs[0].header[key], key
                if key.startswith(("FP", "PLANE", "SOURCE", "CREATOR")):
                    assert ours[0].header.comments[key] == theirs[0].header.comments[key], key
        # The file written from the module's list reads back as the same cube.
        ours.writeto(tmp_path / "ours.fits", overwrite=True)
        with fits.open(tmp_path / "ours.fits") as again:
            assert np.array_equal(again[0].data, four.planes)


def test_to_hdulist_without_astropy_raises_import_error(tmp_path, monkeypatch):
    calstars2fp.write_fourproduct(tmp_path / "x.bin", np.zeros((4, 2, 2), dtype=np.uint8), 1)
    four = calstars2fp.read_fourproduct(tmp_path / "x.bin")
    for name in [name for name in sys.modules if name == "astropy" or name.startswith("astropy.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "astropy", None)
    with pytest.raises(ImportError, match="astropy"):
        four.to_hdulist()
