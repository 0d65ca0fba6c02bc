// The trimmed-mean filter's histogram form, the pipeline's before the range form: the benchmark's
// baseline for Median_Filter_Range. Output identical to Median_Filter_Sort's.
//
// The image is walked row by row. Each input column keeps a histogram of its 15 values in the
// current window rows; each window keeps its two cut points (the 56th smallest and the 56th largest
// value) with the counts and sums that place them. Moving down one row changes 15 values in and 15
// out of every window, eight or sixteen windows side by side as vector lanes; a cut that is no longer
// the 56th value from its end is moved bin by bin.
#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "reconstitution/median_filter.h"

#include "earlier_forms.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(CALSTARS2FP_AVX2_DISPATCH)
#include <immintrin.h>
#endif

// The instruction sets the walk can move its windows with: one window at a time in plain code,
// eight in SSE2 registers, sixteen in AVX2 registers (where the processor has them).
enum class HistogramLanes { kPortable, kSse2, kAvx2 };

namespace {

constexpr int kHistogramBins = 256;  // values 0..255, one bin each
constexpr int kStripWidth = 8;       // windows moved together: eight 16-bit lanes
constexpr int kWideStripWidth = 16;  // ... or sixteen, in AVX2 registers
// Zero columns appended to the image so that the last strip of windows is whole: its extra windows
// reach up to 7 + 16 columns past the last one, and are computed but never written.
constexpr int kPadColumns = 2 * kWideStripWidth;

// The state of the walk. Per window (indexed by its output column x), with its values sorted
// ascending as s[0..224]: `low` is s[55] and `high` is s[169]; `below` and `below_sum` count and add
// the values strictly below `low`, `at_low` counts those equal to it; `above`, `above_sum` and
// `at_high` likewise beyond `high`; `total` adds all 225. The 56 smallest values add up to
// below_sum + (56 - below) low, the 56 largest likewise, and the 113 kept ones to the rest of the
// total. That rest lies in 0..28815, so the sums are kept modulo 2^16: the difference comes out
// exact.
struct HistogramWalk {
    int32_t rows = 0, cols = 0;
    int32_t stride = 0;                  // of `image` and of each bin's row of `column_counts`
    std::vector<uint16_t> image;         // the input, with kPadColumns zero columns appended
    std::vector<uint8_t> column_counts;  // [bin * stride + column]: the column's window rows that hold bin
    std::vector<int16_t> low, below, at_low, high, above, at_high;
    std::vector<uint16_t> below_sum, above_sum, total;
};

// How many of the window's 225 values (columns x - 7 .. x + 7) equal `bin`.
int32_t WindowBinCount(const HistogramWalk& walk, int32_t bin, int32_t x) {
    const uint8_t* counts = &walk.column_counts[static_cast<size_t>(bin) * walk.stride + (x - kFilterHalf)];
#if defined(__SSE2__)
    // 16 bytes loaded, the 16th (column x + 8) masked off, the rest added by the byte-sum instruction.
    const __m128i fifteen = _mm_srli_si128(_mm_set1_epi8(-1), 1);
    const __m128i bytes = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(counts)), fifteen);
    const __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
    return _mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4);
#else
    int32_t n = 0;
    for (int c = 0; c < kFilterSide; ++c) n += counts[c];
    return n;
#endif
}

bool CutsPlaced(const HistogramWalk& walk, int32_t x) {
    return walk.below[x] < kFilterTrimmed && walk.below[x] + walk.at_low[x] >= kFilterTrimmed &&
           walk.above[x] < kFilterTrimmed && walk.above[x] + walk.at_high[x] >= kFilterTrimmed;
}

// Moves each cut of window x bin by bin until it is again the 56th value from its end.
void SettleCuts(HistogramWalk& walk, int32_t x) {
    int32_t low = walk.low[x], below = walk.below[x];
    uint16_t below_sum = walk.below_sum[x];
    while (below >= kFilterTrimmed) {
        --low;
        const int32_t n = WindowBinCount(walk, low, x);
        below -= n;
        below_sum = static_cast<uint16_t>(below_sum - n * low);
    }
    int32_t at = WindowBinCount(walk, low, x);
    while (below + at < kFilterTrimmed) {
        below += at;
        below_sum = static_cast<uint16_t>(below_sum + at * low);
        ++low;
        at = WindowBinCount(walk, low, x);
    }
    walk.low[x] = static_cast<int16_t>(low);
    walk.below[x] = static_cast<int16_t>(below);
    walk.at_low[x] = static_cast<int16_t>(at);
    walk.below_sum[x] = below_sum;

    int32_t high = walk.high[x], above = walk.above[x];
    uint16_t above_sum = walk.above_sum[x];
    while (above >= kFilterTrimmed) {
        ++high;
        const int32_t n = WindowBinCount(walk, high, x);
        above -= n;
        above_sum = static_cast<uint16_t>(above_sum - n * high);
    }
    at = WindowBinCount(walk, high, x);
    while (above + at < kFilterTrimmed) {
        above += at;
        above_sum = static_cast<uint16_t>(above_sum + at * high);
        --high;
        at = WindowBinCount(walk, high, x);
    }
    walk.high[x] = static_cast<int16_t>(high);
    walk.above[x] = static_cast<int16_t>(above);
    walk.at_high[x] = static_cast<int16_t>(at);
    walk.above_sum[x] = above_sum;
}

uint16_t TrimmedMean(const HistogramWalk& walk, int32_t x) {
    const uint16_t smallest = static_cast<uint16_t>(walk.below_sum[x] + (kFilterTrimmed - walk.below[x]) * walk.low[x]);
    const uint16_t largest = static_cast<uint16_t>(walk.above_sum[x] + (kFilterTrimmed - walk.above[x]) * walk.high[x]);
    return static_cast<uint16_t>(static_cast<uint16_t>(walk.total[x] - smallest - largest) / kFilterKept);
}

// Moves window x down one row: `leaving` and `entering` point at column x - 7 of the rows that
// leave and enter it. The counts stay relative to the cuts as they were; SettleCuts moves them.
void SlideWindow(HistogramWalk& walk, int32_t x, const uint16_t* leaving, const uint16_t* entering) {
    const int32_t low = walk.low[x], high = walk.high[x];
    int32_t total = 0, below = 0, below_sum = 0, at_low = 0, above = 0, above_sum = 0, at_high = 0;
    for (int c = 0; c < kFilterSide; ++c) {
        const int32_t out = leaving[c], in = entering[c];
        total += in - out;
        below += (in < low) - (out < low);
        below_sum += (in < low ? in : 0) - (out < low ? out : 0);
        at_low += (in == low) - (out == low);
        above += (in > high) - (out > high);
        above_sum += (in > high ? in : 0) - (out > high ? out : 0);
        at_high += (in == high) - (out == high);
    }
    walk.total[x] = static_cast<uint16_t>(walk.total[x] + total);
    walk.below[x] = static_cast<int16_t>(walk.below[x] + below);
    walk.below_sum[x] = static_cast<uint16_t>(walk.below_sum[x] + below_sum);
    walk.at_low[x] = static_cast<int16_t>(walk.at_low[x] + at_low);
    walk.above[x] = static_cast<int16_t>(walk.above[x] + above);
    walk.above_sum[x] = static_cast<uint16_t>(walk.above_sum[x] + above_sum);
    walk.at_high[x] = static_cast<int16_t>(walk.at_high[x] + at_high);
}

// One row step and output of window x0 alone.
void StepStripPortable(HistogramWalk& walk, int32_t x, const uint16_t* leaving, const uint16_t* entering, uint16_t* means) {
    if (leaving != nullptr) SlideWindow(walk, x, leaving, entering);
    if (!CutsPlaced(walk, x)) SettleCuts(walk, x);
    means[0] = TrimmedMean(walk, x);
}

#if defined(__SSE2__)

__m128i LoadLanes(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
void StoreLanes(void* p, __m128i v) { _mm_storeu_si128(static_cast<__m128i*>(p), v); }

// StepStripPortable with the eight windows as the lanes of one register: each lane compares the
// values against its own window's cuts.
void StepStripSse2(HistogramWalk& walk, int32_t x0, const uint16_t* leaving, const uint16_t* entering, uint16_t* means) {
    if (leaving != nullptr) {
        const __m128i low = LoadLanes(&walk.low[x0]);
        const __m128i high = LoadLanes(&walk.high[x0]);
        __m128i total = LoadLanes(&walk.total[x0]);
        __m128i below = LoadLanes(&walk.below[x0]), below_sum = LoadLanes(&walk.below_sum[x0]);
        __m128i at_low = LoadLanes(&walk.at_low[x0]);
        __m128i above = LoadLanes(&walk.above[x0]), above_sum = LoadLanes(&walk.above_sum[x0]);
        __m128i at_high = LoadLanes(&walk.at_high[x0]);
        for (int c = 0; c < kFilterSide; ++c) {
            // Lane i holds the value of column x0 + i - 7 + c; values and cuts are 0..255, so the
            // signed 16-bit comparisons are exact. A true comparison is -1 in its lane.
            const __m128i in = LoadLanes(entering + c);
            const __m128i out = LoadLanes(leaving + c);
            total = _mm_add_epi16(total, _mm_sub_epi16(in, out));
            const __m128i in_below = _mm_cmpgt_epi16(low, in), out_below = _mm_cmpgt_epi16(low, out);
            below = _mm_add_epi16(_mm_sub_epi16(below, in_below), out_below);
            below_sum = _mm_add_epi16(below_sum, _mm_sub_epi16(_mm_and_si128(in_below, in), _mm_and_si128(out_below, out)));
            at_low = _mm_add_epi16(_mm_sub_epi16(at_low, _mm_cmpeq_epi16(in, low)), _mm_cmpeq_epi16(out, low));
            const __m128i in_above = _mm_cmpgt_epi16(in, high), out_above = _mm_cmpgt_epi16(out, high);
            above = _mm_add_epi16(_mm_sub_epi16(above, in_above), out_above);
            above_sum = _mm_add_epi16(above_sum, _mm_sub_epi16(_mm_and_si128(in_above, in), _mm_and_si128(out_above, out)));
            at_high = _mm_add_epi16(_mm_sub_epi16(at_high, _mm_cmpeq_epi16(in, high)), _mm_cmpeq_epi16(out, high));
        }
        StoreLanes(&walk.total[x0], total);
        StoreLanes(&walk.below[x0], below);
        StoreLanes(&walk.below_sum[x0], below_sum);
        StoreLanes(&walk.at_low[x0], at_low);
        StoreLanes(&walk.above[x0], above);
        StoreLanes(&walk.above_sum[x0], above_sum);
        StoreLanes(&walk.at_high[x0], at_high);
        // Lanes whose cut is no longer the 56th value from its end.
        const __m128i trimmed = _mm_set1_epi16(kFilterTrimmed), last_left_out = _mm_set1_epi16(kFilterTrimmed - 1);
        const __m128i misplaced = _mm_or_si128(
            _mm_or_si128(_mm_cmpgt_epi16(below, last_left_out), _mm_cmpgt_epi16(trimmed, _mm_add_epi16(below, at_low))),
            _mm_or_si128(_mm_cmpgt_epi16(above, last_left_out), _mm_cmpgt_epi16(trimmed, _mm_add_epi16(above, at_high))));
        const int lanes = _mm_movemask_epi8(misplaced);
        if (lanes != 0) {
            for (int lane = 0; lane < kStripWidth; ++lane) {
                if (lanes & (1 << (2 * lane))) SettleCuts(walk, x0 + lane);
            }
        }
    } else {
        for (int lane = 0; lane < kStripWidth; ++lane) {
            if (!CutsPlaced(walk, x0 + lane)) SettleCuts(walk, x0 + lane);
        }
    }
    // The kept sum, then its quotient by 113: for sums up to 28815, (580 s) >> 16 is the quotient or
    // one more, and one more is recognised by 113 q exceeding s.
    const __m128i trimmed = _mm_set1_epi16(kFilterTrimmed);
    const __m128i smallest = _mm_add_epi16(LoadLanes(&walk.below_sum[x0]),
                                           _mm_mullo_epi16(_mm_sub_epi16(trimmed, LoadLanes(&walk.below[x0])), LoadLanes(&walk.low[x0])));
    const __m128i largest = _mm_add_epi16(LoadLanes(&walk.above_sum[x0]),
                                          _mm_mullo_epi16(_mm_sub_epi16(trimmed, LoadLanes(&walk.above[x0])), LoadLanes(&walk.high[x0])));
    const __m128i kept = _mm_sub_epi16(_mm_sub_epi16(LoadLanes(&walk.total[x0]), smallest), largest);
    __m128i quotient = _mm_mulhi_epu16(kept, _mm_set1_epi16(580));
    quotient = _mm_add_epi16(quotient, _mm_cmpgt_epi16(_mm_mullo_epi16(quotient, _mm_set1_epi16(kFilterKept)), kept));
    StoreLanes(means, quotient);
}

#endif

#if defined(CALSTARS2FP_AVX2_DISPATCH)

__attribute__((target("avx2"))) inline __m256i LoadLanes16(const void* p) {
    return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}
__attribute__((target("avx2"))) inline void StoreLanes16(void* p, __m256i v) { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }

// StepStripSse2 with sixteen windows in the lanes of one AVX2 register, where the processor has it.
__attribute__((target("avx2"))) void StepStripAvx2(HistogramWalk& walk, int32_t x0, const uint16_t* leaving, const uint16_t* entering, uint16_t* means) {
    if (leaving != nullptr) {
        const __m256i low = LoadLanes16(&walk.low[x0]);
        const __m256i high = LoadLanes16(&walk.high[x0]);
        __m256i total = LoadLanes16(&walk.total[x0]);
        __m256i below = LoadLanes16(&walk.below[x0]), below_sum = LoadLanes16(&walk.below_sum[x0]);
        __m256i at_low = LoadLanes16(&walk.at_low[x0]);
        __m256i above = LoadLanes16(&walk.above[x0]), above_sum = LoadLanes16(&walk.above_sum[x0]);
        __m256i at_high = LoadLanes16(&walk.at_high[x0]);
        for (int c = 0; c < kFilterSide; ++c) {
            // Lane i holds the value of column x0 + i - 7 + c; values and cuts are 0..255, so the
            // signed 16-bit comparisons are exact. A true comparison is -1 in its lane.
            const __m256i in = LoadLanes16(entering + c);
            const __m256i out = LoadLanes16(leaving + c);
            total = _mm256_add_epi16(total, _mm256_sub_epi16(in, out));
            const __m256i in_below = _mm256_cmpgt_epi16(low, in), out_below = _mm256_cmpgt_epi16(low, out);
            below = _mm256_add_epi16(_mm256_sub_epi16(below, in_below), out_below);
            below_sum = _mm256_add_epi16(below_sum, _mm256_sub_epi16(_mm256_and_si256(in_below, in), _mm256_and_si256(out_below, out)));
            at_low = _mm256_add_epi16(_mm256_sub_epi16(at_low, _mm256_cmpeq_epi16(in, low)), _mm256_cmpeq_epi16(out, low));
            const __m256i in_above = _mm256_cmpgt_epi16(in, high), out_above = _mm256_cmpgt_epi16(out, high);
            above = _mm256_add_epi16(_mm256_sub_epi16(above, in_above), out_above);
            above_sum = _mm256_add_epi16(above_sum, _mm256_sub_epi16(_mm256_and_si256(in_above, in), _mm256_and_si256(out_above, out)));
            at_high = _mm256_add_epi16(_mm256_sub_epi16(at_high, _mm256_cmpeq_epi16(in, high)), _mm256_cmpeq_epi16(out, high));
        }
        StoreLanes16(&walk.total[x0], total);
        StoreLanes16(&walk.below[x0], below);
        StoreLanes16(&walk.below_sum[x0], below_sum);
        StoreLanes16(&walk.at_low[x0], at_low);
        StoreLanes16(&walk.above[x0], above);
        StoreLanes16(&walk.above_sum[x0], above_sum);
        StoreLanes16(&walk.at_high[x0], at_high);
        // Lanes whose cut is no longer the 56th value from its end.
        const __m256i trimmed = _mm256_set1_epi16(kFilterTrimmed), last_left_out = _mm256_set1_epi16(kFilterTrimmed - 1);
        const __m256i misplaced = _mm256_or_si256(
            _mm256_or_si256(_mm256_cmpgt_epi16(below, last_left_out), _mm256_cmpgt_epi16(trimmed, _mm256_add_epi16(below, at_low))),
            _mm256_or_si256(_mm256_cmpgt_epi16(above, last_left_out), _mm256_cmpgt_epi16(trimmed, _mm256_add_epi16(above, at_high))));
        const unsigned lanes = static_cast<unsigned>(_mm256_movemask_epi8(misplaced));
        if (lanes != 0) {
            for (int lane = 0; lane < kWideStripWidth; ++lane) {
                if (lanes & (1u << (2 * lane))) SettleCuts(walk, x0 + lane);
            }
        }
    } else {
        for (int lane = 0; lane < kWideStripWidth; ++lane) {
            if (!CutsPlaced(walk, x0 + lane)) SettleCuts(walk, x0 + lane);
        }
    }
    // The kept sum, then its quotient by 113: for sums up to 28815, (580 s) >> 16 is the quotient or
    // one more, and one more is recognised by 113 q exceeding s.
    const __m256i trimmed = _mm256_set1_epi16(kFilterTrimmed);
    const __m256i smallest = _mm256_add_epi16(LoadLanes16(&walk.below_sum[x0]),
                                           _mm256_mullo_epi16(_mm256_sub_epi16(trimmed, LoadLanes16(&walk.below[x0])), LoadLanes16(&walk.low[x0])));
    const __m256i largest = _mm256_add_epi16(LoadLanes16(&walk.above_sum[x0]),
                                          _mm256_mullo_epi16(_mm256_sub_epi16(trimmed, LoadLanes16(&walk.above[x0])), LoadLanes16(&walk.high[x0])));
    const __m256i kept = _mm256_sub_epi16(_mm256_sub_epi16(LoadLanes16(&walk.total[x0]), smallest), largest);
    __m256i quotient = _mm256_mulhi_epu16(kept, _mm256_set1_epi16(580));
    quotient = _mm256_add_epi16(quotient, _mm256_cmpgt_epi16(_mm256_mullo_epi16(quotient, _mm256_set1_epi16(kFilterKept)), kept));
    StoreLanes16(means, quotient);
}

#endif

using StepStrip = void (*)(HistogramWalk&, int32_t, const uint16_t*, const uint16_t*, uint16_t*);

void FilterHistogram(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                     int32_t cols, StepStrip step, int32_t width) {
    HistogramWalk walk;
    walk.rows = rows;
    walk.cols = cols;
    walk.stride = cols + kPadColumns;
    const size_t stride = static_cast<size_t>(walk.stride);
    walk.image.assign(stride * rows, 0);
    for (int32_t r = 0; r < rows; ++r) {
        std::memcpy(&walk.image[r * stride], input + static_cast<size_t>(r) * in_stride, sizeof(uint16_t) * cols);
    }
    walk.column_counts.assign(stride * kHistogramBins, 0);
    for (auto* field : {&walk.low, &walk.below, &walk.at_low, &walk.high, &walk.above, &walk.at_high}) field->assign(stride, 0);
    for (auto* field : {&walk.below_sum, &walk.above_sum, &walk.total}) field->assign(stride, 0);

    const int32_t first = kFilterHalf, last = cols - 1 - kFilterHalf;
    const int32_t strip_end = first + (last - first) / width * width + width;  // past the last strip
    for (int32_t r = 0; r < kFilterSide; ++r) {
        for (size_t c = 0; c < stride; ++c) ++walk.column_counts[walk.image[r * stride + c] * stride + c];
    }
    // The first window row: cuts start at the ends of the range and settle inwards.
    for (int32_t x = first; x < strip_end; ++x) {
        uint32_t total = 0;
        for (int32_t r = 0; r < kFilterSide; ++r) {
            for (int32_t c = x - kFilterHalf; c <= x + kFilterHalf; ++c) total += walk.image[r * stride + c];
        }
        walk.total[x] = static_cast<uint16_t>(total);
        walk.high[x] = kHistogramBins - 1;
        walk.at_low[x] = static_cast<int16_t>(WindowBinCount(walk, 0, x));
        walk.at_high[x] = static_cast<int16_t>(WindowBinCount(walk, kHistogramBins - 1, x));
    }
    uint16_t means[kWideStripWidth];
    for (int32_t y = kFilterHalf;; ++y) {
        const bool moved = y > kFilterHalf;
        const uint16_t* leaving = moved ? &walk.image[(y - kFilterHalf - 1) * stride] : nullptr;
        const uint16_t* entering = moved ? &walk.image[(y + kFilterHalf) * stride] : nullptr;
        uint16_t* line = output + static_cast<size_t>(y) * out_stride;
        for (int32_t x0 = first; x0 < strip_end; x0 += width) {
            const int32_t left = x0 - kFilterHalf;
            step(walk, x0, moved ? leaving + left : nullptr, moved ? entering + left : nullptr, means);
            std::memcpy(line + x0, means, sizeof(uint16_t) * std::min(width, last + 1 - x0));
        }
        if (y == rows - 1 - kFilterHalf) break;
        // The column histograms move first, so that cuts settled in the next step see the new rows.
        const uint16_t* out_row = &walk.image[(y - kFilterHalf) * stride];
        const uint16_t* in_row = &walk.image[(y + kFilterHalf + 1) * stride];
        uint8_t* counts = walk.column_counts.data();
        for (int32_t c = 0; c < cols; ++c) {
            --counts[out_row[c] * stride + c];
            ++counts[in_row[c] * stride + c];
        }
    }
}

}  // namespace

namespace {

// The step and strip width of `lanes`, or a null step when this build or processor lacks them.
StepStrip StepFor(HistogramLanes lanes, int32_t& width) {
    width = lanes == HistogramLanes::kAvx2 ? kWideStripWidth : (lanes == HistogramLanes::kSse2 ? kStripWidth : 1);
    switch (lanes) {
        case HistogramLanes::kPortable: return StepStripPortable;
        case HistogramLanes::kSse2:
#if defined(__SSE2__)
            return StepStripSse2;
#else
            return nullptr;
#endif
        case HistogramLanes::kAvx2:
#if defined(CALSTARS2FP_AVX2_DISPATCH)
            return __builtin_cpu_supports("avx2") ? StepStripAvx2 : nullptr;
#else
            return nullptr;
#endif
    }
    return nullptr;
}

}  // namespace

namespace {

bool HistogramLanesEarlier(HistogramLanes lanes, const uint16_t* input, int32_t in_stride, uint16_t* output,
                                  int32_t out_stride, int32_t rows, int32_t cols) {
    int32_t width = 0;
    const StepStrip step = StepFor(lanes, width);
    if (step == nullptr) return false;
    // Values of 256 and more have no bin, and a stride below 15 is refused by the literal filter.
    if (!MedianFilter_RangeApplies(input, in_stride, rows, cols)) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return true;
    }
    try {
        FilterHistogram(input, in_stride, output, out_stride, rows, cols, step, width);
    } catch (const std::bad_alloc&) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);  // needs no memory of its own
        return true;
    } catch (const std::length_error&) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return true;
    }
    MedianFilter_FillBorder(output, out_stride, rows, cols);
    return true;
}

}  // namespace

void Median_Filter_Histogram(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride,
                             int32_t rows, int32_t cols) {
    for (const HistogramLanes lanes : {HistogramLanes::kAvx2, HistogramLanes::kSse2, HistogramLanes::kPortable}) {
        if (HistogramLanesEarlier(lanes, input, in_stride, output, out_stride, rows, cols)) return;
    }
}
