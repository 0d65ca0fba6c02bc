// POSIX side of the safe output files: open(2) with O_CREAT | O_EXCL, mkdir(2), flock(2) for the
// holds, write(2), rename(2), unlink(2), rmdir(2), pthread_atfork(3).
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "safe_output/safe_output_platform.h"

const char* const kPathSeparators = "/";

CreateResult CreateNewFile(const char* path, intptr_t& file, int& error) {
    // O_EXCL fails on any existing entry, a dangling symbolic link included.
    int descriptor = -1;
    do {
        descriptor = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor >= 0) {
        file = descriptor;
        return CreateResult::Created;
    }
    if (errno == EEXIST) return CreateResult::Exists;
    error = errno;
    return CreateResult::Failed;
}

bool HoldNewFile(intptr_t file) {
    // Blocking: a sweep of another run holds the lock only while it removes the file.
    while (::flock(static_cast<int>(file), LOCK_EX) != 0) {
        if (errno != EINTR) return true;  // no locks on this file system: nothing to sweep either
    }
    struct stat info {};
    return ::fstat(static_cast<int>(file), &info) != 0 || info.st_nlink > 0;
}

intptr_t KeepHeld(intptr_t file) {
    // A duplicate shares the open file description, and with it the lock.
    const int hold = ::fcntl(static_cast<int>(file), F_DUPFD_CLOEXEC, 0);
    return hold >= 0 ? hold : kNoFile;
}

void ReleaseHold(intptr_t hold) {
    if (hold != kNoFile) ::close(static_cast<int>(hold));
}

const int kEmptyNameError = ENOENT;
const int kFolderNameError = EISDIR;

namespace {

bool BeginsWithMark(int descriptor) {
    unsigned char start[kTemporaryMarkBytes];
    ssize_t got = -1;
    do {
        got = ::pread(descriptor, start, sizeof start, 0);
    } while (got < 0 && errno == EINTR);
    return got == static_cast<ssize_t>(sizeof start) && std::memcmp(start, kTemporaryMark, sizeof start) == 0;
}

// "<folder>/<name>" in `buffer` (cut to its size), without allocating: the signal handler uses it.
void JoinInto(char* buffer, size_t size, const char* folder, const char* name) {
    size_t length = 0;
    for (const char* part : {folder, "/", name}) {
        while (*part != '\0' && length + 1 < size) buffer[length++] = *part++;
    }
    buffer[length] = '\0';
}

// Waits for the advisory lock of `descriptor`: a sweep of another process holds it only while it
// removes what it found abandoned. Where the file system has no such locks it goes on unheld: no
// sweep can take the lock there either.
void LockBlocking(int descriptor) {
    while (::flock(descriptor, LOCK_EX) != 0 && errno == EINTR) {
    }
}

// The file `name` of the folder open as `folder`, opened, locked, still linked and still the file
// under that name: a file that no live process holds, and that stays the one under that name while
// the lock is held (only a lock's holder removes). -1 when it is anything else.
int OpenUnheld(int folder, const char* name) {
    const int descriptor = ::openat(folder, name, O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return -1;
    struct stat held {};
    struct stat named {};
    if (::fstat(descriptor, &held) == 0 && S_ISREG(held.st_mode) && ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 &&
        ::fstat(descriptor, &held) == 0 && held.st_nlink > 0 && ::fstatat(folder, name, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
        return descriptor;
    }
    ::close(descriptor);
    return -1;
}

// Removes the file `name` of the folder open as `folder` when it begins with the mark and no live
// writer holds it. True when removed.
bool RemoveIfAbandonedFile(int folder, const char* name) {
    const int descriptor = OpenUnheld(folder, name);
    if (descriptor < 0) return false;
    const bool removed = BeginsWithMark(descriptor) && ::unlinkat(folder, name, 0) == 0;
    ::close(descriptor);
    return removed;
}

// The names in the folder open as `folder` (which stays open), but "." and ".."; false when it cannot
// be read completely.
bool NamesIn(int folder, std::vector<std::string>& names) {
    const int listed = ::fcntl(folder, F_DUPFD_CLOEXEC, 0);
    DIR* directory = listed < 0 ? nullptr : ::fdopendir(listed);
    if (directory == nullptr) {
        if (listed >= 0) ::close(listed);
        return false;
    }
    errno = 0;
    while (const dirent* entry = ::readdir(directory)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    }
    const bool complete = errno == 0;
    ::closedir(directory);
    return complete;
}

// Opens the folder `path` itself, never a link to one.
int OpenFolder(const char* path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }

// The hidden folder `path` of another process, removed with its abandoned files when its lock file is
// free; removed when empty and without a lock file (its owner, between the folder and the lock, makes
// another); otherwise left. Everything inside is reached through the folder opened once, so a link
// put in its place meanwhile leads nowhere else.
void RemoveIfAbandonedFolder(const std::string& path) {
    const int folder = OpenFolder(path.c_str());
    if (folder < 0) return;
    const int lock = OpenUnheld(folder, kSafeOutputLockName);
    struct stat info {};
    if (lock < 0) {
        if (::fstatat(folder, kSafeOutputLockName, &info, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) ::rmdir(path.c_str());
        ::close(folder);
        return;
    }
    std::vector<std::string> names;
    bool left = !NamesIn(folder, names);
    for (const std::string& name : names) {
        if (name != kSafeOutputLockName && !RemoveIfAbandonedFile(folder, name.c_str())) left = true;
    }
    if (!left) ::unlinkat(folder, kSafeOutputLockName, 0);
    ::close(lock);
    ::close(folder);
    // Only after the close: where a file removed while open stays under another name until then (NFS,
    // FUSE), the folder is not empty before.
    if (!left) ::rmdir(path.c_str());
}

}  // namespace

CreateResult MakeHiddenFolder(const char* path, intptr_t& lock, int& error) {
    if (::mkdir(path, 0777) != 0) {
        if (errno == EEXIST) return CreateResult::Exists;
        error = errno;
        return CreateResult::Failed;
    }
    char lock_path[kSafeOutputPathBytes + 8];
    JoinInto(lock_path, sizeof lock_path, path, kSafeOutputLockName);
    int descriptor = -1;
    do {
        descriptor = ::open(lock_path, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    } while (descriptor < 0 && errno == EINTR);
    if (descriptor < 0) {
        // Gone already: another process's sweep found the folder empty and without a lock.
        if (errno == ENOENT) return CreateResult::Exists;
        error = errno;
        ::rmdir(path);
        return CreateResult::Failed;
    }
    LockBlocking(descriptor);
    struct stat info {};
    if (::fstat(descriptor, &info) == 0 && info.st_nlink == 0) {
        // Another process's sweep held it before this process did, and removed it.
        ::close(descriptor);
        ::rmdir(path);
        return CreateResult::Exists;
    }
    lock = descriptor;
    return CreateResult::Created;
}

void ReleaseHiddenFolder(const char* path, intptr_t lock) {
    // Closed before its removal: a file system that keeps a file removed while open under another name
    // in its folder until the close (NFS, FUSE) would keep the folder too. A sweep of another process
    // that takes the lock in between finds the folder holding only the lock, and removes it.
    if (lock != kNoFile) ::close(static_cast<int>(lock));
    RemoveHiddenFolder(path);
}

void RemoveHiddenFolder(const char* path) {
    char lock_path[kSafeOutputPathBytes + 8];
    JoinInto(lock_path, sizeof lock_path, path, kSafeOutputLockName);
    ::unlink(lock_path);
    ::rmdir(path);
}

void RemoveAbandonedFolders(const std::string& folder) {
    const int opened = OpenFolder(folder.empty() ? "." : folder.c_str());
    if (opened < 0) return;
    std::vector<std::string> names;
    NamesIn(opened, names);
    ::close(opened);
    for (const std::string& name : names) {
        if (IsHiddenFolderName(name)) RemoveIfAbandonedFolder(folder + name);
    }
}

unsigned long ProcessNumber() { return static_cast<unsigned long>(::getpid()); }

void RunAroundForks(void (*prepare)(), void (*parent)(), void (*child)()) { ::pthread_atfork(prepare, parent, child); }

bool WriteToFile(intptr_t file, const void* data, size_t size, int& error) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::write(static_cast<int>(file), next, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written < 0 ? errno : ENOSPC;
            return false;
        }
        next += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool WriteAt(intptr_t file, uint64_t offset, const void* data, size_t size, int& error) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = ::pwrite(static_cast<int>(file), next, size, static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            error = written < 0 ? errno : ENOSPC;
            return false;
        }
        next += written;
        offset += static_cast<uint64_t>(written);
        size -= static_cast<size_t>(written);
    }
    return true;
}

bool TruncateFile(intptr_t file, uint64_t size, int& error) {
    int result = -1;
    do {
        result = ::ftruncate(static_cast<int>(file), static_cast<off_t>(size));
    } while (result != 0 && errno == EINTR);
    if (result == 0) return true;
    error = errno;
    return false;
}

bool CloseFile(intptr_t file, int& error) {
    // No retry after EINTR: the descriptor is released either way on Linux.
    if (::close(static_cast<int>(file)) == 0) return true;
    error = errno;
    return false;
}

bool RenameReplacing(const char* from, const char* to, int& error) {
    if (std::rename(from, to) == 0) return true;
    error = errno;
    return false;
}

void RemoveEntry(const char* path) { ::unlink(path); }

std::string ErrorText(int error) { return std::strerror(error); }
