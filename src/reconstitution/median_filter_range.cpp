// The trimmed-mean filter from threshold counts: Median_Filter_Sort's output (see median_filter.h for
// the sum and the walk).
//
// The kept sum as threshold counts. Let c_t be the number of the window's 225 values that are at
// least t. Sorted largest first, the i-th value (from 1) is at least t exactly when i <= c_t, so of
// the kept places 57..169 exactly clamp(c_t - 56, 0, 113) hold a value of at least t, and
//     kept sum = sum over t = 1..255 of clamp(c_t - 56, 0, 113).
// Every t up to the window's smallest value m has c_t = 225 (113 each), every t above its largest
// value M has c_t = 0; hence the output b + floor(sum over t = b + 1 .. b + n of ... / 113) for any
// b <= m and b + n >= M. All counts fit bytes (a column counts at most 15, a window at most 225; a
// sliding sum passes through larger values only modulo 256 and comes back), and a vector's clamped
// counts add up to at most 113 per lane.
#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

#include "reconstitution/median_filter.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "reconstitution/median_filter_range.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef CALSTARS2FP_MEDIAN_FILTER_RANGE_SHARED
#define CALSTARS2FP_MEDIAN_FILTER_RANGE_SHARED
namespace calstars2fp_range {

constexpr int kLevels = 256;  // values 0..255: thresholds t = 0..255, one count byte each
// Outputs that share one base. Longer segments load their windows' first counts less often; shorter
// ones hold a narrower range of values, so fewer vectors of thresholds.
constexpr int32_t kSegment = 16;

}  // namespace calstars2fp_range
#endif  // CALSTARS2FP_MEDIAN_FILTER_RANGE_SHARED

HWY_BEFORE_NAMESPACE();
namespace calstars2fp {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace calstars2fp_range;

// window_min and window_max of every window for the window rows top..top + 14.
void WindowRanges(MedianFilterScratch& walk, int32_t cols, int32_t top) {
    const size_t width = static_cast<size_t>(cols);
    uint8_t* lo = walk.column_min.data();
    uint8_t* hi = walk.column_max.data();
    const uint8_t* first = &walk.image[static_cast<size_t>(top) * width];
    std::copy(first, first + width, lo);
    std::copy(first, first + width, hi);
    for (int r = 1; r < kFilterSide; ++r) {
        const uint8_t* row = first + r * width;
        for (size_t c = 0; c < width; ++c) {
            lo[c] = std::min(lo[c], row[c]);
            hi[c] = std::max(hi[c], row[c]);
        }
    }
    // Spans of 2, 4, 8 columns, then 15 = 8 + 8 overlapping by one: window x covers x - 7 .. x + 7.
    uint8_t* lo2 = walk.scratch_min.data();
    uint8_t* hi2 = walk.scratch_max.data();
    for (size_t span = 1; span < 8; span *= 2) {
        for (size_t c = 0; c + span < width; ++c) {
            lo2[c] = std::min(lo[c], lo[c + span]);
            hi2[c] = std::max(hi[c], hi[c + span]);
        }
        std::swap(lo, lo2);
        std::swap(hi, hi2);
    }
    uint8_t* window_min = walk.window_min.data() + kFilterHalf;
    uint8_t* window_max = walk.window_max.data() + kFilterHalf;
    for (size_t c = 0; c + kFilterSide <= width; ++c) {
        window_min[c] = std::min(lo[c], lo[c + 7]);
        window_max[c] = std::max(hi[c], hi[c + 7]);
    }
}

// Moves a column's counts from the value `leaving` to `entering`: count t changes by
// [t <= entering] - [t <= leaving], which is zero outside leaving + 1 .. entering (or the other way
// round), so a vector of thresholds placed at the lower end covers the change.
void MoveColumnValue(uint8_t* counts, uint8_t leaving, uint8_t entering) {
    const hn::ScalableTag<uint8_t> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t low = std::min(leaving, entering), high = std::max(leaving, entering);
    const auto above_entering = [&](auto t) { return hn::VecFromMask(d, hn::Gt(t, hn::Set(d, entering))); };
    const auto above_leaving = [&](auto t) { return hn::VecFromMask(d, hn::Gt(t, hn::Set(d, leaving))); };
    // VecFromMask is 0xFF (-1) where true: count + [t > leaving] - [t > entering].
    for (int32_t t = std::min(low + 1, kLevels - lanes); t <= high; t += lanes) {
        const auto threshold = hn::Iota(d, static_cast<uint8_t>(t));
        const auto count = hn::LoadU(d, counts + t);
        hn::StoreU(hn::Sub(hn::Add(count, above_entering(threshold)), above_leaving(threshold)), d, counts + t);
    }
}

// Counts of the columns' first 15 rows: column c's count t is the number of its values >= t.
void StartCounts(MedianFilterScratch& walk, int32_t cols) {
    const hn::ScalableTag<uint8_t> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const size_t width = static_cast<size_t>(cols);
    for (size_t c = 0; c < width; ++c) {
        uint8_t* counts = &walk.at_least[c * kLevels];
        for (int32_t t = 0; t < kLevels; t += lanes) {
            const auto threshold = hn::Iota(d, static_cast<uint8_t>(t));
            auto count = hn::Zero(d);
            for (int r = 0; r < kFilterSide; ++r) {
                // Less-or-equal as "not greater": -1 where t > value, added as one less.
                count = hn::Add(count, hn::Set(d, uint8_t{1}));
                count = hn::Add(count, hn::VecFromMask(d, hn::Gt(threshold, hn::Set(d, walk.image[r * width + c]))));
            }
            hn::StoreU(count, d, counts + t);
        }
    }
}

// The sum of clamp(count - 56, 0, 113) over the lanes of a vector of window counts.
template <class D>
uint32_t KeptExcess(D d, hn::Vec<D> window) {
    const auto clamped = hn::Min(hn::SaturatedSub(window, hn::Set(d, uint8_t{kFilterTrimmed})), hn::Set(d, uint8_t{kFilterKept}));
    const hn::Repartition<uint64_t, D> d64;
    return static_cast<uint32_t>(hn::GetLane(hn::SumOfLanes(d64, hn::SumsOf8(clamped))));
}

// The outputs x0 .. x1 - 1 of the current row, into `line`, from one base: see median_filter.h.
void FilterSegment(const MedianFilterScratch& walk, int32_t x0, int32_t x1, uint16_t* line) {
    const hn::ScalableTag<uint8_t> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const uint8_t* window_min = walk.window_min.data();
    const uint8_t* window_max = walk.window_max.data();
    const int32_t smallest = *std::min_element(window_min + x0, window_min + x1);
    const int32_t largest = *std::max_element(window_max + x0, window_max + x1);
    if (smallest == largest) {
        std::fill(line + x0, line + x1, static_cast<uint16_t>(smallest));
        return;
    }
    // Vectors of thresholds base + 1 .. base + vectors x lanes cover every value above the base, and
    // stay within the counts (t <= 255); a base below the smallest value only adds whole steps of 113.
    const int32_t vectors = (largest - smallest + lanes - 1) / lanes;
    const int32_t base = std::min(smallest, kLevels - 1 - vectors * lanes);
    uint32_t excess[kSegment] = {};
    const uint8_t* counts = walk.at_least.data();
    for (int32_t v = 0; v < vectors; ++v) {
        const int32_t t = base + 1 + v * lanes;
        const uint8_t* first = counts + static_cast<size_t>(x0 - kFilterHalf) * kLevels + t;
        auto window = hn::LoadU(d, first);
        for (int k = 1; k < kFilterSide; ++k) window = hn::Add(window, hn::LoadU(d, first + k * kLevels));
        excess[0] += KeptExcess(d, window);
        for (int32_t x = x0 + 1; x < x1; ++x) {
            const uint8_t* entering = counts + static_cast<size_t>(x + kFilterHalf) * kLevels + t;
            const uint8_t* leaving = counts + static_cast<size_t>(x - kFilterHalf - 1) * kLevels + t;
            window = hn::Sub(hn::Add(window, hn::LoadU(d, entering)), hn::LoadU(d, leaving));
            excess[x - x0] += KeptExcess(d, window);
        }
    }
    for (int32_t x = x0; x < x1; ++x) line[x] = static_cast<uint16_t>(base + static_cast<int32_t>(excess[x - x0] / kFilterKept));
}

// The interior of the output, row by row (see median_filter.h).
void FilterRows(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows, int32_t cols,
                MedianFilterScratch& walk) {
    const size_t width = static_cast<size_t>(cols);
    for (int32_t r = 0; r < rows; ++r) {
        const uint16_t* from = input + static_cast<size_t>(r) * in_stride;
        uint8_t* to = &walk.image[r * width];
        for (int32_t c = 0; c < cols; ++c) to[c] = static_cast<uint8_t>(from[c]);
    }
    StartCounts(walk, cols);
    const int32_t first = kFilterHalf, last = cols - 1 - kFilterHalf;
    for (int32_t y = kFilterHalf;; ++y) {
        WindowRanges(walk, cols, y - kFilterHalf);
        uint16_t* line = output + static_cast<size_t>(y) * out_stride;
        const bool more = y < rows - 1 - kFilterHalf;
        const uint8_t* leaving = &walk.image[(y - kFilterHalf) * width];
        const uint8_t* entering = more ? &walk.image[(y + kFilterHalf + 1) * width] : nullptr;
        // A column's counts move to the next row once the last window of this row that holds it
        // (the one 7 columns to its right) is done.
        const auto move_columns = [&](int32_t from, int32_t to) {
            for (int32_t c = from; c < to; ++c) {
                if (leaving[c] != entering[c]) MoveColumnValue(&walk.at_least[static_cast<size_t>(c) * kLevels], leaving[c], entering[c]);
            }
        };
        for (int32_t x0 = first; x0 <= last; x0 += kSegment) {
            const int32_t x1 = std::min(x0 + kSegment, last + 1);
            FilterSegment(walk, x0, x1, line);
            if (more) move_columns(x0 - kFilterHalf, x1 - kFilterHalf);
        }
        if (!more) break;
        move_columns(last + 1 - kFilterHalf, cols);
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace calstars2fp
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace calstars2fp {
HWY_EXPORT(FilterRows);
}  // namespace calstars2fp

bool MedianFilter_RangeApplies(const uint16_t* input, int32_t in_stride, int32_t rows, int32_t cols) {
    if (rows < kFilterSide || cols < kFilterSide || in_stride < kFilterSide) return false;
    uint16_t largest = 0;
    for (int32_t r = 0; r < rows; ++r) {
        const uint16_t* line = input + static_cast<size_t>(r) * in_stride;
        for (int32_t c = 0; c < cols; ++c) largest = line[c] > largest ? line[c] : largest;
    }
    return largest < calstars2fp_range::kLevels;
}

void Median_Filter_Range(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                         int32_t cols, MedianFilterScratch& scratch) {
    // Values of 256 and more have no count, and a stride below 15 is refused by the literal filter.
    if (!MedianFilter_RangeApplies(input, in_stride, rows, cols)) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return;
    }
    const size_t width = static_cast<size_t>(cols);
    try {
        scratch.image.resize(width * static_cast<size_t>(rows));
        scratch.at_least.resize(width * calstars2fp_range::kLevels);
        for (auto* field : {&scratch.column_min, &scratch.column_max, &scratch.scratch_min, &scratch.scratch_max, &scratch.window_min,
                            &scratch.window_max}) {
            field->resize(width);
        }
    } catch (const std::bad_alloc&) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return;
    } catch (const std::length_error&) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return;
    }
    HWY_DYNAMIC_DISPATCH(calstars2fp::FilterRows)(input, in_stride, output, out_stride, rows, cols, scratch);
    MedianFilter_FillBorder(output, out_stride, rows, cols);
}

void Median_Filter_Range(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                         int32_t cols) {
    MedianFilterScratch scratch;
    Median_Filter_Range(input, in_stride, output, out_stride, rows, cols, scratch);
}
#endif  // HWY_ONCE
