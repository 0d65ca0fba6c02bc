#include "python/bindings/records.h"

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "calstars/calstars.h"
#include "calstars/calstars_writer.h"
#include "platform/listing.h"
#include "failure.h"
#include "python/bindings/conversions.h"
#include "python/bindings/gil.h"
#include "python/bindings/errors.h"
#include "reconstitution/reconstitution.h"

namespace bindings {

namespace {

// The "path" of a record made in memory, in the program's lines about it.
constexpr const char* kMemoryPath = "<memory>";

py::array StarArray(const CalStarExtraction& extraction) {
    const size_t count = extraction.row.size();
    py::array_t<Star> stars(static_cast<py::ssize_t>(count));
    Star* out = stars.mutable_data();
    for (size_t i = 0; i < count; ++i) {
        out[i] = Star{extraction.row[i], extraction.col[i], extraction.intensity[i], extraction.total[i]};
    }
    py::array result = std::move(stars);
    MakeReadOnly(result);
    return result;
}

// Record's own failure for a star table whose content the reader or the reconstitution would
// refuse: " Record: <reason> \n", a content failure of no file.
[[noreturn]] void RefuseRecord(const std::string& reason) { FailContent(WaitKind::None, " Record: " + reason + " \n", "", 0); }

// The integers of a column of star values, as a star line holds them: each value rounded to the
// nearest whole number (halves to even, as numpy.rint), in the 32-bit range that the reader reads.
// Stars are counted from 1, as the program counts them.
std::vector<int32_t> IntegerColumn(const py::handle& column, const char* what) {
    const auto values = Converted<double>(column);
    if (values.ndim() != 1) throw py::value_error(std::string("the ") + what + " column of stars must be one-dimensional");
    std::vector<int32_t> result(static_cast<size_t>(values.size()));
    const double* in = values.data();
    for (size_t i = 0; i < result.size(); ++i) {
        if (!std::isfinite(in[i])) RefuseRecord(Format("%s of star %zu is not a finite number", what, i + 1));
        const double whole = std::nearbyint(in[i]);  // the default rounding mode: to nearest, halves to even
        if (whole < INT32_MIN || whole > INT32_MAX) {
            RefuseRecord(Format("%s %.0f of star %zu: number out of the 32-bit range", what, whole, i + 1));
        }
        result[i] = static_cast<int32_t>(whole);
    }
    return result;
}

// A column of a star table: table[key] of a structured array, an astropy Table or QTable, a pandas
// DataFrame, a dict of arrays. Masked values have no value a file could hold.
py::object StarColumn(const py::handle& table, const py::handle& key, const char* option) {
    py::object column;
    try {
        column = table[key];
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_KeyError) && !error.matches(PyExc_ValueError) && !error.matches(PyExc_IndexError) &&
            !error.matches(PyExc_TypeError)) {
            throw;
        }
        throw py::value_error(py::str("stars has no column {!r}: give the name of yours as {}= (x is col, y is row)")
                                  .format(key, option).cast<std::string>());
    }
    const py::object masked_array = py::module_::import("numpy").attr("ma").attr("MaskedArray");
    if (py::isinstance(column, masked_array) &&
        py::module_::import("numpy").attr("ma").attr("getmaskarray")(column).attr("any")().cast<bool>()) {
        throw py::value_error(py::str("column {!r} of stars has masked values").format(key).cast<std::string>());
    }
    return column;
}

// The background levels of `count` stars: a column of the table (level names one), one number for
// every star, or an array of one per star.
std::vector<int32_t> LevelColumn(const py::handle& stars, const py::handle& level, size_t count) {
    const py::object values = py::isinstance<py::str>(level) ? StarColumn(stars, level, "level")
                                                             : py::reinterpret_borrow<py::object>(level);
    const py::object broadcast = py::module_::import("numpy").attr("broadcast_to")(values, py::make_tuple(count));
    return IntegerColumn(broadcast, "level");
}

// The totals that give each star its level: intensity + level x divisor, in the 32-bit range the
// reader reads.
std::vector<int32_t> TotalsForLevels(const std::vector<int32_t>& intensity, const std::vector<int32_t>& level,
                                     int32_t divisor) {
    std::vector<int32_t> total(intensity.size());
    for (size_t i = 0; i < total.size(); ++i) {
        const int64_t value = CalStarStar_TotalForLevel(intensity[i], level[i], divisor);
        if (value < INT32_MIN || value > INT32_MAX) {
            RefuseRecord(Format("total %" PRId64 " (intensity + level x divisor) of star %zu: number out of the 32-bit range",
                                value, i + 1));
        }
        total[i] = static_cast<int32_t>(value);
    }
    return total;
}

// The values that the record does not hold as given (the reader keeps the low 16 bits of a star
// line's intensity and total), in one warning line naming the first; "" when it holds every one.
std::string CutValuesWarning(const CalStarExtraction& record, const std::vector<int32_t>& intensity,
                             const std::vector<int32_t>& total, bool totals_from_levels) {
    size_t cut = 0;
    std::string first;
    const auto note = [&](const char* what, int32_t given, uint16_t kept, size_t i) {
        if (given == int32_t{kept}) return;
        if (cut++ == 0) first = Format("%s %" PRId32 " of star %zu is kept as %u", what, given, i + 1, unsigned{kept});
    };
    for (size_t i = 0; i < intensity.size(); ++i) {
        note("intensity", intensity[i], record.intensity[i], i);
        note(totals_from_levels ? "total (intensity + level x divisor)" : "total", total[i], record.total[i], i);
    }
    if (cut == 0) return std::string();
    return Format(" Warning: %zu star values of record %s are outside 0..65535 and keep their low 16 bits, as the reader "
                  "keeps a star line's: %s; clip them to 0..65535%s \n",
                  cut, record.name.c_str(), first.c_str(),
                  totals_from_levels && record.divisor != 1 ? " (or take a smaller divisor)" : "");
}

// The names of the columns a star table's values are taken from, and the background level that
// may stand in for the totals (None: the totals are a column).
struct ColumnNames {
    py::object row, col, intensity, total, level;
};

ColumnNames DefaultColumns() {
    return ColumnNames{py::str("row"), py::str("col"), py::str("intensity"), py::str("total"), py::none()};
}

// Which rules a record is made under: those of a record given by the user (every refusal of the
// reader, of the writer and of the reconstitution that needs no image), or only the reader's, for
// the state of a record that passed them when it was made or read (a pickle's).
enum class Made { kByUser, kFromState };

// A record from a star table and its values, with the reader's star values, refused (with the
// reasons of the reader, the writer and the reconstitution) where a file of it would be.
Record MakeRecord(const py::handle& stars, int64_t window, int64_t divisor, const py::handle& name,
                  const ColumnNames& columns, Made made) {
    Record result;
    CalStarExtraction& record = result.record;
    record.name = PathArgument(name);
    record.window = Int32Argument(window, "window");
    record.divisor = Int32Argument(divisor, "divisor");
    std::string refused = made == Made::kByUser ? CalStarName_Refusal(record.name) : std::string();
    if (refused.empty()) refused = CalStarFrame_Refusal(record.name, record.divisor);
    if (!refused.empty()) RefuseRecord(refused);
    const auto rows = Converted<float>(StarColumn(stars, columns.row, "row"));
    const auto cols = Converted<float>(StarColumn(stars, columns.col, "col"));
    const std::vector<int32_t> intensity = IntegerColumn(StarColumn(stars, columns.intensity, "intensity"), "intensity");
    const size_t count = intensity.size();
    const bool from_levels = !columns.level.is_none();
    const std::vector<int32_t> total = from_levels ? TotalsForLevels(intensity, LevelColumn(stars, columns.level, count), record.divisor)
                                                   : IntegerColumn(StarColumn(stars, columns.total, "total"), "total");
    if (rows.ndim() != 1 || cols.ndim() != 1 || static_cast<size_t>(rows.size()) != count ||
        static_cast<size_t>(cols.size()) != count || total.size() != count) {
        throw py::value_error("the row, col, intensity and total columns of stars must be one-dimensional and of one length");
    }
    if (count > static_cast<size_t>(INT32_MAX)) throw py::value_error("more stars than a record can hold");
    CalStarExtraction_SizeStars(record, count);
    for (size_t i = 0; i < count; ++i) {
        CalStarExtraction_SetStar(record, i, rows.data()[i], cols.data()[i], intensity[i], total[i]);
    }
    record.nstars = static_cast<int32_t>(count);
    record.path = kMemoryPath;
    if (made == Made::kByUser) {
        refused = CalStarReconsitution_RecordRefusal(record, kImageUnknown, kImageUnknown);
        if (!refused.empty()) RefuseRecord(refused);
        Warn(CutValuesWarning(record, intensity, total, from_levels));
    }
    result.stars = StarArray(record);
    return result;
}

// Record(...) as Python calls it: the column names given by keyword, total or level.
Record MakeUserRecord(const py::handle& stars, int64_t window, int64_t divisor, const py::handle& name, const py::object& row,
                      const py::object& col, const py::object& intensity, const py::object& total, const py::object& level) {
    if (!level.is_none() && !(py::isinstance<py::str>(total) && total.cast<std::string>() == "total")) {
        throw py::type_error("give the totals (total=) or the background level (level=), not both");
    }
    return MakeRecord(stars, window, divisor, name, ColumnNames{row, col, intensity, total, level}, Made::kByUser);
}

void WriteCalstars(const py::handle& path_argument, const py::iterable& records_argument, const py::handle& shape,
                   int64_t first_int, const py::handle& header_text) {
    const std::string path = PathArgument(path_argument);
    std::vector<py::object> held;  // keeps the records alive while the GIL is released
    std::vector<const CalStarExtraction*> records;
    for (const py::handle item : records_argument) {
        if (!py::isinstance<Record>(item)) throw py::type_error("records must hold calstars2fp.Record objects");
        held.push_back(py::reinterpret_borrow<py::object>(item));
        records.push_back(&item.cast<const Record&>().record);
    }
    if (!py::isinstance<py::sequence>(shape) || py::isinstance<py::str>(shape) || py::len(shape) != 2) {
        throw py::type_error("shape must be the image size (rows, cols)");
    }
    CalStarExtraction header;
    header.rows = IndexArgument(shape[py::int_(0)], "rows");
    header.cols = IndexArgument(shape[py::int_(1)], "cols");
    header.first_int = Int32Argument(first_int, "first_int");
    header.header_text = PathArgument(header_text);
    header.nstars = records.empty() ? 0 : static_cast<int32_t>(records.front()->row.size());
    // Beyond what the reader would refuse (the writer's refusals), what the program would refuse to
    // process, in the program's order: every file written here is one that it runs through.
    std::string refused = CalStarHeader_Refusal(header);
    if (refused.empty()) refused = CalStarReconsitution_ImageRefusal(header.rows, header.cols);
    for (size_t i = 0; i < records.size() && refused.empty(); ++i) {
        const CalStarExtraction& record = *records[i];
        refused = CalStarRecord_Refusal(header, record);
        if (refused.empty() && WouldOverwriteInput(record.name)) {
            refused = Format("record name %s would overwrite an input of the run", record.name.c_str());
        }
        if (refused.empty()) refused = CalStarReconsitution_RecordRefusal(record, header.rows, header.cols);
    }
    if (!refused.empty()) RefuseCalStarFile(path, refused);
    GilReleased released;
    WriteCalStarFile(path, header, records);
}

// Pickled state of a Record: its star table, its values, and the image it was read with.
py::tuple RecordState(const Record& r) {
    return py::make_tuple(r.stars, r.record.window, r.record.divisor, py::bytes(r.record.name), r.record.rows, r.record.cols,
                          py::bytes(r.record.path));
}

Record RecordFromState(const py::tuple& state) {
    if (state.size() != 7) throw py::value_error("not the state of a calstars2fp.Record");
    Record made = MakeRecord(state[0], state[1].cast<int64_t>(), state[2].cast<int64_t>(), state[3], DefaultColumns(),
                             Made::kFromState);
    made.record.rows = state[4].cast<int32_t>();
    made.record.cols = state[5].cast<int32_t>();
    made.record.path = state[6].cast<std::string>();
    return made;
}

// The next record of an open file; StopIteration at its end (and after close()).
Record NextRecord(CalstarsFile& f) {
    if (f.finished) throw py::stop_iteration();
    bool ended = false;
    {
        GilReleased released;
        const std::lock_guard<std::mutex> lock(*f.reading);
        if (f.finished) throw py::stop_iteration();
        try {
            ended = ReadCalStarFrame(f.extraction) != 0;
        } catch (...) {
            f.finished = true;  // the reader stops at a malformed record, as the program does
            throw;
        }
        if (!ended) ++f.records_read;
    }
    if (ended) {
        f.finished = true;
        throw py::stop_iteration();
    }
    Record record;
    CalStarExtraction_CopyRecord(f.extraction, record.record);
    record.stars = StarArray(f.extraction);
    return record;
}

// A file read to its end reads again from its first record, once its header is found unchanged:
// the records read before stay records of this file.
void ReadAgain(CalstarsFile& f) {
    GilReleased released;
    const std::lock_guard<std::mutex> lock(*f.reading);
    if (!f.finished || f.closed) return;
    CalStarExtraction again;
    OpenCalStarExtraction(f.extraction.path, again);
    const CalStarExtraction& held = f.extraction;
    if (again.first_int != held.first_int || again.rows != held.rows || again.cols != held.cols ||
        again.nstars != held.nstars || again.header_text != held.header_text) {
        FailContent(WaitKind::None,
                    Format(" CALSTARS file %s has another header than when it was opened: read_calstars reads it anew \n",
                           held.path.c_str()),
                    held.path, 0);
    }
    f.extraction = std::move(again);
    f.finished = false;
    f.records_read = 0;
}

void CloseFile(CalstarsFile& f) {
    GilReleased released;
    const std::lock_guard<std::mutex> lock(*f.reading);
    CalStarExtraction_Close(f.extraction);
    f.finished = true;
    f.closed = true;
}

}  // namespace

void DefineRecords(py::module_& module) {
    py::class_<Record>(module, "Record",
                       "One frame record: the name of its four-product file, the star window, the background\n"
                       "divisor and the stars. Read from a CALSTARS file by iterating over it, or made from a\n"
                       "star table of any catalogue.")
        .def(py::init(&MakeUserRecord), py::arg("stars"), py::arg("window"), py::arg("divisor"), py::arg("name"), py::kw_only(),
             py::arg("row") = "row", py::arg("col") = "col", py::arg("intensity") = "intensity", py::arg("total") = "total",
             py::arg("level") = py::none(),
             "__init__(self, stars, window, divisor, name, *, row='row', col='col', intensity='intensity', total='total', "
             "level=None)\n--\n\n"
             "A record made from a star table, refused where the program would refuse a file of it.\n\n"
             "Parameters\n----------\n"
             "stars : table\n"
             "    Anything that gives a column by its name, ``stars[name]``, as something NumPy converts to a\n"
             "    one-dimensional array: a NumPy structured array (``STAR_DTYPE`` among them), an astropy\n"
             "    ``Table`` or ``QTable``, a pandas ``DataFrame``, a dict of arrays or lists. Other columns\n"
             "    are ignored. Positions are kept as single-precision numbers. Intensities, totals and levels\n"
             "    are rounded to the nearest whole number (halves to even, as ``numpy.rint``): a star line\n"
             "    holds integers.\n"
             "window : int\n    Side of each star's square window in pixels: odd, at least 1 (and at most the image's\n"
             "    smaller side, which reconstitute and write_calstars check).\n"
             "divisor : int\n    Divisor of the background level, (total - intensity) / divisor truncated toward zero\n"
             "    (-5 / 16 is 0, not Python's -5 // 16 = -1); not 0.\n"
             "name : str, bytes or os.PathLike\n    Name of the four-product file for this record: a plain file name\n"
             "    without white space at either end.\n"
             "row, col : str, optional\n"
             "    The columns of the star centres, in pixels: row counts image rows from the top, col image\n"
             "    columns from the left. A catalogue's x is col and its y is row: ``col='x', row='y'``\n"
             "    (``col='xcentroid', row='ycentroid'`` for centroids named so).\n"
             "intensity : str, optional\n    The column of the stars' integrated intensities (a flux), in ADU.\n"
             "total : str, optional\n    The column of the star lines' fourth values, intensity + background x divisor.\n"
             "level : str, number or array, optional\n"
             "    The background level in place of total: a column name, one level for every star, or one per\n"
             "    star. The record then holds total = intensity + level x divisor, from which the reader's\n"
             "    quotient gives back the level; with a level, divisor 1 leaves the most room in 16 bits.\n\n"
             "Raises\n------\n"
             "Error, ValueError\n"
             "    What the reader, the writer or the reconstitution would refuse of such a record, with\n"
             "    their reason ('Record: divisor 0', 'Record: window 10 is not an odd size from 1 to the\n"
             "    image's smaller side', 'Record: star 3 has a coordinate that is not a finite number'; stars\n"
             "    are counted from 1): a name that is not a plain file name or would not read back the same,\n"
             "    a window that is even or below 1, divisor 0, a position or value that is not a finite\n"
             "    number, a value out of the 32-bit range.\n"
             "ValueError, TypeError\n    Columns that are missing, masked, of different lengths or not numbers; total\n"
             "    and level both given.\n\n"
             "Warns\n-----\n"
             "CalstarsWarning\n"
             "    Intensities or totals outside 0..65535: the record keeps their low 16 bits, as the reader\n"
             "    keeps those of a star line (70000 becomes 4464), so the program draws what a file of the\n"
             "    same values gives; clip them (``numpy.clip``) to keep such stars bright.\n\n"
             "Examples\n--------\n"
             ">>> import numpy as np\n"
             ">>> stars = np.array([(10.5, 12.25, 1800, 2300)], dtype=calstars2fp.STAR_DTYPE)\n"
             ">>> calstars2fp.Record(stars, window=9, divisor=4, name='A.bin')\n"
             "<calstars2fp.Record 'A.bin': window 9, divisor 4, 1 stars>\n"
             ">>> photometry = {'x': [12.3, 30.8], 'y': [10.6, 20.1], 'flux': [1800.4, 950.6]}\n"
             ">>> record = calstars2fp.Record(photometry, 9, 1, 'B.bin', col='x', row='y', intensity='flux', level=25)\n"
             ">>> record.stars['intensity'].tolist(), record.stars['total'].tolist()\n"
             "([1800, 951], [1825, 976])\n")
        .def_property_readonly("name", [](const Record& r) { return FsText(r.record.name); },
                               "Name of the four-product file that the program writes for this record.")
        .def_property_readonly("window", [](const Record& r) { return r.record.window; },
                               "Side of each star's square window in pixels (odd for a record the program accepts).")
        .def_property_readonly("divisor", [](const Record& r) { return r.record.divisor; },
                               "Divisor of the background level: (total - intensity) / divisor, truncated toward zero.")
        .def_property_readonly("stars", [](const Record& r) { return r.stars; },
                               "The stars as a read-only NumPy structured array of dtype STAR_DTYPE: fields row (float32),\n"
                               "col (float32), intensity (uint16) and total (uint16), in file order.")
        .def(py::pickle(&RecordState, &RecordFromState))
        .def("__repr__", [](const Record& r) {
            return py::str("<calstars2fp.Record {!r}: window {}, divisor {}, {} stars>")
                .format(FsText(r.record.name), r.record.window, r.record.divisor, r.record.row.size());
        }, "__repr__(self)\n--\n\n");

    py::class_<CalstarsFile>(module, "CalstarsFile",
                             "An open CALSTARS file: its header fields, and its frame records by iteration, read one at a\n"
                             "time in file order as the program reads them. A loop that stops early leaves the rest for the\n"
                             "next; once the end is reached, iterating again reads the file again from its first record\n"
                             "(next() at the end gives StopIteration). A malformed record raises Error (and ValueError).\n"
                             "Made by read_calstars; a context manager, closed by close() or at the end of a with block.")
        .def_property_readonly("path", [](const CalstarsFile& f) { return FsText(f.extraction.path); }, "The path as given.")
        .def_property_readonly("rows", [](const CalstarsFile& f) { return f.extraction.rows; }, "Image height in pixels.")
        .def_property_readonly("cols", [](const CalstarsFile& f) { return f.extraction.cols; }, "Image width in pixels.")
        .def_property_readonly("shape", [](const CalstarsFile& f) { return py::make_tuple(f.extraction.rows, f.extraction.cols); },
                               "The image size (rows, cols).")
        .def_property_readonly("first_int", [](const CalstarsFile& f) { return f.extraction.first_int; },
                               "The header's first integer (the camera number); its absolute value is the four-product "
                               "file's fifth header word.")
        .def_property_readonly("header_text", [](const CalstarsFile& f) { return FsText(f.extraction.header_text); },
                               "The text of the header's sixth line after its '=' (the camera's description).")
        .def_property_readonly("nstars", [](const CalstarsFile& f) { return f.extraction.nstars; },
                               "Number of stars in every record.")
        .def_property_readonly("records_read", [](const CalstarsFile& f) { return f.records_read; },
                               "Records read since the file was opened or last read again from its start.")
        .def_property_readonly("closed", [](const CalstarsFile& f) { return f.closed; }, "True once close() has been called.")
        .def(
            "__iter__",
            [](CalstarsFile& f) -> CalstarsFile& {
                if (f.closed) throw py::value_error("CALSTARS file " + f.extraction.path + " is closed");
                ReadAgain(f);
                return f;
            },
            py::return_value_policy::reference_internal,
            "__iter__(self)\n--\n\nThe file itself, its own iterator: where the last loop stopped, or again from the first\n"
            "record once the end was reached (ValueError after close()).")
        .def("__next__", &NextRecord, "__next__(self)\n--\n\nThe next frame record; StopIteration at the end marker.")
        .def("close", &CloseFile,
             "close(self)\n--\n\nReleases the file's text: no record is read after it. The header fields stay; closing\n"
             "twice does nothing.")
        .def("__enter__", [](CalstarsFile& f) -> CalstarsFile& { return f; }, py::return_value_policy::reference_internal,
             "__enter__(self)\n--\n\n")
        .def("__exit__", [](CalstarsFile& f, const py::args&) { CloseFile(f); }, "__exit__(self, *args)\n--\n\n")
        .def("__repr__", [](const CalstarsFile& f) {
            return py::str("<calstars2fp.CalstarsFile {!r}: {} x {}, {} stars a record>")
                .format(FsText(f.extraction.path), f.extraction.rows, f.extraction.cols, f.extraction.nstars);
        }, "__repr__(self)\n--\n\n");

    module.def(
        "read_calstars",
        [](const py::handle& path_argument) {
            const std::string path = PathArgument(path_argument);
            CalstarsFile file;
            {
                GilReleased released;
                OpenCalStarExtraction(path, file.extraction);
            }
            return file;
        },
        py::arg("path"),
        "read_calstars(path)\n--\n\n"
        "Opens a CALSTARS file and reads its header.\n\n"
        "Parameters\n----------\n"
        "path : str, bytes or os.PathLike\n    The file; only a regular file (or a link to one) is opened.\n\n"
        "Returns\n-------\n"
        "CalstarsFile\n    Its header fields; iterating over it reads its records. A context manager.\n\n"
        "Raises\n------\n"
        "FileNotFoundError, IsADirectoryError, PermissionError, OSError\n"
        "    The file cannot be opened (also Error), or is not a regular file.\n"
        "ValueError\n    A malformed header (also Error), with the file and the line as filename and lineno.\n"
        "MemoryError\n    The file does not fit the memory (also Error).\n\n"
        "Examples\n--------\n"
        ">>> stars = {'row': [10.5], 'col': [12.25], 'intensity': [1800], 'total': [2300]}\n"
        ">>> records = [calstars2fp.Record(stars, 9, 4, 'A.bin')]\n"
        ">>> calstars2fp.write_calstars('CALSTARS_doc.txt', records, (32, 40), first_int=3)\n"
        ">>> with calstars2fp.read_calstars('CALSTARS_doc.txt') as calstars:\n"
        "...     calstars.shape, calstars.first_int, [record.name for record in calstars], calstars.records_read\n"
        "((32, 40), 3, ['A.bin'], 1)\n");
    module.def("write_calstars", &WriteCalstars, py::arg("path"), py::arg("records"), py::arg("shape"),
               py::arg("first_int") = 0, py::arg("header_text") = "",
               "write_calstars(path, records, shape, first_int=0, header_text='')\n--\n\n"
               "Writes records as a CALSTARS file that the program and read_calstars read back to the same\n"
               "records and that the program processes, through a temporary name renamed when complete.\n\n"
               "Parameters\n----------\n"
               "path : str, bytes or os.PathLike\n    The file to write.\n"
               "records : iterable of Record\n    The records, each with the same number of stars.\n"
               "shape : tuple of int\n    The image size (rows, cols), at least 15 x 15.\n"
               "first_int : int, optional\n    The header's first integer (the camera number).\n"
               "header_text : str, optional\n    The text of the header's sixth line (the camera's description).\n\n"
               "Raises\n------\n"
               "Error, ValueError\n"
               "    Before anything is written ('Cannot write Cal Star Extraction file <path>: <reason>'): a\n"
               "    header or record that the reader would refuse or read back otherwise, or one the program\n"
               "    would refuse to process: an image below 15 x 15, records of different star counts, a window\n"
               "    that is even, below 1 or above the image's smaller side, a position that is not a finite\n"
               "    number, a record name that would overwrite an input of the run (CALSTARS*.txt, the listing).\n"
               "OSError\n    The file cannot be written (also Error, with errno and filename).\n"
               "TypeError\n    records that are not Record objects.\n\n"
               "Examples\n--------\n"
               ">>> stars = {'row': [10.5], 'col': [12.25], 'intensity': [1800], 'total': [2300]}\n"
               ">>> calstars2fp.write_calstars('CALSTARS_doc.txt', [calstars2fp.Record(stars, 9, 4, 'A.bin')], (32, 40))\n");
}

}  // namespace bindings
