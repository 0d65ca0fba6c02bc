// Path and listing helpers of the batch driver. The separator is a parameter so that the Windows
// and POSIX forms are both testable on any platform.
#pragma once

#include <string>

// Capacity of every path held by the driver, terminator included.
constexpr size_t kPathBuffer = 256;
// The listing file written into the working folder and left there.
constexpr const char* kListingName = "DirListingCalstars.txt";

// Appends `separator` unless the folder's last `separator` is already its last character:
// "D:\data\night1" gives "D:\data\night1\", "D:" gives "D:\".
std::string EnsureTrailingSeparator(const std::string& folder, char separator);

// Splits `path` at its last `separator` into the folder before it (without the separator) and the
// file name after it. Returns false when `path` holds no separator.
bool SplitFolderAndName(const std::string& path, std::string& folder, std::string& file_name, char separator);

// The command that has the Windows command interpreter write the listing:
// dir /b "<folder>CALSTARS*.txt" > "<listing_path>"
std::string ListingCommand(const std::string& folder, const std::string& listing_path);

// Writes `listing` as the whole listing file `listing_path`, through a safe output file (a link or
// FIFO of that name is replaced, never followed). Fails with
// " Cannot write directory listing file <path>: <error> " when it cannot, before anything is processed.
void WriteListingFile(const std::string& listing_path, const std::string& listing);

// Cuts a listing line right after its last ".txt", in any case (dropping the line end and anything
// after it).
// Returns false for a line that holds no ".txt", which names no CALSTARS file.
bool CutAfterTxt(std::string& line);

// True when `name` matches CALSTARS*.txt without regard to case, as the command interpreter matches.
bool MatchesCalstarsPattern(const std::string& name);

// True when a record `name` would overwrite a file that the run still reads: a CALSTARS file or the
// listing (compared without regard to case, since Windows file names ignore it).
bool WouldOverwriteInput(const std::string& name);
