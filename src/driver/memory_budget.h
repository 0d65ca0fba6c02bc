// The memory budget of a run: how much memory the limits in force leave it, what the sequential loop
// and each worker of a parallel run hold for a record, and the checks that refuse a CALSTARS file or a
// record that does not fit. Every figure here is the sum, made here and nowhere else, of what the
// modules that allocate say they take, from the sizes they allocate with: the reader
// (CalStarExtraction_Bytes), the planes (FourProduct_Bytes) and the work buffers
// (CalStarReconsitution_RecordBytes). The sequential loop, the parallel run and the Python module all
// measure against these, so that a record is refused, or fits, whatever the number of workers.
#pragma once

#include <cstdint>
#include <string>

#include "calstars/calstars.h"
#include "fourproduct/fourproduct.h"
#include "reconstitution/work_buffers.h"

struct MemoryLimits;

// The memory a run may take, in bytes, from the limits in force (0 when none is known): the smallest
// of three quarters of the physical memory, three quarters of the control group's or job object's
// limit (the rest is left to the system and the other processes there), and the address space left
// under an address-space or data limit (the limit less what is mapped already). A 32-bit build never
// counts on more than 2 GB.
uint64_t MemoryBudget(const MemoryLimits& limits);

// What a record asks of the memory: its image, its window and its star count.
struct RecordShape {
    int32_t rows = 0, cols = 0, window = 0, nstars = 0;
};

// The shape of the current record of `record`.
RecordShape RecordShapeOf(const CalStarExtraction& record);

// The least any record of the file's image takes: window 1 and no star (the file-level check).
RecordShape ImageShapeOf(const CalStarExtraction& extraction);

// Bytes the sequential loop holds through a record of `shape`: the reader's file as `reader` holds it
// (its text and star arrays), the record's planes and the work buffers, each kept from earlier
// records as `product` and `buffers` hold them now (none: what the record itself needs), and what the
// allocator takes beside them.
uint64_t SequentialBytes(const CalStarExtraction& reader, const RecordShape& shape, const FourProduct& product = FourProduct{},
                         const ReconWorkBuffers& buffers = ReconWorkBuffers{});

// The parts of one worker of a parallel run for records of `shape`: its work buffers
// (WorkerBufferBytes), and each of the two records it may have in flight, its planes and its copy of
// the star arrays (JobBytes). Beside them a worker takes its thread's stack (kWorkerStackBytes,
// platform/machine.h) and what the allocator takes beside its buffers.
uint64_t WorkerBufferBytes(const RecordShape& shape);
uint64_t JobBytes(const RecordShape& shape);

// What a parallel run commits to its workers: how many take records, how much each worker's buffers
// may hold through a record, kept from earlier ones included (RecordWorkers::SetAllowed), how much
// each record in flight (planes and star copy) may hold. Workers and jobs that would hold more for a
// record give their memory back first.
struct WorkerShares {
    int32_t workers = 0;
    uint64_t buffer_bytes = 0;
    uint64_t job_bytes = 0;
};

// The shares for records of `shape` beside the reader's `reader_bytes` within `budget` (0: unknown,
// then every one of `capacity` workers, nothing bounded): as many workers as fit, at most `capacity`,
// each with its buffers, its stack and two records in flight; what the budget leaves beyond that is
// split among them, half to the buffers and a quarter to each record in flight, so that records of a
// smaller shape keep the memory of the larger. 0 workers when not even one fits: the record then runs
// in the sequential loop, the workers stopped, so that a parallel run never needs more than a run of
// one job.
WorkerShares WorkerSharesFor(const RecordShape& shape, uint64_t reader_bytes, uint64_t budget, int32_t capacity);

// Bytes the workers of `shares` may hold in all: each one's buffers, stack and two records in flight.
uint64_t WorkerSharesBytes(const WorkerShares& shares);

// True when records of `shape` beside the reader's `reader_bytes` run within `shares` as they are:
// they fit the shares of a worker and of a record in flight, the commitment still fits `budget`, and
// no more workers would fit for them (WorkerSharesFor).
bool SharesHold(const WorkerShares& shares, const RecordShape& shape, uint64_t reader_bytes, uint64_t budget, int32_t capacity);

// The checks of a CALSTARS file once its header is read, before anything is allocated for its
// records, cheapest first: the image's size (CalStarReconsitution_CheckImage), then its memory, the
// reader's file beside the least a record of the image takes (ImageShapeOf):
// " Image of <r> x <c> pixels in <path> needs <n> MB of memory, more than the <m> MB this machine can
// give \n" (no wait). `budget` 0: unknown, no refusal.
void CheckFileFits(const CalStarExtraction& extraction, uint64_t budget);

// ... and of a frame record once it is read: its window and coordinates
// (CalStarReconsitution_CheckRecord), then the memory of the sequential loop for it:
// " Image of <r> x <c> pixels with window <w> and <n> star[s] in <path> needs <n> MB of memory, more
// than the <m> MB this machine can give \n".
void CheckRecordFits(const CalStarExtraction& record, uint64_t budget);

// Refuses, before it is read, a CALSTARS file of `file_bytes` whose text alone is larger than
// `budget`, with the reader's memory failure (" Memory not allocated in OpenCalStarExtraction \n"),
// which a limit on the address space gives for it too; under a control group's limit reading it
// would be killed instead.
void CheckFileSizeFits(uint64_t file_bytes, uint64_t budget);

// True when `product` and `buffers`, as they hold now, would take `budget` or more beside the reader
// of a file of `file_bytes` (CalStarExtraction_FileBytes): they give their memory back before it is
// read.
bool KeptMemoryCrowdsFile(const FourProduct& product, const ReconWorkBuffers& buffers, uint64_t file_bytes, uint64_t budget);

// Sets up `product` and `buffers` for `record` (CalStarReconsitution_SetUpFor) beside `reader`, first
// giving back what they keep from earlier records where that beside the record's own needs would not
// fit `budget` (the record itself fits: CheckRecordFits).
void SetUpWithinBudget(FourProduct& product, ReconWorkBuffers& buffers, const CalStarExtraction& reader,
                       const CalStarExtraction& record, uint64_t budget);
