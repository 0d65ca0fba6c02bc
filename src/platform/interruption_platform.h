// What differs between Windows and POSIX systems for interrupted runs, beside the handlers
// themselves (Interruption_InstallHandlers). One source file per platform (interruption_posix.cpp,
// interruption_windows.cpp) implements it; only interruption.cpp uses it.
#pragma once

// Notes the calling thread as the writing one: the thread that a stop's clean-up runs on (POSIX), or
// that is suspended before it (Windows).
void Interruption_NoteWritingThread();
