// What differs between Windows and POSIX systems for the driver: the folder separator, how the
// listing of CALSTARS files is produced, the file selection dialog, and the machine's memory and
// processors. One source file per platform implements it. (How output files replace others, by
// renaming, belongs to safe_output/.)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The separator that ends the working folder: "\\" on Windows, "/" elsewhere.
extern const char kFolderSeparator;

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

// Asks the user for any one CALSTARS file and returns true with its full path in `destination`, or
// false when the user cancelled or the dialog failed (destination untouched).
bool SelectCalStarsFile(std::string& destination);

// The number of processors this process may run on (its affinity mask, which taskset, cgroups and
// cluster schedulers narrow), at least 1.
int32_t UsableProcessorCount();

// The machine's physical memory in bytes (0 when unknown).
uint64_t PhysicalMemoryBytes();

// What bounds the memory this process may take, as the system tells it; 0 in a field means no such
// bound (or unknown). The driver turns them into one budget (MemoryBudget in batch.h).
struct MemoryLimits {
    uint64_t physical = 0;       // the machine's physical memory
    uint64_t address_space = 0;  // the smaller of the address-space and data-size limits (ulimit -v, -d)
    uint64_t mapped = 0;         // address space the process has mapped already, which counts against it
    uint64_t container = 0;      // the control group's memory limit, or the Windows job object's
};

// Reads the limits now in force: physical memory; RLIMIT_AS and RLIMIT_DATA with the size mapped
// (/proc/self/statm) on POSIX systems, the virtual address space and what is left of it on Windows;
// the memory limit of the process's control group (memory.max of cgroup v2, taking the smallest
// along the path to the root, or memory.limit_in_bytes of v1) or of the job object the process
// runs in.
MemoryLimits ReadMemoryLimits();

// Under a limit on the address space, the C library's reservations per thread count against it as if
// they were memory: glibc reserves a 64 MB arena for each thread that allocates, and a stack of the
// stack limit's size (8 MB by default). The workers then take stacks of kWorkerStackBytes, as their
// own thread attribute (StartWorkerThread).
constexpr uint64_t kWorkerStackBytes = uint64_t{1} << 20;

// Settings of the whole process for a run under `limits`, made by the program's main alone (library
// code never calls it, so a host process such as the Python interpreter keeps its own): under any
// limit, blocks of kMappedBlockBytes and more are mapped on their own and given back to the system
// when freed (glibc otherwise raises that size to the largest block freed so far and keeps such
// blocks for reuse, so the sequential loop's images would still count while workers allocate theirs);
// under a limit on the address space, every thread shares one arena.
constexpr uint64_t kMappedBlockBytes = uint64_t{128} << 10;
void FitMallocToMemoryLimits(const MemoryLimits& limits);

// A thread of the driver's workers, joined by JoinWorkerThread before it is destroyed.
struct WorkerThread;
struct WorkerThreadJoiner {
    void operator()(WorkerThread* thread) const;  // joins the thread, then frees its handle
};
using WorkerThreadHandle = std::unique_ptr<WorkerThread, WorkerThreadJoiner>;

// Starts `body` on a new thread with a stack of `stack_bytes` (0: the system's default size), set on
// that thread alone. Null when the system gives no thread.
WorkerThreadHandle StartWorkerThread(std::function<void()> body, uint64_t stack_bytes);

// Where standard input, output or error is closed (started with ">&-"), opens the null device for
// reading in its place: a file the program opens later cannot then take that descriptor and receive
// the program's printed lines, and printing to a closed standard output still fails as it would
// have, so that it is reported.
void KeepStandardStreamsOpen();

// True when standard output is a terminal (the companion program then draws a progress bar in place
// of plain lines).
bool StandardOutputIsTerminal();

// When standard output is closed (">&-"), opens the null device in its place, so that no file the run
// opens takes its number and receives the names, and returns the error its writes would have had;
// else 0. Windows: 0.
int ReserveClosedStandardOutput();
