// The batch driver: the working folder, the listing of its CALSTARS files, and the loops over the
// listed files and their frame records. One four-product file is written per frame record, into the
// working folder, under the record's name; the name is printed as "%s\n" when its file is written.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Longest working folder, separator included: the listing command holds it twice plus 50 characters
// of fixed text in 512, and every path built from it must fit 256.
constexpr size_t kMaxFolderLength = 231;

// Runs the program with its command line (see ParseCommandLine): the folder, or without one the
// folder of any CALSTARS file that the user picks; "--jobs N" first sets the number of workers,
// which is otherwise the number of processors the process may run on. "--help" or "--version"
// prints the usage or the version instead and returns 0. Returns 0 after the last listed file; every
// failure throws a Failure.
int RunProgram(int argc, char** argv);

// What a run tells a caller other than the program (the Python module) instead of printing it. The
// program's run prints a record's warning lines and its name on standard output and notes the folder
// and records for the stop handlers of platform/interruption.h; a run given RunHooks prints nothing
// and notes nothing:
//   warnings        a record's warning lines, line ends included, in record order (may be empty)
//   written         the record's name, once its file is complete under that name
//   before_record   runs before each record's file is written, in record order; it may throw to stop
//                   the run there: no temporary file is open then, and every file already written
//                   stays whole
struct RunHooks {
    std::function<void(const std::string& lines)> warnings;
    std::function<void(const std::string& name)> written;
    std::function<void()> before_record;
};

// Processes every CALSTARS file of `folder` (as given: a separator is appended when missing) with
// `jobs` workers. With 1 it runs the sequential loop; with more, the same loop hands the
// reconstitution of each record to workers and writes the records in order, so that the files, the
// lines on standard output and the failures are those of the sequential loop. Every record is
// checked in one order whatever the number of workers, cheapest first: its name, its window and
// coordinates, then the memory budget, and only then is anything allocated for it. A record for which
// not even one worker fits the budget runs in the sequential loop, once the records before it are
// written and the workers have released their memory. When a worker's memory fails, the workers are stopped and the run goes on as the sequential loop from that record
// on, so that it fails only where the sequential loop fails, with its message. `hooks` (see RunHooks)
// take the lines instead of standard output.
int RunBatch(const std::string& folder, int32_t jobs = 1, const RunHooks* hooks = nullptr);

// The CALSTARS files of `folder` in the order a run processes them (the order of the listing that
// RunBatch writes), as names within the folder, without writing the listing: the folder is checked
// and listed as RunBatch does, with the same failures.
std::vector<std::string> CalstarsFilesInOrder(const std::string& folder);

struct MemoryLimits;

// The memory a run may take, in bytes, from the limits in force (0 when none is known): the smallest
// of three quarters of the physical memory, three quarters of the control group's or job object's
// limit (the rest is left to the system and the other processes there), and the address space left
// under an address-space or data limit (the limit less what is mapped already). A 32-bit build never
// counts on more than 2 GB.
uint64_t MemoryBudget(const MemoryLimits& limits);

// Refuses a CALSTARS file whose buffers for a rows x cols image and `window` would not fit the
// `budget` (MemoryBudget; 0 when unknown), before anything is allocated.
void CheckMemoryBudget(int32_t rows, int32_t cols, int32_t window, uint64_t budget, const std::string& path);

// How many of `workers` (at least 1) a parallel run may keep busy on such records within `budget`:
// each worker holds its work images, the planes of two records in flight and its profile factor
// tables. 0 when not even one fits: the record then runs in the sequential loop, with the workers'
// memory released (see RunBatch), so that a parallel run never needs more than a run of one job.
int32_t WorkersThatFit(int32_t rows, int32_t cols, int32_t window, uint64_t budget, int32_t workers);
