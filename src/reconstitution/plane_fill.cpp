#include "reconstitution/plane_fill.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

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
constexpr int32_t kPlaneChunk = 1024;  // pixels per round of the level and square-root loops

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
namespace calstars2fp {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace calstars2fp_plane_fill;

// The levels, square roots and frame indices of FillPlanes_Fast (see plane_fill.h).
void FillPlaneLanes(const uint16_t* background, const uint16_t* stars, uint8_t* peak, uint8_t* frame_index, uint8_t* mean,
                    uint8_t* deviation, int32_t npix, uint32_t* lanes, uint32_t multiplier, uint32_t increment, int32_t blocks) {
    // In chunks through local arrays, which nothing else can point into: the loops then vectorise.
    for (int32_t start = 0; start < npix; start += kPlaneChunk) {
        const int32_t count = std::min(kPlaneChunk, npix - start);
        uint8_t level[kPlaneChunk], root[kPlaneChunk];
        for (int32_t i = 0; i < count; ++i) {
            const uint16_t v = static_cast<uint16_t>(background[start + i] + stars[start + i]);
            level[i] = static_cast<uint8_t>(v > kMaxLevel ? kMaxLevel : v);
        }
        std::fill(level + count, level + kPlaneChunk, 0);  // the last chunk's unused part: whole-chunk loops
        // trunc(sqrt(v)) for v of 0..255: the number of k in 1..15 with k^2 <= v.
        // Sixteen rounds, the last one adding nothing (no byte exceeds 255): with fifteen, GCC 12
        // unrolls the rounds by two and leaves the odd one as a scalar loop.
        std::memset(root, 0, sizeof root);
        for (int32_t k = 1; k <= 16; ++k) {
            const uint8_t below = static_cast<uint8_t>(k == 16 ? 255 : k * k - 1);
            for (int32_t i = 0; i < kPlaneChunk; ++i) root[i] = static_cast<uint8_t>(root[i] + (level[i] > below ? 1 : 0));
        }
        std::memcpy(mean + start, level, static_cast<size_t>(count));
        std::memcpy(peak + start, level, static_cast<size_t>(count));
        std::memcpy(deviation + start, root, static_cast<size_t>(count));
    }
    if (blocks == 0) return;
    // The sixteen lanes a vector at a time, block after block: lane j holds the state after drawing
    // pixel j of the current block.
    const hn::CappedTag<uint32_t, kPlaneLanes> d;
    const hn::Rebind<uint8_t, decltype(d)> d8;
    const int32_t step = static_cast<int32_t>(hn::Lanes(d));
    const auto times = hn::Set(d, multiplier);
    const auto plus = hn::Set(d, increment);
    for (int32_t block = 0; block < blocks; ++block) {
        uint8_t* out = frame_index + static_cast<size_t>(block) * kPlaneLanes;
        for (int32_t j = 0; j < kPlaneLanes; j += step) {
            const auto state = hn::LoadU(d, lanes + j);
            const auto r = hn::And(hn::ShiftRight<16>(state), hn::Set(d, 0x7FFFu));
            const auto t = hn::Sub(hn::ShiftLeft<8>(r), r);
            const auto index = hn::ShiftRight<15>(hn::Add(hn::Add(t, hn::ShiftRight<15>(t)), hn::Set(d, 1u)));
            hn::StoreU(hn::U8FromU32(index), d8, out + j);
            // The last block's states stay: the generator goes on from the last lane's.
            if (block + 1 < blocks) hn::StoreU(hn::Add(hn::Mul(state, times), plus), d, lanes + j);
        }
    }
}

}  // namespace HWY_NAMESPACE
}  // namespace calstars2fp
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace calstars2fp {
HWY_EXPORT(FillPlaneLanes);
// Each dispatched to the best target this processor has (one call through a table).
template <typename... Arguments>
auto FillPlaneLanesBest(Arguments&&... arguments) {
    return HWY_DYNAMIC_DISPATCH(FillPlaneLanes)(std::forward<Arguments>(arguments)...);
}
}  // namespace calstars2fp

void FillPlanes(const ReconWorkBuffers& buffers, PseudoRandom& generator, FourProduct& product, int32_t npix) {
    uint8_t* peak = FourProduct_Plane(product, kPeakValue);
    uint8_t* frame_index = FourProduct_Plane(product, kPeakFrameIndex);
    uint8_t* mean = FourProduct_Plane(product, kMeanValue);
    uint8_t* deviation = FourProduct_Plane(product, kStandardDeviation);
    for (int32_t p = 0; p < npix; ++p) {
        uint16_t v = static_cast<uint16_t>(buffers.background_image[p] + buffers.star_layer[p]);
        if (v > kMaxLevel) v = kMaxLevel;
        mean[p] = static_cast<uint8_t>(v);
        peak[p] = static_cast<uint8_t>(v);
        deviation[p] = static_cast<uint8_t>(static_cast<int32_t>(std::sqrt(static_cast<double>(v))));
        const int32_t r = PseudoRandom_Next(generator);
        frame_index[p] = static_cast<uint8_t>(static_cast<int32_t>(r * 255.0 / 32767.0));
    }
}


void FillPlanes_Fast(const ReconWorkBuffers& buffers, PseudoRandom& generator, FourProduct& product, int32_t npix) {
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
    calstars2fp::FillPlaneLanesBest(buffers.background_image.data(), buffers.star_layer.data(), peak, frame_index, mean,
                                                      deviation, npix, lanes, multiplier, increment, blocks);
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
