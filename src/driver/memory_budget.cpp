#include "driver/memory_budget.h"

#include <algorithm>
#include <cinttypes>
#include <limits>

#include "failure.h"
#include "platform/machine.h"
#include "reconstitution/reconstitution.h"

namespace {

constexpr uint64_t kUnbounded = std::numeric_limits<uint64_t>::max();

// What the allocator takes beside the buffers a record's owners count. Every block of a run's own
// sizes is mapped on its own under a memory limit (FitMallocToMemoryLimits) and rounded up to whole
// pages with a header before it; a record holds a few dozen such blocks at once (work images,
// scratch, planes, star arrays). The small blocks (names, lines, the stdio buffers of the output
// file) come from the allocator's heap, which keeps some room of its own above them.
constexpr uint64_t kPageBytes = 4096;
constexpr uint64_t kBlocksHeld = 64;
constexpr uint64_t kHeapBytes = uint64_t{1} << 20;
constexpr uint64_t kAllocatorBytes = kBlocksHeld * kPageBytes + kHeapBytes;

// The bytes of a refusal's figures in MB, as the lines print them.
uint64_t Megabytes(uint64_t bytes) { return bytes >> 20; }

[[noreturn]] void RefuseMemory(const std::string& what, const std::string& path, uint64_t needed, uint64_t budget) {
    Fail(WaitKind::None, Format(" Image of %s in %s needs %" PRIu64 " MB of memory, more than the %" PRIu64
                                " MB this machine can give \n",
                                what.c_str(), path.c_str(), Megabytes(needed), Megabytes(budget)));
}

std::string ImageText(const RecordShape& shape) { return Format("%" PRId32 " x %" PRId32 " pixels", shape.rows, shape.cols); }

}  // namespace

uint64_t MemoryBudget(const MemoryLimits& limits) {
    uint64_t budget = 0;
    const auto take = [&budget](uint64_t bound) {
        if (bound != 0 && (budget == 0 || bound < budget)) budget = bound;
    };
    take(limits.physical / 4 * 3);
    take(limits.container / 4 * 3);
    // Mapped beyond the limit already: nothing more fits (1 byte, since 0 would mean no limit).
    if (limits.address_space != 0) take(limits.address_space > limits.mapped ? limits.address_space - limits.mapped : 1);
    if (sizeof(size_t) < 8) take(uint64_t{1} << 31);
    return budget;
}

RecordShape RecordShapeOf(const CalStarExtraction& record) { return {record.rows, record.cols, record.window, record.nstars}; }

RecordShape ImageShapeOf(const CalStarExtraction& extraction) { return {extraction.rows, extraction.cols, 1, 0}; }

uint64_t SequentialBytes(const CalStarExtraction& reader, const RecordShape& shape, const FourProduct& product,
                         const ReconWorkBuffers& buffers) {
    // The reader's star arrays are the record's own: the sequential loop reconstitutes from them.
    return CalStarExtraction_Bytes(reader, 0) + FourProduct_Bytes(product, shape.rows, shape.cols) +
           CalStarReconsitution_RecordBytes(buffers, shape.rows, shape.cols, shape.window, shape.nstars) + kAllocatorBytes;
}

uint64_t WorkerBufferBytes(const RecordShape& shape) {
    return CalStarReconsitution_RecordBytes(shape.rows, shape.cols, shape.window, shape.nstars);
}

namespace {

// One worker in all: its buffers, what the allocator takes beside them (each worker's thread
// allocates from its own heap of the allocator, outside an address-space limit), its stack and two
// records in flight.
uint64_t WorkerBytes(uint64_t buffers, uint64_t job) { return buffers + kAllocatorBytes + kWorkerStackBytes + 2 * job; }

}  // namespace

uint64_t JobBytes(const RecordShape& shape) {
    return FourProduct_Bytes(shape.rows, shape.cols) + CalStarExtraction_Bytes(CalStarExtraction{}, shape.nstars);
}

uint64_t WorkerSharesBytes(const WorkerShares& shares) {
    if (shares.buffer_bytes == kUnbounded) return kUnbounded;
    return static_cast<uint64_t>(shares.workers) * WorkerBytes(shares.buffer_bytes, shares.job_bytes);
}

WorkerShares WorkerSharesFor(const RecordShape& shape, uint64_t reader_bytes, uint64_t budget, int32_t capacity) {
    if (budget == 0) return {capacity, kUnbounded, kUnbounded};
    const uint64_t buffers = WorkerBufferBytes(shape);
    const uint64_t job = JobBytes(shape);
    const uint64_t worker = WorkerBytes(buffers, job);
    const uint64_t left = budget > reader_bytes ? budget - reader_bytes : 0;
    const int32_t workers = static_cast<int32_t>(std::min<uint64_t>(left / worker, static_cast<uint64_t>(std::max(capacity, 0))));
    if (workers == 0) return {};
    const uint64_t spare = left / static_cast<uint64_t>(workers) - worker;
    return {workers, buffers + spare / 2, job + spare / 4};
}

bool SharesHold(const WorkerShares& shares, const RecordShape& shape, uint64_t reader_bytes, uint64_t budget, int32_t capacity) {
    if (shares.workers == 0) return false;
    if (budget == 0) return true;
    return WorkerBufferBytes(shape) <= shares.buffer_bytes && JobBytes(shape) <= shares.job_bytes &&
           reader_bytes <= budget && WorkerSharesBytes(shares) <= budget - reader_bytes &&
           WorkerSharesFor(shape, reader_bytes, budget, capacity).workers <= shares.workers;
}

void CheckFileFits(const CalStarExtraction& extraction, uint64_t budget) {
    CalStarReconsitution_CheckImage(extraction);
    const RecordShape image = ImageShapeOf(extraction);
    const uint64_t needed = SequentialBytes(extraction, image);
    if (budget != 0 && needed > budget) RefuseMemory(ImageText(image), extraction.path, needed, budget);
}

void CheckRecordFits(const CalStarExtraction& record, uint64_t budget) {
    CalStarReconsitution_CheckRecord(record);
    const RecordShape shape = RecordShapeOf(record);
    const uint64_t needed = SequentialBytes(record, shape);
    if (budget != 0 && needed > budget) {
        RefuseMemory(ImageText(shape) + Format(" with window %" PRId32 " and %" PRId32 " star%s", shape.window, shape.nstars,
                                               shape.nstars == 1 ? "" : "s"),
                     record.path, needed, budget);
    }
}

void CheckFileSizeFits(uint64_t file_bytes, uint64_t budget) {
    if (budget != 0 && file_bytes >= budget) FailMemory(WaitKind::None, kCalStarReaderMemoryFailure);
}

bool KeptMemoryCrowdsFile(const FourProduct& product, const ReconWorkBuffers& buffers, uint64_t file_bytes, uint64_t budget) {
    if (budget == 0) return false;
    return FourProduct_Bytes(product, 0, 0) + CalStarReconsitution_HeldBytes(buffers) + CalStarExtraction_FileBytes(file_bytes) +
               kAllocatorBytes >
           budget;
}

void SetUpWithinBudget(FourProduct& product, ReconWorkBuffers& buffers, const CalStarExtraction& reader,
                       const CalStarExtraction& record, uint64_t budget) {
    const RecordShape shape = RecordShapeOf(record);
    // The record's own star arrays are the reader's, or beside it (a record handed back by a worker).
    const uint64_t copy = &reader == &record ? 0 : CalStarExtraction_Bytes(record, 0);
    if (budget != 0 && SequentialBytes(reader, shape, product, buffers) + copy > budget) {
        FourProduct_MemFree(product);
        CalStarReconsitution_FreeBuffers(buffers);
    }
    CalStarReconsitution_SetUpFor(buffers, product, record);
}
