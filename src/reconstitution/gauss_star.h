// Gaussian star profile: the share of a star's light in each pixel of its window.
//
// A star is a circular Gaussian of standard deviation sigma pixels centred at its sub-pixel position.
// Each kernel element is the Gaussian sampled on 101 x 101 points inside the pixel and summed (the
// midpoint rule), with the centre quantised to a whole 1/101 pixel; the kernel is then scaled to sum
// to 1 in single precision.
//
// GaussStar takes its samples from a process-wide table, GaussStarCache, rebuilt only when half or
// sigma changes (exact float equality) or after a release; its calls must not overlap (one thread).
// GaussStar_Fast gives the same bits from a small GaussStarFastCache that its caller owns, so each
// thread that draws stars uses its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr int kOversampling = 101;          // sub-samples per pixel along each axis
constexpr int kMaxSubSampleOffset = 50;     // sub-sample offsets lie in -50..50

// The fast path's 1-D factors for one (half, sigma): factors[m] = exp(-(m^2 / D)), D formed as
// GaussStar forms it, for the distances m (in sub-samples) whose quotient stays below 700; so its
// size is bounded by sigma (about 6,000 doubles for sigma 1.6, 4,200 for 1.1), whatever the window.
struct GaussFactorTable {
    int32_t half = 0;
    float sigma = 0.0f;
    double denominator = 0.0;
    std::vector<double> factors;
};

struct GaussStarCache {
    int32_t needs_rebuild = 1;  // 1: the next filling call rebuilds
    int32_t cached_half = -1;
    float cached_sigma = -1.0f;
    std::vector<double> samples;  // S x S: exp(-(i^2 + j^2) / D) around the centre (M, M)
    std::vector<double> patch;    // P x P: the sub-samples of one star's kernel
    int32_t sample_side = 0;      // S = 101 (2 half + 3)
    int32_t patch_side = 0;       // P = 101 (2 half + 1)
    int32_t oversampling = 0;     // 101 once built
    int32_t kernel_side = 0;      // K = 2 half + 1
    uint64_t rebuild_count = 0;   // rebuilds since process start (observable for tests and benchmarks)
};

constexpr int kFastTables = 2;  // the two widths of a half are kept side by side

// A block's literal sum (10,201 exponentials), which depends only on the denominator and the block's
// first sub-sample distances along each axis: a star of a night drifts over the same sub-sample
// offsets again and again, and meets the same few blocks the estimate leaves open.
struct GaussLiteralBlock {
    double denominator = 0.0;
    int64_t first_row = 0, first_col = 0;
    double sum = 0.0;
};
constexpr int kLiteralBlocksKept = 1024;  // the most kept; beyond, the oldest is replaced

// GaussStar_Fast's state: the factor tables of one half, for at most kFastTables sigmas (least
// recently built dropped first), the literal block sums met so far, and counters. Each thread that
// draws stars owns its own; it never touches GaussStarCache.
struct GaussStarFastCache {
    std::vector<GaussFactorTable> tables;
    std::vector<GaussLiteralBlock> literal_sums;  // at most kLiteralBlocksKept, in a ring
    size_t next_literal_sum = 0;                  // the ring's slot to replace next once it is full
    uint64_t table_builds = 0;    // factor tables built
    uint64_t kernel_builds = 0;   // kernels computed
    uint64_t blocks = 0;          // blocks of those kernels
    uint64_t literal_blocks = 0;  // ... whose float the estimate left open, summed literally
    uint64_t remembered_blocks = 0;  // ... whose literal sum was met before and kept
    uint64_t literal_totals = 0;  // kernels whose total was left open (every block summed again)
};

// Bytes that the table and patch take for `half` (8 (S^2 + P^2)), for memory checks made up front.
uint64_t GaussStar_TableBytes(int32_t half);

// Most bytes a GaussStarFastCache and one call's scratch take for `half`, for memory checks made up
// front: about 32 KB of literal block sums and 1.8 KB per unit of half (factor tables to the
// window's farthest distance; what they really hold stops at sigma's reach, see GaussFactorTable).
uint64_t GaussStar_FastCacheBytes(int32_t half);

// The most bytes `held` takes through GaussStar_Fast calls for `half`, what it holds now kept (a
// table of another half or sigma is freed before a new one is built). With a negative half (no
// call), what `held` holds.
uint64_t GaussStar_FastCacheBytes(const GaussStarFastCache& held, int32_t half);

// The one cache of the process.
GaussStarCache& GaussStar_Cache();

// The nearest pixel of a coordinate: floor(x + 0.5), which for every x >= -0.5 is the truncation
// trunc(x + 0.5) of the system's rule, and keeps the sub-sample offset within -50..50 below it too.
int32_t GaussStar_NearestPixel(float coordinate);

// Sub-sample offset of a coordinate from its nearest pixel: trunc(101 (x - nearest) + 0.5).
int32_t GaussStar_SubSampleOffset(float coordinate, int32_t nearest);

// Filling call: writes the (2 half + 1)^2 kernel of a star at (row, col) into `kernel`, row-major,
// element a K + b for the pixel (nearest row - half + a, nearest col - half + b). Rebuilds the
// table when needed. With `kernel` null it is the release call: frees the table and patch and marks
// the cache for a rebuild (the other arguments are ignored).
//
// Refuses (Failure, no wait): a negative half, a sigma that is not a finite positive number, and a
// coordinate that is not finite or too far from the origin for a 32-bit pixel index. Fails with
// " Memory not allocated in GaussStar \n" (waiting for one integer) when the table cannot be
// allocated.
void GaussStar(int32_t half, float row, float col, float sigma, float* kernel);

// The filling call computed faster, with the same bits in every kernel element. Each block's float
// is decided, where a proven error bound allows, from a separable estimate (row factor sum x column
// factor sum); a block the bound leaves open is summed literally on the fly, with GaussStar's
// expression and order; the total likewise (see gauss_star_fast.cpp for the bound and the rule).
// No sample table: memory is GaussStar_FastCacheBytes(half). `kernel` must hold K x K floats.
// Refuses what GaussStar refuses, with the same messages.
void GaussStar_Fast(GaussStarFastCache& cache, int32_t half, float row, float col, float sigma, float* kernel);

// The checks both forms make before a filling call (see GaussStar).
void GaussStar_CheckArguments(int32_t half, float row, float col, float sigma);

// The release call under its own name.
inline void GaussStar_Release() { GaussStar(0, 0.0f, 0.0f, 0.0f, nullptr); }
