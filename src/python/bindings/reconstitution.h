// The reconstitution in Python: Reconstitution, the state of one run of the program (the
// frame-index generator, the profile factor tables, the work images), and its reconstitute, which
// gives a record's four planes through CalStarReconsitution with the program's checks, set-up and
// memory budget, in the program's order. Heavy work releases the GIL; one object serves one thread
// at a time (a second waits), so threads that each own a Reconstitution run side by side.
#pragma once

#include <pybind11/pybind11.h>

#include "python/bindings/conversions.h"

namespace bindings {

// Defines Reconstitution in `module`; its reconstitute takes the Record and CalstarsFile of
// records.h, which must be defined too.
void DefineReconstitution(py::module_& module);

}  // namespace bindings
