#include "reconstitution/plane_fill.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "reconstitution/plane_fill.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#ifndef CALSTARS2FP_PLANE_FILL_SHARED
#define CALSTARS2FP_PLANE_FILL_SHARED
namespace calstars2fp_plane_fill {

// The frame indices are drawn in kPlaneLanes interleaved lanes: lane j draws the values of pixels
// j, j + kPlaneLanes, j + 2 kPlaneLanes, ..., each lane stepping its own state by the map of
// kPlaneLanes draws, which is again affine.
constexpr int32_t kPlaneLanes = 16;

// trunc(r x 255.0 / 32767.0) in integers: 255 r / 32767 is never within 1 / 32767 of an integer
// from below (255 and 32767 are coprime), far beyond the double's rounding, so the truncated double
// quotient is the integer quotient floor(t / 32767) of t = 255 r; and for t < 2^23,
// (t + (t >> 15) + 1) >> 15 is that quotient (t = 32767 q + m: the sum is 32768 q plus m + 1 or m,
// below 32768).
inline uint32_t FrameIndexOf(uint32_t state) {
    const uint32_t r = (state >> 16) & 0x7FFFu;
    const uint32_t t = (r << 8) - r;
    return (t + (t >> 15) + 1) >> 15;
}

}  // namespace calstars2fp_plane_fill
#endif  // CALSTARS2FP_PLANE_FILL_SHARED

HWY_BEFORE_NAMESPACE();
namespace HWY_NAMESPACE {
namespace {
namespace hn = hwy::HWY_NAMESPACE;
using namespace calstars2fp_plane_fill;

// The levels and square roots of FillPlanes_Fast, a vector of 16-bit pixels at a time, written
// straight into their planes; returns where it stopped (the pixels after it go one by one).
size_t FillLevelLanes(const uint16_t* background, const uint16_t* stars, uint8_t* peak, uint8_t* mean, uint8_t* deviation,
                      size_t npix) {
#if HWY_TARGET == HWY_SCALAR
    (void)background, (void)stars, (void)peak, (void)mean, (void)deviation, (void)npix;
    return 0;  // one lane: the plain loop of FillPlanes_Fast does the same
#else
    const hn::ScalableTag<uint16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::RebindToSigned<decltype(d16)> di16;
    const size_t lanes = hn::Lanes(d16);
    const auto top = hn::Set(d16, static_cast<uint16_t>(kMaxLevel));
    size_t i = 0;
    for (; i + lanes <= npix; i += lanes) {
        // The 16-bit sum wraps as the literal one does, then is clipped to 255.
        const auto v = hn::Min(hn::Add(hn::LoadU(d16, background + i), hn::LoadU(d16, stars + i)), top);
        const auto level = hn::DemoteTo(d8, hn::BitCast(di16, v));
        hn::StoreU(level, d8, mean + i);
        hn::StoreU(level, d8, peak + i);
        // trunc(sqrt(v)) for v of 0..255, bit by bit from the top: the largest r of 0..15 with
        // r^2 <= v.
        auto root = hn::Zero(d16);
        for (const uint16_t bit : {8, 4, 2, 1}) {
            const auto trial = hn::Add(root, hn::Set(d16, bit));
            root = hn::IfThenElse(hn::Gt(hn::Mul(trial, trial), v), root, trial);
        }
        hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, root)), d8, deviation + i);
    }
    return i;
#endif
}

// The frame indices of FillPlanes_Fast: `blocks` blocks of kPlaneLanes pixels, lane j of `lanes`
// holding the state after drawing pixel j of the first block; afterwards the state after the last
// block's pixel j.
void FillFrameIndexLanes(uint8_t* frame_index, uint32_t* lanes, uint32_t multiplier, uint32_t increment, int32_t blocks) {
    if (blocks == 0) return;
    const hn::CappedTag<uint32_t, kPlaneLanes> d;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int32_t step = static_cast<int32_t>(hn::Lanes(d));
    const auto times = hn::Set(d, multiplier);
    const auto plus = hn::Set(d, increment);
    // The states stay in this array, which nothing else can point into, so that the frame indices'
    // byte stores do not make them be read again.
    HWY_ALIGN uint32_t state[kPlaneLanes];
    std::memcpy(state, lanes, sizeof state);
    for (int32_t block = 0; block < blocks; ++block) {
        uint8_t* out = frame_index + static_cast<size_t>(block) * kPlaneLanes;
        for (int32_t j = 0; j < kPlaneLanes; j += step) {
            const auto now = hn::Load(d, state + j);
            const auto r = hn::And(hn::ShiftRight<16>(now), hn::Set(d, 0x7FFFu));
            const auto t = hn::Sub(hn::ShiftLeft<8>(r), r);
            const auto index = hn::ShiftRight<15>(hn::Add(hn::Add(t, hn::ShiftRight<15>(t)), hn::Set(d, 1u)));
            hn::StoreU(hn::U8FromU32(index), d8, out + j);
            // The last block's states stay: the generator goes on from the last lane's.
            if (block + 1 < blocks) hn::Store(hn::Add(hn::Mul(now, times), plus), d, state + j);
        }
    }
    std::memcpy(lanes, state, sizeof state);
}

}  // namespace
}  // namespace HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
HWY_EXPORT(FillLevelLanes);
HWY_EXPORT(FillFrameIndexLanes);

void FillPlanes(const std::vector<uint16_t>& background_image, const std::vector<uint16_t>& star_layer, PseudoRandom& generator,
                FourProduct& product, int32_t npix) {
    uint8_t* peak = FourProduct_Plane(product, kPeakValue);
    uint8_t* frame_index = FourProduct_Plane(product, kPeakFrameIndex);
    uint8_t* mean = FourProduct_Plane(product, kMeanValue);
    uint8_t* deviation = FourProduct_Plane(product, kStandardDeviation);
    for (int32_t p = 0; p < npix; ++p) {
        uint16_t v = static_cast<uint16_t>(background_image[p] + star_layer[p]);
        if (v > kMaxLevel) v = kMaxLevel;
        mean[p] = static_cast<uint8_t>(v);
        peak[p] = static_cast<uint8_t>(v);
        deviation[p] = static_cast<uint8_t>(static_cast<int32_t>(std::sqrt(static_cast<double>(v))));
        const int32_t r = PseudoRandom_Next(generator);
        frame_index[p] = static_cast<uint8_t>(static_cast<int32_t>(r * 255.0 / 32767.0));
    }
}

void FillPlanes_Fast(const std::vector<uint16_t>& background_image, const std::vector<uint16_t>& star_layer,
                     PseudoRandom& generator, FourProduct& product, int32_t npix) {
    using calstars2fp_plane_fill::kPlaneLanes;
    uint8_t* peak = FourProduct_Plane(product, kPeakValue);
    uint8_t* frame_index = FourProduct_Plane(product, kPeakFrameIndex);
    uint8_t* mean = FourProduct_Plane(product, kMeanValue);
    uint8_t* deviation = FourProduct_Plane(product, kStandardDeviation);
    const int32_t blocks = npix / kPlaneLanes;
    uint32_t lanes[kPlaneLanes];
    for (int32_t j = 0; j < kPlaneLanes; ++j) lanes[j] = PseudoRandom_Advance(generator, static_cast<uint64_t>(j) + 1).state;
    const uint32_t increment = PseudoRandom_Advance(PseudoRandom{0}, kPlaneLanes).state;
    const uint32_t multiplier = PseudoRandom_Advance(PseudoRandom{1}, kPlaneLanes).state - increment;
    const uint16_t* background = background_image.data();
    const uint16_t* stars = star_layer.data();
    const size_t pixels = static_cast<size_t>(npix);
    for (size_t p = HWY_DYNAMIC_DISPATCH(FillLevelLanes)(background, stars, peak, mean, deviation, pixels); p < pixels; ++p) {
        const uint16_t sum = static_cast<uint16_t>(background[p] + stars[p]);
        const uint8_t v = static_cast<uint8_t>(sum > kMaxLevel ? kMaxLevel : sum);
        uint8_t root = 0;
        while (root < 15 && (root + 1) * (root + 1) <= v) ++root;
        mean[p] = v;
        peak[p] = v;
        deviation[p] = root;
    }
    HWY_DYNAMIC_DISPATCH(FillFrameIndexLanes)(frame_index, lanes, multiplier, increment, blocks);
    int32_t p = 0;
    if (blocks > 0) {
        generator.state = lanes[kPlaneLanes - 1];
        p = blocks * kPlaneLanes;
    }
    for (; p < npix; ++p) {
        PseudoRandom_Next(generator);
        frame_index[p] = static_cast<uint8_t>(calstars2fp_plane_fill::FrameIndexOf(generator.state));
    }
}
#endif  // HWY_ONCE
