// POSIX side of the safe output files: open(2) with O_CREAT | O_EXCL, write(2), rename(2), unlink(2).
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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

}  // namespace

bool RemoveIfStale(const char* path) {
    const int descriptor = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) return false;  // a link, gone, or not ours to open
    struct stat held {};
    struct stat named {};
    // Locked, the file cannot be a live writer's; still linked, it was not removed by another sweep
    // that held the lock before; still under `path`, nothing was put in its place. Only a sweep that
    // holds this file's lock removes it, so it stays the file under `path` up to the unlink (short of
    // a rename onto that name, which only a record named like a temporary file of this name would do,
    // within the microseconds between the last check and the unlink).
    const bool stale = ::fstat(descriptor, &held) == 0 && S_ISREG(held.st_mode) &&
                       ::flock(descriptor, LOCK_EX | LOCK_NB) == 0 && ::fstat(descriptor, &held) == 0 && held.st_nlink > 0 &&
                       BeginsWithMark(descriptor) && ::lstat(path, &named) == 0 && named.st_dev == held.st_dev &&
                       named.st_ino == held.st_ino;
    const bool removed = stale && ::unlink(path) == 0;
    ::close(descriptor);
    return removed;
}

size_t LongestName(const char* path) {
    std::string folder = path;
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : folder.substr(0, slash));
    const long longest = ::pathconf(folder.c_str(), _PC_NAME_MAX);
    return longest > 0 ? static_cast<size_t>(longest) : 255;
}

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
