// The conformance cases (tests/data/conformance) run in process through the batch driver under each
// vector target of the build, the plain one-lane target included: every expected file byte for byte,
// on every processor the tests run on (emulated ones too, where the program's own runs use only the
// best target).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "driver/batch.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace {

TEST(VectorTargets, EveryConformanceCaseIsByteIdenticalUnderEachTarget) {
    const fs::path root = CONFORMANCE_DIR;
    ASSERT_TRUE(fs::is_directory(root)) << "no conformance cases at " << root;
    int runs = 0;
    ForEachVectorTarget([&](const std::string& target) {
        for (const auto& entry : fs::directory_iterator(root)) {
            if (!fs::is_directory(entry.path() / "input")) continue;
            ScratchFolder scratch;
            for (const auto& input : fs::directory_iterator(entry.path() / "input")) {
                fs::copy_file(input.path(), fs::path(scratch.path()) / input.path().filename());
            }
            const RunHooks quiet{[](const std::string&) {}, [](const std::string&) {}, [] {}};
            ASSERT_EQ(RunBatch(scratch.path(), 1, &quiet), 0) << target << " " << entry.path();
            for (const auto& expected : fs::directory_iterator(entry.path() / "expected")) {
                EXPECT_TRUE(ReadBytes(scratch / expected.path().filename().string()) == ReadBytes(expected.path().string()))
                    << target << ": " << entry.path().filename() << "/" << expected.path().filename() << " differs";
            }
            ++runs;
        }
    });
    EXPECT_GT(runs, 0);
}

}  // namespace
