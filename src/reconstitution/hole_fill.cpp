#include "reconstitution/hole_fill.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>

#include "reconstitution/kept_buffer.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "reconstitution/hole_fill.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/cache_control.h>
#include <hwy/highway.h>

#ifndef CALSTARS2FP_HOLE_FILL_SHARED
#define CALSTARS2FP_HOLE_FILL_SHARED
namespace calstars2fp_hole_fill {

// The mean of the known neighbours as a multiplication. For a known total K <= 2047 and a count d of
// 1..8, with f = ceil(32768 / d) = 32768 / d + e (0 <= e < 1):
//     2K f / 65536 = K / d + K e / 32768,  and  K e / 32768 < 2047 / 32768 < 1 / 16 < 1 / d.
// K / d lies at most (d - 1) / d above floor(K / d), so adding less than 1 / d never reaches the next
// integer: the high 16 bits of 2K x f are floor(K / d). 2K and f both fit 16 bits (f is 32768 for d 1),
// so vector lanes take the product's high half directly. Indexed by the marked count u = 8 - d.
constexpr uint16_t kHalfReciprocal[8] = {4096, 4682, 5462, 6554, 8192, 10923, 16384, 32768};

constexpr uint16_t MeanByReciprocal(uint32_t sum) {
    return static_cast<uint16_t>((2u * (sum & kKnownSumMask) * kHalfReciprocal[(sum >> kMarkedCountShift) & 7u]) >> 16);
}

// Distances are kept as closeness, kNear minus the distance: a seeded pixel is kNear, a pixel no seed
// has reached yet 0. So lanes shifted in from outside a block (zeros) never win a maximum, and a
// saturating subtraction keeps "not reached" at 0.
template <typename T>
constexpr T kNear = std::numeric_limits<T>::max();

// A row's pixels as bit sets, bit c - 1 for inner column c, kept as bytes (eight columns each):
enum RowBits {
    kRunStart,     // its closeness differs from its left neighbour's (or it is column 1)
    kRowRunStart,  // the first pixel of a row run: unseeded, and its right neighbour is the same
    kColumnStart,  // a lone pixel that does not continue a vertical run from the row below
    kColumnEnd,    // the row below's lone pixel of a vertical run that this row does not continue
    kRowBitSets
};

// Lone pixels of two rows are kept, each row with room for a vector past its end.
inline size_t LoneStride(int32_t cols) { return static_cast<size_t>(cols) + 64; }

// 16-bit lanes of the widest vector of any target (256 bytes): the room that the new values of a pass
// keep after them for a vector stored past the last run.
constexpr size_t kVectorRoom = 128;

// The most elements each part of FillHoles_Distance's scratch takes for a rows x cols image (at least
// 3 x 3). Every allocation of the scratch is sized from these or from the data below them, and
// FillHoles_Bytes adds them up.
//
// The runs and the values depend on the data: every run holds at least one unseeded inner pixel and
// no pixel belongs to two runs, so there are at most (rows - 2)(cols - 2) of them, and a pass's
// values are at most the inner pixels. Taken at that bound they would be 26 bytes an inner pixel,
// while real records stay near one. So the fast form keeps to a share of its own: the runs and their
// sorted copy (24 bytes a run) at most one run per eight inner pixels, a pass's values (2 bytes
// each) at most one per two, together the 4 bytes an inner pixel of the layers form's list, and it
// hands an image whose runs or values go beyond that share to FillHoles_Layers before it has
// written anything.
struct ScratchSizes {
    uint64_t inner;       // the inner pixels: also the layers form's list, one 32-bit entry each
    uint64_t most_runs;   // the runs the fast form's share holds: beyond, the layers form
    uint64_t runs;        // runs and sorted: most_runs, and the rows grouped before the share is checked
    uint64_t most_values; // one pass's values the share holds: beyond, the layers form
    uint64_t values;      // most_values and a vector's room
    // The pass of an inner pixel is its chessboard distance to the nearest seeded pixel, at most
    // max(rows, cols) - 1 within the image: `first` holds 2 passes + 3 entries, `deferred` one per
    // pass from 0, `open` one per column and then a copy of `first`.
    uint64_t first, deferred, open;
    uint64_t lone;    // two rows of lone marks, each with room for a vector
    uint64_t bits;    // kRowBitSets sets of ceil(cols / 64) + 1 words of eight bytes
};

inline ScratchSizes SizesFor(int32_t rows, int32_t cols) {
    const uint64_t inner = static_cast<uint64_t>(rows - 2) * static_cast<uint64_t>(cols - 2);
    const uint64_t side = static_cast<uint64_t>(std::max(rows, cols));
    const uint64_t first = 2 * (side - 1) + 3;
    ScratchSizes sizes{};
    sizes.inner = inner;
    sizes.most_runs = inner / 8;
    // The share is checked after each row, which adds at most two runs a column, and the last row
    // ends at most one vertical run a column more.
    sizes.runs = std::min(inner, sizes.most_runs + 3 * static_cast<uint64_t>(cols));
    sizes.most_values = inner / 2;
    sizes.values = sizes.most_values + kVectorRoom;
    sizes.first = first;
    sizes.deferred = side + 1;
    sizes.open = std::max(static_cast<uint64_t>(cols), first);
    sizes.lone = 2 * LoneStride(cols);
    sizes.bits = kRowBitSets * 8 * ((static_cast<uint64_t>(cols) + 63) / 64 + 1);
    return sizes;
}

// A count of elements that the sizes above allow, as a size (saturated where size_t is narrower).
inline size_t AtMost(uint64_t count) { return static_cast<size_t>(std::min<uint64_t>(count, SIZE_MAX)); }

// Sizes `buffer` to `count` elements, all zero; the capacity stays the largest count asked for, so
// that the sizes above bound it whatever the growth policy of the library.
template <typename T>
void FitZeroed(std::vector<T>& buffer, size_t count) {
    KeptBuffer_Fit(buffer, count);
    std::fill(buffer.begin(), buffer.end(), T{0});
}

// Room for `more` further runs, growing geometrically as push_back does but never beyond `most`
// (ScratchSizes::runs). The sorted copy and the values are made again from the runs after the sweep:
// they are freed before the runs grow, so that while the runs move to their larger block nothing
// else of the share is held.
inline void RoomForRuns(HoleFillScratch& scratch, size_t more, size_t most) {
    std::vector<HoleFillRun>& runs = scratch.runs;
    const size_t needed = runs.size() + more;
    if (needed <= runs.capacity()) return;
    KeptBuffer_Free(scratch.sorted);
    KeptBuffer_Free(scratch.values);
    runs.reserve(std::min(most, std::max(needed, 2 * runs.capacity())));
}

// How the sweep of the distances ended: the runs made, a distance beyond the closeness type's reach
// (sweep again in 16 bits), or more runs than the fast form's share (the layers form).
enum class Sweep { kGrouped, kBeyondReach, kBeyondShare };

}  // namespace calstars2fp_hole_fill
#endif  // CALSTARS2FP_HOLE_FILL_SHARED

HWY_BEFORE_NAMESPACE();
namespace HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;
using namespace calstars2fp_hole_fill;

// Every pixel's starting closeness: kNear where it holds a level, 0 where it holds the marker. Also
// keeps the largest level in `largest` and notes whether any pixel holds one.
template <typename T>
void SeedRow(const uint16_t* image, T* row, int32_t cols, uint16_t& largest, bool& seeded) {
    const hn::ScalableTag<uint16_t> d16;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d16));
    const auto marker = hn::Set(d16, kHoleMarker);
    auto largest_level = hn::Zero(d16);
    auto seed_bits = hn::Zero(d16);
    int32_t c = 0;
    for (; c + lanes <= cols; c += lanes) {
        const auto value = hn::LoadU(d16, image + c);
        const auto held = hn::Ne(value, marker);
        largest_level = hn::Max(largest_level, hn::IfThenElseZero(held, value));
        const auto near = hn::VecFromMask(d16, held);
        seed_bits = hn::Or(seed_bits, near);
        if constexpr (sizeof(T) == 1) {
            // 0xFFFF or 0 per lane, as 0xFF or 0 per byte.
            const hn::Rebind<uint8_t, decltype(d16)> d8;
            const hn::RebindToSigned<decltype(d16)> di16;
            hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, hn::ShiftRight<8>(near))), d8, reinterpret_cast<uint8_t*>(row) + c);
        } else {
            hn::StoreU(near, d16, reinterpret_cast<uint16_t*>(row) + c);
        }
    }
    for (; c < cols; ++c) {
        const bool held = image[c] != kHoleMarker;
        row[c] = held ? kNear<T> : T{0};
        if (held) largest = std::max(largest, image[c]);
        seeded = seeded || held;
    }
    largest = std::max(largest, hn::GetLane(hn::MaxOfLanes(d16, largest_level)));
    seeded = seeded || !hn::AllTrue(d16, hn::Eq(seed_bits, hn::Zero(d16)));
}

// One step further from the nearest seed: closeness less one, and "not reached" stays 0.
template <typename T>
T StepAway(T closeness) {
    return static_cast<T>(closeness == 0 ? 0 : closeness - 1);
}

// row[c] = max(row[c], max(done[c - 1], done[c], done[c + 1]) - 1): the step from the row already
// swept (above going down, below going up).
template <typename T>
void StepFromRow(T* row, const T* done, int32_t cols) {
    const hn::ScalableTag<T> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const auto one = hn::Set(d, T{1});
    row[0] = std::max(row[0], StepAway(std::max(done[0], done[1])));
    int32_t c = 1;
    for (; c + lanes <= cols - 1; c += lanes) {
        const auto nearest = hn::Max(hn::Max(hn::LoadU(d, done + c - 1), hn::LoadU(d, done + c)), hn::LoadU(d, done + c + 1));
        hn::StoreU(hn::Max(hn::LoadU(d, row + c), hn::SaturatedSub(nearest, one)), d, row + c);
    }
    for (; c < cols - 1; ++c) {
        row[c] = std::max(row[c], StepAway(std::max(std::max(done[c - 1], done[c]), done[c + 1])));
    }
    row[cols - 1] = std::max(row[cols - 1], StepAway(std::max(done[cols - 2], done[cols - 1])));
}

// Lane `kLane` of a 128-bit block in every lane.
template <int kLane, class D>
hn::Vec<D> LaneEverywhere(D d, hn::Vec<D> v) {
#if HWY_TARGET == HWY_SCALAR
    (void)d;
    return v;
#else
    if constexpr (sizeof(hn::TFromD<D>) == 1) {
        return hn::TableLookupBytes(v, hn::Set(d, static_cast<hn::TFromD<D>>(kLane)));
    } else {
        return hn::Broadcast<kLane>(v);
    }
#endif
}

// Within a block, every lane's best over the 2s lanes up to it (`forward`) or from it (backward),
// from the best over s lanes, by doubling spans: after the shift by s (zeros shifted in never win).
template <bool kForward, class D>
hn::Vec<D> RunWithinBlock(D d, hn::Vec<D> v) {
#if HWY_TARGET == HWY_SCALAR
    (void)d;
    return v;
#else
    using T = hn::TFromD<D>;
    constexpr size_t kLanes = hn::MaxLanes(d);
    const auto shift = [d](auto x, auto by) {
        constexpr int kBy = decltype(by)::value;
        if constexpr (kForward) {
            return hn::ShiftLeftLanes<kBy>(d, x);
        } else {
            return hn::ShiftRightLanes<kBy>(d, x);
        }
    };
    v = hn::Max(v, hn::SaturatedSub(shift(v, std::integral_constant<int, 1>()), hn::Set(d, T{1})));
    v = hn::Max(v, hn::SaturatedSub(shift(v, std::integral_constant<int, 2>()), hn::Set(d, T{2})));
    v = hn::Max(v, hn::SaturatedSub(shift(v, std::integral_constant<int, 4>()), hn::Set(d, T{4})));
    if constexpr (kLanes > 8) v = hn::Max(v, hn::SaturatedSub(shift(v, std::integral_constant<int, 8>()), hn::Set(d, T{8})));
    return v;
#endif
}

// The running step along the row, row[c] = max(row[c], row[c - 1] - 1) from left to right (`forward`)
// or row[c] = max(row[c], row[c + 1] - 1) from right to left, a 128-bit block at a time: within the
// block by doubling spans, then from the block before it.
template <typename T>
void RunAlongRow(T* row, int32_t cols, bool forward) {
    const hn::CappedTag<T, 16 / sizeof(T)> d;
    constexpr int32_t kLanes = static_cast<int32_t>(hn::MaxLanes(d));
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    if (forward) {
        auto carry = hn::Zero(d);                 // the previous block's last lane, in every lane
        const auto step = hn::Iota(d, T{1});      // lane i lies i + 1 after that lane
        int32_t c = 0;
        for (; c + lanes <= cols; c += lanes) {
            auto v = RunWithinBlock<true>(d, hn::LoadU(d, row + c));
            v = hn::Max(v, hn::SaturatedSub(carry, step));
            hn::StoreU(v, d, row + c);
            carry = LaneEverywhere<kLanes - 1>(d, v);
        }
        for (c = std::max(c, 1); c < cols; ++c) row[c] = std::max(row[c], StepAway(row[c - 1]));
    } else {
        auto carry = hn::Zero(d);                                                          // the next block's first lane
        const auto step = hn::Sub(hn::Set(d, static_cast<T>(kLanes)), hn::Iota(d, T{0}));  // lane i lies kLanes - i before it
        int32_t end = cols;
        for (; end - lanes >= 0; end -= lanes) {
            auto v = RunWithinBlock<false>(d, hn::LoadU(d, row + end - lanes));
            v = hn::Max(v, hn::SaturatedSub(carry, step));
            hn::StoreU(v, d, row + end - lanes);
            carry = LaneEverywhere<0>(d, v);
        }
        for (int32_t c = std::min(end, cols - 1) - 1; c >= 0; --c) row[c] = std::max(row[c], StepAway(row[c + 1]));
    }
}

// The bytes of bit set `set` for the inner columns of a row: ceil((cols - 2) / 64) words of eight bytes.
// Each set has eight bytes of room after it for the lanes of a last vector past the inner columns.
inline uint8_t* BitSet(HoleFillScratch& scratch, int32_t set, size_t words) { return scratch.bits.data() + set * (words + 1) * 8; }

inline uint64_t Word(const uint8_t* bytes, size_t w) {
    uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[w * 8 + static_cast<size_t>(i)];
    return word;
}

// The next set bit of `bytes` at or after `from`, or `limit` when there is none before it.
inline int32_t NextBit(const uint8_t* bytes, int32_t from, int32_t limit) {
    for (int32_t b = from; b < limit;) {
        const size_t w = static_cast<size_t>(b) / 64;
        const uint64_t word = Word(bytes, w) >> (b % 64);
        if (word != 0) return std::min(limit, b + static_cast<int32_t>(__builtin_ctzll(word)));
        b = static_cast<int32_t>(w + 1) * 64;
    }
    return limit;
}

// The classification of row r's inner columns from `first` to `last` one pixel at a time: the bit
// sets above (ORed in), its lone pixels (all ones or 0 in `lone`), and whether a lone pixel touches a
// lone pixel of the same closeness diagonally below, or a pixel is not reached.
template <typename T>
void ClassifyPixels(const T* row, const T* below, const T* lone_below, T* lone, int32_t first, int32_t last,
                    int32_t cols, uint8_t* const* sets, bool& touching, bool& unreached) {
    for (int32_t c = first; c <= last; ++c) {
        const int32_t b = c - 1;
        const bool start = c == 1 || row[c] != row[c - 1];
        const bool alone = c == cols - 2 || row[c] != row[c + 1];
        const bool unseeded = row[c] != kNear<T>;
        const bool is_lone = start && alone && unseeded;
        const bool continues = is_lone && lone_below[c] != 0 && below[c] == row[c];
        lone[c] = is_lone ? kNear<T> : T{0};
        const auto set = [b, sets](int which, bool bit) {
            sets[which][b / 8] = static_cast<uint8_t>(sets[which][b / 8] | (bit ? 1u << (b % 8) : 0u));
        };
        set(kRunStart, start);
        set(kRowRunStart, start && !alone && unseeded);
        set(kColumnStart, is_lone && !continues);
        set(kColumnEnd, lone_below[c] != 0 && !continues);
        touching = touching || (is_lone && ((lone_below[c - 1] != 0 && below[c - 1] == row[c]) ||
                                            (lone_below[c + 1] != 0 && below[c + 1] == row[c])));
        unreached = unreached || row[c] == 0;
    }
}

// The classification of row r (see ClassifyPixels), a vector of columns at a time. When `room_after`
// (the distances and `lone` have a vector of room after each row) the last vector reaches past the
// row and its lanes past the inner columns are masked off; otherwise, and on targets of fewer than
// eight lanes, the last columns go one at a time.
template <typename T>
void ClassifyRow(const T* row, const T* below, const T* lone_below, T* lone, int32_t cols, bool room_after, uint8_t* const* sets,
                 bool& touching, bool& unreached) {
    const hn::ScalableTag<T> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    const int32_t last = cols - 2;  // the last inner column
    int32_t c = 1;
    if (lanes >= 8) {
        const auto near = hn::Set(d, kNear<T>);
        const auto none = hn::Ne(near, near);
        auto touch = none;
        auto zero = none;
        const int32_t reach = room_after ? last : last - lanes;  // the last column a vector may start at
        for (; c <= reach; c += lanes) {
            const size_t byte = static_cast<size_t>(c - 1) / 8;
            const int32_t inside = std::min(lanes, last + 1 - c);  // lanes on inner columns
            const auto valid = hn::FirstN(d, static_cast<size_t>(inside));
            const auto here = hn::LoadU(d, row + c);
            // Column 1 starts a run and the last inner column ends one whatever the border holds.
            const auto start = hn::Or(hn::Ne(here, hn::LoadU(d, row + c - 1)), c == 1 ? hn::FirstN(d, 1) : none);
            const auto ends_row = c + lanes - 1 >= last ? hn::Not(hn::FirstN(d, static_cast<size_t>(inside - 1))) : none;
            const auto alone = hn::Or(hn::Ne(here, hn::LoadU(d, row + c + 1)), ends_row);
            const auto unseeded = hn::And(hn::Ne(here, near), valid);
            const auto lone_mask = hn::And(hn::And(start, alone), unseeded);
            const auto lone_below_mask = hn::And(hn::MaskFromVec(hn::LoadU(d, lone_below + c)), valid);
            const auto continues = hn::And(hn::And(lone_mask, lone_below_mask), hn::Eq(here, hn::LoadU(d, below + c)));
            hn::StoreU(hn::VecFromMask(d, lone_mask), d, lone + c);
            hn::StoreMaskBits(d, hn::And(start, valid), sets[kRunStart] + byte);
            hn::StoreMaskBits(d, hn::AndNot(alone, hn::And(start, unseeded)), sets[kRowRunStart] + byte);
            hn::StoreMaskBits(d, hn::AndNot(continues, lone_mask), sets[kColumnStart] + byte);
            hn::StoreMaskBits(d, hn::AndNot(continues, lone_below_mask), sets[kColumnEnd] + byte);
            const auto touches = hn::Or(hn::And(hn::MaskFromVec(hn::LoadU(d, lone_below + c - 1)), hn::Eq(here, hn::LoadU(d, below + c - 1))),
                                        hn::And(hn::MaskFromVec(hn::LoadU(d, lone_below + c + 1)), hn::Eq(here, hn::LoadU(d, below + c + 1))));
            touch = hn::Or(touch, hn::And(lone_mask, touches));
            zero = hn::Or(zero, hn::And(hn::Eq(here, hn::Zero(d)), valid));
        }
        touching = touching || !hn::AllFalse(d, touch);
        unreached = unreached || !hn::AllFalse(d, zero);
    }
    ClassifyPixels(row, below, lone_below, lone, c, last, cols, sets, touching, unreached);
}

// Groups the inner pixels of row r (final closeness in `row`; the row below, `below`, final too) into
// runs, see FillHoles_Distance. A run of equal closeness ends at the inner columns' edges, so a pixel
// is lone when its inner row neighbours differ from it. Returns false when a pixel has not been
// reached (its distance does not fit T).
template <typename T>
bool GroupRow(const T* row, const T* below, int32_t r, int32_t cols, bool room_after, HoleFillScratch& scratch) {
    const int32_t inner = cols - 2;
    const size_t words = (static_cast<size_t>(inner) + 63) / 64;
    uint8_t* sets[kRowBitSets];
    for (int32_t k = 0; k < kRowBitSets; ++k) {
        sets[k] = BitSet(scratch, k, words);
        std::fill(sets[k], sets[k] + words * 8, 0);
    }
    T* lone = reinterpret_cast<T*>(scratch.lone.data()) + (r % 2) * LoneStride(cols);
    const T* lone_below = reinterpret_cast<const T*>(scratch.lone.data()) + ((r + 1) % 2) * LoneStride(cols);
    bool touching = false, unreached = false;
    ClassifyRow(row, below, lone_below, lone, cols, room_after, sets, touching, unreached);
    if (unreached) return false;
    std::vector<HoleFillRun>& runs = scratch.runs;
    int32_t* bottom = scratch.open.data();  // per column: the bottom row of its open vertical run
    const int32_t line = r * cols;
    for (size_t w = 0; w < words; ++w) {
        // Vertical runs that end at the row below, then those that start here (bottom up).
        for (uint64_t bits = Word(sets[kColumnEnd], w); bits != 0; bits &= bits - 1) {
            const int32_t c = static_cast<int32_t>(w * 64) + __builtin_ctzll(bits) + 1;
            runs.push_back(HoleFillRun{line + cols + c, r - bottom[c], kNear<T> - below[c]});
        }
        for (uint64_t bits = Word(sets[kColumnStart], w); bits != 0; bits &= bits - 1) {
            bottom[static_cast<int32_t>(w * 64) + __builtin_ctzll(bits) + 1] = r;
        }
        for (uint64_t bits = Word(sets[kRowRunStart], w); bits != 0; bits &= bits - 1) {
            const int32_t c = static_cast<int32_t>(w * 64) + __builtin_ctzll(bits) + 1;
            const int32_t end = NextBit(sets[kRunStart], c, inner) + 1;
            runs.push_back(HoleFillRun{line + c, end - c, kNear<T> - row[c]});
        }
    }
    if (touching) {
        // Lone pixels of the same pass touching diagonally: rare, found again one at a time.
        for (int32_t c = 1; c < cols - 1; ++c) {
            if (lone[c] != 0 && ((lone_below[c - 1] != 0 && below[c - 1] == row[c]) || (lone_below[c + 1] != 0 && below[c + 1] == row[c]))) {
                scratch.deferred[static_cast<size_t>(kNear<T> - row[c])] = 1;
            }
        }
    }
    return true;
}

// The vertical runs still open after the top inner row: they end there.
template <typename T>
void EndColumns(const T* row, int32_t cols, HoleFillScratch& scratch) {
    const T* lone = reinterpret_cast<const T*>(scratch.lone.data()) + LoneStride(cols);  // row 1's
    for (int32_t c = 1; c < cols - 1; ++c) {
        if (lone[c] != 0) scratch.runs.push_back(HoleFillRun{cols + c, -scratch.open[static_cast<size_t>(c)], kNear<T> - row[c]});
    }
}

// The distance sweeps in closeness of type T over `distance` (rows x cols), grouping each row's pixels
// into runs as the upward sweep finishes it (see Sweep for how it ends).
template <typename T>
Sweep SweepAndGroup(const uint16_t* image, T* distance, int32_t rows, int32_t cols, HoleFillScratch& scratch, bool seed_rows,
                    uint16_t& largest, bool& seeded) {
    for (int32_t r = 0; r < rows; ++r) {
        T* row = distance + static_cast<size_t>(r) * cols;
        if (seed_rows) SeedRow(image + static_cast<size_t>(r) * cols, row, cols, largest, seeded);
        if (r > 0) StepFromRow(row, row - cols, cols);
        RunAlongRow(row, cols, true);
    }
    if (seed_rows && (largest > kMaxLevel || !seeded)) return Sweep::kGrouped;  // the caller decides
    const ScratchSizes sizes = SizesFor(rows, cols);
    scratch.runs.clear();
    FitZeroed(scratch.open, static_cast<size_t>(cols));
    FitZeroed(scratch.lone, AtMost(sizes.lone));
    KeptBuffer_Fit(scratch.bits, AtMost(sizes.bits));
    FitZeroed(scratch.deferred, AtMost(sizes.deferred));
    // 8-bit distances fill half of `snapshot`: the rest is room for vectors past the last row.
    const bool room_after = sizeof(T) == 1 && static_cast<size_t>(rows) * cols >= 128;
    for (int32_t r = rows - 1; r >= 0; --r) {
        T* row = distance + static_cast<size_t>(r) * cols;
        if (r < rows - 1) StepFromRow(row, row + cols, cols);
        RunAlongRow(row, cols, false);
        if (r > 0 && r < rows - 1) {
            // A row ends at most one vertical run per column and starts at most one row run per
            // two columns.
            RoomForRuns(scratch, 2 * static_cast<size_t>(cols), AtMost(sizes.runs));
            if (!GroupRow(row, row + cols, r, cols, room_after, scratch)) return Sweep::kBeyondReach;
            if (scratch.runs.size() > sizes.most_runs) return Sweep::kBeyondShare;
        }
    }
    RoomForRuns(scratch, static_cast<size_t>(cols), AtMost(sizes.runs));
    EndColumns(distance + cols, cols, scratch);
    return Sweep::kGrouped;
}

Sweep SweepAndGroup8(const uint16_t* image, uint8_t* distance, int32_t rows, int32_t cols, HoleFillScratch& scratch,
                     uint16_t& largest, bool& seeded) {
    return SweepAndGroup<uint8_t>(image, distance, rows, cols, scratch, true, largest, seeded);
}

Sweep SweepAndGroup16(const uint16_t* image, uint16_t* distance, int32_t rows, int32_t cols, HoleFillScratch& scratch) {
    uint16_t largest = 0;
    bool seeded = true;
    const int32_t npix = rows * cols;
    for (int32_t p = 0; p < npix; ++p) distance[p] = image[p] == kHoleMarker ? 0 : kNear<uint16_t>;
    return SweepAndGroup<uint16_t>(image, distance, rows, cols, scratch, false, largest, seeded);
}

// The truncated means of the known neighbours from a vector of neighbour sums.
template <class D>
hn::Vec<D> MeanOfKnown(D d, hn::Vec<D> sum) {
    const auto known = hn::And(sum, hn::Set(d, kKnownSumMask));
    const auto marked = hn::ShiftRight<kMarkedCountShift>(sum);
#if HWY_TARGET == HWY_SCALAR
    const auto factor = hn::Set(d, kHalfReciprocal[hn::GetLane(marked) & 7u]);
#else
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the byte lookup below assumes little-endian lanes");
    // The factor of each lane's marked count u from the table's bytes 2u and 2u + 1.
    const hn::Repartition<uint8_t, D> d8;
    alignas(16) static constexpr uint8_t kTableBytes[16] = {
        kHalfReciprocal[0] & 0xFF, kHalfReciprocal[0] >> 8, kHalfReciprocal[1] & 0xFF, kHalfReciprocal[1] >> 8,
        kHalfReciprocal[2] & 0xFF, kHalfReciprocal[2] >> 8, kHalfReciprocal[3] & 0xFF, kHalfReciprocal[3] >> 8,
        kHalfReciprocal[4] & 0xFF, kHalfReciprocal[4] >> 8, kHalfReciprocal[5] & 0xFF, kHalfReciprocal[5] >> 8,
        kHalfReciprocal[6] & 0xFF, kHalfReciprocal[6] >> 8, kHalfReciprocal[7] & 0xFF, kHalfReciprocal[7] >> 8};
    const auto index = hn::Add(hn::Mul(marked, hn::Set(d, uint16_t{0x0202})), hn::Set(d, uint16_t{0x0100}));
    const auto factor = hn::BitCast(d, hn::TableLookupBytes(hn::LoadDup128(d8, kTableBytes), hn::BitCast(d8, index)));
#endif
    return hn::MulHigh(hn::Add(known, known), factor);
}

// The new values of the row run of `count` pixels from `first` on, into `out` (which has room for a
// vector beyond them).
void RowRunValues(const uint16_t* image, size_t npix, int32_t first, int32_t count, int32_t cols, uint16_t* out) {
    const hn::ScalableTag<uint16_t> d;
    const int32_t lanes = static_cast<int32_t>(hn::Lanes(d));
    for (int32_t start = 0; start < count; start += lanes) {
        // The last vector of a run overlaps the one before rather than reading past the run; a run
        // shorter than a vector reads past it, unless that would leave the image.
        if (start + lanes > count && count >= lanes) start = count - lanes;
        const uint16_t* p = image + first + start;
        if (static_cast<size_t>(first + start + lanes + cols) >= npix) {
            for (int32_t k = start; k < count; ++k) {
                const uint16_t* q = image + first + k;
                out[k] = MeanByReciprocal(static_cast<uint16_t>(q[-cols - 1] + q[-cols] + q[-cols + 1] + q[-1] + q[1] + q[cols - 1] +
                                                                q[cols] + q[cols + 1]));
            }
            return;
        }
        const auto above = hn::Add(hn::Add(hn::LoadU(d, p - cols - 1), hn::LoadU(d, p - cols)), hn::LoadU(d, p - cols + 1));
        const auto below = hn::Add(hn::Add(hn::LoadU(d, p + cols - 1), hn::LoadU(d, p + cols)), hn::LoadU(d, p + cols + 1));
        const auto sum = hn::Add(hn::Add(above, below), hn::Add(hn::LoadU(d, p - 1), hn::LoadU(d, p + 1)));
        hn::StoreU(MeanOfKnown(d, sum), d, out + start);
    }
}

// The new values of a vertical run (`count` pixels down the column from `first`), into out[k x
// out_stride]: each row's sum is the three-pixel sums of its row and the rows above and below, less
// the pixel itself (the marker). Each three-pixel sum is read before any value of its row is written,
// so `out` may be the run's own pixels.
void VerticalRunValues(const uint16_t* image, int32_t first, int32_t count, int32_t cols, uint16_t* out, int32_t out_stride) {
    const auto three = [image](int32_t q) { return static_cast<uint16_t>(image[q - 1] + image[q] + image[q + 1]); };
    uint16_t above = three(first - cols);
    uint16_t here = three(first);
    for (int32_t k = 0, q = first; k < count; ++k, q += cols) {
        const uint16_t below = three(q + cols);
        out[static_cast<size_t>(k) * out_stride] = MeanByReciprocal(static_cast<uint16_t>(above + here + below - kHoleMarker));
        above = here;
        here = below;
    }
}

// How far ahead in a pass's vertical runs their pixels are asked for.
constexpr int32_t kPrefetchRuns = 4;

// Fills the runs pass by pass (see FillHoles_Distance for the order within a pass). scratch.values
// holds the values of the largest pass (PassValues) and a vector's room.
void FillRuns(uint16_t* image, size_t npix, int32_t cols, int32_t passes, HoleFillScratch& scratch) {
    const hn::ScalableTag<uint16_t> d;
    static_assert(hn::MaxLanes(d) <= kVectorRoom, "the new values keep room for one vector");
    const HoleFillRun* sorted = scratch.sorted.data();
    for (int32_t pass = 1; pass <= passes; ++pass) {
        const int32_t row_begin = scratch.first[2 * static_cast<size_t>(pass)];
        const int32_t vertical_begin = scratch.first[2 * static_cast<size_t>(pass) + 1];
        const int32_t end = scratch.first[2 * static_cast<size_t>(pass) + 2];
        const bool deferred = scratch.deferred[static_cast<size_t>(pass)] != 0;
        uint16_t* values = scratch.values.data();
        size_t filled = 0;
        for (int32_t k = row_begin; k < vertical_begin; ++k) {
            RowRunValues(image, npix, sorted[k].first, sorted[k].count, cols, values + filled);
            filled += static_cast<size_t>(sorted[k].count);
        }
        for (int32_t k = vertical_begin; k < end; ++k) {
            // A vertical run touches a new cache line every row, and the runs of a pass lie all over
            // the image: the lines of a run a few places ahead are asked for while this one is summed.
            if (k + kPrefetchRuns < end) {
                const HoleFillRun& ahead = sorted[k + kPrefetchRuns];
                for (int32_t i = -1; i <= -ahead.count; ++i) hwy::Prefetch(image + ahead.first + static_cast<ptrdiff_t>(i) * cols - 1);
            }
            const int32_t first = sorted[k].first, count = -sorted[k].count;
            if (deferred) {
                VerticalRunValues(image, first, count, cols, values + filled, 1);
                filled += static_cast<size_t>(count);
            } else {
                VerticalRunValues(image, first, count, cols, image + first, cols);
            }
        }
        filled = 0;
        for (int32_t k = row_begin; k < (deferred ? end : vertical_begin); ++k) {
            const int32_t first = sorted[k].first, count = sorted[k].count;
            if (count > 0) {
                std::memcpy(image + first, values + filled, sizeof(uint16_t) * static_cast<size_t>(count));
                filled += static_cast<size_t>(count);
            } else {
                for (int32_t i = 0; i < -count; ++i) image[first + i * cols] = values[filled++];
            }
        }
    }
}

}  // namespace
}  // namespace HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
HWY_EXPORT(SweepAndGroup8);
HWY_EXPORT(SweepAndGroup16);
HWY_EXPORT(FillRuns);

namespace {

constexpr bool MeanByReciprocalIsExact() {
    for (uint32_t sum = 0; sum < kAllNeighboursMarked; ++sum) {
        if (calstars2fp_hole_fill::MeanByReciprocal(sum) != (sum & kKnownSumMask) / (8 - (sum >> kMarkedCountShift))) return false;
    }
    return true;
}
static_assert(MeanByReciprocalIsExact(), "the reciprocal table must give the truncated mean of every neighbour sum");

using calstars2fp_hole_fill::Sweep;

bool HasInnerPixels(int32_t rows, int32_t cols) { return rows >= 3 && cols >= 3; }

// The list's entries, for both forms that take it: one per inner pixel (each marked one at most once).
uint64_t InnerPixels(int32_t rows, int32_t cols) { return static_cast<uint64_t>(rows - 2) * static_cast<uint64_t>(cols - 2); }

// Sides whose distances could go beyond 16-bit closeness, which the fast form keeps.
bool BeyondDistances(int32_t rows, int32_t cols) {
    return rows >= kHoleFillDistanceSideLimit || cols >= kHoleFillDistanceSideLimit;
}

// True when every pixel holds a level below 256 or the marker: then a neighbour sum of 16384 means
// eight marked neighbours, and a pixel is filled in pass k exactly when its nearest seeded pixel is k
// steps away.
bool LevelsCountExactly(const std::vector<uint16_t>& image) {
    for (const uint16_t value : image) {
        if (value > kMaxLevel && value != kHoleMarker) return false;
    }
    return true;
}

// The fast form's share (runs, their sorted copy, a pass's values): freed before the layers form
// takes its list, as the list is before the fast form sweeps, so that the two are never held at
// once (FillHoles_Bytes counts the larger).
void FreeFastShare(HoleFillScratch& scratch) {
    KeptBuffer_Free(scratch.runs);
    KeptBuffer_Free(scratch.sorted);
    KeptBuffer_Free(scratch.values);
}

// The most values one pass of the sorted runs keeps in scratch.values before it writes them: its row
// runs' pixels, and its vertical runs' too where two of them touch diagonally.
uint64_t PassValues(const HoleFillScratch& scratch, int32_t passes) {
    uint64_t most = 0;
    for (int32_t pass = 1; pass <= passes; ++pass) {
        const size_t group = 2 * static_cast<size_t>(pass);
        const int32_t end = scratch.first[scratch.deferred[static_cast<size_t>(pass)] != 0 ? group + 2 : group + 1];
        uint64_t values = 0;
        for (int32_t k = scratch.first[group]; k < end; ++k) values += static_cast<uint64_t>(std::abs(scratch.sorted[k].count));
        most = std::max(most, values);
    }
    return most;
}

// States of FillHoles_Layers's map, kept in `snapshot`: an inner marked pixel no layer has reached
// yet, and one listed for the next layer. Any other entry is a pixel that is not waiting: a level, a
// border pixel, or (between the two halves of a layer) a listed pixel's new value.
constexpr uint16_t kWaiting = 0xFFFF;
constexpr uint16_t kListed = 0xFFFE;

uint16_t NeighbourSum(const uint16_t* image, int32_t p, int32_t cols) {
    return static_cast<uint16_t>(image[p - cols - 1] + image[p - cols] + image[p - cols + 1] + image[p - 1] + image[p + 1] +
                                 image[p + cols - 1] + image[p + cols] + image[p + cols + 1]);
}

uint16_t MeanOfKnown(uint16_t sum) { return static_cast<uint16_t>((sum & kKnownSumMask) / (8 - (sum >> kMarkedCountShift))); }

}  // namespace

void FillHoles_MemSetup(HoleFillScratch& scratch, int32_t rows, int32_t cols) {
    // Such images are always filled by the layers form: its list is taken with the file's buffers.
    if (HasInnerPixels(rows, cols) && BeyondDistances(rows, cols)) {
        FreeFastShare(scratch);
        KeptBuffer_Fit(scratch.fill_list, static_cast<size_t>(InnerPixels(rows, cols)));
    }
}

void FillHoles_MemFree(HoleFillScratch& scratch) { scratch = HoleFillScratch{}; }

uint64_t FillHoles_Bytes(const HoleFillScratch& held, int32_t rows, int32_t cols) {
    uint64_t list = KeptBuffer_Bytes(held.fill_list);
    uint64_t fast = KeptBuffer_Bytes(held.runs) + KeptBuffer_Bytes(held.sorted) + KeptBuffer_Bytes(held.values);
    uint64_t side = KeptBuffer_Bytes(held.first) + KeptBuffer_Bytes(held.open) + KeptBuffer_Bytes(held.lone) +
                    KeptBuffer_Bytes(held.bits) + KeptBuffer_Bytes(held.deferred);
    const bool both = list != 0 && fast != 0;
    if (HasInnerPixels(rows, cols)) {
        list = KeptBuffer_BytesAfter(held.fill_list, InnerPixels(rows, cols));
        if (!BeyondDistances(rows, cols)) {
            const calstars2fp_hole_fill::ScratchSizes sizes = calstars2fp_hole_fill::SizesFor(rows, cols);
            fast = KeptBuffer_BytesAfter(held.runs, sizes.runs) + KeptBuffer_BytesAfter(held.sorted, sizes.runs) +
                   KeptBuffer_BytesAfter(held.values, sizes.values);
            side = KeptBuffer_BytesAfter(held.first, sizes.first) + KeptBuffer_BytesAfter(held.open, sizes.open) +
                   KeptBuffer_BytesAfter(held.lone, sizes.lone) + KeptBuffer_BytesAfter(held.bits, sizes.bits) +
                   KeptBuffer_BytesAfter(held.deferred, sizes.deferred);
        }
    }
    // Both held only after FillHoles itself ran on a scratch the fast form had used.
    return side + (both ? list + fast : std::max(list, fast));
}

uint64_t FillHoles_Bytes(int32_t rows, int32_t cols) { return FillHoles_Bytes(HoleFillScratch{}, rows, cols); }

uint16_t FillHoles_MeanByReciprocal(uint16_t sum) { return calstars2fp_hole_fill::MeanByReciprocal(sum); }

void FillHoles(std::vector<uint16_t>& image, std::vector<uint16_t>& snapshot, HoleFillScratch& scratch, int32_t rows,
               int32_t cols) {
    if (!HasInnerPixels(rows, cols)) return;
    const size_t entries = static_cast<size_t>(InnerPixels(rows, cols));
    if (scratch.fill_list.size() < entries) KeptBuffer_Fit(scratch.fill_list, entries);
    int32_t* list = scratch.fill_list.data();
    int32_t listed = 0;
    for (int32_t r = 1; r < rows - 1; ++r) {
        for (int32_t c = 1; c < cols - 1; ++c) {
            const int32_t p = r * cols + c;
            if (image[p] == kHoleMarker) list[listed++] = p;
        }
    }
    const uint16_t* snap = snapshot.data();
    while (listed > 0) {
        std::copy(image.begin(), image.end(), snapshot.begin());
        int32_t kept = 0;
        for (int32_t k = 0; k < listed; ++k) {
            const int32_t p = list[k];
            const uint16_t sum = static_cast<uint16_t>(snap[p - cols - 1] + snap[p - cols] + snap[p - cols + 1] + snap[p - 1] +
                                                       snap[p + 1] + snap[p + cols - 1] + snap[p + cols] + snap[p + cols + 1]);
            if (sum == kAllNeighboursMarked) {
                list[kept++] = p;
            } else {
                image[p] = static_cast<uint16_t>((sum & kKnownSumMask) / (8 - (sum >> kMarkedCountShift)));
            }
        }
        // A pass that fills nothing can never fill anything (no level anywhere): the rest take 0.
        if (kept == listed) {
            for (int32_t k = 0; k < listed; ++k) image[list[k]] = 0;
            break;
        }
        listed = kept;
    }
}

void FillHoles_Layers(std::vector<uint16_t>& image, std::vector<uint16_t>& snapshot, HoleFillScratch& scratch, int32_t rows,
                      int32_t cols) {
    if (!HasInnerPixels(rows, cols)) return;
    // Levels of 256 and more make the neighbour counting inexact: only the pass-by-pass form gives
    // the literal result then.
    if (!LevelsCountExactly(image)) {
        FillHoles(image, snapshot, scratch, rows, cols);
        return;
    }
    FreeFastShare(scratch);
    const size_t entries = static_cast<size_t>(InnerPixels(rows, cols));
    if (scratch.fill_list.size() < entries) KeptBuffer_Fit(scratch.fill_list, entries);
    uint16_t* pixels = image.data();
    uint16_t* state = snapshot.data();
    int32_t* queue = scratch.fill_list.data();
    // Layer 1, pass 1: the inner marked pixels with a known neighbour (a sum other than 16384).
    std::fill(snapshot.begin(), snapshot.end(), 0);
    int32_t queued = 0;
    int32_t marked = 0;
    for (int32_t r = 1; r < rows - 1; ++r) {
        for (int32_t p = r * cols + 1; p < r * cols + cols - 1; ++p) {
            if (pixels[p] != kHoleMarker) continue;
            ++marked;
            if (NeighbourSum(pixels, p, cols) == kAllNeighboursMarked) {
                state[p] = kWaiting;
            } else {
                state[p] = kListed;
                queue[queued++] = p;
            }
        }
    }
    // Layer k + 1 is every waiting neighbour of layer k: the pixels that pass k + 1 of FillHoles
    // fills, since a pixel waits exactly while all its neighbours are marked.
    int32_t begin = 0;
    while (begin < queued) {
        const int32_t end = queued;
        // All values of a layer come from the image as it was before the layer, as in one pass.
        for (int32_t k = begin; k < end; ++k) state[queue[k]] = MeanOfKnown(NeighbourSum(pixels, queue[k], cols));
        for (int32_t k = begin; k < end; ++k) {
            const int32_t p = queue[k];
            pixels[p] = state[p];
            for (const int32_t q : {p - cols - 1, p - cols, p - cols + 1, p - 1, p + 1, p + cols - 1, p + cols, p + cols + 1}) {
                if (state[q] == kWaiting) {
                    state[q] = kListed;
                    queue[queued++] = q;
                }
            }
        }
        begin = end;
    }
    // Pixels that no layer reaches (there is no level anywhere) take 0, as when a pass fills nothing.
    if (queued < marked) {
        for (size_t p = 0; p < snapshot.size(); ++p) {
            if (state[p] == kWaiting) pixels[p] = 0;
        }
    }
}

void FillHoles_Distance(std::vector<uint16_t>& image, std::vector<uint16_t>& snapshot, HoleFillScratch& scratch,
                        int32_t rows, int32_t cols) {
    if (!HasInnerPixels(rows, cols)) return;
    if (BeyondDistances(rows, cols)) {
        FillHoles_Layers(image, snapshot, scratch, rows, cols);
        return;
    }
    KeptBuffer_Free(scratch.fill_list);
    uint16_t* pixels = image.data();
    // The distances through the whole image equal those through inner pixels only: from a seeded
    // border pixel the first step towards any inner pixel lands on an inner pixel, and the inner
    // pixels form a rectangle. So every inner pixel is reached, and its distance is its pass.
    uint16_t largest = 0;  // the largest level
    bool seeded = false;
    Sweep sweep = HWY_DYNAMIC_DISPATCH(SweepAndGroup8)(pixels, reinterpret_cast<uint8_t*>(snapshot.data()), rows, cols,
                                                       scratch, largest, seeded);
    // Levels of 256 and more make the neighbour counting inexact: the pass-by-pass form then.
    if (largest > kMaxLevel) {
        FillHoles(image, snapshot, scratch, rows, cols);
        return;
    }
    if (!seeded) {
        // No level anywhere: the first pass would fill nothing, and every inner pixel takes 0.
        for (int32_t r = 1; r < rows - 1; ++r) std::fill(pixels + r * cols + 1, pixels + r * cols + cols - 1, 0);
        return;
    }
    // With both sides below 65535 every distance fits 16 bits.
    if (sweep == Sweep::kBeyondReach) sweep = HWY_DYNAMIC_DISPATCH(SweepAndGroup16)(pixels, snapshot.data(), rows, cols, scratch);
    if (sweep == Sweep::kBeyondShare) {
        FillHoles_Layers(image, snapshot, scratch, rows, cols);
        return;
    }
    // The runs sorted by pass, each pass's row runs before its vertical runs (a counting sort).
    int32_t passes = 0;
    for (const HoleFillRun& run : scratch.runs) passes = std::max(passes, run.pass);
    calstars2fp_hole_fill::FitZeroed(scratch.first, 2 * static_cast<size_t>(passes) + 3);
    for (const HoleFillRun& run : scratch.runs) ++scratch.first[2 * static_cast<size_t>(run.pass) + (run.count < 0 ? 1 : 0) + 1];
    for (size_t k = 1; k < scratch.first.size(); ++k) scratch.first[k] += scratch.first[k - 1];
    KeptBuffer_Fit(scratch.sorted, scratch.runs.size());
    {
        std::vector<int32_t>& next = scratch.open;  // the columns' runs are no longer needed
        KeptBuffer_Fit(next, scratch.first.size());
        std::copy(scratch.first.begin(), scratch.first.end(), next.begin());
        for (const HoleFillRun& run : scratch.runs) {
            scratch.sorted[static_cast<size_t>(next[2 * static_cast<size_t>(run.pass) + (run.count < 0 ? 1 : 0)]++)] = run;
        }
    }
    const uint64_t values = PassValues(scratch, passes);
    if (values > calstars2fp_hole_fill::SizesFor(rows, cols).most_values) {
        FillHoles_Layers(image, snapshot, scratch, rows, cols);
        return;
    }
    const size_t room = static_cast<size_t>(values) + calstars2fp_hole_fill::kVectorRoom;
    if (scratch.values.size() < room) KeptBuffer_Fit(scratch.values, room);
    HWY_DYNAMIC_DISPATCH(FillRuns)(pixels, image.size(), cols, passes, scratch);
}

void CompleteBorder(std::vector<uint16_t>& image, int32_t rows, int32_t cols) {
    const size_t last_row = static_cast<size_t>(rows - 1) * cols;
    const size_t inner_last_row = static_cast<size_t>(rows - 2) * cols;
    for (int32_t c = 0; c < cols; ++c) {
        image[c] = image[cols + c];
        image[last_row + (cols - 1 - c)] = image[inner_last_row + (cols - 1 - c)];
    }
    for (int32_t r = 0; r < rows; ++r) {
        const size_t line = static_cast<size_t>(r) * cols;
        image[line] = image[line + 1];
        image[line + cols - 1] = image[line + cols - 2];
    }
}
#endif  // HWY_ONCE
