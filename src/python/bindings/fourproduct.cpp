#include "python/bindings/fourproduct.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "fourproduct/fits_keywords.h"
#include "fourproduct/fourproduct.h"
#include "fourproduct/fourproduct_reader.h"
#include "python/bindings/conversions.h"
#include "python/bindings/gil.h"

namespace bindings {

namespace {

// The four products of one file or record, read-only: the header values in the record of the format
// (its planes left empty: the array holds them), the planes as one array.
struct FourProductArrays {
    FourProduct header;  // rows, cols, bits_per_pixel, header_word4 (frames), first_int_magnitude (camera)
    std::string source;  // the file's name without its folder: fpview's SOURCE keyword
    py::array planes;    // uint8, (4, rows, cols), read-only
};

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
    result.header.rows = static_cast<int32_t>(planes.shape(1));
    result.header.cols = static_cast<int32_t>(planes.shape(2));
    result.header.first_int_magnitude = CameraArgument(camera);
    result.header.bits_per_pixel = Int32Argument(bits_per_pixel, "bits_per_pixel");
    result.header.header_word4 = Int32Argument(frames, "frames");
    result.source = source.is_none() ? std::string() : PathArgument(source);
    // A copy of its own: the planes stay what they were whatever becomes of the argument.
    py::array_t<uint8_t> copy = NewPlanes(result.header.rows, result.header.cols);
    std::memcpy(copy.mutable_data(), planes.data(), static_cast<size_t>(planes.nbytes()));
    result.planes = std::move(copy);
    MakeReadOnly(result.planes);
    return result;
}

FourProductArrays ReadFourProduct(const py::handle& path_argument) {
    const std::string path = PathArgument(path_argument);
    FourProduct file;
    py::array_t<uint8_t> planes;
    {
        GilReleased released;
        // Read straight into the array, taken once the header is checked: one allocation, not cleared.
        FourProduct_ReadFileInto(path, file, [&](const FourProduct& header) {
            GilHeld held;
            planes = NewPlanes(header.rows, header.cols);
            return planes.mutable_data();
        });
    }
    FourProductArrays result;
    result.header = std::move(file);
    const size_t separator = path.find_last_of('/');
    result.source = separator == std::string::npos ? path : path.substr(separator + 1);
    result.planes = std::move(planes);
    MakeReadOnly(result.planes);
    return result;
}

void WriteFourProduct(const py::handle& path_argument, const py::handle& planes_argument, const py::handle& camera_argument) {
    const std::string path = PathArgument(path_argument);
    const auto planes = PlanesArgument(planes_argument);
    // A four-product's own camera unless another is given; planes alone have camera 0, as
    // FourProduct(planes) has.
    int32_t camera = 0;
    if (!camera_argument.is_none()) {
        camera = CameraArgument(IndexArgument(camera_argument, "camera"));
    } else if (py::isinstance<FourProductArrays>(planes_argument)) {
        camera = planes_argument.cast<const FourProductArrays&>().header.first_int_magnitude;
    }
    const int32_t rows = static_cast<int32_t>(planes.shape(1));
    const int32_t cols = static_cast<int32_t>(planes.shape(2));
    const size_t npix = static_cast<size_t>(rows) * static_cast<size_t>(cols);
    const uint8_t* in = planes.data();
    GilReleased released;
    FourProduct record;
    FourProduct_MemSetup(record, camera, rows, cols);
    for (int product = 0; product < kProducts; ++product) std::memcpy(FourProduct_Plane(record, product), in + product * npix, npix);
    record.output_name[record.bank] = path;
    FourProduct_WriteFile(record);
}

// planes[key] for a plane's number (or any NumPy index), a plane by its name ('peak', 'frame',
// 'mean', 'stddev').
py::object PlaneItem(const FourProductArrays& f, const py::handle& key) {
    if (!py::isinstance<py::str>(key)) return f.planes[key];
    const std::string name = key.cast<std::string>();
    for (int product = 0; product < kProducts; ++product) {
        if (name == kProductNames[product]) return f.planes[py::int_(product)];
    }
    std::string names;
    for (int product = 0; product < kProducts; ++product) names += std::string(product ? ", " : "") + kProductNames[product];
    throw py::key_error("no plane named '" + name + "': the planes are " + names);
}

py::tuple FourProductState(const FourProductArrays& f) {
    return py::make_tuple(f.planes, f.header.first_int_magnitude, py::bytes(f.source), f.header.bits_per_pixel, f.header.header_word4);
}

FourProductArrays FourProductFromState(const py::tuple& state) {
    if (state.size() != 5) throw py::value_error("not the state of a calstars2fp.FourProduct");
    return MakeFourProduct(state[0], state[1].cast<int64_t>(), state[2], state[3].cast<int64_t>(), state[4].cast<int64_t>());
}

}  // namespace

py::array_t<uint8_t> NewPlanes(int32_t rows, int32_t cols) {
    return py::array_t<uint8_t>({static_cast<py::ssize_t>(kProducts), static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
}

void DefineFourProduct(py::module_& module) {
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
        .def_property_readonly("rows", [](const FourProductArrays& f) { return f.header.rows; }, "Rows of each plane.")
        .def_property_readonly("cols", [](const FourProductArrays& f) { return f.header.cols; }, "Columns of each plane.")
        .def_property_readonly("camera", [](const FourProductArrays& f) { return f.header.first_int_magnitude; },
                      "The fifth header word: |first integer| of the CALSTARS header (the camera number).")
        .def_property_readonly("bits_per_pixel", [](const FourProductArrays& f) { return f.header.bits_per_pixel; },
                               "The third header word, always 8.")
        .def_property_readonly("frames", [](const FourProductArrays& f) { return f.header.header_word4; },
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
                const std::string source_name = source.is_none() ? f.source : PathArgument(source);
                for (const FitsKeyword& keyword : FourProduct_FitsKeywords(f.header, source_name)) {
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
        .def("__getitem__", &PlaneItem, py::arg("key"),
             "__getitem__(self, key)\n--\n\n"
             "A plane by its number (four[0] is planes[0]; any NumPy index of planes, four[2, row, col] a pixel)\n"
             "or by its name in PRODUCTS (four['mean'] is planes[2]); KeyError for another name.")
        .def("__repr__", [](const FourProductArrays& f) {
            return "<calstars2fp.FourProduct " + std::to_string(f.header.rows) + " x " + std::to_string(f.header.cols) +
                   ", camera " + std::to_string(f.header.first_int_magnitude) + ">";
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
    module.def("write_fourproduct", &WriteFourProduct, py::arg("path"), py::arg("planes"), py::arg("camera") = py::none(),
               "write_fourproduct(path, planes, camera=None)\n--\n\n"
               "Writes a four-product file as the program writes its files: under a temporary name in the same\n"
               "folder, checked, then renamed over path.\n\n"
               "Parameters\n----------\n"
               "path : str, bytes or os.PathLike\n    The file to write.\n"
               "planes : FourProduct or array_like\n    A FourProduct, or uint8 planes of shape (4, rows, cols).\n"
               "camera : int, optional\n    The fifth header word, 0 to 2^31 - 1: by default the FourProduct's own camera,\n"
               "    0 for planes given as an array.\n\n"
               "Raises\n------\n"
               "OSError\n    It cannot be written (also Error, with errno and filename; path is then untouched).\n"
               "TypeError, ValueError\n    Planes of another type or shape.\n"
               "MemoryError\n    A contiguous copy of planes cannot be allocated.\n\n"
               "Examples\n--------\n"
               ">>> import numpy as np\n"
               ">>> calstars2fp.write_fourproduct('doc.bin', np.zeros((4, 2, 3), dtype=np.uint8), 7)\n"
               ">>> four = calstars2fp.read_fourproduct('doc.bin')\n"
               ">>> calstars2fp.write_fourproduct('copy.bin', four)\n"
               ">>> calstars2fp.read_fourproduct('copy.bin').camera\n"
               "7\n");
}

}  // namespace bindings
