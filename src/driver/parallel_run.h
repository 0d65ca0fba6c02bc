// The parallel run: the sequential loop with the reconstitution of each record handed to workers
// (record_workers.h). This thread still reads every file and record in order and makes every check
// of the sequential loop at the same point; each record goes to the workers with the generator state
// that the sequential loop has at its first pixel (every record draws rows x cols values), and comes
// back in submission order to FinishRecord (sequential_run.h), so that the files, the lines on
// standard output and the failures are those of the sequential loop.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class RecordWorkers;

// Processes the CALSTARS files `calstars_names` of `folder` (ending in its separator) in order with
// the workers of `workers` (at least one could be started; their threads start with the first record
// they take), measuring every file and record against `budget` (MemoryBudget; 0: unknown). The workers
// run within shares of the budget (WorkerSharesFor), made anew, with the records in flight written
// first, when a record does not fit them; no more workers take records than fit. A failure keeps its
// sequential meaning: the records before it are finished first (the earliest failure wins), nothing
// after it is written, and the workers are stopped before it is thrown. A record that not even one
// worker fits runs in the sequential loop, once the records before it are written and the workers
// are stopped, their memory with them. When a worker's memory fails, or a file written ahead of its turn
// cannot be written, the workers are stopped and the run goes on as the sequential loop from that
// record on, so that it fails only where the sequential loop fails, with its message.
void RunParallel(const std::string& folder, const std::vector<std::string>& calstars_names,
                 std::unique_ptr<RecordWorkers> workers, uint64_t budget);
