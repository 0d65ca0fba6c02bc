// calstars2fp._core, the compiled core of the Python package calstars2fp: the star lists, the
// reconstitution and the four-product files as NumPy arrays, in-process and byte for byte what the
// program writes.
//
// A thin layer: every call converts its arguments, runs the same C++ code as the program (the reader
// and its writer, CalStarReconsitution, the four-product writer and the viewer's reader, RunBatch)
// and converts the result. The one Failure type becomes an exception of calstars2fp._errors, chosen
// there from what the failure carries (the file, the system's error code, the line); its message is
// the program's line without its leading blank and line end, and the wait a Failure asks for is the
// console's business and is ignored. Paths go in through os.fsencode and come out, like every name
// read from a file, through the file-system decoding, so that a name that is not UTF-8 comes back as
// os.fsdecode gives it and never raises. Warning lines go to warnings.warn as CalstarsWarning.
// Nothing here prints, waits or ends the process, and no signal handler is installed: process_folder
// asks Python for pending signals (Ctrl-C) before each record's file is written. Heavy calls release
// the GIL, so threads that each own a Reconstitution run side by side.
//
// Every docstring starts with the call's signature in the form CPython reads into
// __text_signature__, so that inspect.signature works on each function and method.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "calstars/calstars.h"
#include "calstars/calstars_writer.h"
#include "driver/batch.h"
#include "driver/memory_budget.h"
#include "failure.h"
#include "fourproduct/fits_keywords.h"
#include "fourproduct/fourproduct.h"
#include "fourproduct/fourproduct_reader.h"
#include "platform/machine.h"
#include "reconstitution/reconstitution.h"
#include "version.h"

namespace py = pybind11;

namespace {

// One star of Record.stars, laid out as its NumPy structured dtype.
struct Star {
    float row;
    float col;
    uint16_t intensity;
    uint16_t total;
};

// The "path" of a record made in memory, in the program's lines about it.
constexpr const char* kMemoryPath = "<memory>";

// The program's line without its leading blank and its line end (and the blank before the line end).
std::string ErrorText(const std::string& message) {
    const size_t first = message.find_first_not_of(" \r\n");
    if (first == std::string::npos) return std::string();
    const size_t last = message.find_last_not_of(" \r\n");
    return message.substr(first, last - first + 1);
}

// Bytes of a name or a line as Python gives a file name: the file-system decoding with its escapes
// for bytes that do not decode (os.fsdecode).
py::str FsText(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

// A path argument: str, bytes or os.PathLike, as os.fsencode gives it. An embedded NUL would cut
// the path short in the system's calls, so it is refused as Python's own open refuses it.
std::string PathArgument(const py::handle& path) {
    const py::object encoded = py::module_::import("os").attr("fsencode")(path);
    std::string bytes = encoded.cast<std::string>();
    if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return bytes;
}

// The module's error classes and warning class, from calstars2fp._errors (imported before this
// module by the package). Held for the life of the process: exceptions are made until its end.
py::object& ErrorsModule() {
    static py::object* errors = new py::object(py::module_::import("calstars2fp._errors"));
    return *errors;
}

// Python's exception for a Failure, as calstars2fp._errors makes it from what the failure carries.
void SetFailure(const Failure& failure) {
    const char* kind = "other";
    switch (failure.kind) {
        case FailureKind::kOther: kind = "other"; break;
        case FailureKind::kMemory: kind = "memory"; break;
        case FailureKind::kFile: kind = "file"; break;
        case FailureKind::kContent: kind = "content"; break;
    }
    const py::object exception = ErrorsModule().attr("_from_failure")(
        FsText(ErrorText(failure.message)), kind, failure.system_error,
        // An empty path is a path too where the system refused it (write_fourproduct(''), as open('')).
        failure.path.empty() && failure.system_error == 0 ? py::object(py::none()) : py::object(FsText(failure.path)),
        failure.line > 0 ? py::object(py::int_(failure.line)) : py::object(py::none()));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
}

// Each warning line of `lines` through warnings.warn, attributed to the caller's line. Raises what
// warnings.warn raises (the warning itself under "-W error").
void Warn(const std::string& lines) {
    const py::object category = ErrorsModule().attr("CalstarsWarning");
    const py::object warn = py::module_::import("warnings").attr("warn");
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = ErrorText(lines.substr(start, end - start));
        if (!line.empty()) warn(FsText(line), category, py::arg("stacklevel") = 1);
        start = end + 1;
    }
}

// An array argument converted to type T, C-contiguous. The conversion's failure is Python's own
// exception (MemoryError when the copy cannot be allocated, TypeError or ValueError for values that
// do not convert), never a null array.
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> Converted(const py::handle& value) {
    return py::array_t<T, py::array::c_style | py::array::forcecast>(py::reinterpret_borrow<py::object>(value));
}

// The header of an open CALSTARS file, kept apart from the reader so that records can be checked
// against it.
struct CalstarsFile {
    CalStarExtraction extraction;  // the reader: header, current record, the file's text
    bool finished = false;
    std::unique_ptr<std::mutex> reading = std::make_unique<std::mutex>();  // one thread reads at a time
};

// A frame record: a copy of what the reconstitution reads (not the text), read from a file (path,
// rows and cols are the file's) or made in memory (path kMemoryPath, rows and cols 0).
struct Record {
    CalStarExtraction record;
    py::array stars;  // read-only structured array over a copy of the star arrays
};

void MakeReadOnly(py::array& array) { array.attr("setflags")(py::arg("write") = false); }

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

// A 32-bit header or record value given from Python; out of range as the reader refuses it.
int32_t Int32Argument(int64_t value, const char* what) {
    if (value < INT32_MIN || value > INT32_MAX) {
        throw py::value_error(std::string(what) + " is out of the 32-bit range");
    }
    return static_cast<int32_t>(value);
}

// An integer argument (anything with __index__) in the 32-bit range.
int32_t IndexArgument(const py::handle& value, const char* what) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) throw py::error_already_set();
    const py::object held = py::reinterpret_steal<py::object>(index);
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(index, &overflow);
    if (overflow != 0 || number < INT32_MIN || number > INT32_MAX) {
        throw py::value_error(std::string(what) + " is out of the 32-bit range");
    }
    return static_cast<int32_t>(number);
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

// The state of one run: the frame-index generator, the profile factor tables, the work images.
struct Reconstitution {
    std::mutex busy;  // a second thread calling the same object waits, with the GIL released
    ReconWorkBuffers buffers;
    FourProduct product;
    int32_t rows = -1, cols = -1, nstars = -1;  // what the buffers and planes are set up for
    int32_t first_int = 0;
};

// The four products of one file or record, read-only, with the header values.
struct FourProductArrays {
    int32_t rows = 0;
    int32_t cols = 0;
    int32_t camera = 0;
    int32_t bits_per_pixel = 8;
    int32_t frames = kFramesPerFourProduct;
    std::string source;  // the file's name without its folder: fpview's SOURCE keyword
    py::array planes;    // uint8, (4, rows, cols), read-only
};

// dtype uint8 by value: an unpickled array's dtype is equal to, not the same object as, NumPy's own.
bool IsUint8(const py::array& array) { return array.dtype().kind() == 'u' && array.dtype().itemsize() == 1; }

py::array_t<uint8_t> NewPlanes(int32_t rows, int32_t cols) {
    return py::array_t<uint8_t>({static_cast<py::ssize_t>(kProducts), static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
}

// Planes given from Python: any array-like of uint8 and shape (4, rows, cols) with 1 to 2^31 - 1
// pixels, as a C-contiguous array (a copy where it is not one already).
py::array_t<uint8_t, py::array::c_style | py::array::forcecast> PlanesArgument(const py::handle& argument) {
    const py::array planes = py::module_::import("numpy").attr("asarray")(argument);
    if (!IsUint8(planes)) throw py::type_error("planes must have dtype uint8");
    if (planes.ndim() != 3 || planes.shape(0) != kProducts) throw py::value_error("planes must have shape (4, rows, cols)");
    if (planes.shape(1) < 1 || planes.shape(2) < 1 || planes.shape(1) > INT32_MAX || planes.shape(2) > INT32_MAX ||
        planes.shape(1) * planes.shape(2) > INT32_MAX) {
        throw py::value_error("planes must have at least one row and one column, and at most 2^31 - 1 pixels");
    }
    return Converted<uint8_t>(planes);
}

int32_t CameraArgument(int64_t camera) {
    if (camera < 0 || camera > INT32_MAX) throw py::value_error("camera must be from 0 to 2^31 - 1");
    return static_cast<int32_t>(camera);
}

FourProductArrays MakeFourProduct(const py::handle& planes_argument, int64_t camera, const py::handle& source,
                                  int64_t bits_per_pixel = 8, int64_t frames = kFramesPerFourProduct) {
    const auto planes = PlanesArgument(planes_argument);
    FourProductArrays result;
    result.rows = static_cast<int32_t>(planes.shape(1));
    result.cols = static_cast<int32_t>(planes.shape(2));
    result.camera = CameraArgument(camera);
    result.bits_per_pixel = Int32Argument(bits_per_pixel, "bits_per_pixel");
    result.frames = Int32Argument(frames, "frames");
    result.source = source.is_none() ? std::string() : PathArgument(source);
    // A copy of its own: the planes stay what they were whatever becomes of the argument.
    py::array_t<uint8_t> copy = NewPlanes(result.rows, result.cols);
    std::memcpy(copy.mutable_data(), planes.data(), static_cast<size_t>(planes.nbytes()));
    result.planes = std::move(copy);
    MakeReadOnly(result.planes);
    return result;
}

// The image a record is reconstituted for: the file it was read from, or (rows, cols) for any record.
CalStarExtraction ImageOf(const py::handle& image, const Record& record) {
    if (py::isinstance<CalstarsFile>(image)) {
        const CalstarsFile& file = image.cast<const CalstarsFile&>();
        CalStarExtraction result;
        {
            // Another thread may be reading the file's next record.
            const std::lock_guard<std::mutex> lock(*file.reading);
            CalStarExtraction_CopyRecord(file.extraction, result);
        }
        const CalStarExtraction& frame = record.record;
        if (frame.rows != result.rows || frame.cols != result.cols || frame.nstars != result.nstars ||
            frame.path != result.path) {
            throw py::value_error("the record was not read from this CALSTARS file");
        }
        return result;
    }
    if (!py::isinstance<py::sequence>(image) || py::isinstance<py::str>(image) || py::len(image) != 2) {
        throw py::type_error("calstars_file must be a CalstarsFile or the image size (rows, cols)");
    }
    const py::sequence shape = py::reinterpret_borrow<py::sequence>(image);
    CalStarExtraction result;
    CalStarExtraction_CopyRecord(record.record, result);
    result.rows = IndexArgument(shape[0], "rows");
    result.cols = IndexArgument(shape[1], "cols");
    result.first_int = 0;  // an image of no file: no camera number
    return result;
}

// `out` given to reconstitute: exactly the array the planes go into, never a converted copy.
py::array_t<uint8_t> OutArgument(const py::handle& out, int32_t rows, int32_t cols) {
    if (!py::isinstance<py::array>(out)) throw py::type_error("out must be a NumPy array");
    const py::array array = py::reinterpret_borrow<py::array>(out);
    if (!IsUint8(array)) throw py::type_error("out must have dtype uint8");
    if (array.ndim() != 3 || array.shape(0) != kProducts || array.shape(1) != rows || array.shape(2) != cols) {
        throw py::value_error("out must have shape (4, " + std::to_string(rows) + ", " + std::to_string(cols) + ")");
    }
    if (!(array.flags() & py::array::c_style) || !array.writeable()) {
        throw py::value_error("out must be C-contiguous and writeable");
    }
    return py::reinterpret_borrow<py::array_t<uint8_t>>(out);
}

py::array Reconstitute(Reconstitution& run, const py::handle& image, const Record& record, const py::handle& out) {
    const CalStarExtraction header = ImageOf(image, record);
    py::array_t<uint8_t> planes;
    if (!out.is_none()) planes = OutArgument(out, header.rows, header.cols);
    // A record of another image size is the record with that size: the reconstitution reads it there.
    const bool resized = record.record.rows != header.rows || record.record.cols != header.cols;
    std::unique_ptr<CalStarExtraction> resized_frame;
    if (resized) {
        resized_frame = std::make_unique<CalStarExtraction>();
        CalStarExtraction_CopyRecord(record.record, *resized_frame);
        resized_frame->rows = header.rows;
        resized_frame->cols = header.cols;
    }
    const CalStarExtraction& frame = resized ? *resized_frame : record.record;
    const size_t npix = static_cast<size_t>(header.rows) * static_cast<size_t>(header.cols);
    std::string warnings;
    {
        py::gil_scoped_release released;
        const std::lock_guard<std::mutex> lock(run.busy);
        // The program's checks of the file and of the record, then its set-up, against the memory
        // budget the program would have now.
        const uint64_t budget = MemoryBudget(ReadMemoryLimits());
        CheckFileFits(header, budget);
        CheckRecordFits(frame, budget);
        SetUpWithinBudget(run.product, run.buffers, frame, frame, budget);
        // A refused record leaves the generator where it was, so the next record still runs on.
        const PseudoRandom before = run.buffers.generator;
        try {
            CalStarReconsitution(run.buffers, frame, run.product);
        } catch (...) {
            run.buffers.generator = before;
            CalStarReconsitution_FrameFree(run.buffers);
            throw;
        }
        CalStarReconsitution_FrameFree(run.buffers);
        warnings = run.buffers.warnings;
        if (out.is_none()) {
            // The array only now, after the program's checks have refused any image too large.
            py::gil_scoped_acquire held;
            planes = NewPlanes(header.rows, header.cols);
        }
        uint8_t* target = planes.mutable_data();
        for (int product = 0; product < kProducts; ++product) {
            std::memcpy(target + product * npix, FourProduct_Plane(run.product, product), npix);
        }
    }
    Warn(warnings);
    return std::move(planes);
}

FourProductArrays ReadFourProduct(const py::handle& path_argument) {
    const std::string path = PathArgument(path_argument);
    FourProduct file;
    {
        py::gil_scoped_release released;
        FourProduct_ReadFile(path, file);
    }
    FourProductArrays result;
    result.rows = file.rows;
    result.cols = file.cols;
    result.camera = file.first_int_magnitude;
    result.bits_per_pixel = file.bits_per_pixel;
    result.frames = file.header_word4;
    const size_t separator = path.find_last_of('/');
    result.source = separator == std::string::npos ? path : path.substr(separator + 1);
    py::array_t<uint8_t> planes = NewPlanes(file.rows, file.cols);
    const size_t npix = static_cast<size_t>(file.rows) * static_cast<size_t>(file.cols);
    uint8_t* out = planes.mutable_data();
    for (int product = 0; product < kProducts; ++product) std::memcpy(out + product * npix, FourProduct_Plane(file, product), npix);
    result.planes = std::move(planes);
    MakeReadOnly(result.planes);
    return result;
}

void WriteFourProduct(const py::handle& path_argument, const py::handle& planes_argument, int64_t camera_argument) {
    const std::string path = PathArgument(path_argument);
    const auto planes = PlanesArgument(planes_argument);
    const int32_t camera = CameraArgument(camera_argument);
    const int32_t rows = static_cast<int32_t>(planes.shape(1));
    const int32_t cols = static_cast<int32_t>(planes.shape(2));
    const size_t npix = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    const uint8_t* in = planes.data();
    py::gil_scoped_release released;
    FourProduct record;
    FourProduct_MemSetup(record, camera, rows, cols);
    for (int product = 0; product < kProducts; ++product) std::memcpy(FourProduct_Plane(record, product), in + product * npix, npix);
    record.output_name[record.bank] = path;
    FourProduct_WriteFile(record);
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

// What a stopped process_folder carries out of the run: Python's pending exception (KeyboardInterrupt
// from Ctrl-C, or a warning made an error), fetched while the GIL was held and restored once it is
// held again.
struct Stopped {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

[[noreturn]] void Stop() {
    Stopped stopped;
    PyErr_Fetch(&stopped.type, &stopped.value, &stopped.traceback);
    throw stopped;
}

py::list ProcessFolder(const py::handle& folder_argument, int32_t jobs, const py::handle& warnings) {
    const std::string folder = PathArgument(folder_argument);
    if (jobs < 0 || jobs > kMaxJobs) throw py::value_error("jobs must be from 0 (every allowed processor) to 256");
    if (!warnings.is_none() && !py::isinstance<py::list>(warnings)) throw py::type_error("warnings must be a list or None");
    if (jobs == 0) jobs = std::min(UsableProcessorCount(), kMaxJobs);
    std::vector<std::string> names;
    std::vector<std::string> warning_lines;
    RunHooks hooks;
    hooks.written = [&](const std::string& name) { names.push_back(name); };
    hooks.warnings = [&](const std::string& lines) {
        size_t start = 0;
        while (start < lines.size()) {
            size_t end = lines.find('\n', start);
            if (end == std::string::npos) end = lines.size();
            warning_lines.push_back(ErrorText(lines.substr(start, end - start)));
            start = end + 1;
        }
        // Under "-W error" the warning stops the run before this record's file, as Ctrl-C does.
        py::gil_scoped_acquire held;
        try {
            Warn(lines);
        } catch (py::error_already_set& error) {
            error.restore();
            Stop();
        }
    };
    hooks.before_record = [] {
        py::gil_scoped_acquire held;
        if (PyErr_CheckSignals() != 0) Stop();
    };
    const auto hand_back = [&] {
        if (warnings.is_none()) return;
        py::list list = py::reinterpret_borrow<py::list>(warnings);
        for (const std::string& line : warning_lines) list.append(FsText(line));
    };
    try {
        py::gil_scoped_release released;
        RunBatch(folder, jobs, &hooks);
    } catch (const Stopped& stopped) {
        hand_back();
        PyErr_Restore(stopped.type, stopped.value, stopped.traceback);
        throw py::error_already_set();
    } catch (...) {
        hand_back();
        throw;
    }
    hand_back();
    py::list result;
    for (const std::string& name : names) result.append(FsText(name));
    return result;
}

py::list ProcessingOrder(const py::handle& folder_argument) {
    const std::string folder = PathArgument(folder_argument);
    std::vector<std::string> names;
    {
        py::gil_scoped_release released;
        names = CalstarsFilesInOrder(folder);
    }
    py::list result;
    for (const std::string& name : names) result.append(FsText(name));
    return result;
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

py::tuple FourProductState(const FourProductArrays& f) {
    return py::make_tuple(f.planes, f.camera, py::bytes(f.source), f.bits_per_pixel, f.frames);
}

FourProductArrays FourProductFromState(const py::tuple& state) {
    if (state.size() != 5) throw py::value_error("not the state of a calstars2fp.FourProduct");
    return MakeFourProduct(state[0], state[1].cast<int64_t>(), state[2], state[3].cast<int64_t>(), state[4].cast<int64_t>());
}

}  // namespace

PYBIND11_MODULE(_core, module) {
    py::options options;
    options.disable_function_signatures();  // each docstring starts with its own, for inspect.signature
    module.doc() =
        "The compiled core of calstars2fp: the same code as the program, over NumPy arrays.\n"
        "\n"
        "Use the package calstars2fp, which gives every name defined here.";
    module.attr("__version__") = kVersion;
    PYBIND11_NUMPY_DTYPE(Star, row, col, intensity, total);
    module.attr("STAR_DTYPE") = py::dtype::of<Star>();

    ErrorsModule();  // before any call can fail
    py::register_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) std::rethrow_exception(pointer);
        } catch (const Failure& failure) {
            SetFailure(failure);
        } catch (const std::bad_alloc& error) {
            SetFailure(FailureOfUnexpected(error));
        }
    });

    module.attr("PRODUCTS") = py::make_tuple(kProductNames[0], kProductNames[1], kProductNames[2], kProductNames[3]);
    module.attr("PRODUCT_DESCRIPTIONS") = py::make_tuple(kProductDescriptions[0], kProductDescriptions[1],
                                                         kProductDescriptions[2], kProductDescriptions[3]);

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

    py::class_<Reconstitution>(module, "Reconstitution",
                               "The state of one run of the program: the frame-index generator, the profile factor\n"
                               "tables, the work images. Records reconstituted in the program's order give the program's\n"
                               "bytes. One object belongs to one thread at a time; threads with their own objects run\n"
                               "side by side.")
        .def(py::init([](int64_t generator_state) {
                 if (generator_state < 0 || generator_state > UINT32_MAX) {
                     throw py::value_error("generator_state must be from 0 to 2^32 - 1");
                 }
                 auto run = std::make_unique<Reconstitution>();
                 run->buffers.generator.state = static_cast<uint32_t>(generator_state);
                 return run;
             }),
             py::arg("generator_state") = 1,
             "__init__(self, generator_state=1)\n--\n\n"
             "A fresh run.\n\n"
             "Parameters\n----------\n"
             "generator_state : int, optional\n"
             "    The frame-index generator's state, 0 to 2^32 - 1: 1 is where every run of the program starts.\n")
        .def_property(
            "generator_state",
            [](Reconstitution& run) {
                py::gil_scoped_release released;
                const std::lock_guard<std::mutex> lock(run.busy);
                return run.buffers.generator.state;
            },
            [](Reconstitution& run, int64_t state) {
                if (state < 0 || state > UINT32_MAX) throw py::value_error("generator_state must be from 0 to 2^32 - 1");
                py::gil_scoped_release released;
                const std::lock_guard<std::mutex> lock(run.busy);
                run.buffers.generator.state = static_cast<uint32_t>(state);
            },
            "State of the frame-index generator (0 to 2^32 - 1). Each reconstituted record advances it by rows x cols "
            "draws; a refused record leaves it unchanged.")
        .def_property_readonly(
            "warnings",
            [](Reconstitution& run) {
                std::string warnings;
                {
                    py::gil_scoped_release released;
                    const std::lock_guard<std::mutex> lock(run.busy);
                    warnings = run.buffers.warnings;
                }
                return FsText(ErrorText(warnings));
            },
            "The warning line of the last record ('Warning: <n> star background levels outside 0..255 clamped in "
            "record ...'), or '' when it had none; each such line also goes to warnings.warn as CalstarsWarning.")
        .def("reconstitute", &Reconstitute, py::arg("calstars_file"), py::arg("record"), py::arg("out") = py::none(),
             "reconstitute(self, calstars_file, record, out=None)\n--\n\n"
             "The four products of a record: the bytes the program writes after the file's header, when\n"
             "records go through in the program's order.\n\n"
             "Parameters\n----------\n"
             "calstars_file : CalstarsFile or tuple of int\n"
             "    The file the record was read from, or the image size (rows, cols) to reconstitute any record\n"
             "    for, a record made in memory among them.\n"
             "record : Record\n    The record.\n"
             "out : numpy.ndarray, optional\n"
             "    A C-contiguous, writeable uint8 array of shape (4, rows, cols) to hold the planes.\n\n"
             "Returns\n-------\n"
             "numpy.ndarray\n    uint8 of shape (4, rows, cols): peak value, frame index of the peak, mean value,\n"
             "    standard deviation (``out`` when given).\n\n"
             "Raises\n------\n"
             "Error\n    The program's refusal of the image or the record (the object stays usable and the\n"
             "    generator where it was); MemoryError too when memory fails.\n"
             "ValueError, TypeError\n    A record of another file, an image size or out that is not one.\n\n"
             "Warns\n-----\n"
             "CalstarsWarning\n    The record's warning line (star background levels clamped).\n\n"
             "Notes\n-----\n"
             "Advances generator_state by rows x cols draws.\n\n"
             "Examples\n--------\n"
             ">>> stars = {'row': [10.5], 'col': [12.25], 'intensity': [1800], 'total': [2300]}\n"
             ">>> record = calstars2fp.Record(stars, 9, 4, 'A.bin')\n"
             ">>> planes = calstars2fp.Reconstitution().reconstitute((32, 40), record)\n"
             ">>> planes.shape, planes.dtype.name\n"
             "((4, 32, 40), 'uint8')\n");

    py::class_<FourProductArrays>(module, "FourProduct",
                                  "A four-product image: its header values and its four planes (peak value, frame index\n"
                                  "of the peak, mean value, standard deviation) as read-only uint8 arrays. np.asarray gives\n"
                                  "the planes. Made by read_fourproduct or from planes.")
        .def(py::init([](const py::handle& planes, int64_t camera, const py::handle& source) {
                 return MakeFourProduct(planes, camera, source);
             }),
             py::arg("planes"), py::arg("camera") = 0, py::arg("source") = py::none(),
             "__init__(self, planes, camera=0, source=None)\n--\n\n"
             "A four-product image from its planes and header value.\n\n"
             "Parameters\n----------\n"
             "planes : array_like\n    uint8 of shape (4, rows, cols); copied.\n"
             "camera : int, optional\n    The fifth header word, 0 to 2^31 - 1.\n"
             "source : str, bytes or os.PathLike, optional\n    The name that FITS exports give as SOURCE.\n\n"
             "Raises\n------\n"
             "TypeError, ValueError\n    Planes of another type or shape, a camera out of range.\n\n"
             "Examples\n--------\n"
             ">>> import numpy as np\n"
             ">>> four = calstars2fp.FourProduct(np.zeros((4, 2, 3), dtype=np.uint8), camera=7)\n"
             ">>> four.rows, four.cols, np.asarray(four).shape\n"
             "(2, 3, (4, 2, 3))\n")
        .def_readonly("rows", &FourProductArrays::rows, "Rows of each plane.")
        .def_readonly("cols", &FourProductArrays::cols, "Columns of each plane.")
        .def_readonly("camera", &FourProductArrays::camera,
                      "The fifth header word: |first integer| of the CALSTARS header (the camera number).")
        .def_readonly("bits_per_pixel", &FourProductArrays::bits_per_pixel, "The third header word, always 8.")
        .def_readonly("frames", &FourProductArrays::frames,
                      "The fourth header word: frames that a frame index of 0..255 spans (256).")
        .def_property_readonly("source", [](const FourProductArrays& f) { return FsText(f.source); },
                               "The name of the file read, without its folder ('' when made from planes without one).")
        .def_readonly("planes", &FourProductArrays::planes,
                      "The four planes, uint8 of shape (4, rows, cols), read-only: planes[k, row, col] is byte\n"
                      "20 + k * rows * cols + row * cols + col of the file.")
        .def_property_readonly("peak", [](const FourProductArrays& f) { return f.planes[py::int_(0)]; },
                               "Product 0, the peak value (a view of planes[0]).")
        .def_property_readonly("frame", [](const FourProductArrays& f) { return f.planes[py::int_(1)]; },
                               "Product 1, the frame index of the peak (a view of planes[1]).")
        .def_property_readonly("mean", [](const FourProductArrays& f) { return f.planes[py::int_(2)]; },
                               "Product 2, the mean value (a view of planes[2]).")
        .def_property_readonly("stddev", [](const FourProductArrays& f) { return f.planes[py::int_(3)]; },
                               "Product 3, the standard deviation (a view of planes[3]).")
        .def(
            "__array__",
            [](const FourProductArrays& f, const py::handle& dtype, const py::handle& copy) {
                const py::object numpy = py::module_::import("numpy");
                const bool copied = !copy.is_none() && copy.cast<bool>();
                return copied ? numpy.attr("array")(f.planes, dtype) : numpy.attr("asarray")(f.planes, dtype);
            },
            py::arg("dtype") = py::none(), py::arg("copy") = py::none(),
            "__array__(self, dtype=None, copy=None)\n--\n\nThe planes (read-only unless copied or converted).")
        .def(py::pickle(&FourProductState, &FourProductFromState))
        .def(
            "to_hdulist",
            [](const FourProductArrays& f, const py::handle& source) {
                py::module_ fits;
                try {
                    fits = py::module_::import("astropy.io.fits");
                } catch (py::error_already_set& error) {
                    if (!error.matches(PyExc_ImportError)) throw;
                    throw py::import_error(
                        "FourProduct.to_hdulist needs astropy (Debian: python3-astropy; pip: calstars2fp[astropy])");
                }
                py::object hdu = fits.attr("PrimaryHDU")(f.planes.attr("copy")());
                py::object header = hdu.attr("header");
                // fpview's keywords, from the table its FITS writer walks: the header values only.
                FourProduct described;
                described.rows = f.rows;
                described.cols = f.cols;
                described.bits_per_pixel = f.bits_per_pixel;
                described.header_word4 = f.frames;
                described.first_int_magnitude = f.camera;
                const std::string source_name = source.is_none() ? f.source : PathArgument(source);
                for (const FitsKeyword& keyword : FourProduct_FitsKeywords(described, source_name)) {
                    const py::object value = keyword.kind == FitsValueKind::kInteger ? py::object(py::int_(keyword.number))
                                                                                    : py::object(py::str(keyword.text));
                    header.attr("__setitem__")(keyword.name, py::make_tuple(value, keyword.comment));
                }
                py::list hdus;
                hdus.append(hdu);
                return fits.attr("HDUList")(hdus);
            },
            py::arg("source") = py::none(),
            "to_hdulist(self, source=None)\n--\n\n"
            "The cube and keywords of fpview's FITS file as an astropy HDUList.\n\n"
            "Parameters\n----------\n"
            "source : str, optional\n    The SOURCE keyword; by default the file's name without its folder. As in fpview's file,\n"
            "    each byte of the name outside printable ASCII is a blank there.\n\n"
            "Returns\n-------\n"
            "astropy.io.fits.HDUList\n    The four planes as one uint8 cube (NAXIS1 = cols, NAXIS2 = rows, NAXIS3 = 4),\n"
            "    FPROWS, FPCOLS, FPBITPIX, FPFRAMES, FPCAMERA, PLANE1 to PLANE4, SOURCE and CREATOR.\n\n"
            "Raises\n------\n"
            "ImportError\n    astropy is not installed (pip: calstars2fp[astropy]).\n")
        .def("__repr__", [](const FourProductArrays& f) {
            return "<calstars2fp.FourProduct " + std::to_string(f.rows) + " x " + std::to_string(f.cols) + ", camera " +
                   std::to_string(f.camera) + ">";
        }, "__repr__(self)\n--\n\n");

    module.def("read_fourproduct", &ReadFourProduct, py::arg("path"),
               "read_fourproduct(path)\n--\n\n"
               "Reads a four-product file with fpview's checks.\n\n"
               "Parameters\n----------\n"
               "path : str, bytes or os.PathLike\n    The file; only a regular file is opened.\n\n"
               "Returns\n-------\n"
               "FourProduct\n    Its header values and planes.\n\n"
               "Raises\n------\n"
               "FileNotFoundError, IsADirectoryError, PermissionError, OSError\n"
               "    The file cannot be opened or read (also Error), or is not a regular file.\n"
               "ValueError\n    Rows or columns below 1, other than 8 bits per pixel, a size other than\n"
               "    20 + 4 x rows x cols bytes (also Error, with the file as filename).\n\n"
               "Examples\n--------\n"
               ">>> import numpy as np\n"
               ">>> calstars2fp.write_fourproduct('doc.bin', np.ones((4, 2, 3), dtype=np.uint8), 7)\n"
               ">>> calstars2fp.read_fourproduct('doc.bin')\n"
               "<calstars2fp.FourProduct 2 x 3, camera 7>\n");
    module.def("write_fourproduct", &WriteFourProduct, py::arg("path"), py::arg("planes"), py::arg("camera"),
               "write_fourproduct(path, planes, camera)\n--\n\n"
               "Writes a four-product file as the program writes its files: under a temporary name in the same\n"
               "folder, checked, then renamed over path.\n\n"
               "Parameters\n----------\n"
               "path : str, bytes or os.PathLike\n    The file to write.\n"
               "planes : array_like\n    uint8 of shape (4, rows, cols), a FourProduct among them.\n"
               "camera : int\n    The fifth header word, 0 to 2^31 - 1.\n\n"
               "Raises\n------\n"
               "OSError\n    It cannot be written (also Error, with errno and filename; path is then untouched).\n"
               "TypeError, ValueError\n    Planes of another type or shape.\n"
               "MemoryError\n    A contiguous copy of planes cannot be allocated.\n\n"
               "Examples\n--------\n"
               ">>> import numpy as np\n"
               ">>> calstars2fp.write_fourproduct('doc.bin', np.zeros((4, 2, 3), dtype=np.uint8), 7)\n");
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
    module.def("process_folder", &ProcessFolder, py::arg("folder"), py::arg("jobs") = 0, py::arg("warnings") = py::none(),
               "process_folder(folder, jobs=0, warnings=None)\n--\n\n"
               "Does what 'calstars2fp --jobs <jobs> <folder>' does: writes the listing DirListingCalstars.txt,\n"
               "then a four-product file for every record of every listed CALSTARS file, into the folder.\n\n"
               "Parameters\n----------\n"
               "folder : str, bytes or os.PathLike\n    The folder.\n"
               "jobs : int, optional\n    Records at a time, 1 to 256; 0 uses every processor the process may run on.\n"
               "warnings : list, optional\n    Receives the warning lines.\n\n"
               "Returns\n-------\n"
               "list of str\n    The names written, in record order.\n\n"
               "Raises\n------\n"
               "Error\n    The program's failure, with its message; the files written before it stay. Also\n"
               "    FileNotFoundError and the like when the folder cannot be listed, ValueError for a\n"
               "    malformed file, MemoryError.\n"
               "KeyboardInterrupt\n    Ctrl-C, before the next record's file: no temporary file is left.\n\n"
               "Warns\n-----\n"
               "CalstarsWarning\n    Each warning line, as the record comes; an error under '-W error', which then\n"
               "    stops the run before that record's file.\n\n"
               "Examples\n--------\n"
               ">>> import os\n"
               ">>> os.mkdir('night')\n"
               ">>> stars = {'row': [10.5], 'col': [12.25], 'intensity': [1800], 'total': [2300]}\n"
               ">>> records = [calstars2fp.Record(stars, 9, 4, name) for name in ('A.bin', 'B.bin')]\n"
               ">>> calstars2fp.write_calstars('night/CALSTARS_C01.txt', records, (32, 40))\n"
               ">>> calstars2fp.process_folder('night', jobs=1)\n"
               "['A.bin', 'B.bin']\n");
    module.def("processing_order", &ProcessingOrder, py::arg("folder"),
               "processing_order(folder)\n--\n\n"
               "The CALSTARS files of a folder in the order process_folder and the program process them,\n"
               "without writing the listing.\n\n"
               "Parameters\n----------\n"
               "folder : str, bytes or os.PathLike\n    The folder.\n\n"
               "Returns\n-------\n"
               "list of str\n    Names within the folder: regular files named CALSTARS*.txt in any case, in\n"
               "    case-insensitive name order.\n\n"
               "Raises\n------\n"
               "FileNotFoundError, NotADirectoryError, PermissionError, OSError\n"
               "    The folder cannot be listed (also Error, with the program's message).\n\n"
               "Examples\n--------\n"
               ">>> import os\n"
               ">>> os.makedirs('order')\n"
               ">>> for name in ('calstars_b.txt', 'CALSTARS_a.txt', 'notes.txt'):\n"
               "...     open(os.path.join('order', name), 'w').close()\n"
               ">>> calstars2fp.processing_order('order')\n"
               "['CALSTARS_a.txt', 'calstars_b.txt']\n");
}
