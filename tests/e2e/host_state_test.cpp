// A run called as a library (the Python module's process_folder) leaves its host process as it found
// it, also with several workers under a limit on the address space, where the program itself shares
// one malloc arena between its threads: no signal disposition, no default thread attribute and no
// malloc setting of the process changes. Each case runs in a child process, whose limits and
// settings end with it.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/batch.h"
#include "support/test_support.h"

namespace {

const int kProcessSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM,
                               SIGVTALRM, SIGPROF, SIGXCPU, SIGPIPE, SIGXFSZ};

// What a host can see of the process-wide settings a run could change.
struct HostState {
    std::vector<uintptr_t> handlers;  // per signal: its handler, as a number
    size_t default_stack = 0;         // the default stack size of new threads
};

#if defined(__GLIBC__)
// The main arena grows the program break; another arena is mapped elsewhere. With a single arena
// allowed, every thread allocates from the main one; otherwise a new thread takes an arena of its
// own (a new one, or one a finished thread left). Looked at once, after the run: looking creates an
// arena, which a later look would find again whatever the setting.
bool NewThreadHasItsOwnArena() {
    bool own = false;
    std::thread probe([&own] {
        void* block = ::malloc(64);
        const char* end = static_cast<const char*>(::sbrk(0));
        own = !(static_cast<const char*>(block) < end && static_cast<const char*>(block) >= end - (uint64_t{1} << 32));
        ::free(block);
    });
    probe.join();
    return own;
}
#else
bool NewThreadHasItsOwnArena() { return true; }
#endif

HostState ReadHostState() {
    HostState state;
    for (const int number : kProcessSignals) {
        struct sigaction action {};
        ::sigaction(number, nullptr, &action);
        state.handlers.push_back(reinterpret_cast<uintptr_t>(action.sa_handler));
    }
#if defined(__GLIBC__)
    pthread_attr_t attributes;
    if (::pthread_getattr_default_np(&attributes) == 0) {
        ::pthread_attr_getstacksize(&attributes, &state.default_stack);
        ::pthread_attr_destroy(&attributes);
    }
#endif
    return state;
}

// Child exit codes: 0 the state is as it was, 1 it changed, 2 the run failed.
int RunInChild(const std::string& folder, int32_t jobs, bool limit_address_space) {
    const pid_t child = ::fork();
    if (child == 0) {
        if (limit_address_space) {
            std::ifstream statm("/proc/self/statm");
            uint64_t pages = 0;
            statm >> pages;
            const rlim_t limit = static_cast<rlim_t>(pages * static_cast<uint64_t>(::sysconf(_SC_PAGE_SIZE)) + (uint64_t{8} << 30));
            const struct rlimit address_space = {limit, limit};
            if (::setrlimit(RLIMIT_AS, &address_space) != 0) ::_exit(3);
        }
        const HostState before = ReadHostState();
        RunHooks hooks;
        hooks.written = [](const std::string&) {};
        try {
            RunBatch(folder, jobs, &hooks);
        } catch (...) {
            ::_exit(2);
        }
        const HostState after = ReadHostState();
        const bool same = after.handlers == before.handlers && after.default_stack == before.default_stack &&
                          NewThreadHasItsOwnArena();
        ::_exit(same ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(HostState, RunAsALibraryChangesNoSettingOfItsProcess) {
    ScratchFolder folder;
    std::vector<TestRecord> records(4);
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].name = "IMG_" + std::to_string(i) + ".bin";
        records[i].stars = {{"20.5", "30.25", "1900", "2300"}, {"40", "60", "1000", "1400"}};
    }
    WriteText(folder / "CALSTARS_A.txt", CalstarsText(64, 96, 2, records));
    for (const bool limited : {false, true}) {
        // A sanitizer's shadow memory does not fit a limited address space.
        if (limited && SanitizerNeedsTheAddressSpace()) continue;
        for (const int32_t jobs : {1, 2, 3}) {
            EXPECT_EQ(RunInChild(folder.path(), jobs, limited), 0) << "jobs " << jobs << (limited ? ", address space limited" : "");
        }
    }
}

}  // namespace
