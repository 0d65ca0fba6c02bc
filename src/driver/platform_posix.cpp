// POSIX side of the platform layer: a native folder listing in place of the command interpreter, and
// a file chooser (a desktop dialog when one can be shown, else a console prompt) in place of the
// Windows open-file dialog.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/paths.h"
#include "driver/platform.h"
#include "failure.h"
#include "safe_output/safe_output.h"

const char kFolderSeparator = '/';

// Every build reads folders with 64-bit offsets and inode numbers (cmake/large_files.cmake): with
// 32-bit ones the C library fails with EOVERFLOW on many file systems.
static_assert(sizeof(off_t) == 8 && sizeof(ino_t) == 8, "32-bit POSIX builds need _FILE_OFFSET_BITS=64");

namespace {

bool LessIgnoringCase(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb;
    }
    if (a.size() != b.size()) return a.size() < b.size();
    return a < b;  // names equal but for case: a fixed order all the same
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

bool HasDesktop() {
    const char* display = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    return (display != nullptr && *display != '\0') || (wayland != nullptr && *wayland != '\0');
}

std::string FindInPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return "";
    std::string entries = path;
    size_t start = 0;
    while (start <= entries.size()) {
        size_t end = entries.find(':', start);
        if (end == std::string::npos) end = entries.size();
        const std::string candidate = entries.substr(start, end - start) + "/" + program;
        if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// Runs the desktop file dialog without a shell and reads the chosen path from its output.
bool AskWithDialog(const std::string& zenity, std::string& chosen) {
    int pipe_ends[2];
    if (::pipe(pipe_ends) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipe_ends[0]);
        ::close(pipe_ends[1]);
        return false;
    }
    if (child == 0) {
        ::dup2(pipe_ends[1], STDOUT_FILENO);
        ::close(pipe_ends[0]);
        ::close(pipe_ends[1]);
        const char* arguments[] = {zenity.c_str(),
                                   "--file-selection",
                                   "--title=Navigate to CALSTARS File",
                                   "--file-filter=Calibration Stars File (CALSTARS*.txt) | CALSTARS*.txt",
                                   "--file-filter=All Files (*.*) | *",
                                   nullptr};
        ::execv(zenity.c_str(), const_cast<char* const*>(arguments));
        ::_exit(127);
    }
    ::close(pipe_ends[1]);
    std::string output;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(pipe_ends[0], buffer, sizeof buffer)) > 0) output.append(buffer, static_cast<size_t>(got));
    ::close(pipe_ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return false;
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    chosen = output;
    return true;
}

bool AskOnConsole(std::string& chosen) {
    std::printf(" Path of a CALSTARS file: ");
    std::fflush(stdout);
    std::string answer;
    int c = 0;
    while ((c = std::getchar()) != EOF && c != '\n') answer.push_back(static_cast<char>(c));
    if (c == EOF) std::printf("\n");
    if (!answer.empty() && answer.back() == '\r') answer.pop_back();
    chosen = answer;
    return true;
}

}  // namespace

std::string ListCalstarsFiles(const std::string& folder, const std::string& listing_path) {
    DIR* directory = ::opendir(folder.c_str());
    if (directory == nullptr) {
        const int error = errno;
        FailFile(WaitKind::Character, Format(" Directory listing file %s not found (or not generated)\n\n", listing_path.c_str()),
                 folder, error);
    }
    std::vector<std::string> names;
    int error = 0;
    std::string failed_name;
    for (;;) {
        // readdir returns nothing both at the end and on an error; only errno tells them apart.
        errno = 0;
        const dirent* entry = ::readdir(directory);
        if (entry == nullptr) {
            error = errno;
            break;
        }
        const std::string name = entry->d_name;
        // A name with a line end would read back as two listing lines naming other files.
        const bool one_line = name.find_first_of("\r\n") == std::string::npos;
        if (!MatchesCalstarsPattern(name) || !one_line) continue;
        struct stat info {};
        if (::stat((folder + name).c_str(), &info) != 0) {
            if (errno == ENOENT) continue;  // removed since it was listed, or a dangling link
            error = errno;
            failed_name = name;
            break;
        }
        if (S_ISREG(info.st_mode)) names.push_back(name);
    }
    ::closedir(directory);
    if (error != 0) {
        const std::string what = failed_name.empty() ? std::strerror(error) : failed_name + ": " + std::strerror(error);
        FailFile(WaitKind::Character, Format(" Cannot read folder %s completely: %s \n", folder.c_str(), what.c_str()),
                 failed_name.empty() ? folder : folder + failed_name, error);
    }
    std::sort(names.begin(), names.end(), LessIgnoringCase);
    std::string listing;
    for (const std::string& name : names) listing += name + "\n";
    return listing;
}

std::string WriteCalstarsListing(const std::string& folder, const std::string& listing_path) {
    const std::string listing = ListCalstarsFiles(folder, listing_path);
    WriteListingFile(listing_path, listing);
    return listing;
}

bool SelectCalStarsFile(std::string& destination) {
    std::printf(" Opening dialog box to search for a CALSTARS*.txt file\n");
    std::fflush(stdout);
    std::string chosen;
    const std::string zenity = HasDesktop() ? FindInPath("zenity") : "";
    const bool answered = zenity.empty() ? AskOnConsole(chosen) : AskWithDialog(zenity, chosen);
    if (!answered || chosen.empty()) return false;
    // The full path of an existing file, as the Windows dialog returns it.
    char resolved[PATH_MAX];
    if (::realpath(chosen.c_str(), resolved) == nullptr || !IsRegularFile(resolved)) return false;
    destination = resolved;
    return true;
}

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

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

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

void KeepStandardStreamsOpen() {
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is the closed one.
        const int opened = ::open("/dev/null", O_RDONLY);
        if (opened != -1 && opened != descriptor) ::close(opened);
    }
}

int ReserveClosedStandardOutput() {
    if (::fcntl(STDOUT_FILENO, F_GETFD) >= 0 || errno != EBADF) return 0;
    const int null_device = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_device >= 0 && null_device != STDOUT_FILENO) {
        ::dup2(null_device, STDOUT_FILENO);
        ::close(null_device);
    }
    return EBADF;
}
