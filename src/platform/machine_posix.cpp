// POSIX side of the machine: the affinity mask, the physical memory, the resource limits and control
// group limits in force, glibc's allocator settings, and the workers' threads with a stack size of
// their own.
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>

#include "platform/machine.h"

int32_t UsableProcessorCount() {
#if defined(__linux__)
    // The affinity mask, in sets large enough for the machine (the fixed cpu_set_t holds 1024).
    for (int size = 1024; size <= (1 << 20); size *= 2) {
        cpu_set_t* set = CPU_ALLOC(size);
        if (set == nullptr) break;
        const size_t bytes = CPU_ALLOC_SIZE(size);
        CPU_ZERO_S(bytes, set);
        const int result = ::sched_getaffinity(0, bytes, set);
        const int count = CPU_COUNT_S(bytes, set);
        CPU_FREE(set);
        if (result == 0) return count > 0 ? static_cast<int32_t>(count) : 1;
        if (errno != EINVAL) break;
    }
#endif
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int32_t>(std::min<long>(online, INT32_MAX)) : 1;
}

uint64_t PhysicalMemoryBytes() {
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || page_size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

namespace {

// A limit of the C library's kind as bytes, 0 for none.
uint64_t ResourceLimit(int resource) {
    struct rlimit limit;
    if (::getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 0;
    return static_cast<uint64_t>(limit.rlim_cur);
}

// The smaller of two limits, 0 standing for none.
uint64_t Smaller(uint64_t a, uint64_t b) { return a == 0 ? b : (b == 0 ? a : std::min(a, b)); }

// The number in a control group's limit file, 0 for "max", a missing file or a value that means no
// limit (v1 writes the largest page-aligned 64-bit value).
uint64_t CgroupLimitFile(const std::string& path) {
    std::ifstream file(path);
    std::string word;
    if (!(file >> word) || word == "max") return 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(word.c_str(), &end, 10);
    if (end == word.c_str() || value >= (uint64_t{1} << 62)) return 0;
    return static_cast<uint64_t>(value);
}

uint64_t CgroupLimit() {
    std::ifstream groups("/proc/self/cgroup");
    std::string line;
    uint64_t limit = 0;
    while (std::getline(groups, line)) {
        // "hierarchy:controllers:path"; v2 has hierarchy 0 and no controllers.
        const size_t first = line.find(':');
        const size_t second = first == std::string::npos ? std::string::npos : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        std::string root, file;
        if (controllers.empty() && line.compare(0, first, "0") == 0) {
            root = "/sys/fs/cgroup";
            file = "/memory.max";
        } else if (("," + controllers + ",").find(",memory,") != std::string::npos) {
            root = "/sys/fs/cgroup/memory";
            file = "/memory.limit_in_bytes";
        } else {
            continue;
        }
        // A group's limit holds for everything under it: the smallest along the path counts.
        while (true) {
            limit = Smaller(limit, CgroupLimitFile(root + path + file));
            if (path.empty() || path == "/") break;
            path.erase(path.rfind('/'));
        }
    }
    return limit;
}

uint64_t MappedBytes() {
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0;
    const long page_size = ::sysconf(_SC_PAGE_SIZE);
    if (!(statm >> pages) || page_size <= 0) return 0;
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(page_size);
}

}  // namespace

MemoryLimits ReadMemoryLimits() {
    MemoryLimits limits;
    limits.physical = PhysicalMemoryBytes();
    limits.address_space = Smaller(ResourceLimit(RLIMIT_AS), ResourceLimit(RLIMIT_DATA));
    if (limits.address_space != 0) limits.mapped = MappedBytes();
    limits.container = CgroupLimit();
    return limits;
}

void FitMallocToMemoryLimits(const MemoryLimits& limits) {
#if defined(__GLIBC__)
    if (limits.address_space != 0 || limits.container != 0) ::mallopt(M_MMAP_THRESHOLD, static_cast<int>(kMappedBlockBytes));
#if defined(M_ARENA_MAX)
    if (limits.address_space != 0) ::mallopt(M_ARENA_MAX, 1);
#endif
#else
    (void)limits;
#endif
}

struct WorkerThread {
    pthread_t id;
    std::function<void()> body;
};

namespace {

void* RunWorkerThread(void* thread) {
    static_cast<WorkerThread*>(thread)->body();
    return nullptr;
}

}  // namespace

void WorkerThreadJoiner::operator()(WorkerThread* thread) const {
    ::pthread_join(thread->id, nullptr);
    delete thread;
}

WorkerThreadHandle StartWorkerThread(std::function<void()> body, uint64_t stack_bytes) {
    std::unique_ptr<WorkerThread> thread(new (std::nothrow) WorkerThread{pthread_t{}, std::move(body)});
    if (!thread) return nullptr;
    pthread_attr_t attributes;
    if (::pthread_attr_init(&attributes) != 0) return nullptr;
    bool usable = stack_bytes == 0 || ::pthread_attr_setstacksize(&attributes, static_cast<size_t>(stack_bytes)) == 0;
    usable = usable && ::pthread_create(&thread->id, &attributes, RunWorkerThread, thread.get()) == 0;
    ::pthread_attr_destroy(&attributes);
    if (!usable) return nullptr;
    return WorkerThreadHandle(thread.release());
}
