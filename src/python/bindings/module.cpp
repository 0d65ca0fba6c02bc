// calstars2fp._core, the compiled core of the Python package calstars2fp: the star lists, the
// reconstitution and the four-product files as NumPy arrays, in-process and byte for byte what the
// program writes.
//
// A thin layer: every call converts its arguments, runs the same C++ code as the program (the reader
// and its writer, CalStarReconsitution, the four-product writer and the viewer's reader, RunBatch)
// and converts the result. Each concept has its file in this folder, which defines its classes and
// functions: records (the star lists), reconstitution, fourproduct, run; errors maps the one Failure
// type to Python's exceptions, conversions holds what they all share. Their names are in namespace
// bindings, apart from the core library's.
//
// Nothing here prints, waits or ends the process. Heavy calls release the GIL, so threads that each
// own a Reconstitution run side by side.
//
// Every docstring starts with the call's signature in the form CPython reads into
// __text_signature__, so that inspect.signature works on each function and method.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include "fourproduct/fourproduct.h"
#include "python/bindings/errors.h"
#include "python/bindings/fourproduct.h"
#include "python/bindings/reconstitution.h"
#include "python/bindings/records.h"
#include "python/bindings/run.h"
#include "version.h"

namespace py = pybind11;

PYBIND11_MODULE(_core, module) {
    py::options options;
    options.disable_function_signatures();  // each docstring starts with its own, for inspect.signature
    module.doc() =
        "The compiled core of calstars2fp: the same code as the program, over NumPy arrays.\n"
        "\n"
        "Use the package calstars2fp, which gives every name defined here.";
    module.attr("__version__") = kVersion;
    PYBIND11_NUMPY_DTYPE(bindings::Star, row, col, intensity, total);
    module.attr("STAR_DTYPE") = py::dtype::of<bindings::Star>();

    bindings::TranslateFailures();  // before any call can fail

    module.attr("PRODUCTS") = py::make_tuple(kProductNames[0], kProductNames[1], kProductNames[2], kProductNames[3]);
    module.attr("PRODUCT_DESCRIPTIONS") = py::make_tuple(kProductDescriptions[0], kProductDescriptions[1],
                                                         kProductDescriptions[2], kProductDescriptions[3]);

    bindings::DefineRecords(module);
    bindings::DefineReconstitution(module);
    bindings::DefineFourProduct(module);
    bindings::DefineRun(module);
}
