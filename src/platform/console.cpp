#include "platform/console.h"

#include <cerrno>
#include <cstdio>

#include "failure.h"
#include "platform/console_platform.h"

namespace {

// The system's code of standard output's first failure, 0 while every line went out.
int g_standard_output_error = 0;

}  // namespace

void KeepStandardStreamsOpen() {
    if (ReopenClosedStandardStreams()) g_standard_output_error = EBADF;
}

void FlushStandardOutput() {
    errno = 0;
    if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && g_standard_output_error == 0) {
        g_standard_output_error = errno != 0 ? errno : EIO;
    }
}

int FinishStandardOutput(int status, StandardOutputFailureLine line) {
    FlushStandardOutput();
    if (g_standard_output_error == 0) return status;
    std::fputs(line(g_standard_output_error).c_str(), stderr);
    std::fflush(stderr);
    return 1;
}

int ReportFailure(const Failure& failure) {
    std::fputs(failure.message.c_str(), stdout);
    std::fflush(stdout);
    if (!StandardInputIsTerminal()) return 1;
    if (failure.wait == WaitKind::Character) {
        std::getchar();
    } else if (failure.wait == WaitKind::Integer) {
        int discarded = 0;
        if (std::scanf("%d", &discarded) != 1) discarded = 0;
    }
    return 1;
}

int ReportUnexpected(const std::exception& error) { return ReportFailure(FailureOfUnexpected(error)); }
