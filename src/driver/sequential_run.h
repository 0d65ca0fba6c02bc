// The sequential loop: the reference that every run reproduces, whatever its number of workers. For
// each listed CALSTARS file it reads the header, checks it, and for each frame record checks it,
// sets up the buffers, reconstitutes the record and writes its file; FinishRecord is where every
// record of every loop reaches its file, in record order. The parallel run (parallel_run.h) makes the
// same checks at the same points and falls back on this loop's steps.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "calstars/calstars.h"
#include "driver/memory_budget.h"
#include "driver/record_workers.h"
#include "fourproduct/fourproduct.h"
#include "reconstitution/reconstitution.h"

struct RunHooks;

// The sequential loop's records and buffers, set up for every record (CalStarReconsitution_SetUpFor
// keeps what the record does not change) and kept from file to file.
struct SequentialLoop {
    FourProduct product;
    ReconWorkBuffers buffers;
};

// Processes the CALSTARS files `calstars_names` of `folder` (ending in its separator) in order, in
// the sequential loop, measuring every file and record against `budget` (MemoryBudget; 0: unknown).
// Every failure throws; the files written before it stay.
void RunSequentialLoop(const std::string& folder, const std::vector<std::string>& calstars_names, uint64_t budget);

// While it lives, FinishRecord on this thread hands a record's lines to `hooks` instead of printing
// them (null: printed), so that a library caller's run sees its own hooks whichever loop runs.
class RunHooksInPlace {
public:
    explicit RunHooksInPlace(const RunHooks* hooks);
    ~RunHooksInPlace();
    RunHooksInPlace(const RunHooksInPlace&) = delete;
    RunHooksInPlace& operator=(const RunHooksInPlace&) = delete;
};

// Before a CALSTARS file is read, the same in every loop: refuses a regular file whose text alone
// would not fit `budget` (CheckFileSizeFits), and returns its size (0 when it cannot be learnt: the
// reader then says why it cannot read it).
uint64_t CheckCalstarsFileSize(const std::string& calstars_path, uint64_t budget);

// The checks of a CALSTARS file once its header is read, before anything is allocated for it:
// cheapest first, the same in every loop (the image's size, then the memory for it: CheckFileFits).
void CheckCalstarsFile(const CalStarExtraction& extraction, uint64_t budget);

// ... and of a frame record once it is read: a name that would overwrite an input of the run
// (" Record name <name> in <path> would overwrite an input of the run "), then the record's window,
// coordinates and memory (CheckRecordFits).
void CheckRecord(const CalStarExtraction& extraction, uint64_t budget);

// Reconstitutes and writes one checked record with the loop's buffers, whose generator is where the
// record's first pixel draws. The buffers are set up for the record first, giving their memory back
// first where what they keep beside the record's own needs would not fit `budget`
// (SetUpWithinBudget); `reader` holds the file the record was read from (the record itself, or the
// reader beside a copy of it).
void RunRecord(const std::string& folder, SequentialLoop& loop, const CalStarExtraction& reader, const CalStarExtraction& record,
               uint64_t budget);

// The one place where a reconstituted record reaches its file, in record order whichever loop runs:
// the record's warning lines, then its failure if it failed, else its name and its file (the name as
// "%s\n" on standard output, flushed, before the file is written; or the hooks of RunHooksInPlace).
// A worker has written the file already when `written` is given (its temporary file, or the failure
// to write it, `write_failure`): it is then renamed, or its failure reported, here.
void FinishRecord(const std::string& folder, const std::string& name, const RecordOutcome& outcome, FourProduct& product,
                  SafeOutput* written = nullptr, const std::exception_ptr& write_failure = nullptr);

// A CALSTARS file is done: the literal profile table goes. The work images and planes stay for the
// next file, as a worker's do: freed and taken again for every short file of a night, their fresh
// pages cost more than the file's records (14 ms a file of three 640 x 480 records). A file of a
// smaller image keeps their memory, unless it would crowd the next file or record out of the budget;
// a larger one frees it before it takes its own.
void EndOfFile();
