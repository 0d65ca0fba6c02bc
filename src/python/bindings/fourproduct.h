// The four-product files in Python: FourProduct (the header values and the four planes of one file
// or record, read-only; pickled with its header values), read_fourproduct (the viewer's checked
// reader), write_fourproduct (the program's writer) and FourProduct.to_hdulist (the viewer's FITS
// keywords, from the table of fourproduct/fits_keywords.h).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "python/bindings/conversions.h"

namespace bindings {

// A new, writeable uint8 array of shape (4, rows, cols) for the planes of one image, in the order of
// the file. Needs the GIL; MemoryError when it cannot be allocated.
py::array_t<uint8_t> NewPlanes(int32_t rows, int32_t cols);

// Defines FourProduct, read_fourproduct and write_fourproduct in `module`.
void DefineFourProduct(py::module_& module);

}  // namespace bindings
