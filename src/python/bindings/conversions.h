// What every binding of calstars2fp._core shares to convert its arguments and results. Paths go in
// through os.fsencode and come out, like every name read from a file, through the file-system
// decoding, so that a name that is not UTF-8 comes back as os.fsdecode gives it and never raises.
// Integers the files hold in 32 bits are refused outside that range, with the argument's name in
// the message. Arrays the module hands out are read-only: they stay what the program's code made.
//
// Each call needs the GIL and raises Python's own exceptions (py::error_already_set, ValueError).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

namespace bindings {

namespace py = pybind11;

// Bytes of a name or a line as Python gives a file name: the file-system decoding with its escapes
// for bytes that do not decode (os.fsdecode).
py::str FsText(const std::string& bytes);

// A path argument: str, bytes or os.PathLike, as os.fsencode gives it. An embedded NUL would cut
// the path short in the system's calls, so it is refused as Python's own open refuses it.
std::string PathArgument(const py::handle& path);

// A 32-bit header or record value given from Python; out of range as the reader refuses it.
int32_t Int32Argument(int64_t value, const char* what);

// An integer argument (anything with __index__) in the 32-bit range.
int32_t IndexArgument(const py::handle& value, const char* what);

// An array argument converted to type T, C-contiguous. The conversion's failure is Python's own
// exception (MemoryError when the copy cannot be allocated, TypeError or ValueError for values that
// do not convert), never a null array.
template <typename T>
py::array_t<T, py::array::c_style | py::array::forcecast> Converted(const py::handle& value) {
    return py::array_t<T, py::array::c_style | py::array::forcecast>(py::reinterpret_borrow<py::object>(value));
}

// Makes `array` read-only (its writeable flag cleared; a copy of it is writeable again).
void MakeReadOnly(py::array& array);

// dtype uint8 by value: an unpickled array's dtype is equal to, not the same object as, NumPy's own.
bool IsUint8(const py::array& array);

}  // namespace bindings
