// The file chooser of a run started without a folder: the user picks any one CALSTARS file, whose
// folder the run then processes. Windows shows its common open-file dialog; POSIX systems show a
// desktop file dialog (zenity) where a display is set and the program is installed, else ask for the
// path on the console: the prompt " Path of a CALSTARS file: " on the controlling terminal (on
// standard error when the process has none, never on standard output, which holds only the run's
// lines), the answer one line of standard input. One source file per platform
// (file_chooser_posix.cpp, file_chooser_windows.cpp).
#pragma once

#include <string>

// Prints " Opening dialog box to search for a CALSTARS*.txt file\n", asks the user for any one
// CALSTARS file and returns true with its full path in `destination`, or false when the user
// cancelled or the dialog failed (destination untouched). On POSIX systems the answer must name an
// existing regular file; it is returned resolved (links followed, as an absolute path), as the
// Windows dialog returns it.
bool SelectCalStarsFile(std::string& destination);
