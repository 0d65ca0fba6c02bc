#include "driver/sequential_run.h"

#include <cstdio>

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

void CheckCalstarsFile(const CalStarExtraction& extraction, const std::string& calstars_path, uint64_t budget) {
    CalStarReconsitution_CheckImage(extraction);
    CheckMemoryBudget(extraction.rows, extraction.cols, 1, budget, calstars_path);
}

void CheckRecord(const CalStarExtraction& extraction, const std::string& calstars_path, uint64_t budget) {
    RefuseOverwritingInput(extraction, calstars_path);
    CalStarReconsitution_CheckRecord(extraction);
    CheckMemoryBudget(extraction.rows, extraction.cols, extraction.window, budget, calstars_path);
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

void RunRecord(const std::string& folder, SequentialLoop& loop, const CalStarExtraction& record, uint64_t budget) {
    SetUpFor(loop, record, budget);
    RecordOutcome outcome;
    ReconstituteRecord(loop.buffers, record, loop.product, outcome);
    FinishRecord(folder, record.name, outcome, loop.product);
    CalStarReconsitution_FrameFree(loop.buffers);
}

void EndOfFile() { GaussStar_Release(); }
