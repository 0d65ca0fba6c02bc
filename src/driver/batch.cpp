#include "driver/batch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <istream>
#include <sstream>
#include <memory>
#include <vector>

#include "calstars/calstars.h"
#include "driver/paths.h"
#include "driver/record_workers.h"
#include "driver/usage.h"
#include "failure.h"
#include "fourproduct/fourproduct.h"
#include "platform/console.h"
#include "platform/file_chooser.h"
#include "platform/interruption.h"
#include "platform/listing.h"
#include "platform/machine.h"
#include "reconstitution/gauss_star.h"
#include "reconstitution/pseudo_random.h"
#include "reconstitution/reconstitution.h"

namespace {

// Bytes per pixel that a CALSTARS file's image needs while it is processed: four 8-bit planes, three
// 16-bit work images and the range filter's byte copy of the image.
constexpr uint64_t kBytesPerPixel = 4 * 1 + 3 * 2 + 1;
// ... and that each worker of a parallel run needs: its work images and filter's byte image, and the
// four planes of each of the two records it may have in flight.
constexpr uint64_t kBytesPerWorkerPixel = 3 * 2 + 1 + 2 * 4 * 1;
// ... and, in both, the pass-by-pass hole fill's 32-bit pixel list, for the images that the pipeline
// fills that way (FillHoles_NeedsList: a side of 65535 or more).
constexpr uint64_t kBytesPerListPixel = 4;
// Bytes per image column of the fast stages' work space, in the sequential loop and in each worker:
// the range filter's 320 bytes of threshold counts and its per-column ranges, the hole fill's open
// runs, row marks and deferred passes.
constexpr uint64_t kBytesPerColumn = 384;

// The profile half of a record's window (0 for a window the reconstitution refuses).
int32_t ProfileHalf(int32_t window) { return window > 0 ? (window - 1) / 2 : 0; }

// The profile factor tables of one reconstitution (the fast path's, which the runs use).
uint64_t ProfileBytes(int32_t window) { return GaussStar_FastCacheBytes(ProfileHalf(window)); }

// An image held by buffers: its pixels and columns, and whether the pixel list goes with it. Buffers
// kept from file to file hold the largest image so far (kept_buffer.h): its pixels and its columns
// are each the largest since the buffers were last freed.
struct HeldImage {
    uint64_t pixels = 0, cols = 0;
    bool list = false;
};

HeldImage ImageOf(int32_t rows, int32_t cols) {
    return {static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols), static_cast<uint64_t>(cols), FillHoles_NeedsList(rows, cols)};
}

// The larger of two held images, pixel list of `now` (a buffer set-up frees the list when the new
// image does not need it).
HeldImage Largest(const HeldImage& held, const HeldImage& now) {
    return {std::max(held.pixels, now.pixels), std::max(held.cols, now.cols), now.list};
}

// Bytes the sequential loop needs for `image` and a record of `window`.
uint64_t SequentialBytes(const HeldImage& image, int32_t window) {
    return (kBytesPerPixel + (image.list ? kBytesPerListPixel : 0)) * image.pixels + kBytesPerColumn * image.cols +
           ProfileBytes(window);
}

// Workers of a parallel run that fit `budget` when each holds `image`, at most `workers`.
int32_t WorkersFor(const HeldImage& image, int32_t window, uint64_t budget, int32_t workers) {
    if (budget == 0) return workers;
    const uint64_t per_worker = (kBytesPerWorkerPixel + (image.list ? kBytesPerListPixel : 0)) * image.pixels +
                                kBytesPerColumn * image.cols + kWorkerStackBytes + ProfileBytes(window);
    return static_cast<int32_t>(std::min<uint64_t>(budget / per_worker, static_cast<uint64_t>(workers)));
}

void CheckFolder(const std::string& folder) {
    if (folder.empty()) Fail(WaitKind::Character, " The folder argument is empty \n");
    if (folder.size() > kMaxFolderLength) {
        Fail(WaitKind::Character, Format(" Folder %s is longer than %zu characters \n", folder.c_str(), kMaxFolderLength));
    }
    if (kFolderSeparator == '\\' && folder.find('"') != std::string::npos) {
        Fail(WaitKind::Character, Format(" Folder %s contains a double quote \n", folder.c_str()));
    }
}

std::string JoinPath(const std::string& folder, const std::string& name, const char* what) {
    const std::string path = folder + name;
    if (path.size() >= kPathBuffer) {
        Fail(WaitKind::None, Format(" The %s path %s is longer than %zu characters \n", what, path.c_str(), kPathBuffer - 1));
    }
    return path;
}

// Reads the next line of the listing, without its line end (a carriage return before it included).
bool ReadListingLine(std::istream& listing, std::string& line) {
    if (!std::getline(listing, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

// The one place where a reconstituted record reaches its file, in record order whichever loop runs:
// the record's warning lines, then its failure if it failed, else its name and its file. A worker
// has written the file already when `written` is given (its temporary file, or the failure to write
// it): it is then renamed, or its failure reported, here.
// The run's hooks, when a library caller gave them: FinishRecord runs on the thread that called
// RunBatch, whichever loop runs, so each run sees its own.
thread_local const RunHooks* run_hooks = nullptr;

void WriteOrCommit(FourProduct& product, SafeOutput* written, const std::exception_ptr& write_failure) {
    if (write_failure) std::rethrow_exception(write_failure);
    if (written != nullptr) {
        FourProduct_CommitFile(*written);
    } else {
        FourProduct_WriteFile(product);
    }
}

void FinishRecord(const std::string& folder, const std::string& name, const RecordOutcome& outcome, FourProduct& product,
                  SafeOutput* written = nullptr, const std::exception_ptr& write_failure = nullptr) {
    if (run_hooks) {
        if (run_hooks->before_record) run_hooks->before_record();
        if (run_hooks->warnings && !outcome.warnings.empty()) run_hooks->warnings(outcome.warnings);
        if (outcome.failure) std::rethrow_exception(outcome.failure);
        product.output_name[product.bank] = JoinPath(folder, name, "output");
        WriteOrCommit(product, written, write_failure);
        if (run_hooks->written) run_hooks->written(name);
        return;
    }
    std::fputs(outcome.warnings.c_str(), stdout);
    if (outcome.failure) std::rethrow_exception(outcome.failure);
    product.output_name[product.bank] = JoinPath(folder, name, "output");
    std::printf("%s\n", name.c_str());
    FlushStandardOutput();
    WriteOrCommit(product, written, write_failure);
}

// Every record in flight may hold a temporary file, beside the run's own (the listing).
static_assert(kSafeOutputSlots >= 2 * kMaxJobs + 1, "the interruption table holds every temporary file of a run");

void RefuseOverwritingInput(const CalStarExtraction& extraction, const std::string& calstars_path) {
    if (WouldOverwriteInput(extraction.name)) {
        Fail(WaitKind::None, Format(" Record name %s in %s would overwrite an input of the run \n", extraction.name.c_str(),
                                    calstars_path.c_str()));
    }
}

// The checks of a CALSTARS file once its header is read, before anything is allocated for it:
// cheapest first, the same in every loop.
void CheckCalstarsFile(const CalStarExtraction& extraction, const std::string& calstars_path, uint64_t budget) {
    CalStarReconsitution_CheckImage(extraction);
    CheckMemoryBudget(extraction.rows, extraction.cols, 1, budget, calstars_path);
}

// ... and of a frame record once it is read.
void CheckRecord(const CalStarExtraction& extraction, const std::string& calstars_path, uint64_t budget) {
    RefuseOverwritingInput(extraction, calstars_path);
    CalStarReconsitution_CheckRecord(extraction);
    CheckMemoryBudget(extraction.rows, extraction.cols, extraction.window, budget, calstars_path);
}

// The sequential loop's records and buffers: the reference that every parallel run reproduces. The
// planes and work images are set up at a file's first record (the checks of the file and of that
// record come first), and again when a record of another image follows.
struct SequentialLoop {
    FourProduct product;
    ReconWorkBuffers buffers;
    bool set_up = false;
    int32_t rows = 0, cols = 0, nstars = 0, first_int = 0;  // what product and buffers are set up for
    HeldImage held;  // the largest image the planes and buffers keep memory for
};

void SetUpFor(SequentialLoop& loop, const CalStarExtraction& record, uint64_t budget) {
    // The buffers keep the memory of the largest image so far; where that beside this record's own
    // needs would not fit the budget (a larger image with a small window before a smaller one with a
    // large window), they give it back before this record sets up.
    const HeldImage image = ImageOf(record.rows, record.cols);
    if (budget != 0 && SequentialBytes(Largest(loop.held, image), record.window) > budget) {
        FourProduct_MemFree(loop.product);
        CalStarReconsitution_MemFree(loop.buffers);
        loop.held = HeldImage{};
        loop.set_up = false;
    }
    if (loop.set_up && loop.rows == record.rows && loop.cols == record.cols && loop.nstars == record.nstars &&
        loop.first_int == record.first_int) {
        return;
    }
    loop.set_up = false;
    loop.held = Largest(loop.held, image);
    FourProduct_MemSetup(loop.product, record.first_int, record.rows, record.cols);
    CalStarReconsitution_MemSetup(loop.buffers, record);
    loop.set_up = true;
    loop.rows = record.rows;
    loop.cols = record.cols;
    loop.nstars = record.nstars;
    loop.first_int = record.first_int;
}

// Reconstitutes and writes one checked record with the loop's buffers, whose generator is where the
// record's first pixel draws.
void RunRecord(const std::string& folder, SequentialLoop& loop, const CalStarExtraction& record, uint64_t budget) {
    SetUpFor(loop, record, budget);
    RecordOutcome outcome;
    ReconstituteRecord(loop.buffers, record, loop.product, outcome);
    FinishRecord(folder, record.name, outcome, loop.product);
    CalStarReconsitution_FrameFree(loop.buffers);
}

// A CALSTARS file is done: the literal profile table goes. The work images and planes stay for the
// next file, as a worker's do: freed and taken again for every short file of a night, their fresh
// pages cost more than the file's records (14 ms a file of three 640 x 480 records). A file of a
// smaller image keeps their memory; a larger one frees it before it takes its own.
void EndOfFile() { GaussStar_Release(); }

void ProcessCalstarsFile(const std::string& folder, const std::string& calstars_path, CalStarExtraction& extraction,
                         SequentialLoop& loop, uint64_t budget) {
    OpenCalStarExtraction(calstars_path, extraction);
    CheckCalstarsFile(extraction, calstars_path, budget);
    while (ReadCalStarFrame(extraction) == 0) {
        Interruption_NameRecord(extraction.name);
        CheckRecord(extraction, calstars_path, budget);
        RunRecord(folder, loop, extraction, budget);
        Interruption_RecordDone();
    }
    EndOfFile();
}

// The same loop with the reconstitution handed to workers. This thread still reads every file and
// record in order and makes every check of the sequential loop at the same point; each record goes to
// the workers with the generator state that the sequential loop has at its first pixel (every record
// draws rows x cols values), and comes back in submission order to FinishRecord. A failure keeps its
// sequential meaning: the records before it are finished first (the earliest failure wins), nothing
// after it is written, and leaving this function stops the workers. A worker whose memory failed
// hands the run to the sequential loop (FallBackToSequential).
class ParallelRun {
public:
    ParallelRun(const std::string& folder, std::unique_ptr<RecordWorkers> workers, uint64_t budget)
        : folder_(folder), workers_(std::move(workers)), budget_(budget) {}

    void ProcessCalstarsFile(const std::string& calstars_path) {
        OpenCalStarExtraction(calstars_path, extraction_);
        CheckCalstarsFile(extraction_, calstars_path, budget_);
        while (ReadCalStarFrame(extraction_) == 0) {
            if (!workers_) Interruption_NameRecord(extraction_.name);
            CheckRecord(extraction_, calstars_path, budget_);
            if (!workers_) {
                RunSequentially(extraction_);
                continue;
            }
            const HeldImage image = ImageOf(extraction_.rows, extraction_.cols);
            const int32_t allowed = WorkersFor(image, extraction_.window, budget_, workers_->Capacity());
            if (allowed == 0) {
                RunAlone();
                continue;
            }
            // Workers and the jobs' planes keep the memory of the largest image since they last gave
            // it back: where that would let fewer workers run than this record's own image, they give
            // it back first.
            if (WorkersFor(Largest(workers_held_, image), extraction_.window, budget_, workers_->Capacity()) < allowed) {
                ReleaseWorkers();
                if (!workers_) {
                    // The records before this one fell back to the sequential loop: so does this one.
                    Interruption_NameRecord(extraction_.name);
                    RunSequentially(extraction_);
                    continue;
                }
            }
            workers_held_ = Largest(workers_held_, image);
            ReleaseSequentialLoop();
            workers_->SetAllowed(allowed);
            // At most two records in flight per worker: one in hand, one waiting.
            while (workers_ && workers_->Pending() >= 2 * static_cast<size_t>(allowed)) FinishOldest();
            if (!workers_) {
                // The records before this one fell back to the sequential loop: so does this one.
                Interruption_NameRecord(extraction_.name);
                RunSequentially(extraction_);
                continue;
            }
            while (spare_.size() > 2 * static_cast<size_t>(allowed)) spare_.pop_back();
            std::unique_ptr<RecordJob> job;
            if (spare_.empty()) {
                job = std::make_unique<RecordJob>();
            } else {
                job = std::move(spare_.back());
                spare_.pop_back();
            }
            CopyRecord(extraction_, job->record);
            // A stop names the oldest record whose file is not written yet.
            if (in_flight_.empty()) Interruption_NameRecord(extraction_.name);
            in_flight_.push_back(extraction_.name);
            // The worker writes the file under a temporary name that no earlier record in flight
            // takes as its final name; a path too long is refused by FinishRecord, at its turn.
            job->output_path.clear();
            job->write_failure = nullptr;
            if (folder_.size() + extraction_.name.size() < kPathBuffer) {
                job->output_path = folder_ + extraction_.name;
                SafeOutput_Reserve(job->output_path);
                reserved_.push_back(job->output_path);
            }
            job->generator = PseudoRandom_Advance(PseudoRandom{}, pixels_drawn_);
            pixels_drawn_ += static_cast<uint64_t>(extraction_.rows) * static_cast<uint64_t>(extraction_.cols);
            workers_->Submit(std::move(job));
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

    ~ParallelRun() {
        for (const std::string& path : reserved_) SafeOutput_Release(path);
    }

private:
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
            if (written) {
                SafeOutput_Release(job->output_path);
                reserved_.pop_front();
            }
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
        for (const std::string& path : reserved_) SafeOutput_Release(path);
        reserved_.clear();
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

    // Not even one worker with its records in flight fits the budget for the record just read, where
    // the sequential loop fits (CheckRecord has passed): the records in flight are written, every
    // worker releases its memory, and the record runs in the sequential loop, so that the run holds
    // no more than a run of one job would. Under a control group's limit no allocation fails to fall
    // back on: the process would be killed instead.
    void RunAlone() {
        ReleaseWorkers();
        Interruption_NameRecord(extraction_.name);
        RunSequentially(extraction_);
        sequential_used_ = true;
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

    // A record read after the fall-back: the sequential loop's step, the generator where the records
    // before it leave it.
    void RunSequentially(const CalStarExtraction& record) {
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
    SequentialLoop sequential_;                       // the loop after a fall-back
    std::deque<std::string> reserved_;                // their output paths, reserved against temporary use
    bool record_failed_ = false;                      // a record's own failure: nothing after it runs
    bool sequential_used_ = false;                    // sequential_ holds buffers beside the workers
    HeldImage workers_held_;                          // the largest image a worker or spare job may keep
};

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

void CheckMemoryBudget(int32_t rows, int32_t cols, int32_t window, uint64_t budget, const std::string& path) {
    const uint64_t needed = SequentialBytes(ImageOf(rows, cols), window);
    if (budget != 0 && needed > budget) {
        Fail(WaitKind::None, Format(" Image of %" PRId32 " x %" PRId32 " pixels with window %" PRId32 " in %s needs %" PRIu64
                                    " MB of memory, more than the %" PRIu64 " MB this machine can give \n",
                                    rows, cols, window, path.c_str(), needed >> 20, budget >> 20));
    }
}

int32_t WorkersThatFit(int32_t rows, int32_t cols, int32_t window, uint64_t budget, int32_t workers) {
    return WorkersFor(ImageOf(rows, cols), window, budget, workers);
}

std::vector<std::string> CalstarsFilesInOrder(const std::string& folder_argument) {
    CheckFolder(folder_argument);
    const std::string folder = EnsureTrailingSeparator(folder_argument, kFolderSeparator);
    if (folder.size() > kMaxFolderLength) CheckFolder(folder);
    std::istringstream listing(ListCalstarsFiles(folder, folder + kListingName));
    std::vector<std::string> names;
    std::string line;
    while (ReadListingLine(listing, line)) {
        if (CutAfterTxt(line)) names.push_back(line);
    }
    return names;
}

int RunBatch(const std::string& folder_argument, int32_t jobs, const RunHooks* hooks) {
    struct HooksInPlace {
        explicit HooksInPlace(const RunHooks* hooks) { run_hooks = hooks; }
        ~HooksInPlace() { run_hooks = nullptr; }
    } hooks_in_place(hooks);
    CheckFolder(folder_argument);
    const std::string folder = EnsureTrailingSeparator(folder_argument, kFolderSeparator);
    if (folder.size() > kMaxFolderLength) CheckFolder(folder);
    const std::string listing_path = folder + kListingName;
    if (!hooks) Interruption_Watch(folder);
    // The listing this run wrote, from memory: the file may be another run's by now.
    std::istringstream listing(WriteCalstarsListing(folder, listing_path));
    // Read once, before any worker exists: every refusal is measured against what the sequential
    // loop has, whatever the number of workers.
    const MemoryLimits limits = ReadMemoryLimits();
    const uint64_t budget = MemoryBudget(limits);
    // Rule: one job (or no thread to be had) runs the sequential loop, the reference; more run the
    // same loop with ParallelRun's workers, which write the same files and lines.
    std::unique_ptr<RecordWorkers> workers;
    if (jobs > 1) {
        workers = std::make_unique<RecordWorkers>(jobs, limits.address_space != 0 ? kWorkerStackBytes : 0);
        if (workers->Started() == 0) workers.reset();  // no thread to be had: the sequential loop
    }
    std::string line;
    if (!workers) {
        CalStarExtraction extraction;
        SequentialLoop loop;
        while (ReadListingLine(listing, line)) {
            if (!CutAfterTxt(line)) continue;
            ProcessCalstarsFile(folder, JoinPath(folder, line, "CALSTARS file"), extraction, loop, budget);
        }
        return 0;
    }
    ParallelRun run(folder, std::move(workers), budget);
    run.Read([&] {
        while (ReadListingLine(listing, line)) {
            if (!CutAfterTxt(line)) continue;
            run.ProcessCalstarsFile(JoinPath(folder, line, "CALSTARS file"));
        }
    });
    return 0;
}

int RunProgram(int argc, char** argv) {
    const CommandLine command_line = ParseCommandLine(argc, argv);
    if (command_line.action == CommandLine::kHelp) {
        PrintUsage();
        return 0;
    }
    if (command_line.action == CommandLine::kVersion) {
        PrintVersion();
        return 0;
    }
    const int32_t jobs = command_line.jobs > 0 ? command_line.jobs : std::min(UsableProcessorCount(), kMaxJobs);
    if (command_line.has_folder) return RunBatch(command_line.folder, jobs);
    std::string chosen;
    std::string folder;
    std::string file_name;
    if (!SelectCalStarsFile(chosen) || chosen.size() >= kPathBuffer - 1 ||
        !SplitFolderAndName(chosen, folder, file_name, kFolderSeparator)) {
        Fail(WaitKind::None, " ERROR getting CALSTARS filename \n");
    }
    // A file in the root of a POSIX file system splits into an empty folder: the root itself.
    return RunBatch(folder.empty() ? std::string(1, kFolderSeparator) : folder, jobs);
}
