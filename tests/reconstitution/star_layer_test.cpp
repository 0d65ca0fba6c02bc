// The star layer: the disc mask of each window, and the stars drawn into the layer (their disc
// parts, which star wins an overlap, the two widths, window 1, windows at the edges).
#include "reconstitution/star_layer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "reconstitution/reconstitution.h"
#include "records.h"

#include "support/counting_allocator.h"

namespace {

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

// What drawing a record's stars allocates, at its worst moment from the window arrays' set-up to the
// last star, against DrawStars_Bytes on the scratch as it was: never more, and no more below it than
// the profile tables' share (GaussStar_FastCacheBytes, which counts their factors to the window's
// farthest distance while sigma stops them sooner). A record of another window and star count
// follows on the same scratch.
TEST(DrawStars, BytesBoundWhatTheStarsAllocate) {
    SKIP_UNLESS_ALLOCATOR_COUNTS();
    struct Case {
        int32_t rows, cols, window, nstars;
    };
    const Case cases[] = {{40, 50, 1, 3}, {40, 50, 9, 300}, {300, 300, 299, 1}, {300, 300, 3, 20000}, {100, 120, 61, 4}};
    SplitMix64 random{67};
    StarLayerScratch scratch;
    for (const Case& c : cases) {
        std::vector<Star> stars;
        for (int32_t s = 0; s < c.nstars; ++s) {
            stars.push_back({static_cast<float>(random.Uniform() * (c.rows - 1)), static_cast<float>(random.Uniform() * (c.cols - 1)),
                             static_cast<uint16_t>(random.Between(0, 6000)), 10});
        }
        const CalStarExtraction e = Frame(c.rows, c.cols, c.window, stars);
        std::vector<uint16_t> layer(static_cast<size_t>(c.rows) * c.cols, 0);
        DrawStars_ForgetLayer(scratch);  // a layer of its own image
        DrawStars_MemSetup(scratch, c.nstars);
        const uint64_t said = DrawStars_Bytes(scratch, c.window, c.nstars);
        const uint64_t held = DrawStars_Bytes(scratch, 0, 0);
        const uint64_t live = CountingAllocator_Live();
        CountingAllocator_StartPeak();
        DrawStars_FrameSetup(scratch, c.window);
        BuildDiscMask(scratch.disc_mask, c.window);
        DrawStars_Fast(layer, scratch, e);
        const uint64_t most = CountingAllocator_Peak() - live + held;
        DrawStars_FrameFree(scratch);
        EXPECT_LE(most, said) << c.rows << "x" << c.cols << " window " << c.window << " stars " << c.nstars;
        EXPECT_GE(most + GaussStar_FastCacheBytes((c.window - 1) / 2), said) << "window " << c.window << " stars " << c.nstars;
    }
}

}  // namespace
