// Symbolic links under a temporary name (POSIX: the native build's end-to-end test binary).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "safe_output/safe_output.h"
#include "support/test_support.h"

namespace {

const std::string kBytes = "four-product bytes";

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

}  // namespace
