// The memory budget of a run: how much memory the limits in force leave it, whether a CALSTARS
// file's image and window fit in the sequential loop, and how many workers of a parallel run fit
// beside one another. Every record is measured against the budget before anything is allocated for
// it, in the sequential loop, in the parallel run and in the Python module.
#pragma once

#include <cstdint>
#include <string>

struct MemoryLimits;

// The memory a run may take, in bytes, from the limits in force (0 when none is known): the smallest
// of three quarters of the physical memory, three quarters of the control group's or job object's
// limit (the rest is left to the system and the other processes there), and the address space left
// under an address-space or data limit (the limit less what is mapped already). A 32-bit build never
// counts on more than 2 GB.
uint64_t MemoryBudget(const MemoryLimits& limits);

// Refuses a CALSTARS file whose buffers for a rows x cols image and `window` would not fit the
// `budget` (MemoryBudget; 0 when unknown), before anything is allocated.
void CheckMemoryBudget(int32_t rows, int32_t cols, int32_t window, uint64_t budget, const std::string& path);

// How many of `workers` (at least 1) a parallel run may keep busy on such records within `budget`:
// each worker holds its work images, the planes of two records in flight and its profile factor
// tables. 0 when not even one fits: the record then runs in the sequential loop, with the workers'
// memory released (see RunBatch), so that a parallel run never needs more than a run of one job.
int32_t WorkersThatFit(int32_t rows, int32_t cols, int32_t window, uint64_t budget, int32_t workers);

// An image held by buffers: its pixels and columns, and whether the pixel list goes with it. Buffers
// kept from file to file hold the largest image so far (kept_buffer.h): its pixels and its columns
// are each the largest since the buffers were last freed.
struct HeldImage {
    uint64_t pixels = 0, cols = 0;
    bool list = false;
};

// The image of a rows x cols record.
HeldImage ImageOf(int32_t rows, int32_t cols);

// The larger of two held images, pixel list of `now` (a buffer set-up frees the list when the new
// image does not need it).
HeldImage Largest(const HeldImage& held, const HeldImage& now);

// Bytes the sequential loop needs for `image` and a record of `window`.
uint64_t SequentialBytes(const HeldImage& image, int32_t window);

// Workers of a parallel run that fit `budget` when each holds `image`, at most `workers`.
int32_t WorkersFor(const HeldImage& image, int32_t window, uint64_t budget, int32_t workers);
