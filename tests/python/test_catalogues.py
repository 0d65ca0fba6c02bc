"""Catalogues as they come: every kind of table and the user's column names give the planes the program
writes for the same stars written as a CALSTARS file; values are rounded as a star line holds them;
values a star line cannot hold are warned about, never changed silently; the background surface and
the star layer are the images the planes are made from."""

import warnings

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import header_bytes, run_program

ROWS, COLS, WINDOW = 90, 120, 9
COUNT = 30


def canonical_stars(divisor):
    """Stars as a CALSTARS file holds them (float32 positions, whole 16-bit values) and their levels."""
    rng = np.random.default_rng(divisor)
    stars = np.zeros(COUNT, dtype=calstars2fp.STAR_DTYPE)
    stars["row"] = rng.uniform(5, ROWS - 5, COUNT)
    stars["col"] = rng.uniform(5, COLS - 5, COUNT)
    stars["intensity"] = rng.integers(300, 6000, COUNT)
    levels = rng.integers(5, 120, COUNT)
    stars["total"] = stars["intensity"] + levels * divisor
    return stars, levels


# How a catalogue names and gives its columns: (id, divisor, the Record keywords, the columns of its
# table from the canonical stars and levels). Fluxes and levels of photometry are floats: they are
# within 0.5 of the whole numbers the file holds.
MAPPINGS = [
    ("the program's columns", 16, {},
     lambda s, lv: {"row": s["row"], "col": s["col"], "intensity": s["intensity"], "total": s["total"]}),
    ("x, y, flux and a background column", 1, dict(col="x", row="y", intensity="flux", level="background"),
     lambda s, lv: {"x": s["col"].astype(np.float64), "y": s["row"].astype(np.float64),
                    "flux": s["intensity"] + 0.3, "background": lv - 0.4}),
    ("centroids with float totals", 4, dict(col="xcentroid", row="ycentroid", intensity="flux", total="sum"),
     lambda s, lv: {"xcentroid": s["col"], "ycentroid": s["row"], "flux": s["intensity"].astype(np.float64) - 0.2,
                    "sum": s["total"].astype(np.float64)}),
]
ONE_LEVEL = 40  # the mapping of one level for every star


def as_table(kind, columns):
    """`columns` (a dict of arrays) as a table of `kind`."""
    if kind == "dict of arrays":
        return columns
    if kind == "structured array":
        table = np.zeros(COUNT, dtype=[(name, np.asarray(values).dtype) for name, values in columns.items()])
        for name, values in columns.items():
            table[name] = values
        return table
    if kind == "pandas DataFrame":
        return pytest.importorskip("pandas", reason="pandas is not installed (Debian: python3-pandas)").DataFrame(columns)
    table_module = pytest.importorskip("astropy.table", reason="astropy is not installed (Debian: python3-astropy)")
    if kind == "astropy Table":
        return table_module.Table(columns)
    units = pytest.importorskip("astropy.units")
    # Quantities with their units: positions in pixels, values in ADU.
    return table_module.QTable({name: np.asarray(values) * (units.pix if name in ("x", "y", "row", "col", "xcentroid", "ycentroid")
                                                            else units.adu) for name, values in columns.items()})


KINDS = ["structured array", "dict of arrays", "pandas DataFrame", "astropy Table", "astropy QTable"]


@pytest.fixture(scope="module")
def program_files(tmp_path_factory):
    """Per divisor: the canonical stars, their levels and the four-product file the program writes for
    them as one record, with the stars at one level (ONE_LEVEL) as a second record."""
    files = {}
    for divisor in sorted({divisor for _, divisor, _, _ in MAPPINGS}):
        stars, levels = canonical_stars(divisor)
        flat = stars.copy()
        flat["total"] = flat["intensity"] + ONE_LEVEL * divisor
        folder = tmp_path_factory.mktemp(f"divisor{divisor}")
        # Each record first in a file of its own: each is the first record of a run.
        for name, table in (("A.bin", stars), ("FLAT.bin", flat)):
            sub = folder / name[:-4]
            sub.mkdir()
            calstars2fp.write_calstars(sub / "CALSTARS_T.txt", [calstars2fp.Record(table, WINDOW, divisor, name)],
                                       (ROWS, COLS), first_int=3)
            status, lines = run_program(sub)
            assert status == 0, lines
            files[divisor, name] = (sub / name).read_bytes()
        files[divisor] = (stars, levels)
    return files


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("what, divisor, keywords, columns", MAPPINGS, ids=[m[0] for m in MAPPINGS])
def test_any_table_and_its_column_names_draw_the_programs_bytes(program_files, kind, what, divisor, keywords, columns):
    stars, levels = program_files[divisor]
    table = as_table(kind, columns(stars, levels))
    planes = calstars2fp.draw(table, (ROWS, COLS), WINDOW, divisor, name="A.bin", **keywords)
    assert header_bytes(ROWS, COLS, 3) + planes.tobytes() == program_files[divisor, "A.bin"]
    if "level" in keywords:
        one_level = dict(keywords, level=ONE_LEVEL + 0.25)
        record = calstars2fp.Record(table, WINDOW, divisor, "FLAT.bin", **one_level)
        planes = calstars2fp.Reconstitution().reconstitute((ROWS, COLS), record)
        assert header_bytes(ROWS, COLS, 3) + planes.tobytes() == program_files[divisor, "FLAT.bin"]


@pytest.mark.parametrize("given, kept", [
    (1.5, 2), (2.5, 2), (1799.5, 1800), (1800.49, 1800), (-0.4, 0), (3.0, 3),
], ids=["1.5 to even 2", "2.5 to even 2", "1799.5 to 1800", "1800.49 to 1800", "-0.4 to 0", "whole 3.0"])
def test_star_values_are_rounded_to_the_nearest_whole_number(given, kept):
    record = calstars2fp.Record({"row": [20.0], "col": [20.0], "intensity": [given], "total": [given + 64]}, 9, 16, "A.bin")
    assert int(record.stars["intensity"][0]) == kept
    # The total is rounded on its own: the reader's quotient of the two whole numbers is the level.
    assert int(record.stars["total"][0]) == round(given + 64)


@pytest.mark.parametrize("stars, divisor, level, kept, warned", [
    ({"intensity": [65535], "total": [65535]}, 1, None, (65535, 65535), None),
    ({"intensity": [65536], "total": [65536]}, 1, None, (0, 0), "intensity 65536 of star 1 is kept as 0"),
    ({"intensity": [70000], "total": [70100]}, 1, None, (4464, 4564), "intensity 70000 of star 1 is kept as 4464"),
    ({"intensity": [-1], "total": [20]}, 1, None, (65535, 20), "intensity -1 of star 1 is kept as 65535"),
    # 60000 + 400 x 16 = 66400, of which 66400 - 65536 = 864 is kept.
    ({"intensity": [60000]}, 16, 400, (60000, 864), "total (intensity + level x divisor) 66400 of star 1 is kept as 864"),
], ids=["65535 is held", "65536", "70000", "negative", "a level beyond 16 bits"])
def test_values_beyond_16_bits_are_warned_about_and_kept_as_the_reader_keeps_them(stars, divisor, level, kept, warned):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        record = calstars2fp.Record(dict(stars, row=[20.0], col=[20.0]), 9, divisor, "A.bin", level=level)
    messages = [str(warning.message) for warning in caught if warning.category is calstars2fp.CalstarsWarning]
    assert len(messages) == (warned is not None)
    if warned is not None:
        assert messages[0].startswith("Warning: ") and warned in messages[0]
    assert (int(record.stars["intensity"][0]), int(record.stars["total"][0])) == kept


def test_parts_are_the_images_the_planes_are_made_from():
    # Stars on a grid, the left half at level 10 and the right at 100: the trimmed mean leaves each
    # half's level away from the seam and puts the seam between them.
    rows = np.repeat(np.arange(5.0, 60.0, 6.0), 8)
    cols = np.tile(np.arange(5.0, 80.0, 10.0), 10)
    stars = {"row": rows, "col": cols, "intensity": np.full(rows.size, 200)}
    level = np.where(cols < 40, 10, 100)
    planes, background, star_layer = calstars2fp.draw(stars, (60, 80), 3, level=level, parts=True)
    assert background.dtype == star_layer.dtype == np.uint16
    assert background.shape == star_layer.shape == (60, 80)
    assert (background[:, :20] == 10).all() and (background[:, 60:] == 100).all() and 10 < background[30, 40] < 100
    # The planes come from the filtered surface (the seeded one differs at the seam) and the layer.
    v = np.minimum(background.astype(np.int64) + star_layer, 255)
    assert np.array_equal(planes[0], v) and np.array_equal(planes[2], v)
    assert np.array_equal(planes[3], np.floor(np.sqrt(v)))
    # Each disc carries its star's intensity (before rounding), the window's corners a tail on top.
    assert star_layer.sum() >= stars["intensity"].sum()
    # The same planes as without the parts: the generator made the same draws.
    assert np.array_equal(planes, calstars2fp.draw(stars, (60, 80), 3, level=level))
