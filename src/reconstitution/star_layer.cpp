#include "reconstitution/star_layer.h"

#include <algorithm>
#include <cmath>

#include "reconstitution/heap_sort.h"
#include "reconstitution/kept_buffer.h"

WindowSpan StarWindowSpan(float row, float col, int32_t half, int32_t rows, int32_t cols) {
    WindowSpan span;
    // Nearest pixel floor(x + 0.5): the truncation rule for every coordinate >= -0.5.
    const double rr = std::floor(static_cast<double>(row) + 0.5);
    const double cc = std::floor(static_cast<double>(col) + 0.5);
    if (rr + half < 0 || rr - half > rows - 1 || cc + half < 0 || cc - half > cols - 1) return span;
    span.visible = true;
    span.top = static_cast<int32_t>(rr) - half;
    span.left = static_cast<int32_t>(cc) - half;
    span.row_first = std::max(span.top, 0);
    span.row_last = std::min(span.top + 2 * half, rows - 1);
    span.col_first = std::max(span.left, 0);
    span.col_last = std::min(span.left + 2 * half, cols - 1);
    return span;
}

namespace {

// The sizes of the star layer's arrays, shared by their set-up and DrawStars_Bytes: the star order
// and the drawn windows hold one entry per star, each window array window x window elements.
uint64_t PerStar(int32_t nstars) { return static_cast<uint64_t>(std::max(nstars, 0)); }
uint64_t WindowArea(int32_t window) { return static_cast<uint64_t>(window) * static_cast<uint64_t>(window); }

}  // namespace

void DrawStars_MemSetup(StarLayerScratch& scratch, int32_t nstars) {
    KeptBuffer_Fit(scratch.star_order, static_cast<size_t>(PerStar(nstars)));
}

void DrawStars_ForgetLayer(StarLayerScratch& scratch) {
    scratch.drawn_known = false;
    scratch.drawn.clear();
}

void DrawStars_FrameSetup(StarLayerScratch& scratch, int32_t window) {
    const size_t area = static_cast<size_t>(WindowArea(window));
    for (std::vector<float>* array : {&scratch.disc_mask, &scratch.profile_kernel}) {
        KeptBuffer_Fit(*array, area);
        std::fill(array->begin(), array->end(), 0.0f);
    }
}

void DrawStars_FrameFree(StarLayerScratch& scratch) {
    KeptBuffer_Free(scratch.profile_kernel);
    KeptBuffer_Free(scratch.disc_mask);
}

void DrawStars_MemFree(StarLayerScratch& scratch) {
    KeptBuffer_Free(scratch.star_order);
    KeptBuffer_Free(scratch.drawn);
    scratch.drawn_known = false;
}

uint64_t DrawStars_Bytes(const StarLayerScratch& held, int32_t window, int32_t nstars) {
    // A window below 1 draws nothing (the pipeline refuses it before it draws).
    const bool draws = window > 0;
    const uint64_t area = draws ? WindowArea(window) : 0;
    return KeptBuffer_BytesAfter(held.star_order, PerStar(nstars)) + KeptBuffer_BytesAfter(held.drawn, PerStar(nstars)) +
           KeptBuffer_BytesAfter(held.disc_mask, area) + KeptBuffer_BytesAfter(held.profile_kernel, area) +
           GaussStar_FastCacheBytes(held.profiles, draws ? (window - 1) / 2 : -1);
}

uint64_t DrawStars_Bytes(int32_t window, int32_t nstars) { return DrawStars_Bytes(StarLayerScratch{}, window, nstars); }

void BuildDiscMask(std::vector<float>& disc_mask, int32_t window) {
    const int32_t half = (window - 1) / 2;
    size_t k = 0;
    for (int32_t i = -half; i <= half; ++i) {
        for (int32_t j = -half; j <= half; ++j) disc_mask[k++] = (i * i + j * j < half * (half + 1)) ? 1.0f : 0.0f;
    }
}

namespace {

// Sets star_layer to 0 everywhere: the windows drawn before, when they are known and `whole` is
// not asked for (the rest is 0 already), otherwise every pixel.
void ClearStarLayer(std::vector<uint16_t>& star_layer, StarLayerScratch& scratch, int32_t cols, bool whole) {
    if (whole || !scratch.drawn_known) {
        std::fill(star_layer.begin(), star_layer.end(), 0);
    } else {
        for (const DrawnWindow& window : scratch.drawn) {
            for (int32_t r = window.row_first; r <= window.row_last; ++r) {
                uint16_t* line = &star_layer[static_cast<size_t>(r) * cols];
                std::fill(line + window.col_first, line + window.col_last + 1, 0);
            }
        }
    }
    scratch.drawn.clear();
}

// `profile` (half, row, col, sigma, kernel) fills the kernel of one star. `clear_whole`: clear the
// layer whole first (the literal step) rather than only the windows drawn before.
template <typename ProfileFunction>
void DrawStarsWith(std::vector<uint16_t>& star_layer, StarLayerScratch& scratch, const CalStarExtraction& extraction,
                   bool clear_whole, ProfileFunction profile) {
    ClearStarLayer(star_layer, scratch, extraction.cols, clear_whole);
    // Until the last window is drawn, a failure leaves windows that `drawn` may not hold: the next
    // record then clears the layer whole.
    scratch.drawn_known = false;
    // Room for every star's window, taken as the kept buffers take theirs (the old block freed first).
    KeptBuffer_Fit(scratch.drawn, static_cast<size_t>(PerStar(extraction.nstars)));
    scratch.drawn.clear();
    HeapSortIndices(static_cast<uint32_t>(extraction.nstars), scratch.star_order.data(), extraction.intensity.data());
    const int32_t window = extraction.window;
    const int32_t half = (window - 1) / 2;
    const int32_t area = window * window;
    float* kernel = scratch.profile_kernel.data();
    const float* mask = scratch.disc_mask.data();
    for (int32_t k = 0; k < extraction.nstars; ++k) {
        const int32_t s = scratch.star_order[k];
        const WindowSpan span = StarWindowSpan(extraction.row[s], extraction.col[s], half, extraction.rows, extraction.cols);
        if (!span.visible) continue;  // draws nothing and the kernel would go unused
        scratch.drawn.push_back(DrawnWindow{span.row_first, span.row_last, span.col_first, span.col_last});
        const uint16_t intensity = extraction.intensity[s];
        const float sigma = intensity >= kBrightStarIntensity ? kWideSigma : kNarrowSigma;
        profile(half, extraction.row[s], extraction.col[s], sigma, kernel);
        // The disc part of the kernel, summed in double and rounded to float after every addition.
        float masked_sum = 0.0f;
        for (int32_t j = 0; j < area; ++j) {
            masked_sum = static_cast<float>(static_cast<double>(masked_sum) + static_cast<double>(kernel[j]) * mask[j]);
        }
        for (int32_t r = span.row_first; r <= span.row_last; ++r) {
            const int32_t a = r - span.top;
            uint16_t* line = &star_layer[static_cast<size_t>(r) * extraction.cols];
            for (int32_t c = span.col_first; c <= span.col_last; ++c) {
                const int32_t b = c - span.left;
                uint16_t value = 0;  // an empty disc (window 1) draws zeros
                if (masked_sum != 0.0f) {
                    const float q = static_cast<float>(static_cast<double>(intensity) * kernel[a * window + b] / masked_sum);
                    value = static_cast<uint16_t>(static_cast<int32_t>(static_cast<double>(q) + 0.5));
                }
                line[c] = value;
            }
        }
    }
    scratch.drawn_known = true;
}

}  // namespace

void DrawStars(std::vector<uint16_t>& star_layer, StarLayerScratch& scratch, const CalStarExtraction& extraction) {
    DrawStarsWith(star_layer, scratch, extraction, true, GaussStar);
}

// The profiles depend only on (half, sigma, sub-sample offsets), and GaussStar_Fast gives GaussStar's
// bits for each of them, so the drawing is the same whichever builds the kernel. The layer is
// cleared where the previous record drew (the rest is 0 already): the same layer as clearing it
// whole, for a few windows' pixels instead of the image's.
void DrawStars_Fast(std::vector<uint16_t>& star_layer, StarLayerScratch& scratch, const CalStarExtraction& extraction) {
    GaussStarFastCache& cache = scratch.profiles;
    DrawStarsWith(star_layer, scratch, extraction, false, [&cache](int32_t half, float row, float col, float sigma, float* kernel) {
        GaussStar_Fast(cache, half, row, col, sigma, kernel);
    });
}
