#include "reconstitution/reconstitution.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "failure.h"
#include "reconstitution/gauss_star.h"
#include "reconstitution/heap_sort.h"
#include "reconstitution/median_filter.h"
#include "reconstitution/pseudo_random.h"

namespace {

// The part of a star's window that lies inside the image: image rows row_first..row_last and columns
// col_first..col_last, which are window elements (row_first - top, col_first - left) onwards.
struct WindowSpan {
    bool visible = false;
    int32_t top = 0;   // image row of window element row 0
    int32_t left = 0;  // image column of window element column 0
    int32_t row_first = 0, row_last = -1, col_first = 0, col_last = -1;
};

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

[[noreturn]] void RefuseRecord(const CalStarExtraction& extraction, const std::string& what) {
    Fail(WaitKind::None, Format(" CalStarReconsitution: %s in record %s of %s \n", what.c_str(), extraction.name.c_str(),
                                extraction.path.c_str()));
}

}  // namespace

void CalStarReconsitution_CheckRecord(const CalStarExtraction& extraction) {
    const int32_t window = extraction.window;
    if (window < 1 || window % 2 == 0 || window > std::min(extraction.rows, extraction.cols)) {
        RefuseRecord(extraction, Format("window %" PRId32 " is not an odd size from 1 to the image's smaller side", window));
    }
    for (int32_t i = 0; i < extraction.nstars; ++i) {
        if (!std::isfinite(extraction.row[i]) || !std::isfinite(extraction.col[i])) {
            RefuseRecord(extraction, Format("star %" PRId32 " has a coordinate that is not a finite number", i + 1));
        }
    }
}

void CalStarReconsitution_CheckImage(const CalStarExtraction& extraction) {
    if (extraction.rows < kMinImageSide || extraction.cols < kMinImageSide) {
        Fail(WaitKind::None, Format(" CalStarReconsitution_MemSetup: image of %" PRId32 " x %" PRId32
                                    " pixels in %s is below 15 x 15 \n",
                                    extraction.rows, extraction.cols, extraction.path.c_str()));
    }
}

namespace {

// Frees the image buffers (not the profile cache, not the generator).
void FreeImageBuffers(ReconWorkBuffers& buffers) {
    std::vector<uint16_t>().swap(buffers.star_layer);
    std::vector<uint16_t>().swap(buffers.background_image);
    std::vector<uint16_t>().swap(buffers.snapshot);
    std::vector<int32_t>().swap(buffers.fill_list);
    std::vector<int32_t>().swap(buffers.star_order);
}

}  // namespace

void CalStarReconsitution_MemSetup(ReconWorkBuffers& buffers, const CalStarExtraction& extraction) {
    CalStarReconsitution_CheckImage(extraction);
    // Freed first, so that a file of another size never holds both sizes at once.
    FreeImageBuffers(buffers);
    const size_t npix = static_cast<size_t>(extraction.rows) * static_cast<size_t>(extraction.cols);
    OnAllocationFailure(WaitKind::None, " Memory section 1 not allocated in CalStarReconsitution \n", [&] {
        buffers.star_layer.assign(npix, 0);
        buffers.background_image.assign(npix, 0);
        buffers.snapshot.assign(npix, 0);
        buffers.fill_list.assign(npix, 0);
        buffers.star_order.assign(static_cast<size_t>(extraction.nstars), 0);
    });
}

int32_t SeedBackground(ReconWorkBuffers& buffers, const CalStarExtraction& extraction) {
    std::fill(buffers.background_image.begin(), buffers.background_image.end(), kHoleMarker);
    const int32_t half = (extraction.window - 1) / 2;
    int32_t clamped = 0;
    for (int32_t i = 0; i < extraction.nstars; ++i) {
        const int32_t level = extraction.background_level[i];
        const uint16_t seed = static_cast<uint16_t>(std::clamp(level, 0, kMaxLevel));
        if (level < 0 || level > kMaxLevel) ++clamped;
        const WindowSpan span = StarWindowSpan(extraction.row[i], extraction.col[i], half, extraction.rows, extraction.cols);
        if (!span.visible) continue;
        for (int32_t r = span.row_first; r <= span.row_last; ++r) {
            uint16_t* line = &buffers.background_image[static_cast<size_t>(r) * extraction.cols];
            std::fill(line + span.col_first, line + span.col_last + 1, seed);
        }
    }
    return clamped;
}

void FillHoles(ReconWorkBuffers& buffers, int32_t rows, int32_t cols) {
    std::vector<uint16_t>& image = buffers.background_image;
    int32_t* list = buffers.fill_list.data();
    int32_t listed = 0;
    for (int32_t r = 1; r < rows - 1; ++r) {
        for (int32_t c = 1; c < cols - 1; ++c) {
            const int32_t p = r * cols + c;
            if (image[p] == kHoleMarker) list[listed++] = p;
        }
    }
    const uint16_t* snap = buffers.snapshot.data();
    while (listed > 0) {
        std::copy(image.begin(), image.end(), buffers.snapshot.begin());
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

namespace {

// States of FillHoles_Layers's map (kept in `snapshot`, which the fill does not otherwise need): an
// inner marked pixel not reached yet, and one already listed for the next layer. Any other entry is a
// level below 256 or a pixel that is never filled.
constexpr uint16_t kWaiting = 0xFFFF;
constexpr uint16_t kListed = 0xFFFE;

uint16_t NeighbourSum(const uint16_t* image, int32_t p, int32_t cols) {
    return static_cast<uint16_t>(image[p - cols - 1] + image[p - cols] + image[p - cols + 1] + image[p - 1] + image[p + 1] +
                                 image[p + cols - 1] + image[p + cols] + image[p + cols + 1]);
}

uint16_t MeanOfKnown(uint16_t sum) {
    return static_cast<uint16_t>((sum & kKnownSumMask) / (8 - (sum >> kMarkedCountShift)));
}

// True when every pixel holds a level below 256 or the marker: then a neighbour sum of 16384 means
// eight marked neighbours, and a pixel is filled in pass k exactly when its nearest seeded pixel is
// k steps away.
bool LevelsCountExactly(const std::vector<uint16_t>& image) {
    for (const uint16_t value : image) {
        if (value > kMaxLevel && value != kHoleMarker) return false;
    }
    return true;
}

}  // namespace

void FillHoles_Layers(ReconWorkBuffers& buffers, int32_t rows, int32_t cols) {
    // Levels of 256 and more make the neighbour counting inexact; only the pass-by-pass form then
    // gives the literal result.
    if (!LevelsCountExactly(buffers.background_image)) {
        FillHoles(buffers, rows, cols);
        return;
    }
    uint16_t* image = buffers.background_image.data();
    uint16_t* state = buffers.snapshot.data();
    int32_t* queue = buffers.fill_list.data();
    // Layer 1: the inner marked pixels that have a known neighbour (a sum other than 16384).
    std::fill(buffers.snapshot.begin(), buffers.snapshot.end(), 0);
    int32_t queued = 0;
    int32_t marked = 0;
    for (int32_t r = 1; r < rows - 1; ++r) {
        for (int32_t p = r * cols + 1; p < r * cols + cols - 1; ++p) {
            if (image[p] != kHoleMarker) continue;
            ++marked;
            if (NeighbourSum(image, p, cols) == kAllNeighboursMarked) {
                state[p] = kWaiting;
            } else {
                state[p] = kListed;
                queue[queued++] = p;
            }
        }
    }
    int32_t begin = 0;
    while (begin < queued) {
        const int32_t end = queued;
        // All values of a layer come from the image as it was before the layer, as one pass does.
        for (int32_t k = begin; k < end; ++k) state[queue[k]] = MeanOfKnown(NeighbourSum(image, queue[k], cols));
        for (int32_t k = begin; k < end; ++k) {
            const int32_t p = queue[k];
            image[p] = state[p];
            for (const int32_t q : {p - cols - 1, p - cols, p - cols + 1, p - 1, p + 1, p + cols - 1, p + cols, p + cols + 1}) {
                if (state[q] == kWaiting) {
                    state[q] = kListed;
                    queue[queued++] = q;
                }
            }
        }
        begin = end;
    }
    // Pixels that no seeded pixel reaches take 0, as when a pass fills nothing.
    if (queued < marked) {
        for (size_t p = 0; p < buffers.snapshot.size(); ++p) {
            if (state[p] == kWaiting) image[p] = 0;
        }
    }
}

namespace {

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

void FillHoles_Distance(ReconWorkBuffers& buffers, int32_t rows, int32_t cols) {
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

void BuildDiscMask(std::vector<float>& disc_mask, int32_t window) {
    const int32_t half = (window - 1) / 2;
    size_t k = 0;
    for (int32_t i = -half; i <= half; ++i) {
        for (int32_t j = -half; j <= half; ++j) disc_mask[k++] = (i * i + j * j < half * (half + 1)) ? 1.0f : 0.0f;
    }
}

namespace {

// `profile` (half, row, col, sigma, kernel) fills the kernel of one star.
template <typename ProfileFunction>
void DrawStarsWith(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, ProfileFunction profile) {
    std::fill(buffers.star_layer.begin(), buffers.star_layer.end(), 0);
    HeapSortIndices(static_cast<uint32_t>(extraction.nstars), buffers.star_order.data(), extraction.intensity.data());
    const int32_t window = extraction.window;
    const int32_t half = (window - 1) / 2;
    const int32_t area = window * window;
    float* kernel = buffers.profile_kernel.data();
    const float* mask = buffers.disc_mask.data();
    for (int32_t k = 0; k < extraction.nstars; ++k) {
        const int32_t s = buffers.star_order[k];
        const WindowSpan span = StarWindowSpan(extraction.row[s], extraction.col[s], half, extraction.rows, extraction.cols);
        if (!span.visible) continue;  // draws nothing and the kernel would go unused
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
            uint16_t* line = &buffers.star_layer[static_cast<size_t>(r) * extraction.cols];
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
}

}  // namespace

void DrawStars(ReconWorkBuffers& buffers, const CalStarExtraction& extraction) {
    DrawStarsWith(buffers, extraction, GaussStar);
}

// The profiles depend only on (half, sigma, sub-sample offsets), and GaussStar_Fast gives GaussStar's
// bits for each of them, so the drawing is the same whichever builds the kernel.
void DrawStars_Fast(ReconWorkBuffers& buffers, const CalStarExtraction& extraction) {
    GaussStarFastCache& cache = buffers.profiles;
    DrawStarsWith(buffers, extraction, [&cache](int32_t half, float row, float col, float sigma, float* kernel) {
        GaussStar_Fast(cache, half, row, col, sigma, kernel);
    });
}

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

// Every value a plane can take, computed once with the plane fill's own expressions: the truncated
// square root of 0..255 and the frame index of each random value 0..32767.
struct PlaneTables {
    uint8_t deviation[kMaxLevel + 1];
    uint8_t frame_index[kRandomMax + 1];
    PlaneTables() {
        for (int32_t v = 0; v <= kMaxLevel; ++v) {
            deviation[v] = static_cast<uint8_t>(static_cast<int32_t>(std::sqrt(static_cast<double>(v))));
        }
        for (int32_t r = 0; r <= kRandomMax; ++r) {
            frame_index[r] = static_cast<uint8_t>(static_cast<int32_t>(r * 255.0 / 32767.0));
        }
    }
};

}  // namespace

void FillPlanes_Tables(const ReconWorkBuffers& buffers, PseudoRandom& generator, FourProduct& product, int32_t npix) {
    static const PlaneTables tables;
    uint8_t* peak = FourProduct_Plane(product, kPeakValue);
    uint8_t* frame_index = FourProduct_Plane(product, kPeakFrameIndex);
    uint8_t* mean = FourProduct_Plane(product, kMeanValue);
    uint8_t* deviation = FourProduct_Plane(product, kStandardDeviation);
    const uint16_t* background = buffers.background_image.data();
    const uint16_t* stars = buffers.star_layer.data();
    for (int32_t p = 0; p < npix; ++p) {
        uint16_t v = static_cast<uint16_t>(background[p] + stars[p]);
        if (v > kMaxLevel) v = kMaxLevel;
        mean[p] = static_cast<uint8_t>(v);
        peak[p] = static_cast<uint8_t>(v);
        deviation[p] = tables.deviation[v];
    }
    for (int32_t p = 0; p < npix; ++p) frame_index[p] = tables.frame_index[PseudoRandom_Next(generator)];
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

namespace {

enum class Stages { kFast, kReference };

constexpr const char* kSection2Failure = " Memory section 2 not allocated in CalStarReconsitution \n";

void ReconstituteFrame(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product, Stages stages);

void Reconstitute(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product, Stages stages) {
    buffers.warnings.clear();
    CalStarReconsitution_CheckRecord(extraction);
    const size_t area = static_cast<size_t>(extraction.window) * static_cast<size_t>(extraction.window);
    OnAllocationFailure(WaitKind::None, kSection2Failure, [&] {
        buffers.disc_mask.assign(area, 0.0f);
        buffers.profile_kernel.assign(area, 0.0f);
    });
    // The frame's stages allocate little of their own (the profiles report theirs as GaussStar, the
    // filter falls back to its allocation-free form); whatever else fails to allocate is the frame's.
    OnAllocationFailure(WaitKind::None, kSection2Failure, [&] { ReconstituteFrame(buffers, extraction, product, stages); });
}

void ReconstituteFrame(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product, Stages stages) {
    const int32_t rows = extraction.rows;
    const int32_t cols = extraction.cols;
    const int32_t clamped = SeedBackground(buffers, extraction);
    if (clamped > 0) {
        buffers.warnings = Format(" Warning: %" PRId32 " star background levels outside 0..255 clamped in record %s of %s \n",
                                  clamped, extraction.name.c_str(), extraction.path.c_str());
    }
    const bool fast = stages == Stages::kFast;
    if (fast) {
        FillHoles_Distance(buffers, rows, cols);
    } else {
        FillHoles(buffers, rows, cols);
    }
    CompleteBorder(buffers.background_image, rows, cols);
    buffers.snapshot = buffers.background_image;
    if (fast) {
        Median_Filter_Histogram(buffers.snapshot.data(), cols, buffers.background_image.data(), cols, rows, cols);
    } else {
        Median_Filter_Sort(buffers.snapshot.data(), cols, buffers.background_image.data(), cols, rows, cols);
    }
    BuildDiscMask(buffers.disc_mask, extraction.window);
    if (fast) {
        DrawStars_Fast(buffers, extraction);
        FillPlanes_Fast(buffers, buffers.generator, product, rows * cols);
    } else {
        DrawStars(buffers, extraction);
        FillPlanes(buffers, buffers.generator, product, rows * cols);
    }
}

}  // namespace

void CalStarReconsitution(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product) {
    Reconstitute(buffers, extraction, product, Stages::kFast);
}

void CalStarReconsitution_Reference(ReconWorkBuffers& buffers, const CalStarExtraction& extraction, FourProduct& product) {
    Reconstitute(buffers, extraction, product, Stages::kReference);
}

void CalStarReconsitution_FrameFree(ReconWorkBuffers& buffers) {
    std::vector<float>().swap(buffers.profile_kernel);
    std::vector<float>().swap(buffers.disc_mask);
}

void CalStarReconsitution_MemFree(ReconWorkBuffers& buffers) {
    GaussStar_Release();
    FreeImageBuffers(buffers);
}
