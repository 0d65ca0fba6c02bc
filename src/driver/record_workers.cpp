#include "driver/record_workers.h"

#include <algorithm>
#include <utility>

#include "failure.h"

void RecordOutcome_CatchCurrent(RecordOutcome& outcome) {
    outcome.failure = std::current_exception();
    outcome.out_of_memory = IsMemoryFailure(outcome.failure);
}

void ReconstituteRecord(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product,
                        RecordOutcome& outcome) {
    buffers.warnings.clear();
    outcome.failure = nullptr;
    outcome.out_of_memory = false;
    try {
        CalStarReconsitution(buffers, extraction, product);
    } catch (...) {
        RecordOutcome_CatchCurrent(outcome);
    }
    // Also after a failure: a warning printed before the failure's line when the records are written.
    outcome.warnings = buffers.warnings;
}

RecordWorkers::RecordWorkers(int32_t count, uint64_t stack_bytes) : capacity_(std::max<int32_t>(count, 1)), stack_bytes_(stack_bytes) {
    StartThreads(1);
}

void RecordWorkers::StartThreads(int32_t count) {
    while (Started() < count) {
        workers_.push_back(std::make_unique<Worker>());
        // The thread gets its worker itself: workers_ grows while the earlier threads run.
        Worker* worker = workers_.back().get();
        WorkerThreadHandle thread = StartWorkerThread([this, worker] { Run(worker); }, stack_bytes_);
        if (!thread) {
            workers_.pop_back();  // the system gives no more threads: go on with those started
            break;
        }
        threads_.push_back(std::move(thread));
    }
}

RecordWorkers::~RecordWorkers() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    work_ready_.notify_all();
    threads_.clear();  // joins them
}

void RecordWorkers::SetAllowed(int32_t allowed, uint64_t keep_bytes) {
    allowed = std::min(std::max<int32_t>(allowed, 0), capacity_);
    if (allowed < Started()) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (size_t index = static_cast<size_t>(allowed); index < workers_.size(); ++index) workers_[index]->stop = true;
        }
        work_ready_.notify_all();
        threads_.resize(static_cast<size_t>(allowed));  // joins the stopped ones
        workers_.resize(static_cast<size_t>(allowed));  // and frees their memory
    }
    StartThreads(allowed);
    std::lock_guard<std::mutex> lock(mutex_);
    keep_bytes_ = keep_bytes;
    // No record is pending: every worker waits, and its buffers are this thread's to free.
    for (const std::unique_ptr<Worker>& worker : workers_) {
        if (CalStarReconsitution_HeldBytes(worker->buffers) > keep_bytes) CalStarReconsitution_FreeBuffers(worker->buffers);
    }
}

size_t RecordWorkers::Pending() {
    std::lock_guard<std::mutex> lock(mutex_);
    return submitted_.size();
}

void RecordWorkers::Submit(std::unique_ptr<RecordJob> job) {
    job->done = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back(job.get());
        submitted_.push_back(std::move(job));
    }
    work_ready_.notify_one();
}

std::unique_ptr<RecordJob> RecordWorkers::TakeOldest() {
    std::unique_lock<std::mutex> lock(mutex_);
    job_done_.wait(lock, [this] { return submitted_.front()->done; });
    std::unique_ptr<RecordJob> job = std::move(submitted_.front());
    submitted_.pop_front();
    return job;
}

void RecordWorkers::Run(Worker* own) {
    Worker& worker = *own;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        work_ready_.wait(lock, [&] { return stopping_ || worker.stop || !waiting_.empty(); });
        if (stopping_ || worker.stop) return;
        RecordJob* job = waiting_.front();
        waiting_.pop_front();
        const uint64_t keep_bytes = keep_bytes_;
        lock.unlock();
        Reconstitute(worker, *job, keep_bytes);
        lock.lock();
        job->done = true;
        job_done_.notify_all();
    }
}

void RecordWorkers::Reconstitute(Worker& worker, RecordJob& job, uint64_t keep_bytes) {
    const CalStarExtraction& record = job.record;
    // What the buffers keep beside this record's needs stays within the worker's share.
    if (CalStarReconsitution_RecordBytes(worker.buffers, record.rows, record.cols, record.window, record.nstars) > keep_bytes) {
        CalStarReconsitution_FreeBuffers(worker.buffers);
    }
    try {
        CalStarReconsitution_SetUpFor(worker.buffers, job.product, record);
    } catch (...) {
        job.outcome.warnings.clear();
        RecordOutcome_CatchCurrent(job.outcome);
        return;
    }
    worker.buffers.generator = job.generator;
    ReconstituteRecord(worker.buffers, record, job.product, job.outcome);
    CalStarReconsitution_FrameFree(worker.buffers);
    if (job.outcome.failure || job.output_path.empty()) return;
    job.product.output_name[job.product.bank] = job.output_path;
    try {
        FourProduct_WriteTemporary(job.product, job.output);
    } catch (...) {
        job.write_failure = std::current_exception();
    }
}
