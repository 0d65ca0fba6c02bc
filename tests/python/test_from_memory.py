"""Star fields from any catalogue: records made from tables are the records the reader makes of the
same stars written as a CALSTARS file, reconstitute for an image size gives the program's bytes,
write_calstars writes what the program reads back, and records and four-products pickle."""

import os
import pickle

import numpy as np
import pytest

from conftest import PACKAGE_MISSING

calstars2fp = pytest.importorskip("calstars2fp", reason=PACKAGE_MISSING)
from conftest import EXAMPLES, header_bytes, listed_files, run_program
from test_bad_inputs import INPUT, text

ROWS, COLS = 120, 160


def catalogue(seed, count):
    """A star table of `count` stars in a ROWS x COLS image, as a structured array."""
    rng = np.random.default_rng(seed)
    stars = np.zeros(count, dtype=calstars2fp.STAR_DTYPE)
    stars["row"] = rng.uniform(0, ROWS, count)
    stars["col"] = rng.uniform(0, COLS, count)
    stars["intensity"] = rng.integers(500, 6000, count)
    stars["total"] = stars["intensity"] + rng.integers(0, 4000, count)
    return stars


def test_astropy_table_drawn_from_memory_gives_the_programs_bytes(tmp_path):
    table_module = pytest.importorskip("astropy.table")
    records = []
    for k in range(3):
        stars = catalogue(k, 25)
        # Columns of a catalogue's own types: positions in double precision, counts as int64.
        table = table_module.Table({"row": stars["row"].astype(np.float64) + 0.123456789, "col": stars["col"].astype(np.float64),
                                    "intensity": stars["intensity"].astype(np.int64), "total": stars["total"].astype(np.int64),
                                    "magnitude": np.zeros(25)})
        records.append(calstars2fp.Record(table, window=9 + 2 * k, divisor=16, name=f"IMG_{k:04d}.bin"))
    calstars2fp.write_calstars(tmp_path / "CALSTARS_C05.txt", records, (ROWS, COLS), first_int=-5, header_text="C05 test")
    status, printed = run_program(tmp_path)
    assert status == 0 and printed == [record.name for record in records]
    run = calstars2fp.Reconstitution()
    for record in records:
        planes = run.reconstitute((ROWS, COLS), record)
        assert header_bytes(ROWS, COLS, 5) + planes.tobytes() == (tmp_path / record.name).read_bytes(), record.name


@pytest.mark.filterwarnings("ignore::calstars2fp.CalstarsWarning")
def test_record_from_a_table_is_the_record_the_reader_reads(tmp_path):
    path = tmp_path / INPUT
    path.write_text(text(intensity="65636", total="70000"))  # 32-bit values keep their low 16 bits
    calstars = calstars2fp.read_calstars(path)
    for read in calstars:
        stars = read.stars
        columns = {"row": stars["row"].tolist(), "col": stars["col"].tolist(),
                   "intensity": [int(v) for v in stars["intensity"]], "total": [int(v) for v in stars["total"]]}
        if read.name == "A.bin":
            columns["intensity"][0], columns["total"][0] = 65636, 70000
        made = calstars2fp.Record(columns, read.window, read.divisor, read.name)
        assert (made.name, made.window, made.divisor) == (read.name, read.window, read.divisor)
        assert made.stars.dtype == calstars2fp.STAR_DTYPE and np.array_equal(made.stars, read.stars)
        # The same planes, whether the record came from the file or from memory.
        assert np.array_equal(calstars2fp.Reconstitution().reconstitute(calstars, read),
                              calstars2fp.Reconstitution().reconstitute(calstars.shape, made))


def program_reason(line):
    """The reason in the program's line of a refused record: "<operation>: <reason> at line <n> of
    <file>" from the reader, "<operation>: <reason> in record <name> of <file>" from the reconstitution."""
    reason = line.strip().split(": ", 1)[1]
    return reason.rsplit(" at line ", 1)[0].rsplit(" in record ", 1)[0]


# What the reader or the reconstitution refuses of the good file's first record (window 5, divisor 4,
# a first star at 6.25, 9.5 of 1900, 2300): a Record of the same values is refused for the same reason.
RECORD_REFUSALS = [
    ("name with a folder", dict(name="sub/A.bin")),
    ("name ..", dict(name="..")),
    ("divisor 0", dict(divisor="0")),
    ("even window", dict(window="4")),
    ("window 0", dict(window="0")),
    ("row nan", dict(row="nan")),
    ("col -inf", dict(col="-inf")),
    ("intensity beyond 32 bits", dict(intensity="99999999999")),
]


@pytest.mark.parametrize("changes", [changes for _, changes in RECORD_REFUSALS], ids=[what for what, _ in RECORD_REFUSALS])
def test_record_is_refused_with_the_programs_reason(tmp_path, changes):
    (tmp_path / INPUT).write_text(text(**changes))
    status, lines = run_program(tmp_path)
    assert status == 1
    reason = program_reason(lines[-1])
    stars = {"row": [6.25], "col": [9.5], "intensity": [1900], "total": [2300]}
    stars.update({field: [float(changes[field])] for field in ("row", "col", "intensity") if field in changes})
    with pytest.raises(calstars2fp.ContentError) as raised:
        calstars2fp.Record(stars, int(changes.get("window", 5)), int(changes.get("divisor", 4)), changes.get("name", "A.bin"))
    assert isinstance(raised.value, ValueError) and isinstance(raised.value, calstars2fp.Error)
    assert str(raised.value).startswith("Record: ") and reason in str(raised.value), (str(raised.value), reason)


# Names that the reader would read as another name, or refuse, from the name line that holds them;
# and a trailing blank, which reads back but which Windows drops from a file name.
@pytest.mark.parametrize("name, why, reads_back", [
    (" A.bin", "begins or ends with white space", False), ("\tA.bin", "begins or ends with white space", False),
    ("A.bin\r", "holds a line end", False), ("A\nB.bin", "holds a line end", False), ("\r", "holds a line end", False),
    ("   ", "is blank", False), ("A.bin ", "begins or ends with white space", True),
], ids=["leading blank", "leading tab", "trailing CR", "LF inside", "CR alone", "blanks alone", "trailing blank"])
def test_names_that_would_not_read_back_are_refused(tmp_path, name, why, reads_back):
    stars = {"row": [6.25], "col": [9.5], "intensity": [1900], "total": [2300]}
    with pytest.raises(calstars2fp.ContentError, match=f"^Record: record name \".*\" {why}$") as raised:
        calstars2fp.Record(stars, 5, 4, name)
    assert "\n" not in str(raised.value) and "\r" not in str(raised.value)  # escaped: one line
    (tmp_path / INPUT).write_bytes(text(name=name).encode())
    try:
        read = next(calstars2fp.read_calstars(tmp_path / INPUT)).name
    except calstars2fp.Error:
        read = None
    assert (read == name) == reads_back


@pytest.mark.parametrize("stars, error", [
    ({"row": [1.0], "col": [1.0], "intensity": [2**31], "total": [2]}, ValueError),
    ({"row": [1.0], "col": [1.0], "intensity": [float("nan")], "total": [2]}, ValueError),
    ({"row": [1.0], "col": [1.0], "total": [2]}, ValueError),
    ({"row": [1.0, 2.0], "col": [1.0], "intensity": [1], "total": [2]}, ValueError),
    ({"row": [[1.0]], "col": [[1.0]], "intensity": [1], "total": [2]}, ValueError),
    ({"row": ["a"], "col": [1.0], "intensity": [1], "total": [2]}, ValueError),
    (np.ma.MaskedArray(np.zeros(1, dtype=calstars2fp.STAR_DTYPE), mask=True), ValueError),
    ([(1.0, 1.0, 1, 2)], ValueError),
], ids=["intensity beyond 32 bits", "intensity nan", "no intensity", "lengths differ",
        "two-dimensional", "text position", "masked", "list of tuples"])
def test_star_tables_that_no_file_could_hold_are_refused(stars, error):
    with pytest.raises(error):
        calstars2fp.Record(stars, 9, 4, "A.bin")


def test_write_calstars_reads_back_to_the_same_records(tmp_path):
    calstars = calstars2fp.read_calstars(sorted(EXAMPLES.glob("CALSTARS*.txt"))[0])
    records = list(calstars)
    path = tmp_path / "CALSTARS_copy.txt"
    calstars2fp.write_calstars(path, records, calstars.shape, calstars.first_int, calstars.header_text)
    again = calstars2fp.read_calstars(path)
    assert (again.shape, again.first_int, again.header_text, again.nstars) == \
        (calstars.shape, calstars.first_int, calstars.header_text, calstars.nstars)
    for old, new in zip(records, again):
        assert (new.name, new.window, new.divisor) == (old.name, old.window, old.divisor)
        assert np.array_equal(new.stars, old.stars)
    assert sorted(os.listdir(tmp_path)) == ["CALSTARS_copy.txt"]


@pytest.mark.parametrize("records, shape, error", [
    ("two star counts", (20, 24), calstars2fp.ContentError),
    ("one", (0, 24), calstars2fp.ContentError),
    ("one", (46341, 46341), calstars2fp.ContentError),
    ("not records", (20, 24), TypeError),
    ("one", (20,), TypeError),
])
def test_write_calstars_refuses_before_writing(tmp_path, records, shape, error):
    one = calstars2fp.Record({"row": [1.0], "col": [1.0], "intensity": [1], "total": [2]}, 9, 4, "A.bin")
    two = calstars2fp.Record({"row": [1.0, 2.0], "col": [1.0, 2.0], "intensity": [1, 1], "total": [2, 2]}, 9, 4, "B.bin")
    given = {"two star counts": [one, two], "one": [one], "not records": [one, "B.bin"]}[records]
    with pytest.raises(error):
        calstars2fp.write_calstars(tmp_path / "CALSTARS_x.txt", given, shape)
    assert os.listdir(tmp_path) == []


# What the program refuses to process of a file it reads: write_calstars refuses to write it, for the
# same reason, so that every file it writes is one the program processes.
PROCESSING_REFUSALS = [
    ("image below 15 x 15", dict(rows="14", window="3"), "image of 14 x 24 pixels "),
    ("window above the image", dict(window="21"), "window 21 is not an odd size from 1 to the image's smaller side"),
    ("even window", dict(window="4"), "window 4 is not an odd size from 1 to the image's smaller side"),
    ("position not a number", dict(row="nan"), "star 1 has a coordinate that is not a finite number"),
    ("name of an input", dict(name="CALSTARS_x.txt"), "CALSTARS_x.txt"),
]


@pytest.mark.parametrize("changes, reason", [row[1:] for row in PROCESSING_REFUSALS], ids=[row[0] for row in PROCESSING_REFUSALS])
def test_write_calstars_refuses_what_the_program_refuses_to_process(tmp_path, changes, reason):
    night = tmp_path / "night"
    night.mkdir()
    (night / INPUT).write_text(text(**changes))
    status, lines = run_program(night)
    assert status == 1 and reason in lines[-1], lines
    calstars = calstars2fp.read_calstars(night / INPUT)
    records = list(calstars)
    out = tmp_path / "out"
    out.mkdir()
    with pytest.raises(calstars2fp.ContentError) as raised:
        calstars2fp.write_calstars(out / "CALSTARS_w.txt", records, calstars.shape)
    assert str(raised.value).startswith(f"Cannot write Cal Star Extraction file {out / 'CALSTARS_w.txt'}: ")
    assert reason in str(raised.value) and raised.value.filename == str(out / "CALSTARS_w.txt")
    assert os.listdir(out) == []


def test_reconstitute_into_out(tmp_path):
    record = calstars2fp.Record(catalogue(1, 10), 9, 16, "A.bin")
    expected = calstars2fp.Reconstitution().reconstitute((ROWS, COLS), record)
    out = np.full((4, ROWS, COLS), 7, dtype=np.uint8)
    assert calstars2fp.Reconstitution().reconstitute((ROWS, COLS), record, out=out) is out
    assert np.array_equal(out, expected)


@pytest.mark.parametrize("out, error", [
    (np.zeros((4, ROWS, COLS), dtype=np.int16), TypeError),
    (np.zeros((4, ROWS, COLS + 1), dtype=np.uint8), ValueError),
    (np.zeros((4, ROWS, 2 * COLS), dtype=np.uint8)[:, :, ::2], ValueError),
    (np.broadcast_to(np.zeros(1, dtype=np.uint8), (4, ROWS, COLS)), ValueError),
    ([[[0]]], TypeError),
], ids=["dtype", "shape", "not contiguous", "read-only", "list"])
def test_out_that_cannot_take_the_planes_is_refused_before_the_work(out, error):
    record = calstars2fp.Record(catalogue(1, 10), 9, 16, "A.bin")
    run = calstars2fp.Reconstitution(99)
    with pytest.raises(error):
        run.reconstitute((ROWS, COLS), record, out=out)
    assert run.generator_state == 99


def test_records_and_four_products_pickle(tmp_path):
    calstars = calstars2fp.read_calstars(sorted(EXAMPLES.glob("CALSTARS*.txt"))[0])
    read = next(calstars)
    made = calstars2fp.Record(catalogue(2, 5), 7, 3, os.fsdecode(b"n\xe9.bin"))
    for record in (read, made):
        again = pickle.loads(pickle.dumps(record))
        assert (again.name, again.window, again.divisor) == (record.name, record.window, record.divisor)
        assert np.array_equal(again.stars, record.stars) and not again.stars.flags.writeable
    # A record read from a file stays one of that file.
    planes = calstars2fp.Reconstitution().reconstitute(calstars, pickle.loads(pickle.dumps(read)))
    assert np.array_equal(planes, calstars2fp.Reconstitution().reconstitute(calstars, read))
    four = calstars2fp.FourProduct(planes, camera=3, source="x.bin")
    again = pickle.loads(pickle.dumps(four))
    assert (again.rows, again.cols, again.camera, again.source, again.frames) == (four.rows, four.cols, 3, "x.bin", 256)
    assert np.array_equal(again.planes, planes)


def test_four_product_from_planes_is_an_image(tmp_path):
    planes = np.random.default_rng(3).integers(0, 256, size=(4, 5, 7), dtype=np.uint8)
    four = calstars2fp.FourProduct(planes, camera=12)
    planes[0, 0, 0] ^= 1  # the four-product keeps its own copy
    assert np.asarray(four).shape == (4, 5, 7) and np.asarray(four)[0, 0, 0] != planes[0, 0, 0]
    assert np.asarray(four, dtype=np.float32).dtype == np.float32
    assert not np.asarray(four).flags.writeable
    calstars2fp.write_fourproduct(tmp_path / "f.bin", four, four.camera)
    assert (tmp_path / "f.bin").read_bytes() == header_bytes(5, 7, 12) + four.planes.tobytes()
    assert calstars2fp.read_fourproduct(tmp_path / "f.bin").planes.tobytes() == four.planes.tobytes()


def test_processing_order_is_the_listing_the_program_writes(tmp_path):
    names = ["calstars_b.txt", "CALSTARS_a.txt", "CALSTARS_C.TXT", "CALSTARS_.txt", "notes.txt", "CALSTARS_x.dat"]
    for name in names:
        (tmp_path / name).write_text(text())
    (tmp_path / "CALSTARS_dir.txt").mkdir()
    os.mkfifo(tmp_path / "CALSTARS_fifo.txt")
    order = calstars2fp.processing_order(tmp_path)
    assert not (tmp_path / "DirListingCalstars.txt").exists()
    os.unlink(tmp_path / "CALSTARS_fifo.txt")
    for name in ("CALSTARS_a.txt", "CALSTARS_C.TXT", "CALSTARS_.txt"):
        (tmp_path / name).write_text(text(name=name[:-4] + "A.bin", name2=name[:-4] + "B.bin"))
    (tmp_path / "calstars_b.txt").write_text(text(name="b_A.bin", name2="b_B.bin"))
    status, lines = run_program(tmp_path)
    assert status == 0, lines
    assert order == listed_files(tmp_path) == ["CALSTARS_.txt", "CALSTARS_a.txt", "calstars_b.txt", "CALSTARS_C.TXT"]


def test_processing_order_of_a_missing_folder_is_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError) as raised:
        calstars2fp.processing_order(tmp_path / "missing")
    assert isinstance(raised.value, calstars2fp.Error) and raised.value.filename == str(tmp_path / "missing") + "/"
