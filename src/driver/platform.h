// What differs between Windows and POSIX systems for the driver: the folder separator, how the
// listing of CALSTARS files is produced, the file selection dialog, and the machine's memory and
// processors. One source file per platform implements it. (How output files replace others, by
// renaming, belongs to safe_output/.)
#pragma once

#include <cstdint>
#include <string>

// The separator that ends the working folder: "\\" on Windows, "/" elsewhere.
extern const char kFolderSeparator;

// Writes the bare names of `folder`'s CALSTARS*.txt files, one per line, as the listing file
// `listing_path` (WriteListingFile: checked, renamed into place) and returns the listing's text, which
// the run reads (never the file, which another run on the folder may be replacing meanwhile).
// On Windows the command interpreter lists the folder ("dir /b") into a temporary file of this
// process, read back and removed; elsewhere the folder is read natively: regular files whose names
// match CALSTARS*.txt without regard to case, in case-insensitive name order. A folder that cannot
// be opened fails with " Directory listing file <path> not found (or not generated)", as when the
// command interpreter writes nothing. A folder that opens but cannot be read completely (an error
// part-way through, or a matching name whose type cannot be learnt for another reason than its being
// gone) fails with " Cannot read folder <folder> completely: [<name>: ]<error> " before any listing is
// written, so a shorter listing is never taken for the whole folder.
std::string WriteCalstarsListing(const std::string& folder, const std::string& listing_path);

// Asks the user for any one CALSTARS file and returns true with its full path in `destination`, or
// false when the user cancelled or the dialog failed (destination untouched).
bool SelectCalStarsFile(std::string& destination);

// The number of processors this process may run on (its affinity mask, which taskset, cgroups and
// cluster schedulers narrow), at least 1.
int32_t UsableProcessorCount();

// The machine's physical memory in bytes (0 when unknown).
uint64_t PhysicalMemoryBytes();

// True when standard output is a terminal (the companion program then draws a progress bar in place
// of plain lines).
bool StandardOutputIsTerminal();

// When standard output is closed (">&-"), opens the null device in its place, so that no file the run
// opens takes its number and receives the names, and returns the error its writes would have had;
// else 0. Windows: 0.
int ReserveClosedStandardOutput();
