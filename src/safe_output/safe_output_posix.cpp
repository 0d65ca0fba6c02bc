// POSIX side of the safe output files: open(2) with O_CREAT | O_EXCL, write(2), rename(2), unlink(2).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "safe_output/safe_output_platform.h"

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
