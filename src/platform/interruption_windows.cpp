// Windows side of interrupted runs: a console control handler for Ctrl-C, Ctrl-Break and the
// closing of the console. The system runs it on a thread of its own, so it first suspends the
// writing thread (no write of its own goes on beside the clean-up), then removes the temporary
// files, prints the line and ends the process at once with 128 + the signal's number.
#include <windows.h>

#include <atomic>

#include "platform/interruption.h"
#include "platform/interruption_platform.h"
#include "safe_output/safe_output.h"

namespace {

// Signal numbers of the C runtime, for the exit status: SIGINT, SIGBREAK, and SIGHUP's number for
// the closing of the console.
constexpr UINT kSigInt = 2;
constexpr UINT kSigBreak = 21;
constexpr UINT kSigHup = 1;
constexpr UINT kSignalStatusBase = 128;

HANDLE g_writer = nullptr;
std::atomic<bool> g_installed{false};
std::atomic<bool> g_stopping{false};

BOOL WINAPI OnConsoleEvent(DWORD event) {
    const char* cause = nullptr;
    UINT signal_number = 0;
    switch (event) {
        case CTRL_C_EVENT: cause = "Ctrl-C"; signal_number = kSigInt; break;
        case CTRL_BREAK_EVENT: cause = "Ctrl-Break"; signal_number = kSigBreak; break;
        case CTRL_CLOSE_EVENT: cause = "the closing of the console"; signal_number = kSigHup; break;
        default: return FALSE;
    }
    // A second event while the first is handled waits for the process to end.
    if (g_stopping.exchange(true)) {
        Sleep(INFINITE);
        return TRUE;
    }
    // Suspension takes effect when the thread is back in user mode; reading its context waits for that.
    if (g_writer != nullptr && SuspendThread(g_writer) != static_cast<DWORD>(-1)) {
        CONTEXT context;
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(g_writer, &context);
    }
    SafeOutput_RemoveTemporaries();
    if (Interruption_Watching()) {
        char line[3 * kInterruptionNameBytes];
        const size_t length = Interruption_Line(cause, line, sizeof line);
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    }
    // No ExitProcess: the suspended thread may hold a lock of the runtime that its clean-up would need.
    TerminateProcess(GetCurrentProcess(), kSignalStatusBase + signal_number);
    return TRUE;
}

}  // namespace

void Interruption_NoteWritingThread() {
    HANDLE writer = nullptr;
    if (DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &writer,
                        THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT, FALSE, 0)) {
        HANDLE previous = g_writer;
        g_writer = writer;
        if (previous != nullptr) CloseHandle(previous);
    }
}

void Interruption_InstallHandlers() {
    if (g_installed.exchange(true)) return;
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
