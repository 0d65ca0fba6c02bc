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
        SCOPED_TRACE(target);
        runs += CheckConformanceCases(root.string(), [&](const std::string& folder, const std::string& name) {
            const RunHooks quiet{[](const std::string&) {}, [](const std::string&) {}, [] {}};
            ASSERT_EQ(RunBatch(folder, 1, &quiet), 0) << target << " " << name;
        });
    });
    EXPECT_GT(runs, 0);
}

}  // namespace
