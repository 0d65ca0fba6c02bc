// Windows side of the platform layer: the command interpreter writes the listing, the common dialog
// chooses the CALSTARS file.
#include <windows.h>
#include <commdlg.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "driver/paths.h"
#include "driver/platform.h"
#include "failure.h"

const char kFolderSeparator = '\\';

namespace {

constexpr size_t kFilterBuffer = 256;
constexpr size_t kDialogFileBuffer = 260;
constexpr DWORD kTitlePauseMs = 40;

// The filter list: the template's last four "X" become terminators, from the end.
void BuildFilter(char* filter) {
    std::strcpy(filter, "Calibration Stars File (CALSTARS*.txt)XCALSTARS*.txtXAll Files (*.*)X*.*X");
    for (int replaced = 0; replaced < 4; ++replaced) {
        char* last = std::strrchr(filter, 'X');
        if (last == nullptr) break;
        *last = '\0';
    }
}

}  // namespace

std::string ListCalstarsFiles(const std::string& folder, const std::string& listing_path) {
    // The command interpreter writes into a name of this process only; its text is read back from
    // there and the name removed.
    const std::string scratch = listing_path + "." + std::to_string(GetCurrentProcessId()) + ".dir";
    const int ignored = std::system(ListingCommand(folder, scratch).c_str());  // "File Not Found" ends it 1
    (void)ignored;
    std::ifstream written(scratch, std::ios::binary);
    if (!written) {
        Fail(WaitKind::Character, Format(" Directory listing file %s not found (or not generated)\n\n", listing_path.c_str()));
    }
    std::ostringstream text;
    text << written.rdbuf();
    const bool read = !written.bad();
    written.close();
    DeleteFileA(scratch.c_str());
    if (!read) {
        Fail(WaitKind::Character, Format(" Directory listing file %s not found (or not generated)\n\n", listing_path.c_str()));
    }
    return text.str();
}

std::string WriteCalstarsListing(const std::string& folder, const std::string& listing_path) {
    const std::string listing = ListCalstarsFiles(folder, listing_path);
    WriteListingFile(listing_path, listing);
    return listing;
}

bool SelectCalStarsFile(std::string& destination) {
    SetConsoleTitleA("Console Window");
    Sleep(kTitlePauseMs);
    // Looked up by the title just set; the dialog still gets no owner, so it works without one.
    (void)FindWindowA(nullptr, "Console Window");
    std::printf(" Opening dialog box to search for a CALSTARS*.txt file\n");
    std::fflush(stdout);

    char filter[kFilterBuffer];
    BuildFilter(filter);
    char file_name[kDialogFileBuffer] = "";
    OPENFILENAMEA dialog;
    std::memset(&dialog, 0, sizeof dialog);
    dialog.lStructSize = sizeof dialog;  // 88 bytes in the 32-bit build
    dialog.hwndOwner = nullptr;
    dialog.lpstrFilter = filter;
    dialog.nFilterIndex = 0;
    dialog.lpstrFile = file_name;
    dialog.nMaxFile = kDialogFileBuffer;
    dialog.lpstrInitialDir = "C:\\";
    dialog.lpstrTitle = "Navigate to CALSTARS File";
    dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_NOCHANGEDIR | OFN_HIDEREADONLY;
    if (!GetOpenFileNameA(&dialog)) return false;
    destination = file_name;
    return true;
}

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

bool StandardOutputIsTerminal() { return _isatty(_fileno(stdout)) != 0; }

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

// The C runtime gives no descriptor of a closed standard stream to a file opened later.
void KeepStandardStreamsOpen() {}

int ReserveClosedStandardOutput() { return 0; }
