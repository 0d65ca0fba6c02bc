// What only POSIX systems show of safe output files: symbolic links, advisory locks held by another
// process, and forks (the native build's end-to-end test binary).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "safe_output/safe_output.h"
#include "support/test_support.h"

namespace {

const std::string kBytes = "four-product bytes";

std::string Marked(const std::string& rest) {
    return std::string(reinterpret_cast<const char*>(kTemporaryMark), kTemporaryMarkBytes) + rest;
}

TEST(SafeOutput, NeverWritesThroughALinkUnderTheTemporaryName) {
    ScratchFolder outer;
    const std::string folder = outer / "night";
    std::filesystem::create_directory(folder);
    ASSERT_EQ(::symlink("../outside.bin", (folder + "/out.bin.partial").c_str()), 0);
    ASSERT_TRUE(SafeOutput_WriteWhole(folder + "/out.bin", kBytes.data(), kBytes.size()));
    EXPECT_EQ(ReadText(folder + "/out.bin"), kBytes);
    EXPECT_FALSE(Exists(outer / "outside.bin"));
    EXPECT_TRUE(std::filesystem::is_symlink(folder + "/out.bin.partial"));
}

// A leftover is removed only when provably abandoned: a lock file or a temporary file that a live
// process holds keeps it, and a link named like a hidden folder is never followed.
TEST(SafeOutput, HeldOrLinkedHiddenFoldersStay) {
    const std::string name = std::string(kSafeOutputFolderPrefix) + "4d2-7-18b0c1d2e3f4";
    const std::string lock = kSafeOutputLockName;
    struct Case {
        const char* what;
        const char* held;  // the file inside that another open file description holds locked
        bool link;         // the hidden folder's name is a link to a folder outside
    };
    const Case cases[] = {
        {"lock file held", "lock", false},
        {"lock free, temporary file held", "3", false},
        {"link to a folder of leftovers", nullptr, true},
    };
    for (const Case& c : cases) {
        ScratchFolder outer;
        const std::string folder = outer / "night";
        const std::string leftovers = c.link ? outer / "elsewhere" : folder + "/" + name;
        std::filesystem::create_directories(folder);
        std::filesystem::create_directories(leftovers);
        if (c.link) {
            ASSERT_EQ(::symlink(leftovers.c_str(), (folder + "/" + name).c_str()), 0);
        }
        ::WriteText(leftovers + "/" + lock, "");
        ::WriteText(leftovers + "/3", Marked("cut short"));
        int holder = -1;
        if (c.held != nullptr) {
            holder = ::open((leftovers + "/" + c.held).c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_EQ(::flock(holder, LOCK_EX), 0) << c.what;
        }
        ASSERT_TRUE(SafeOutput_WriteWhole(folder + "/out.bin", kBytes.data(), kBytes.size())) << c.what;
        EXPECT_EQ(ListFolder(leftovers), (std::vector<std::string>{"3", lock})) << c.what;
        EXPECT_EQ(ListFolder(folder), (std::vector<std::string>{name, "out.bin"})) << c.what;
        if (holder >= 0) ::close(holder);
    }
}

// A child forked while threads of its parent are writing can write at once: no lock of the module is
// inherited held (a child that waited on one would be ended by its alarm), and the child's files are
// its own (it removes nothing of its parent's). Rounds, not timing: each fork lands somewhere in the
// writers' loops.
TEST(SafeOutput, ChildForkedWhileThreadsWriteCanWriteAtOnce) {
    constexpr int kRounds = 200;
    constexpr unsigned kChildAlarmSeconds = 10;
    ScratchFolder folder;
    std::atomic<bool> stop{false};
    std::vector<int> writer_failures(2, 0);
    std::vector<std::thread> writers;
    for (int t = 0; t < 2; ++t) {
        writers.emplace_back([&, t] {
            const std::string name = folder / ("parent" + std::to_string(t) + ".bin");
            while (!stop.load()) {
                if (!SafeOutput_WriteWhole(name, kBytes.data(), kBytes.size())) ++writer_failures[static_cast<size_t>(t)];
            }
        });
    }
    int hung = 0;
    int failed = 0;
    for (int round = 0; round < kRounds; ++round) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::alarm(kChildAlarmSeconds);
            const std::string name = folder / ("child" + std::to_string(round % 2) + ".bin");
            ::_exit(SafeOutput_WriteWhole(name, kBytes.data(), kBytes.size()) ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM) {
            ++hung;
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ++failed;
        }
    }
    stop.store(true);
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(hung, 0) << "children that waited on a lock held at the fork";
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(writer_failures, std::vector<int>(2, 0));
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"child0.bin", "child1.bin", "parent0.bin", "parent1.bin"}));
    for (const std::string& name : ListFolder(folder.path())) EXPECT_EQ(ReadText(folder / name), kBytes) << name;
}

}  // namespace
