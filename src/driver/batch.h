// The batch driver: the working folder, the listing of its CALSTARS files, and the loops over the
// listed files and their frame records. One four-product file is written per frame record, into the
// working folder, under the record's name; the name is printed as "%s\n" when its file is written.
#pragma once

#include <cstdint>
#include <string>

// Longest working folder, separator included: the listing command holds it twice plus 50 characters
// of fixed text in 512, and every path built from it must fit 256.
constexpr size_t kMaxFolderLength = 231;

// Runs the program with its command line (see ParseCommandLine): the folder, or without one the
// folder of any CALSTARS file that the user picks; "--jobs N" first sets the number of workers,
// which is otherwise the number of processors the process may run on. "--help" or "--version"
// prints the usage or the version instead and returns 0. Returns 0 after the last listed file; every
// failure throws a Failure.
int RunProgram(int argc, char** argv);

// Processes every CALSTARS file of `folder` (as given: a separator is appended when missing) with
// `jobs` workers. With 1 it runs the sequential loop; with more, the same loop hands the
// reconstitution of each record to workers and writes the records in order, so that the files, the
// lines on standard output and the failures are those of the sequential loop.
int RunBatch(const std::string& folder, int32_t jobs = 1);

// Refuses a CALSTARS file whose buffers for a rows x cols image and `window` would not fit the
// machine's memory (`physical_bytes`, 0 when unknown), before anything is allocated.
void CheckMemoryBudget(int32_t rows, int32_t cols, int32_t window, uint64_t physical_bytes, const std::string& path);

// How many of `workers` (at least 1) a parallel run may keep busy on such records within the same
// memory: each worker holds its work images and the planes of two records in flight; the profile
// tables and kernels of `shared_half` (the run's shared store, -1 for none) count once, those of any
// other window's half once per worker. Refuses (as CheckMemoryBudget) only when the sequential loop
// would not fit.
int32_t WorkersThatFit(int32_t rows, int32_t cols, int32_t window, uint64_t physical_bytes, int32_t workers,
                       const std::string& path, int32_t shared_half = -1);

// Standard output that cannot be written does not stop a run: the names and lines are lost, every
// file is still written. Call once at start (it keeps a closed standard output's number from being
// given to an output file); at the end, StandardOutputError is the system's code of the first failed
// write or flush of standard output (flushing it first), 0 when every line went out.
void WatchStandardOutput();
int StandardOutputError();

// Prints a failure's message and waits for the user as the failure asks. Returns the exit status 1.
struct Failure;
int ReportFailure(const Failure& failure);
