#include "driver/parallel_run.h"

#include <algorithm>
#include <deque>
#include <exception>
#include <utility>

#include "driver/batch.h"
#include "driver/folder.h"
#include "driver/memory_budget.h"
#include "driver/paths.h"
#include "driver/record_workers.h"
#include "driver/sequential_run.h"
#include "platform/interruption.h"
#include "reconstitution/pseudo_random.h"
#include "reconstitution/reconstitution.h"
#include "safe_output/safe_output.h"

namespace {

// Every record in flight may hold a temporary file, beside the run's own (the listing).
static_assert(kSafeOutputSlots >= 2 * kMaxJobs + 1, "the interruption table holds every temporary file of a run");

// The sequential loop with the reconstitution handed to workers (see RunParallel). Leaving it stops
// the workers. A worker whose memory failed hands the run to the sequential loop
// (FallBackToSequential).
class ParallelRun {
public:
    // The workers' threads start with the first record they take: until then, and whenever no
    // worker fits a record, the run holds what a run of one job holds.
    ParallelRun(const std::string& folder, std::unique_ptr<RecordWorkers> workers, uint64_t budget)
        : folder_(folder), capacity_(workers->Capacity()), stack_bytes_(workers->StackBytes()), budget_(budget) {}

    void ProcessCalstarsFile(const std::string& calstars_path) {
        const uint64_t file_bytes = CheckCalstarsFileSize(calstars_path, budget_);
        file_reading_bytes_ = CalStarExtraction_FileBytes(file_bytes);
        MakeRoomForFile(file_bytes);
        OpenCalStarExtraction(calstars_path, extraction_);
        CheckCalstarsFile(extraction_, budget_);
        while (ReadCalStarFrame(extraction_) == 0) {
            // Once the run has fallen back, a record is named before its checks, as in the sequential loop.
            if (fallen_back_) Interruption_NameRecord(extraction_.name);
            CheckRecord(extraction_, budget_);
            if (fallen_back_ || !HandToWorkers()) RunSequentially(extraction_);
        }
        if (fallen_back_) EndOfFile();
    }

    // Runs `read` (the reading part of the run); when it fails, the records already submitted are
    // finished before its failure is passed on.
    template <typename Reading>
    void Read(Reading read) {
        try {
            read();
        } catch (...) {
            if (record_failed_) throw;
            Finish();
            throw;
        }
        Finish();
    }

private:
    // Hands the record just read and checked to the workers, or returns false when it is to run in the
    // sequential loop instead, once the records before it are written:
    // - not even one worker with its records in flight fits the budget for it, where the sequential
    //   loop fits (CheckRecord has passed): the workers are stopped first, their memory with them,
    //   so that the run holds no more than a run of one job would (under a control group's limit no
    //   allocation fails to fall back on: the process would be killed instead);
    // - the run has fallen back: while room was made for this record, a worker's memory failed on a
    //   record before it (FallBackToSequential). The records before it fell back to the sequential
    //   loop: so does this one.
    bool HandToWorkers() {
        const RecordShape shape = RecordShapeOf(extraction_);
        // The shares leave room for reading a file as large as this one (or for the reader as it is,
        // where that is more), so that the next file of a night opens beside the running workers.
        const uint64_t reader = std::max(CalStarExtraction_Bytes(extraction_, 0), file_reading_bytes_);
        if (!workers_ || !SharesHold(shares_, shape, reader, budget_, capacity_)) {
            // New shares: the records in flight are written first, so that nothing holds memory under
            // the old ones while the new ones are counted.
            Finish();
            if (fallen_back_) return false;
            const WorkerShares wanted = WorkerSharesFor(shape, reader, budget_, capacity_);
            if (wanted.workers == 0) {
                StopWorkers();
                return false;
            }
            ReleaseSequentialLoop();
            if (!workers_) workers_ = std::make_unique<RecordWorkers>(capacity_, stack_bytes_);
            if (!TakeShares(wanted, shape)) return false;
        }
        // At most two records in flight per worker: one in hand, one waiting.
        const size_t in_flight = 2 * static_cast<size_t>(workers_->Started());
        while (workers_ && workers_->Pending() >= in_flight) FinishOldest();
        if (fallen_back_) return false;
        std::unique_ptr<RecordJob> job = JobFor(shape, in_flight);
        if (CalStarExtraction_Bytes(job->record, shape.nstars) > CalStarExtraction_Bytes(job->record, 0)) {
            job->record = CalStarExtraction{};  // star arrays that grow: the old ones go first
        }
        CalStarExtraction_CopyRecord(extraction_, job->record);
        // A stop names the oldest record whose file is not written yet.
        if (in_flight_.empty()) Interruption_NameRecord(extraction_.name);
        in_flight_.push_back(extraction_.name);
        // The worker writes the file under a temporary name, which no final name can be; a path
        // too long is refused by FinishRecord, at its turn.
        job->output_path.clear();
        job->write_failure = nullptr;
        if (folder_.size() + extraction_.name.size() < kPathBuffer) job->output_path = folder_ + extraction_.name;
        job->generator = PseudoRandom_Advance(PseudoRandom{}, pixels_drawn_);
        pixels_drawn_ += static_cast<uint64_t>(extraction_.rows) * static_cast<uint64_t>(extraction_.cols);
        workers_->Submit(std::move(job));
        return true;
    }

    // A job for a record of `shape`: a spare one whose planes and star copy stay within the share of a
    // record in flight through it, else a new one. Jobs in flight and spare ones together stay within
    // `in_flight` after it is submitted.
    std::unique_ptr<RecordJob> JobFor(const RecordShape& shape, size_t in_flight) {
        while (!spare_.empty() && spare_.size() + workers_->Pending() > in_flight) spare_.pop_back();
        while (!spare_.empty()) {
            std::unique_ptr<RecordJob> job = std::move(spare_.back());
            spare_.pop_back();
            if (budget_ == 0 || FourProduct_Bytes(job->product, shape.rows, shape.cols) +
                                        CalStarExtraction_Bytes(job->record, shape.nstars) <=
                                    shares_.job_bytes) {
                return job;
            }
        }
        return std::make_unique<RecordJob>();
    }

    // The workers run within `wanted`, made for records of `shape` (at least one worker in it); false
    // when the system gives no thread now, and the workers are stopped: the sequential loop.
    bool TakeShares(const WorkerShares& wanted, const RecordShape& shape) {
        workers_->SetAllowed(wanted.workers, wanted.buffer_bytes);
        if (workers_->Started() == 0) {
            StopWorkers();
            return false;
        }
        shares_ = wanted;
        shares_shape_ = shape;
        const size_t jobs = 2 * static_cast<size_t>(workers_->Started());  // two in flight per worker
        while (spare_.size() > jobs) spare_.pop_back();
        DropSparesBeyond(shares_.job_bytes);
        return true;
    }

    void DropSparesBeyond(uint64_t job_bytes) {
        std::vector<std::unique_ptr<RecordJob>> kept;
        for (std::unique_ptr<RecordJob>& job : spare_) {
            if (FourProduct_Bytes(job->product, 0, 0) + CalStarExtraction_Bytes(job->record, 0) <= job_bytes) kept.push_back(std::move(job));
        }
        spare_ = std::move(kept);
    }

    void Finish() {
        while (workers_ && workers_->Pending() > 0) FinishOldest();
    }

    void FinishOldest() {
        std::unique_ptr<RecordJob> job = workers_->TakeOldest();
        if (job->outcome.out_of_memory || WriteFailedAhead(*job)) {
            FallBackToSequential(std::move(job));
            return;
        }
        try {
            const bool written = !job->output_path.empty();
            FinishRecord(folder_, job->record.name, job->outcome, job->product, written ? &job->output : nullptr,
                         job->write_failure);
        } catch (...) {
            record_failed_ = true;
            throw;
        }
        Interruption_RecordDone();
        in_flight_.pop_front();
        if (!in_flight_.empty()) Interruption_NameRecord(in_flight_.front());
        spare_.push_back(std::move(job));
    }

    // A file written ahead of its turn may have failed for want of room that the records after it
    // took (their temporary files on a nearly full disk), which the sequential loop would not have
    // taken yet.
    static bool WriteFailedAhead(const RecordJob& job) {
        return !job.outcome.failure && !job.output_path.empty() && (job.write_failure || !job.output.ok);
    }

    // A worker's memory failed on `first`, the oldest record not yet written, or its file could not
    // be written ahead. Its memory held more than the sequential loop would (other workers' images,
    // records in flight), and the disk held the later records' temporary files, so the failure is not
    // yet the run's: the workers are stopped, everything they held is released (temporary files
    // included), and `first` and the records after it are reconstituted again by the sequential loop,
    // which fails, if it fails, as a run of one job does.
    void FallBackToSequential(std::unique_ptr<RecordJob> first) {
        std::vector<std::unique_ptr<RecordJob>> jobs;
        jobs.push_back(std::move(first));
        while (workers_->Pending() > 0) jobs.push_back(workers_->TakeOldest());
        workers_.reset();
        fallen_back_ = true;
        spare_.clear();
        for (std::unique_ptr<RecordJob>& job : jobs) {
            FourProduct_MemFree(job->product);
            SafeOutput_Abandon(job->output);
        }
        in_flight_.clear();
        for (std::unique_ptr<RecordJob>& job : jobs) {
            Interruption_NameRecord(job->record.name);
            sequential_.buffers.generator = job->generator;
            try {
                RunRecord(folder_, sequential_, extraction_, job->record, budget_);
            } catch (...) {
                record_failed_ = true;
                throw;
            }
            Interruption_RecordDone();
            job.reset();
        }
    }

    // The records in flight are written, and the workers stop: their threads, buffers and spare jobs
    // give their memory back.
    void StopWorkers() {
        Finish();
        workers_.reset();
        spare_.clear();
        shares_ = WorkerShares{};
    }

    // Before a file of `file_bytes` is read: what the workers may hold, or the sequential loop's
    // buffers, beside what its reader may take would not fit the budget, they give their memory back
    // first.
    void MakeRoomForFile(uint64_t file_bytes) {
        if (budget_ == 0) return;
        if (workers_ && WorkerSharesBytes(shares_) + file_reading_bytes_ > budget_) ShrinkSharesFor(file_reading_bytes_);
        if (KeptMemoryCrowdsFile(sequential_.product, sequential_.buffers, file_bytes, budget_)) {
            FourProduct_MemFree(sequential_.product);
            CalStarReconsitution_FreeBuffers(sequential_.buffers);
        }
    }

    // The shares for the records they were made for, beside a reader that may take `reader_bytes`:
    // once the records in flight are written, the workers keep running within them and give back
    // what they hold beyond them (the threads and the buffers within them stay for the next file);
    // where not even one worker fits beside the reader, they stop.
    void ShrinkSharesFor(uint64_t reader_bytes) {
        Finish();
        if (!workers_) return;  // the records in flight fell back to the sequential loop
        const WorkerShares wanted = WorkerSharesFor(shares_shape_, reader_bytes, budget_, capacity_);
        if (wanted.workers == 0) {
            StopWorkers();
            return;
        }
        TakeShares(wanted, shares_shape_);
    }

    // The workers take records again: the sequential loop's buffers go first.
    void ReleaseSequentialLoop() {
        if (!sequential_used_) return;
        sequential_ = SequentialLoop{};
        EndOfFile();
        sequential_used_ = false;
    }

    // The sequential loop's step for the record just read, the generator where the records before it
    // leave it: after a fall-back, or for a record that not even one worker fits (the workers are
    // stopped then).
    void RunSequentially(const CalStarExtraction& record) {
        Interruption_NameRecord(record.name);
        sequential_used_ = true;
        sequential_.buffers.generator = PseudoRandom_Advance(PseudoRandom{}, pixels_drawn_);
        pixels_drawn_ += static_cast<uint64_t>(record.rows) * static_cast<uint64_t>(record.cols);
        RunRecord(folder_, sequential_, record, record, budget_);
        Interruption_RecordDone();
    }

    const std::string& folder_;
    const int32_t capacity_;                          // the workers asked for
    const uint64_t stack_bytes_;                      // each worker thread's stack (0: the system's)
    std::unique_ptr<RecordWorkers> workers_;          // none while stopped, or after a fall-back
    const uint64_t budget_;
    WorkerShares shares_;                             // what the running workers and jobs may hold
    RecordShape shares_shape_;                        // the record shares_ were made for
    bool fallen_back_ = false;                        // a worker's memory failed: the sequential loop from then on
    CalStarExtraction extraction_;
    uint64_t file_reading_bytes_ = 0;                 // what reading the current file may take
    uint64_t pixels_drawn_ = 0;                       // by the records submitted so far
    std::vector<std::unique_ptr<RecordJob>> spare_;   // finished jobs, whose output slots are reused
    std::deque<std::string> in_flight_;               // names of the records submitted and not written
    SequentialLoop sequential_;                       // the loop after a fall-back, or for a record alone
    bool record_failed_ = false;                      // a record's own failure: nothing after it runs
    bool sequential_used_ = false;                    // sequential_ holds buffers
};

}  // namespace

void RunParallel(const std::string& folder, const std::vector<std::string>& calstars_names,
                 std::unique_ptr<RecordWorkers> workers, uint64_t budget) {
    ParallelRun run(folder, std::move(workers), budget);
    run.Read([&] {
        for (const std::string& name : calstars_names) run.ProcessCalstarsFile(JoinPath(folder, name, "CALSTARS file"));
    });
}
