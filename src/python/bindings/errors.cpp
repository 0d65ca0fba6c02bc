#include "python/bindings/errors.h"

#include <pybind11/pybind11.h>

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "failure.h"
#include "python/bindings/conversions.h"

namespace bindings {

namespace {

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

}  // namespace

std::string ErrorText(const std::string& message) {
    const size_t first = message.find_first_not_of(" \r\n");
    if (first == std::string::npos) return std::string();
    const size_t last = message.find_last_not_of(" \r\n");
    return message.substr(first, last - first + 1);
}

void Warn(const std::string& lines) {
    const py::object category = ErrorsModule().attr("CalstarsWarning");
    const py::object warn = py::module_::import("warnings").attr("warn");
    for (const std::string& line : WarningLines(lines)) warn(FsText(line), category, py::arg("stacklevel") = 1);
}

std::vector<std::string> WarningLines(const std::string& lines) {
    std::vector<std::string> texts;
    size_t start = 0;
    while (start < lines.size()) {
        size_t end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        const std::string line = ErrorText(lines.substr(start, end - start));
        if (!line.empty()) texts.push_back(line);
        start = end + 1;
    }
    return texts;
}

void TranslateFailures() {
    ErrorsModule();  // imported now, not while a failure is being raised
    py::register_exception_translator([](std::exception_ptr pointer) {
        try {
            if (pointer) std::rethrow_exception(pointer);
        } catch (const Failure& failure) {
            SetFailure(failure);
        } catch (const std::bad_alloc& error) {
            SetFailure(FailureOfUnexpected(error));
        }
    });
}

}  // namespace bindings
