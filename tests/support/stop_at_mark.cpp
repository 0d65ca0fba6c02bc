// Preloaded into the program by tests/e2e/side_by_side.sh (LD_PRELOAD) to stop it at a moment that no
// signal sent from outside can be sure to hit: with STOP_AT_MARK=n the process stops itself (SIGSTOP)
// right after its n-th write of the temporary mark, that is while its n-th temporary file exists and
// holds only the mark (the listing's is the first). SIGCONT lets it go on. Without the variable every
// call goes straight to the C library. Built for 64-bit hosts only, where the program calls write
// under its own name.
#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "safe_output/safe_output.h"

extern "C" ssize_t write(int descriptor, const void* data, size_t size) {
    static const auto next = reinterpret_cast<ssize_t (*)(int, const void*, size_t)>(::dlsym(RTLD_NEXT, "write"));
    static std::atomic<long> marks{0};
    const ssize_t written = next(descriptor, data, size);
    const char* stop_at = std::getenv("STOP_AT_MARK");
    if (stop_at != nullptr && size == kTemporaryMarkBytes && std::memcmp(data, kTemporaryMark, size) == 0 &&
        ++marks == std::atol(stop_at)) {
        ::raise(SIGSTOP);
    }
    return written;
}
