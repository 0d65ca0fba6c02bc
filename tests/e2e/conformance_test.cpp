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
    const int cases = CheckConformanceCases(root.string(), [](const std::string& folder, const std::string& name) {
        const ProgramRun run = RunCalstars2fp({folder});
        EXPECT_EQ(run.status, 0) << name << ": " << run.output;
    });
    EXPECT_GT(cases, 0);
}

}  // namespace
