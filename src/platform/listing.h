// The listing of a folder's CALSTARS files: which files it names, in which order, and the listing
// file that the run writes into the folder and leaves there. Windows has its command interpreter list
// the folder ("dir /b"); POSIX systems read the folder natively and list what the command interpreter
// would. One source file per platform (listing_posix.cpp, listing_windows.cpp) makes the listing's
// text; listing.cpp holds what both share.
//
// A folder given to the listing ends in kFolderSeparator: the listing's names are joined to it by
// plain concatenation.
#pragma once

#include <string>

// The separator that ends a folder: "\\" on Windows, "/" elsewhere.
extern const char kFolderSeparator;

// The listing file written into the working folder and left there.
constexpr const char* kListingName = "DirListingCalstars.txt";

// True when `name` matches CALSTARS*.txt without regard to case, as the command interpreter matches.
bool MatchesCalstarsPattern(const std::string& name);

// True when a record `name` would overwrite a file that the run still reads: a CALSTARS file or the
// listing (compared without regard to case, since Windows file names ignore it).
bool WouldOverwriteInput(const std::string& name);

// The command that has the Windows command interpreter write the listing:
// dir /b "<folder>CALSTARS*.txt" > "<listing_path>"
std::string ListingCommand(const std::string& folder, const std::string& listing_path);

// Writes `listing` as the whole listing file `listing_path`, through a safe output file (a link or
// FIFO of that name is replaced, never followed). Fails with
// " Cannot write directory listing file <path>: <error> " when it cannot, before anything is processed.
void WriteListingFile(const std::string& listing_path, const std::string& listing);

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

// The listing's text as WriteCalstarsListing makes it, with the same failures, without writing the
// listing file (a folder that cannot be opened fails with its path and the system's error code).
std::string ListCalstarsFiles(const std::string& folder, const std::string& listing_path);
