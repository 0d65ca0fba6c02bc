#include "reconstitution/median_filter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <string>
#include <vector>

#include "failure.h"

#include "support/counting_allocator.h"
#include "support/test_support.h"

#include "splitmix64.h"

namespace {

using Image = std::vector<uint16_t>;
using Random = SplitMix64;

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

// Image kinds for the filter: noise over the whole range, smooth ramps (the pipeline's case, where
// the cuts move little), a few distinct values (long runs of equal values around the cuts).
enum class ImageKind { kNoise, kSmooth, kFewValues };

std::vector<uint16_t> MakeImage(Random& random, int32_t stride, int32_t rows, ImageKind kind, int32_t max_value) {
    std::vector<uint16_t> image(static_cast<size_t>(stride) * rows);
    const double slope_r = random.Uniform() * 4.0, slope_c = random.Uniform() * 4.0;
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < stride; ++c) {
            int32_t v = 0;
            switch (kind) {
                case ImageKind::kNoise: v = random.Between(0, max_value); break;
                case ImageKind::kSmooth: v = static_cast<int32_t>(r * slope_r + c * slope_c) % (max_value + 1); break;
                case ImageKind::kFewValues: v = random.Between(0, 3) * (max_value / 3); break;
            }
            image[static_cast<size_t>(r) * stride + c] = static_cast<uint16_t>(v);
        }
    }
    return image;
}

struct FilterCase {
    int32_t rows, cols, stride_extra, max_value;
    bool range_applies;
};

TEST(Differential, MedianFilterRangeMatchesSortedListOnRandomImages) {
    const FilterCase cases[] = {
        {15, 15, 0, 255, true},   {16, 15, 0, 255, true},  {15, 40, 3, 255, true},  {20, 30, 0, 255, true},
        {18, 22, 0, 255, true},   {18, 23, 4, 255, true},  {17, 37, 0, 255, true},  {70, 101, 0, 90, true},
        {20, 30, 0, 255, true},   {19, 31, 2, 255, true},  {16, 46, 0, 255, true},
        {47, 33, 5, 255, true},   {64, 48, 0, 255, true},  {31, 90, 1, 255, true},  {40, 40, 0, 1, true},
        {40, 40, 0, 256, false},  {33, 21, 2, 579, false}, {25, 25, 0, 65535, false},
    };
    Random random{11};
    for (const FilterCase& c : cases) {
        for (const ImageKind kind : {ImageKind::kNoise, ImageKind::kSmooth, ImageKind::kFewValues}) {
            for (int repeat = 0; repeat < 4; ++repeat) {
                const int32_t stride = c.cols + c.stride_extra;
                std::vector<uint16_t> input = MakeImage(random, stride, c.rows, kind, c.max_value);
                input[static_cast<size_t>(random.Between(0, c.rows - 1)) * stride + random.Between(0, c.cols - 1)] =
                    static_cast<uint16_t>(c.max_value);
                std::vector<uint16_t> literal(input.size(), 7);
                Median_Filter_Sort(input.data(), stride, literal.data(), stride, c.rows, c.cols);
                SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols) + " max " + std::to_string(c.max_value) +
                             " kind " + std::to_string(static_cast<int>(kind)));
                EXPECT_EQ(Median_Filter_RangeApplies(input.data(), stride, c.rows, c.cols), c.range_applies);
                ForEachVectorTarget([&](const std::string& target) {
                    std::vector<uint16_t> fast(input.size(), 7);
                    Median_Filter_Range(input.data(), stride, fast.data(), stride, c.rows, c.cols);
                    ASSERT_EQ(literal, fast) << target;
                });
                if (HasFatalFailure()) return;
            }
        }
    }
}

// Images chosen against the range form: the full range 0..255 in every window (noise, checkerboards
// of 0 and 255: every threshold counted), checkerboards of two neighbouring values, every value once
// in each window, constant images of the extreme levels (no threshold at all), narrow ranges over a
// constant level, one pixel of another value in a constant field (windows of one value beside windows
// that are not), stripes wider than one column, a level of 256 or more (the literal form decides),
// on small and odd widths and with row strides wider than the image.
enum class Adversary { kFullNoise, kCheckerExtremes, kCheckerNeighbours, kEveryValueOnce, kConstant0, kConstant255,
                       kNarrowRange, kOneOddPixel, kStripes, kLevel256 };

std::vector<uint16_t> MakeAdversary(Random& random, int32_t stride, int32_t rows, Adversary kind) {
    std::vector<uint16_t> image(static_cast<size_t>(stride) * rows);
    const int32_t base = random.Between(0, 240);
    const int32_t spread = random.Between(1, 15);
    for (int32_t r = 0; r < rows; ++r) {
        for (int32_t c = 0; c < stride; ++c) {
            int32_t v = 0;
            switch (kind) {
                case Adversary::kFullNoise: v = random.Between(0, 255); break;
                case Adversary::kCheckerExtremes: v = (r + c) % 2 == 0 ? 0 : 255; break;
                case Adversary::kCheckerNeighbours: v = base + (r + c) % 2; break;
                case Adversary::kEveryValueOnce: v = (r % 15) * 15 + (c % 15) + (r / 15 + c / 15) % 31; break;
                case Adversary::kConstant0: v = 0; break;
                case Adversary::kConstant255: v = 255; break;
                case Adversary::kNarrowRange: v = random.Between(0, 9) == 0 ? base + random.Between(0, spread) : base; break;
                case Adversary::kOneOddPixel: v = base; break;
                case Adversary::kStripes: v = (c / 3) % 2 == 0 ? base : base + spread; break;
                case Adversary::kLevel256: v = random.Between(250, 255); break;
            }
            image[static_cast<size_t>(r) * stride + c] = static_cast<uint16_t>(v);
        }
    }
    if (kind == Adversary::kOneOddPixel || kind == Adversary::kLevel256) {
        const int32_t r = random.Between(0, rows - 1), c = random.Between(0, stride - 1);
        image[static_cast<size_t>(r) * stride + c] = static_cast<uint16_t>(kind == Adversary::kLevel256 ? 256 : random.Between(0, 255));
    }
    return image;
}

TEST(Differential, MedianFilterRangeMatchesSortedListOnAdversarialImages) {
    struct Size {
        int32_t rows, cols, stride_extra;
    };
    const Size sizes[] = {{15, 15, 0}, {15, 46, 0}, {16, 47, 1}, {22, 48, 0}, {17, 79, 3}, {30, 100, 0}, {40, 16, 5}};
    const Adversary kinds[] = {Adversary::kFullNoise,     Adversary::kCheckerExtremes, Adversary::kCheckerNeighbours,
                               Adversary::kEveryValueOnce, Adversary::kConstant0,       Adversary::kConstant255,
                               Adversary::kNarrowRange,    Adversary::kOneOddPixel,     Adversary::kStripes,
                               Adversary::kLevel256};
    Random random{13};
    for (const Size& size : sizes) {
        for (const Adversary kind : kinds) {
            for (int repeat = 0; repeat < 3; ++repeat) {
                const int32_t stride = size.cols + size.stride_extra;
                const std::vector<uint16_t> input = MakeAdversary(random, stride, size.rows, kind);
                std::vector<uint16_t> literal(input.size(), 7);
                Median_Filter_Sort(input.data(), stride, literal.data(), stride, size.rows, size.cols);
                SCOPED_TRACE(std::to_string(size.rows) + "x" + std::to_string(size.cols) + " kind " +
                             std::to_string(static_cast<int>(kind)) + " repeat " + std::to_string(repeat));
                ForEachVectorTarget([&](const std::string& target) {
                    std::vector<uint16_t> range(input.size(), 7);
                    Median_Filter_Range(input.data(), stride, range.data(), stride, size.rows, size.cols);
                    ASSERT_EQ(literal, range) << target;
                });
                if (HasFatalFailure()) return;
            }
        }
    }
}

// Windows placed against the range filter's fixed blocks of thresholds (16, 32 or 64 of them): two
// levels per image whose difference is just under, at and over one and two blocks, with the lower
// level on and next to a block boundary; bands of one value (whole windows of one value beside
// windows of two), and the extremes 0 and 255.
TEST(Differential, MedianFilterRangeMatchesSortedListAroundBlocksOfThresholds) {
    Random random{37};
    const int32_t rows = 31, cols = 80;
    for (const int32_t block : {16, 32, 64}) {
        for (const int32_t span : {block - 1, block, block + 1, 2 * block - 1, 2 * block, 2 * block + 1}) {
            for (const int32_t offset : {-2, -1, 0, 1}) {
                const int32_t low = std::clamp(block * random.Between(0, 3) + offset, 0, 255);
                const int32_t high = std::min(255, low + span);
                // Vertical and horizontal bands of each level, 5 to 20 pixels wide, and noise between both.
                const int32_t band = random.Between(5, 20);
                std::vector<uint16_t> input(static_cast<size_t>(rows) * cols);
                for (int32_t r = 0; r < rows; ++r) {
                    for (int32_t c = 0; c < cols; ++c) {
                        const bool upper = c < 40 ? (c / band) % 2 == 1 : (r / band) % 2 == 1;
                        const bool noisy = c >= 60 && random.Between(0, 3) == 0;
                        input[static_cast<size_t>(r) * cols + c] =
                            static_cast<uint16_t>(noisy ? random.Between(low, high) : (upper ? high : low));
                    }
                }
                std::vector<uint16_t> literal(input.size(), 7);
                Median_Filter_Sort(input.data(), cols, literal.data(), cols, rows, cols);
                ForEachVectorTarget([&](const std::string& target) {
                    std::vector<uint16_t> range(input.size(), 7);
                    Median_Filter_Range(input.data(), cols, range.data(), cols, rows, cols);
                    ASSERT_EQ(literal, range) << target << " levels " << low << " and " << high;
                });
                if (HasFatalFailure()) return;
            }
        }
    }
}

// What the range filter allocates in its scratch is what Median_Filter_RangeBytes says, to the byte,
// on a fresh scratch and on one kept from another image (a wider one, then a taller one); below
// 15 x 15 the literal filter takes nothing.
TEST(MedianFilter, RangeBytesAreWhatTheFilterAllocates) {
    SKIP_UNLESS_ALLOCATOR_COUNTS();
    struct Size {
        int32_t rows, cols;
    };
    const Size sizes[] = {{15, 15}, {480, 640}, {100, 2000}, {900, 40}, {14, 40}};
    Random random{71};
    MedianFilterScratch scratch;
    for (const Size& size : sizes) {
        Image input(static_cast<size_t>(size.rows) * size.cols), output(input.size());
        for (uint16_t& value : input) value = static_cast<uint16_t>(random.Between(0, 255));
        const uint64_t said = Median_Filter_RangeBytes(scratch, size.rows, size.cols);
        const uint64_t held = Median_Filter_RangeBytes(scratch, 0, 0);
        const uint64_t live = CountingAllocator_Live();
        CountingAllocator_StartPeak();
        if (size.rows >= kFilterSide) {
            Median_Filter_Range(input.data(), size.cols, output.data(), size.cols, size.rows, size.cols, scratch);
        } else {
            EXPECT_EQ(Median_Filter_RangeBytes(size.rows, size.cols), 0u);
            continue;
        }
        EXPECT_EQ(CountingAllocator_Peak() - live + held, said) << size.rows << "x" << size.cols;
        EXPECT_EQ(Median_Filter_RangeBytes(scratch, 0, 0), said) << size.rows << "x" << size.cols;
    }
}

}  // namespace
