// The run in Python: process_folder, what the command line does for a folder (RunBatch, with the
// names and warning lines handed back instead of printed), and processing_order, the order in which
// it takes the folder's CALSTARS files. No signal handler is installed: process_folder asks Python
// for pending signals (Ctrl-C) before each record's file is written, and stops there.
#pragma once

#include <pybind11/pybind11.h>

#include "python/bindings/conversions.h"

namespace bindings {

// Defines process_folder and processing_order in `module`.
void DefineRun(py::module_& module);

}  // namespace bindings
