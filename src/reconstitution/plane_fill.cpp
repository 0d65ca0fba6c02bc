#include "reconstitution/plane_fill.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

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

}  // namespace

void FillPlanes_Fast(const ReconWorkBuffers& buffers, PseudoRandom& generator, FourProduct& product, int32_t npix) {
    uint8_t* peak = FourProduct_Plane(product, kPeakValue);
    uint8_t* frame_index = FourProduct_Plane(product, kPeakFrameIndex);
    uint8_t* mean = FourProduct_Plane(product, kMeanValue);
    uint8_t* deviation = FourProduct_Plane(product, kStandardDeviation);
    const uint16_t* background = buffers.background_image.data();
    const uint16_t* stars = buffers.star_layer.data();
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
    const int32_t blocks = npix / kPlaneLanes;
    int32_t p = 0;
    if (blocks > 0) {
        // Lane j holds the state after drawing pixel j of the current block.
        uint32_t lanes[kPlaneLanes];
        for (int32_t j = 0; j < kPlaneLanes; ++j) lanes[j] = PseudoRandom_Advance(generator, static_cast<uint64_t>(j) + 1).state;
        const uint32_t increment = PseudoRandom_Advance(PseudoRandom{0}, kPlaneLanes).state;
        const uint32_t multiplier = PseudoRandom_Advance(PseudoRandom{1}, kPlaneLanes).state - increment;
#if defined(__SSE2__)
        // Four registers of four lanes; the 32-bit products from the even and the odd lanes' 64-bit ones.
        __m128i state[4];
        for (int v = 0; v < 4; ++v) state[v] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lanes + 4 * v));
        const __m128i times = _mm_set1_epi32(static_cast<int32_t>(multiplier));
        const __m128i plus = _mm_set1_epi32(static_cast<int32_t>(increment));
        const __m128i low15 = _mm_set1_epi32(0x7FFF);
        const __m128i one = _mm_set1_epi32(1);
        for (int32_t block = 0;;) {
            __m128i index[4];
            for (int v = 0; v < 4; ++v) {
                const __m128i r = _mm_and_si128(_mm_srli_epi32(state[v], 16), low15);
                const __m128i t = _mm_sub_epi32(_mm_slli_epi32(r, 8), r);
                index[v] = _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(t, _mm_srli_epi32(t, 15)), one), 15);
            }
            const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(index[0], index[1]), _mm_packs_epi32(index[2], index[3]));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(frame_index + static_cast<size_t>(block) * kPlaneLanes), bytes);
            if (++block == blocks) break;
            for (int v = 0; v < 4; ++v) {
                const __m128i even = _mm_mul_epu32(state[v], times);
                const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(state[v], 32), times);
                const __m128i product = _mm_unpacklo_epi32(_mm_shuffle_epi32(even, 0x08), _mm_shuffle_epi32(odd, 0x08));
                state[v] = _mm_add_epi32(product, plus);
            }
        }
        for (int v = 0; v < 4; ++v) _mm_storeu_si128(reinterpret_cast<__m128i*>(lanes + 4 * v), state[v]);
#else
        for (int32_t block = 0;;) {
            uint8_t* out = frame_index + static_cast<size_t>(block) * kPlaneLanes;
            for (int32_t j = 0; j < kPlaneLanes; ++j) out[j] = static_cast<uint8_t>(FrameIndexOf(lanes[j]));
            if (++block == blocks) break;
            for (int32_t j = 0; j < kPlaneLanes; ++j) lanes[j] = lanes[j] * multiplier + increment;
        }
#endif
        generator.state = lanes[kPlaneLanes - 1];
        p = blocks * kPlaneLanes;
    }
    for (; p < npix; ++p) {
        PseudoRandom_Next(generator);
        frame_index[p] = static_cast<uint8_t>(FrameIndexOf(generator.state));
    }
}
