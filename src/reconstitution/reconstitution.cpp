#include "reconstitution/reconstitution.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <new>
#include <utility>

#include "failure.h"
#include "reconstitution/kept_buffer.h"
#include "reconstitution/gauss_star.h"
#include "reconstitution/hole_fill.h"
#include "reconstitution/median_filter.h"
#include "reconstitution/plane_fill.h"
#include "reconstitution/star_layer.h"

namespace {

[[noreturn]] void RefuseRecord(const CalStarExtraction& extraction, const std::string& what) {
    Fail(WaitKind::None, Format(" CalStarReconsitution: %s in record %s of %s \n", what.c_str(), extraction.name.c_str(),
                                extraction.path.c_str()));
}

}  // namespace

std::string CalStarReconsitution_RecordRefusal(const CalStarExtraction& extraction, int32_t rows, int32_t cols) {
    const int32_t window = extraction.window;
    const bool image_known = rows != kImageUnknown || cols != kImageUnknown;
    if (window < 1 || window % 2 == 0 || (image_known && window > std::min(rows, cols))) {
        return Format("window %" PRId32 " is not an odd size from 1 to the image's smaller side", window);
    }
    for (int32_t i = 0; i < extraction.nstars; ++i) {
        if (!std::isfinite(extraction.row[i]) || !std::isfinite(extraction.col[i])) {
            return Format("star %" PRId32 " has a coordinate that is not a finite number", i + 1);
        }
    }
    return std::string();
}

void CalStarReconsitution_CheckRecord(const CalStarExtraction& extraction) {
    const std::string refused = CalStarReconsitution_RecordRefusal(extraction, extraction.rows, extraction.cols);
    if (!refused.empty()) RefuseRecord(extraction, refused);
}

std::string CalStarReconsitution_ImageRefusal(int32_t rows, int32_t cols) {
    if (rows >= kMinImageSide && cols >= kMinImageSide) return std::string();
    return Format("image of %" PRId32 " x %" PRId32 " pixels is below 15 x 15", rows, cols);
}

void CalStarReconsitution_CheckImage(const CalStarExtraction& extraction) {
    if (!CalStarReconsitution_ImageRefusal(extraction.rows, extraction.cols).empty()) {
        Fail(WaitKind::None, Format(" CalStarReconsitution_MemSetup: image of %" PRId32 " x %" PRId32
                                    " pixels in %s is below 15 x 15 \n",
                                    extraction.rows, extraction.cols, extraction.path.c_str()));
    }
}

namespace {

// The work images that several stages share, in their order of allocation; each holds one 16-bit
// value per pixel.
constexpr size_t kWorkImages = 3;
std::array<std::vector<uint16_t>*, kWorkImages> WorkImages(ReconWorkBuffers& buffers) {
    return {&buffers.star_layer, &buffers.background_image, &buffers.snapshot};
}
std::array<const std::vector<uint16_t>*, kWorkImages> WorkImages(const ReconWorkBuffers& buffers) {
    return {&buffers.star_layer, &buffers.background_image, &buffers.snapshot};
}
uint64_t WorkImagePixels(int32_t rows, int32_t cols) {
    return rows > 0 && cols > 0 ? static_cast<uint64_t>(rows) * static_cast<uint64_t>(cols) : 0;
}

// Frees the image buffers and the stages' work space sized by the image (not the profile cache, not
// the generator).
void FreeImageBuffers(ReconWorkBuffers& buffers) {
    for (std::vector<uint16_t>* image : WorkImages(buffers)) KeptBuffer_Free(*image);
    FillHoles_MemFree(buffers.hole_fill);
    DrawStars_MemFree(buffers.star_drawing);
    buffers.filter = MedianFilterScratch{};
    buffers.set_up_rows = buffers.set_up_cols = buffers.set_up_nstars = -1;
}

}  // namespace

void CalStarReconsitution_MemSetup(ReconWorkBuffers& buffers, const CalStarExtraction& extraction) {
    CalStarReconsitution_CheckImage(extraction);
    const bool same_image = buffers.set_up_rows == extraction.rows && buffers.set_up_cols == extraction.cols;
    if (same_image && buffers.set_up_nstars == extraction.nstars) return;
    const size_t npix = static_cast<size_t>(WorkImagePixels(extraction.rows, extraction.cols));
    buffers.set_up_rows = buffers.set_up_cols = buffers.set_up_nstars = -1;
    // The buffers keep the memory of an earlier image that holds this one, and are never cleared:
    // seeding, the hole fill's distances and the filter write every pixel before it is read, and the
    // star layer's pixels outside its drawn windows are zero (a layer of another image is cleared
    // whole by the next record).
    OnAllocationFailure(WaitKind::None, " Memory section 1 not allocated in CalStarReconsitution \n", [&] {
        if (!same_image) {
            DrawStars_ForgetLayer(buffers.star_drawing);
            for (std::vector<uint16_t>* image : WorkImages(buffers)) KeptBuffer_Fit(*image, npix);
            FillHoles_MemSetup(buffers.hole_fill, extraction.rows, extraction.cols);
        }
        DrawStars_MemSetup(buffers.star_drawing, extraction.nstars);
    });
    buffers.set_up_rows = extraction.rows;
    buffers.set_up_cols = extraction.cols;
    buffers.set_up_nstars = extraction.nstars;
}

void CalStarReconsitution_SetUpFor(ReconWorkBuffers& buffers, FourProduct& product, const CalStarExtraction& record) {
    CalStarReconsitution_CheckImage(record);
    FourProduct_MemSetup(product, record.first_int, record.rows, record.cols);
    CalStarReconsitution_MemSetup(buffers, record);
}

uint64_t CalStarReconsitution_RecordBytes(const ReconWorkBuffers& held, int32_t rows, int32_t cols, int32_t window, int32_t nstars) {
    uint64_t bytes = 0;
    for (const std::vector<uint16_t>* image : WorkImages(held)) bytes += KeptBuffer_BytesAfter(*image, WorkImagePixels(rows, cols));
    return bytes + FillHoles_Bytes(held.hole_fill, rows, cols) + Median_Filter_RangeBytes(held.filter, rows, cols) +
           DrawStars_Bytes(held.star_drawing, window, nstars);
}

uint64_t CalStarReconsitution_RecordBytes(int32_t rows, int32_t cols, int32_t window, int32_t nstars) {
    return CalStarReconsitution_RecordBytes(ReconWorkBuffers{}, rows, cols, window, nstars);
}

uint64_t CalStarReconsitution_HeldBytes(const ReconWorkBuffers& buffers) { return CalStarReconsitution_RecordBytes(buffers, 0, 0, 0, 0); }

int32_t SeedBackground(std::vector<uint16_t>& background_image, const CalStarExtraction& extraction) {
    std::fill(background_image.begin(), background_image.end(), kHoleMarker);
    const int32_t half = (extraction.window - 1) / 2;
    int32_t clamped = 0;
    for (int32_t i = 0; i < extraction.nstars; ++i) {
        const int32_t level = extraction.background_level[i];
        const uint16_t seed = static_cast<uint16_t>(std::clamp(level, 0, kMaxLevel));
        if (level < 0 || level > kMaxLevel) ++clamped;
        const WindowSpan span = StarWindowSpan(extraction.row[i], extraction.col[i], half, extraction.rows, extraction.cols);
        if (!span.visible) continue;
        for (int32_t r = span.row_first; r <= span.row_last; ++r) {
            uint16_t* line = &background_image[static_cast<size_t>(r) * extraction.cols];
            std::fill(line + span.col_first, line + span.col_last + 1, seed);
        }
    }
    return clamped;
}

namespace {

enum class Stages { kFast, kReference };

constexpr const char* kSection2Failure = " Memory section 2 not allocated in CalStarReconsitution \n";

void ReconstituteFrame(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product, Stages stages);

void Reconstitute(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product, Stages stages) {
    buffers.warnings.clear();
    CalStarReconsitution_CheckRecord(extraction);
    OnAllocationFailure(WaitKind::None, kSection2Failure, [&] { DrawStars_FrameSetup(buffers.star_drawing, extraction.window); });
    // The frame's stages allocate little of their own (the profiles report theirs as GaussStar, the
    // filter falls back to its allocation-free form); whatever else fails to allocate is the frame's.
    OnAllocationFailure(WaitKind::None, kSection2Failure, [&] { ReconstituteFrame(buffers, extraction, product, stages); });
}

void ReconstituteFrame(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product, Stages stages) {
    const int32_t rows = extraction.rows;
    const int32_t cols = extraction.cols;
    const int32_t clamped = SeedBackground(buffers.background_image, extraction);
    if (clamped > 0) {
        buffers.warnings = Format(" Warning: %" PRId32 " star background levels outside 0..255 clamped in record %s of %s \n",
                                  clamped, extraction.name.c_str(), extraction.path.c_str());
    }
    const bool fast = stages == Stages::kFast;
    if (fast) {
        FillHoles_Distance(buffers.background_image, buffers.snapshot, buffers.hole_fill, rows, cols);
    } else {
        FillHoles(buffers.background_image, buffers.snapshot, buffers.hole_fill, rows, cols);
    }
    CompleteBorder(buffers.background_image, rows, cols);
    if (fast) {
        // The filter reads the completed background and writes the other image, which then takes its
        // place: the same bytes as filtering a copy, without the copy.
        Median_Filter_Range(buffers.background_image.data(), cols, buffers.snapshot.data(), cols, rows, cols, buffers.filter);
        std::swap(buffers.background_image, buffers.snapshot);
    } else {
        buffers.snapshot = buffers.background_image;
        Median_Filter_Sort(buffers.snapshot.data(), cols, buffers.background_image.data(), cols, rows, cols);
    }
    BuildDiscMask(buffers.star_drawing.disc_mask, extraction.window);
    if (fast) {
        DrawStars_Fast(buffers.star_layer, buffers.star_drawing, extraction);
        FillPlanes_Fast(buffers.background_image, buffers.star_layer, buffers.generator, product, rows * cols);
    } else {
        DrawStars(buffers.star_layer, buffers.star_drawing, extraction);
        FillPlanes(buffers.background_image, buffers.star_layer, buffers.generator, product, rows * cols);
    }
}

}  // namespace

void CalStarReconsitution(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product) {
    Reconstitute(buffers, extraction, product, Stages::kFast);
}

void CalStarReconsitution_Reference(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product) {
    Reconstitute(buffers, extraction, product, Stages::kReference);
}

void CalStarReconsitution_FrameFree(ReconWorkBuffers& buffers) { DrawStars_FrameFree(buffers.star_drawing); }

void CalStarReconsitution_MemFree(ReconWorkBuffers& buffers) {
    GaussStar_Release();
    FreeImageBuffers(buffers);
}

void CalStarReconsitution_FreeBuffers(ReconWorkBuffers& buffers) {
    FreeImageBuffers(buffers);
    DrawStars_FrameFree(buffers.star_drawing);
    buffers.star_drawing.profiles = GaussStarFastCache{};
}
