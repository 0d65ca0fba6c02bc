// The hole fill's distance form before its runs and 8-bit sweeps: the benchmark's baseline for
// FillHoles_Distance. 16-bit distances with SSE2 sweeps, a list entry per lone pixel or row run, and
// the means as float divisions. Output identical to FillHoles'.
#include <algorithm>
#include <cstring>

#include "reconstitution/hole_fill.h"

#include "earlier_forms.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

uint16_t NeighbourSum(const uint16_t* image, int32_t p, int32_t cols) {
    return static_cast<uint16_t>(image[p - cols - 1] + image[p - cols] + image[p - cols + 1] + image[p - 1] + image[p + 1] +
                                 image[p + cols - 1] + image[p + cols] + image[p + cols + 1]);
}

// FillHoles_Distance keeps each pixel's pass (its chessboard distance to the nearest seeded pixel) in
// `snapshot` as a signed 16-bit number; kFar stands for "no seeded pixel reached yet" and stays
// representable after adding 1. Images with a side of kMaxDistanceSide or more would need larger
// distances.
constexpr int16_t kFar = 32000;
constexpr int32_t kMaxDistanceSide = 16384;

// (sum AND 2047) / (8 - (sum >> 11)) as a multiplication: for a known total K <= 2047 and a divisor d
// of 1..8, K x ceil(65536 / d) / 65536 truncates to K / d (the excess K / 65536 stays below 1 / d).
constexpr uint32_t kMeanReciprocal[9] = {8192, 9363, 10923, 13108, 16384, 21846, 32768, 65536, 0};

constexpr bool ReciprocalMeanIsExact() {
    for (uint32_t marked = 0; marked < 8; ++marked) {
        for (uint32_t known = 0; known <= kKnownSumMask; ++known) {
            if ((known * kMeanReciprocal[marked]) >> 16 != known / (8 - marked)) return false;
        }
    }
    return true;
}
static_assert(ReciprocalMeanIsExact(), "the reciprocal table must give the truncated mean of every neighbour sum");

uint16_t MeanOfKnownByReciprocal(uint16_t sum) {
    return static_cast<uint16_t>(((sum & kKnownSumMask) * kMeanReciprocal[sum >> kMarkedCountShift]) >> 16);
}

// The running minimum along a row of distances, d[c] = min(d[c], d[c - 1] + 1) from left to right
// (`forward`) or d[c] = min(d[c], d[c + 1] + 1) from right to left. With SSE2, eight pixels at a time:
// within a block d[i] = min over j <= i of (d[j] + i - j), a prefix minimum of d[j] - j in three
// shifted steps, then bounded by the block before it. Values stay within 16 bits: they start at most
// kFar and change by at most 8.
void RunningDistance(int16_t* row, int32_t cols, bool forward) {
    int32_t c = 0;
#if defined(__SSE2__)
    const __m128i up = _mm_setr_epi16(0, 1, 2, 3, 4, 5, 6, 7);
    const __m128i far = _mm_set1_epi16(kFar);
    if (forward) {
        // Lanes shifted in from below the block take kFar, so that they never win.
        const __m128i fill1 = _mm_setr_epi16(kFar, 0, 0, 0, 0, 0, 0, 0);
        const __m128i fill2 = _mm_setr_epi16(kFar, kFar, 0, 0, 0, 0, 0, 0);
        const __m128i fill4 = _mm_setr_epi16(kFar, kFar, kFar, kFar, 0, 0, 0, 0);
        const __m128i step = _mm_add_epi16(up, _mm_set1_epi16(1));  // from the previous block's last lane
        __m128i carry = far;                                         // that lane, in every lane
        for (; c + 8 <= cols; c += 8) {
            __m128i* at = reinterpret_cast<__m128i*>(row + c);
            __m128i u = _mm_sub_epi16(_mm_loadu_si128(at), up);
            u = _mm_min_epi16(u, _mm_or_si128(_mm_slli_si128(u, 2), fill1));
            u = _mm_min_epi16(u, _mm_or_si128(_mm_slli_si128(u, 4), fill2));
            u = _mm_min_epi16(u, _mm_or_si128(_mm_slli_si128(u, 8), fill4));
            const __m128i d = _mm_min_epi16(_mm_add_epi16(u, up), _mm_add_epi16(carry, step));
            _mm_storeu_si128(at, d);
            carry = _mm_unpackhi_epi64(_mm_shufflehi_epi16(d, 0xFF), _mm_shufflehi_epi16(d, 0xFF));
        }
    } else {
        const __m128i fill1 = _mm_setr_epi16(0, 0, 0, 0, 0, 0, 0, kFar);
        const __m128i fill2 = _mm_setr_epi16(0, 0, 0, 0, 0, 0, kFar, kFar);
        const __m128i fill4 = _mm_setr_epi16(0, 0, 0, 0, kFar, kFar, kFar, kFar);
        const __m128i step = _mm_sub_epi16(_mm_set1_epi16(8), up);  // to the next block's first lane
        __m128i carry = far;
        int32_t end = cols;
        for (; end - 8 >= 0; end -= 8) {
            __m128i* at = reinterpret_cast<__m128i*>(row + end - 8);
            __m128i u = _mm_add_epi16(_mm_loadu_si128(at), up);
            u = _mm_min_epi16(u, _mm_or_si128(_mm_srli_si128(u, 2), fill1));
            u = _mm_min_epi16(u, _mm_or_si128(_mm_srli_si128(u, 4), fill2));
            u = _mm_min_epi16(u, _mm_or_si128(_mm_srli_si128(u, 8), fill4));
            const __m128i d = _mm_min_epi16(_mm_sub_epi16(u, up), _mm_add_epi16(carry, step));
            _mm_storeu_si128(at, d);
            carry = _mm_unpacklo_epi64(_mm_shufflelo_epi16(d, 0x00), _mm_shufflelo_epi16(d, 0x00));
        }
        for (int32_t k = std::min(end, cols - 1) - 1; k >= 0; --k) row[k] = std::min<int16_t>(row[k], static_cast<int16_t>(row[k + 1] + 1));
        return;
    }
#endif
    if (forward) {
        for (c = std::max(c, 1); c < cols; ++c) row[c] = std::min<int16_t>(row[c], static_cast<int16_t>(row[c - 1] + 1));
    } else {
        for (c = cols - 2; c >= 0; --c) row[c] = std::min<int16_t>(row[c], static_cast<int16_t>(row[c + 1] + 1));
    }
}

// The end of the run of equal distances that starts at `c` (at most `limit`). Along the sides of
// the rings around a seeded window distances are flat: a run is counted and listed at once rather
// than pixel by pixel through the same counter.
int32_t RunEnd(const int16_t* row, int32_t c, int32_t limit) {
    int32_t end = c + 1;
    while (end < limit && row[end] == row[c]) ++end;
    return end;
}

// One row of the chessboard distance transform, forward or back: first the three pixels of the row
// already done (`done`, the row above going forward, below going back), independent per pixel and
// written so that the compiler can vectorise it, then the running minimum along the row.
void DistanceRow(int16_t* row, const int16_t* done, int32_t cols, bool forward) {
    if (done != nullptr) {
        row[0] = std::min<int16_t>(row[0], static_cast<int16_t>(std::min(done[0], done[1]) + 1));
        for (int32_t c = 1; c < cols - 1; ++c) {
            const int16_t nearest = std::min(std::min(done[c - 1], done[c]), done[c + 1]);
            row[c] = std::min<int16_t>(row[c], static_cast<int16_t>(nearest + 1));
        }
        row[cols - 1] = std::min<int16_t>(row[cols - 1], static_cast<int16_t>(std::min(done[cols - 2], done[cols - 1]) + 1));
    }
    RunningDistance(row, cols, forward);
}

// The new values of `length` consecutive pixels from `first` on, into `out`: MeanOfKnown of each
// neighbour sum. With SSE2 eight at a time (the last eight overlapping the ones before when the
// length is not a multiple), the mean as a float division: K / d for K <= 2047 and d of 1..8 is
// never within 1 / 8 of the next integer from below, so the truncated float quotient is exact.
void FillRun(const uint16_t* image, int32_t first, int32_t length, int32_t cols, uint16_t* out) {
    int32_t done = 0;
#if defined(__SSE2__)
    if (length >= 8) {
        const __m128i known_mask = _mm_set1_epi16(static_cast<int16_t>(kKnownSumMask));
        const __m128i eight = _mm_set1_epi16(8);
        const __m128i zero = _mm_setzero_si128();
        auto load = [](const uint16_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
        for (int32_t start = 0;; start += 8) {
            if (start > length - 8) start = length - 8;
            const uint16_t* p = image + first + start;
            const __m128i above = _mm_add_epi16(_mm_add_epi16(load(p - cols - 1), load(p - cols)), load(p - cols + 1));
            const __m128i below = _mm_add_epi16(_mm_add_epi16(load(p + cols - 1), load(p + cols)), load(p + cols + 1));
            const __m128i sum = _mm_add_epi16(_mm_add_epi16(above, below), _mm_add_epi16(load(p - 1), load(p + 1)));
            const __m128i known = _mm_and_si128(sum, known_mask);
            const __m128i divisor = _mm_sub_epi16(eight, _mm_srli_epi16(sum, kMarkedCountShift));
            const __m128 low = _mm_div_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(known, zero)), _mm_cvtepi32_ps(_mm_unpacklo_epi16(divisor, zero)));
            const __m128 high = _mm_div_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(known, zero)), _mm_cvtepi32_ps(_mm_unpackhi_epi16(divisor, zero)));
            const __m128i mean = _mm_packs_epi32(_mm_cvttps_epi32(low), _mm_cvttps_epi32(high));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + start), mean);
            if (start == length - 8) break;
        }
        done = length;
    }
#endif
    for (int32_t k = done; k < length; ++k) out[k] = MeanOfKnownByReciprocal(NeighbourSum(image, first + k, cols));
}

}  // namespace

void FillHoles_Distance16(ReconWorkBuffers& buffers, int32_t rows, int32_t cols) {
    uint16_t* image = buffers.background_image.data();
    int16_t* distance = reinterpret_cast<int16_t*>(buffers.snapshot.data());
    const size_t npix = buffers.background_image.size();
    // One look at every pixel: its starting distance, and whether any level is 256 or more (with
    // 0x800 taken as such a level when no pixel is seeded) or any pixel is seeded.
    uint16_t outside = 0;  // bit 15 set by a level of 256 or more
    uint16_t seeds = 0;    // nonzero once a pixel holds a level
    for (size_t p = 0; p < npix; ++p) {
        const uint16_t value = image[p];
        const uint16_t marked = value == kHoleMarker ? 0xFFFF : 0;
        distance[p] = static_cast<int16_t>(marked & static_cast<uint16_t>(kFar));
        outside |= static_cast<uint16_t>(~marked & static_cast<uint16_t>(kMaxLevel - value));
        seeds |= static_cast<uint16_t>(~marked);
    }
    // Levels of 256 and more make the neighbour counting inexact, and sides of 16384 and more would
    // overflow the 16-bit distances: the pass-by-pass form then.
    if ((outside & 0x8000u) != 0 || rows >= kMaxDistanceSide || cols >= kMaxDistanceSide) {
        FillHoles(buffers, rows, cols);
        return;
    }
    if (rows < 3 || cols < 3) return;  // no inner pixel: nothing to fill
    if (seeds == 0) {
        // No level anywhere: the first pass would fill nothing, and every inner pixel takes 0.
        for (int32_t r = 1; r < rows - 1; ++r) std::fill(image + r * cols + 1, image + r * cols + cols - 1, 0);
        return;
    }
    // The distance through the whole image equals the one through inner pixels only: from a seeded
    // border pixel the first step towards any inner pixel lands on an inner pixel, and the inner
    // pixels form a rectangle. So every inner pixel gets a finite distance, its pass. The pixels of
    // each pass are counted as their rows are finished.
    for (int32_t r = 0; r < rows; ++r) DistanceRow(distance + r * cols, r > 0 ? distance + (r - 1) * cols : nullptr, cols, true);
    std::vector<int32_t> first(static_cast<size_t>(std::max(rows, cols)) + 2, 0);
    int32_t passes = 0;
    for (int32_t r = rows - 1; r >= 0; --r) {
        int16_t* row = distance + r * cols;
        DistanceRow(row, r < rows - 1 ? row + cols : nullptr, cols, false);
        if (r == 0 || r == rows - 1) continue;
        for (int32_t c = 1, end; c < cols - 1; c = end) {
            end = RunEnd(row, c, cols - 1);
            first[static_cast<size_t>(row[c]) + 1] += end - c == 1 ? 1 : 2;
            passes = std::max<int32_t>(passes, row[c]);
        }
    }
    // The marked inner pixels sorted by pass (counting sort), in pixel order within a pass; the
    // seeded pixels (pass 0) are not listed. Each run of equal distance along a row is one entry: a
    // lone pixel is its index, a longer run minus its length followed by its first index (never more
    // entries than pixels).
    first[1] = 0;
    for (int32_t pass = 1; pass <= passes; ++pass) first[pass + 1] += first[pass];
    std::vector<int32_t> next(first.begin(), first.begin() + passes + 1);
    buffers.fill_list.resize(static_cast<size_t>(rows) * static_cast<size_t>(cols));  // the pipeline takes none
    int32_t* list = buffers.fill_list.data();
    for (int32_t r = 1; r < rows - 1; ++r) {
        const int16_t* row = distance + r * cols;
        for (int32_t c = 1, end; c < cols - 1; c = end) {
            end = RunEnd(row, c, cols - 1);
            const int32_t pass = row[c];
            if (pass == 0) continue;
            int32_t& at = next[pass];
            if (end - c == 1) {
                list[at++] = r * cols + c;
            } else {
                list[at++] = c - end;
                list[at++] = r * cols + c;
            }
        }
    }
    // Pass by pass: a pixel of pass k sees its neighbours of passes below k filled and the others
    // (those of pass k and beyond, and unseeded border pixels) still marked, as the literal pass does.
    // The sums of a pass are all taken before any of its pixels is written; the distances are no
    // longer needed, so `snapshot` holds the new values in between.
    uint16_t* values = buffers.snapshot.data();
    for (int32_t pass = 1; pass <= passes; ++pass) {
        const int32_t begin = first[pass], end = first[pass + 1];
        int32_t filled = 0;
        for (int32_t k = begin; k < end; ++k) {
            if (list[k] >= 0) {
                values[filled++] = MeanOfKnownByReciprocal(NeighbourSum(image, list[k], cols));
            } else {
                const int32_t length = -list[k];
                FillRun(image, list[++k], length, cols, values + filled);
                filled += length;
            }
        }
        filled = 0;
        for (int32_t k = begin; k < end; ++k) {
            if (list[k] >= 0) {
                image[list[k]] = values[filled++];
            } else {
                const int32_t length = -list[k];
                std::memcpy(image + list[++k], values + filled, sizeof(uint16_t) * static_cast<size_t>(length));
                filled += length;
            }
        }
    }
}
