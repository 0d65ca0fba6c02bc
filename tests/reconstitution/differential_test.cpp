// Differential tests: every fast stage against its literal form on many random inputs, byte for byte.
// Inputs come from a fixed-seed generator, so a failure names a case that can be run again.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "reconstitution/gauss_star.h"
#include "reconstitution/hole_fill.h"
#include "reconstitution/median_filter.h"
#include "reconstitution/pseudo_random.h"
#include "reconstitution/reconstitution.h"
#include "reconstitution/vector_target.h"

#include "support/test_support.h"

#include "splitmix64.h"

namespace {

using Random = SplitMix64;

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

// A CalStarExtraction with random stars: windows at the edges and corners (partly outside), close
// pairs (overlaps), levels that may be out of range (clamped by the seeding), intensities on both
// sides of 1800 and coordinates exactly on the .5 rounding boundary.
CalStarExtraction MakeRecord(Random& random, int32_t rows, int32_t cols, int32_t nstars, int32_t window) {
    CalStarExtraction record;
    record.rows = rows;
    record.cols = cols;
    record.nstars = nstars;
    record.window = window;
    record.name = "differential.bin";
    for (int32_t s = 0; s < nstars; ++s) {
        float row = static_cast<float>(random.Uniform() * (rows - 1));
        float col = static_cast<float>(random.Uniform() * (cols - 1));
        switch (random.Between(0, 5)) {
            case 0: row = static_cast<float>(random.Between(0, 1)) * (rows - 1); break;  // top or bottom edge
            case 1: col = static_cast<float>(random.Between(0, 1)) * (cols - 1); break;  // left or right edge
            case 2:
                if (s > 0) {  // next to the previous star
                    row = std::clamp(record.row.back() + static_cast<float>(random.Between(-3, 3)), 0.0f, float(rows - 1));
                    col = std::clamp(record.col.back() + static_cast<float>(random.Between(-3, 3)), 0.0f, float(cols - 1));
                }
                break;
            case 3: row = std::floor(row) + 0.5f; break;
            default: break;
        }
        record.row.push_back(row);
        record.col.push_back(col);
        record.intensity.push_back(static_cast<uint16_t>(random.Between(0, 3) == 0 ? 1800 : random.Between(0, 9000)));
        const int32_t level = random.Between(0, 9) == 0 ? random.Between(-20, 400) : random.Between(0, 255);
        record.background.push_back(static_cast<uint16_t>(level));
        record.background_level.push_back(level);
    }
    return record;
}

TEST(Differential, FillHolesDistanceMatchesPassByPassFillOnRecords) {
    struct HoleCase {
        int32_t rows, cols, nstars, window;
    };
    const HoleCase cases[] = {{15, 15, 1, 1}, {20, 30, 2, 3}, {40, 60, 5, 5}, {60, 80, 0, 3},
                              {50, 50, 1, 1}, {90, 70, 20, 9}, {33, 100, 3, 7}};
    Random random{23};
    for (const HoleCase& c : cases) {
        for (int repeat = 0; repeat < 6; ++repeat) {
            const CalStarExtraction record = MakeRecord(random, c.rows, c.cols, c.nstars, c.window);
            ReconWorkBuffers literal, fast;
            CalStarReconsitution_MemSetup(literal, record);
            CalStarReconsitution_MemSetup(fast, record);
            SeedBackground(literal.background_image, record);
            // Some cases carry a level of 256 or more into the fill, where only the pass-by-pass form
            // is defined: the fast form must hand them over.
            if (repeat == 5 && c.nstars > 0) {
                const size_t p = literal.background_image.size() / 2;
                if (literal.background_image[p] != kHoleMarker) literal.background_image[p] = 300;
            }
            const std::vector<uint16_t> seeded = literal.background_image;
            FillHoles(literal.background_image, literal.snapshot, literal.hole_fill, c.rows, c.cols);
            SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols) + " stars " + std::to_string(c.nstars));
            ForEachVectorTarget([&](const std::string& target) {
                fast.background_image = seeded;
                FillHoles_Distance(fast.background_image, fast.snapshot, fast.hole_fill, c.rows, c.cols);
                ASSERT_EQ(literal.background_image, fast.background_image) << target;
            });
            if (HasFatalFailure()) return;
        }
    }
}

// Hole-filling layouts built pixel by pixel, where the pass structure is easiest to get wrong: no
// seed, one isolated seed (in the middle, next to the border, on it, in a corner), seeds on the
// border only, sparse and dense random seeds, the largest levels, a level of 256 or more (the
// literal form decides), images two or three pixels thin and 15 x N.
enum class Seeds { kNone, kMiddle, kNextToBorder, kOneBorderPixel, kCorner, kBorderRow, kBorderOnly, kSparse, kDense, kMaxLevels, kLevel300 };

std::vector<uint16_t> MakeHoleImage(Random& random, int32_t rows, int32_t cols, Seeds seeds) {
    std::vector<uint16_t> image(static_cast<size_t>(rows) * cols, kHoleMarker);
    auto at = [&](int32_t r, int32_t c) -> uint16_t& { return image[static_cast<size_t>(r) * cols + c]; };
    auto level = [&] { return static_cast<uint16_t>(random.Between(0, 255)); };
    switch (seeds) {
        case Seeds::kNone: break;
        case Seeds::kMiddle: at(rows / 2, cols / 2) = level(); break;
        case Seeds::kNextToBorder: at(1, random.Between(1, cols - 2)) = level(); break;
        case Seeds::kOneBorderPixel: at(rows - 1, random.Between(1, cols - 2)) = level(); break;
        case Seeds::kCorner: at(random.Between(0, 1) * (rows - 1), random.Between(0, 1) * (cols - 1)) = level(); break;
        case Seeds::kBorderRow:
            for (int32_t c = 0; c < cols; ++c) at(0, c) = level();
            break;
        case Seeds::kBorderOnly:
            for (int32_t k = 0; k < 4; ++k) {
                if (random.Between(0, 1)) {
                    at(random.Between(0, 1) * (rows - 1), random.Between(0, cols - 1)) = level();
                } else {
                    at(random.Between(0, rows - 1), random.Between(0, 1) * (cols - 1)) = level();
                }
            }
            break;
        case Seeds::kSparse:
        case Seeds::kDense:
        case Seeds::kMaxLevels:
        case Seeds::kLevel300: {
            const int32_t per_mille = seeds == Seeds::kSparse ? 3 : 300;
            for (uint16_t& value : image) {
                if (random.Between(0, 999) < per_mille) value = seeds == Seeds::kMaxLevels ? 255 : level();
            }
            at(random.Between(0, rows - 1), random.Between(0, cols - 1)) = seeds == Seeds::kLevel300 ? 300 : level();
            break;
        }
    }
    return image;
}

TEST(Differential, FillHolesDistanceMatchesPassByPassFillOnAdversarialLayouts) {
    struct Size {
        int32_t rows, cols;
    };
    const Size sizes[] = {{2, 20}, {3, 3}, {3, 17}, {17, 3}, {15, 15}, {15, 16}, {15, 37}, {16, 15}, {41, 15}, {23, 64}, {64, 23}};
    const Seeds layouts[] = {Seeds::kNone,       Seeds::kMiddle,    Seeds::kNextToBorder, Seeds::kOneBorderPixel,
                             Seeds::kCorner,     Seeds::kBorderRow, Seeds::kBorderOnly,   Seeds::kSparse,
                             Seeds::kDense,      Seeds::kMaxLevels, Seeds::kLevel300};
    Random random{29};
    for (const Size& size : sizes) {
        for (const Seeds seeds : layouts) {
            for (int repeat = 0; repeat < 5; ++repeat) {
                ReconWorkBuffers literal;
                const size_t npix = static_cast<size_t>(size.rows) * size.cols;
                literal.background_image = MakeHoleImage(random, size.rows, size.cols, seeds);
                literal.snapshot.assign(npix, 0);
                literal.hole_fill.fill_list.assign(npix, 0);
                const ReconWorkBuffers seeded = literal;
                FillHoles(literal.background_image, literal.snapshot, literal.hole_fill, size.rows, size.cols);
                SCOPED_TRACE(std::to_string(size.rows) + "x" + std::to_string(size.cols) + " layout " +
                             std::to_string(static_cast<int>(seeds)) + " repeat " + std::to_string(repeat));
                ForEachVectorTarget([&](const std::string& target) {
                    ReconWorkBuffers distance = seeded;
                    FillHoles_Distance(distance.background_image, distance.snapshot, distance.hole_fill, size.rows, size.cols);
                    ASSERT_EQ(literal.background_image, distance.background_image) << target;
                });
                if (HasFatalFailure()) return;
            }
        }
    }
}

// Random seed images of every shape: thin and square, wide and tall, widths around every vector
// length, seeds from one pixel to most of the image, in windows of every size and scattered alone.
// Lone pixels of the same pass touching diagonally (their vertical runs must not see each other's
// values) arise here, and the test makes sure they did; so do passes beyond 254 (16-bit distances).
TEST(Differential, FillHolesDistanceMatchesPassByPassFillOnRandomSeedImages) {
    Random random{31};
    int32_t touching_images = 0, long_images = 0;
    for (int image = 0; image < 400; ++image) {
        const int32_t rows = random.Between(0, 3) == 0 ? random.Between(3, 6) : random.Between(3, 90);
        const int32_t cols = random.Between(0, 3) == 0 ? random.Between(3, 6) : random.Between(3, 140);
        ReconWorkBuffers literal;
        const size_t npix = static_cast<size_t>(rows) * cols;
        literal.background_image.assign(npix, kHoleMarker);
        literal.snapshot.assign(npix, 0);
        literal.hole_fill.fill_list.assign(npix, 0);
        const int32_t seeds = random.Between(1, std::max(1, static_cast<int32_t>(npix) / random.Between(2, 200)));
        for (int32_t s = 0; s < seeds; ++s) {
            // A square window of side 1 to 9 at a random place, clipped to the image.
            const int32_t side = random.Between(0, 2) == 0 ? 1 : random.Between(1, 9);
            const int32_t top = random.Between(0, rows - 1), left = random.Between(0, cols - 1);
            const uint16_t level = static_cast<uint16_t>(random.Between(0, 3) == 0 ? 255 : random.Between(0, 255));
            for (int32_t r = top; r < std::min(rows, top + side); ++r) {
                for (int32_t c = left; c < std::min(cols, left + side); ++c) literal.background_image[static_cast<size_t>(r) * cols + c] = level;
            }
        }
        const ReconWorkBuffers seeded = literal;
        FillHoles(literal.background_image, literal.snapshot, literal.hole_fill, rows, cols);
        SCOPED_TRACE(std::to_string(rows) + "x" + std::to_string(cols) + " image " + std::to_string(image));
        bool touching = false;
        ForEachVectorTarget([&](const std::string& target) {
            ReconWorkBuffers distance = seeded;
            FillHoles_Distance(distance.background_image, distance.snapshot, distance.hole_fill, rows, cols);
            ASSERT_EQ(literal.background_image, distance.background_image) << target;
            for (const uint8_t deferred : distance.hole_fill.deferred) touching = touching || deferred != 0;
        });
        if (HasFatalFailure()) return;
        touching_images += touching ? 1 : 0;
    }
    // One seed at the end of a long thin image: its last pass is far beyond 254.
    for (const int32_t length : {255, 256, 257, 600}) {
        for (const bool tall : {false, true}) {
            const int32_t rows = tall ? length : 5, cols = tall ? 5 : length;
            ReconWorkBuffers literal;
            const size_t npix = static_cast<size_t>(rows) * cols;
            literal.background_image.assign(npix, kHoleMarker);
            literal.snapshot.assign(npix, 0);
            literal.hole_fill.fill_list.assign(npix, 0);
            literal.background_image[static_cast<size_t>(rows / 2) * cols] = 200;
            literal.background_image[npix - 1] = 3;
            const ReconWorkBuffers seeded = literal;
            FillHoles(literal.background_image, literal.snapshot, literal.hole_fill, rows, cols);
            ForEachVectorTarget([&](const std::string& target) {
                ReconWorkBuffers distance = seeded;
                FillHoles_Distance(distance.background_image, distance.snapshot, distance.hole_fill, rows, cols);
                ASSERT_EQ(literal.background_image, distance.background_image) << rows << "x" << cols << " " << target;
            });
            if (HasFatalFailure()) return;
            ++long_images;
        }
    }
    std::printf("[ info ] %d of 400 random seed images had same-pass lone pixels touching diagonally; %d with passes beyond 254\n",
                touching_images, long_images);
    EXPECT_GT(touching_images, 0);
}

// The truncated mean of the known neighbours through the reciprocal table, for every neighbour sum
// below 16384 (at least one known neighbour): the division it replaces.
TEST(Differential, HoleFillReciprocalGivesTheTruncatedMeanOfEverySum) {
    for (uint32_t sum = 0; sum < kAllNeighboursMarked; ++sum) {
        ASSERT_EQ(FillHoles_MeanByReciprocal(static_cast<uint16_t>(sum)), (sum & kKnownSumMask) / (8 - (sum >> kMarkedCountShift))) << sum;
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

// The plane fill's vector lanes against the literal loop: pixel counts below, at and between lane
// multiples, sums past 255 and past 16 bits, any generator state; the state afterwards too.
TEST(Differential, FillPlanesFastMatchesLiteralLoop) {
    const int32_t counts[] = {1, 2, 15, 16, 17, 31, 32, 33, 225, 255, 1023, 1024, 1025, 4099, 70001};
    Random random{31};
    for (const int32_t npix : counts) {
        for (int repeat = 0; repeat < 3; ++repeat) {
            ReconWorkBuffers buffers;
            buffers.background_image.resize(static_cast<size_t>(npix));
            buffers.star_layer.resize(static_cast<size_t>(npix));
            for (int32_t p = 0; p < npix; ++p) {
                buffers.background_image[p] = static_cast<uint16_t>(random.Between(0, 3) == 0 ? random.Between(0, 65535) : random.Between(0, 255));
                buffers.star_layer[p] = static_cast<uint16_t>(random.Between(0, 1) == 0 ? 0 : random.Between(0, 65535));
            }
            // Every level 0..300 once where there is room, so each square root is met.
            for (int32_t p = 0; p < std::min(npix, 301); ++p) {
                buffers.background_image[p] = static_cast<uint16_t>(p);
                buffers.star_layer[p] = 0;
            }
            const PseudoRandom start{static_cast<uint32_t>(random.Next())};
            PseudoRandom literal_generator = start;
            FourProduct literal;
            FourProduct_MemSetup(literal, 1, 1, npix);
            FillPlanes(buffers.background_image, buffers.star_layer, literal_generator, literal, npix);
            SCOPED_TRACE("npix " + std::to_string(npix));
            ForEachVectorTarget([&](const std::string& target) {
                PseudoRandom fast_generator = start;
                FourProduct fast;
                FourProduct_MemSetup(fast, 1, 1, npix);
                FillPlanes_Fast(buffers.background_image, buffers.star_layer, fast_generator, fast, npix);
                EXPECT_EQ(literal_generator.state, fast_generator.state) << target;
                for (int slot = 0; slot < kPlaneSlots; ++slot) ASSERT_EQ(literal.planes[slot], fast.planes[slot]) << target;
            });
            if (HasFatalFailure()) return;
        }
    }
}

// Every frame index: from one start, 32768 x 8 draws meet every random value 0..32767 (the generator
// has full period and its top bits cycle through all values).
TEST(Differential, FillPlanesFastGivesEveryFrameIndexAsTheDoubleExpression) {
    const int32_t npix = 8 * (kRandomMax + 1);
    ReconWorkBuffers buffers;
    buffers.background_image.assign(static_cast<size_t>(npix), 0);
    buffers.star_layer.assign(static_cast<size_t>(npix), 0);
    PseudoRandom literal_generator, fast_generator;
    FourProduct literal, fast;
    FourProduct_MemSetup(literal, 1, 8, kRandomMax + 1);
    FourProduct_MemSetup(fast, 1, 8, kRandomMax + 1);
    FillPlanes(buffers.background_image, buffers.star_layer, literal_generator, literal, npix);
    FillPlanes_Fast(buffers.background_image, buffers.star_layer, fast_generator, fast, npix);
    EXPECT_EQ(literal_generator.state, fast_generator.state);
    EXPECT_EQ(literal.planes[2 * kPeakFrameIndex + 1], fast.planes[2 * kPeakFrameIndex + 1]);
}

// Offsets checked per axis: all 101 where the build runs at full speed (optimised x86-64); every
// fifth and both ends under sanitizers or without optimisation; every 25th on other processors, whose
// unit tests run under an emulator (their platform exp is the point there, and the ends and centre
// hold the extreme distances).
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CALSTARS2FP_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CALSTARS2FP_SANITIZED 1
#endif
#if !defined(__x86_64__)
constexpr int32_t kOffsetStride = 25;
#elif defined(CALSTARS2FP_SANITIZED) || !defined(NDEBUG)
constexpr int32_t kOffsetStride = 5;
#else
constexpr int32_t kOffsetStride = 1;
#endif

constexpr int32_t kMaxDifferentialHalf = 7;

std::vector<int32_t> CheckedOffsets() {
    std::vector<int32_t> offsets;
    for (int32_t d = -kMaxSubSampleOffset; d <= kMaxSubSampleOffset; d += kOffsetStride) offsets.push_back(d);
    if (offsets.back() != kMaxSubSampleOffset) offsets.push_back(kMaxSubSampleOffset);
    return offsets;
}

// A coordinate whose sub-sample offset is `d` (checked by the caller against the rule): 101 f + 0.5
// lands half-way inside the interval that truncates to d, except for -50, which only f = -0.5 gives.
float CoordinateWithOffset(int32_t d) {
    if (d == -kMaxSubSampleOffset) return 99.5f;
    return static_cast<float>(100.0 + (d < 0 ? d - 1 : d) / 101.0);
}

// The literal block sums of every block any checked kernel has, computed independently of both forms:
// a block depends only on the distances of its first row and column from the centre (first = 101 (a -
// half) - 50 - offset), never on the half, so each distinct pair is summed once, from GaussStar's
// value expression, row by row and left to right from 0; the blocks of a row of pairs run side by
// side (each in its own accumulator, so each keeps the literal order).
struct LiteralBlocks {
    int32_t lowest = 0;               // first distances run from `lowest`
    int32_t count = 0;                // ... over `count` values
    std::vector<char> needed;         // per first distance: some checked kernel has it
    std::vector<double> sums;         // count x count, row first distance major
    double Sum(int32_t first_row, int32_t first_col) const {
        return sums[static_cast<size_t>(first_row - lowest) * count + (first_col - lowest)];
    }
};

LiteralBlocks SumLiteralBlocks(float sigma, const std::vector<int32_t>& offsets) {
    LiteralBlocks blocks;
    const int32_t h = kMaxDifferentialHalf;
    blocks.lowest = -kOversampling * h - 2 * kMaxSubSampleOffset;
    blocks.count = kOversampling * h - blocks.lowest + 1;
    blocks.needed.assign(blocks.count, 0);
    for (int32_t half = 0; half <= h; ++half) {
        for (int32_t a = 0; a <= 2 * half; ++a) {
            for (const int32_t d : offsets) blocks.needed[kOversampling * (a - half) - kMaxSubSampleOffset - d - blocks.lowest] = 1;
        }
    }
    std::vector<int32_t> firsts;
    for (int32_t k = 0; k < blocks.count; ++k) {
        if (blocks.needed[k]) firsts.push_back(k + blocks.lowest);
    }
    const double scaled = static_cast<double>(sigma) * kOversampling;
    const double denominator = scaled * (2.0 * scaled);
    // One row of values at every column distance the blocks reach, rebuilt for each row distance.
    const int32_t reach = blocks.count + kOversampling;
    std::vector<double> line(static_cast<size_t>(reach));
    std::vector<double> accumulators(firsts.size());
    blocks.sums.assign(static_cast<size_t>(blocks.count) * blocks.count, 0.0);
    for (const int32_t first_row : firsts) {
        std::fill(accumulators.begin(), accumulators.end(), 0.0);
        for (int32_t i = first_row; i < first_row + kOversampling; ++i) {
            for (int32_t k = 0; k < reach; ++k) {
                const int64_t j = k + blocks.lowest;
                line[k] = std::exp(-(static_cast<double>(int64_t{i} * i + j * j) / denominator));
            }
            for (int32_t v = 0; v < kOversampling; ++v) {
                for (size_t n = 0; n < firsts.size(); ++n) accumulators[n] += line[firsts[n] - blocks.lowest + v];
            }
        }
        for (size_t n = 0; n < firsts.size(); ++n) {
            blocks.sums[static_cast<size_t>(first_row - blocks.lowest) * blocks.count + (firsts[n] - blocks.lowest)] = accumulators[n];
        }
    }
    return blocks;
}

// Every checked offset pair (all 101 x 101 in a full-speed build) for halves 0 to 7 and both widths
// the pipeline draws with: GaussStar_Fast gives the literal bits, assembled from the literal block
// sums as GaussStar assembles them. Spot checks against GaussStar itself tie the reference to it.
// The fallbacks are counted and printed: they are where the bound did not decide.
TEST(Differential, GaussStarFastMatchesLiteralKernelsAtEveryOffset) {
    const std::vector<int32_t> offsets = CheckedOffsets();
    for (const int32_t d : offsets) {
        const float x = CoordinateWithOffset(d);
        ASSERT_EQ(GaussStar_SubSampleOffset(x, GaussStar_NearestPixel(x)), d) << d;
    }
    for (const float sigma : {kNarrowSigma, kWideSigma}) {
        const LiteralBlocks blocks = SumLiteralBlocks(sigma, offsets);
        for (int32_t half = 0; half <= kMaxDifferentialHalf; ++half) {
            GaussStarFastCache cache;
            const int32_t k_side = 2 * half + 1;
            const size_t area = static_cast<size_t>(k_side) * k_side;
            std::vector<float> expected(area + 1, -1.0f), fast(area + 1, -1.0f);
            int mismatches = 0;
            for (const int32_t dr : offsets) {
                for (const int32_t dc : offsets) {
                    double total = 0.0;
                    for (int32_t a = 0; a < k_side; ++a) {
                        for (int32_t b = 0; b < k_side; ++b) {
                            const double sum = blocks.Sum(kOversampling * (a - half) - kMaxSubSampleOffset - dr,
                                                          kOversampling * (b - half) - kMaxSubSampleOffset - dc);
                            expected[a * k_side + b] = static_cast<float>(sum);
                            total += sum;
                        }
                    }
                    const float float_total = static_cast<float>(total);
                    for (size_t k = 0; k < area; ++k) expected[k] = expected[k] / float_total;
                    GaussStar_Fast(cache, half, CoordinateWithOffset(dr), CoordinateWithOffset(dc), sigma, fast.data());
                    if (std::memcmp(expected.data(), fast.data(), sizeof(float) * expected.size()) != 0 && ++mismatches <= 5) {
                        ADD_FAILURE() << "half " << half << " sigma " << sigma << " offsets " << dr << " " << dc;
                    }
                }
            }
            EXPECT_EQ(mismatches, 0) << "half " << half << " sigma " << sigma;
            std::printf("[ info ] half %d sigma %.1f: %llu kernels, %llu of %llu blocks summed literally (%llu more kept from "
                        "earlier kernels), %llu totals\n",
                        half, static_cast<double>(sigma), static_cast<unsigned long long>(cache.kernel_builds),
                        static_cast<unsigned long long>(cache.literal_blocks), static_cast<unsigned long long>(cache.blocks),
                        static_cast<unsigned long long>(cache.remembered_blocks), static_cast<unsigned long long>(cache.literal_totals));
        }
        // The independent sums are GaussStar's: a few kernels of the widest half, against the literal call.
        GaussStar_Release();
        GaussStarFastCache cache;
        for (const int32_t dr : {-50, -13, 0, 37, 50}) {
            const int32_t dc = 50 - (dr + 63) % 101;
            const int32_t half = kMaxDifferentialHalf;
            const size_t area = static_cast<size_t>(2 * half + 1) * (2 * half + 1);
            std::vector<float> literal(area), fast(area);
            GaussStar(half, CoordinateWithOffset(dr), CoordinateWithOffset(dc), sigma, literal.data());
            GaussStar_Fast(cache, half, CoordinateWithOffset(dr), CoordinateWithOffset(dc), sigma, fast.data());
            EXPECT_EQ(literal, fast) << dr << " " << dc;
        }
        GaussStar_Release();
    }
}

// Whole small records under every vector target: the fast pipeline's planes are the reference's.
// (Cheap enough to run under an emulator, unlike the larger comparison below.)
TEST(Differential, FastPipelineWritesTheReferencePlanesUnderEveryTarget) {
    Random random{43};
    for (int repeat = 0; repeat < 4; ++repeat) {
        const int32_t rows = random.Between(15, 60), cols = random.Between(15, 90);
        const int32_t window = 2 * random.Between(0, 4) + 1;
        const CalStarExtraction record = MakeRecord(random, rows, cols, random.Between(1, 12), window);
        ReconWorkBuffers literal_buffers;
        FourProduct literal_product;
        CalStarReconsitution_MemSetup(literal_buffers, record);
        FourProduct_MemSetup(literal_product, 1, rows, cols);
        CalStarReconsitution_Reference(literal_buffers, record, literal_product);
        ForEachVectorTarget([&](const std::string& target) {
            ReconWorkBuffers fast_buffers;
            FourProduct fast_product;
            CalStarReconsitution_MemSetup(fast_buffers, record);
            FourProduct_MemSetup(fast_product, 1, rows, cols);
            CalStarReconsitution(fast_buffers, record, fast_product);
            EXPECT_EQ(literal_buffers.generator.state, fast_buffers.generator.state) << target;
            for (int slot = 0; slot < kPlaneSlots; ++slot) {
                ASSERT_EQ(literal_product.planes[slot], fast_product.planes[slot]) << target << " " << rows << "x" << cols;
            }
            CalStarReconsitution_MemFree(fast_buffers);
        });
        CalStarReconsitution_MemFree(literal_buffers);
        if (HasFatalFailure()) return;
    }
}

// Buffers and planes kept from file to file: a large image, then a smaller, a larger and one of the
// same size again, several records each, all through one set of fast buffers whose every kept byte
// is stale garbage before each file (and every byte but the star layer's before each record, the
// layer being zero outside the windows drawn last). Each record's planes are those of the reference
// run on fresh buffers, under every vector target.
TEST(Differential, FastPipelineWithBuffersKeptAcrossImagesWritesTheReferencePlanes) {
    struct Size {
        int32_t rows, cols;
    };
    const Size sizes[] = {{60, 80}, {31, 45}, {75, 90}, {75, 90}, {15, 15}};
    const auto spoil = [](auto& buffer, Random& random) {
        for (auto& value : buffer) value = static_cast<std::remove_reference_t<decltype(value)>>(random.Between(0, 65535));
    };
    ForEachVectorTarget([&](const std::string& target) {
        Random random{47};
        ReconWorkBuffers fast_buffers;
        FourProduct fast_product;
        for (const Size& size : sizes) {
            const int32_t nstars = random.Between(1, 30);
            const int32_t window = 2 * random.Between(0, 5) + 1;
            spoil(fast_buffers.star_layer, random);
            spoil(fast_buffers.hole_fill.fill_list, random);
            for (int record_index = 0; record_index < 3; ++record_index) {
                const CalStarExtraction record = MakeRecord(random, size.rows, size.cols, nstars, window);
                if (record_index == 0) {
                    CalStarReconsitution_MemSetup(fast_buffers, record);
                    FourProduct_MemSetup(fast_product, 1, size.rows, size.cols);
                }
                spoil(fast_buffers.background_image, random);
                spoil(fast_buffers.snapshot, random);
                spoil(fast_buffers.filter.image, random);
                spoil(fast_buffers.filter.at_least, random);
                for (std::vector<uint8_t>& plane : fast_product.planes) spoil(plane, random);
                ReconWorkBuffers literal_buffers;
                FourProduct literal_product;
                CalStarReconsitution_MemSetup(literal_buffers, record);
                FourProduct_MemSetup(literal_product, 1, size.rows, size.cols);
                literal_buffers.generator = fast_buffers.generator;
                CalStarReconsitution_Reference(literal_buffers, record, literal_product);
                CalStarReconsitution(fast_buffers, record, fast_product);
                CalStarReconsitution_FrameFree(fast_buffers);
                SCOPED_TRACE(target + " " + std::to_string(size.rows) + "x" + std::to_string(size.cols) + " record " +
                             std::to_string(record_index) + " window " + std::to_string(window));
                EXPECT_EQ(literal_buffers.generator.state, fast_buffers.generator.state);
                for (int slot = 0; slot < kPlaneSlots; ++slot) ASSERT_EQ(literal_product.planes[slot], fast_product.planes[slot]);
                CalStarReconsitution_MemFree(literal_buffers);
            }
        }
    });
}

// Whole records: the planes of the reference pipeline and the fast one, with the generator started
// from the same state for both.
TEST(Differential, FastPipelineWritesTheReferencePlanes) {
    struct RecordCase {
        int32_t rows, cols, nstars;
    };
    const RecordCase cases[] = {{15, 15, 1}, {48, 64, 12}, {60, 80, 40}, {120, 160, 60}, {100, 37, 0}, {17, 200, 25}};
    Random random{41};
    for (const RecordCase& c : cases) {
        for (int repeat = 0; repeat < 4; ++repeat) {
            const int32_t largest_window = std::min(std::min(c.rows, c.cols), 13);
            const int32_t window = 2 * random.Between(0, (largest_window - 1) / 2) + 1;
            const CalStarExtraction record = MakeRecord(random, c.rows, c.cols, c.nstars, window);
            ReconWorkBuffers literal_buffers, fast_buffers;
            FourProduct literal_product, fast_product;
            CalStarReconsitution_MemSetup(literal_buffers, record);
            CalStarReconsitution_MemSetup(fast_buffers, record);
            FourProduct_MemSetup(literal_product, 1, c.rows, c.cols);
            FourProduct_MemSetup(fast_product, 1, c.rows, c.cols);
            CalStarReconsitution_Reference(literal_buffers, record, literal_product);
            CalStarReconsitution(fast_buffers, record, fast_product);
            SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols) + " stars " + std::to_string(c.nstars) +
                         " window " + std::to_string(window));
            EXPECT_EQ(literal_buffers.generator.state, fast_buffers.generator.state);
            for (int slot = 0; slot < kPlaneSlots; ++slot) ASSERT_EQ(literal_product.planes[slot], fast_product.planes[slot]);
            CalStarReconsitution_MemFree(literal_buffers);
            CalStarReconsitution_MemFree(fast_buffers);
        }
    }
}

}  // namespace
