#include "python/bindings/reconstitution.h"

#include <pybind11/numpy.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "calstars/calstars.h"
#include "driver/batch.h"
#include "fourproduct/fourproduct.h"
#include "python/bindings/conversions.h"
#include "python/bindings/gil.h"
#include "python/bindings/errors.h"
#include "python/bindings/fourproduct.h"
#include "python/bindings/records.h"
#include "reconstitution/reconstitution.h"

namespace bindings {

namespace {

// The state of one run: the frame-index generator, the profile factor tables, the work images.
struct Reconstitution {
    std::mutex busy;  // a second thread calling the same object waits, with the GIL released
    ReconWorkBuffers buffers;
    FourProduct product;
};

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
        throw py::type_error("image must be a CalstarsFile or the image size (rows, cols)");
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

// The two images the planes of the last record were made from, copied out of the work buffers: the
// background surface after the trimmed-mean filter and the star layer, uint16 of shape (rows, cols).
// Needs the run's lock; takes the GIL for the arrays.
py::tuple Parts(const ReconWorkBuffers& buffers, int32_t rows, int32_t cols) {
    const size_t npix = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    GilHeld held;
    py::array_t<uint16_t> background({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    py::array_t<uint16_t> stars({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    std::memcpy(background.mutable_data(), buffers.background_image.data(), npix * sizeof(uint16_t));
    std::memcpy(stars.mutable_data(), buffers.star_layer.data(), npix * sizeof(uint16_t));
    return py::make_tuple(std::move(background), std::move(stars));
}

py::object Reconstitute(Reconstitution& run, const py::handle& image, const Record& record, const py::handle& out, bool parts) {
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
    py::object layers;  // null until filled while the GIL is held: moved into, it needs no reference count
    {
        GilReleased released;
        const std::lock_guard<std::mutex> lock(run.busy);
        // The program's checks of the file and of the record, then its set-up, against the memory
        // budget the program would have now.
        PrepareLoneRecord(run.product, run.buffers, header, frame);
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
            GilHeld held;
            planes = NewPlanes(header.rows, header.cols);
        }
        uint8_t* target = planes.mutable_data();
        for (int product = 0; product < kProducts; ++product) {
            std::memcpy(target + product * npix, FourProduct_Plane(run.product, product), npix);
        }
        if (parts) layers = Parts(run.buffers, header.rows, header.cols);
    }
    Warn(warnings);
    if (parts) return py::make_tuple(std::move(planes), layers[py::int_(0)], layers[py::int_(1)]);
    return std::move(planes);
}

}  // namespace

void DefineReconstitution(py::module_& module) {
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
                GilReleased released;
                const std::lock_guard<std::mutex> lock(run.busy);
                return run.buffers.generator.state;
            },
            [](Reconstitution& run, int64_t state) {
                if (state < 0 || state > UINT32_MAX) throw py::value_error("generator_state must be from 0 to 2^32 - 1");
                GilReleased released;
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
                    GilReleased released;
                    const std::lock_guard<std::mutex> lock(run.busy);
                    warnings = run.buffers.warnings;
                }
                return FsText(ErrorText(warnings));
            },
            "The warning line of the last record ('Warning: <n> star background levels outside 0..255 clamped in "
            "record ...'), or '' when it had none; each such line also goes to warnings.warn as CalstarsWarning.")
        .def("reconstitute", &Reconstitute, py::arg("image"), py::arg("record"), py::arg("out") = py::none(), py::kw_only(),
             py::arg("parts") = false,
             "reconstitute(self, image, record, out=None, *, parts=False)\n--\n\n"
             "The four products of a record: the bytes the program writes after the file's header, when\n"
             "records go through in the program's order.\n\n"
             "Parameters\n----------\n"
             "image : CalstarsFile or tuple of int\n"
             "    What the record is drawn on: the file it was read from, or the image size (rows, cols) for\n"
             "    any record, one made in memory among them. (Also accepted by its former name, calstars_file.)\n"
             "record : Record\n    The record.\n"
             "out : numpy.ndarray, optional\n"
             "    A C-contiguous, writeable uint8 array of shape (4, rows, cols) to hold the planes.\n"
             "parts : bool, optional\n"
             "    Also return the two images the planes are made from (see Returns).\n\n"
             "Returns\n-------\n"
             "numpy.ndarray\n    uint8 of shape (4, rows, cols): peak value, frame index of the peak, mean value,\n"
             "    standard deviation (``out`` when given).\n"
             "tuple of numpy.ndarray\n"
             "    With ``parts=True``, (planes, background, stars): background, uint16 of shape (rows, cols), the\n"
             "    background surface after the 15 x 15 trimmed-mean filter, and stars, uint16 of the same shape,\n"
             "    the star layer (every star's profile; where windows overlap, the brighter star's). The mean\n"
             "    plane is background + stars, kept to 16 bits and clipped to 255.\n\n"
             "Raises\n------\n"
             "Error\n    The program's refusal of the image or the record (the object stays usable and the\n"
             "    generator where it was); MemoryError too when memory fails.\n"
             "ValueError, TypeError\n    A record of another file, an image size or out that is not one.\n\n"
             "Warns\n-----\n"
             "CalstarsWarning\n    The record's warning line (star background levels clamped).\n\n"
             "Notes\n-----\n"
             "Advances generator_state by rows x cols draws. A star whose window is partly outside the image is\n"
             "drawn, and seeds the background, as far as it lies inside; one wholly outside changes nothing.\n"
             "The planes are noiseless: no photon or read noise; the frame index is uniformly random, the\n"
             "standard deviation plane the truncated square root of the mean plane.\n\n"
             "Examples\n--------\n"
             ">>> stars = {'row': [10.5], 'col': [12.25], 'intensity': [1800], 'total': [2300]}\n"
             ">>> record = calstars2fp.Record(stars, 9, 4, 'A.bin')\n"
             ">>> planes = calstars2fp.Reconstitution().reconstitute((32, 40), record)\n"
             ">>> planes.shape, planes.dtype.name\n"
             "((4, 32, 40), 'uint8')\n"
             ">>> planes, background, star_layer = calstars2fp.Reconstitution().reconstitute((32, 40), record, parts=True)\n"
             ">>> int(background[0, 0]), int(star_layer.sum() >= 1800)\n"
             "(125, 1)\n")
        // The first parameter's former name, kept for callers that give it by keyword; without a
        // docstring of its own, so that the method's manual and signature stay the one above.
        .def("reconstitute", &Reconstitute, py::arg("calstars_file"), py::arg("record"), py::arg("out") = py::none(),
             py::kw_only(), py::arg("parts") = false);
}

}  // namespace bindings
