#include "driver/memory_budget.h"

#include <algorithm>
#include <cinttypes>

#include "failure.h"
#include "platform/machine.h"
#include "reconstitution/gauss_star.h"
#include "reconstitution/hole_fill.h"

namespace {

// Bytes per pixel that a CALSTARS file's image needs while it is processed: four 8-bit planes, three
// 16-bit work images and the range filter's byte copy of the image.
constexpr uint64_t kBytesPerPixel = 4 * 1 + 3 * 2 + 1;
// ... and that each worker of a parallel run needs: its work images and filter's byte image, and the
// four planes of each of the two records it may have in flight.
constexpr uint64_t kBytesPerWorkerPixel = 3 * 2 + 1 + 2 * 4 * 1;
// ... and, in both, the layers hole fill's 32-bit pixel list, taken at set-up for the images that the
// pipeline always fills that way (a side of kHoleFillDistanceSideLimit or more).
constexpr uint64_t kBytesPerListPixel = 4;
// Bytes per image column of the fast stages' work space, in the sequential loop and in each worker:
// the range filter's 320 bytes of threshold counts and its per-column ranges, the hole fill's open
// runs, row marks and deferred passes.
constexpr uint64_t kBytesPerColumn = 384;

// The profile half of a record's window (0 for a window the reconstitution refuses).
int32_t ProfileHalf(int32_t window) { return window > 0 ? (window - 1) / 2 : 0; }

// The profile factor tables of one reconstitution (the fast path's, which the runs use).
uint64_t ProfileBytes(int32_t window) { return GaussStar_FastCacheBytes(ProfileHalf(window)); }

}  // namespace

HeldImage ImageOf(int32_t rows, int32_t cols) {
    return {static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols), static_cast<uint64_t>(cols), rows >= kHoleFillDistanceSideLimit || cols >= kHoleFillDistanceSideLimit};
}

HeldImage Largest(const HeldImage& held, const HeldImage& now) {
    return {std::max(held.pixels, now.pixels), std::max(held.cols, now.cols), now.list};
}

uint64_t SequentialBytes(const HeldImage& image, int32_t window) {
    return (kBytesPerPixel + (image.list ? kBytesPerListPixel : 0)) * image.pixels + kBytesPerColumn * image.cols +
           ProfileBytes(window);
}

int32_t WorkersFor(const HeldImage& image, int32_t window, uint64_t budget, int32_t workers) {
    if (budget == 0) return workers;
    const uint64_t per_worker = (kBytesPerWorkerPixel + (image.list ? kBytesPerListPixel : 0)) * image.pixels +
                                kBytesPerColumn * image.cols + kWorkerStackBytes + ProfileBytes(window);
    return static_cast<int32_t>(std::min<uint64_t>(budget / per_worker, static_cast<uint64_t>(workers)));
}

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
