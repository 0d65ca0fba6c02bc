#include "driver/parallel_run.h"

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
#include "safe_output/safe_output.h"

namespace {

// Every record in flight may hold a temporary file, beside the run's own (the listing).
static_assert(kSafeOutputSlots >= 2 * kMaxJobs + 1, "the interruption table holds every temporary file of a run");

// The sequential loop with the reconstitution handed to workers (see RunParallel). Leaving it stops
// the workers. A worker whose memory failed hands the run to the sequential loop
// (FallBackToSequential).
class ParallelRun {
public:
    ParallelRun(const std::string& folder, std::unique_ptr<RecordWorkers> workers, uint64_t budget)
        : folder_(folder), workers_(std::move(workers)), budget_(budget) {}

    void ProcessCalstarsFile(const std::string& calstars_path) {
        OpenCalStarExtraction(calstars_path, extraction_);
        CheckCalstarsFile(extraction_, calstars_path, budget_);
        while (ReadCalStarFrame(extraction_) == 0) {
            // Once the run has fallen back, a record is named before its checks, as in the sequential loop.
            if (!workers_) Interruption_NameRecord(extraction_.name);
            CheckRecord(extraction_, calstars_path, budget_);
            if (!workers_ || !HandToWorkers()) RunSequentially(extraction_);
        }
        if (!workers_) EndOfFile();
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
    //   loop fits (CheckRecord has passed): every worker gives its memory back first, so that the run
    //   holds no more than a run of one job would (under a control group's limit no allocation fails
    //   to fall back on: the process would be killed instead);
    // - the workers are gone: while room was made for this record, a worker's memory failed on a
    //   record before it (FallBackToSequential). The records before it fell back to the sequential
    //   loop: so does this one.
    bool HandToWorkers() {
        const HeldImage image = ImageOf(extraction_.rows, extraction_.cols);
        const int32_t allowed = WorkersFor(image, extraction_.window, budget_, workers_->Capacity());
        if (allowed == 0) {
            ReleaseWorkers();
            return false;
        }
        // Workers and the jobs' planes keep the memory of the largest image since they last gave
        // it back: where that would let fewer workers run than this record's own image, they give
        // it back first.
        if (WorkersFor(Largest(workers_held_, image), extraction_.window, budget_, workers_->Capacity()) < allowed) {
            ReleaseWorkers();
            if (!workers_) return false;
        }
        workers_held_ = Largest(workers_held_, image);
        ReleaseSequentialLoop();
        workers_->SetAllowed(allowed);
        // At most two records in flight per worker: one in hand, one waiting.
        while (workers_ && workers_->Pending() >= 2 * static_cast<size_t>(allowed)) FinishOldest();
        if (!workers_) return false;
        while (spare_.size() > 2 * static_cast<size_t>(allowed)) spare_.pop_back();
        std::unique_ptr<RecordJob> job;
        if (spare_.empty()) {
            job = std::make_unique<RecordJob>();
        } else {
            job = std::move(spare_.back());
            spare_.pop_back();
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
                RunRecord(folder_, sequential_, job->record, budget_);
            } catch (...) {
                record_failed_ = true;
                throw;
            }
            Interruption_RecordDone();
            job.reset();
        }
    }

    // The records in flight are written, and every worker and spare job gives its memory back.
    void ReleaseWorkers() {
        Finish();
        if (workers_) {
            workers_->SetAllowed(0);
            workers_->WaitForRelease();
        }
        spare_.clear();
        workers_held_ = HeldImage{};
    }

    // The workers take records again: the sequential loop's buffers go first.
    void ReleaseSequentialLoop() {
        if (!sequential_used_) return;
        sequential_ = SequentialLoop{};
        EndOfFile();
        sequential_used_ = false;
    }

    // The sequential loop's step for the record just read, the generator where the records before it
    // leave it: after a fall-back, or for a record that not even one worker fits (its buffers are then
    // held beside the workers, which give theirs back first).
    void RunSequentially(const CalStarExtraction& record) {
        Interruption_NameRecord(record.name);
        sequential_used_ = true;
        sequential_.buffers.generator = PseudoRandom_Advance(PseudoRandom{}, pixels_drawn_);
        pixels_drawn_ += static_cast<uint64_t>(record.rows) * static_cast<uint64_t>(record.cols);
        RunRecord(folder_, sequential_, record, budget_);
        Interruption_RecordDone();
    }

    const std::string& folder_;
    std::unique_ptr<RecordWorkers> workers_;          // none after a fall-back to the sequential loop
    const uint64_t budget_;
    CalStarExtraction extraction_;
    uint64_t pixels_drawn_ = 0;                       // by the records submitted so far
    std::vector<std::unique_ptr<RecordJob>> spare_;   // finished jobs, whose output slots are reused
    std::deque<std::string> in_flight_;               // names of the records submitted and not written
    SequentialLoop sequential_;                       // the loop after a fall-back, or for a record alone
    bool record_failed_ = false;                      // a record's own failure: nothing after it runs
    bool sequential_used_ = false;                    // sequential_ holds buffers beside the workers
    HeldImage workers_held_;                          // the largest image a worker or spare job may keep
};

}  // namespace

void RunParallel(const std::string& folder, const std::vector<std::string>& calstars_names,
                 std::unique_ptr<RecordWorkers> workers, uint64_t budget) {
    ParallelRun run(folder, std::move(workers), budget);
    run.Read([&] {
        for (const std::string& name : calstars_names) run.ProcessCalstarsFile(JoinPath(folder, name, "CALSTARS file"));
    });
}
