// POSIX side of the console: a closed standard stream's descriptor is taken by the null device before
// any file can take it.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/console.h"
#include "platform/console_platform.h"

bool ReopenClosedStandardStreams() {
    bool output_closed = false;
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) != -1 || errno != EBADF) continue;
        if (descriptor == STDOUT_FILENO) output_closed = true;
        // The lowest free descriptor is the closed one.
        const int opened = ::open("/dev/null", O_RDONLY);
        if (opened != -1 && opened != descriptor) ::close(opened);
    }
    return output_closed;
}

bool StandardOutputIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

bool StandardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }
