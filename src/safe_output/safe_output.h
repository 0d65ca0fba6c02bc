// Safe output files: how both programs write every file they make.
//
// A file is written under a temporary name, every write and the close are checked, and only a
// complete file is renamed over the final name (replacing a file that is there). On any failure the
// temporary file is removed and the final name is left as it was, so the file of an earlier run stays
// whole; an interrupted run removes its temporary files through SafeOutput_RemoveTemporaries.
//
// Where temporary files live: in a hidden folder of this process inside the folder of the final name,
// "<folder>/.calstars2fp-<unique>" with <unique> lower-case hex (the process number, a counter and the
// clock), created exclusively (an entry of that name makes the process take another). A final name
// has no separator in its last part, so it can never reach into such a folder, whatever the file
// system compares names by (byte for byte or without case): no final name of any run is ever another
// run's temporary file, and a rename out of the hidden folder stays on the same file system. A final
// name that happens to be the hidden folder's own name fails at its rename (a folder stands there) and
// removes nothing. Inside, each temporary file has a name of its own (a counter in hex), and the lock
// file kSafeOutputLockName marks the folder as this process's: the process holds that file (an
// advisory lock on POSIX, an unshared handle on Windows) from just after the folder's creation until it
// removes the folder. The folder exists while the process has an output open in that folder: it is
// made at the first open and removed when the last one there is committed or abandoned.
//
// Temporary files: from their creation until just before their rename they begin with kTemporaryMark,
// which no finished file of the programs begins with (a four-product file begins with its row count, at
// most 2^31 - 1, so its fourth byte is below 0x80; a listing begins with a CALSTARS file name or is
// empty; PNG and FITS files begin with their signatures). The first bytes of the content are kept in
// memory meanwhile and written over the mark at the commit. The writer also holds its temporary file
// (as the lock file above) until the rename.
//
// Leftovers of a process that could not clean up (killed, power lost): at its first output in a folder
// a process removes the hidden folders there that are provably abandoned: a folder of that name form
// whose lock file no live process holds. Of such a folder only the files that begin with the mark and
// that nobody holds are removed, then the lock file and the folder once nothing else is left in it;
// anything else stays. A hidden folder without a lock file is removed only when it is empty (its
// owner may be between the folder's creation and the lock's, and then makes another). This happens
// once per folder and process, whatever the number of threads writing. Nothing outside the hidden
// folders is ever removed but the file at a final name that a complete file replaces: files beside
// the final names (named like the ".partial" temporary files of earlier versions or not) are never
// touched. Two runs on one folder therefore never remove each other's files.
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
// Interruptions: from the moment its name is chosen until after the rename, every temporary name sits
// in a fixed table of kSafeOutputSlots entries, and every hidden folder in a fixed table of as many.
// A name is entered before its file or folder is created and taken out after the rename or removal,
// so a sweep at any moment removes every temporary file and then every hidden folder of the process; a
// name swept before its file was created or after it was removed names nothing any more. Several
// threads may open, write and commit outputs at once: a sweep first closes the tables to new files and
// folders, waits for the creations under way on other threads, then removes every named entry.
//
// Processes forked from this one: the one lock of the module (the hidden folders' table) is taken
// before a fork and released after it in both processes, so a child can write at once. The child
// starts with empty tables: it makes hidden folders of its own, never removes or renames the
// parent's files, and an output it inherited open is forgotten there, not committed or abandoned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Files that can be open at once: a parallel run has up to two records in flight for each of its
// at most 256 workers, each with its temporary file, and the run writes one file of its own. As many
// hidden folders can be in use, each by at least one open file.
constexpr int kSafeOutputSlots = 2 * 256 + 8;
// Longest temporary path the table holds, terminator included; a longer one cannot be opened.
constexpr size_t kSafeOutputPathBytes = 4096;
// No temporary file of the platform's kind is open.
constexpr intptr_t kNoFile = -1;
// The first bytes of every temporary file until its commit (see above). 0xFF in the fourth byte: a
// four-product file's row count would be negative; never text either.
constexpr size_t kTemporaryMarkBytes = 16;
inline constexpr unsigned char kTemporaryMark[kTemporaryMarkBytes] = {0xFF, 0xFF, 0xFF, 0xFF, 'C', '2', 'F', 'P',
                                                                     ' ', 'p', 'a', 'r', 't', 'i', 'a', 'l'};
// How every hidden folder's name begins; the rest is lower-case hex digits and "-".
inline constexpr const char* kSafeOutputFolderPrefix = ".calstars2fp-";
// The lock file inside each hidden folder (no temporary file is named so: theirs are hex digits).
inline constexpr const char* kSafeOutputLockName = "lock";

struct SafeOutput {
    std::string final_name;      // where the file goes when complete
    std::string temporary_name;  // where it is written meanwhile; empty when not open
    intptr_t file = kNoFile;     // the open temporary file (platform handle)
    int slot = -1;               // its entry in the interruption table, -1 when none
    int folder = -1;             // its hidden folder's entry, -1 when none
    unsigned process = 0;        // which process (of a chain of forks) opened it
    bool ok = true;              // every write so far succeeded
    uint64_t size = 0;           // bytes written so far, the mark not counted
    unsigned char head[kTemporaryMarkBytes] = {};  // the first bytes, written over the mark at the commit
    int error = 0;               // the system's error code of the first failure, 0 when none

    SafeOutput() = default;
    SafeOutput(const SafeOutput&) = delete;
    SafeOutput& operator=(const SafeOutput&) = delete;
    ~SafeOutput();
};

// Keeps this process's hidden folder in the folder of `final_name` (any file the run writes there)
// from the scope's start to its end. Without
// it the hidden folder goes with the last file open in it and is made again for the next, which a
// run of many files pays for every file (on a disk mounted with discard, each removal waits for the
// freed block: milliseconds). The hidden folder is made, and the abandoned ones of earlier processes
// removed, when the scope starts; where it cannot be made nothing is held, and the first output
// there fails with the reason.
class SafeOutputFolderHold {
public:
    explicit SafeOutputFolderHold(const std::string& final_name);
    ~SafeOutputFolderHold();
    SafeOutputFolderHold(const SafeOutputFolderHold&) = delete;
    SafeOutputFolderHold& operator=(const SafeOutputFolderHold&) = delete;

private:
    int folder_ = -1;  // the hidden folder's entry, -1 when none is held
};

// Creates the temporary file for `final_name` in this process's hidden folder there (made when it is
// the first open output of that folder, after the abandoned ones are removed), holding only the mark.
// False when the name is refused (see above) or the folder or file cannot be created (the folder is
// missing or not writable, the path does not fit kSafeOutputPathBytes, every slot is taken); then
// nothing is left behind and `error` says why.
bool SafeOutput_Open(SafeOutput& output, const std::string& final_name);

// Appends `size` bytes. False when the system did not take all of them (disk full, file size limit,
// a previous write failed); the failure is remembered and SafeOutput_Commit then fails too.
bool SafeOutput_Write(SafeOutput& output, const void* data, size_t size);

// Writes the first bytes over the mark, closes the temporary file and renames it over the final name.
// False when a write, the close or the rename failed: the temporary file is then removed and the final
// name untouched. Either way the output is no longer open.
bool SafeOutput_Commit(SafeOutput& output);

// Closes and removes the temporary file; does nothing when the output is not open.
void SafeOutput_Abandon(SafeOutput& output);

// Writes `size` bytes as the whole file `final_name`, through a temporary file as above. False on
// any failure (nothing left behind, the final name untouched, `error` set when asked for).
bool SafeOutput_WriteWhole(const std::string& final_name, const void* data, size_t size, int* error = nullptr);

// The system's text for an error code of a SafeOutput ("No space left on device").
std::string SafeOutput_ErrorText(int error);

// Removes every temporary file that an open SafeOutput of this process is writing, then every hidden
// folder of the process, and lets no other be created after it. Safe in a signal handler, on any
// thread: it takes no lock, allocates nothing and calls only the system's file and folder removal; it
// waits only for creations already under way on other threads. Outputs already renamed are not
// touched. Called once, as the process ends.
void SafeOutput_RemoveTemporaries();

// Lets files be created again after SafeOutput_RemoveTemporaries, for a process that goes on (a
// test). Only when no other thread uses a SafeOutput.
void SafeOutput_Reopen();
