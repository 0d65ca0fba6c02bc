// Safe output files: how both programs write every file they make.
//
// A file is written under a temporary name in the folder of its final name, every write and the
// close are checked, and only a complete file is renamed over the final name (replacing a file that
// is there). On any failure the temporary file is removed and the final name is left as it was, so
// the file of an earlier run stays whole; an interrupted run removes its temporary files through
// SafeOutput_RemoveTemporaries.
//
// Temporary name: "<final name>.partial" (the last part of the final name cut short when that would
// be longer than the folder allows a name to be), or ".partial2", ".partial3" and so on when an
// entry of that name exists that is not a stale temporary file (below). The temporary file is created exclusively: an existing entry, a symbolic link
// included even when it leads nowhere, is never opened, so bytes never go through a link to a place
// outside the folder.
//
// Stale temporary files: record names are free text, so a name proves nothing: a record may be
// named "x.bin.partial", and a user's own file may sit at any name. A temporary file is therefore
// known by its content: from its creation until just before its rename it begins with
// kTemporaryMark, which no finished file of the programs begins with (a four-product file begins
// with its row count, at most 2^31 - 1, so its fourth byte is below 0x80; a listing begins with a
// CALSTARS file name or is empty; PNG and FITS files begin with their signatures). The first bytes
// of the content are kept in memory meanwhile and written over the mark at the commit. The writer
// also holds its temporary file (an advisory lock on POSIX, an unshared handle on Windows) until the
// rename. A file at a candidate temporary name is removed as stale only when it is a regular file
// that begins with the mark and that no live writer holds: left by a run that could not clean up
// (killed, power lost). Any other file there is left as it is, and the next candidate name is tried.
// Two runs on one folder therefore never remove each other's files: a file being written is held,
// and a finished one carries no mark.
//
// Refused before anything is touched: an empty final name, one ending in a separator, and one whose
// last part is "." or ".." (the folder itself or its parent).
//
// Use:
//   SafeOutput output;
//   if (!SafeOutput_Open(output, final_name)) ...            // nothing was created
//   bool ok = SafeOutput_Write(output, header, 20) && SafeOutput_Write(output, planes, n);
//   if (!SafeOutput_Commit(output)) ...                      // temporary file already removed
// A SafeOutput destroyed while open (a Failure thrown past it) removes its temporary file.
//
// Interruptions: from the moment its name is chosen until after the rename, every temporary name
// sits in a fixed table of kSafeOutputSlots entries. The name is entered before the file is created
// and taken out after the rename, so a sweep at any moment removes every temporary file that exists;
// a name swept before its file was created or after it was renamed names nothing any more. Several
// threads may open, write and commit outputs at once: a sweep first closes the table to new files,
// waits for the creations under way on other threads, then removes every named file.
//
// Names reserved by SafeOutput_Reserve (the final names of outputs that are written and not yet
// renamed, in a run that renames in an order of its own) are never chosen as temporary names, so a
// later output's temporary file is never the final name of an earlier one. A temporary file's own
// name is reserved in the same way from its creation to its rename or removal, so no other thread
// of the process takes it for a stale file in the moment between its close and its rename.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Files that can be open at once: a parallel run has up to two records in flight for each of its
// at most 256 workers, each with its temporary file, and the run writes one file of its own.
constexpr int kSafeOutputSlots = 2 * 256 + 8;
// Longest temporary path the table holds, terminator included; a longer one cannot be opened.
constexpr size_t kSafeOutputPathBytes = 4096;
// No temporary file of the platform's kind is open.
constexpr intptr_t kNoFile = -1;
// The first bytes of every temporary file until its commit (see above).
constexpr size_t kTemporaryMarkBytes = 16;
extern const unsigned char kTemporaryMark[kTemporaryMarkBytes];

struct SafeOutput {
    std::string final_name;      // where the file goes when complete
    std::string temporary_name;  // where it is written meanwhile; empty when not open
    intptr_t file = kNoFile;     // the open temporary file (platform handle)
    int slot = -1;               // its entry in the interruption table, -1 when none
    bool ok = true;              // every write so far succeeded
    uint64_t size = 0;           // bytes written so far, the mark not counted
    unsigned char head[kTemporaryMarkBytes] = {};  // the first bytes, written over the mark at the commit
    int error = 0;               // the system's error code of the first failure, 0 when none

    SafeOutput() = default;
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;
    ~SafeOutput();
};

// Creates the temporary file for `final_name`, holding only the mark. False when the name is refused
// (see above) or the file cannot be created (the folder is missing or not writable, the path does not
// fit kSafeOutputPathBytes, every slot is taken); then nothing is left behind and `error` says why.
bool SafeOutput_Open(SafeOutput& output, const std::string& final_name);

// Appends `size` bytes. False when the system did not take all of them (disk full, file size limit,
// a previous write failed); the failure is remembered and SafeOutput_Commit then fails too.
bool SafeOutput_Write(SafeOutput& output, const void* data, size_t size);

// Writes the first bytes over the mark, closes the temporary file and renames it over the final name. False when a write, the close or
// the rename failed: the temporary file is then removed and the final name untouched. Either way
// the output is no longer open.
bool SafeOutput_Commit(SafeOutput& output);

// Closes and removes the temporary file; does nothing when the output is not open.
void SafeOutput_Abandon(SafeOutput& output);

// Writes `size` bytes as the whole file `final_name`, through a temporary file as above. False on
// any failure (nothing left behind, the final name untouched, `error` set when asked for).
bool SafeOutput_WriteWhole(const std::string& final_name, const void* data, size_t size, int* error = nullptr);

// Reserves `final_name` as a name no temporary file may take, until as many SafeOutput_Release
// calls as reservations. Thread-safe.
void SafeOutput_Reserve(const std::string& final_name);
void SafeOutput_Release(const std::string& final_name);

// The system's text for an error code of a SafeOutput ("No space left on device").
std::string SafeOutput_ErrorText(int error);

// Removes every temporary file that an open SafeOutput of this process is writing, and lets no
// other be created after it. Safe in a signal handler, on any thread: it takes no lock, allocates
// nothing and calls only the system's file removal; it waits only for file creations already under
// way on other threads. Outputs already renamed are not touched. Called once, as the process ends.
void SafeOutput_RemoveTemporaries();

// Lets files be created again after SafeOutput_RemoveTemporaries, for a process that goes on (a
// test). Only when no other thread uses a SafeOutput.
void SafeOutput_Reopen();
