#include "driver/batch.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <fstream>
#include <memory>
#include <vector>

#include "calstars/calstars.h"
#include "driver/interruption.h"
#include "driver/paths.h"
#include "driver/platform.h"
#include "driver/usage.h"
#include "failure.h"
#include "fourproduct/fourproduct.h"
#include "driver/record_workers.h"
#include "reconstitution/gauss_star.h"
#include "reconstitution/pseudo_random.h"
#include "reconstitution/reconstitution.h"

namespace {

// Bytes per pixel that a CALSTARS file's image needs while it is processed: four 8-bit planes, three
// 16-bit work images and one 32-bit pixel list.
constexpr uint64_t kBytesPerPixel = 4 * 1 + 3 * 2 + 4;
// ... and that each worker of a parallel run needs: its work images and pixel list, and the four
// planes of each of the two records it may have in flight.
constexpr uint64_t kBytesPerWorkerPixel = 3 * 2 + 4 + 2 * 4 * 1;

// The profile half of a record's window (0 for a window the reconstitution refuses).
int32_t ProfileHalf(int32_t window) { return window > 0 ? (window - 1) / 2 : 0; }

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
bool ReadListingLine(std::ifstream& listing, std::string& line) {
    if (!std::getline(listing, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

// The one place where a reconstituted record reaches its file, in record order whichever loop runs:
// the record's warning lines, then its failure if it failed, else its name and its file. A worker
// has written the file already when `written` is given (its temporary file, or the failure to write
// it): it is then renamed, or its failure reported, here.
void FinishRecord(const std::string& folder, const std::string& name, const RecordOutcome& outcome, FourProduct& product,
                  SafeOutput* written = nullptr, const std::exception_ptr& write_failure = nullptr) {
    std::fputs(outcome.warnings.c_str(), stdout);
    if (outcome.failure) std::rethrow_exception(outcome.failure);
    product.output_name[product.bank] = JoinPath(folder, name, "output");
    std::printf("%s\n", name.c_str());
    std::fflush(stdout);
    if (write_failure) std::rethrow_exception(write_failure);
    if (written != nullptr) {
        FourProduct_CommitFile(*written);
    } else {
        FourProduct_WriteFile(product);
    }
}

// Every record in flight may hold a temporary file, beside the run's own (the listing).
static_assert(kSafeOutputSlots >= 2 * kMaxJobs + 1, "the interruption table holds every temporary file of a run");

void RefuseOverwritingInput(const CalStarExtraction& extraction, const std::string& calstars_path) {
    if (WouldOverwriteInput(extraction.name)) {
        Fail(WaitKind::None, Format(" Record name %s in %s would overwrite an input of the run \n", extraction.name.c_str(),
                                    calstars_path.c_str()));
    }
}

// The sequential loop over one CALSTARS file: the reference that every parallel run reproduces.
void ProcessCalstarsFile(const std::string& folder, const std::string& calstars_path, CalStarExtraction& extraction,
                         FourProduct& product, ReconWorkBuffers& buffers) {
    OpenCalStarExtraction(calstars_path, extraction);
    CheckMemoryBudget(extraction.rows, extraction.cols, 1, PhysicalMemoryBytes(), calstars_path);
    FourProduct_MemSetup(product, extraction.first_int, extraction.rows, extraction.cols);
    CalStarReconsitution_MemSetup(buffers, extraction);
    while (ReadCalStarFrame(extraction) == 0) {
        Interruption_NameRecord(extraction.name);
        RefuseOverwritingInput(extraction, calstars_path);
        CheckMemoryBudget(extraction.rows, extraction.cols, extraction.window, PhysicalMemoryBytes(), calstars_path);
        RecordOutcome outcome;
        ReconstituteRecord(buffers, extraction, product, outcome);
        FinishRecord(folder, extraction.name, outcome, product);
        Interruption_RecordDone();
        CalStarReconsitution_FrameFree(buffers);
    }
    CalStarReconsitution_MemFree(buffers);
}

// The same loop with the reconstitution handed to workers. This thread still reads every file and
// record in order and makes every check of the sequential loop at the same point; each record goes to
// the workers with the generator state that the sequential loop has at its first pixel (every record
// draws rows x cols values), and comes back in submission order to FinishRecord. A failure keeps its
// sequential meaning: the records before it are finished first (the earliest failure wins), nothing
// after it is written, and leaving this function stops the workers.
class ParallelRun {
public:
    ParallelRun(const std::string& folder, RecordWorkers& workers) : folder_(folder), workers_(workers) {}

    void ProcessCalstarsFile(const std::string& calstars_path) {
        OpenCalStarExtraction(calstars_path, extraction_);
        CheckMemoryBudget(extraction_.rows, extraction_.cols, 1, PhysicalMemoryBytes(), calstars_path);
        CalStarReconsitution_CheckImage(extraction_);
        while (ReadCalStarFrame(extraction_) == 0) {
            RefuseOverwritingInput(extraction_, calstars_path);
            // The first record's half becomes the shared one, before any worker draws a star.
            GaussSharedKernels& shared = workers_.SharedProfiles();
            GaussStar_SharedClaim(shared, ProfileHalf(extraction_.window));
            const int32_t allowed = WorkersThatFit(extraction_.rows, extraction_.cols, extraction_.window, PhysicalMemoryBytes(),
                                                   workers_.Started(), calstars_path, shared.half.load());
            workers_.SetAllowed(allowed);
            // At most two records in flight per worker: one in hand, one waiting.
            while (workers_.Pending() >= 2 * static_cast<size_t>(allowed)) FinishOldest();
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
            workers_.Submit(std::move(job));
        }
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
        while (workers_.Pending() > 0) FinishOldest();
    }

    void FinishOldest() {
        std::unique_ptr<RecordJob> job = workers_.TakeOldest();
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

    const std::string& folder_;
    RecordWorkers& workers_;
    CalStarExtraction extraction_;
    uint64_t pixels_drawn_ = 0;                       // by the records submitted so far
    std::vector<std::unique_ptr<RecordJob>> spare_;   // finished jobs, whose output slots are reused
    std::deque<std::string> in_flight_;               // names of the records submitted and not written
    std::deque<std::string> reserved_;                // their output paths, reserved against temporary use
    bool record_failed_ = false;                      // a record's own failure: nothing after it runs
};

}  // namespace

namespace {

// The memory a run may take: a quarter of the machine is left to the system; on a 32-bit build the
// address space is the limit. 0 when unknown.
uint64_t MemoryLimit(uint64_t physical_bytes) {
    uint64_t limit = physical_bytes / 4 * 3;
    if (sizeof(size_t) < 8 && (limit == 0 || limit > (uint64_t{1} << 31))) limit = uint64_t{1} << 31;
    return limit;
}

// The profile tables and kernels of one reconstitution (the fast path's, which the runs use).
uint64_t ProfileBytes(int32_t window) { return GaussStar_FastCacheBytes(ProfileHalf(window)); }

}  // namespace

void CheckMemoryBudget(int32_t rows, int32_t cols, int32_t window, uint64_t physical_bytes, const std::string& path) {
    const uint64_t npix = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
    const uint64_t needed = kBytesPerPixel * npix + ProfileBytes(window);
    const uint64_t limit = MemoryLimit(physical_bytes);
    if (limit != 0 && needed > limit) {
        Fail(WaitKind::None, Format(" Image of %" PRId32 " x %" PRId32 " pixels with window %" PRId32 " in %s needs %" PRIu64
                                    " MB of memory, more than the %" PRIu64 " MB this machine can give \n",
                                    rows, cols, window, path.c_str(), needed >> 20, limit >> 20));
    }
}

int32_t WorkersThatFit(int32_t rows, int32_t cols, int32_t window, uint64_t physical_bytes, int32_t workers,
                       const std::string& path, int32_t shared_half) {
    CheckMemoryBudget(rows, cols, window, physical_bytes, path);
    const uint64_t limit = MemoryLimit(physical_bytes);
    if (limit == 0) return workers;
    const uint64_t npix = static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols);
    // The shared store counts once; a window it does not cover has its profiles in every worker.
    const uint64_t shared = shared_half >= 0 ? GaussStar_FastCacheBytes(shared_half) : 0;
    const uint64_t per_worker = kBytesPerWorkerPixel * npix + (ProfileHalf(window) == shared_half ? 0 : ProfileBytes(window));
    const uint64_t fit = limit > shared ? (limit - shared) / per_worker : 0;
    return static_cast<int32_t>(std::max<uint64_t>(1, std::min<uint64_t>(fit, static_cast<uint64_t>(workers))));
}

int RunBatch(const std::string& folder_argument, int32_t jobs) {
    CheckFolder(folder_argument);
    const std::string folder = EnsureTrailingSeparator(folder_argument, kFolderSeparator);
    if (folder.size() > kMaxFolderLength) CheckFolder(folder);
    const std::string listing_path = folder + kListingName;
    Interruption_Watch(folder);
    WriteCalstarsListing(folder, listing_path);

    std::ifstream listing(listing_path);
    // A directory of the listing's name opens but cannot be read: it is no listing either.
    listing.peek();
    if (!listing || listing.bad()) {
        Fail(WaitKind::Character, Format(" Directory listing file %s not found (or not generated)\n\n", listing_path.c_str()));
    }
    // Rule: one job (or no thread to be had) runs the sequential loop, the reference; more run the
    // same loop with ParallelRun's workers, which write the same files and lines.
    std::unique_ptr<RecordWorkers> workers;
    if (jobs > 1) {
        workers = std::make_unique<RecordWorkers>(jobs);
        if (workers->Started() == 0) workers.reset();  // no thread to be had: the sequential loop
    }
    std::string line;
    if (!workers) {
        CalStarExtraction extraction;
        FourProduct product;
        ReconWorkBuffers buffers;
        while (ReadListingLine(listing, line)) {
            if (!CutAfterTxt(line)) continue;
            ProcessCalstarsFile(folder, JoinPath(folder, line, "CALSTARS file"), extraction, product, buffers);
        }
        return 0;
    }
    ParallelRun run(folder, *workers);
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

int ReportFailure(const Failure& failure) {
    std::fputs(failure.message.c_str(), stdout);
    std::fflush(stdout);
    if (failure.wait == WaitKind::Character) {
        std::getchar();
    } else if (failure.wait == WaitKind::Integer) {
        int discarded = 0;
        if (std::scanf("%d", &discarded) != 1) discarded = 0;
    }
    return 1;
}
