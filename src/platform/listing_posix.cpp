// POSIX side of the listing: the folder read natively in place of the command interpreter.
#include <dirent.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "failure.h"
#include "platform/listing.h"

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
