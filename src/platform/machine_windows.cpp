// Windows side of the machine: the affinity mask, the physical memory, the address space and the job
// object's limits, and the workers' threads.
#include <windows.h>

#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <thread>

#include "platform/machine.h"

int32_t UsableProcessorCount() {
    DWORD_PTR process_mask = 0;
    DWORD_PTR system_mask = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) && process_mask != 0) {
        int32_t count = 0;
        for (; process_mask != 0; process_mask &= process_mask - 1) ++count;
        return count;
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int32_t>(info.dwNumberOfProcessors) : 1;
}

uint64_t PhysicalMemoryBytes() {
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (!GlobalMemoryStatusEx(&status)) return 0;
    return status.ullTotalPhys;
}

MemoryLimits ReadMemoryLimits() {
    MemoryLimits limits;
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) {
        limits.physical = status.ullTotalPhys;
        // The address space of a 32-bit process is its limit; what is in use counts against it.
        limits.address_space = status.ullTotalVirtual;
        limits.mapped = status.ullTotalVirtual - status.ullAvailVirtual;
    }
    // The job object the process runs in, if any (a null handle asks about the process's own job).
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION job;
    std::memset(&job, 0, sizeof job);
    if (QueryInformationJobObject(nullptr, JobObjectExtendedLimitInformation, &job, sizeof job, nullptr)) {
        const DWORD flags = job.BasicLimitInformation.LimitFlags;
        uint64_t limit = 0;
        if (flags & JOB_OBJECT_LIMIT_PROCESS_MEMORY) limit = job.ProcessMemoryLimit;
        if ((flags & JOB_OBJECT_LIMIT_JOB_MEMORY) && (limit == 0 || job.JobMemoryLimit < limit)) limit = job.JobMemoryLimit;
        limits.container = limit;
    }
    return limits;
}

void FitMallocToMemoryLimits(const MemoryLimits&) {}

// Windows has no limit on the address space short of the job object's, which counts committed
// memory, not reservations: the workers take the default stack.
struct WorkerThread {
    std::thread thread;
};

void WorkerThreadJoiner::operator()(WorkerThread* thread) const {
    thread->thread.join();
    delete thread;
}

WorkerThreadHandle StartWorkerThread(std::function<void()> body, uint64_t) {
    try {
        std::unique_ptr<WorkerThread> thread(new WorkerThread{std::thread(std::move(body))});
        return WorkerThreadHandle(thread.release());
    } catch (const std::exception&) {
        return nullptr;
    }
}
