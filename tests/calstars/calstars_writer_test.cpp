#include "calstars/calstars_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "failure.h"
#include "support/test_support.h"

namespace {

CalStarExtraction Header(int32_t rows, int32_t cols, int32_t nstars) {
    CalStarExtraction header;
    header.header_text = "C07 catalogue";
    header.first_int = -7;
    header.rows = rows;
    header.cols = cols;
    header.nstars = nstars;
    return header;
}

CalStarExtraction Record(const std::string& name, int32_t window, int32_t divisor, const std::vector<float>& rows,
                         const std::vector<float>& cols, const std::vector<uint16_t>& intensity, const std::vector<uint16_t>& total) {
    CalStarExtraction record;
    record.name = name;
    record.window = window;
    record.divisor = divisor;
    record.row = rows;
    record.col = cols;
    record.intensity = intensity;
    record.total = total;
    return record;
}

// Positions whose shortest decimal form takes every kind of float: the smallest subnormal, the
// largest finite, values just off a short decimal, an integer beyond 2^24, a negative zero.
TEST(CalstarsWriter, ReaderGivesBackEveryBitOfEveryValue) {
    const std::vector<float> rows = {46.4f, std::nextafter(46.4f, 100.0f), std::numeric_limits<float>::denorm_min(),
                                     std::numeric_limits<float>::max(), 16777217.0f, -0.0f};
    const std::vector<float> cols = {0.1f, 1e-30f, -3.5f, 239.999985f, 1.0f / 3.0f, 7.0f};
    const std::vector<uint16_t> intensity = {0, 1, 65535, 1816, 5514, 2};
    const std::vector<uint16_t> total = {65535, 0, 65535, 2289, 6419, 3};
    const CalStarExtraction header = Header(480, 640, 6);
    const CalStarExtraction first = Record("A.bin", 9, 16, rows, cols, intensity, total);
    const CalStarExtraction second = Record("B b.bin", -3, -4, cols, rows, total, intensity);
    ScratchFolder folder;
    const std::string path = folder / "CALSTARS_w.txt";
    WriteCalStarFile(path, header, {&first, &second});

    CalStarExtraction read;
    OpenCalStarExtraction(path, read);
    EXPECT_EQ(read.header_text, header.header_text);
    EXPECT_EQ(read.first_int, -7);
    EXPECT_EQ(read.rows, 480);
    EXPECT_EQ(read.cols, 640);
    EXPECT_EQ(read.nstars, 6);
    for (const CalStarExtraction* written : {&first, &second}) {
        ASSERT_EQ(ReadCalStarFrame(read), 0);
        EXPECT_EQ(read.name, written->name);
        EXPECT_EQ(read.window, written->window);
        EXPECT_EQ(read.divisor, written->divisor);
        for (size_t i = 0; i < rows.size(); ++i) {
            EXPECT_EQ(std::signbit(read.row[i]), std::signbit(written->row[i])) << i;
            EXPECT_EQ(read.row[i], written->row[i]) << i;
            EXPECT_EQ(read.col[i], written->col[i]) << i;
            EXPECT_EQ(read.intensity[i], written->intensity[i]) << i;
            EXPECT_EQ(read.total[i], written->total[i]) << i;
        }
    }
    EXPECT_EQ(ReadCalStarFrame(read), 1);
    EXPECT_EQ(ListFolder(folder.path()), std::vector<std::string>{"CALSTARS_w.txt"});
}

TEST(CalstarsWriter, RefusesWhatTheReaderWouldRefuseBeforeWriting) {
    struct Case {
        const char* what;
        CalStarExtraction header;
        CalStarExtraction record;
        const char* reason;
    };
    const CalStarExtraction good = Record("A.bin", 9, 1, {1}, {1}, {1}, {2});
    CalStarExtraction two_lines = Header(20, 20, 1);
    two_lines.header_text = "a\nb";
    const Case cases[] = {
        {"no rows", Header(0, 20, 1), good, "image of 0 rows and 20 cols describes no image"},
        {"too many pixels", Header(65536, 65536, 1), good, "image of 65536 x 65536 pixels is too large"},
        {"header text of two lines", two_lines, good, "the header text must be one line"},
        {"name with a folder", Header(20, 20, 1), Record("a/b.bin", 9, 1, {1}, {1}, {1}, {2}),
         "record name \"a/b.bin\" is not a plain file name"},
        {"divisor 0", Header(20, 20, 1), Record("A.bin", 9, 0, {1}, {1}, {1}, {2}), "divisor 0"},
        // Names the reader would read otherwise: the line end shown escaped, so the reason is one line.
        {"name with a line end", Header(20, 20, 1), Record("A\nB.bin", 9, 1, {1}, {1}, {1}, {2}),
         "record name \"A\\nB.bin\" holds a line end"},
        {"name with a leading tab", Header(20, 20, 1), Record("\tA.bin", 9, 1, {1}, {1}, {1}, {2}),
         "record name \"\\tA.bin\" begins or ends with white space"},
        {"blank name", Header(20, 20, 1), Record("  ", 9, 1, {1}, {1}, {1}, {2}), "record name \"  \" is blank"},
        {"star count", Header(20, 20, 2), good, "record A.bin has 1 stars, not the file's 2"},
    };
    for (const Case& c : cases) {
        ScratchFolder folder;
        const std::string path = folder / "CALSTARS_w.txt";
        try {
            WriteCalStarFile(path, c.header, {&c.record});
            ADD_FAILURE() << c.what << ": written";
        } catch (const Failure& failure) {
            EXPECT_EQ(failure.message.rfind(" Cannot write Cal Star Extraction file " + path + ": " + c.reason, 0), 0u)
                << c.what << ": " << failure.message;
            EXPECT_EQ(failure.kind, FailureKind::kContent) << c.what;
            EXPECT_EQ(failure.path, path) << c.what;
        }
        EXPECT_TRUE(ListFolder(folder.path()).empty()) << c.what;
    }
}

TEST(CalstarsWriter, UnwritableFileCarriesItsPathAndTheSystemsCode) {
    ScratchFolder folder;
    const std::string path = folder / "missing/CALSTARS_w.txt";
    const CalStarExtraction record = Record("A.bin", 9, 1, {1}, {1}, {1}, {2});
    try {
        WriteCalStarFile(path, Header(20, 20, 1), {&record});
        FAIL() << "written";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.path, path);
        EXPECT_NE(failure.system_error, 0);  // ENOENT here, the path-not-found code on Windows
        EXPECT_EQ(failure.kind, FailureKind::kFile);
    }
}

}  // namespace
