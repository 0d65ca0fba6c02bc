#include "python/bindings/records.h"

#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "calstars/calstars.h"
#include "calstars/calstars_writer.h"
#include "failure.h"
#include "python/bindings/conversions.h"

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

// The integers of an intensity or total column, as the reader takes the integers of star lines:
// whole numbers in the 32-bit range.
std::vector<int32_t> IntegerColumn(const py::handle& column, const char* what) {
    const auto values = Converted<double>(column);
    std::vector<int32_t> result(static_cast<size_t>(values.size()));
    const double* in = values.data();
    for (size_t i = 0; i < result.size(); ++i) {
        if (!std::isfinite(in[i]) || in[i] != std::floor(in[i])) {
            throw py::value_error(std::string(what) + " of star " + std::to_string(i) + " is not an integer");
        }
        if (in[i] < INT32_MIN || in[i] > INT32_MAX) {
            throw py::value_error(std::string(what) + " of star " + std::to_string(i) + " is out of the 32-bit range");
        }
        result[i] = static_cast<int32_t>(in[i]);
    }
    return result;
}

// A column of a star table: table[name] of a structured array, an astropy Table, a pandas
// DataFrame, a dict of sequences. Masked values have no value a file could hold.
py::object StarColumn(const py::handle& table, const char* name) {
    py::object column;
    try {
        column = table[py::str(name)];
    } catch (py::error_already_set& error) {
        if (!error.matches(PyExc_KeyError) && !error.matches(PyExc_ValueError) && !error.matches(PyExc_IndexError) &&
            !error.matches(PyExc_TypeError)) {
            throw;
        }
        throw py::value_error(std::string("stars must have the columns row, col, intensity and total: no column ") + name);
    }
    if (py::hasattr(column, "mask") &&
        py::module_::import("numpy").attr("any")(column.attr("mask")).cast<bool>()) {
        throw py::value_error(std::string("column ") + name + " of stars has masked values");
    }
    return column;
}

// A record from a star table and its values, checked as the reader checks a record of a file (the
// name and the divisor with the reader's reasons), with the reader's star values.
Record MakeRecord(const py::handle& stars, int64_t window, int64_t divisor, const py::handle& name) {
    Record made;
    CalStarExtraction& record = made.record;
    record.name = PathArgument(name);
    record.window = Int32Argument(window, "window");
    record.divisor = Int32Argument(divisor, "divisor");
    const std::string refused = CalStarFrame_Refusal(record.name, record.divisor);
    if (!refused.empty()) FailContent(WaitKind::None, " Record: " + refused + " \n", "", 0);
    const auto rows = Converted<float>(StarColumn(stars, "row"));
    const auto cols = Converted<float>(StarColumn(stars, "col"));
    const std::vector<int32_t> intensity = IntegerColumn(StarColumn(stars, "intensity"), "intensity");
    const std::vector<int32_t> total = IntegerColumn(StarColumn(stars, "total"), "total");
    const size_t count = intensity.size();
    if (rows.ndim() != 1 || cols.ndim() != 1 || static_cast<size_t>(rows.size()) != count ||
        static_cast<size_t>(cols.size()) != count || total.size() != count) {
        throw py::value_error("the columns row, col, intensity and total of stars must be one-dimensional and of one length");
    }
    if (count > static_cast<size_t>(INT32_MAX)) throw py::value_error("more stars than a record can hold");
    CalStarExtraction_SizeStars(record, count);
    for (size_t i = 0; i < count; ++i) {
        CalStarExtraction_SetStar(record, i, rows.data()[i], cols.data()[i], intensity[i], total[i]);
    }
    record.nstars = static_cast<int32_t>(count);
    record.path = kMemoryPath;
    made.stars = StarArray(record);
    return made;
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
    py::gil_scoped_release released;
    WriteCalStarFile(path, header, records);
}

// Pickled state of a Record: its star table, its values, and the image it was read with.
py::tuple RecordState(const Record& r) {
    return py::make_tuple(r.stars, r.record.window, r.record.divisor, py::bytes(r.record.name), r.record.rows, r.record.cols,
                          py::bytes(r.record.path));
}

Record RecordFromState(const py::tuple& state) {
    if (state.size() != 7) throw py::value_error("not the state of a calstars2fp.Record");
    Record made = MakeRecord(state[0], state[1].cast<int64_t>(), state[2].cast<int64_t>(), state[3]);
    made.record.rows = state[4].cast<int32_t>();
    made.record.cols = state[5].cast<int32_t>();
    made.record.path = state[6].cast<std::string>();
    return made;
}

}  // namespace

void DefineRecords(py::module_& module) {
    py::class_<Record>(module, "Record",
                       "One frame record: the name of its four-product file, the star window, the background\n"
                       "divisor and the stars. Read from a CALSTARS file by iterating over it, or made from a\n"
                       "star table of any catalogue.")
        .def(py::init(&MakeRecord), py::arg("stars"), py::arg("window"), py::arg("divisor"), py::arg("name"),
             "__init__(self, stars, window, divisor, name)\n--\n\n"
             "A record made from a star table, checked as the reader checks a record of a file.\n\n"
             "Parameters\n----------\n"
             "stars : structured array or table\n"
             "    Anything whose columns ``stars['row']``, ``stars['col']``, ``stars['intensity']`` and\n"
             "    ``stars['total']`` convert to one-dimensional arrays of one length: a NumPy structured\n"
             "    array (``STAR_DTYPE``), an astropy ``Table``, a pandas ``DataFrame``, a dict of lists.\n"
             "    Positions are kept as single-precision numbers; intensity and total must be whole\n"
             "    numbers in the 32-bit range, of which the record keeps the low 16 bits as the reader does.\n"
             "window : int\n    Side of each star's square window in pixels (odd for a record the program accepts).\n"
             "divisor : int\n    Divisor of the background level, (total - intensity) // divisor; not 0.\n"
             "name : str, bytes or os.PathLike\n    Name of the four-product file for this record: a plain file name.\n\n"
             "Raises\n------\n"
             "Error, ValueError\n    The reader's refusal of the name or the divisor ('Record: divisor 0').\n"
             "ValueError, TypeError\n    Columns that are missing, masked, of different lengths or not numbers.\n\n"
             "Examples\n--------\n"
             ">>> import numpy as np\n"
             ">>> stars = np.array([(10.5, 12.25, 1800, 2300)], dtype=calstars2fp.STAR_DTYPE)\n"
             ">>> record = calstars2fp.Record(stars, window=9, divisor=4, name='A.bin')\n"
             ">>> record\n"
             "<calstars2fp.Record 'A.bin': window 9, divisor 4, 1 stars>\n")
        .def_property_readonly("name", [](const Record& r) { return FsText(r.record.name); },
                               "Name of the four-product file that the program writes for this record.")
        .def_property_readonly("window", [](const Record& r) { return r.record.window; },
                               "Side of each star's square window in pixels (odd for a record the program accepts).")
        .def_property_readonly("divisor", [](const Record& r) { return r.record.divisor; },
                               "Divisor of the background level: (total - intensity) // divisor.")
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
                             "time in file order as the program reads them. Iterating reads on from where the last\n"
                             "iteration stopped; a malformed record raises Error (and ValueError). Made by read_calstars.")
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
        .def("__iter__", [](CalstarsFile& f) -> CalstarsFile& { return f; }, py::return_value_policy::reference_internal,
             "__iter__(self)\n--\n\nThe file itself: it is its own iterator over the records.")
        .def(
            "__next__",
            [](CalstarsFile& f) {
                if (f.finished) throw py::stop_iteration();
                bool ended = false;
                {
                    py::gil_scoped_release released;
                    const std::lock_guard<std::mutex> lock(*f.reading);
                    if (f.finished) throw py::stop_iteration();
                    try {
                        ended = ReadCalStarFrame(f.extraction) != 0;
                    } catch (...) {
                        f.finished = true;  // the reader stops at a malformed record, as the program does
                        throw;
                    }
                }
                if (ended) {
                    f.finished = true;
                    throw py::stop_iteration();
                }
                Record record;
                CalStarExtraction_CopyRecord(f.extraction, record.record);
                record.stars = StarArray(f.extraction);
                return record;
            },
            "__next__(self)\n--\n\nThe next frame record; StopIteration at the end marker.")
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
                py::gil_scoped_release released;
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
        "CalstarsFile\n    Its header fields; iterating over it reads its records.\n\n"
        "Raises\n------\n"
        "FileNotFoundError, IsADirectoryError, PermissionError, OSError\n"
        "    The file cannot be opened (also Error), or is not a regular file.\n"
        "ValueError\n    A malformed header (also Error), with the file and the line as filename and lineno.\n"
        "MemoryError\n    The file does not fit the memory (also Error).\n\n"
        "Examples\n--------\n"
        ">>> stars = {'row': [10.5], 'col': [12.25], 'intensity': [1800], 'total': [2300]}\n"
        ">>> records = [calstars2fp.Record(stars, 9, 4, 'A.bin')]\n"
        ">>> calstars2fp.write_calstars('CALSTARS_doc.txt', records, (32, 40), first_int=3)\n"
        ">>> calstars = calstars2fp.read_calstars('CALSTARS_doc.txt')\n"
        ">>> calstars.shape, calstars.first_int, [record.name for record in calstars]\n"
        "((32, 40), 3, ['A.bin'])\n");
    module.def("write_calstars", &WriteCalstars, py::arg("path"), py::arg("records"), py::arg("shape"),
               py::arg("first_int") = 0, py::arg("header_text") = "",
               "write_calstars(path, records, shape, first_int=0, header_text='')\n--\n\n"
               "Writes records as a CALSTARS file that the program and read_calstars read back to the same\n"
               "records, through a temporary name renamed when complete.\n\n"
               "Parameters\n----------\n"
               "path : str, bytes or os.PathLike\n    The file to write.\n"
               "records : iterable of Record\n    The records, each with the same number of stars.\n"
               "shape : tuple of int\n    The image size (rows, cols).\n"
               "first_int : int, optional\n    The header's first integer (the camera number).\n"
               "header_text : str, optional\n    The text of the header's sixth line (the camera's description).\n\n"
               "Raises\n------\n"
               "Error\n    A header or record the reader would refuse (before anything is written), or\n"
               "    OSError too when the file cannot be written.\n"
               "TypeError\n    records that are not Record objects.\n\n"
               "Examples\n--------\n"
               ">>> stars = {'row': [10.5], 'col': [12.25], 'intensity': [1800], 'total': [2300]}\n"
               ">>> calstars2fp.write_calstars('CALSTARS_doc.txt', [calstars2fp.Record(stars, 9, 4, 'A.bin')], (32, 40))\n");
}

}  // namespace bindings
