// End-to-end tests: the built program run on generated folders.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include <filesystem>
#include <string>
#include <vector>

#include "reconstitution/pseudo_random.h"
#include "support/test_support.h"

namespace {



std::vector<CalStarStarFields> Stars(int count) {
    std::vector<CalStarStarFields> stars;
    for (int i = 0; i < count; ++i) {
        stars.push_back({std::to_string(8 + 3 * i) + ".25", std::to_string(10 + 5 * i) + ".5", std::to_string(1500 + 150 * i),
                         std::to_string(1520 + 151 * i)});
    }
    return stars;
}

uint32_t Word(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

TEST(Driver, EveryRecordBecomesAFourProductFileNamedAsTheRecordSays) {
    ScratchFolder folder;
    WriteText(folder / "CALSTARS_A.txt", CalstarsText(40, 50, 3, {{"A1.bin", 5, 1, Stars(3)}, {"A2.bin", 7, 2, Stars(3)}}, -12));
    WriteText(folder / "calstars_b.TXT", CalstarsText(30, 20, 2, {{"B1.bin", 3, 1, Stars(2)}}));
    WriteText(folder / "NOTES.txt", "not a CALSTARS file\n");
    const ProgramRun run = RunCalstars2fp({folder.path()});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "A1.bin\nA2.bin\nB1.bin\n");
    EXPECT_EQ(ReadText(folder / "DirListingCalstars.txt"), "CALSTARS_A.txt\ncalstars_b.TXT\n");
    const struct {
        const char* name;
        uint32_t rows, cols, magnitude;
    } expected[] = {{"A1.bin", 40, 50, 12}, {"A2.bin", 40, 50, 12}, {"B1.bin", 30, 20, 1}};
    for (const auto& file : expected) {
        const std::vector<uint8_t> bytes = ReadBytes(folder / file.name);
        ASSERT_EQ(bytes.size(), 20 + 4 * file.rows * file.cols) << file.name;
        EXPECT_EQ(Word(bytes, 0), file.rows);
        EXPECT_EQ(Word(bytes, 4), file.cols);
        EXPECT_EQ(Word(bytes, 8), 8u);
        EXPECT_EQ(Word(bytes, 12), 256u);
        EXPECT_EQ(Word(bytes, 16), file.magnitude);
    }
    EXPECT_EQ(ListFolder(folder.path()).size(), 7u);  // 3 inputs, listing, 3 outputs: nothing else
}

TEST(Driver, FrameIndexSequenceRunsOnAcrossRecordsAndFiles) {
    ScratchFolder folder;
    WriteText(folder / "CALSTARS_1.txt", CalstarsText(15, 16, 1, {{"R1.bin", 3, 1, Stars(1)}, {"R2.bin", 3, 1, Stars(1)}}));
    WriteText(folder / "CALSTARS_2.txt", CalstarsText(17, 15, 1, {{"R3.bin", 3, 1, Stars(1)}}));
    ASSERT_EQ(RunCalstars2fp({folder.path()}).status, 0);
    PseudoRandom generator;
    for (const char* name : {"R1.bin", "R2.bin", "R3.bin"}) {
        const std::vector<uint8_t> bytes = ReadBytes(folder / name);
        const size_t npix = Word(bytes, 0) * Word(bytes, 4);
        for (size_t p = 0; p < npix; ++p) {
            const int expected = static_cast<int>(PseudoRandom_Next(generator) * 255.0 / 32767.0);
            ASSERT_EQ(bytes[20 + npix + p], expected) << name << " pixel " << p;
        }
    }
}

TEST(Driver, FoldersThatProduceNothing) {
    ScratchFolder folder;
    WriteText(folder / "CALSTARS_empty.txt", CalstarsText(20, 20, 1, {}));
    ProgramRun run = RunCalstars2fp({folder.path() + "/"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "");
    EXPECT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"CALSTARS_empty.txt", "DirListingCalstars.txt"}));

    ScratchFolder empty;
    run = RunCalstars2fp({empty.path()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(ReadText(empty / "DirListingCalstars.txt"), "");

    run = RunCalstars2fp({empty / "missing"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, " Directory listing file " + (empty / "missing/DirListingCalstars.txt") + " not found (or not generated)\n\n");
}

TEST(Driver, ArgumentsBeyondTheFirstAreIgnored) {
    ScratchFolder folder;
    WriteText(folder / "CALSTARS_A.txt", CalstarsText(20, 20, 1, {{"A.bin", 3, 1, Stars(1)}}));
    const ProgramRun run = RunCalstars2fp({folder.path(), "extra", "words"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, "A.bin\n");
}

struct RefusalCase {
    const char* what;
    std::string calstars;
    std::string message_part;
    std::vector<std::string> written_before;  // outputs of earlier records that must stay intact
};

TEST(Driver, RefusedInputsEndWithOneLineAndStatusOneLeavingNothingPartial) {
    const std::vector<CalStarStarFields> one = Stars(1);
    const RefusalCase cases[] = {
        {"divisor 0", CalstarsText(20, 20, 1, {{"A.bin", 3, 1, one}, {"B.bin", 3, 0, one}}), "divisor 0 at line", {"A.bin"}},
        {"name with a slash", CalstarsText(20, 20, 1, {{"../escape.bin", 3, 1, one}}), "is not a plain file name", {}},
        {"name of an input", CalstarsText(20, 20, 1, {{"A.bin", 3, 1, one}, {"calstars_other.txt", 3, 1, one}}), "would overwrite an input", {"A.bin"}},
        {"name of the listing", CalstarsText(20, 20, 1, {{"DirListingCalstars.txt", 3, 1, one}}), "would overwrite an input", {}},
        {"even window", CalstarsText(20, 20, 1, {{"A.bin", 4, 1, one}}), "window 4", {}},
        {"window larger than the image", CalstarsText(20, 20, 1, {{"A.bin", 21, 1, one}}), "window 21", {}},
        {"image below 15 x 15", CalstarsText(14, 15, 1, {{"A.bin", 3, 1, one}}), "below 15 x 15", {}},
        {"star coordinate NaN", CalstarsText(20, 20, 1, {{"A.bin", 3, 1, {{"nan", "5", "100", "200"}}}}), "not a finite number", {}},
        {"no image", CalstarsText(0, 20, 1, {}), "describes no image", {}},
        {"record cut short", CalstarsText(20, 20, 2, {{"A.bin", 3, 1, one}}), "two numbers and two integers", {}},
    };
    for (const RefusalCase& c : cases) {
        ScratchFolder outer;
        const std::string folder = outer / "night";
        std::filesystem::create_directory(folder);
        WriteText(folder + "/CALSTARS_T.txt", c.calstars);
        const ProgramRun run = RunCalstars2fp({folder});
        EXPECT_EQ(run.status, 1) << c.what << ": " << run.output;
        std::vector<std::string> lines;
        size_t start = 0;
        for (size_t end; (end = run.output.find('\n', start)) != std::string::npos; start = end + 1) {
            lines.push_back(run.output.substr(start, end - start));
        }
        const std::string last = lines.empty() ? "" : lines.back();
        EXPECT_NE(last.find(c.message_part), std::string::npos) << c.what << ": " << run.output;
        EXPECT_NE(last.find("CALSTARS_T.txt"), std::string::npos) << c.what << ": " << run.output;
        EXPECT_EQ(lines.size(), c.written_before.size() + 1) << c.what << ": " << run.output;
        std::vector<std::string> expected_files = {"CALSTARS_T.txt", "DirListingCalstars.txt"};
        expected_files.insert(expected_files.begin(), c.written_before.begin(), c.written_before.end());
        std::sort(expected_files.begin(), expected_files.end());
        EXPECT_EQ(ListFolder(folder), expected_files) << c.what;
        EXPECT_EQ(ListFolder(outer.path()), std::vector<std::string>{"night"}) << c.what;
        for (const std::string& name : c.written_before) EXPECT_EQ(ReadBytes(folder + "/" + name).size(), 20u + 4 * 400) << c.what;
    }
}

TEST(Driver, OverlongAndEmptyFoldersAreRefused) {
    ProgramRun run = RunCalstars2fp({""});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, " The folder argument is empty \n");
    const std::string long_folder = "/tmp/" + std::string(240, 'f');
    run = RunCalstars2fp({long_folder});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, " Folder " + long_folder + " is longer than 231 characters \n");
}

TEST(Driver, AFolderNamedJobsIsReachedAsAPathAndAfterTheNumberOfWorkers) {
    ScratchFolder folder;
    const std::string jobs_folder = folder / "--jobs";
    ASSERT_EQ(std::system(("mkdir '" + jobs_folder + "'").c_str()), 0);
    WriteText(jobs_folder + "/CALSTARS_J.txt", CalstarsText(20, 20, 1, {{"J1.bin", 3, 1, Stars(1)}}));
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{jobs_folder}, {"--jobs", "2", jobs_folder}}) {
        const ProgramRun run = RunCalstars2fp(arguments);
        EXPECT_EQ(run.status, 0) << run.output;
        EXPECT_EQ(run.output, "J1.bin\n");
    }
    EXPECT_TRUE(Exists(jobs_folder + "/J1.bin"));
}

}  // namespace
