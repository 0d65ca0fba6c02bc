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
        const int32_t index = Started();
        workers_.push_back(std::make_unique<Worker>());
        // The thread gets its worker itself: workers_ grows while the earlier threads run.
        Worker* worker = workers_.back().get();
        WorkerThreadHandle thread = StartWorkerThread([this, index, worker] { Run(index, worker); }, stack_bytes_);
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

void RecordWorkers::SetAllowed(int32_t allowed) {
    allowed = std::min(std::max<int32_t>(allowed, 0), capacity_);
    if (allowed > Started()) StartThreads(allowed);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        allowed_ = std::min(allowed, Started());
    }
    work_ready_.notify_all();
}

void RecordWorkers::WaitForRelease() {
    std::unique_lock<std::mutex> lock(mutex_);
    job_done_.wait(lock, [this] {
        for (int32_t index = allowed_; index < Started(); ++index) {
            if (workers_[static_cast<size_t>(index)]->holding) return false;
        }
        return true;
    });
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
    // All: a worker not allowed to work would take a single wake-up and wait again, and the job with it.
    work_ready_.notify_all();
}

std::unique_ptr<RecordJob> RecordWorkers::TakeOldest() {
    std::unique_lock<std::mutex> lock(mutex_);
    job_done_.wait(lock, [this] { return submitted_.front()->done; });
    std::unique_ptr<RecordJob> job = std::move(submitted_.front());
    submitted_.pop_front();
    return job;
}

void RecordWorkers::Run(int32_t index, Worker* own) {
    Worker& worker = *own;
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        work_ready_.wait(lock, [&] {
            const bool allowed = index < allowed_;
            return stopping_ || (allowed && !waiting_.empty()) || (!allowed && worker.holding);
        });
        if (stopping_) return;
        if (index >= allowed_) {
            lock.unlock();
            worker.buffers = ReconWorkBuffers{};
            worker.rows = worker.cols = worker.nstars = -1;
            lock.lock();
            worker.holding = false;
            job_done_.notify_all();
            continue;
        }
        RecordJob* job = waiting_.front();
        waiting_.pop_front();
        worker.holding = true;
        lock.unlock();
        Reconstitute(worker, *job);
        lock.lock();
        job->done = true;
        job_done_.notify_all();
    }
}

void RecordWorkers::Reconstitute(Worker& worker, RecordJob& job) {
    const CalStarExtraction& record = job.record;
    // The planes first, then the work images: the sequential loop's order of set-up.
    try {
        if (!job.product_ready || job.product.rows != record.rows || job.product.cols != record.cols ||
            job.product_first_int != record.first_int) {
            job.product_ready = false;
            FourProduct_MemSetup(job.product, record.first_int, record.rows, record.cols);
            job.product_ready = true;
            job.product_first_int = record.first_int;
        }
        if (worker.rows != record.rows || worker.cols != record.cols || worker.nstars != record.nstars) {
            worker.rows = -1;
            CalStarReconsitution_MemSetup(worker.buffers, record);
            worker.rows = record.rows;
            worker.cols = record.cols;
            worker.nstars = record.nstars;
        }
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
