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

// A sequence of calls on one cache, and what each must build: a kernel depends only on (half, sigma,
// sub-sample offsets), so only a new one of those is summed, and a new half drops the other half's
// tables.
TEST(GaussStarFast, BuildsEachTableAndKernelOnceAndKeepsTablesOfOneHalf) {
    GaussStarFastCache cache;
    struct Step {
        int half;
        float row, col, sigma;
        int table_builds, kernel_builds;
        size_t tables;
    };
    const Step steps[] = {
        {2, 5.2f, 6.7f, 1.1f, 1, 1, 1},
        {2, 5.2f, 6.7f, 1.1f, 0, 0, 1},   // remembered
        {2, 9.2f, 3.7f, 1.1f, 0, 0, 1},   // another pixel, the same offsets (20, -30)
        {2, 5.3f, 6.7f, 1.1f, 0, 1, 1},   // another row offset
        {2, 5.2f, 6.7f, 1.6f, 1, 1, 2},   // the other width: a second table beside the first
        {2, 5.2f, 6.7f, 1.1f, 0, 0, 2},
        {3, 5.2f, 6.7f, 1.1f, 1, 1, 1},   // another half: the tables of half 2 go
        {2, 5.2f, 6.7f, 1.1f, 1, 1, 1},   // ... and are built again
    };
    for (const Step& step : steps) {
        const uint64_t tables_before = cache.table_builds, kernels_before = cache.kernel_builds;
        FastKernel(cache, step.half, step.row, step.col, step.sigma);
        EXPECT_EQ(cache.table_builds - tables_before, static_cast<uint64_t>(step.table_builds)) << step.half << " " << step.row;
        EXPECT_EQ(cache.kernel_builds - kernels_before, static_cast<uint64_t>(step.kernel_builds)) << step.half << " " << step.row;
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
    EXPECT_EQ(first.kernel_builds, 1u);
    EXPECT_EQ(second.kernel_builds, 1u);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a, Kernel(3, 10.3f, 20.7f, 1.6f));
    GaussStar_Release();  // the literal release leaves the fast caches as they are
    EXPECT_EQ(first.tables.size(), 1u);
    EXPECT_EQ(GaussStar_Cache().rebuild_count, literal_rebuilds + 1);  // only the literal call above
}

// With every one of its 101 x 101 kernels remembered, for both widths, the fast cache of a half takes
// what the memory budget counts for it.
TEST(GaussStarFast, AFullCacheTakesTheBytesTheBudgetCounts) {
    for (int half = 0; half <= 12; ++half) {
        GaussStarFastCache cache;
        FastKernel(cache, half, 5.0f, 5.0f, 1.1f);
        const GaussTable& table = cache.tables.back();
        const uint64_t area = static_cast<uint64_t>(2 * half + 1) * (2 * half + 1);
        const uint64_t full_table = sizeof(double) * table.samples.size() + sizeof(int32_t) * table.kernel_slot.size() +
                                    sizeof(float) * area * table.kernel_slot.size();
        EXPECT_EQ(kFastTables * full_table, GaussStar_FastCacheBytes(half)) << half;
    }
}

// A store takes the first half it is asked for and kFastTables sigmas of it; anything else is summed
// in the caller's own cache, with the same bits.
TEST(GaussStarShared, CoversTheFirstHalfAndTwoSigmasAndLeavesTheRestToTheCaller) {
    GaussSharedKernels store;
    GaussStarFastCache cache;
    cache.shared = &store;
    struct Step {
        int half;
        float sigma;
        uint64_t store_tables;  // tables in the store after the call
        size_t own_tables;      // ... and in the caller's cache
    };
    const Step steps[] = {
        {3, 1.1f, 1, 0},
        {3, 1.6f, 2, 0},
        {3, 1.1f, 2, 0},
        {3, 2.0f, 2, 1},  // a third sigma: the caller's own
        {2, 1.1f, 2, 1},  // another half: the caller's own (which drops half 3's)
    };
    for (const Step& step : steps) {
        EXPECT_EQ(FastKernel(cache, step.half, 7.3f, 8.9f, step.sigma), Kernel(step.half, 7.3f, 8.9f, step.sigma)) << step.sigma;
        EXPECT_EQ(store.table_builds.load(), step.store_tables) << step.half << " " << step.sigma;
        EXPECT_EQ(cache.tables.size(), step.own_tables) << step.half << " " << step.sigma;
    }
    EXPECT_EQ(store.half.load(), 3);
    EXPECT_TRUE(GaussStar_SharedClaim(store, 3));
    EXPECT_FALSE(GaussStar_SharedClaim(store, 2));
    EXPECT_EQ(store.kernels_published.load(), 2u);  // one kernel of each shared sigma
}

// Threads drawing the same and different offsets from one store, each with its own cache, all get
// GaussStar's bits; each kernel is published once, though two threads that miss it at once may both
// sum it. Run under ThreadSanitizer, this is also the check that the hit path needs no lock.
TEST(GaussStarShared, ThreadsShareEveryKernelAndGetTheLiteralBits) {
    constexpr int kThreads = 4, kHalf = 2;
    struct Request {
        float row, col, sigma;
    };
    std::vector<Request> requests;
    for (int k = 0; k < 12; ++k) {
        requests.push_back({5.0f + 0.07f * k, 9.0f - 0.05f * k, k % 2 == 0 ? 1.1f : 1.6f});
    }
    std::vector<std::vector<float>> expected;
    for (const Request& r : requests) expected.push_back(Kernel(kHalf, r.row, r.col, r.sigma));
    GaussStar_Release();
    GaussSharedKernels store;
    std::vector<GaussStarFastCache> caches(kThreads);
    std::vector<std::vector<std::vector<float>>> got(kThreads, std::vector<std::vector<float>>(requests.size()));
    std::vector<int> changed(kThreads, 0);  // kernels that differ between a thread's two asks
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        caches[t].shared = &store;
        caches[t].avx2_allowed = t % 2 == 0;  // both summing forms publish into the same slots
        threads.emplace_back([&, t] {
            // Every thread asks for all requests twice, each starting at its own place.
            for (size_t n = 0; n < 2 * requests.size(); ++n) {
                const size_t k = (n + 3 * t) % requests.size();
                const Request& r = requests[k];
                std::vector<float> kernel = FastKernel(caches[t], kHalf, r.row, r.col, r.sigma);
                if (n < requests.size()) got[t][k] = kernel;
                else if (kernel != got[t][k]) ++changed[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    uint64_t summed = 0;
    for (int t = 0; t < kThreads; ++t) {
        for (size_t k = 0; k < requests.size(); ++k) EXPECT_EQ(got[t][k], expected[k]) << t << " " << k;
        EXPECT_EQ(changed[t], 0) << t;
        EXPECT_TRUE(caches[t].tables.empty()) << t;
        summed += caches[t].kernel_builds;
    }
    EXPECT_EQ(store.table_builds.load(), 2u);
    EXPECT_EQ(store.kernels_published.load(), requests.size());
    EXPECT_GE(summed, requests.size());
    EXPECT_LE(summed, kThreads * requests.size());
}

}  // namespace
