#include "python/bindings/conversions.h"

#include <cstdint>
#include <string>

namespace bindings {

py::str FsText(const std::string& bytes) {
    PyObject* text = PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    if (text == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(text);
}

std::string PathArgument(const py::handle& path) {
    const py::object encoded = py::module_::import("os").attr("fsencode")(path);
    std::string bytes = encoded.cast<std::string>();
    if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
    return bytes;
}

int32_t Int32Argument(int64_t value, const char* what) {
    if (value < INT32_MIN || value > INT32_MAX) {
        throw py::value_error(std::string(what) + " is out of the 32-bit range");
    }
    return static_cast<int32_t>(value);
}

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

void MakeReadOnly(py::array& array) { array.attr("setflags")(py::arg("write") = false); }

bool IsUint8(const py::array& array) { return array.dtype().kind() == 'u' && array.dtype().itemsize() == 1; }

}  // namespace bindings
