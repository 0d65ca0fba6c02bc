#include "reconstitution/gauss_star.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "failure.h"

namespace {

std::vector<float> Kernel(int half, float row, float col, float sigma) {
    std::vector<float> kernel((2 * half + 1) * (2 * half + 1), -1.0f);
    GaussStar(half, row, col, sigma, kernel.data());
    return kernel;
}

TEST(GaussStar, HalfZeroIsExactlyOne) { EXPECT_EQ(Kernel(0, 10.3f, 20.7f, 1.6f), std::vector<float>{1.0f}); }

TEST(GaussStar, ThreeByThreeKernelsToSixDigits) {
    struct Case {
        float row, col, sigma;
        double expected[9];
    };
    const Case cases[] = {
        {10.0f, 20.0f, 1.1f, {0.0830201, 0.122092, 0.0830201, 0.122092, 0.179552, 0.122092, 0.0830201, 0.122092, 0.0830201}},
        {10.3f, 20.7f, 1.6f, {0.0960678, 0.104119, 0.0773177, 0.129854, 0.140738, 0.104510, 0.120262, 0.130341, 0.0967898}},
        {10.5f, 20.49f, 1.6f, {0.0954667, 0.138556, 0.137780, 0.0956456, 0.138816, 0.138038, 0.0656546, 0.0952881, 0.0947546}},
    };
    for (const Case& c : cases) {
        const std::vector<float> kernel = Kernel(1, c.row, c.col, c.sigma);
        for (int k = 0; k < 9; ++k) EXPECT_NEAR(kernel[k], c.expected[k], 6e-7) << c.row << "," << c.col << " element " << k;
    }
}

TEST(GaussStar, NearestPixelAndSubSampleOffset) {
    struct Case {
        float coordinate;
        int32_t nearest, offset;
    };
    const Case cases[] = {
        {10.5f, 11, -50}, {10.49f, 10, 49}, {10.7f, 11, -29}, {10.3f, 10, 30}, {10.0f, 10, 0},
        {9.7f, 10, -29},  // a negative fraction of -0.3 moves toward zero
        {-0.3f, 0, -29}, {-0.5f, 0, -50},
        {-0.7f, -1, 30}, {-3.5f, -3, -50},  // below -0.5: floor keeps the offset within -50..50
    };
    for (const Case& c : cases) {
        const int32_t nearest = GaussStar_NearestPixel(c.coordinate);
        EXPECT_EQ(nearest, c.nearest) << c.coordinate;
        EXPECT_EQ(GaussStar_SubSampleOffset(c.coordinate, nearest), c.offset) << c.coordinate;
    }
}

TEST(GaussStar, KernelsSumToOneWithinFloatRounding) {
    for (int half = 0; half <= 5; ++half) {
        for (const float sigma : {0.3f, 1.1f, 1.6f, 4.0f}) {
            for (const float position : {0.0f, 7.25f, 3.5f, 12.49f, -0.5f}) {
                const std::vector<float> kernel = Kernel(half, position, 30.0f - position, sigma);
                double sum = 0.0;
                for (float value : kernel) sum += value;
                EXPECT_NEAR(sum, 1.0, 1e-6 * kernel.size()) << half << " " << sigma << " " << position;
            }
        }
    }
}

TEST(GaussStar, TableIsRebuiltOnlyWhenHalfOrSigmaChangesOrAfterARelease) {
    GaussStarCache& cache = GaussStar_Cache();
    GaussStar_Release();
    struct Step {
        int half;
        float sigma;
        bool release_first;
        bool rebuilds;
    };
    const Step steps[] = {
        {2, 1.1f, false, true},   // released: the first call rebuilds
        {2, 1.1f, false, false},  // same pair: reused
        {2, 1.6f, false, true},   // sigma changed
        {3, 1.6f, false, true},   // half changed
        {3, 1.6f, false, false},
        {3, 1.6f, true, true},    // released: rebuilt even for the same pair
    };
    for (const Step& step : steps) {
        if (step.release_first) GaussStar_Release();
        const uint64_t before = cache.rebuild_count;
        Kernel(step.half, 5.2f, 6.7f, step.sigma);
        EXPECT_EQ(cache.rebuild_count - before, step.rebuilds ? 1u : 0u) << step.half << " " << step.sigma;
        EXPECT_EQ(cache.needs_rebuild, 0);
        EXPECT_EQ(cache.cached_half, step.half);
        EXPECT_EQ(cache.cached_sigma, step.sigma);
        EXPECT_EQ(cache.sample_side, 101 * (2 * step.half + 3));
        EXPECT_EQ(cache.patch_side, 101 * (2 * step.half + 1));
    }
    GaussStar_Release();
    EXPECT_TRUE(cache.samples.empty());
    EXPECT_TRUE(cache.patch.empty());
    EXPECT_EQ(cache.needs_rebuild, 1);
    GaussStar_Release();  // nothing to free: only marks the rebuild
    EXPECT_EQ(cache.needs_rebuild, 1);
}

TEST(GaussStar, ArgumentsOutsideTheContractAreRefused) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        int half;
        float row, col, sigma;
    };
    const Case cases[] = {
        {-1, 5.0f, 5.0f, 1.1f}, {1, 5.0f, 5.0f, 0.0f}, {1, 5.0f, 5.0f, -1.1f}, {1, 5.0f, 5.0f, nan},
        {1, 5.0f, 5.0f, inf},   {1, nan, 5.0f, 1.1f},  {1, 5.0f, -inf, 1.1f},  {1, 5.0f, 3e9f, 1.1f},
    };
    for (const Case& c : cases) {
        float kernel[9] = {};
        EXPECT_THROW(GaussStar(c.half, c.row, c.col, c.sigma, kernel), Failure) << c.half << " " << c.row << " " << c.sigma;
    }
}

}  // namespace

namespace {

std::vector<float> FastKernel(GaussStarFastCache& cache, int half, float row, float col, float sigma) {
    std::vector<float> kernel((2 * half + 1) * (2 * half + 1), -1.0f);
    GaussStar_Fast(cache, half, row, col, sigma, kernel.data());
    return kernel;
}

// A sequence of calls on one cache, and the factor tables each must build: one per (half, sigma),
// two widths side by side, and a new half drops the other half's.
TEST(GaussStarFast, BuildsEachFactorTableOnceAndKeepsTablesOfOneHalf) {
    GaussStarFastCache cache;
    struct Step {
        int half;
        float row, col, sigma;
        int table_builds;
        size_t tables;
    };
    const Step steps[] = {
        {2, 5.2f, 6.7f, 1.1f, 1, 1},
        {2, 5.3f, 6.7f, 1.1f, 0, 1},   // another offset: the same table
        {2, 5.2f, 6.7f, 1.6f, 1, 2},   // the other width: a second table beside the first
        {2, 5.2f, 6.7f, 1.1f, 0, 2},
        {2, 5.2f, 6.7f, 2.0f, 1, 2},   // a third width: the oldest goes
        {3, 5.2f, 6.7f, 1.1f, 1, 1},   // another half: the tables of half 2 go
    };
    for (const Step& step : steps) {
        const uint64_t tables_before = cache.table_builds;
        EXPECT_EQ(FastKernel(cache, step.half, step.row, step.col, step.sigma), Kernel(step.half, step.row, step.col, step.sigma));
        EXPECT_EQ(cache.table_builds - tables_before, static_cast<uint64_t>(step.table_builds)) << step.half << " " << step.sigma;
        EXPECT_EQ(cache.tables.size(), step.tables);
    }
}

TEST(GaussStarFast, CachesAreIndependentAndNeverTouchTheLiteralCache) {
    GaussStar_Release();
    const uint64_t literal_rebuilds = GaussStar_Cache().rebuild_count;
    GaussStarFastCache first, second;
    const std::vector<float> a = FastKernel(first, 3, 10.3f, 20.7f, 1.6f);
    EXPECT_EQ(second.kernel_builds, 0u);
    const std::vector<float> b = FastKernel(second, 3, 10.3f, 20.7f, 1.6f);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, Kernel(3, 10.3f, 20.7f, 1.6f));
    GaussStar_Release();  // the literal release leaves the fast caches as they are
    EXPECT_EQ(first.tables.size(), 1u);
    EXPECT_EQ(GaussStar_Cache().rebuild_count, literal_rebuilds + 1);  // only the literal call above
}

// The factor table ends where the quotient reaches 700 (beyond, the blocks are decided without it),
// so its size follows sigma, not the window; the budget's figure bounds it for every half.
TEST(GaussStarFast, FactorTablesStayWithinTheBudgetForAnyWindow) {
    struct Case {
        int half;
        float sigma;
    };
    const Case cases[] = {{0, 1.1f}, {4, 1.6f}, {150, 1.6f}, {150, 40.0f}, {400, 1.1f}};
    for (const Case& c : cases) {
        GaussStarFastCache cache;
        FastKernel(cache, c.half, 7.3f, 8.9f, c.sigma);
        const size_t factors = cache.tables.back().factors.size();
        EXPECT_LE(kFastTables * sizeof(double) * factors, GaussStar_FastCacheBytes(c.half)) << c.half;
        // exp(-(m^2 / D)) < e^-700 beyond m = sqrt(700 D): about 37.5 sigma pixels.
        EXPECT_LE(static_cast<double>(factors), std::sqrt(700.0 * 2.0) * 101.0 * c.sigma + 2.0) << c.half;
    }
    EXPECT_LT(GaussStar_FastCacheBytes(3000), uint64_t{8} << 20);
}

// A block the estimate leaves open is summed once: a later kernel that meets it (a star of a night
// back at the same sub-sample offsets) takes the kept sum, and still the literal bits.
TEST(GaussStarFast, BlocksLeftOpenAreSummedOnceAndKept) {
    GaussStarFastCache cache;
    // The first offsets of a walk through all of them whose kernel leaves a block open.
    float row = 0.0f, col = 0.0f;
    for (int step = 0; step < 101 * 101 && cache.literal_blocks == 0; ++step) {
        row = 100.0f + static_cast<float>(step / 101) / 101.0f;
        col = 200.0f + static_cast<float>(step % 101) / 101.0f;
        FastKernel(cache, 4, row, col, 1.1f);
    }
    ASSERT_GT(cache.literal_blocks, 0u);
    const uint64_t summed = cache.literal_blocks, kept = cache.remembered_blocks;
    GaussStarFastCache fresh;
    const std::vector<float> first = FastKernel(fresh, 4, row, col, 1.1f);
    EXPECT_EQ(FastKernel(cache, 4, row, col, 1.1f), first);
    EXPECT_EQ(first, Kernel(4, row, col, 1.1f));
    EXPECT_EQ(cache.literal_blocks, summed);
    EXPECT_EQ(cache.remembered_blocks - kept, fresh.literal_blocks);
    EXPECT_GT(fresh.literal_blocks, 0u);
}

// Inputs the bound could miss: very wide windows, where most blocks are 0 and a ring of blocks has
// subnormal values; very narrow and very wide Gaussians; the literal path's own blocks. Each against
// the literal call.
TEST(GaussStarFast, WideWindowsTinyAndHugeWidthsGiveTheLiteralBits) {
    struct Case {
        int half;
        float row, col, sigma;
    };
    const Case cases[] = {
        {8, 30.5f, 40.49f, 0.2f},    // subnormal ring (quotients 700 to 750) about 7.6 pixels out
        {6, 30.2f, 40.7f, 0.05f},    // almost all light in one block
        {4, 30.2f, 40.7f, 1.0e-30f}, // a delta: every other block exactly 0
        {3, 30.2f, 40.7f, 300.0f},   // flat: all blocks nearly equal
        {2, 30.2f, 40.7f, 3.0e30f},  // quotients all round to 0
        {5, -0.5f, 40.0f, 0.43f},
    };
    for (const Case& c : cases) {
        GaussStarFastCache cache;
        EXPECT_EQ(FastKernel(cache, c.half, c.row, c.col, c.sigma), Kernel(c.half, c.row, c.col, c.sigma))
            << c.half << " " << c.sigma;
    }
}

}  // namespace
