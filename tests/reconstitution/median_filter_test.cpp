#include "reconstitution/median_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <vector>

#include "failure.h"

namespace {

using Image = std::vector<uint16_t>;

Image Filter(const Image& input, int rows, int cols) {
    Image output(input.size(), 0xDEAD);
    Median_Filter_Sort(input.data(), cols, output.data(), cols, rows, cols);
    return output;
}

Image Field15(uint16_t level, int count, uint16_t odd_value) {
    Image image(225, level);
    for (int i = 0; i < count; ++i) image[(i * 7) % 225] = odd_value;  // 7 is prime to 225: distinct pixels
    return image;
}

TEST(MedianFilter, SingleWindowImagesTakeTheTrimmedMeanEverywhere) {
    Image permutation(225);
    std::iota(permutation.begin(), permutation.end(), 0);
    std::reverse(permutation.begin(), permutation.begin() + 100);
    Image ones_and_zeros(225, 1);
    for (int i = 0; i < 57; ++i) ones_and_zeros[i * 3] = 0;
    struct Case {
        const char* what;
        Image input;
        uint16_t expected;
    };
    const Case cases[] = {
        {"constant 0", Image(225, 0), 0},
        {"constant 20", Image(225, 20), 20},
        {"constant 579", Image(225, 579), 579},
        {"constant 60000 (sum beyond 16 bits)", Image(225, 60000), 60000},
        {"values 0..224", permutation, 112},
        {"168 ones and 57 zeros", ones_and_zeros, 0},
        {"56 values of 255 in a field of 20", Field15(20, 56, 255), 20},
        {"57 values of 255 in a field of 20", Field15(20, 57, 255), 22},
        {"56 zeros in a field of 20", Field15(20, 56, 0), 20},
        {"57 zeros in a field of 20", Field15(20, 57, 0), 19},
    };
    for (const Case& c : cases) {
        const Image output = Filter(c.input, 15, 15);
        EXPECT_EQ(output, Image(225, c.expected)) << c.what;
    }
}

TEST(MedianFilter, InteriorIsTheTrimmedMeanAndBordersCopyTheNearestInteriorPixel) {
    const int rows = 20;
    const int cols = 30;
    Image input(rows * cols);
    uint32_t state = 99;
    for (auto& value : input) value = static_cast<uint16_t>((state = state * 1664525u + 1013904223u) >> 24);
    const Image output = Filter(input, rows, cols);
    for (int y = 7; y <= rows - 8; ++y) {
        for (int x = 7; x <= cols - 8; ++x) {
            std::vector<uint16_t> window;
            for (int i = -7; i <= 7; ++i) {
                for (int j = -7; j <= 7; ++j) window.push_back(input[(y + i) * cols + x + j]);
            }
            std::sort(window.begin(), window.end());
            const uint32_t sum = std::accumulate(window.begin() + 56, window.begin() + 169, 0u);
            ASSERT_EQ(output[y * cols + x], sum / 113) << y << "," << x;
        }
    }
    const int equal_pairs[][4] = {{0, 0, 7, 7}, {19, 29, 12, 22}, {3, 15, 7, 15}, {10, 2, 10, 7}, {0, 29, 7, 22}, {19, 0, 12, 7}};
    for (const auto& pair : equal_pairs) {
        EXPECT_EQ(output[pair[0] * cols + pair[1]], output[pair[2] * cols + pair[3]]) << pair[0] << "," << pair[1];
    }
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            const int ir = std::min(std::max(r, 7), rows - 8);
            const int ic = std::min(std::max(c, 7), cols - 8);
            ASSERT_EQ(output[r * cols + c], output[ir * cols + ic]) << r << "," << c;
        }
    }
}

TEST(MedianFilter, StrideBelow15FailsRightAfterTheFirstOutputPixel) {
    const Image input(15 * 15, 5);
    Image output(15 * 15, 0xDEAD);
    try {
        Median_Filter_Sort(input.data(), 14, output.data(), 15, 15, 15);
        FAIL() << "no failure";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message, " problem in median sorting routine Median_Filter_Sort\n");
        EXPECT_EQ(failure.wait, WaitKind::Character);
    }
    EXPECT_EQ(output[7 * 15 + 7], 5);
}

TEST(MedianFilter, ImagesBelow15x15AreRefusedUntouched) {
    const std::pair<int, int> sizes[] = {{14, 15}, {15, 14}, {1, 1}};
    for (const auto& [rows, cols] : sizes) {
        const Image input(rows * cols, 3);
        Image output(rows * cols, 0xDEAD);
        EXPECT_THROW(Median_Filter_Sort(input.data(), cols, output.data(), cols, rows, cols), Failure) << rows << "x" << cols;
        EXPECT_EQ(output, Image(rows * cols, 0xDEAD));
    }
}

}  // namespace
