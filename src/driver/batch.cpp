#include "driver/batch.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "driver/folder.h"
#include "driver/memory_budget.h"
#include "driver/parallel_run.h"
#include "driver/paths.h"
#include "driver/record_workers.h"
#include "driver/sequential_run.h"
#include "driver/usage.h"
#include "failure.h"
#include "platform/file_chooser.h"
#include "platform/interruption.h"
#include "platform/listing.h"
#include "platform/machine.h"
#include "safe_output/safe_output.h"

std::vector<std::string> CalstarsFilesInOrder(const std::string& folder_argument) {
    const std::string folder = WorkingFolder(folder_argument);
    return ListedCalstarsNames(ListCalstarsFiles(folder, folder + kListingName));
}

void PrepareLoneRecord(FourProduct& product, ReconWorkBuffers& buffers, const CalStarExtraction& file,
                       const CalStarExtraction& record) {
    const uint64_t budget = MemoryBudget(ReadMemoryLimits());
    CheckFileFits(file, budget);
    CheckRecordFits(record, budget);
    SetUpWithinBudget(product, buffers, record, record, budget);
}

int RunBatch(const std::string& folder_argument, int32_t jobs, const RunHooks* hooks) {
    const RunHooksInPlace hooks_in_place(hooks);
    const std::string folder = WorkingFolder(folder_argument);
    const std::string listing_path = folder + kListingName;
    if (!hooks) Interruption_Watch(folder);
    // One hidden folder for the temporary files of the whole run, not one per file.
    const SafeOutputFolderHold temporaries(listing_path);
    // The listing this run wrote, from memory: the file may be another run's by now.
    const std::vector<std::string> calstars_names = ListedCalstarsNames(WriteCalstarsListing(folder, listing_path));
    // Read once, before any worker exists: every refusal is measured against what the sequential
    // loop has, whatever the number of workers.
    const MemoryLimits limits = ReadMemoryLimits();
    const uint64_t budget = MemoryBudget(limits);
    // Rule: one job (or no thread to be had) runs the sequential loop, the reference; more run the
    // same loop with the parallel run's workers, which write the same files and lines.
    std::unique_ptr<RecordWorkers> workers;
    if (jobs > 1) {
        workers = std::make_unique<RecordWorkers>(jobs, limits.address_space != 0 ? kWorkerStackBytes : 0);
        if (workers->Started() == 0) workers.reset();  // no thread to be had: the sequential loop
    }
    if (workers) {
        RunParallel(folder, calstars_names, std::move(workers), budget);
    } else {
        RunSequentialLoop(folder, calstars_names, budget);
    }
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
