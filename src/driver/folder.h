// The working folder of a run and its listing: the folder argument checked and ended with the
// separator, the paths joined under it, and the listing's text read back as the names of the
// CALSTARS files to process. The listing itself is made and written by platform/listing.h.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Longest working folder, separator included: the listing command holds it twice plus 50 characters
// of fixed text in 512, and every path built from it must fit 256.
constexpr size_t kMaxFolderLength = 231;

// The working folder named by `folder_argument`, ended with kFolderSeparator unless it ends in one
// already. Refuses (a Failure that waits for one character) an empty argument, a folder longer than
// kMaxFolderLength before or after the separator is appended, and, where the command interpreter
// lists the folder (Windows), a folder holding a double quote.
std::string WorkingFolder(const std::string& folder_argument);

// `folder` followed by `name`. Refuses (" The <what> path <path> is longer than 255 characters ", no
// wait) a path that does not fit kPathBuffer.
std::string JoinPath(const std::string& folder, const std::string& name, const char* what);

// The names that the lines of `listing` give, in listing order: each line without its line end (a
// carriage return before it included), cut after its last ".txt" (CutAfterTxt); a line that holds no
// ".txt" names no CALSTARS file and is skipped.
std::vector<std::string> ListedCalstarsNames(const std::string& listing);
