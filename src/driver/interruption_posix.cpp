// POSIX side of interrupted runs: handlers for SIGINT, SIGTERM and SIGHUP that clean up on the
// writing thread and then die by the same signal.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "driver/interruption.h"
#include "safe_output/safe_output.h"

namespace {

const int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

pthread_t g_writer;
std::atomic<bool> g_installed{false};

const char* SignalName(int number) {
    switch (number) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "a signal";
    }
}

void WriteAll(const char* text, size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(STDOUT_FILENO, text, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

void OnStopSignal(int number) {
    // A worker thread caught it: the writing thread cleans up, so that no write of its own is in
    // progress beside the clean-up (this handler interrupted it wherever it was).
    if (!pthread_equal(pthread_self(), g_writer)) {
        pthread_kill(g_writer, number);
        return;
    }
    SafeOutput_RemoveTemporaries();
    char line[3 * kInterruptionNameBytes];
    WriteAll(line, Interruption_Line(SignalName(number), line, sizeof line));
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

void InstallInterruptionHandlers() {
    g_writer = pthread_self();
    if (g_installed.exchange(true)) return;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    // While one stop signal is handled the others wait; the process ends before they are delivered.
    sigemptyset(&action.sa_mask);
    for (const int number : kStopSignals) sigaddset(&action.sa_mask, number);
    action.sa_flags = SA_RESTART;
    for (const int number : kStopSignals) {
        struct sigaction previous {};
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(number, &action, nullptr);
    }
}
