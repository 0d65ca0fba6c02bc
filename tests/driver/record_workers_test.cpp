#include "driver/record_workers.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>
#include <vector>

#include "failure.h"
#include "reconstitution/pseudo_random.h"

namespace {

// A record of rows x cols whose stars move with `shift`, so that every record's planes differ.
CalStarExtraction Record(int32_t rows, int32_t cols, int shift) {
    CalStarExtraction e;
    e.rows = rows;
    e.cols = cols;
    e.window = 5;
    e.divisor = 1;
    e.name = "R" + std::to_string(shift) + ".bin";
    e.path = "CALSTARS_R.txt";
    const float stars[][2] = {{6.25f, 9.5f}, {20.0f, 30.75f}, {33.5f, 12.0f}};
    for (const auto& star : stars) {
        e.row.push_back(star[0] + static_cast<float>(shift % 5));
        e.col.push_back(star[1] + static_cast<float>(shift % 7));
        e.intensity.push_back(static_cast<uint16_t>(1500 + 100 * shift));
        e.total.push_back(static_cast<uint16_t>(1540 + 100 * shift + shift % 3));
        e.background.push_back(static_cast<uint16_t>(40 + shift % 3));
        e.background_level.push_back(40 + shift % 3);
    }
    e.nstars = static_cast<int32_t>(e.row.size());
    return e;
}

std::vector<uint8_t> Planes(FourProduct& product, size_t npix) {
    std::vector<uint8_t> planes;
    for (int k = 0; k < kProducts; ++k) planes.insert(planes.end(), FourProduct_Plane(product, k), FourProduct_Plane(product, k) + npix);
    return planes;
}

// What the sequential loop makes of the records, the generator running on from one to the next.
std::vector<std::vector<uint8_t>> Sequential(const std::vector<CalStarExtraction>& records) {
    std::vector<std::vector<uint8_t>> planes;
    ReconWorkBuffers buffers;
    FourProduct product;
    uint64_t drawn = 0;
    for (const CalStarExtraction& record : records) {
        CalStarReconsitution_SetUpFor(buffers, product, record);
        buffers.generator = PseudoRandom_Advance(PseudoRandom{}, drawn);
        drawn += static_cast<uint64_t>(record.rows) * static_cast<uint64_t>(record.cols);
        RecordOutcome outcome;
        ReconstituteRecord(buffers, record, product, outcome);
        EXPECT_FALSE(outcome.failure);
        CalStarReconsitution_FrameFree(buffers);
        planes.push_back(Planes(product, static_cast<size_t>(record.rows) * static_cast<size_t>(record.cols)));
    }
    return planes;
}

// Workers that are stopped (their threads and memory with them, as before a record that no worker
// fits), let work again in other numbers, and made to give back what they keep, any number of times,
// make the planes of the sequential loop in its order.
TEST(RecordWorkers, StoppedAndRestartedWorkersMakeTheSequentialPlanes) {
    std::vector<CalStarExtraction> records;
    for (int i = 0; i < 12; ++i) records.push_back(Record(i < 6 ? 40 : 48, 50, i));
    const std::vector<std::vector<uint8_t>> expected = Sequential(records);
    RecordWorkers workers(3, 0);
    ASSERT_GE(workers.Started(), 1);
    // Workers allowed before each record (0 stops them all, and the next record restarts them), and
    // what each may keep: nothing (every worker gives its buffers back before each record) or all.
    const int32_t allowed[] = {3, 3, 0, 2, 1, 0, 0, 3, 2, 0, 3, 1};
    const uint64_t keep[] = {UINT64_MAX, 0};
    uint64_t drawn = 0;
    size_t next_back = 0;
    const auto take_back = [&] {
        std::unique_ptr<RecordJob> job = workers.TakeOldest();
        EXPECT_FALSE(job->outcome.failure) << next_back;
        const size_t npix = static_cast<size_t>(job->record.rows) * static_cast<size_t>(job->record.cols);
        EXPECT_EQ(Planes(job->product, npix), expected[next_back]) << "record " << next_back;
        ++next_back;
    };
    int32_t running = 3;
    for (size_t i = 0; i < records.size(); ++i) {
        const int32_t wanted = allowed[i] == 0 ? 1 : allowed[i];
        if (allowed[i] == 0 || wanted != running) {
            while (workers.Pending() > 0) take_back();
            if (allowed[i] == 0) {
                workers.SetAllowed(0, 0);
                EXPECT_EQ(workers.Started(), 0);
            }
            workers.SetAllowed(wanted, keep[i % 2]);
            EXPECT_EQ(workers.Started(), wanted);
            running = wanted;
        }
        auto job = std::make_unique<RecordJob>();
        CalStarExtraction_CopyRecord(records[i], job->record);
        job->generator = PseudoRandom_Advance(PseudoRandom{}, drawn);
        drawn += static_cast<uint64_t>(records[i].rows) * static_cast<uint64_t>(records[i].cols);
        workers.Submit(std::move(job));
        while (workers.Pending() > 2 * static_cast<size_t>(running)) take_back();
    }
    while (workers.Pending() > 0) take_back();
    EXPECT_EQ(next_back, records.size());
}

}  // namespace

namespace {

// A worker's memory failure hands the run to the sequential loop; any other failure is the record's.
TEST(RecordOutcome, MemoryFailuresAreToldApartFromTheRecordsOwn) {
    struct Case {
        const char* what;
        std::exception_ptr thrown;
        bool memory;
    };
    Failure memory;
    memory.kind = FailureKind::kMemory;
    Failure refused;
    refused.kind = FailureKind::kContent;
    const Case cases[] = {
        {"bad_alloc", std::make_exception_ptr(std::bad_alloc()), true},
        {"length_error (a size beyond a container's)", std::make_exception_ptr(std::length_error("vector")), true},
        {"memory Failure", std::make_exception_ptr(memory), true},
        {"refused record", std::make_exception_ptr(refused), false},
        {"other exception", std::make_exception_ptr(std::runtime_error("x")), false},
    };
    for (const Case& c : cases) {
        RecordOutcome outcome;
        try {
            std::rethrow_exception(c.thrown);
        } catch (...) {
            RecordOutcome_CatchCurrent(outcome);
        }
        EXPECT_EQ(outcome.out_of_memory, c.memory) << c.what;
        EXPECT_TRUE(outcome.failure) << c.what;
    }
}

}  // namespace
