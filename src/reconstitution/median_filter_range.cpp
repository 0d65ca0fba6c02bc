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
#include <array>
#include <cstring>
#include <iterator>
#include <new>
#include <stdexcept>
#include <utility>
#include <vector>

#include "failure.h"
#include "reconstitution/kept_buffer.h"
#include "reconstitution/median_filter.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "reconstitution/median_filter_range.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef CALSTARS2FP_MEDIAN_FILTER_RANGE_SHARED
#define CALSTARS2FP_MEDIAN_FILTER_RANGE_SHARED
namespace calstars2fp_range {

constexpr int kLevels = 256;  // values 0..255: thresholds t = 0..255, one count byte each
// Bytes from one column's counts to the next: room after t = 255 for a vector of thresholds that
// starts at any t <= 255, whose lanes past 255 count nothing that is ever read.
constexpr int kColumnStride = kLevels + 64;
// Columns of counts after the last one, which a run of outputs may slide over but never write from.
constexpr int kPaddingColumns = 8;
// Outputs of a row taken together: one 64-bit word of bits per block of thresholds.
constexpr int32_t kChunk = 64;
// Room after the windows' ranges of a row for a vector read past the last output.
constexpr size_t kRangeRoom = 64;
// floor(e / 113) for an excess e of up to 113 x 256 as the high half of e x 18559, shifted by 5:
// 18559 = 2^21 / 113 + 0.13, so e x 18559 / 2^21 exceeds e / 113 by less than 28928 x 0.13 / 2^21 <
// 0.002, less than the 1 / 113 that separates e / 113 from the next integer.
constexpr bool kDivide113 = [] {
    for (uint32_t e = 0; e <= 113u * 256u; ++e) {
        if ((((e * 18559u) >> 16) >> 5) != e / 113u) return false;
    }
    return true;
}();
static_assert(kDivide113, "the multiplication must divide every excess by 113 exactly");

// The elements of each part of MedianFilterScratch for a rows x cols image: the allocation below
// sizes every part from them, and Median_Filter_RangeBytes adds them up.
struct ScratchSizes {
    uint64_t image;       // the input as bytes
    uint64_t at_least;    // every column's counts, and the padding columns after the last
    uint64_t per_column;  // each of column_min, column_max, scratch_min, scratch_max, window_min, window_max
    uint64_t excess;      // one chunk's outputs, and room for a vector
    uint64_t changed;     // a bit per column
};
constexpr size_t kPerColumnParts = 6;

// The parts of the scratch that hold ScratchSizes::per_column bytes, for their allocation and their
// count alike.
template <typename Scratch>
auto PerColumnParts(Scratch& scratch) {
    return std::array<decltype(&scratch.column_min), kPerColumnParts>{&scratch.column_min,  &scratch.column_max,
                                                                     &scratch.scratch_min, &scratch.scratch_max,
                                                                     &scratch.window_min,  &scratch.window_max};
}

inline ScratchSizes SizesFor(int32_t rows, int32_t cols) {
    const uint64_t width = static_cast<uint64_t>(cols);
    ScratchSizes sizes{};
    sizes.image = width * static_cast<uint64_t>(rows);
    sizes.at_least = (width + kPaddingColumns) * kColumnStride;
    sizes.per_column = width + kRangeRoom;
    sizes.excess = kChunk + kRangeRoom;
    sizes.changed = (width + 63) / 64;
    return sizes;
}

}  // namespace calstars2fp_range
#endif  // CALSTARS2FP_MEDIAN_FILTER_RANGE_SHARED

HWY_BEFORE_NAMESPACE();
namespace HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;
using namespace calstars2fp_range;

// window_min and window_max of every window for the window rows top..top + 14: each column's smallest
// and largest value over the rows, then over spans of 2, 4 and 8 columns, and 15 = 8 + 8 overlapping
// by one (window x covers columns x - 7 .. x + 7).
void WindowRanges(MedianFilterScratch& walk, int32_t cols, int32_t top) {
    const hn::ScalableTag<uint8_t> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const size_t width = static_cast<size_t>(cols);
    uint8_t* lo = walk.column_min.data();
    uint8_t* hi = walk.column_max.data();
    const uint8_t* first = &walk.image[static_cast<size_t>(top) * width];
    int32_t c = 0;
    for (; c + lanes <= cols; c += lanes) {
        auto low = hn::LoadU(d, first + c), high = low;
        for (int r = 1; r < kFilterSide; ++r) {
            const auto value = hn::LoadU(d, first + r * width + c);
            low = hn::Min(low, value);
            high = hn::Max(high, value);
        }
        hn::StoreU(low, d, lo + c);
        hn::StoreU(high, d, hi + c);
    }
    for (; c < cols; ++c) {
        lo[c] = hi[c] = first[c];
        for (int r = 1; r < kFilterSide; ++r) {
            lo[c] = std::min(lo[c], first[r * width + c]);
            hi[c] = std::max(hi[c], first[r * width + c]);
        }
    }
    uint8_t* lo2 = walk.scratch_min.data();
    uint8_t* hi2 = walk.scratch_max.data();
    const auto spans = [&](int32_t span, int32_t count, uint8_t* to_lo, uint8_t* to_hi) {
        int32_t k = 0;
        for (; k + lanes <= count; k += lanes) {
            hn::StoreU(hn::Min(hn::LoadU(d, lo + k), hn::LoadU(d, lo + k + span)), d, to_lo + k);
            hn::StoreU(hn::Max(hn::LoadU(d, hi + k), hn::LoadU(d, hi + k + span)), d, to_hi + k);
        }
        for (; k < count; ++k) {
            to_lo[k] = std::min(lo[k], lo[k + span]);
            to_hi[k] = std::max(hi[k], hi[k + span]);
        }
    };
    for (int32_t span = 1; span < 8; span *= 2) {
        spans(span, cols - span, lo2, hi2);
        std::swap(lo, lo2);
        std::swap(hi, hi2);
    }
    spans(7, cols + 1 - kFilterSide, walk.window_min.data() + kFilterHalf, walk.window_max.data() + kFilterHalf);
}

// Lanes i < n of LoadU(kPlusOnes + 64 - n) are +1, of LoadU(kMinusOnes + 64 - n) -1 (0xFF), the rest 0.
alignas(64) constexpr uint8_t kPlusOnes[128] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                                1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
alignas(64) constexpr uint8_t kMinusOnes[128] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Moves a column's counts from the value `leaving` to `entering`: count t changes by
// [t <= entering] - [t <= leaving], that is by +1 (rising) or -1 (falling) for the thresholds
// t = low + 1 .. high between the two values, and by 0 elsewhere: vectors of thresholds from low + 1
// on (one for nearly every change), each adding its lanes' steps loaded from the tables above. The
// table is chosen without a branch: rising and falling are equally likely.
HWY_INLINE void MoveColumnValue(uint8_t* counts, uint8_t leaving, uint8_t entering) {
    const hn::ScalableTag<uint8_t> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t change = static_cast<int32_t>(entering) - static_cast<int32_t>(leaving);
    const int32_t low = std::min(leaving, entering);
    const int32_t span = change < 0 ? -change : change;  // at least 1: only changed columns move
    const uint8_t* steps = (change < 0 ? kMinusOnes : kPlusOnes) + 64;
    uint8_t* at = counts + low + 1;
    hn::StoreU(hn::Add(hn::LoadU(d, at), hn::LoadU(d, steps - std::min(lanes, span))), d, at);
    for (int32_t done = lanes; HWY_UNLIKELY(done < span); done += lanes) {
        hn::StoreU(hn::Add(hn::LoadU(d, at + done), hn::LoadU(d, steps - std::min(lanes, span - done))), d, at + done);
    }
}

// Bit c of words[c / 64]: whether column c's leaving and entering values differ.
void ChangedColumns(const uint8_t* leaving, const uint8_t* entering, int32_t cols, uint64_t* words) {
    const hn::ScalableTag<uint8_t> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    std::fill(words, words + (cols + 63) / 64, 0);
    int32_t c = 0;
    if (lanes >= 8) {
        // Each vector's bits as bytes, assembled into words in order.
        uint8_t bytes[hn::MaxLanes(d) / 8 + 1];
        for (; c + lanes <= cols; c += lanes) {
            hn::StoreMaskBits(d, hn::Ne(hn::LoadU(d, leaving + c), hn::LoadU(d, entering + c)), bytes);
            for (int32_t b = 0; b < lanes / 8; ++b) words[(c + 8 * b) / 64] |= uint64_t{bytes[b]} << ((c + 8 * b) % 64);
        }
    }
    for (; c < cols; ++c) {
        if (leaving[c] != entering[c]) words[c / 64] |= uint64_t{1} << (c % 64);
    }
}

// Counts of the columns' first 15 rows: column c's count t is the number of its values >= t.
void StartCounts(MedianFilterScratch& walk, int32_t cols) {
    const hn::ScalableTag<uint8_t> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const size_t width = static_cast<size_t>(cols);
    for (size_t c = 0; c < width; ++c) {
        uint8_t* counts = &walk.at_least[c * kColumnStride];
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

// clamp(count - 56, 0, 113) of every lane of a vector of window counts, added up in groups of eight
// lanes (at most 904 each).
template <class D>
hn::Vec<hn::Repartition<uint64_t, D>> KeptExcess(D d, hn::Vec<D> window) {
    return hn::SumsOf8(hn::Min(hn::SaturatedSub(window, hn::Set(d, uint8_t{kFilterTrimmed})), hn::Set(d, uint8_t{kFilterKept})));
}

#if HWY_TARGET == HWY_SCALAR
// One lane: every window sums its own thresholds m + 1 .. M from its 15 columns.
void FilterChunk(MedianFilterScratch& walk, int32_t x0, int32_t outputs, uint16_t* line) {
    const uint8_t* counts = walk.at_least.data();
    for (int32_t x = x0; x < x0 + outputs; ++x) {
        const int32_t smallest = walk.window_min[x], largest = walk.window_max[x];
        uint32_t excess = 0;
        for (int32_t t = smallest + 1; t <= largest; ++t) {
            int32_t count = 0;
            for (int k = 0; k < kFilterSide; ++k) count += counts[static_cast<size_t>(x - kFilterHalf + k) * kColumnStride + t];
            excess += static_cast<uint32_t>(std::min(std::max(count - kFilterTrimmed, 0), kFilterKept));
        }
        line[x] = static_cast<uint16_t>(smallest + static_cast<int32_t>(excess / kFilterKept));
    }
}
#else
// The outputs x0 .. x0 + outputs - 1 (at most kChunk) of the current row, into `line`.
//
// The thresholds go in fixed blocks of one vector, block j holding t = j L .. j L + L - 1. A window
// of smallest value m and largest M < 256, m < M, needs the blocks from (m + 1) / L to M / L, with the
// base (m + 1) / L x L - 1 <= m (see median_filter.h). For each block, every run of neighbouring
// outputs that need it slides that block's window counts along the run from one first window, and
// adds each output's excess (at most 113 x L per block, 113 x 256 over all) into its 16-bit place in
// `excess`, four outputs to a 64-bit word. Windows of one value need no block.
void FilterChunk(MedianFilterScratch& walk, int32_t x0, int32_t outputs, uint16_t* line) {
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "output x + j lies in 16-bit place j of the word at x");
    const hn::ScalableTag<uint8_t> d;
    const hn::Repartition<uint64_t, decltype(d)> d64;
    const hn::RebindToSigned<decltype(d)> di;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t shift = __builtin_ctz(static_cast<unsigned>(lanes));
    const uint8_t* counts = walk.at_least.data();
    uint16_t* excess = walk.excess.data();
    std::fill(excess, excess + kChunk + 4, uint16_t{0});
    // The outputs that need each block, a bit each.
    const uint8_t* window_min = walk.window_min.data() + x0;
    const uint8_t* window_max = walk.window_max.data() + x0;
    // Each output's first and last block (as signed bytes: block numbers are below 128); an output
    // of one value, or past the chunk, needs none (first block 127, last -1).
    HWY_ALIGN int8_t first_blocks[kChunk + hn::MaxLanes(d)], last_blocks[kChunk + hn::MaxLanes(d)];
    for (int32_t i = 0; i < outputs; i += lanes) {
        const auto smallest = hn::LoadU(d, window_min + i), largest = hn::LoadU(d, window_max + i);
        const auto mixed = hn::And(hn::Ne(smallest, largest), hn::FirstN(d, static_cast<size_t>(outputs - i)));
        const auto first_block = hn::BitCast(di, hn::ShiftRightSame(hn::Add(smallest, hn::Set(d, uint8_t{1})), shift));
        const auto last_block = hn::BitCast(di, hn::ShiftRightSame(largest, shift));
        hn::Store(hn::IfThenElse(hn::RebindMask(di, mixed), first_block, hn::Set(di, int8_t{127})), di, first_blocks + i);
        hn::Store(hn::IfThenElse(hn::RebindMask(di, mixed), last_block, hn::Set(di, int8_t{-1})), di, last_blocks + i);
    }
    const int32_t blocks = kLevels / lanes;
    for (int32_t j = 0; j < blocks; ++j) {
        uint64_t need = 0;
        const auto block = hn::Set(di, static_cast<int8_t>(j));
        for (int32_t i = 0; i < outputs; i += lanes) {
            const auto needs = hn::AndNot(hn::Gt(hn::Load(di, first_blocks + i), block), hn::Not(hn::Gt(block, hn::Load(di, last_blocks + i))));
            uint8_t bytes[hn::MaxLanes(d) / 8];
            hn::StoreMaskBits(di, needs, bytes);
            for (int32_t b = 0; b < lanes / 8 && i + 8 * b < kChunk; ++b) need |= uint64_t{bytes[b]} << (i + 8 * b);
        }
        while (need != 0) {
            const int32_t start = __builtin_ctzll(need);
            const uint64_t from_start = need >> start;
            const int32_t length = from_start == ~uint64_t{0} ? 64 - start : __builtin_ctzll(~from_start);
            need = length + start >= 64 ? 0 : need & (~uint64_t{0} << (start + length));
            // The run's first window, then each next one: its entering column added, its leaving one
            // taken off. The last group of four is whole: its outputs past the run read the counts'
            // padding columns, and their excess is masked off.
            const uint8_t* leaving = counts + static_cast<size_t>(x0 + start - kFilterHalf) * kColumnStride + static_cast<size_t>(j) * lanes;
            auto window = hn::LoadU(d, leaving);
            for (int k = 1; k < kFilterSide; ++k) window = hn::Add(window, hn::LoadU(d, leaving + k * kColumnStride));
            const auto excess_and_slide = [&] {
                const auto kept = KeptExcess(d, window);
                window = hn::Sub(hn::Add(window, hn::LoadU(d, leaving + kFilterSide * kColumnStride)), hn::LoadU(d, leaving));
                leaving += kColumnStride;
                return kept;
            };
            for (int32_t i = 0; i < length; i += 4) {
                auto packed = excess_and_slide();
                packed = hn::Or(packed, hn::ShiftLeft<16>(excess_and_slide()));
                packed = hn::Or(packed, hn::ShiftLeft<32>(excess_and_slide()));
                packed = hn::Or(packed, hn::ShiftLeft<48>(excess_and_slide()));
                uint64_t sums = hn::GetLane(hn::SumOfLanes(d64, packed));
                if (length - i < 4) sums &= (uint64_t{1} << (16 * (length - i))) - 1;
                uint64_t word;
                std::memcpy(&word, excess + start + i, sizeof word);
                word += sums;
                std::memcpy(excess + start + i, &word, sizeof word);
            }
        }
    }
    // Each output from its base and excess, a vector of 16-bit lanes at a time (the last one reaching
    // into the room after the chunk's places and the row's ranges).
    const hn::ScalableTag<uint16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const int32_t lanes16 = static_cast<int32_t>(hn::Lanes(d16));
    for (int32_t i = 0; i < outputs; i += lanes16) {
        const auto smallest = hn::PromoteTo(d16, hn::LoadU(d8, window_min + i));
        const auto largest = hn::PromoteTo(d16, hn::LoadU(d8, window_max + i));
        // The base (m + 1) / L x L - 1, at least -1: added modulo 2^16, -1 + q is q - 1.
        const auto base = hn::Sub(hn::ShiftLeftSame(hn::ShiftRightSame(hn::Add(smallest, hn::Set(d16, uint16_t{1})), shift), shift),
                                  hn::Set(d16, uint16_t{1}));
        // floor(e / 113) = floor(e x 18559 / 2^21) for every excess e <= 113 x 256 (see kDivide113).
        const auto quotient = hn::ShiftRight<5>(hn::MulHigh(hn::LoadU(d16, excess + i), hn::Set(d16, uint16_t{18559})));
        const auto value = hn::IfThenElse(hn::Eq(smallest, largest), smallest, hn::Add(base, quotient));
        if (outputs - i >= lanes16) {
            hn::StoreU(value, d16, line + x0 + i);
        } else {
            HWY_ALIGN uint16_t values[hn::MaxLanes(d16)];
            hn::Store(value, d16, values);
            std::copy(values, values + (outputs - i), line + x0 + i);
        }
    }
}
#endif

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
        // (the one 7 columns to its right) is done. Most columns keep their value from row to row:
        // those that change are found a vector at a time.
        if (more) ChangedColumns(leaving, entering, cols, walk.changed.data());
        const auto move_columns = [&](int32_t from, int32_t to) {
            for (int32_t w = from / 64; w * 64 < to; ++w) {
                uint64_t bits = walk.changed[static_cast<size_t>(w)];
                if (w * 64 < from) bits &= ~uint64_t{0} << (from - w * 64);
                if (to - w * 64 < 64) bits &= (uint64_t{1} << (to - w * 64)) - 1;
                for (; bits != 0; bits &= bits - 1) {
                    const int32_t c = w * 64 + __builtin_ctzll(bits);
                    MoveColumnValue(&walk.at_least[static_cast<size_t>(c) * kColumnStride], leaving[c], entering[c]);
                }
            }
        };
        for (int32_t x0 = first; x0 <= last; x0 += kChunk) {
            const int32_t x1 = std::min(x0 + kChunk, last + 1);
            FilterChunk(walk, x0, x1 - x0, line);
            if (more) move_columns(x0 - kFilterHalf, x1 - kFilterHalf);
        }
        if (!more) break;
        move_columns(last + 1 - kFilterHalf, cols);
    }
}

}  // namespace
}  // namespace HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
HWY_EXPORT(FilterRows);

bool Median_Filter_RangeApplies(const uint16_t* input, int32_t in_stride, int32_t rows, int32_t cols) {
    if (rows < kFilterSide || cols < kFilterSide || in_stride < kFilterSide) return false;
    uint16_t largest = 0;
    for (int32_t r = 0; r < rows; ++r) {
        const uint16_t* line = input + static_cast<size_t>(r) * in_stride;
        for (int32_t c = 0; c < cols; ++c) largest = line[c] > largest ? line[c] : largest;
    }
    return largest < calstars2fp_range::kLevels;
}

uint64_t Median_Filter_RangeBytes(const MedianFilterScratch& held, int32_t rows, int32_t cols) {
    // Below 15 x 15 the literal filter runs, which takes nothing.
    const bool range = rows >= kFilterSide && cols >= kFilterSide;
    const calstars2fp_range::ScratchSizes sizes = range ? calstars2fp_range::SizesFor(rows, cols) : calstars2fp_range::ScratchSizes{};
    uint64_t bytes = KeptBuffer_BytesAfter(held.image, sizes.image) + KeptBuffer_BytesAfter(held.at_least, sizes.at_least) +
                     KeptBuffer_BytesAfter(held.excess, sizes.excess) + KeptBuffer_BytesAfter(held.changed, sizes.changed);
    for (const std::vector<uint8_t>* part : calstars2fp_range::PerColumnParts(held)) bytes += KeptBuffer_BytesAfter(*part, sizes.per_column);
    return bytes;
}

uint64_t Median_Filter_RangeBytes(int32_t rows, int32_t cols) { return Median_Filter_RangeBytes(MedianFilterScratch{}, rows, cols); }

void Median_Filter_Range(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                         int32_t cols, MedianFilterScratch& scratch) {
    // Values of 256 and more have no count, and a stride below 15 is refused by the literal filter.
    if (!Median_Filter_RangeApplies(input, in_stride, rows, cols)) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return;
    }
    // Kept from image to image; every byte the walk reads is written first in each call (the
    // padding's lanes are read but never decide an output). Where it cannot be had, the literal
    // filter, which needs no memory of its own, gives the same bytes.
    const calstars2fp_range::ScratchSizes sizes = calstars2fp_range::SizesFor(rows, cols);
    const bool fitted = IfAllocationFails(
        [&] {
            KeptBuffer_Fit(scratch.image, static_cast<size_t>(sizes.image));
            KeptBuffer_Fit(scratch.at_least, static_cast<size_t>(sizes.at_least));
            for (std::vector<uint8_t>* part : calstars2fp_range::PerColumnParts(scratch)) {
                KeptBuffer_Fit(*part, static_cast<size_t>(sizes.per_column));
            }
            KeptBuffer_Fit(scratch.excess, static_cast<size_t>(sizes.excess));
            KeptBuffer_Fit(scratch.changed, static_cast<size_t>(sizes.changed));
            return true;
        },
        [] { return false; });
    if (!fitted) {
        Median_Filter_Sort(input, in_stride, output, out_stride, rows, cols);
        return;
    }
    HWY_DYNAMIC_DISPATCH(FilterRows)(input, in_stride, output, out_stride, rows, cols, scratch);
    Median_Filter_FillBorder(output, out_stride, rows, cols);
}

void Median_Filter_Range(const uint16_t* input, int32_t in_stride, uint16_t* output, int32_t out_stride, int32_t rows,
                         int32_t cols) {
    MedianFilterScratch scratch;
    Median_Filter_Range(input, in_stride, output, out_stride, rows, cols, scratch);
}
#endif  // HWY_ONCE
