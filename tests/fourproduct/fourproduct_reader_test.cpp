// The checked reader: what it refuses, and that it gives back what the writer stored.
#include "fourproduct/fourproduct_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "failure.h"
#include "support/test_support.h"

namespace {

void PutWord(std::string& bytes, int32_t value) {
    const uint32_t word = static_cast<uint32_t>(value);
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>((word >> shift) & 0xFF);
}

// A file of the given header words followed by `body` bytes.
std::string HeaderThenBody(int32_t rows, int32_t cols, int32_t bits, size_t body) {
    std::string bytes;
    for (int32_t word : {rows, cols, bits, 256, 1}) PutWord(bytes, word);
    return bytes + std::string(body, '\x05');
}

std::string FailureOfReading(const std::string& path) {
    try {
        FourProduct record;
        FourProduct_ReadFile(path, record);
    } catch (const Failure& failure) {
        return failure.message;
    }
    return "";
}

TEST(FourProductReader, RefusesFilesWhoseHeaderOrSizeDoNotAddUp) {
    ScratchFolder folder;
    const struct {
        const char* name;
        std::string bytes;
        const char* expected;  // after " Four-product file <path> "
    } cases[] = {
        {"no_rows", HeaderThenBody(0, 5, 8, 0), "has 0 rows and 5 columns: both must be at least 1 \n"},
        {"negative_cols", HeaderThenBody(4, -3, 8, 0), "has 4 rows and -3 columns: both must be at least 1 \n"},
        {"sixteen_bits", HeaderThenBody(2, 3, 16, 24), "has 16 bits per pixel, not 8 \n"},
        {"one_byte_short", HeaderThenBody(2, 3, 8, 23), "is 43 bytes, not 20 + 4 x 2 x 3 = 44 \n"},
        {"one_byte_long", HeaderThenBody(2, 3, 8, 25), "is 45 bytes, not 20 + 4 x 2 x 3 = 44 \n"},
        {"huge_header_tiny_file", HeaderThenBody(2147483647, 2147483647, 8, 4),
         "is 24 bytes, not 20 + 4 x 2147483647 x 2147483647 = 18446744056529682456 \n"},
        {"shorter_than_header", std::string(12, '\0'), "is 12 bytes, shorter than its 20-byte header \n"},
        {"empty", "", "is 0 bytes, shorter than its 20-byte header \n"},
    };
    for (const auto& c : cases) {
        const std::string path = folder / c.name;
        WriteText(path, c.bytes);
        EXPECT_EQ(FailureOfReading(path), " Four-product file " + path + " " + c.expected) << c.name;
    }
    EXPECT_EQ(FailureOfReading(folder / "missing"), " Cannot open four-product file " + (folder / "missing") + " for reading \n");
}

TEST(FourProductReader, GivesBackTheHeaderAndPlanesTheWriterStored) {
    ScratchFolder folder;
    WritePatternFile(folder / "f.bin", 3, 5, -7);
    FourProduct file;
    FourProduct_ReadFile(folder / "f.bin", file);
    EXPECT_EQ(file.rows, 3);
    EXPECT_EQ(file.cols, 5);
    EXPECT_EQ(file.bits_per_pixel, 8);
    EXPECT_EQ(file.header_word4, 256);
    EXPECT_EQ(file.first_int_magnitude, 7);
    for (int product = 0; product < kProducts; ++product) {
        const std::vector<uint8_t> plane = PlaneBytes(file, product);
        ASSERT_EQ(plane.size(), 15u);
        for (size_t p = 0; p < 15; ++p) EXPECT_EQ(plane[p], PatternValue(product, p)) << product << " " << p;
    }
}

// Read into the caller's memory: the planes of the file in file order, and nothing asked of the
// caller before the header is checked.
TEST(FourProductReader, ReadsIntoTheCallersMemoryOnceTheHeaderIsChecked) {
    ScratchFolder folder;
    WritePatternFile(folder / "f.bin", 3, 5, -7);
    FourProduct file;
    FourProduct_ReadFile(folder / "f.bin", file);
    std::vector<uint8_t> planes;
    FourProduct into;
    FourProduct_ReadFileInto(folder / "f.bin", into, [&](const FourProduct& header) {
        planes.resize(static_cast<size_t>(kProducts * header.rows * header.cols));
        return planes.data();
    });
    EXPECT_EQ(into.rows, 3);
    EXPECT_EQ(into.cols, 5);
    EXPECT_EQ(into.first_int_magnitude, 7);
    for (int product = 0; product < kProducts; ++product) {
        EXPECT_EQ(std::vector<uint8_t>(planes.begin() + product * 15, planes.begin() + (product + 1) * 15),
                  file.planes[FourProduct_Slot(file, product)])
            << product;
    }
    WriteText(folder / "short.bin", HeaderThenBody(2, 3, 8, 23));
    bool asked = false;
    EXPECT_THROW(FourProduct_ReadFileInto(folder / "short.bin", into, [&](const FourProduct&) {
                     asked = true;
                     return planes.data();
                 }),
                 Failure);
    EXPECT_FALSE(asked);
}

}  // namespace
