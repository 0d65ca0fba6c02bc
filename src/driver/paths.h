// The driver's own path rules: the capacity of its paths, the separator that ends the working
// folder, the split of a chosen file's path, the listing lines that name CALSTARS files, and the
// record names that would overwrite an input of the run. The separator is a parameter so that the
// Windows and POSIX forms are both testable on any platform (the run passes kFolderSeparator,
// platform/listing.h).
#pragma once

#include <cstddef>
#include <string>

// Capacity of every path held by the driver, terminator included.
constexpr size_t kPathBuffer = 256;

// Appends `separator` unless the folder's last `separator` is already its last character:
// "D:\data\night1" gives "D:\data\night1\", "D:" gives "D:\".
std::string EnsureTrailingSeparator(const std::string& folder, char separator);

// Splits `path` at its last `separator` into the folder before it (without the separator) and the
// file name after it. Returns false when `path` holds no separator.
bool SplitFolderAndName(const std::string& path, std::string& folder, std::string& file_name, char separator);

// Cuts a listing line right after its last ".txt", in any case (dropping the line end and anything
// after it).
// Returns false for a line that holds no ".txt", which names no CALSTARS file.
bool CutAfterTxt(std::string& line);
