#include "calstars/calstars.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "failure.h"
#include "support/test_support.h"

namespace {

struct ReadResult {
    CalStarExtraction record;
    int frames = 0;
    std::string failure;  // empty when the file was read to its end
};

ReadResult ReadAll(const std::string& text) {
    ScratchFolder folder;
    const std::string path = folder / "CALSTARS_t.txt";
    WriteText(path, text);
    ReadResult result;
    try {
        OpenCalStarExtraction(path, result.record);
        while (ReadCalStarFrame(result.record) == 0) ++result.frames;
    } catch (const Failure& failure) {
        result.failure = failure.message;
    }
    return result;
}

// The numeric locale of the test process, put back at the end of the scope.
struct NumericLocaleRestored {
    std::string numeric = std::setlocale(LC_NUMERIC, nullptr);
    ~NumericLocaleRestored() { std::setlocale(LC_NUMERIC, numeric.c_str()); }
};

// An installed locale whose decimal separator is a comma, or null; leaves LC_NUMERIC at "C".
const char* CommaLocale() {
    const char* found = nullptr;
    for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "German_Germany.1252", "fr_FR.UTF-8", "fr_FR"}) {
        if (std::setlocale(LC_NUMERIC, name) != nullptr && std::string(std::localeconv()->decimal_point) == ",") {
            found = name;
            break;
        }
    }
    std::setlocale(LC_NUMERIC, "C");
    return found;
}

const char kHeader[] =
    "free 1\nfree 2\nfree 3\nfree 4\nfree 5\n"
    "Camera = S01 all-sky camera\nCamera number = -7\nNrows = 120\nNcols = 160\nNstars = 1\n";

TEST(CalstarsReader, StarLineGivesPositionIntensityTotalAndBackground) {
    const ReadResult r = ReadAll(std::string(kHeader) + "---\nA.bin\nwindow = 9\ndivisor = 16\n512.25 700.5 2500 3100\n###\n");
    ASSERT_EQ(r.failure, "");
    EXPECT_EQ(r.frames, 1);
    EXPECT_EQ(r.record.header_text, "S01 all-sky camera");
    EXPECT_EQ(r.record.first_int, -7);
    EXPECT_EQ(r.record.rows, 120);
    EXPECT_EQ(r.record.cols, 160);
}

// A host process (the Python interpreter after locale.setlocale) may use a decimal comma: the star
// values still read as in the "C" locale, and what the "C" locale refuses is still refused.
TEST(CalstarsReader, NumbersReadAsInTheCLocaleWhateverTheProcessLocale) {
    const NumericLocaleRestored restored;
    const char* comma = CommaLocale();
    if (comma == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed here";
    const char* star_lines[] = {"512.25 700.5 2500 3100", "1e2 .5 2500 3100",     "0x1.8p3 -2.5 1 2",
                                "+7.75 8. 1 2",           "1,5 2.5 2500 3100",    "3.4028236e38 1e-46 1 2",
                                "inf nan 1 2",            "1.5,2 3 1 2"};
    for (const char* line : star_lines) {
        const std::string text = std::string(kHeader) + "---\nA.bin\nwindow = 9\ndivisor = 16\n" + line + "\n###\n";
        std::setlocale(LC_NUMERIC, "C");
        const ReadResult classic = ReadAll(text);
        std::setlocale(LC_NUMERIC, comma);
        const ReadResult local = ReadAll(text);
        // The same refusal, the scratch folder's name aside.
        EXPECT_EQ(local.failure.substr(0, local.failure.find(" of ")), classic.failure.substr(0, classic.failure.find(" of "))) << line;
        ASSERT_EQ(local.record.row.size(), classic.record.row.size()) << line;
        for (size_t i = 0; i < classic.record.row.size(); ++i) {
            EXPECT_EQ(std::memcmp(&local.record.row[i], &classic.record.row[i], sizeof(float)), 0) << line;
            EXPECT_EQ(std::memcmp(&local.record.col[i], &classic.record.col[i], sizeof(float)), 0) << line;
        }
    }
}

// The reader's numbers are the C library's numbers in the "C" locale, bit for bit and to the same
// end, for every form strtof takes (hexadecimal, infinities, beyond the range, half a number) and a
// quarter of a million random texts; only a NaN's payload is not kept (the reconstitution refuses a
// NaN position whatever its bits).
TEST(CalstarsReader, NumbersAreTheCLibrarysInTheCLocale) {
    ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
    std::vector<std::string> texts = {
        "512.25", "+7.75", "-0", "8.", ".5", "-.5", ".", "-", "+", "+-1", "-+1", "1e2", "1e", "1e+", "1E-3x", "0x1.8p3",
        "0X1P-149", "0x.8p1", "0x", "0xg", "0x-1", "-0x1p+2", "0x1p", "0x1.fffffep127", "0x1p128", "0x1p-150", "1e-40",
        "1e-45", "7e-46", "1e-46", "3.4028235e38", "3.40282357e38", "3.4028236e38", "1e39", "-1e39", "1e400", "1e-400",
        "100000000000000000000000000000000000000000", "0.000000000000000000000000000000000000000000000001", "inf", "INFINITY",
        "-Inf", "infin", "nan", "-nan", "NaN(123)", "nan(", "nan(a_b)", "1,5", "1.5,2", "0009.50", "1.17549435e-38",
        "3.4e+38", "e5", "x", "16777217", "0.1", "1.000000059604644775390625"};
    uint64_t state = 2024;
    const char alphabet[] = "0123456789..eE+-xXpPaAbcdfFinNty(_)";
    for (int k = 0; k < 250000; ++k) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        std::string text;
        for (int n = 1 + static_cast<int>((state >> 59) % 14); n > 0; --n) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            text += alphabet[(state >> 33) % (sizeof alphabet - 1)];
        }
        texts.push_back(text);
    }
    for (const std::string& text : texts) {
        char* c_end = nullptr;
        const float expected = std::strtof(text.c_str(), &c_end);
        float value = -7.0f;
        const char* end = CalStar_ReadFloat(text.data(), text.data() + text.size(), value);
        ASSERT_EQ(end - text.data(), c_end - text.c_str()) << text;
        if (end == text.data()) continue;
        if (std::isnan(expected)) {
            EXPECT_TRUE(std::isnan(value)) << text;
            EXPECT_EQ(std::signbit(value), std::signbit(expected)) << text;
            continue;
        }
        EXPECT_EQ(std::memcmp(&value, &expected, sizeof value), 0) << text << ": " << value << " against " << expected;
    }
}

// A host process may switch the locale in one thread while another reads (Python's locale.setlocale
// beside a reading thread): every read still gives the "C" locale's values.
TEST(CalstarsReader, NumbersReadTheSameWhileAnotherThreadSwitchesTheLocale) {
    const NumericLocaleRestored restored;
    const char* comma = CommaLocale();
    if (comma == nullptr) GTEST_SKIP() << "no locale with a decimal comma is installed here";
    constexpr int kStars = 2000;
    std::string text = "free 1\nfree 2\nfree 3\nfree 4\nfree 5\nCamera = C\nCamera number = 1\nNrows = 120\nNcols = 160\n";
    text += "Nstars = " + std::to_string(kStars) + "\n---\nA.bin\nwindow = 9\ndivisor = 16\n";
    for (int i = 0; i < kStars; ++i) text += std::to_string(i % 100) + ".25 " + std::to_string(i % 150) + ".5 2500 3100\n";
    text += "###\n";
    std::atomic<bool> done{false};
    std::thread switcher([&] {
        while (!done.load()) {
            std::setlocale(LC_NUMERIC, comma);
            std::setlocale(LC_NUMERIC, "C");
        }
    });
    ScratchFolder folder;
    WriteText(folder / "CALSTARS_t.txt", text);
    int wrong = 0;
    for (int round = 0; round < 30; ++round) {
        CalStarExtraction record;
        try {
            OpenCalStarExtraction(folder / "CALSTARS_t.txt", record);
            if (ReadCalStarFrame(record) != 0) ++wrong;
            for (int i = 0; i < kStars && record.row.size() == kStars; ++i) {
                if (record.row[i] != static_cast<float>(i % 100) + 0.25f || record.col[i] != static_cast<float>(i % 150) + 0.5f) ++wrong;
            }
        } catch (const Failure&) {
            ++wrong;  // a good file refused
        }
    }
    done.store(true);
    switcher.join();
    EXPECT_EQ(wrong, 0);
}

TEST(CalstarsReader, FieldsOfOneRecord) {
    ScratchFolder folder;
    const std::string path = folder / "CALSTARS_t.txt";
    WriteText(path, std::string(kHeader) + "---\nA.bin\nwindow = 9\ndivisor = 16\n512.25 700.5 2500 3100\n###\n");
    CalStarExtraction record;
    OpenCalStarExtraction(path, record);
    ASSERT_EQ(ReadCalStarFrame(record), 0);
    EXPECT_EQ(record.name, "A.bin");
    EXPECT_EQ(record.window, 9);
    EXPECT_EQ(record.divisor, 16);
    EXPECT_EQ(record.row[0], 512.25f);
    EXPECT_EQ(record.col[0], 700.5f);
    EXPECT_EQ(record.intensity[0], 2500);
    EXPECT_EQ(record.total[0], 3100);
    EXPECT_EQ(record.background[0], 37);
    EXPECT_EQ(ReadCalStarFrame(record), 1);
    EXPECT_TRUE(record.row.empty());  // the end marker frees the star arrays
    EXPECT_FALSE(record.reading.open);
}

// Closed before its end marker, the file's text and star arrays go; the header and the record's name
// stay, and the next read meets the end.
TEST(CalstarsReader, CloseBeforeTheEndFreesTheFileAndKeepsTheHeader) {
    ScratchFolder folder;
    const std::string path = folder / "CALSTARS_t.txt";
    WriteText(path, std::string(kHeader) + "---\nA.bin\nwindow = 9\ndivisor = 16\n512.25 700.5 2500 3100\n---\nB.bin\n");
    CalStarExtraction record;
    OpenCalStarExtraction(path, record);
    ASSERT_EQ(ReadCalStarFrame(record), 0);
    CalStarExtraction_Close(record);
    EXPECT_FALSE(record.reading.open);
    EXPECT_TRUE(record.reading.text.empty() && record.row.empty() && record.intensity.empty());
    EXPECT_EQ(record.name, "A.bin");
    EXPECT_EQ(record.nstars, 1);
    EXPECT_EQ(ReadCalStarFrame(record), 1);
    CalStarExtraction_Close(record);  // closing a closed record does nothing
}

// A record goes to a worker (or to Python) while the reader reads on: the copy holds the record and
// its path, and none of the file's text; the reader's place is untouched.
TEST(CalstarsReader, CopyOfARecordHoldsTheRecordAndNoneOfTheFile) {
    ScratchFolder folder;
    const std::string path = folder / "CALSTARS_t.txt";
    WriteText(path, std::string(kHeader) + "---\nA.bin\nwindow = 9\ndivisor = 16\n512.25 700.5 2500 3100\n" +
                        "---\nB.bin\nwindow = 3\ndivisor = 1\n1 2 3 4\n###\n");
    CalStarExtraction reader;
    OpenCalStarExtraction(path, reader);
    ASSERT_EQ(ReadCalStarFrame(reader), 0);
    CalStarExtraction copy;
    CalStarExtraction_CopyRecord(reader, copy);
    EXPECT_TRUE(copy.reading.text.empty());
    EXPECT_FALSE(copy.reading.open);
    EXPECT_EQ(copy.path, path);
    EXPECT_EQ(copy.header_text, "S01 all-sky camera");
    EXPECT_EQ((std::vector<int32_t>{copy.first_int, copy.rows, copy.cols, copy.nstars, copy.window, copy.divisor}),
              (std::vector<int32_t>{-7, 120, 160, 1, 9, 16}));
    EXPECT_EQ(copy.name, "A.bin");
    EXPECT_EQ(copy.row, reader.row);
    EXPECT_EQ(copy.col, reader.col);
    EXPECT_EQ(copy.intensity, reader.intensity);
    EXPECT_EQ(copy.total, reader.total);
    EXPECT_EQ(copy.background_level, std::vector<int32_t>{37});
    ASSERT_EQ(ReadCalStarFrame(reader), 0);
    EXPECT_EQ(reader.name, "B.bin");
    EXPECT_EQ(copy.name, "A.bin");
}

struct StarValueCase {
    const char* star_line;
    int divisor;
    uint16_t intensity, total, background;
    int32_t level;
};

TEST(CalstarsReader, StarValuesKeepTheirLow16BitsAndTheQuotientIsSigned) {
    const StarValueCase cases[] = {
        {"1 1 2500 3100", 16, 2500, 3100, 37, 37},
        {"1 1 100 99", 1, 100, 99, 65535, -1},        // negative quotient stored as two's complement
        {"1 1 65636 70000", 1, 100, 4464, 4364, 4364},  // 65536 + 100 and 65536 + 4464
        {"1 1 100 120", -4, 100, 120, 65531, -5},     // a negative divisor divides like any other
        {"1 1 -1 5", 1, 65535, 5, 6, -65530},  // -1 keeps its low 16 bits: 65535
    };
    for (const StarValueCase& c : cases) {
        ScratchFolder folder;
        WriteText(folder / "C.txt", std::string(kHeader) + "---\nA.bin\nwindow = 9\ndivisor = " + std::to_string(c.divisor) +
                                        "\n" + c.star_line + "\n###\n");
        CalStarExtraction record;
        OpenCalStarExtraction(folder / "C.txt", record);
        ASSERT_EQ(ReadCalStarFrame(record), 0) << c.star_line;
        EXPECT_EQ(record.intensity[0], c.intensity) << c.star_line;
        EXPECT_EQ(record.total[0], c.total) << c.star_line;
        EXPECT_EQ(record.background[0], c.background) << c.star_line;
        EXPECT_EQ(record.background_level[0], c.level) << c.star_line;
    }
}

struct LayoutCase {
    const char* what;
    std::string text;
    int frames;
};

TEST(CalstarsReader, TextLayoutsThatReadAlike) {
    const std::string star = "10.5 20.5 1000 1100\n";
    const LayoutCase cases[] = {
        {"blank lines between header lines and records",
         "f1\n\nf2\nf3\n\n\nf4\nf5\nCam = x\n\nN = 1\nNrows = 20\n\nNcols = 20\nNstars = 1\n\n---\n\nA.bin\nwindow = 3\n\ndivisor = 1\n\n" +
             star + "\n\n###\n",
         1},
        {"CRLF line ends", "f1\r\nf2\r\nf3\r\nf4\r\nf5\r\nCam = x\r\nN = 1\r\nNrows = 20\r\nNcols = 20\r\nNstars = 1\r\n---\r\nA.bin\r\nwindow = 3\r\ndivisor = 1\r\n10.5 20.5 1000 1100\r\n###\r\n", 1},
        {"any text as keys", "f1\nf2\nf3\nf4\nf5\nx = y\na=1\nb   =20\nc= 20\nd =1\n---\nA.bin\nw=3\nd =1\n" + star + "###\n", 1},
        {"a hash anywhere in a separator ends the file", std::string(kHeader) + "--#--\nA.bin\nwindow = 3\ndivisor = 1\n" + star, 0},
        {"end of input where a separator belongs ends the file", std::string(kHeader) + "---\nA.bin\nwindow = 3\ndivisor = 1\n" + star, 1},
        {"first record is the end marker", std::string(kHeader) + "####\n", 0},
        {"two records", std::string(kHeader) + "---\nA.bin\nwindow = 3\ndivisor = 1\n" + star + "=====\nB.bin\nwindow = 5\ndivisor = 2\n" + star + "#\n", 2},
        {"star values spread over blanks and tabs", std::string(kHeader) + "---\nA.bin\nwindow = 3\ndivisor = 1\n  10.5\t20.5   1000 1100  \n###\n", 1},
    };
    for (const LayoutCase& c : cases) {
        const ReadResult r = ReadAll(c.text);
        EXPECT_EQ(r.failure, "") << c.what;
        EXPECT_EQ(r.frames, c.frames) << c.what;
    }
}

struct BlankStartCase {
    const char* what;
    std::string text;  // read with and without its first line end
};

TEST(CalstarsReader, BlankFirstLineGivesTheHeaderOfTheFileWithoutIt) {
    const std::string records = "---\nA.bin\nwindow = 9\ndivisor = 16\n512.25 700.5 2500 3100\n###\n";
    const BlankStartCase cases[] = {
        {"five free lines", "\n" + std::string(kHeader) + records},
        {"CRLF line ends", "\r\nf1\r\nf2\r\nf3\r\nf4\r\nf5\r\nCamera = S01 all-sky camera\r\nN = -7\r\nNrows = 120\r\n"
                           "Ncols = 160\r\nNstars = 1\r\n" + records},
        {"more blank lines among the free lines", "\n\nf1\n\nf2\nf3\nf4\n\nf5\nCamera = S01 all-sky camera\nN = -7\n"
                                                   "Nrows = 120\nNcols = 160\nNstars = 1\n" + records},
    };
    for (const BlankStartCase& c : cases) {
        const ReadResult blank = ReadAll(c.text);
        const ReadResult plain = ReadAll(c.text.substr(c.text[0] == '\r' ? 2 : 1));
        ASSERT_EQ(blank.failure, "") << c.what;
        ASSERT_EQ(plain.failure, "") << c.what;
        EXPECT_EQ(blank.frames, 1) << c.what;
        EXPECT_EQ(blank.record.header_text, "S01 all-sky camera") << c.what;
        EXPECT_EQ(blank.record.header_text, plain.record.header_text) << c.what;
        EXPECT_EQ(blank.record.first_int, -7) << c.what;
        EXPECT_EQ(blank.record.rows, 120) << c.what;
        EXPECT_EQ(blank.record.cols, 160) << c.what;
        EXPECT_EQ(blank.record.nstars, 1) << c.what;
    }
}

TEST(CalstarsReader, CrlfNeverLeavesACarriageReturnInANameOrValue) {
    ScratchFolder folder;
    WriteText(folder / "C.txt", "f1\r\nf2\r\nf3\r\nf4\r\nf5\r\nCam = text\r\nN = 1\r\nNrows = 20\r\nNcols = 20\r\nNstars = 1\r\n---\r\nA.bin\r\nwindow = 3\r\ndivisor = 1\r\n1 2 3 4\r\n#\r\n");
    CalStarExtraction record;
    OpenCalStarExtraction(folder / "C.txt", record);
    ASSERT_EQ(ReadCalStarFrame(record), 0);
    EXPECT_EQ(record.header_text, "text");
    EXPECT_EQ(record.name, "A.bin");
}

struct RefusalCase {
    const char* what;
    std::string text;
    const char* message_part;
};

TEST(CalstarsReader, MalformedInputIsRefusedWithFileAndLine) {
    const std::string head = "f1\nf2\nf3\nf4\nf5\nCam = x\nN = 1\n";
    const std::string good_header = head + "Nrows = 20\nNcols = 20\nNstars = 1\n";
    const std::string star = "10.5 20.5 1000 1100\n";
    const std::string long_line(256, 'x');
    const RefusalCase cases[] = {
        {"empty file", "", "header cut short at line 1"},
        {"header cut after three lines", "f1\nf2\nf3\n", "header cut short at line 4"},
        {"a blank line and nothing else", "\n", "header cut short at line 2"},
        {"blank lines only", "\n\n \n\n", "header cut short at line 5"},
        {"a blank line and free lines without a key line", "\nf1\nf2\nf3\n", "header cut short at line 5"},
        // After a blank first line the key takes in the lines up to the first "=": one in a free line
        // would put the values on the wrong lines.
        {"a blank line and an equals sign in a free line", "\nf1\nf2 = x\nf3\nf4\nf5\nCam = x\nN = 1\nNrows = 20\nNcols = 20\nNstars = 1\n#\n",
         "expected \"key = integer\" for first header integer at line 4"},
        {"a blank line and six lines without a key line", "\nf1\nf2\nf3\nf4\nf5\nN = 1\nNrows = 20\nNcols = 20\nNstars = 1\n#\n",
         "expected \"key = integer\" for nstars at line 11"},
        {"a blank line and a free line over 255 characters", "\nf1\n" + long_line + "\nf3\n", "longer than 255 characters at line 3"},
        {"six free lines", "f1\nf2\nf3\nf4\nf5\nf6\nCam = x\nN = 1\nNrows = 20\nNcols = 20\nNstars = 1\n#\n",
         "expected \"key = text\" as the sixth header line at line 6"},
        {"rows zero", head + "Nrows = 0\nNcols = 20\nNstars = 1\n#\n", "describes no image at line 8"},
        {"cols negative", head + "Nrows = 20\nNcols = -3\nNstars = 1\n#\n", "describes no image"},
        {"pixel count beyond 32 bits", head + "Nrows = 70000\nNcols = 70000\nNstars = 1\n#\n", "too large"},
        {"nstars negative", head + "Nrows = 20\nNcols = 20\nNstars = -1\n#\n", "nstars -1 does not fit the file at line 10"},
        {"nstars beyond the file's size", head + "Nrows = 20\nNcols = 20\nNstars = 100000\n#\n", "does not fit the file"},
        {"text where rows belong", head + "Nrows = many\nNcols = 20\nNstars = 1\n#\n", "rows is not an integer at line 8"},
        {"number beyond 32 bits", head + "Nrows = 99999999999\nNcols = 20\nNstars = 1\n#\n", "out of the 32-bit range"},
        {"key line without equals", head + "Nrows 20\nNcols = 20\nNstars = 1\n#\n", "expected \"key = integer\" for rows at line 8"},
        {"separator line over 255 characters", good_header + long_line + "\n", "longer than 255 characters at line 11"},
        {"name over 255 characters", good_header + "---\n" + long_line + "\n", "longer than 255 characters at line 12"},
        {"free header line over 255 characters", long_line + "\n", "longer than 255 characters at line 1"},
        {"record cut before its name", good_header + "---\n", "end of input inside a record at line 12"},
        {"record cut before its stars", good_header + "---\nA.bin\nwindow = 3\ndivisor = 1\n", "end of input inside a record at line 15"},
        {"star line with three values", good_header + "---\nA.bin\nwindow = 3\ndivisor = 1\n1 2 3\n#\n", "two numbers and two integers at line 15"},
        {"star line of text", good_header + "---\nA.bin\nwindow = 3\ndivisor = 1\nstar here\n#\n", "two numbers and two integers"},
        {"fewer star lines than nstars", head + "Nrows = 20\nNcols = 20\nNstars = 2\n---\nA.bin\nwindow = 3\ndivisor = 1\n" + star + "#####\n", "two numbers and two integers at line 16"},
        {"more star lines than nstars", good_header + "---\nA.bin\nwindow = 3\ndivisor = 1\n" + star + star + "---\nB.bin\nwindow = 3\ndivisor = 1\n" + star + "#\n", "expected \"key = integer\" for window at line 18"},
        {"divisor zero", good_header + "---\nA.bin\nwindow = 3\ndivisor = 0\n" + star + "#\n", "divisor 0 at line 14"},
        {"name with a slash", good_header + "---\n../A.bin\nwindow = 3\ndivisor = 1\n" + star + "#\n", "is not a plain file name at line 12"},
        {"name with a backslash", good_header + "---\nsub\\A.bin\nwindow = 3\ndivisor = 1\n" + star + "#\n", "is not a plain file name"},
        {"name ..", good_header + "---\n..\nwindow = 3\ndivisor = 1\n" + star + "#\n", "is not a plain file name"},
    };
    for (const RefusalCase& c : cases) {
        const ReadResult r = ReadAll(c.text);
        EXPECT_NE(r.failure.find(c.message_part), std::string::npos) << c.what << ": got \"" << r.failure << "\"";
        EXPECT_EQ(r.failure.front(), ' ') << c.what;
        EXPECT_NE(r.failure.find("CALSTARS_t.txt"), std::string::npos) << c.what;
        EXPECT_EQ(r.failure.find('\n'), r.failure.size() - 1) << c.what << ": one line";
    }
}

TEST(CalstarsReader, MissingFileIsRefusedWithTheOriginalMessage) {
    CalStarExtraction record;
    try {
        OpenCalStarExtraction("/nonexistent/CALSTARS_x.txt", record);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message, " Cannot open Cal Star Extraction file /nonexistent/CALSTARS_x.txt for reading \n");
        EXPECT_EQ(failure.wait, WaitKind::None);
    }
}

// What the Python module turns into its exception classes: the file, the system's code, the line.
TEST(CalstarsReader, FailuresCarryTheFileTheSystemsCodeAndTheLine) {
    ScratchFolder folder;
    struct Case {
        const char* what;
        std::string path;
        const char* message_part;
        int system_error;
        FailureKind kind;
        int line;
    };
    const std::string bad = folder / "CALSTARS_bad.txt";
    WriteText(bad, std::string(kHeader) + "---\nA.bin\nwindow = 9\ndivisor = 0\n1 1 2 3\n###\n");
    const Case cases[] = {
        {"missing file", folder / "CALSTARS_none.txt", " Cannot open Cal Star Extraction file ", ENOENT, FailureKind::kFile, 0},
        {"folder", folder.path(), " is a folder \n", EISDIR, FailureKind::kFile, 0},
        {"divisor 0 on line 14", bad, " ReadCalStarFrame: divisor 0 at line 14 of ", 0, FailureKind::kContent, 14},
    };
    for (const Case& c : cases) {
        CalStarExtraction record;
        try {
            OpenCalStarExtraction(c.path, record);
            while (ReadCalStarFrame(record) == 0) {
            }
            ADD_FAILURE() << c.what << ": no failure";
        } catch (const Failure& failure) {
            EXPECT_NE(failure.message.find(c.message_part), std::string::npos) << c.what << ": " << failure.message;
            EXPECT_EQ(failure.path, c.path) << c.what;
            EXPECT_EQ(failure.system_error, c.system_error) << c.what;
            EXPECT_EQ(failure.kind, c.kind) << c.what;
            EXPECT_EQ(failure.line, c.line) << c.what;
        }
    }
}

TEST(CalstarsReader, StarFromMemoryKeepsTheReadersValues) {
    CalStarExtraction record;
    record.divisor = 4;
    record.row.resize(1);
    record.col.resize(1);
    record.intensity.resize(1);
    record.total.resize(1);
    record.background.resize(1);
    record.background_level.resize(1);
    // 65636 keeps its low 16 bits (100); (70000 mod 65536 - 100) / 4 = 1091.
    CalStarExtraction_SetStar(record, 0, 1.5f, 2.25f, 65636, 70000);
    EXPECT_EQ(record.intensity[0], 100);
    EXPECT_EQ(record.total[0], 4464);
    EXPECT_EQ(record.background_level[0], 1091);
    EXPECT_EQ(record.background[0], 1091);
    // The total for a level gives the level back, a negative one too (the quotient truncates toward zero).
    for (const int32_t level : {25, 0, -3}) {
        const int64_t total = CalStarStar_TotalForLevel(1800, level, 4);
        EXPECT_EQ(total, 1800 + 4 * level);
        CalStarExtraction_SetStar(record, 0, 1.5f, 2.25f, 1800, static_cast<int32_t>(total));
        EXPECT_EQ(record.background_level[0], level);
    }
    EXPECT_EQ(CalStarFrame_Refusal("A.bin", 4), "");
    EXPECT_EQ(CalStarFrame_Refusal("A.bin", 0), "divisor 0");
    EXPECT_EQ(CalStarFrame_Refusal("a/b", 4), "record name \"a/b\" is not a plain file name");
}

TEST(CalstarsReader, PlainFileNames) {
    const std::pair<const char*, bool> cases[] = {
        {"IMG_0001.bin", true}, {"a b.bin", true}, {"", false}, {".", false}, {"..", false},
        {"a/b", false}, {"a\\b", false}, {"...", true},
    };
    for (const auto& [name, plain] : cases) EXPECT_EQ(IsPlainFileName(name), plain) << name;
    EXPECT_TRUE(IsPlainFileName(std::string(255, 'n')));
    EXPECT_FALSE(IsPlainFileName(std::string(256, 'n')));
}

}  // namespace
