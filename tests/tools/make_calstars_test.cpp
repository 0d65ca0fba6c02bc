// The example-data generator, run as a program, its files read back with the CALSTARS reader: the
// existing modes still write the bundled example folder, and a night lists the same stars turned
// about the pole from record to record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "calstars/calstars.h"
#include "support/test_support.h"

namespace {

constexpr double kTurnPerRecord = 2.0 * 3.14159265358979323846 * 10.24 / 86164.09;
// Two printed positions, each rounded to 0.01 in both coordinates, and float parsing.
constexpr double kTolerance = 0.02;

ProgramRun Generate(const std::string& folder, const std::vector<std::string>& options) {
    std::vector<std::string> arguments{folder};
    arguments.insert(arguments.end(), options.begin(), options.end());
    return RunExecutable(MAKE_CALSTARS_EXE, arguments);
}

struct Star {
    double row, col;
    int intensity, total;
};
struct Record {
    std::string file, name;
    int window;
    std::vector<Star> stars;
};

// Every record of every CALSTARS file of the folder, files in name order.
std::vector<Record> ReadFolder(const std::string& folder, int& rows, int& cols) {
    std::vector<Record> records;
    for (const std::string& file : ListFolder(folder)) {
        CalStarExtraction extraction;
        OpenCalStarExtraction(folder + "/" + file, extraction);
        rows = extraction.rows;
        cols = extraction.cols;
        while (ReadCalStarFrame(extraction) == 0) {
            Record record{file, extraction.name, extraction.window, {}};
            for (int32_t s = 0; s < extraction.nstars; ++s) {
                record.stars.push_back({extraction.row[s], extraction.col[s], extraction.intensity[s], extraction.total[s]});
            }
            records.push_back(record);
        }
    }
    return records;
}

// The window of a star at (row, col) lies inside the image, by the reader's nearest-pixel rule.
bool WindowInside(double row, double col, int half, int rows, int cols) {
    const int rr = static_cast<int>(row + 0.5);
    const int cc = static_cast<int>(col + 0.5);
    return row >= -0.5 && col >= -0.5 && rr >= half && rr <= rows - 1 - half && cc >= half && cc <= cols - 1 - half;
}

TEST(MakeCalstars, ExistingModesStillWriteTheExampleFolder) {
    ScratchFolder folder;
    ASSERT_EQ(Generate(folder.path(), {"--camera", "1", "--files", "2"}).status, 0);
    ASSERT_EQ(Generate(folder.path(), {"--camera", "2", "--records", "2", "--rows", "240", "--cols", "320"}).status, 0);
    const std::vector<std::string> names = ListFolder(EXAMPLES_DIR);
    ASSERT_EQ(ListFolder(folder.path()), names);
    for (const std::string& name : names) {
        EXPECT_EQ(ReadBytes(folder / name), ReadBytes(std::string(EXAMPLES_DIR) + "/" + name)) << name;
    }
}

// --help is asked for, not a folder named so; a folder that is missing is made, with its parents.
TEST(MakeCalstars, HelpPrintsTheUsageAndAMissingFolderIsCreated) {
    for (const char* help : {"--help", "-h"}) {
        const ProgramRun run = Generate(help, {});
        EXPECT_EQ(run.status, 0) << help;
        EXPECT_EQ(run.output.rfind("usage: make_calstars <folder>", 0), 0u) << help << ": " << run.output;
    }
    EXPECT_EQ(Generate("--night", {}).status, 2);  // an option where the folder belongs is a mistake
    ScratchFolder folder;
    const std::string missing = folder / "new/night";
    ASSERT_EQ(Generate(missing, {"--records", "1"}).status, 0);
    EXPECT_EQ(ListFolder(missing), std::vector<std::string>{"CALSTARS_C01_20140101.txt"});
    WriteText(folder / "plain", "x");
    EXPECT_EQ(Generate(folder / "plain", {}).status, 1);  // a file where the folder belongs
}

struct NightCase {
    const char* what;
    std::vector<std::string> options;
    bool pole_known;
    double pole_row, pole_col;
    int nights, records, per_file;  // per_file 0: one file per night
    bool expect_risings;  // the case must replace stars (else it may)
};

class Night : public testing::TestWithParam<NightCase> {};

TEST_P(Night, SameStarsTurnedAboutThePole) {
    const NightCase& night = GetParam();
    ScratchFolder folder;
    std::vector<std::string> options{"--night", "--files", std::to_string(night.nights), "--records", std::to_string(night.records)};
    if (night.per_file > 0) options.insert(options.end(), {"--per-file", std::to_string(night.per_file)});
    options.insert(options.end(), night.options.begin(), night.options.end());
    ASSERT_EQ(Generate(folder.path(), options).status, 0);

    const int parts = night.per_file > 0 ? (night.records + night.per_file - 1) / night.per_file : 1;
    EXPECT_EQ(ListFolder(folder.path()).size(), static_cast<size_t>(night.nights * parts));
    int rows = 0, cols = 0;
    const std::vector<Record> records = ReadFolder(folder.path(), rows, cols);
    ASSERT_EQ(records.size(), static_cast<size_t>(night.nights * night.records));

    std::set<std::string> names;
    int risings = 0;
    int brief_risings = 0;  // stars that set at the record after the one they rose in
    // Per place in the list: the record where its star was first seen, and its position there.
    std::vector<size_t> first(records[0].stars.size(), 0);
    std::vector<size_t> rose(records[0].stars.size(), SIZE_MAX);
    for (size_t k = 0; k < records.size(); ++k) {
        const Record& record = records[k];
        EXPECT_TRUE(names.insert(record.name).second) << "repeated name " << record.name;
        const int half = (record.window - 1) / 2;
        ASSERT_EQ(record.stars.size(), records[0].stars.size());
        for (const Star& star : record.stars) {
            ASSERT_TRUE(WindowInside(star.row, star.col, half, rows, cols)) << record.name << " " << star.row << " " << star.col;
        }
        if (k % night.records == 0) {  // a night begins
            std::fill(first.begin(), first.end(), k);
            continue;
        }
        if (!night.pole_known) continue;
        EXPECT_EQ(record.window, records[k - 1].window);
        const double low = half - 0.5, high_row = rows - 1 - half + 0.49, high_col = cols - 1 - half + 0.49;
        for (size_t s = 0; s < record.stars.size(); ++s) {
            const Star& before = records[k - 1].stars[s];
            const Star& now = record.stars[s];
            // Where the star first seen in record first[s] is now: turned counter-clockwise (row 0 at
            // the top) by the rotation of the records since, which compounds any error of the rate.
            const auto turned = [&](const Star& from, size_t records_since, double& row, double& col) {
                const double angle = kTurnPerRecord * static_cast<double>(records_since);
                const double dr = from.row - night.pole_row, dc = from.col - night.pole_col;
                row = night.pole_row + dr * std::cos(angle) - dc * std::sin(angle);
                col = night.pole_col + dc * std::cos(angle) + dr * std::sin(angle);
            };
            double row, col;
            turned(records[first[s]].stars[s], k - first[s], row, col);
            const bool same_star = now.intensity == before.intensity && now.total == before.total;
            if (same_star) {
                EXPECT_LE(std::hypot(now.row - row, now.col - col), kTolerance)
                    << record.name << " star " << s << " is not where the sky turned it since record " << first[s];
                continue;
            }
            // Replaced: only where the star set, and the new one rises within a pixel of an edge.
            turned(before, 1, row, col);
            const bool clearly_inside = row >= low + kTolerance && row <= high_row - kTolerance && col >= low + kTolerance &&
                                        col <= high_col - kTolerance;
            EXPECT_FALSE(clearly_inside) << record.name << " star " << s << " replaced while inside";
            const double edge = std::fmin(std::fmin(now.row - low, high_row - now.row), std::fmin(now.col - low, high_col - now.col));
            EXPECT_LE(edge, 1.0 + kTolerance) << record.name << " star " << s << " rose away from the edges";
            ++risings;
            if (rose[s] == k - 1) ++brief_risings;
            rose[s] = k;
            first[s] = k;
        }
    }
    // Stars rise where the rotation carries them into the image, so few set again at once (unless
    // the range of their centres is about a pixel across, as for a window of the image's height).
    const int window = records.empty() ? 1 : records[0].window;
    if (std::min(rows, cols) - window > 10) {
        EXPECT_LE(brief_risings * 10, risings) << brief_risings << " of " << risings << " risings set at the next record";
    }
    if (night.expect_risings) {
        EXPECT_GT(risings, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Poles, Night,
    testing::Values(
        // Pole in the middle: 0.3 pixel a record at most; only stars near the corners set.
        NightCase{"pole inside", {"--pole-row", "240", "--pole-col", "320", "--stars", "100", "--window", "9"}, true, 240, 320, 1, 60, 0, false},
        // Far outside: the field sweeps across at about 1.8 pixels a record, stars set and rise.
        NightCase{"pole far outside", {"--rows", "120", "--cols", "200", "--stars", "40", "--window", "7", "--pole-row", "-2000", "--pole-col", "100"},
                  true, -2000, 100, 1, 200, 0, true},
        // Near a corner, split into files of 7 records: the night runs on across its files.
        NightCase{"pole at a corner, split", {"--rows", "60", "--cols", "80", "--stars", "30", "--window", "11", "--pole-row", "-3.5", "--pole-col", "90.25"},
                  true, -3.5, 90.25, 2, 150, 7, true},
        // A window as large as the image's smaller side: one nearest pixel per star along it.
        NightCase{"window of the whole height", {"--rows", "15", "--cols", "400", "--stars", "5", "--window", "15", "--pole-row", "-5000", "--pole-col", "200"},
                  true, -5000, 200, 1, 200, 0, true},
        // Poles drawn per night; only the record shape is checked.
        NightCase{"drawn poles, many short files", {"--stars", "20", "--seed", "4"}, false, 0, 0, 12, 3, 0, false}),
    [](const testing::TestParamInfo<NightCase>& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

TEST(MakeCalstars, NightNamesFollowTheClockPastMidnight) {
    ScratchFolder folder;
    ASSERT_EQ(Generate(folder.path(), {"--night", "--records", "1100", "--rows", "30", "--cols", "30", "--stars", "2",
                                       "--window", "3", "--per-file", "1000", "--camera", "7"}).status, 0);
    ASSERT_EQ(ListFolder(folder.path()), (std::vector<std::string>{"CALSTARS_C07_20140101_001.txt", "CALSTARS_C07_20140101_002.txt"}));
    int rows = 0, cols = 0;
    const std::vector<Record> records = ReadFolder(folder.path(), rows, cols);
    ASSERT_EQ(records.size(), 1100u);
    EXPECT_EQ(records[0].name, "IMG_C07_20140101_210000_0001.bin");
    EXPECT_EQ(records[1].name, "IMG_C07_20140101_210010_0002.bin");   // 10.24 s later
    EXPECT_EQ(records[999].name, "IMG_C07_20140101_235029_1000.bin");  // 999 x 10.24 s = 10229.76 s
    EXPECT_EQ(records[1099].name, "IMG_C07_20140102_000733_1100.bin"); // 11253.76 s: the next date

    // Forty nights run on into February.
    ScratchFolder many;
    ASSERT_EQ(Generate(many.path(), {"--night", "--files", "40", "--records", "0"}).status, 0);
    const std::vector<std::string> files = ListFolder(many.path());
    ASSERT_EQ(files.size(), 40u);
    EXPECT_EQ(files[30], "CALSTARS_C01_20140131.txt");
    EXPECT_EQ(files[31], "CALSTARS_C01_20140201.txt");
    EXPECT_EQ(files[39], "CALSTARS_C01_20140209.txt");
}

TEST(MakeCalstars, NightsAreDeterminedByTheSeed) {
    ScratchFolder a, b, c;
    const std::vector<std::string> options{"--night", "--records", "20", "--files", "2"};
    std::vector<std::string> with_seed = options;
    with_seed.insert(with_seed.end(), {"--seed", "2"});
    ASSERT_EQ(Generate(a.path(), options).status, 0);
    ASSERT_EQ(Generate(b.path(), options).status, 0);
    ASSERT_EQ(Generate(c.path(), with_seed).status, 0);
    for (const std::string& name : ListFolder(a.path())) {
        EXPECT_EQ(ReadBytes(a / name), ReadBytes(b / name));
        EXPECT_NE(ReadBytes(a / name), ReadBytes(c / name));
    }
}

TEST(MakeCalstars, RefusesOptionsThatDoNotFit) {
    const std::vector<std::vector<std::string>> refused{
        {"--night", "--pole-row", "5"},                      // half a pole
        {"--night", "--pole-row", "5", "--pole-col", "x"},   // not a number
        {"--per-file", "3"},                                 // night options without --night
        {"--pole-row", "5", "--pole-col", "6"},
        {"--night", "--per-file", "-1"},
    };
    for (const std::vector<std::string>& options : refused) {
        ScratchFolder folder;
        EXPECT_EQ(Generate(folder.path(), options).status, 2) << options[0] << " " << options[1];
        EXPECT_TRUE(ListFolder(folder.path()).empty());
    }
}

}  // namespace
