#include "driver/sequential_run.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "driver/batch.h"
#include "driver/folder.h"
#include "driver/paths.h"
#include "platform/listing.h"
#include "failure.h"
#include "platform/console.h"
#include "platform/interruption.h"
#include "reconstitution/gauss_star.h"

namespace {

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

void RefuseOverwritingInput(const CalStarExtraction& extraction, const std::string& calstars_path) {
    if (WouldOverwriteInput(extraction.name)) {
        Fail(WaitKind::None, Format(" Record name %s in %s would overwrite an input of the run \n", extraction.name.c_str(),
                                    calstars_path.c_str()));
    }
}

void ProcessCalstarsFile(const std::string& folder, const std::string& calstars_path, CalStarExtraction& extraction,
                         SequentialLoop& loop, uint64_t budget) {
    const uint64_t file_bytes = CheckCalstarsFileSize(calstars_path, budget);
    if (KeptMemoryCrowdsFile(loop.product, loop.buffers, file_bytes, budget)) {
        FourProduct_MemFree(loop.product);
        CalStarReconsitution_FreeBuffers(loop.buffers);
    }
    OpenCalStarExtraction(calstars_path, extraction);
    CheckCalstarsFile(extraction, budget);
    while (ReadCalStarFrame(extraction) == 0) {
        Interruption_NameRecord(extraction.name);
        CheckRecord(extraction, budget);
        RunRecord(folder, loop, extraction, extraction, budget);
        Interruption_RecordDone();
    }
    EndOfFile();
}

}  // namespace

RunHooksInPlace::RunHooksInPlace(const RunHooks* hooks) { run_hooks = hooks; }

RunHooksInPlace::~RunHooksInPlace() { run_hooks = nullptr; }

void RunSequentialLoop(const std::string& folder, const std::vector<std::string>& calstars_names, uint64_t budget) {
    CalStarExtraction extraction;
    SequentialLoop loop;
    for (const std::string& name : calstars_names) {
        ProcessCalstarsFile(folder, JoinPath(folder, name, "CALSTARS file"), extraction, loop, budget);
    }
}

uint64_t CheckCalstarsFileSize(const std::string& calstars_path, uint64_t budget) {
    std::error_code error;
    if (!std::filesystem::is_regular_file(calstars_path, error)) return 0;
    const uintmax_t size = std::filesystem::file_size(calstars_path, error);
    if (error) return 0;
    CheckFileSizeFits(static_cast<uint64_t>(size), budget);
    return static_cast<uint64_t>(size);
}

void CheckCalstarsFile(const CalStarExtraction& extraction, uint64_t budget) { CheckFileFits(extraction, budget); }

void CheckRecord(const CalStarExtraction& extraction, uint64_t budget) {
    RefuseOverwritingInput(extraction, extraction.path);
    CheckRecordFits(extraction, budget);
}

void FinishRecord(const std::string& folder, const std::string& name, const RecordOutcome& outcome, FourProduct& product,
                  SafeOutput* written, const std::exception_ptr& write_failure) {
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

void RunRecord(const std::string& folder, SequentialLoop& loop, const CalStarExtraction& reader, const CalStarExtraction& record,
               uint64_t budget) {
    SetUpWithinBudget(loop.product, loop.buffers, reader, record, budget);
    RecordOutcome outcome;
    ReconstituteRecord(loop.buffers, record, loop.product, outcome);
    FinishRecord(folder, record.name, outcome, loop.product);
    CalStarReconsitution_FrameFree(loop.buffers);
}

void EndOfFile() { GaussStar_Release(); }
