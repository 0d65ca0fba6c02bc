// The hole fill: the pass-by-pass fill on hand-made images, the border completion, and the fast
// form against the pass-by-pass one, byte for byte, on records, hand-built layouts and random seed
// images. Inputs come from a fixed-seed generator, so a failure names a case that can be run again.
#include "reconstitution/hole_fill.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "reconstitution/reconstitution.h"
#include "records.h"

#include "support/counting_allocator.h"
#include "support/test_support.h"

#include "splitmix64.h"

namespace {

using Random = SplitMix64;

// Hole-filling buffers for a rows x cols image with every pixel marked.
ReconWorkBuffers AllMarked(int rows, int cols) {
    ReconWorkBuffers buffers;
    buffers.background_image.assign(rows * cols, kHoleMarker);
    buffers.snapshot.assign(rows * cols, 0);
    buffers.hole_fill.fill_list.assign(rows * cols, 0);
    return buffers;
}

// The layers form on `seeded` (rows x cols) gives `expected`, the pass-by-pass fill's image.
void ExpectLayersFormMatches(const std::vector<uint16_t>& expected, const std::vector<uint16_t>& seeded, int32_t rows, int32_t cols) {
    std::vector<uint16_t> image = seeded, snapshot(seeded.size());
    HoleFillScratch scratch;
    FillHoles_Layers(image, snapshot, scratch, rows, cols);
    EXPECT_EQ(image, expected) << "layers form";
}

TEST(FillHoles, MarkedPixelTakesTheTruncatedMeanOfItsKnownNeighbours) {
    // Known neighbours 10, 20 and 31, five marked: the sum is 5 x 2048 + 61 = 10301, the level 61 / 3.
    const int rows = 5, cols = 5;
    ReconWorkBuffers buffers = AllMarked(rows, cols);
    buffers.background_image[1 * cols + 1] = 10;
    buffers.background_image[1 * cols + 2] = 20;
    buffers.background_image[2 * cols + 1] = 31;
    FillHoles(buffers.background_image, buffers.snapshot, buffers.hole_fill, rows, cols);
    EXPECT_EQ(buffers.background_image[2 * cols + 2], 20);
}

TEST(FillHoles, PixelWithOnlyMarkedNeighboursWaitsOnePass) {
    // One inner row: 80 at column 1, 10 at column 5. Columns 2 and 4 fill in the first pass; column 3
    // has only marked neighbours then, and takes the mean of both in the second.
    const int rows = 3, cols = 7;
    ReconWorkBuffers buffers = AllMarked(rows, cols);
    buffers.background_image[cols + 1] = 80;
    buffers.background_image[cols + 5] = 10;
    FillHoles(buffers.background_image, buffers.snapshot, buffers.hole_fill, rows, cols);
    const std::vector<uint16_t> inner_row(buffers.background_image.begin() + cols + 1, buffers.background_image.begin() + cols + 6);
    EXPECT_EQ(inner_row, (std::vector<uint16_t>{80, 80, 45, 10, 10}));
    EXPECT_EQ(buffers.background_image[0], kHoleMarker);  // border pixels are never filled here
}

TEST(FillHoles, FrameWithoutAnyLevelEndsWithZero) {
    const int rows = 6, cols = 6;
    ReconWorkBuffers buffers = AllMarked(rows, cols);
    FillHoles(buffers.background_image, buffers.snapshot, buffers.hole_fill, rows, cols);
    for (int r = 1; r < rows - 1; ++r) {
        for (int c = 1; c < cols - 1; ++c) EXPECT_EQ(buffers.background_image[r * cols + c], 0);
    }
}

TEST(CompleteBorder, RowsFirstSoCornersTakeTheirDiagonalNeighbour) {
    const int rows = 4, cols = 5;
    std::vector<uint16_t> image(rows * cols);
    std::iota(image.begin(), image.end(), 100);
    CompleteBorder(image, rows, cols);
    auto at = [&](int r, int c) { return image[r * cols + c]; };
    EXPECT_EQ(at(0, 0), 100 + 1 * cols + 1);
    EXPECT_EQ(at(0, 4), 100 + 1 * cols + 3);
    EXPECT_EQ(at(3, 0), 100 + 2 * cols + 1);
    EXPECT_EQ(at(3, 4), 100 + 2 * cols + 3);
    EXPECT_EQ(at(0, 2), 100 + 1 * cols + 2);
    EXPECT_EQ(at(2, 0), 100 + 2 * cols + 1);
    EXPECT_EQ(at(1, 4), 100 + 1 * cols + 3);
    EXPECT_EQ(at(1, 2), 100 + 1 * cols + 2);  // inner pixels untouched
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
            ExpectLayersFormMatches(literal.background_image, seeded, c.rows, c.cols);
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
                ExpectLayersFormMatches(literal.background_image, seeded.background_image, size.rows, size.cols);
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
        ExpectLayersFormMatches(literal.background_image, seeded.background_image, rows, cols);
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
            ExpectLayersFormMatches(literal.background_image, seeded.background_image, rows, cols);
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

// Seeds of random levels in windows of side 1 to 9 along a long image, at gaps of up to `gap` pixels
// along its long side: few passes, so that the pass-by-pass fill stays cheap at any length.
std::vector<uint16_t> LongImage(Random& random, int32_t rows, int32_t cols, int32_t gap) {
    std::vector<uint16_t> image(static_cast<size_t>(rows) * cols, kHoleMarker);
    const bool wide = cols >= rows;
    const int32_t length = wide ? cols : rows, across = wide ? rows : cols;
    for (int32_t along = random.Between(0, gap); along < length; along += random.Between(1, gap)) {
        const int32_t side = random.Between(1, 9), at = random.Between(0, across - 1);
        const uint16_t level = static_cast<uint16_t>(random.Between(0, 255));
        for (int32_t a = along; a < std::min(length, along + side); ++a) {
            for (int32_t b = at; b < std::min(across, at + side); ++b) image[wide ? static_cast<size_t>(b) * cols + a : static_cast<size_t>(a) * cols + b] = level;
        }
    }
    return image;
}

// Sides of 65535 and more, beyond the fast form's 16-bit distances (it hands them to the layers
// form), and one short of it: both linear forms give the pass-by-pass fill's bytes.
TEST(Differential, LinearFormsMatchPassByPassFillOnSidesOf65535AndMore) {
    struct Size {
        int32_t rows, cols;
    };
    const Size sizes[] = {{3, 65535}, {15, 65535}, {7, 70000}, {15, 65534}, {65535, 3}, {70000, 15}, {65534, 15}};
    Random random{59};
    for (const Size& size : sizes) {
        const std::vector<uint16_t> seeded = LongImage(random, size.rows, size.cols, 150);
        std::vector<uint16_t> literal = seeded, snapshot(seeded.size());
        HoleFillScratch scratch;
        FillHoles(literal, snapshot, scratch, size.rows, size.cols);
        SCOPED_TRACE(std::to_string(size.rows) + "x" + std::to_string(size.cols));
        ExpectLayersFormMatches(literal, seeded, size.rows, size.cols);
        ForEachVectorTarget([&](const std::string& target) {
            std::vector<uint16_t> image = seeded;
            HoleFillScratch fast;
            FillHoles_Distance(image, snapshot, fast, size.rows, size.cols);
            EXPECT_EQ(image, literal) << target;
        });
    }
}

// One seed at one end of a long image: passes up to the image's length, the largest 16-bit distances
// of the fast form, where the pass-by-pass fill would take hours. The two linear forms, each checked
// against it above, agree.
TEST(Differential, LinearFormsAgreeWhereOneSeedIsTheWholeLengthAway) {
    for (const auto& [rows, cols] : {std::pair{5, 65534}, std::pair{65534, 4}}) {
        std::vector<uint16_t> seeded(static_cast<size_t>(rows) * cols, kHoleMarker);
        seeded[static_cast<size_t>(rows / 2) * cols] = 200;
        seeded[static_cast<size_t>(cols) + 1] = 7;
        std::vector<uint16_t> layers = seeded, snapshot(seeded.size());
        HoleFillScratch scratch;
        FillHoles_Layers(layers, snapshot, scratch, rows, cols);
        std::vector<uint16_t> distance = seeded;
        FillHoles_Distance(distance, snapshot, scratch, rows, cols);
        EXPECT_EQ(distance, layers) << rows << "x" << cols;
        EXPECT_NE(layers[seeded.size() - static_cast<size_t>(cols) - 2], kHoleMarker) << "the far end is filled";
    }
}

// Seeds dense enough that the fast form's runs go beyond its share: it hands the image to the layers
// form before it writes anything (its runs freed, the list taken), with the pass-by-pass fill's
// bytes; sparse seeds stay with the fast form, which holds no list.
TEST(Differential, FastFormHandsImagesBeyondItsShareToTheLayersForm) {
    struct Case {
        int32_t rows, cols, per_mille;
        bool layers;
    };
    const Case cases[] = {{200, 300, 150, true}, {97, 131, 250, true}, {200, 300, 1, false}, {64, 64, 400, true}};
    Random random{61};
    for (const Case& c : cases) {
        std::vector<uint16_t> seeded(static_cast<size_t>(c.rows) * c.cols, kHoleMarker);
        for (uint16_t& value : seeded) {
            if (random.Between(0, 999) < c.per_mille) value = static_cast<uint16_t>(random.Between(0, 255));
        }
        std::vector<uint16_t> literal = seeded, snapshot(seeded.size());
        HoleFillScratch scratch;
        FillHoles(literal, snapshot, scratch, c.rows, c.cols);
        SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols) + " seeds per mille " + std::to_string(c.per_mille));
        ForEachVectorTarget([&](const std::string& target) {
            std::vector<uint16_t> image = seeded;
            HoleFillScratch fast;
            FillHoles_Distance(image, snapshot, fast, c.rows, c.cols);
            EXPECT_EQ(image, literal) << target;
            EXPECT_EQ(fast.fill_list.capacity() > 0, c.layers) << target;
            EXPECT_EQ(fast.runs.capacity() == 0, c.layers) << target;
        });
    }
}

// What the pipeline's fill allocates, at its worst moment, against FillHoles_Bytes on the scratch as
// it was: the fast form's runs and marks, its hand-over to the layers form (the list in its place),
// 16-bit distances, and a side of 65535, in one sequence on one scratch as a run keeps it. The
// layers form takes its list whole, so that where it runs the figure's list is met to the byte.
TEST(FillHoles, BytesBoundWhatThePipelinesFillAllocates) {
    SKIP_UNLESS_ALLOCATOR_COUNTS();
    struct Case {
        int32_t rows, cols, per_mille;  // seeds; 0: one window every 150 pixels along the long side
    };
    const Case cases[] = {{480, 640, 3}, {200, 300, 150}, {480, 640, 2}, {5, 2000, 0}, {15, 65535, 0}, {300, 400, 250}};
    Random random{73};
    HoleFillScratch scratch;
    for (const Case& c : cases) {
        std::vector<uint16_t> image = c.per_mille == 0 ? LongImage(random, c.rows, c.cols, 150)
                                                       : std::vector<uint16_t>(static_cast<size_t>(c.rows) * c.cols, kHoleMarker);
        for (uint16_t& value : image) {
            if (c.per_mille > 0 && random.Between(0, 999) < c.per_mille) value = static_cast<uint16_t>(random.Between(0, 255));
        }
        std::vector<uint16_t> snapshot(image.size());
        FillHoles_MemSetup(scratch, c.rows, c.cols);
        const uint64_t said = FillHoles_Bytes(scratch, c.rows, c.cols);
        const uint64_t held = FillHoles_Bytes(scratch, 0, 0);
        const uint64_t live = CountingAllocator_Live();
        CountingAllocator_StartPeak();
        FillHoles_Distance(image, snapshot, scratch, c.rows, c.cols);
        const uint64_t most = CountingAllocator_Peak() - live + held;
        SCOPED_TRACE(std::to_string(c.rows) + "x" + std::to_string(c.cols) + " seeds per mille " + std::to_string(c.per_mille));
        EXPECT_LE(most, said);
        if (scratch.fill_list.capacity() > 0) {
            EXPECT_GE(most, sizeof(int32_t) * static_cast<uint64_t>(c.rows - 2) * (c.cols - 2));
        }
    }
}

// The truncated mean of the known neighbours through the reciprocal table, for every neighbour sum
// below 16384 (at least one known neighbour): the division it replaces.
TEST(Differential, HoleFillReciprocalGivesTheTruncatedMeanOfEverySum) {
    for (uint32_t sum = 0; sum < kAllNeighboursMarked; ++sum) {
        ASSERT_EQ(FillHoles_MeanByReciprocal(static_cast<uint16_t>(sum)), (sum & kKnownSumMask) / (8 - (sum >> kMarkedCountShift))) << sum;
    }
}

}  // namespace
