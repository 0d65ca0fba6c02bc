// Windows side of the safe output files: CreateFileA with CREATE_NEW, CreateDirectoryA, WriteFile,
// MoveFileExA (within the volume: a hidden folder is in the final name's folder), DeleteFileA. The temporary file is shared for deletion, so that an interruption can remove it
// while the writing thread still holds it open (it goes when the last handle closes).
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "safe_output/safe_output_platform.h"

const char* const kPathSeparators = "\\/";

CreateResult CreateNewFile(const char* path, intptr_t& file, int& error) {
    // CREATE_NEW fails on any existing entry; a symbolic link is an entry and is not followed.
    const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        file = reinterpret_cast<intptr_t>(handle);
        return CreateResult::Created;
    }
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return CreateResult::Exists;
    // A directory of that name is refused as "access denied"; it is an entry all the same.
    if (code == ERROR_ACCESS_DENIED && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES) return CreateResult::Exists;
    error = static_cast<int>(code);
    return CreateResult::Failed;
}

bool HoldNewFile(intptr_t) {
    // The handle is opened without read or write sharing: no other run can open it while it lives.
    return true;
}

intptr_t KeepHeld(intptr_t) {
    // No second handle: one left open would keep a file that an interruption removed alive for the
    // rename, and would refuse the rename of a file still open for writing. Between the close and the
    // rename (two system calls) another run could take the file for abandoned; its write then fails.
    return kNoFile;
}

void ReleaseHold(intptr_t) {}

const int kEmptyNameError = ERROR_PATH_NOT_FOUND;
const int kFolderNameError = ERROR_DIRECTORY;

namespace {

// The path of `name` inside the folder `path`.
std::string Inside(const std::string& path, const char* name) { return path + "\\" + name; }

// Opens `path` only when no other handle is open on it (no sharing) and it is a plain file, never a
// link or folder: then no live process holds it, and nobody can replace it while this handle is
// open. INVALID_HANDLE_VALUE otherwise.
HANDLE OpenUnheld(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileA(path.c_str(), GENERIC_READ | DELETE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Marks the file open as `handle` for removal when the handle closes: the file checked is the file
// removed.
bool RemoveOnClose(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Removes `path` when it begins with the mark and no live writer holds it. True when removed.
bool RemoveIfAbandonedFile(const std::string& path) {
    const HANDLE handle = OpenUnheld(path);
    if (handle == INVALID_HANDLE_VALUE) return false;
    unsigned char start[kTemporaryMarkBytes];
    DWORD got = 0;
    const bool removed = ReadFile(handle, start, sizeof start, &got, nullptr) && got == sizeof start &&
                         std::memcmp(start, kTemporaryMark, sizeof start) == 0 && RemoveOnClose(handle);
    CloseHandle(handle);
    return removed;
}

// The names in `folder` but "." and ".." (a folder's entries of a link or folder included).
std::vector<std::string> NamesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

// The hidden folder `path` of another process, removed with its abandoned files when no process holds
// its lock file; removed when empty and without a lock file; otherwise left.
void RemoveIfAbandonedFolder(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
        return;
    }
    const std::string lock_path = Inside(path, kSafeOutputLockName);
    const HANDLE lock = OpenUnheld(lock_path);
    if (lock == INVALID_HANDLE_VALUE) {
        if (GetFileAttributesA(lock_path.c_str()) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND) {
            RemoveDirectoryA(path.c_str());
        }
        return;
    }
    bool left = false;
    for (const std::string& name : NamesIn(path + "\\")) {
        if (name != kSafeOutputLockName && !RemoveIfAbandonedFile(Inside(path, name.c_str()))) left = true;
    }
    if (!left) RemoveOnClose(lock);
    CloseHandle(lock);
    if (!left) RemoveDirectoryA(path.c_str());
}

}  // namespace

CreateResult MakeHiddenFolder(const char* path, intptr_t& lock, int& error) {
    if (!CreateDirectoryA(path, nullptr)) {
        const DWORD code = GetLastError();
        if (code == ERROR_ALREADY_EXISTS) return CreateResult::Exists;
        error = static_cast<int>(code);
        return CreateResult::Failed;
    }
    // Held from its creation: no other handle can be opened on it but for its removal (an
    // interruption's), so no other process takes it for free.
    const HANDLE handle = CreateFileA(Inside(path, kSafeOutputLockName).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
                                      FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        // Gone already: another process's sweep found the folder empty and without a lock.
        if (code == ERROR_PATH_NOT_FOUND) return CreateResult::Exists;
        error = static_cast<int>(code);
        RemoveDirectoryA(path);
        return CreateResult::Failed;
    }
    lock = reinterpret_cast<intptr_t>(handle);
    return CreateResult::Created;
}

void ReleaseHiddenFolder(const char* path, intptr_t lock) {
    // The lock file goes with the handle that holds it; the folder after it.
    if (lock != kNoFile) {
        RemoveOnClose(reinterpret_cast<HANDLE>(lock));
        CloseHandle(reinterpret_cast<HANDLE>(lock));
    }
    RemoveHiddenFolder(path);
}

void RemoveHiddenFolder(const char* path) {
    // Without allocating: the stop's clean-up runs while the writing thread, suspended, may hold the
    // heap's lock.
    char lock_path[kSafeOutputPathBytes + 8];
    size_t length = 0;
    for (const char* part : {path, "\\", kSafeOutputLockName}) {
        while (*part != '\0' && length + 1 < sizeof lock_path) lock_path[length++] = *part++;
    }
    lock_path[length] = '\0';
    DeleteFileA(lock_path);
    RemoveDirectoryA(path);
}

void RemoveAbandonedFolders(const std::string& folder) {
    for (const std::string& name : NamesIn(folder.empty() ? ".\\" : folder)) {
        if (IsHiddenFolderName(name)) RemoveIfAbandonedFolder(folder + name);
    }
}

unsigned long ProcessNumber() { return GetCurrentProcessId(); }

void RunAroundForks(void (*)(), void (*)(), void (*)()) {}

bool WriteToFile(intptr_t file, const void* data, size_t size, int& error) {
    const char* next = static_cast<const char*>(data);
    while (size > 0) {
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(file), next, chunk, &written, nullptr) || written == 0) {
            error = static_cast<int>(GetLastError());
            return false;
        }
        next += written;
        size -= written;
    }
    return true;
}

bool WriteAt(intptr_t file, uint64_t offset, const void* data, size_t size, int& error) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(reinterpret_cast<HANDLE>(file), position, nullptr, FILE_BEGIN)) {
        error = static_cast<int>(GetLastError());
        return false;
    }
    return WriteToFile(file, data, size, error);
}

bool TruncateFile(intptr_t file, uint64_t size, int& error) {
    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(size);
    if (SetFilePointerEx(reinterpret_cast<HANDLE>(file), position, nullptr, FILE_BEGIN) &&
        SetEndOfFile(reinterpret_cast<HANDLE>(file))) {
        return true;
    }
    error = static_cast<int>(GetLastError());
    return false;
}

bool CloseFile(intptr_t file, int& error) {
    if (CloseHandle(reinterpret_cast<HANDLE>(file))) return true;
    error = static_cast<int>(GetLastError());
    return false;
}

bool RenameReplacing(const char* from, const char* to, int& error) {
    // Replacing a file fails for a moment while anyone else has it open or is replacing it too (another
    // run writing the same name, a viewer reading it, a virus scanner): such refusals are retried for
    // up to about a second before they count as the write's failure. Any other error fails at once.
    constexpr int kAttempts = 50;
    constexpr DWORD kPauseMilliseconds = 20;
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return true;
        const DWORD code = GetLastError();
        const bool transient = code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION;
        if (!transient || attempt == kAttempts) {
            error = static_cast<int>(code);
            return false;
        }
        Sleep(kPauseMilliseconds);
    }
}

void RemoveEntry(const char* path) { DeleteFileA(path); }

std::string ErrorText(int error) {
    char text[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(error),
                                        0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.')) message.pop_back();
    return message.empty() ? "error " + std::to_string(error) : message;
}
