#include "reconstitution/gauss_star.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "failure.h"
#include "reconstitution/star_layer.h"

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

}  // namespace
