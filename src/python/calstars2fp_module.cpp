// The Python module calstars2fp: the star lists, the reconstitution and the four-product files as
// NumPy arrays, in-process and byte for byte what the program writes.
//
// A thin layer: every call converts its arguments, runs the same C++ code as the program (the reader,
// CalStarReconsitution, the four-product writer and the viewer's reader, RunBatch) and converts the
// result. The one Failure type becomes calstars2fp.Error, whose message is the program's line without
// its leading blank and line end; the wait a Failure asks for is the console's business and is
// ignored. Nothing here prints, waits or ends the process, and no signal handler is installed:
// process_folder asks Python for pending signals (Ctrl-C) before each record's file is written.
// Heavy calls release the GIL, so threads that each own a Reconstitution run side by side.
#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "calstars/calstars.h"
#include "driver/batch.h"
#include "driver/platform.h"
#include "driver/record_workers.h"
#include "driver/usage.h"
#include "failure.h"
#include "fourproduct/fourproduct.h"
#include "reconstitution/reconstitution.h"
#include "version.h"
#include "viewer/fourproduct_file.h"

namespace py = pybind11;

namespace {

// One star of Record.stars, laid out as its NumPy structured dtype.
struct Star {
    float row;
    float col;
    uint16_t intensity;
    uint16_t total;
};

// The program's line without its leading blank and its line end (and the blank before the line end).
std::string ErrorText(const std::string& message) {
    const size_t first = message.find_first_not_of(" \r\n");
    if (first == std::string::npos) return std::string();
    const size_t last = message.find_last_not_of(" \r\n");
    return message.substr(first, last - first + 1);
}

// A path argument: str or os.PathLike giving str.
std::string PathArgument(const py::object& path) {
    const py::object text = py::module_::import("os").attr("fspath")(path);
    if (!py::isinstance<py::str>(text)) throw py::type_error("the path must be a str or an os.PathLike giving str");
    return text.cast<std::string>();
}

// The header of an open CALSTARS file, kept apart from the reader so that records can be checked
// against it.
struct CalstarsFile {
    CalStarExtraction extraction;  // the reader: header, current record, the file's text
    bool finished = false;
    std::unique_ptr<std::mutex> reading = std::make_unique<std::mutex>();  // one thread reads at a time
};

// A frame record read from a CALSTARS file: a copy of what the reconstitution reads (not the text).
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

py::array_t<uint8_t> NewPlanes(int32_t rows, int32_t cols) {
    return py::array_t<uint8_t>({static_cast<py::ssize_t>(kProducts), static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
}

py::array Reconstitute(Reconstitution& run, const CalstarsFile& file, const Record& record) {
    const CalStarExtraction& header = file.extraction;
    const CalStarExtraction& frame = record.record;
    if (frame.rows != header.rows || frame.cols != header.cols || frame.nstars != header.nstars ||
        frame.path != header.path) {
        throw py::value_error("the record was not read from this CALSTARS file");
    }
    const size_t npix = static_cast<size_t>(header.rows) * static_cast<size_t>(header.cols);
    py::array_t<uint8_t> planes;
    {
        py::gil_scoped_release released;
        const std::lock_guard<std::mutex> lock(run.busy);
        // The program's checks and set-up for the file, then for the record, in its order, against
        // the memory budget the program would have now.
        const uint64_t budget = MemoryBudget(ReadMemoryLimits());
        CalStarReconsitution_CheckImage(header);
        CheckMemoryBudget(header.rows, header.cols, 1, budget, header.path);
        // As the program sets up per file: only when the image or the header value changes.
        if (run.rows != header.rows || run.cols != header.cols || run.nstars != header.nstars ||
            run.first_int != header.first_int) {
            run.rows = run.cols = run.nstars = -1;
            CalStarReconsitution_MemSetup(run.buffers, frame);
            FourProduct_MemSetup(run.product, header.first_int, header.rows, header.cols);
            run.rows = header.rows;
            run.cols = header.cols;
            run.nstars = header.nstars;
            run.first_int = header.first_int;
        }
        CalStarReconsitution_CheckRecord(frame);
        CheckMemoryBudget(frame.rows, frame.cols, frame.window, budget, header.path);
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
        {
            // The array only now, after the program's checks have refused any image too large.
            py::gil_scoped_acquire held;
            planes = NewPlanes(header.rows, header.cols);
        }
        uint8_t* out = planes.mutable_data();
        for (int product = 0; product < kProducts; ++product) {
            std::memcpy(out + product * npix, FourProduct_Plane(run.product, product), npix);
        }
    }
    return std::move(planes);
}

FourProductArrays ReadFourProduct(const py::object& path_argument) {
    const std::string path = PathArgument(path_argument);
    FourProductFile file;
    {
        py::gil_scoped_release released;
        FourProductFile_Read(path, file);
    }
    FourProductArrays result;
    result.rows = file.rows;
    result.cols = file.cols;
    result.camera = file.first_int_magnitude;
    result.bits_per_pixel = file.bits_per_pixel;
    result.frames = file.header_word4;
    result.source = py::module_::import("os.path").attr("basename")(path).cast<std::string>();
    py::array_t<uint8_t> planes = NewPlanes(file.rows, file.cols);
    const size_t npix = static_cast<size_t>(file.rows) * static_cast<size_t>(file.cols);
    uint8_t* out = planes.mutable_data();
    for (int product = 0; product < kProducts; ++product) std::memcpy(out + product * npix, file.planes[product].data(), npix);
    result.planes = std::move(planes);
    MakeReadOnly(result.planes);
    return result;
}

void WriteFourProduct(const py::object& path_argument, const py::object& planes_argument, int64_t camera) {
    const std::string path = PathArgument(path_argument);
    if (!py::isinstance<py::array>(planes_argument)) throw py::type_error("planes must be a NumPy array of dtype uint8");
    const py::array planes = py::reinterpret_borrow<py::array>(planes_argument);
    if (!planes.dtype().is(py::dtype::of<uint8_t>())) throw py::type_error("planes must have dtype uint8");
    if (planes.ndim() != 3 || planes.shape(0) != kProducts) throw py::value_error("planes must have shape (4, rows, cols)");
    if (planes.shape(1) < 1 || planes.shape(2) < 1 || planes.shape(1) > INT32_MAX || planes.shape(2) > INT32_MAX ||
        planes.shape(1) * planes.shape(2) > INT32_MAX) {
        throw py::value_error("planes must have at least one row and one column, and at most 2^31 - 1 pixels");
    }
    if (camera < 0 || camera > INT32_MAX) throw py::value_error("camera must be from 0 to 2^31 - 1");
    const auto contiguous = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(planes);
    const int32_t rows = static_cast<int32_t>(planes.shape(1));
    const int32_t cols = static_cast<int32_t>(planes.shape(2));
    const size_t npix = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    const uint8_t* in = contiguous.data();
    py::gil_scoped_release released;
    FourProduct record;
    FourProduct_MemSetup(record, static_cast<int32_t>(camera), rows, cols);
    for (int product = 0; product < kProducts; ++product) std::memcpy(FourProduct_Plane(record, product), in + product * npix, npix);
    record.output_name[record.bank] = path;
    FourProduct_WriteFile(record);
}

// What a stopped process_folder carries out of the run: Python's pending exception (KeyboardInterrupt
// from Ctrl-C), fetched while the GIL was held and restored once it is held again.
struct Stopped {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

py::list ProcessFolder(const py::object& folder_argument, int32_t jobs, const py::object& warnings) {
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
    };
    hooks.before_record = [] {
        py::gil_scoped_acquire held;
        if (PyErr_CheckSignals() != 0) {
            Stopped stopped;
            PyErr_Fetch(&stopped.type, &stopped.value, &stopped.traceback);
            throw stopped;
        }
    };
    const auto hand_back = [&] {
        if (warnings.is_none()) return;
        py::list list = py::reinterpret_borrow<py::list>(warnings);
        for (const std::string& line : warning_lines) list.append(line);
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
    for (const std::string& name : names) result.append(name);
    return result;
}

}  // namespace

PYBIND11_MODULE(calstars2fp, module) {
    module.doc() =
        "The star lists, the reconstitution and the four-product files of calstars2fp as NumPy arrays.\n"
        "\n"
        "Every call runs the same code as the calstars2fp program and gives the same bytes:\n"
        "\n"
        "    read_calstars(path)        a CALSTARS file: header fields, then its records one at a time\n"
        "    Reconstitution()           the state of one run; reconstitute(file, record) gives the\n"
        "                               four planes that the program writes for that record\n"
        "    read_fourproduct(path)     a four-product file as a FourProduct (planes and header)\n"
        "    write_fourproduct(path, planes, camera)   writes one, as the program does\n"
        "    process_folder(folder)     what the command line does for a folder\n"
        "\n"
        "Every failure raises calstars2fp.Error with the program's message. Nothing prints, waits for a\n"
        "key or ends the process; heavy calls release the GIL.\n"
        "\n"
        "PRODUCTS names the four planes in file order ('peak', 'frame', 'mean', 'stddev') and\n"
        "PRODUCT_DESCRIPTIONS says what each holds, as fpview's FITS keywords PLANE1 to PLANE4 do.";
    module.attr("__version__") = kVersion;
    PYBIND11_NUMPY_DTYPE(Star, row, col, intensity, total);

    static py::exception<Failure> error(module, "Error", PyExc_Exception);
    error.attr("__doc__") =
        "A failure of calstars2fp: the message is the program's one line for it (for example\n"
        "'Cannot open Cal Star Extraction file x.txt for reading'), without its leading blank and line end.";
    py::register_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) std::rethrow_exception(pointer);
        } catch (const Failure& failure) {
            PyErr_SetString(error.ptr(), ErrorText(failure.message).c_str());
        }
    });

    module.attr("PRODUCTS") = py::make_tuple("peak", "frame", "mean", "stddev");
    module.attr("PRODUCT_DESCRIPTIONS") = py::make_tuple(kProductDescriptions[0], kProductDescriptions[1],
                                                         kProductDescriptions[2], kProductDescriptions[3]);

    py::class_<Record>(module, "Record",
                       "One frame record of a CALSTARS file, as read: the four-product file's name, the star window, "
                       "the background divisor and the stars.")
        .def_property_readonly("name", [](const Record& r) { return r.record.name; },
                               "Name of the four-product file that the program writes for this record.")
        .def_property_readonly("window", [](const Record& r) { return r.record.window; },
                               "Side of each star's square window in pixels (odd for a record the program accepts).")
        .def_property_readonly("divisor", [](const Record& r) { return r.record.divisor; },
                               "Divisor of the background level: (total - intensity) // divisor.")
        .def_property_readonly("stars", [](const Record& r) { return r.stars; },
                               "The stars as a read-only NumPy structured array with fields row (float32), col (float32),\n"
                               "intensity (uint16) and total (uint16), in file order.")
        .def("__repr__", [](const Record& r) {
            return "<calstars2fp.Record " + r.record.name + ": window " + std::to_string(r.record.window) + ", divisor " +
                   std::to_string(r.record.divisor) + ", " + std::to_string(r.record.row.size()) + " stars>";
        });

    py::class_<CalstarsFile>(module, "CalstarsFile",
                             "An open CALSTARS file: its header fields, and its frame records by iteration, read one at a "
                             "time in file order as the program reads them. Iterating reads on from where the last "
                             "iteration stopped; a malformed record raises Error.")
        .def_property_readonly("path", [](const CalstarsFile& f) { return f.extraction.path; }, "The path as given.")
        .def_property_readonly("rows", [](const CalstarsFile& f) { return f.extraction.rows; }, "Image height in pixels.")
        .def_property_readonly("cols", [](const CalstarsFile& f) { return f.extraction.cols; }, "Image width in pixels.")
        .def_property_readonly("first_int", [](const CalstarsFile& f) { return f.extraction.first_int; },
                               "The header's first integer (the camera number); its absolute value is the four-product "
                               "file's fifth header word.")
        .def_property_readonly("nstars", [](const CalstarsFile& f) { return f.extraction.nstars; },
                               "Number of stars in every record.")
        .def("__iter__", [](CalstarsFile& f) -> CalstarsFile& { return f; }, py::return_value_policy::reference_internal,
             "The file itself: it is its own iterator over the records.")
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
                CopyRecord(f.extraction, record.record);
                record.stars = StarArray(f.extraction);
                return record;
            },
            "The next frame record; StopIteration at the end marker.")
        .def("__repr__", [](const CalstarsFile& f) {
            return "<calstars2fp.CalstarsFile " + f.extraction.path + ": " + std::to_string(f.extraction.rows) + " x " +
                   std::to_string(f.extraction.cols) + ", " + std::to_string(f.extraction.nstars) + " stars a record>";
        });

    module.def(
        "read_calstars",
        [](const py::object& path_argument) {
            const std::string path = PathArgument(path_argument);
            CalstarsFile file;
            {
                py::gil_scoped_release released;
                OpenCalStarExtraction(path, file.extraction);
            }
            return file;
        },
        py::arg("path"),
        "Opens the CALSTARS file at path and reads its header; returns a CalstarsFile whose records are read\n"
        "by iterating over it. Raises Error for a file that cannot be read or a malformed header.");

    py::class_<Reconstitution>(module, "Reconstitution",
                               "The state of one run of the program: the frame-index generator, the profile factor "
                               "tables, the work images. Records reconstituted in the program's order give the program's "
                               "bytes. One object belongs to one thread at a time; threads with their own objects run side "
                               "by side.")
        .def(py::init([](int64_t generator_state) {
                 if (generator_state < 0 || generator_state > UINT32_MAX) {
                     throw py::value_error("generator_state must be from 0 to 2^32 - 1");
                 }
                 auto run = std::make_unique<Reconstitution>();
                 run->buffers.generator.state = static_cast<uint32_t>(generator_state);
                 return run;
             }),
             py::arg("generator_state") = 1,
             "A fresh run. generator_state is the frame-index generator's state: 1 is where every run of the "
             "program starts.")
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
                return ErrorText(warnings);
            },
            "The warning line of the last record ('Warning: <n> star background levels outside 0..255 clamped in "
            "record ...'), or '' when it had none.")
        .def("reconstitute", &Reconstitute, py::arg("calstars_file"), py::arg("record"),
             "The four products of record (read from calstars_file) as a uint8 array of shape (4, rows, cols): the\n"
             "bytes the program writes after the file's header, when records go through in the same order.\n"
             "Advances generator_state by rows x cols draws. Raises Error with the program's message for a record\n"
             "it refuses (the object stays usable), ValueError for a record of another file.");

    py::class_<FourProductArrays>(module, "FourProduct",
                                  "A four-product file: its header values and its four planes (peak value, frame index of "
                                  "the peak, mean value, standard deviation) as read-only uint8 arrays.")
        .def_readonly("rows", &FourProductArrays::rows, "Rows of each plane.")
        .def_readonly("cols", &FourProductArrays::cols, "Columns of each plane.")
        .def_readonly("camera", &FourProductArrays::camera,
                      "The fifth header word: |first integer| of the CALSTARS header (the camera number).")
        .def_readonly("bits_per_pixel", &FourProductArrays::bits_per_pixel, "The third header word, always 8.")
        .def_readonly("frames", &FourProductArrays::frames,
                      "The fourth header word: frames that a frame index of 0..255 spans (256).")
        .def_readonly("source", &FourProductArrays::source, "The name of the file read, without its folder.")
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
            "to_hdulist",
            [](const FourProductArrays& f, const py::object& source) {
                py::module_ fits;
                try {
                    fits = py::module_::import("astropy.io.fits");
                } catch (py::error_already_set& error) {
                    if (!error.matches(PyExc_ImportError)) throw;
                    throw py::import_error(
                        "FourProduct.to_hdulist needs astropy (Debian: python3-astropy; pip: astropy)");
                }
                py::object hdu = fits.attr("PrimaryHDU")(f.planes.attr("copy")());
                py::object header = hdu.attr("header");
                const auto set = [&](const char* key, const py::object& value, const char* comment) {
                    header.attr("__setitem__")(key, py::make_tuple(value, comment));
                };
                // The keywords of fpview's FITS file (src/viewer/fits_export.cpp), in its order.
                set("FPROWS", py::int_(f.rows), "rows of the four-product file");
                set("FPCOLS", py::int_(f.cols), "columns of the four-product file");
                set("FPBITPIX", py::int_(f.bits_per_pixel), "bits per pixel of the four-product file");
                set("FPFRAMES", py::int_(f.frames), "frames spanned by frame index 0..255");
                set("FPCAMERA", py::int_(f.camera), "|first integer| of the CALSTARS header");
                for (int product = 0; product < kProducts; ++product) {
                    const std::string key = "PLANE" + std::to_string(product + 1);
                    set(key.c_str(), py::str(kProductDescriptions[product]), "product of this plane");
                }
                set("SOURCE", source.is_none() ? py::str(f.source) : py::str(source), "four-product file");
                set("CREATOR", py::str(std::string("fpview ") + kVersion), "program that wrote this file");
                py::list hdus;
                hdus.append(hdu);
                return fits.attr("HDUList")(hdus);
            },
            py::arg("source") = py::none(),
            "An astropy HDUList with the cube and keywords of fpview's FITS file: the four planes as one uint8 cube\n"
            "(NAXIS1 = cols, NAXIS2 = rows, NAXIS3 = 4), FPROWS, FPCOLS, FPBITPIX, FPFRAMES, FPCAMERA, PLANE1 to\n"
            "PLANE4, SOURCE (the file's name without its folder, or source when given) and CREATOR. Raises ImportError\n"
            "when astropy is not installed.")
        .def("__repr__", [](const FourProductArrays& f) {
            return "<calstars2fp.FourProduct " + std::to_string(f.rows) + " x " + std::to_string(f.cols) + ", camera " +
                   std::to_string(f.camera) + ">";
        });

    module.def("read_fourproduct", &ReadFourProduct, py::arg("path"),
               "Reads the four-product file at path, with fpview's checks: rows and columns at least 1, 8 bits per\n"
               "pixel, a size of 20 + 4 x rows x cols bytes. Returns a FourProduct; raises Error naming the file\n"
               "and the value that is wrong.");
    module.def("write_fourproduct", &WriteFourProduct, py::arg("path"), py::arg("planes"), py::arg("camera"),
               "Writes planes (uint8, shape (4, rows, cols)) with header camera (0 to 2^31 - 1) as the four-product\n"
               "file path, as the program writes its files: under a temporary name in the same folder, checked, then\n"
               "renamed over path. Raises Error when it cannot be written (path is then untouched), TypeError or\n"
               "ValueError for planes of another type or shape.");
    module.def("process_folder", &ProcessFolder, py::arg("folder"), py::arg("jobs") = 0, py::arg("warnings") = py::none(),
               "Does what 'calstars2fp --jobs <jobs> <folder>' does: writes the listing DirListingCalstars.txt, then\n"
               "a four-product file for every record of every listed CALSTARS file, into the folder. jobs = 0 uses\n"
               "every processor the process may run on. Returns the names written, in record order. The warning\n"
               "lines are appended to the list warnings when one is given. Raises Error with the program's message\n"
               "(the files written before it stay); Ctrl-C stops the run before the next record's file is written,\n"
               "leaves no temporary file and raises KeyboardInterrupt.");
}
