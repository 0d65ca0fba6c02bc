#include "driver/memory_budget.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "failure.h"
#include "platform/machine.h"
#include "reconstitution/reconstitution.h"

namespace {

// A file's reader holding `nstars` stars of a rows x cols image, and its text of `text_bytes`.
CalStarExtraction Reader(int32_t rows, int32_t cols, int32_t window, int32_t nstars, size_t text_bytes = 0) {
    CalStarExtraction e;
    e.rows = rows;
    e.cols = cols;
    e.window = window;
    e.nstars = nstars;
    e.path = "CALSTARS_x.txt";
    e.name = "x.bin";
    CalStarExtraction_SizeStars(e, static_cast<size_t>(nstars));
    for (size_t i = 0; i < e.row.size(); ++i) e.row[i] = e.col[i] = 7.0f;
    e.reading.text.reserve(text_bytes);
    return e;
}

// The sequential loop holds the reader's file (text and star arrays), the planes and the buffers, each
// as its owner says: nothing counted twice, nothing left out.
TEST(MemoryBudget, SequentialBytesAddUpWhatEachOwnerSays) {
    struct Case {
        const char* what;
        int32_t rows, cols, window, nstars;
        size_t text;
    };
    const Case cases[] = {
        {"camera record", 480, 640, 9, 100, 4000},
        {"wide window", 3000, 3000, 2999, 1, 100},
        {"a million stars", 1000, 1000, 1, 1000000, 25000000},
        {"a side of 65535", 15, 65535, 13, 10, 500},
    };
    for (const Case& c : cases) {
        const CalStarExtraction reader = Reader(c.rows, c.cols, c.window, c.nstars, c.text);
        const RecordShape shape = RecordShapeOf(reader);
        const uint64_t parts = CalStarExtraction_Bytes(reader, 0) + FourProduct_Bytes(c.rows, c.cols) +
                               CalStarReconsitution_RecordBytes(c.rows, c.cols, c.window, c.nstars);
        EXPECT_GE(SequentialBytes(reader, shape), parts) << c.what;
        // What the allocator takes beside them is the same for every record.
        EXPECT_EQ(SequentialBytes(reader, shape) - parts, SequentialBytes(Reader(15, 15, 1, 0), {15, 15, 1, 0}) -
                                                              CalStarExtraction_Bytes(Reader(15, 15, 1, 0), 0) - FourProduct_Bytes(15, 15) -
                                                              CalStarReconsitution_RecordBytes(15, 15, 1, 0))
            << c.what;
        EXPECT_GE(CalStarExtraction_Bytes(reader, 0), c.text + 18 * static_cast<uint64_t>(c.nstars)) << c.what << ": the reader";
    }
}

// The refusals measure the sequential loop: the file's image (its least record) once the header is
// read, then each record with its window and star count; each names what it measured.
TEST(MemoryBudget, RefusalsNameWhatTheyMeasured) {
    const CalStarExtraction e = Reader(1000, 1000, 9, 60, 2000);
    const uint64_t image = SequentialBytes(e, ImageShapeOf(e));
    const uint64_t record = SequentialBytes(e, RecordShapeOf(e));
    ASSERT_LT(image, record);
    EXPECT_NO_THROW(CheckFileFits(e, image));
    EXPECT_NO_THROW(CheckRecordFits(e, record));
    EXPECT_NO_THROW(CheckRecordFits(e, 0));  // unknown: no refusal
    const auto refusal = [](auto check) {
        try {
            check();
        } catch (const Failure& failure) {
            return failure.message;
        }
        return std::string("no refusal");
    };
    const std::string file = refusal([&] { CheckFileFits(e, image - 1); });
    EXPECT_EQ(file.rfind(" Image of 1000 x 1000 pixels in CALSTARS_x.txt needs ", 0), 0u) << file;
    const std::string one = refusal([&] { CheckRecordFits(e, record - 1); });
    EXPECT_EQ(one.rfind(" Image of 1000 x 1000 pixels with window 9 and 60 stars in CALSTARS_x.txt needs ", 0), 0u) << one;
    EXPECT_NE(one.find(" MB of memory, more than the "), std::string::npos) << one;
    const CalStarExtraction single = Reader(1000, 1000, 9, 1);
    const std::string star = refusal([&] { CheckRecordFits(single, 1); });
    EXPECT_NE(star.find("with window 9 and 1 star in"), std::string::npos) << star;
}

// Workers that fit: each takes its buffers, its stack and two records in flight (planes and star
// copy), beside the reader; what is left is split among them, and never more than asked for.
TEST(MemoryBudget, WorkersAreCutToWhatTheBudgetHolds) {
    const RecordShape shape{1000, 1000, 9, 60};
    const uint64_t reader = 3000;
    const uint64_t worker = WorkerSharesBytes({1, WorkerBufferBytes(shape), JobBytes(shape)});
    ASSERT_GT(worker, WorkerBufferBytes(shape) + 2 * JobBytes(shape) + kWorkerStackBytes - 1);
    struct Case {
        uint64_t budget;
        int32_t asked, expected;
    };
    const Case cases[] = {
        {0, 16, 16},                             // unknown memory: as asked
        {uint64_t{1} << 40, 16, 16},             // plenty
        {reader + 4 * worker, 16, 4},            // four workers
        {reader + 4 * worker - 1, 16, 3},        // a byte short of four
        {reader + 4 * worker, 2, 2},             // never more than asked
        {reader + worker, 8, 1},                 // exactly one
        {reader + worker - 1, 8, 0},             // not one: the record runs in the sequential loop
        {worker, 8, 0},                          // the reader's text counts first
        {1, 8, 0},
    };
    for (const Case& c : cases) {
        const WorkerShares shares = WorkerSharesFor(shape, reader, c.budget, c.asked);
        EXPECT_EQ(shares.workers, c.expected) << c.budget;
        if (c.budget == 0 || shares.workers == 0) continue;
        EXPECT_LE(reader + WorkerSharesBytes(shares), c.budget) << c.budget;
        EXPECT_GE(shares.buffer_bytes, WorkerBufferBytes(shape)) << c.budget;
        EXPECT_GE(shares.job_bytes, JobBytes(shape)) << c.budget;
        EXPECT_TRUE(SharesHold(shares, shape, reader, c.budget, c.asked)) << c.budget;
    }
}

// Shares made for one record hold for the next one while it fits them and the budget, and no more
// workers would fit it: otherwise the run makes new ones (with the records in flight written first).
TEST(MemoryBudget, SharesHoldWhileTheRecordFitsThemAndTheBudget) {
    const RecordShape made_for{1000, 1000, 9, 60};
    const uint64_t reader = 3000;
    const uint64_t worker = WorkerSharesBytes({1, WorkerBufferBytes(made_for), JobBytes(made_for)});
    struct Case {
        const char* what;
        uint64_t budget;
        RecordShape next;
        uint64_t next_reader;
        bool hold;
    };
    const Case cases[] = {
        {"the same record", reader + 2 * worker, made_for, reader, true},
        {"a smaller record, no more workers", reader + 2 * worker, {900, 1000, 9, 60}, reader, true},
        {"a larger image", reader + 2 * worker, {1000, 1100, 9, 60}, reader, false},
        {"a larger window", reader + 2 * worker, {1000, 1000, 501, 60}, reader, false},
        {"more stars", reader + 2 * worker, {1000, 1000, 9, 60000}, reader, false},
        {"a larger file beside them", reader + 2 * worker, made_for, reader + worker, false},
        {"a record small enough for more workers", reader + 2 * worker, {100, 100, 9, 60}, reader, false},
        {"plenty of memory, a smaller record", uint64_t{1} << 40, {900, 1000, 9, 60}, reader, true},
    };
    for (const Case& c : cases) {
        const WorkerShares shares = WorkerSharesFor(made_for, reader, c.budget, 4);
        ASSERT_GT(shares.workers, 0) << c.what;
        EXPECT_EQ(SharesHold(shares, c.next, c.next_reader, c.budget, 4), c.hold) << c.what;
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
