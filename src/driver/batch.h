// The batch driver: the working folder, the listing of its CALSTARS files, and the loops over the
// listed files and their frame records. One four-product file is written per frame record, into the
// working folder, under the record's name; the name is printed as "%s\n" when its file is written.
#pragma once

#include <cstdint>
#include <string>

// Longest working folder, separator included: the listing command holds it twice plus 50 characters
// of fixed text in 512, and every path built from it must fit 256.
constexpr size_t kMaxFolderLength = 231;

// Runs the program with its command line: argv[1] is the folder; without it the user picks any
// CALSTARS file and its folder is used. Further arguments are ignored. argv[1] exactly "--help" or
// "--version" prints the usage or the version instead and returns 0. Returns 0 after the last listed
// file; every failure throws a Failure.
int RunProgram(int argc, char** argv);

// Processes every CALSTARS file of `folder` (as given: a separator is appended when missing).
int RunBatch(const std::string& folder);

// Refuses a CALSTARS file whose buffers for a rows x cols image and `window` would not fit the
// machine's memory (`physical_bytes`, 0 when unknown), before anything is allocated.
void CheckMemoryBudget(int32_t rows, int32_t cols, int32_t window, uint64_t physical_bytes, const std::string& path);

// Prints a failure's message and waits for the user as the failure asks. Returns the exit status 1.
struct Failure;
int ReportFailure(const Failure& failure);
