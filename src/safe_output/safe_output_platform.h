// What differs between Windows and POSIX systems in writing safe output files: creating a file or a
// hidden folder exclusively and holding it, writing, closing, replacing by renaming, removing, finding
// the abandoned hidden folders of a folder, and forks. One source file per platform
// (safe_output_posix.cpp, safe_output_windows.cpp) implements it; only safe_output.cpp uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "safe_output/safe_output.h"

// The characters that separate folders in a path ("/", and "\\" too on Windows); the first is the
// one put between a hidden folder and its files.
extern const char* const kPathSeparators;

enum class CreateResult { Created, Exists, Failed };

// Creates `path` for writing, only when no entry of that name exists (a link is an entry: it is
// never followed). On Created, `file` is the open handle; on Failed, `error` is the system's code.
// On Windows the file is opened so that it can be removed while still open.
CreateResult CreateNewFile(const char* path, intptr_t& file, int& error);

// Marks the newly created temporary file as held by a live writer (an advisory lock on POSIX, the
// open handle's exclusive sharing on Windows). False when the file was removed before it was held:
// the caller then tries another name.
bool HoldNewFile(intptr_t file);

// A second handle on the held file that keeps it held after the writing handle is closed, so that
// the close (which may report a failed write) comes before the rename while no other run can take
// the file for abandoned in between; kNoFile when none can be made (then nothing holds it meanwhile).
// ReleaseHold closes it, after the rename.
intptr_t KeepHeld(intptr_t file);
void ReleaseHold(intptr_t hold);

// Creates the hidden folder `path` exclusively, then its lock file kSafeOutputLockName exclusively,
// and holds the lock (`lock` is its handle). Exists when an entry of that name was there, or when
// another process's sweep removed the new folder before its lock was held (the caller takes another
// name); Failed (with `error`) when the system refuses, leaving nothing behind.
CreateResult MakeHiddenFolder(const char* path, intptr_t& lock, int& error);

// Removes the hidden folder `path`, its temporary files gone, with its lock file, and closes `lock`,
// in the order that keeps it held until its lock file's name is gone where the system allows.
void ReleaseHiddenFolder(const char* path, intptr_t lock);

// Removes the lock file of the hidden folder `path` and the folder (which fails harmlessly when
// anything else is in it), by their names only: doing it twice does no harm. Async-signal-safe on
// POSIX (unlink, rmdir). On Windows a file removed while still open (a temporary file, the lock)
// keeps the folder until the process ends: an empty hidden folder without a lock file may stay, which
// the next process's removal of abandoned folders takes.
void RemoveHiddenFolder(const char* path);

// Removes the hidden folders in `folder` ("" for the current one; else ending in a separator) that are
// provably abandoned, and of each only its unheld files that begin with kTemporaryMark, as the header
// says. IsHiddenFolderName tells which names are hidden folders. Failures leave things as they are.
void RemoveAbandonedFolders(const std::string& folder);
bool IsHiddenFolderName(const std::string& name);

// The number of this process, for hidden folders' names.
unsigned long ProcessNumber();

// Has `prepare` run before every fork of the process and `parent`, `child` after it in each (POSIX;
// Windows has no fork: nothing). For one call only.
void RunAroundForks(void (*prepare)(), void (*parent)(), void (*child)());

// The system's error codes for a final name that is empty and for one that names a folder.
extern const int kEmptyNameError;
extern const int kFolderNameError;

// Writes all `size` bytes, retrying short writes. False (and `error` set) when the system refuses.
bool WriteToFile(intptr_t file, const void* data, size_t size, int& error);

// Writes all `size` bytes at `offset` (the file's position afterwards is unspecified: used only
// before the close). False (and `error` set) when the system refuses.
bool WriteAt(intptr_t file, uint64_t offset, const void* data, size_t size, int& error);

// Cuts the file to `size` bytes. False (and `error` set) when the system refuses.
bool TruncateFile(intptr_t file, uint64_t size, int& error);

// Closes the handle. False (and `error` set) when the close reports a failure.
bool CloseFile(intptr_t file, int& error);

// Renames `from` to `to`, replacing a file of that name. False (and `error` set) on failure.
bool RenameReplacing(const char* from, const char* to, int& error);

// Removes the entry `path` if it is there. Async-signal-safe on POSIX (unlink).
void RemoveEntry(const char* path);

// The system's text for an error code.
std::string ErrorText(int error);
