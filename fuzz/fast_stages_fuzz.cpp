// Fuzz target: the fast reconstitution stages against the literal reference, byte for byte, on
// small frame records built from the fuzzer's bytes (any star positions near or across the edges,
// any intensities and totals, any odd window the image allows). Any difference is a fault of the
// fast stages.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "calstars/calstars.h"
#include "failure.h"
#include "fourproduct/fourproduct.h"
#include "reconstitution/pseudo_random.h"
#include "reconstitution/reconstitution.h"

namespace {

constexpr int kMaxSide = 64;
constexpr int kMaxWindow = 5;  // the profile tables grow with the window squared: keep them small
constexpr int kMaxStars = 8;
constexpr int kMaxRecords = 2;

void ReadRecord(FuzzedDataProvider& bytes, CalStarExtraction& extraction) {
    const int largest = std::min({kMaxWindow, extraction.rows, extraction.cols});
    extraction.window = 2 * bytes.ConsumeIntegralInRange<int>(0, (largest - 1) / 2) + 1;
    extraction.divisor = bytes.ConsumeIntegralInRange<int>(-4, 40);
    if (extraction.divisor == 0) extraction.divisor = 1;
    for (int32_t i = 0; i < extraction.nstars; ++i) {
        extraction.row[i] = bytes.ConsumeFloatingPointInRange<float>(-10.0f, extraction.rows + 10.0f);
        extraction.col[i] = bytes.ConsumeFloatingPointInRange<float>(-10.0f, extraction.cols + 10.0f);
        // The values the reader would keep: low 16 bits, and the signed quotient of the background.
        extraction.intensity[i] = bytes.ConsumeIntegral<uint16_t>();
        extraction.total[i] = bytes.ConsumeIntegral<uint16_t>();
        const int32_t level = (int32_t{extraction.total[i]} - int32_t{extraction.intensity[i]}) / extraction.divisor;
        extraction.background_level[i] = level;
        extraction.background[i] = static_cast<uint16_t>(level);
    }
}

void Reconstitute(bool fast, ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product) {
    if (fast) {
        CalStarReconsitution(buffers, extraction, product);
    } else {
        CalStarReconsitution_Reference(buffers, extraction, product);
    }
    CalStarReconsitution_FrameFree(buffers);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The clamping warnings would flood the fuzzer's output.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider bytes(data, size);
    CalStarExtraction extraction;
    extraction.path = "fuzz";
    extraction.name = "fuzz.bin";
    extraction.rows = bytes.ConsumeIntegralInRange<int32_t>(kMinImageSide, kMaxSide);
    extraction.cols = bytes.ConsumeIntegralInRange<int32_t>(kMinImageSide, kMaxSide);
    extraction.nstars = bytes.ConsumeIntegralInRange<int32_t>(0, kMaxStars);
    const size_t count = static_cast<size_t>(extraction.nstars);
    extraction.row.assign(count, 0.0f);
    extraction.col.assign(count, 0.0f);
    extraction.intensity.assign(count, 0);
    extraction.total.assign(count, 0);
    extraction.background.assign(count, 0);
    extraction.background_level.assign(count, 0);

    // The same records through both, each from the same generator state, within one listing each so
    // that whatever the fast stages remember between records is exercised too.
    std::vector<CalStarExtraction> records;
    const int record_count = bytes.ConsumeIntegralInRange<int>(1, kMaxRecords);
    for (int r = 0; r < record_count; ++r) {
        ReadRecord(bytes, extraction);
        records.push_back(extraction);
    }
    std::vector<std::vector<uint8_t>> planes[2];
    for (const bool fast : {true, false}) {
        ReconWorkBuffers buffers;
        FourProduct product;
        FourProduct_MemSetup(product, 1, extraction.rows, extraction.cols);
        CalStarReconsitution_MemSetup(buffers, records.front());
        for (const CalStarExtraction& record : records) {
            Reconstitute(fast, buffers, record, product);
            for (int p = 0; p < kProducts; ++p) {
                const uint8_t* plane = FourProduct_Plane(product, p);
                planes[fast].emplace_back(plane, plane + static_cast<size_t>(extraction.rows) * extraction.cols);
            }
        }
        CalStarReconsitution_MemFree(buffers);
    }
    if (planes[0] != planes[1]) {
        std::fprintf(stderr, "the fast stages differ from the reference\n");
        std::abort();
    }
    return 0;
}
