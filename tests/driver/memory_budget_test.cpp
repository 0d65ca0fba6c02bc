#include "driver/memory_budget.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "failure.h"
#include "platform/machine.h"
#include "reconstitution/gauss_star.h"

namespace {

// Bytes a worker needs per pixel (work images 6, the filter's byte image 1, two records' planes 8),
// per column (384) and its stack; the sequential loop's 11 a pixel.
TEST(MemoryBudget, WorkersAreCutToWhatTheBudgetHolds) {
    const uint64_t table = GaussStar_FastCacheBytes(0);
    const uint64_t npix = 1000 * 1000;
    const uint64_t columns = 384 * 1000;
    const uint64_t worker = 15 * npix + columns + kWorkerStackBytes + table;
    struct Case {
        uint64_t budget;
        int32_t asked, expected;
    };
    const Case cases[] = {
        {0, 16, 16},                     // unknown memory: as asked
        {uint64_t{1} << 40, 16, 16},     // plenty
        {4 * worker, 16, 4},             // four workers
        {4 * worker - 1, 16, 3},         // a byte short of four
        {4 * worker, 2, 2},              // never more than asked
        {worker, 8, 1},                  // exactly one
        {worker - 1, 8, 0},              // not one: the record runs in the sequential loop
        {11 * npix + columns + table, 8, 0},  // what the sequential loop needs is not enough for a worker
        {1, 8, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WorkersThatFit(1000, 1000, 1, c.budget, c.asked), c.expected) << c.budget;
    }
}

// The sequential loop's refusal: 11 bytes a pixel, 384 a column and the profile tables, measured
// against the budget.
TEST(MemoryBudget, RefusalIsMeasuredAgainstTheSequentialLoop) {
    const uint64_t table = GaussStar_FastCacheBytes(0);
    const uint64_t npix = 1000 * 1000;
    const uint64_t columns = 384 * 1000;
    EXPECT_NO_THROW(CheckMemoryBudget(1000, 1000, 1, 11 * npix + columns + table, "x"));
    EXPECT_NO_THROW(CheckMemoryBudget(1000, 1000, 1, 0, "x"));  // unknown: no refusal
    try {
        CheckMemoryBudget(1000, 1000, 1, 11 * npix + columns + table - 1, "CALSTARS_x.txt");
        ADD_FAILURE() << "one worker does not fit";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.message.rfind(" Image of 1000 x 1000 pixels with window 1 in CALSTARS_x.txt needs ", 0), 0u) << failure.message;
    }
}

// Images with a side of 65535 or more are filled pass by pass, whose pixel list takes 4 bytes a
// pixel more, in the sequential loop and in each worker; a side one short of it takes none.
TEST(MemoryBudget, PixelListIsCountedOnlyForImagesFilledPassByPass) {
    const uint64_t table = GaussStar_FastCacheBytes(0);
    struct Case {
        int32_t rows, cols;
        uint64_t sequential, worker;  // bytes a pixel
    };
    const Case cases[] = {{65535, 16, 15, 19}, {16, 65535, 15, 19}, {65534, 16, 11, 15}, {16, 65534, 11, 15}};
    for (const Case& c : cases) {
        const uint64_t npix = static_cast<uint64_t>(c.rows) * static_cast<uint64_t>(c.cols);
        const uint64_t columns = 384 * static_cast<uint64_t>(c.cols);
        EXPECT_NO_THROW(CheckMemoryBudget(c.rows, c.cols, 1, c.sequential * npix + columns + table, "x")) << c.rows << "x" << c.cols;
        EXPECT_THROW(CheckMemoryBudget(c.rows, c.cols, 1, c.sequential * npix + columns + table - 1, "x"), Failure)
            << c.rows << "x" << c.cols;
        const uint64_t worker = c.worker * npix + columns + kWorkerStackBytes + table;
        EXPECT_EQ(WorkersThatFit(c.rows, c.cols, 1, worker, 4), 1) << c.rows << "x" << c.cols;
        EXPECT_EQ(WorkersThatFit(c.rows, c.cols, 1, worker - 1, 4), 0) << c.rows << "x" << c.cols;
    }
}

// The budget is the smallest bound the system sets: three quarters of the physical memory or of
// the control group's limit, the address space left under ulimit -v / -d, and 2 GB in a 32-bit build.
TEST(MemoryBudget, TakesTheSmallestOfTheLimits) {
    constexpr uint64_t kGiB = uint64_t{1} << 30;
    constexpr uint64_t kNoBound = 0;
    const uint64_t cap32 = sizeof(size_t) < 8 ? uint64_t{1} << 31 : 0;
    const auto capped = [&](uint64_t budget) { return cap32 != 0 && (budget == 0 || budget > cap32) ? cap32 : budget; };
    struct Case {
        const char* what;
        MemoryLimits limits;  // physical, address_space, mapped, container
        uint64_t expected;
    };
    const Case cases[] = {
        {"nothing known", {kNoBound, kNoBound, kNoBound, kNoBound}, 0},
        {"physical only", {24 * kGiB, kNoBound, kNoBound, kNoBound}, 18 * kGiB},
        {"mapped without an address limit counts nothing", {24 * kGiB, kNoBound, 5 * kGiB, kNoBound}, 18 * kGiB},
        {"address limit less mapped", {24 * kGiB, 2 * kGiB, 300 << 20, kNoBound}, 2 * kGiB - (300 << 20)},
        {"address limit above physical", {4 * kGiB, 64 * kGiB, 1 * kGiB, kNoBound}, 3 * kGiB},
        {"mapped beyond the address limit", {24 * kGiB, 100 << 20, 200 << 20, kNoBound}, 1},
        {"control group", {24 * kGiB, kNoBound, kNoBound, 4 * kGiB}, 3 * kGiB},
        {"control group above physical", {8 * kGiB, kNoBound, kNoBound, 64 * kGiB}, 6 * kGiB},
        {"control group with physical unknown", {kNoBound, kNoBound, kNoBound, 8 * kGiB}, 6 * kGiB},
        {"all three, address smallest", {24 * kGiB, 1 * kGiB, 100 << 20, 4 * kGiB}, kGiB - (100 << 20)},
        {"all three, group smallest", {24 * kGiB, 8 * kGiB, 100 << 20, 2 * kGiB}, 3 * kGiB / 2},
    };
    for (const Case& c : cases) EXPECT_EQ(MemoryBudget(c.limits), capped(c.expected)) << c.what;
}

}  // namespace
