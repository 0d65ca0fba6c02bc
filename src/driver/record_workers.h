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
// prints or renames files.
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
    FourProduct product;       // the output slot: set up for the record's image by the worker
    bool product_ready = false;     // product is set up for product_first_int and the record's size
    int32_t product_first_int = 0;
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
    // system gave one: 0 when none could be started). The others start when SetAllowed first lets
    // them work, so that threads the memory has no room for never reserve their stacks. Each takes a
    // stack of `stack_bytes` (0: the system's default), set on its own thread.
    RecordWorkers(int32_t count, uint64_t stack_bytes);
    // Stops the workers (each finishes the record in hand) and waits for them; jobs not taken back
    // are dropped unwritten.
    ~RecordWorkers();
    RecordWorkers(const RecordWorkers&) = delete;
    RecordWorkers& operator=(const RecordWorkers&) = delete;

    int32_t Started() const { return static_cast<int32_t>(threads_.size()); }
    // The number of workers asked for: the most SetAllowed lets work.
    int32_t Capacity() const { return capacity_; }

    // Lets only the first `allowed` workers (at most Capacity()) take records, starting those not
    // started yet (as many as the system gives); the others release their image buffers and profile
    // tables, so that memory follows the number of workers the machine holds. With 0, no worker takes
    // a record and every worker releases its memory; call it only with no record pending.
    void SetAllowed(int32_t allowed);

    // Waits until every worker that SetAllowed stopped has released its memory.
    void WaitForRelease();

    // Records submitted and not yet taken back.
    size_t Pending();

    // Hands a record to the workers; returns at once.
    void Submit(std::unique_ptr<RecordJob> job);

    // Waits until the oldest submitted record is reconstituted and hands it back.
    std::unique_ptr<RecordJob> TakeOldest();

private:
    struct Worker {
        ReconWorkBuffers buffers;
        int32_t rows = -1, cols = -1, nstars = -1;  // what the buffers are set up for
        bool holding = false;                       // the buffers or profile tables hold memory (under mutex_)
    };
    void Run(int32_t index, Worker* worker);
    // Starts threads until `count` run or the system gives no more.
    void StartThreads(int32_t count);
    void Reconstitute(Worker& worker, RecordJob& job);

    std::mutex mutex_;
    std::condition_variable work_ready_;  // a job waits, the allowance changed, or the workers stop
    std::condition_variable job_done_;    // a worker finished a job, or released its memory
    std::deque<RecordJob*> waiting_;      // submitted, not yet taken by a worker, oldest first
    std::deque<std::unique_ptr<RecordJob>> submitted_;  // every job not yet taken back, oldest first
    int32_t allowed_ = 1;
    int32_t capacity_ = 0;
    bool stopping_ = false;
    uint64_t stack_bytes_ = 0;
    std::vector<std::unique_ptr<Worker>> workers_;
    std::vector<WorkerThreadHandle> threads_;
};
