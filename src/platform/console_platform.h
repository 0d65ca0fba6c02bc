// What differs between Windows and POSIX systems for the console. One source file per platform
// (console_posix.cpp, console_windows.cpp) implements it; only console.cpp uses it.
#pragma once

// Opens the null device for reading in place of each closed standard stream (see
// KeepStandardStreamsOpen). True when standard output was one of them.
bool ReopenClosedStandardStreams();
