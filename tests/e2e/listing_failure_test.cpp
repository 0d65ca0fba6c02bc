// A folder that cannot be read completely ends the run with one line and status 1 before anything is
// processed; it is never taken for a shorter folder. The failures of a network share are injected by
// preloading tests/support/failing_directory.cpp into the program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

struct ListingCase {
    const char* what;
    std::string environment;  // the injected failure, as variable assignments for env
    std::string error;        // the end of the failure line; empty when the run must succeed
};

TEST(ListingFailure, UnreadableFolderEndsTheRunBeforeAnyFile) {
    const ListingCase cases[] = {
        {"readdir fails after the first entry", "FAILING_READDIR_AFTER=1", "Input/output error"},
        {"readdir fails at once", "FAILING_READDIR_AFTER=0", "Input/output error"},
        {"stat of a CALSTARS file refused", "FAILING_STAT_NAME=CALSTARS_B.txt", "CALSTARS_B.txt: Permission denied"},
        // Controls: a failure the listing does not meet, and one on a name it does not look at.
        {"readdir fails only after the last entry", "FAILING_READDIR_AFTER=100", ""},
        {"stat of another file refused", "FAILING_STAT_NAME=notes.txt", ""},
    };
    for (const ListingCase& c : cases) {
        ScratchFolder folder;
        const std::vector<std::string> inputs = {"CALSTARS_A.txt", "CALSTARS_B.txt", "CALSTARS_C.txt", "notes.txt"};
        for (const std::string& name : inputs) {
            const std::string record = name.substr(0, name.size() - 4) + ".bin";
            WriteText(folder / name, CalstarsText(16, 16, 1, {{record, 3, 1, {{"5", "5", "1900", "2000"}}}}));
        }
        const std::string prefix = "timeout -s KILL 20 env LD_PRELOAD=" FAILING_DIRECTORY_LIBRARY " " + c.environment + " ";
        const ProgramRun run = RunCalstars2fp({folder.path()}, "", prefix);
        if (c.error.empty()) {
            EXPECT_EQ(run.status, 0) << c.what << "\n" << run.output;
            EXPECT_EQ(run.output, "CALSTARS_A.bin\nCALSTARS_B.bin\nCALSTARS_C.bin\n") << c.what;
            continue;
        }
        EXPECT_EQ(run.status, 1) << c.what;
        EXPECT_EQ(run.output, " Cannot read folder " + folder.path() + "/ completely: " + c.error + " \n") << c.what;
        EXPECT_EQ(ListFolder(folder.path()), inputs) << c.what << ": no listing, no four-product file";
    }
}

TEST(ListingFailure, NameGoneBeforeItsTypeIsKnownIsLeftOut) {
    ScratchFolder folder;
    WriteText(folder / "CALSTARS_A.txt", CalstarsText(16, 16, 1, {{"A.bin", 3, 1, {{"5", "5", "1900", "2000"}}}}));
    ASSERT_EQ(::symlink("nowhere.txt", (folder / "CALSTARS_gone.txt").c_str()), 0);
    const ProgramRun run = RunCalstars2fp({folder.path()});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "A.bin\n");
    EXPECT_EQ(ReadText(folder / "DirListingCalstars.txt"), "CALSTARS_A.txt\n");
}

}  // namespace
