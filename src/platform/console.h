// The console of both programs: standard output watched, so that a failure to write it is reported
// once at the end; a failure's line and the wait it asks for; whether standard output is a terminal.
// For a program's main and the printing paths of its run: library callers (the Python module) get
// failures as exceptions and lines through their hooks instead.
//
// Use: main calls KeepStandardStreamsOpen first, reports a Failure that ends the run with
// ReportFailure (any other exception with ReportUnexpected), and returns FinishStandardOutput of its
// status, with the program's own line for a standard output that could not be written. Standard
// output that cannot be written does not stop a run: the lines are lost, every file is still written,
// and the run ends with status 1.
//
// What differs between Windows and POSIX systems is in one source file per platform
// (console_posix.cpp, console_windows.cpp); console.cpp holds what both share.
#pragma once

#include <exception>
#include <string>

struct Failure;

// Where standard input, output or error is closed (started with ">&-"), opens the null device for
// reading in its place: a file the program opens later cannot then take that descriptor and receive
// the program's lines, and printing to a closed standard output still fails, so that it is reported
// (a closed standard output counts as failed from the start, with EBADF, even when nothing is printed).
// Windows: nothing to do, the C runtime gives no descriptor of a closed standard stream to a file.
// Call it once, first.
void KeepStandardStreamsOpen();

// Flushes standard output and remembers its first failure (the system's code; EIO when the system gave
// none); the run goes on either way.
void FlushStandardOutput();

// What a program prints on standard error when its standard output could not be written, given the
// system's code of the first failure.
using StandardOutputFailureLine = std::string (*)(int error);

// The exit status once the run is over: `status` when every line reached standard output (flushed
// here first); else 1, after `line(error)` on standard error.
int FinishStandardOutput(int status, StandardOutputFailureLine line);

// Prints a failure's message on standard output and, when standard input is a terminal, waits for
// the user as the failure asks (one character, or one integer read with "%d"). The wait keeps a
// console window readable; where standard input is not a terminal (a pipe, a file, /dev/null) nobody
// is there to answer it, and reading would take the next lines of whoever feeds the program (a shell
// loop over folders), so the run ends at once. Returns the exit status 1.
int ReportFailure(const Failure& failure);

// Reports an exception that no stage turned into a Failure as ReportFailure does (its Failure is
// FailureOfUnexpected's: " Unexpected failure: <what> ", or " Memory not allocated " for an
// allocation that fails outside every stage). Returns the exit status 1.
int ReportUnexpected(const std::exception& error);

// True when standard output is a terminal (fpview then draws a progress bar in place of plain lines).
bool StandardOutputIsTerminal();

// True when standard input is a terminal (on Windows, a console): someone may be there to answer a
// failure's wait.
bool StandardInputIsTerminal();
