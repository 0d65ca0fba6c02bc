// The earlier fast forms of two stages, kept out of the product: the benchmark measures them as the
// baselines of today's forms.
#include "earlier_forms.h"

#include <algorithm>
#include <cmath>
#include <initializer_list>

#include "reconstitution/hole_fill.h"

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
    // The pipeline takes no pixel list: this form sizes its own queue.
    buffers.fill_list.resize(buffers.background_image.size());
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
