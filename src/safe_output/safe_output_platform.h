// What differs between Windows and POSIX systems in writing safe output files: creating a file
// exclusively, writing, closing, replacing by renaming, removing. One source file per platform
// (safe_output_posix.cpp, safe_output_windows.cpp) implements it; only safe_output.cpp uses it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "safe_output/safe_output.h"

// The characters that separate folders in a path ("/", and "\\" too on Windows).
extern const char* const kPathSeparators;

enum class CreateResult { Created, Exists, Failed };

// Creates `path` for writing, only when no entry of that name exists (a link is an entry: it is
// never followed). On Created, `file` is the open handle; on Failed, `error` is the system's code.
// On Windows the file is opened so that it can be removed while still open.
CreateResult CreateNewFile(const char* path, intptr_t& file, int& error);

// Marks the newly created temporary file as held by a live writer (an advisory lock on POSIX, the
// open handle's exclusive sharing on Windows). False when the file was removed before it was held
// (a stale-file sweep of another run took it): the caller then tries another name.
bool HoldNewFile(intptr_t file);

// A second handle on the held file that keeps it held after the writing handle is closed, so that
// the close (which may report a failed write) comes before the rename while no other run can take
// the file for stale in between; kNoFile when none can be made (then nothing holds it meanwhile).
// ReleaseHold closes it, after the rename.
intptr_t KeepHeld(intptr_t file);
void ReleaseHold(intptr_t hold);

// Removes `path` when it is a stale temporary file: a regular file that begins with kTemporaryMark
// and that no live writer holds (left by a run that could not clean up). The checks and the removal
// concern one and the same file: a file put in its place meanwhile is never removed. True when it
// was removed.
bool RemoveIfStale(const char* path);

// The system's error codes for a final name that is empty and for one that names a folder.
extern const int kEmptyNameError;
extern const int kFolderNameError;

// The longest name (one path component) the folder of `path` allows; 255 when unknown.
size_t LongestName(const char* path);

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
