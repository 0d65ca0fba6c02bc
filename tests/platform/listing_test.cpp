#include "platform/listing.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

TEST(Listing, CalstarsPatternIgnoresCase) {
    const std::pair<const char*, bool> cases[] = {
        {"CALSTARS_x.txt", true}, {"calstars_x.TXT", true}, {"CALSTARS.txt", true}, {"CalStars20140101.Txt", true},
        {"CALSTAR_x.txt", false}, {"CALSTARS_x.txt.bak", false}, {"xCALSTARS_x.txt", false}, {"CALSTARS_x.bin", false},
    };
    for (const auto& [name, matches] : cases) EXPECT_EQ(MatchesCalstarsPattern(name), matches) << name;
}

TEST(Listing, RecordNamesOfTheRunsInputsWouldOverwriteThem) {
    EXPECT_TRUE(WouldOverwriteInput("dirlistingcalstars.TXT"));
    EXPECT_TRUE(WouldOverwriteInput("CALSTARS_a.txt"));
    EXPECT_FALSE(WouldOverwriteInput("IMG_0001.bin"));
}

TEST(Listing, CommandQuotesFolderAndListing) {
    EXPECT_EQ(ListingCommand("D:\\data\\night1\\", "D:\\data\\night1\\DirListingCalstars.txt"),
              "dir /b \"D:\\data\\night1\\CALSTARS*.txt\" > \"D:\\data\\night1\\DirListingCalstars.txt\"");
}

}  // namespace
