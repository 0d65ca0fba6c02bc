// POSIX side of interrupted runs: handlers for every signal whose default action ends the process,
// which clean up on the writing thread and then die by the same signal. SIGXFSZ is ignored, so that a
// write beyond the file size limit fails as any other write does and is reported as such.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "platform/interruption.h"
#include "platform/interruption_platform.h"
#include "safe_output/safe_output.h"

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                            SIGVTALRM, SIGPROF, SIGXCPU, SIGPIPE};

pthread_t g_writer;
std::atomic<bool> g_writer_noted{false};
std::atomic<bool> g_installed{false};

const char* SignalName(int number) {
    switch (number) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        case SIGQUIT: return "SIGQUIT";
        case SIGUSR1: return "SIGUSR1";
        case SIGUSR2: return "SIGUSR2";
        case SIGALRM: return "SIGALRM";
        case SIGVTALRM: return "SIGVTALRM";
        case SIGPROF: return "SIGPROF";
        case SIGXCPU: return "SIGXCPU";
        case SIGPIPE: return "SIGPIPE";
        default: return "a signal";
    }
}

// Writes the line without waiting: a full pipe or a stopped terminal drops what does not fit, so the
// handler always goes on to end the process. (SIGPIPE of a closed pipe stays blocked here; the
// process ends by the signal that stopped it before that one is delivered.)
void WriteWithoutWaiting(const char* text, size_t length) {
    const int flags = ::fcntl(STDOUT_FILENO, F_GETFL);
    if (flags < 0) return;  // no standard output
    if ((flags & O_NONBLOCK) == 0) ::fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
    while (length > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        text += written;
        length -= static_cast<size_t>(written);
    }
    // The open file may be shared with the parent (a shell's terminal): leave it as it was.
    if ((flags & O_NONBLOCK) == 0) ::fcntl(STDOUT_FILENO, F_SETFL, flags);
}

// A SIGPIPE that this process's own write to a closed pipe raised (standard output read by nobody):
// the write then fails with EPIPE and the run goes on, reporting the failure at its end. A SIGPIPE
// sent by another process stops the run as the other signals do.
bool RaisedByOwnWrite(int number, const siginfo_t* info) {
    return number == SIGPIPE && info != nullptr && info->si_code == SI_USER && info->si_pid == ::getpid();
}

void OnStopSignal(int number, siginfo_t* info, void*) {
    if (RaisedByOwnWrite(number, info)) return;
    // A worker thread caught it: the writing thread cleans up, so that no write of its own is in
    // progress beside the clean-up (this handler interrupted it wherever it was).
    if (g_writer_noted.load() && !pthread_equal(pthread_self(), g_writer)) {
        pthread_kill(g_writer, number);
        return;
    }
    SafeOutput_RemoveTemporaries();
    if (Interruption_Watching()) {
        char line[3 * kInterruptionNameBytes];
        WriteWithoutWaiting(line, Interruption_Line(SignalName(number), line, sizeof line));
    }
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(number, &default_action, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, number);
    pthread_sigmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(number);
    _exit(128 + number);  // not reached: the default action of every stop signal ends the process
}

}  // namespace

void Interruption_NoteWritingThread() {
    g_writer = pthread_self();
    g_writer_noted.store(true);
}

void Interruption_InstallHandlers() {
    if (g_installed.exchange(true)) return;
    struct sigaction action {};
    action.sa_sigaction = OnStopSignal;
    // While one stop signal is handled the others wait; the process ends before they are delivered.
    sigemptyset(&action.sa_mask);
    for (const int number : kStopSignals) sigaddset(&action.sa_mask, number);
    action.sa_flags = SA_RESTART | SA_SIGINFO;
    // Only signals left at their default action are taken: one ignored at start stays ignored (nohup),
    // and one the host process handles itself (a program that calls the run as a library, a fuzzer's
    // timer on SIGALRM) keeps its handler.
    for (const int number : kStopSignals) {
        struct sigaction previous {};
        if (sigaction(number, nullptr, &previous) != 0 || (previous.sa_flags & SA_SIGINFO) != 0 ||
            previous.sa_handler != SIG_DFL) {
            continue;
        }
        sigaction(number, &action, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, nullptr);
}
