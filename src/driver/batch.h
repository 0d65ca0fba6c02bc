// The batch driver: the working folder, the listing of its CALSTARS files, and the loops over the
// listed files and their frame records. One four-product file is written per frame record, into the
// working folder, under the record's name; the name is printed as "%s\n" when its file is written.
//
// What a caller of the run uses: the program (RunProgram), the Python module (RunBatch with its
// RunHooks, CalstarsFilesInOrder, kMaxJobs). The run's pieces are in folder.h (the working folder and
// its listing), memory_budget.h, sequential_run.h, parallel_run.h and record_workers.h; what differs
// between Windows and POSIX systems is in platform/.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Most workers a run may be given: more than any machine this tool runs on has processors, few
// enough that their threads and buffers fit a 32-bit address space.
constexpr int32_t kMaxJobs = 256;

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
// written and the workers have released their memory. When a worker's memory fails, the workers are
// stopped and the run goes on as the sequential loop from that record on, so that it fails only where
// the sequential loop fails, with its message. `hooks` (see RunHooks) take the lines instead of
// standard output.
int RunBatch(const std::string& folder, int32_t jobs = 1, const RunHooks* hooks = nullptr);

// What a caller that reconstitutes records one at a time (the Python module's Reconstitution) does
// before each record, as a run does for it: the checks of the file `file` (its header values) and of
// `record`, in the run's order, against the memory budget the limits leave now, then the set-up of
// `product` and `buffers` for the record (giving back kept memory that would not fit beside it).
// Refuses with the run's lines.
struct FourProduct;
struct ReconWorkBuffers;
struct CalStarExtraction;
void PrepareLoneRecord(FourProduct& product, ReconWorkBuffers& buffers, const CalStarExtraction& file,
                       const CalStarExtraction& record);

// The CALSTARS files of `folder` in the order a run processes them (the order of the listing that
// RunBatch writes), as names within the folder, without writing the listing: the folder is checked
// and listed as RunBatch does, with the same failures.
std::vector<std::string> CalstarsFilesInOrder(const std::string& folder);
