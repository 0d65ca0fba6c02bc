#include "reconstitution/reconstitution.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include "failure.h"
#include "reconstitution/pseudo_random.h"

#include "splitmix64.h"

namespace {

// A frame record in memory: rows x cols, one window, stars given as (row, col, intensity, level).
struct Star {
    float row, col;
    uint16_t intensity;
    int32_t level;
};

CalStarExtraction Frame(int32_t rows, int32_t cols, int32_t window, const std::vector<Star>& stars) {
    CalStarExtraction e;
    e.rows = rows;
    e.cols = cols;
    e.nstars = static_cast<int32_t>(stars.size());
    e.window = window;
    e.divisor = 1;
    e.name = "T.bin";
    e.path = "CALSTARS_T.txt";
    for (const Star& s : stars) {
        e.row.push_back(s.row);
        e.col.push_back(s.col);
        e.intensity.push_back(s.intensity);
        e.total.push_back(static_cast<uint16_t>(s.intensity + s.level));
        e.background.push_back(static_cast<uint16_t>(s.level));
        e.background_level.push_back(s.level);
    }
    return e;
}

ReconWorkBuffers Buffers(const CalStarExtraction& e) {
    ReconWorkBuffers buffers;
    CalStarReconsitution_MemSetup(buffers, e);
    DrawStars_FrameSetup(buffers.star_drawing, e.window);
    BuildDiscMask(buffers.star_drawing.disc_mask, e.window);
    return buffers;
}

TEST(DiscMask, OnesInsideTheDiscOfEachWindow) {
    struct Case {
        int window;
        std::vector<int> ones_per_row;
    };
    const Case cases[] = {
        {1, {0}},
        {3, {1, 3, 1}},
        {5, {3, 5, 5, 5, 3}},
        {7, {3, 5, 7, 7, 7, 5, 3}},
        {9, {3, 7, 7, 9, 9, 9, 7, 7, 3}},  // threshold 20 leaves out (+-4, +-2) and (+-2, +-4)
    };
    for (const Case& c : cases) {
        std::vector<float> mask(c.window * c.window, -1.0f);
        BuildDiscMask(mask, c.window);
        for (int a = 0; a < c.window; ++a) {
            int ones = 0;
            for (int b = 0; b < c.window; ++b) {
                const float value = mask[a * c.window + b];
                ASSERT_TRUE(value == 0.0f || value == 1.0f);
                ones += value == 1.0f;
                // Each run of ones is centred.
                if (value == 1.0f) {
                    EXPECT_EQ(mask[a * c.window + (c.window - 1 - b)], 1.0f);
                }
            }
            EXPECT_EQ(ones, c.ones_per_row[a]) << "window " << c.window << " row " << a;
        }
    }
}

// Hole-filling buffers for a rows x cols image with every pixel marked.
ReconWorkBuffers AllMarked(int rows, int cols) {
    ReconWorkBuffers buffers;
    buffers.background_image.assign(rows * cols, kHoleMarker);
    buffers.snapshot.assign(rows * cols, 0);
    buffers.hole_fill.fill_list.assign(rows * cols, 0);
    return buffers;
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

TEST(SeedBackground, LaterStarWinsTheOverlapAndLevelsAreClamped) {
    CalStarExtraction e = Frame(20, 20, 3, {{5.0f, 5.0f, 1000, 40}, {6.0f, 6.0f, 1000, 60}, {15.0f, 15.0f, 1000, -3},
                                             {15.0f, 5.0f, 1000, 300}});
    ReconWorkBuffers buffers = Buffers(e);
    EXPECT_EQ(SeedBackground(buffers.background_image, e), 2);
    auto at = [&](int r, int c) { return buffers.background_image[r * 20 + c]; };
    EXPECT_EQ(at(4, 4), 40);
    EXPECT_EQ(at(5, 5), 60);  // overlap: star 1 has the higher index
    EXPECT_EQ(at(7, 7), 60);
    EXPECT_EQ(at(15, 15), 0);
    EXPECT_EQ(at(15, 5), 255);
    EXPECT_EQ(at(10, 10), kHoleMarker);
}

TEST(SeedBackground, StarsNearTheEdgeSeedWhatLiesInside) {
    CalStarExtraction e = Frame(20, 20, 5, {{0.2f, 0.2f, 1000, 7}, {19.6f, 10.0f, 1000, 9}, {-30.0f, 5.0f, 1000, 11}});
    ReconWorkBuffers buffers = Buffers(e);
    SeedBackground(buffers.background_image, e);
    int sevens = 0, nines = 0, elevens = 0;
    for (uint16_t value : buffers.background_image) {
        sevens += value == 7;
        nines += value == 9;
        elevens += value == 11;
    }
    EXPECT_EQ(sevens, 3 * 3);  // rows 0..2, cols 0..2 of the window -2..2
    EXPECT_EQ(nines, 2 * 5);   // centre row 20 is outside: rows 18 and 19
    EXPECT_EQ(elevens, 0);     // wholly outside
}

std::vector<uint16_t> DrawOnly(const CalStarExtraction& e) {
    ReconWorkBuffers buffers = Buffers(e);
    DrawStars(buffers.star_layer, buffers.star_drawing, e);
    return buffers.star_layer;
}

TEST(DrawStars, DiscPixelsOfAStarAddUpToItsIntensity) {
    for (const int window : {3, 5, 7, 9, 11}) {
        for (const uint16_t intensity : {uint16_t{1799}, uint16_t{1800}, uint16_t{5000}}) {
            const CalStarExtraction e = Frame(30, 30, window, {{14.3f, 15.6f, intensity, 10}});
            const std::vector<uint16_t> layer = DrawOnly(e);
            std::vector<float> mask(window * window);
            BuildDiscMask(mask, window);
            const int half = (window - 1) / 2;
            double disc = 0.0;
            int disc_pixels = 0;
            for (int a = 0; a < window; ++a) {
                for (int b = 0; b < window; ++b) {
                    if (mask[a * window + b] == 1.0f) {
                        disc += layer[(14 - half + a) * 30 + (16 - half + b)];
                        ++disc_pixels;
                    }
                }
            }
            EXPECT_NEAR(disc, intensity, 0.5 * disc_pixels + 1) << window << " " << intensity;
        }
    }
}

TEST(DrawStars, BrighterStarWinsTheOverlapWhateverItsIndex) {
    const CalStarExtraction bright_first = Frame(30, 30, 5, {{10.0f, 10.0f, 3000, 10}, {11.0f, 11.0f, 500, 10}});
    const CalStarExtraction bright_last = Frame(30, 30, 5, {{11.0f, 11.0f, 500, 10}, {10.0f, 10.0f, 3000, 10}});
    const std::vector<uint16_t> alone = DrawOnly(Frame(30, 30, 5, {{10.0f, 10.0f, 3000, 10}}));
    for (const auto& e : {bright_first, bright_last}) {
        const std::vector<uint16_t> layer = DrawOnly(e);
        for (int r = 8; r <= 12; ++r) {
            for (int c = 8; c <= 12; ++c) EXPECT_EQ(layer[r * 30 + c], alone[r * 30 + c]) << r << "," << c;
        }
        EXPECT_GT(layer[13 * 30 + 13], 0);  // the faint star's own corner remains
    }
}

TEST(DrawStars, IntensityFrom1800UsesTheWideProfile) {
    // The wide profile puts a smaller share into the centre pixel.
    const auto centre_share = [](uint16_t intensity) {
        const std::vector<uint16_t> layer = DrawOnly(Frame(30, 30, 9, {{15.0f, 15.0f, intensity, 0}}));
        return static_cast<double>(layer[15 * 30 + 15]) / intensity;
    };
    EXPECT_GT(centre_share(1799), 0.11);
    EXPECT_LT(centre_share(1800), 0.075);
}

TEST(DrawStars, WindowOneDrawsZeroButStillSeeds) {
    CalStarExtraction e = Frame(20, 20, 1, {{7.0f, 8.0f, 4000, 33}});
    ReconWorkBuffers buffers = Buffers(e);
    SeedBackground(buffers.background_image, e);
    DrawStars(buffers.star_layer, buffers.star_drawing, e);
    EXPECT_EQ(buffers.star_layer[7 * 20 + 8], 0);
    EXPECT_EQ(buffers.background_image[7 * 20 + 8], 33);
}

TEST(DrawStars, StarNearEachEdgeAndCornerIsDrawnAsFarAsItLiesInside) {
    const std::vector<uint16_t> centre = DrawOnly(Frame(40, 40, 7, {{20.3f, 20.6f, 2500, 0}}));
    const std::pair<float, float> positions[] = {{0.3f, 20.6f}, {39.3f, 20.6f}, {20.3f, 0.6f}, {20.3f, 39.6f},
                                                 {0.3f, 0.6f},  {39.3f, 39.6f}, {-2.7f, -1.4f}};
    for (const auto& [row, col] : positions) {
        const std::vector<uint16_t> layer = DrawOnly(Frame(40, 40, 7, {{row, col, 2500, 0}}));
        const int dr = static_cast<int>(std::floor(row + 0.5)) - 20;
        const int dc = static_cast<int>(std::floor(col + 0.5)) - 21;
        for (int r = 0; r < 40; ++r) {
            for (int c = 0; c < 40; ++c) {
                const int sr = r - dr, sc = c - dc;
                const bool in_centre_image = sr >= 0 && sr < 40 && sc >= 0 && sc < 40;
                ASSERT_EQ(layer[r * 40 + c], in_centre_image ? centre[sr * 40 + sc] : 0) << row << "," << col << " at " << r << "," << c;
            }
        }
    }
}

// Sets the generator so that its next draw yields `value`.
void SetNextRandom(PseudoRandom& generator, int32_t value) {
    uint32_t inverse = 1;  // inverse of 214013 modulo 2^32, by Newton's iteration
    for (int i = 0; i < 5; ++i) inverse *= 2u - 214013u * inverse;
    const uint32_t next_state = static_cast<uint32_t>(value) << 16;
    generator.state = (next_state - 2531011u) * inverse;
}

TEST(FillPlanes, ProductsOfEachPixelValue) {
    struct Case {
        uint16_t background, stars;
        int32_t random;
        uint8_t value, frame_index, deviation;
    };
    const Case cases[] = {
        {200, 100, 32767, 255, 255, 15}, {16, 0, 32766, 16, 254, 4}, {15, 0, 129, 15, 1, 3},
        {0, 0, 128, 0, 0, 0},            {255, 0, 0, 255, 0, 15},    {65535, 2, 1000, 1, 7, 1},  // the sum keeps 16 bits
    };
    for (const Case& c : cases) {
        ReconWorkBuffers buffers;
        buffers.background_image = {c.background};
        buffers.star_layer = {c.stars};
        FourProduct product;
        FourProduct_MemSetup(product, 1, 1, 1);
        SetNextRandom(buffers.generator, c.random);
        FillPlanes(buffers.background_image, buffers.star_layer, buffers.generator, product, 1);
        EXPECT_EQ(FourProduct_Plane(product, kPeakValue)[0], c.value) << c.background << "+" << c.stars;
        EXPECT_EQ(FourProduct_Plane(product, kMeanValue)[0], c.value);
        EXPECT_EQ(FourProduct_Plane(product, kStandardDeviation)[0], c.deviation);
        EXPECT_EQ(FourProduct_Plane(product, kPeakFrameIndex)[0], c.frame_index) << c.random;
    }
}

TEST(PseudoRandom, StartsAtOneAndFollowsTheCongruence) {
    PseudoRandom generator;
    const int32_t first[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358};
    for (int32_t expected : first) EXPECT_EQ(PseudoRandom_Next(generator), expected);
}

TEST(PseudoRandom, AdvanceLandsWhereThatManyDrawsLand) {
    const uint64_t counts[] = {0, 1, 2, 3, 7, 640 * 480, 1000003, (uint64_t{1} << 32) + 5};
    for (const uint32_t start : {1u, 0u, 0xDEADBEEFu}) {
        for (const uint64_t draws : counts) {
            PseudoRandom stepped{start};
            // 2^32 draws bring the generator back where it was (the congruence has full period).
            for (uint64_t k = 0; k < draws % (uint64_t{1} << 32); ++k) PseudoRandom_Next(stepped);
            EXPECT_EQ(PseudoRandom_Advance(PseudoRandom{start}, draws).state, stepped.state) << start << " + " << draws;
        }
    }
}

TEST(CalStarReconsitution, RecordsOutsideTheContractAreRefused) {
    const float nan = std::nanf("");
    struct Case {
        const char* what;
        int32_t window;
        float row;
        const char* message_part;
    };
    const Case cases[] = {
        {"even window", 4, 10.0f, "window 4"},
        {"window 0", 0, 10.0f, "window 0"},
        {"negative window", -3, 10.0f, "window -3"},
        {"window above the smaller side", 21, 10.0f, "window 21"},
        {"coordinate NaN", 5, nan, "not a finite number"},
        {"coordinate infinite", 5, INFINITY, "not a finite number"},
    };
    for (const Case& c : cases) {
        const CalStarExtraction e = Frame(20, 30, c.window, {{c.row, 10.0f, 1000, 10}});
        ReconWorkBuffers buffers;
        CalStarReconsitution_MemSetup(buffers, e);
        FourProduct product;
        FourProduct_MemSetup(product, 1, 20, 30);
        try {
            CalStarReconsitution(buffers, e, product);
            ADD_FAILURE() << c.what << ": not refused";
        } catch (const Failure& failure) {
            EXPECT_NE(failure.message.find(c.message_part), std::string::npos) << c.what << ": " << failure.message;
            EXPECT_NE(failure.message.find("record T.bin of CALSTARS_T.txt"), std::string::npos) << failure.message;
        }
    }
}

TEST(CalStarReconsitution, ImagesBelow15x15AreRefusedAtSetUp) {
    for (const auto& [rows, cols] : {std::pair{14, 15}, std::pair{15, 14}, std::pair{1, 1}}) {
        const CalStarExtraction e = Frame(rows, cols, 1, {});
        ReconWorkBuffers buffers;
        EXPECT_THROW(CalStarReconsitution_MemSetup(buffers, e), Failure) << rows << "x" << cols;
    }
}

// The fast profiles' tables and kernels outlive the listing: a later file with the same stars builds
// nothing again. The warning of a record is left for the driver, and cleared by the next record.
TEST(CalStarReconsitution, ProfilesLiveForTheRunAndWarningsAreLeftForTheDriver) {
    CalStarExtraction e = Frame(20, 30, 5, {{8.3f, 10.6f, 1000, 10}, {12.1f, 20.4f, 2000, 10}});
    e.background_level[1] = 300;
    ReconWorkBuffers buffers;
    FourProduct product;
    FourProduct_MemSetup(product, 1, 20, 30);
    CalStarReconsitution_MemSetup(buffers, e);
    CalStarReconsitution(buffers, e, product);
    EXPECT_EQ(buffers.warnings, " Warning: 1 star background levels outside 0..255 clamped in record T.bin of CALSTARS_T.txt \n");
    EXPECT_EQ(buffers.star_drawing.profiles.table_builds, 2u);  // sigma 1.1 and 1.6
    EXPECT_EQ(buffers.star_drawing.profiles.kernel_builds, 2u);
    CalStarReconsitution_FrameFree(buffers);
    CalStarReconsitution_MemFree(buffers);
    e.background_level[1] = 30;
    CalStarReconsitution_MemSetup(buffers, e);
    CalStarReconsitution(buffers, e, product);
    EXPECT_EQ(buffers.warnings, "");
    EXPECT_EQ(buffers.star_drawing.profiles.table_builds, 2u);  // the factor tables outlive the listing
    EXPECT_EQ(buffers.star_drawing.profiles.kernel_builds, 4u);  // kernels are computed afresh, not remembered
}

// Bytes held by a vector: its capacity, which is what it took from the allocator.
template <typename T>
uint64_t Held(const std::vector<T>& buffer) {
    return static_cast<uint64_t>(buffer.capacity()) * sizeof(T);
}

// Every buffer of the work buffers, as held now.
uint64_t HeldBytes(const ReconWorkBuffers& buffers) {
    uint64_t bytes = Held(buffers.star_layer) + Held(buffers.background_image) + Held(buffers.snapshot);
    const HoleFillScratch& fill = buffers.hole_fill;
    bytes += Held(fill.fill_list) + Held(fill.runs) + Held(fill.sorted) + Held(fill.first) + Held(fill.open) + Held(fill.lone) +
             Held(fill.bits) + Held(fill.deferred) + Held(fill.values);
    const MedianFilterScratch& filter = buffers.filter;
    bytes += Held(filter.image) + Held(filter.at_least) + Held(filter.column_min) + Held(filter.column_max) +
             Held(filter.scratch_min) + Held(filter.scratch_max) + Held(filter.window_min) + Held(filter.window_max) +
             Held(filter.excess) + Held(filter.changed);
    const StarLayerScratch& stars = buffers.star_drawing;
    bytes += Held(stars.star_order) + Held(stars.disc_mask) + Held(stars.profile_kernel) + Held(stars.drawn) +
             Held(stars.profiles.tables) + Held(stars.profiles.literal_sums);
    for (const GaussFactorTable& table : stars.profiles.tables) bytes += Held(table.factors);
    return bytes;
}

// Two records of each shape through the fast pipeline on fresh buffers: after each, everything the
// buffers hold stays within CalStarReconsitution_RecordBytes. The shapes reach every size the
// buffers have: the smallest image, windows from 1 to the image's side, no star to thousands, a run
// of one star whose far end lies beyond 254 passes (16-bit distances), and a side of 65535 (the
// pass-by-pass list).
TEST(CalStarReconsitution, RecordBytesBoundEverythingTheBuffersHoldAfterARecord) {
    struct Shape {
        const char* what;
        int32_t rows, cols, window, nstars;
    };
    const Shape shapes[] = {
        {"smallest image, no star", 15, 15, 1, 0},
        {"window as wide as the image", 15, 15, 15, 1},
        {"a few stars", 48, 64, 3, 12},
        {"camera record", 480, 640, 9, 100},
        {"large camera record", 960, 1280, 11, 300},
        {"wide window", 200, 300, 61, 5},
        {"thousands of stars", 100, 100, 1, 2000},
        {"one star at one end", 15, 600, 3, 1},
        {"a side of 65535", 15, kHoleFillDistanceSideLimit, 13, 4369},
    };
    SplitMix64 random{53};
    for (const Shape& shape : shapes) {
        ReconWorkBuffers buffers;
        FourProduct product;
        FourProduct_MemSetup(product, 1, shape.rows, shape.cols);
        for (int record = 0; record < 2; ++record) {
            std::vector<Star> stars;
            for (int32_t s = 0; s < shape.nstars; ++s) {
                if (shape.nstars == 1 && shape.cols > 2 * shape.rows) {
                    stars.push_back({7.0f, 2.0f, 1000, 20});  // the far end is the image's length away
                } else if (shape.cols == kHoleFillDistanceSideLimit) {
                    stars.push_back({7.0f, 7.0f + 15.0f * static_cast<float>(s), 2000, 30});  // gaps of two columns
                } else {
                    stars.push_back({static_cast<float>(random.Uniform() * (shape.rows - 1)),
                                     static_cast<float>(random.Uniform() * (shape.cols - 1)),
                                     static_cast<uint16_t>(random.Between(0, 6000)), random.Between(0, 255)});
                }
            }
            const CalStarExtraction e = Frame(shape.rows, shape.cols, shape.window, stars);
            if (record == 0) CalStarReconsitution_MemSetup(buffers, e);
            CalStarReconsitution(buffers, e, product);
            EXPECT_LE(HeldBytes(buffers), CalStarReconsitution_RecordBytes(shape.rows, shape.cols, shape.window, shape.nstars))
                << shape.what << ", record " << record;
            CalStarReconsitution_FrameFree(buffers);
        }
        EXPECT_EQ(buffers.hole_fill.fill_list.empty(), !FillHoles_NeedsList(shape.rows, shape.cols)) << shape.what;
        CalStarReconsitution_MemFree(buffers);
    }
}

}  // namespace
