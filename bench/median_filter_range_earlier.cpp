// The trimmed-mean filter's range form before its sliding threshold counts: the benchmark's baseline
// for Median_Filter_Range. Median_Filter_Sort's output, computed per window from counts over only the
// range of values the window holds, in SSE2 or (chosen at run time) AVX2 registers.
//
// The kept sum as threshold counts. Let c_t be the number of the window's 225 values that are at
// least t. Sorted largest first, the i-th value (from 1) is at least t exactly when i <= c_t, so of
// the kept places 57..169 exactly clamp(c_t - 56, 0, 113) hold a value of at least t, and
//     kept sum = sum over t = 1..255 of clamp(c_t - 56, 0, 113).
// Every t up to the window's smallest value m has c_t = 225 (113 each), every t above its largest
// value M has c_t = 0 (nothing). So the output floor(kept / 113) is
//     m + floor((sum over t = m + 1 .. M of clamp(c_t - 56, 0, 113)) / 113),
// and a window of one value (m = M) outputs that value.
//
// The walk. The image goes down a row at a time. Every input column keeps, for each t, the number of
// its 15 values in the window rows that are at least t (one byte per t, the column's 256 counts side
// by side), changed only where the leaving and the entering value differ. Per row, every window's
// smallest and largest value come from each column's over the 15 rows and then the 15 columns' (by
// doubling spans). A window of one value is written at once; any other sums its c_t for t = m + 1 ..
// M from its 15 columns, sixteen (SSE2) or thirty-two (AVX2) thresholds at a time as the bytes of one
// vector, thresholds past M masked off. All counts fit bytes (a column counts at most 15, a window at
// most 225), and the excess is at most 113 x 255 = 28815.
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

// The instruction sets the walk sums its thresholds with.
enum class RangeLanes { kPortable, kSse2, kAvx2 };

namespace {

constexpr int kLevels = 256;  // values 0..255: thresholds t = 0..255, one count byte each
constexpr int kThresholdLanes = 16;      // thresholds per SSE2 register
constexpr int kWideThresholdLanes = 32;  // ... per AVX2 register
// Bytes after the last column's counts, so that a vector of thresholds starting at t <= 255 can be
// loaded whole (its lanes past 255 are masked off).
constexpr int kCountsTail = kWideThresholdLanes;

struct RangeWalk {
    int32_t cols = 0;
    std::vector<uint8_t> image;           // the input as bytes, rows x cols
    std::vector<uint8_t> at_least;        // [column * 256 + t]: the column's window values >= t
    std::vector<uint8_t> column_min, column_max, scratch_min, scratch_max;  // per column
    std::vector<uint8_t> window_min, window_max;  // per output column, this row
};

// window_min and window_max of every window for the window rows top..top + 14.
void WindowRanges(RangeWalk& walk, int32_t top) {
    const size_t cols = static_cast<size_t>(walk.cols);
    uint8_t* lo = walk.column_min.data();
    uint8_t* hi = walk.column_max.data();
    const uint8_t* first = &walk.image[static_cast<size_t>(top) * cols];
    std::memcpy(lo, first, cols);
    std::memcpy(hi, first, cols);
    for (int r = 1; r < kFilterSide; ++r) {
        const uint8_t* row = first + r * cols;
        for (size_t c = 0; c < cols; ++c) {
            lo[c] = std::min(lo[c], row[c]);
            hi[c] = std::max(hi[c], row[c]);
        }
    }
    // Spans of 2, 4, 8 columns, then 15 = 8 + 8 overlapping by one: window x covers x - 7 .. x + 7.
    uint8_t* lo2 = walk.scratch_min.data();
    uint8_t* hi2 = walk.scratch_max.data();
    for (size_t span = 1; span < 8; span *= 2) {
        for (size_t c = 0; c + span < cols; ++c) {
            lo2[c] = std::min(lo[c], lo[c + span]);
            hi2[c] = std::max(hi[c], hi[c + span]);
        }
        std::swap(lo, lo2);
        std::swap(hi, hi2);
    }
    uint8_t* window_min = walk.window_min.data() + kFilterHalf;
    uint8_t* window_max = walk.window_max.data() + kFilterHalf;
    for (size_t c = 0; c + kFilterSide <= cols; ++c) {
        window_min[c] = std::min(lo[c], lo[c + 7]);
        window_max[c] = std::max(hi[c], hi[c + 7]);
    }
}

// The sum over t = smallest + 1 .. largest of clamp(c_t - 56, 0, 113) for the window whose first
// column's counts start at `counts` (the next columns follow 256 bytes apart): one threshold at a time.
uint32_t ExcessPortable(const uint8_t* counts, int32_t smallest, int32_t largest) {
    uint32_t excess = 0;
    for (int32_t t = smallest + 1; t <= largest; ++t) {
        int32_t count = 0;
        for (int k = 0; k < kFilterSide; ++k) count += counts[k * kLevels + t];
        excess += static_cast<uint32_t>(std::min(std::max(count - kFilterTrimmed, 0), kFilterKept));
    }
    return excess;
}

#if defined(__SSE2__)
// ExcessPortable with sixteen thresholds as the bytes of one SSE2 register.
uint32_t ExcessSse2(const uint8_t* counts, int32_t smallest, int32_t largest) {
    uint32_t excess = 0;
    const __m128i trimmed = _mm_set1_epi8(static_cast<char>(kFilterTrimmed));
    const __m128i kept = _mm_set1_epi8(static_cast<char>(kFilterKept));
    const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    for (int32_t base = smallest + 1; base <= largest; base += kThresholdLanes) {
        __m128i count = _mm_loadu_si128(reinterpret_cast<const __m128i*>(counts + base));
        for (int k = 1; k < kFilterSide; ++k) {
            count = _mm_add_epi8(count, _mm_loadu_si128(reinterpret_cast<const __m128i*>(counts + k * kLevels + base)));
        }
        // Lanes of thresholds past `largest` (which may lie in the next column's counts) count nothing.
        const __m128i inside = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(std::min(largest - base + 1, kThresholdLanes))), lane);
        const __m128i clamped = _mm_and_si128(_mm_min_epu8(_mm_subs_epu8(count, trimmed), kept), inside);
        const __m128i sums = _mm_sad_epu8(clamped, _mm_setzero_si128());
        excess += static_cast<uint32_t>(_mm_cvtsi128_si32(sums) + _mm_extract_epi16(sums, 4));
    }
    return excess;
}
#endif

#if defined(CALSTARS2FP_AVX2_DISPATCH)
// ExcessSse2 with thirty-two thresholds in an AVX2 register, where the processor has them.
__attribute__((target("avx2"))) uint32_t ExcessAvx2(const uint8_t* counts, int32_t smallest, int32_t largest) {
    uint32_t excess = 0;
    const __m256i trimmed = _mm256_set1_epi8(static_cast<char>(kFilterTrimmed));
    const __m256i kept = _mm256_set1_epi8(static_cast<char>(kFilterKept));
    const __m256i lane = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                                          24, 25, 26, 27, 28, 29, 30, 31);
    for (int32_t base = smallest + 1; base <= largest; base += kWideThresholdLanes) {
        __m256i count = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + base));
        for (int k = 1; k < kFilterSide; ++k) {
            count = _mm256_add_epi8(count, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(counts + k * kLevels + base)));
        }
        const __m256i inside =
            _mm256_cmpgt_epi8(_mm256_set1_epi8(static_cast<char>(std::min(largest - base + 1, kWideThresholdLanes))), lane);
        const __m256i clamped = _mm256_and_si256(_mm256_min_epu8(_mm256_subs_epu8(count, trimmed), kept), inside);
        const __m256i sums = _mm256_sad_epu8(clamped, _mm256_setzero_si256());
        const __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        excess += static_cast<uint32_t>(_mm_cvtsi128_si32(pair) + _mm_extract_epi16(pair, 4));
    }
    return excess;
}
#endif

// Adds one (`rising`) or takes one off the counts of thresholds from .. to. With `vector` (SSE2)
// sixteen thresholds at a time, lanes past the last one adding 0 (they may lie in the next column's
// counts, or in the tail, which they leave as they were).
void StepThresholds(uint8_t* counts, int32_t from, int32_t to, bool rising, bool vector) {
#if defined(__SSE2__)
    if (vector) {
        const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        const __m128i step = rising ? _mm_set1_epi8(1) : _mm_set1_epi8(-1);
        for (int32_t t = from; t <= to; t += kThresholdLanes) {
            __m128i* at = reinterpret_cast<__m128i*>(counts + t);
            const __m128i inside = _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(std::min(to - t + 1, kThresholdLanes))), lane);
            _mm_storeu_si128(at, _mm_add_epi8(_mm_loadu_si128(at), _mm_and_si128(inside, step)));
        }
        return;
    }
#endif
    (void)vector;
    for (int32_t t = from; t <= to; ++t) counts[t] = static_cast<uint8_t>(counts[t] + (rising ? 1 : -1));
}

// Moves a column's counts from the value `leaving` to `entering`: the thresholds between them change
// by one.
void MoveColumnValue(uint8_t* counts, uint8_t leaving, uint8_t entering, bool vector) {
    const bool rising = entering > leaving;
    StepThresholds(counts, (rising ? leaving : entering) + 1, rising ? entering : leaving, rising, vector);
}

using Excess = uint32_t (*)(const uint8_t*, int32_t, int32_t);

}  // namespace

namespace {

void FilterRange(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows, int32_t cols,
                 Excess excess_of, bool vector_moves) {
    RangeWalk walk;
    walk.cols = cols;
    const size_t width = static_cast<size_t>(cols);
    walk.image.resize(width * rows);
    for (int32_t r = 0; r < rows; ++r) {
        const uint16_t* from = input + static_cast<size_t>(r) * in_stride;
        uint8_t* to = &walk.image[r * width];
        for (int32_t c = 0; c < cols; ++c) to[c] = static_cast<uint8_t>(from[c]);
    }
    walk.at_least.assign(width * kLevels + kCountsTail, 0);
    for (auto* field : {&walk.column_min, &walk.column_max, &walk.scratch_min, &walk.scratch_max, &walk.window_min, &walk.window_max}) {
        field->assign(width, 0);
    }
    for (int32_t r = 0; r < kFilterSide; ++r) {
        for (size_t c = 0; c < width; ++c) {
            uint8_t* counts = &walk.at_least[c * kLevels];
            StepThresholds(counts, 0, walk.image[r * width + c], true, vector_moves);
        }
    }
    const int32_t first = kFilterHalf, last = cols - 1 - kFilterHalf;
    for (int32_t y = kFilterHalf;; ++y) {
        WindowRanges(walk, y - kFilterHalf);
        uint16_t* line = output + static_cast<size_t>(y) * out_stride;
        for (int32_t x = first; x <= last; ++x) {
            const int32_t smallest = walk.window_min[x], largest = walk.window_max[x];
            if (smallest == largest) {
                line[x] = static_cast<uint16_t>(smallest);
                continue;
            }
            const uint32_t excess = excess_of(&walk.at_least[static_cast<size_t>(x - kFilterHalf) * kLevels], smallest, largest);
            line[x] = static_cast<uint16_t>(smallest + excess / kFilterKept);
        }
        if (y == rows - 1 - kFilterHalf) break;
        const uint8_t* out_row = &walk.image[(y - kFilterHalf) * width];
        const uint8_t* in_row = &walk.image[(y + kFilterHalf + 1) * width];
        size_t c = 0;
#if defined(__SSE2__)
        // Most columns keep their values from row to row: sixteen are compared at once, and only
        // those that change are visited.
        for (; c + kThresholdLanes <= width; c += kThresholdLanes) {
            const __m128i leaving = _mm_loadu_si128(reinterpret_cast<const __m128i*>(out_row + c));
            const __m128i entering = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in_row + c));
            for (uint32_t changed = ~static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(leaving, entering))) & 0xFFFFu;
                 changed != 0; changed &= changed - 1) {
                const size_t k = c + static_cast<size_t>(__builtin_ctz(changed));
                MoveColumnValue(&walk.at_least[k * kLevels], out_row[k], in_row[k], vector_moves);
            }
        }
#endif
        for (; c < width; ++c) {
            if (out_row[c] != in_row[c]) MoveColumnValue(&walk.at_least[c * kLevels], out_row[c], in_row[c], vector_moves);
        }
    }
    MedianFilter_FillBorder(output, out_stride, rows, cols);
}

}  // namespace

namespace {

bool RangeLanesEarlier(RangeLanes lanes, const uint16_t* input, int32_t in_stride, uint16_t* output,
                              int32_t out_stride, int32_t rows, int32_t cols) {
    Excess excess_of = ExcessPortable;
    switch (lanes) {
        case RangeLanes::kPortable: break;
        case RangeLanes::kSse2:
#if defined(__SSE2__)
            excess_of = ExcessSse2;
            break;
#else
            return false;
#endif
        case RangeLanes::kAvx2:
#if defined(CALSTARS2FP_AVX2_DISPATCH)
            if (!__builtin_cpu_supports("avx2")) return false;
            excess_of = ExcessAvx2;
            break;
#else
            return false;
#endif
    }
    // Values of 256 and more have no count, and a stride below 15 is refused by the literal filter.
    if (!MedianFilter_RangeApplies(input, in_stride, rows, cols)) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return true;
    }
    try {
        FilterRange(input, in_stride, output, out_stride, rows, cols, excess_of, lanes != RangeLanes::kPortable);
    } catch (const std::bad_alloc&) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
    } catch (const std::length_error&) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
    }
    return true;
}

}  // namespace

void Median_Filter_RangeEarlier(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                                int32_t cols) {
    for (const RangeLanes lanes : {RangeLanes::kAvx2, RangeLanes::kSse2, RangeLanes::kPortable}) {
        if (RangeLanesEarlier(lanes, input, in_stride, output, out_stride, rows, cols)) return;
    }
}
