// Preloaded into the program by the end-to-end tests (LD_PRELOAD) to give it the directory failures of
// an ailing network share, which no local file system produces on demand:
// - FAILING_READDIR_AFTER=n: readdir hands out n entries of each open folder, then returns nothing
//   with errno EIO;
// - FAILING_STAT_NAME=name: stat of any path whose last component is `name` fails with EACCES.
// Without these variables every call goes straight to the C library. Built for 64-bit hosts only,
// where the program calls readdir and stat under their own names.
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

std::map<DIR*, long>& EntriesHandedOut() {
    static std::map<DIR*, long> handed_out;
    return handed_out;
}

}  // namespace

extern "C" dirent* readdir(DIR* directory) {
    static const auto next = Next<dirent* (*)(DIR*)>("readdir");
    const char* limit = std::getenv("FAILING_READDIR_AFTER");
    if (limit != nullptr && EntriesHandedOut()[directory]++ >= std::atol(limit)) {
        errno = EIO;
        return nullptr;
    }
    return next(directory);
}

extern "C" int closedir(DIR* directory) {
    static const auto next = Next<int (*)(DIR*)>("closedir");
    EntriesHandedOut().erase(directory);
    return next(directory);
}

extern "C" int stat(const char* __restrict path, struct stat* __restrict info) noexcept {
    static const auto next = Next<int (*)(const char*, struct stat*)>("stat");
    const char* failing = std::getenv("FAILING_STAT_NAME");
    const char* slash = std::strrchr(path, '/');
    if (failing != nullptr && std::strcmp(slash == nullptr ? path : slash + 1, failing) == 0) {
        errno = EACCES;
        return -1;
    }
    return next(path, info);
}
