// The machine a run has: the processors and memory it may use, how the C library's allocator is fitted
// to a memory limit, and the threads of the driver's workers. What differs between Windows and POSIX
// systems is in one source file per platform (machine_posix.cpp, machine_windows.cpp).
//
// The driver reads the limits once per run and turns them into its budget (MemoryBudget in
// driver/memory_budget.h); the program's main alone fits the allocator to them, since that setting
// belongs to the whole process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// The number of processors this process may run on (its affinity mask, which taskset, cgroups and
// cluster schedulers narrow), at least 1.
int32_t UsableProcessorCount();

// The machine's physical memory in bytes (0 when unknown).
uint64_t PhysicalMemoryBytes();

// What bounds the memory this process may take, as the system tells it; 0 in a field means no such
// bound (or unknown).
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

// A thread of the driver's workers, joined (WorkerThreadJoiner) before its handle is freed.
struct WorkerThread;
struct WorkerThreadJoiner {
    void operator()(WorkerThread* thread) const;  // joins the thread, then frees its handle
};
using WorkerThreadHandle = std::unique_ptr<WorkerThread, WorkerThreadJoiner>;

// Starts `body` on a new thread with a stack of `stack_bytes` (0: the system's default size), set on
// that thread alone. Null when the system gives no thread.
WorkerThreadHandle StartWorkerThread(std::function<void()> body, uint64_t stack_bytes);
