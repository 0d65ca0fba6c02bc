// The conformance cases (tests/data/conformance): CALSTARS folders with the four-product files that
// an independent implementation of the same rules wrote for them. Each case runs in a process of its
// own (so the pseudo-random sequence starts afresh) on a copy of its input; every expected file must
// match byte for byte.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(Conformance, EveryExpectedFileIsByteIdentical) {
    const fs::path root = CONFORMANCE_DIR;
    // The cases are part of the source tree: a missing folder is a broken checkout, never a skip.
    ASSERT_TRUE(fs::is_directory(root)) << "no conformance cases at " << root;
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        if (!fs::is_directory(entry.path() / "input")) continue;
        ++cases;
        ScratchFolder scratch;
        for (const auto& input : fs::directory_iterator(entry.path() / "input")) {
            fs::copy_file(input.path(), fs::path(scratch.path()) / input.path().filename());
        }
        const ProgramRun run = RunCalstars2fp({scratch.path()});
        EXPECT_EQ(run.status, 0) << entry.path() << ": " << run.output;
        for (const auto& expected : fs::directory_iterator(entry.path() / "expected")) {
            const std::string produced = scratch / expected.path().filename().string();
            EXPECT_TRUE(ReadBytes(produced) == ReadBytes(expected.path().string()))
                << entry.path().filename() << "/" << expected.path().filename() << " differs";
        }
    }
    EXPECT_GT(cases, 0);
}

}  // namespace
