#include "driver/paths.h"

#include <gtest/gtest.h>

namespace {

TEST(Paths, SeparatorIsAppendedUnlessTheFolderEndsInOne) {
    struct Case {
        const char* folder;
        char separator;
        const char* expected;
    };
    const Case cases[] = {
        {"D:\\data\\night1", '\\', "D:\\data\\night1\\"},
        {"D:\\data\\night1\\", '\\', "D:\\data\\night1\\"},
        {"D:", '\\', "D:\\"},
        {"/data/night1", '/', "/data/night1/"},
        {"/data/night1/", '/', "/data/night1/"},
        {"night1", '/', "night1/"},
        {"/", '/', "/"},
        {"D:\\data/x", '\\', "D:\\data/x\\"},  // only the platform's separator counts
    };
    for (const Case& c : cases) EXPECT_EQ(EnsureTrailingSeparator(c.folder, c.separator), c.expected) << c.folder;
}

TEST(Paths, ChosenPathSplitsAtItsLastSeparator) {
    struct Case {
        const char* path;
        char separator;
        bool splits;
        const char* folder;
        const char* name;
    };
    const Case cases[] = {
        {"C:\\data\\CALSTARS_x.txt", '\\', true, "C:\\data", "CALSTARS_x.txt"},
        {"C:\\CALSTARS_x.txt", '\\', true, "C:", "CALSTARS_x.txt"},
        {"/home/me/data/CALSTARS_x.txt", '/', true, "/home/me/data", "CALSTARS_x.txt"},
        {"/CALSTARS_x.txt", '/', true, "", "CALSTARS_x.txt"},
        {"CALSTARS_x.txt", '/', false, "", ""},
    };
    for (const Case& c : cases) {
        std::string folder;
        std::string name;
        EXPECT_EQ(SplitFolderAndName(c.path, folder, name, c.separator), c.splits) << c.path;
        EXPECT_EQ(folder, c.folder) << c.path;
        EXPECT_EQ(name, c.name) << c.path;
    }
}

TEST(Paths, ListingLinesAreCutAfterTheirFirstTxt) {
    struct Case {
        const char* line;
        bool names_a_file;
        const char* cut;
    };
    const Case cases[] = {
        {"CALSTARS_20140101.txt\n", true, "CALSTARS_20140101.txt"},
        {"CALSTARS_20140101.txt\r\n", true, "CALSTARS_20140101.txt"},
        {"CALSTARS_a.txt.txt", true, "CALSTARS_a.txt.txt"},
        {"CALSTARS_A.txt.v2.txt\r\n", true, "CALSTARS_A.txt.v2.txt"},
        {"CALSTARS_a.txt trailing words", true, "CALSTARS_a.txt"},
        {"CALSTARS_B.TXT\r\n", true, "CALSTARS_B.TXT"},
        {"File Not Found", false, "File Not Found"},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        std::string line = c.line;
        EXPECT_EQ(CutAfterTxt(line), c.names_a_file) << c.line;
        EXPECT_EQ(line, c.cut) << c.line;
    }
}

}  // namespace
