#include "fourproduct/fourproduct.h"

#include <gtest/gtest.h>

#include "failure.h"
#include "support/test_support.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace {

TEST(FourProduct, SetUpStoresTheMagnitudeOfFirstInt) {
    const std::pair<int32_t, int32_t> cases[] = {{-5, 5}, {5, 5}, {0, 0}, {-2147483647, 2147483647}};
    for (const auto& [first_int, magnitude] : cases) {
        FourProduct record;
        FourProduct_MemSetup(record, first_int, 2, 3);
        EXPECT_EQ(record.first_int_magnitude, magnitude) << first_int;
        EXPECT_EQ(record.bank, 1);
        EXPECT_EQ(record.bits_per_pixel, 8);
    }
}

TEST(FourProduct, SecondSetUpLeavesOnlyTheNewSizeAllocated) {
    FourProduct record;
    FourProduct_MemSetup(record, 1, 20, 30);
    FourProduct_MemSetup(record, 1, 4, 5);
    for (int slot = 0; slot < kPlaneSlots; ++slot) {
        EXPECT_EQ(record.planes[slot].size(), slot % 2 == record.bank ? 20u : 0u) << slot;
    }
    FourProduct_MemFree(record);
    for (const auto& plane : record.planes) EXPECT_TRUE(plane.empty());
    FourProduct_MemFree(record);  // releasing an empty record does nothing
}

// A smaller image keeps the planes' memory (no fresh pages for the next file); a larger one takes
// new planes of its own size.
TEST(FourProduct, SetUpKeepsThePlanesMemoryForASmallerImage) {
    FourProduct record;
    FourProduct_MemSetup(record, 1, 20, 30);
    const uint8_t* first = FourProduct_Plane(record, kPeakValue);
    FourProduct_MemSetup(record, 1, 4, 5);
    EXPECT_EQ(FourProduct_Plane(record, kPeakValue), first);
    EXPECT_EQ(record.planes[2 * kPeakValue + record.bank].size(), 20u);
    FourProduct_MemSetup(record, 1, 30, 30);
    for (int product = 0; product < kProducts; ++product) EXPECT_EQ(record.planes[2 * product + record.bank].size(), 900u) << product;
}

TEST(FourProduct, FileOfA2x3ImageIsHeaderThenFourPlanes) {
    ScratchFolder folder;
    FourProduct record;
    FourProduct_MemSetup(record, -9, 2, 3);
    for (int product = 0; product < kProducts; ++product) {
        for (int p = 0; p < 6; ++p) FourProduct_Plane(record, product)[p] = static_cast<uint8_t>(10 * product + p);
    }
    record.output_name[record.bank] = folder / "out.bin";
    FourProduct_WriteFile(record);
    const std::vector<uint8_t> expected = {2, 0, 0, 0, 3, 0, 0, 0, 8, 0, 0, 0, 0, 1, 0, 0, 9, 0, 0, 0,
                                           0, 1, 2, 3, 4, 5, 10, 11, 12, 13, 14, 15, 20, 21, 22, 23, 24, 25, 30, 31, 32, 33, 34, 35};
    EXPECT_EQ(ReadBytes(folder / "out.bin"), expected);
    EXPECT_EQ(ListFolder(folder.path()), std::vector<std::string>{"out.bin"});  // no temporary left
}

TEST(FourProduct, ExistingFileIsReplaced) {
    ScratchFolder folder;
    WriteText(folder / "out.bin", std::string(1000, 'x'));
    FourProduct record;
    FourProduct_MemSetup(record, 1, 1, 1);
    record.output_name[record.bank] = folder / "out.bin";
    FourProduct_WriteFile(record);
    EXPECT_EQ(ReadBytes(folder / "out.bin").size(), 24u);
}

TEST(FourProduct, UnwritableTargetFailsAndLeavesNoPartialFile) {
    ScratchFolder folder;
    FourProduct record;
    FourProduct_MemSetup(record, 1, 4, 4);
    record.output_name[record.bank] = folder / "missing-folder/out.bin";
    try {
        FourProduct_WriteFile(record);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message, " Cannot open output file " + (folder / "missing-folder/out.bin") + " for writing \n");
        EXPECT_EQ(failure.wait, WaitKind::Character);
    }
    // A directory in the way of the final name: the bytes are written, the rename fails.
    std::filesystem::create_directory(folder / "taken.bin");
    record.output_name[record.bank] = folder / "taken.bin";
    try {
        FourProduct_WriteFile(record);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        // The reason is the system's: "Is a directory" on POSIX systems, "Access denied" on Windows.
        const std::string start = " Cannot write output file " + (folder / "taken.bin") + ": ";
        EXPECT_EQ(failure.message.compare(0, start.size(), start), 0) << failure.message;
        EXPECT_GT(failure.message.size(), start.size() + 2) << failure.message;
        EXPECT_EQ(failure.message.substr(failure.message.size() - 2), " \n");
    }
    EXPECT_EQ(ListFolder(folder.path()), std::vector<std::string>{"taken.bin"});
}

}  // namespace
