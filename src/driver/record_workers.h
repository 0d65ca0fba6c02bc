// Worker threads that reconstitute frame records side by side for the batch driver.
//
// The driver reads the records in order, as the sequential loop does, and submits each one as a
// RecordJob: a copy of the record, the generator state that a sequential run has at its first pixel,
// and an output slot. Each worker owns its ReconWorkBuffers (and with them its GaussStar_Fast cache,
// kept for the run); each takes the oldest waiting job, reconstitutes it into the job's slot, and records
// what the reconstitution said (its warning lines, or the failure that ended it). The driver takes
// the jobs back in submission order with TakeOldest, prints them and renames their files, which the
// workers wrote under temporary names: the files, the lines and the failures come out as from the
// sequential loop, whatever the number of workers.
//
// Nothing is shared between the workers but the queue, under one mutex; only the driver's thread
// prints or renames files. A worker keeps its buffers from record to record within the bytes
// SetAllowed gives it (kept memory included): where a record would take it beyond them, it gives back
// what it keeps before it sets up for that record.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "calstars/calstars.h"
#include "fourproduct/fourproduct.h"
#include "platform/machine.h"
#include "reconstitution/pseudo_random.h"
#include "reconstitution/reconstitution.h"

// What the reconstitution of one record had to say: its warning lines (printed before the record's
// name), and the failure that ended it, if any (rethrown where the record is written).
struct RecordOutcome {
    std::string warnings;
    std::exception_ptr failure;
    bool out_of_memory = false;  // the failure is a memory failure (IsMemoryFailure)
};

// Keeps the exception now being handled as `outcome`'s failure.
void RecordOutcome_CatchCurrent(RecordOutcome& outcome);

// Reconstitutes the current record of `extraction` into `product` and keeps the warning lines and
// any failure (of any type) in `outcome` instead of printing or throwing them, so that they can be
// reported in record order. The buffers' generator runs on as in CalStarReconsitution.
void ReconstituteRecord(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product,
                        RecordOutcome& outcome);

// One frame record between the reader and its file.
struct RecordJob {
    CalStarExtraction record;  // header values, record fields and star arrays (no file text)
    PseudoRandom generator;    // the state a sequential run has at the record's first pixel
    FourProduct product;       // the output slot: set up for the record by the worker
    RecordOutcome outcome;
    // The record's file, written by the worker under its temporary name right after the record is
    // reconstituted, and renamed in record order by the driver. Empty path: the worker writes nothing.
    std::string output_path;
    SafeOutput output;
    std::exception_ptr write_failure;  // the failure to open or write the temporary file
    bool done = false;         // set by the worker, under the mutex
};

class RecordWorkers {
public:
    // Makes room for up to `count` worker threads and starts the first (Started() says whether the
    // system gave one: 0 when none could be started), whose buffers keep what they take until
    // SetAllowed says otherwise; SetAllowed starts the others. Each takes a stack
    // of `stack_bytes` (0: the system's default), set on its own thread.
    RecordWorkers(int32_t count, uint64_t stack_bytes);
    // Stops the workers (each finishes the record in hand) and waits for them; jobs not taken back
    // are dropped unwritten.
    ~RecordWorkers();
    RecordWorkers(const RecordWorkers&) = delete;
    RecordWorkers& operator=(const RecordWorkers&) = delete;

    // The threads running now.
    int32_t Started() const { return static_cast<int32_t>(threads_.size()); }
    // The number of workers asked for: the most SetAllowed lets work.
    int32_t Capacity() const { return capacity_; }
    uint64_t StackBytes() const { return stack_bytes_; }

    // With no record pending: lets `allowed` workers (at most Capacity()) take records, starting the
    // threads not started yet (as many as the system gives) and stopping, with their memory, those
    // beyond; and has each worker keep at most `keep_bytes` in its buffers: one that holds more gives
    // it back now, and one whose buffers would hold more through a record gives back what it keeps
    // before it sets up for that record. 0 stops every thread.
    void SetAllowed(int32_t allowed, uint64_t keep_bytes);

    // Records submitted and not yet taken back.
    size_t Pending();

    // Hands a record to the workers; returns at once.
    void Submit(std::unique_ptr<RecordJob> job);

    // Waits until the oldest submitted record is reconstituted and hands it back.
    std::unique_ptr<RecordJob> TakeOldest();

private:
    struct Worker {
        ReconWorkBuffers buffers;
        bool stop = false;  // SetAllowed stopped it (under mutex_)
    };
    void Run(Worker* worker);
    // Starts threads until `count` run or the system gives no more.
    void StartThreads(int32_t count);
    void Reconstitute(Worker& worker, RecordJob& job, uint64_t keep_bytes);

    std::mutex mutex_;
    std::condition_variable work_ready_;  // a job waits, or the workers stop
    std::condition_variable job_done_;    // a worker finished a job
    std::deque<RecordJob*> waiting_;      // submitted, not yet taken by a worker, oldest first
    std::deque<std::unique_ptr<RecordJob>> submitted_;  // every job not yet taken back, oldest first
    uint64_t keep_bytes_ = UINT64_MAX;  // no bound until SetAllowed gives one
    int32_t capacity_ = 0;
    bool stopping_ = false;
    uint64_t stack_bytes_ = 0;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::vector<WorkerThreadHandle> threads_;
};
