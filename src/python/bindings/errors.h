// The one Failure type as Python's exceptions, and the program's warning lines as Python's warnings.
// A Failure becomes an exception of calstars2fp._errors, chosen there from what the failure carries
// (the file, the system's error code, the line); its message is the program's line without its
// leading blank and line end, and the wait a Failure asks for is the console's business and is
// ignored. Warning lines go to warnings.warn as calstars2fp.CalstarsWarning.
#pragma once

#include <string>
#include <vector>

namespace bindings {

// The program's line without its leading blank and its line end (and the blank before the line end).
std::string ErrorText(const std::string& message);

// Each warning line of `lines` through warnings.warn, attributed to the caller's line. Raises what
// warnings.warn raises (the warning itself under "-W error"). Needs the GIL.
void Warn(const std::string& lines);

// The program's warning lines of `lines`, each as ErrorText gives it (empty lines left out).
std::vector<std::string> WarningLines(const std::string& lines);

// Imports calstars2fp._errors and registers the translator that raises a Failure (and an
// allocation failure that escaped as std::bad_alloc) as its exception. Called once, when the module
// is imported, before any call can fail.
void TranslateFailures();

}  // namespace bindings
