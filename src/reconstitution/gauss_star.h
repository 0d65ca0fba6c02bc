// Gaussian star profile: the share of a star's light in each pixel of its window.
//
// A star is a circular Gaussian of standard deviation sigma pixels centred at its sub-pixel position.
// Each kernel element is the Gaussian sampled on 101 x 101 points inside the pixel and summed (the
// midpoint rule), with the centre quantised to a whole 1/101 pixel; the kernel is then scaled to sum
// to 1 in single precision.
//
// GaussStar takes its samples from a process-wide table, GaussStarCache, rebuilt only when half or
// sigma changes (exact float equality) or after a release; its calls must not overlap (one thread).
// GaussStar_Fast gives the same bits from a GaussStarFastCache that its caller owns, so each thread
// that draws stars uses its own; the caches of one run's threads may share one GaussSharedKernels, so
// that a kernel one thread summed serves them all.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

constexpr int kOversampling = 101;          // sub-samples per pixel along each axis
constexpr int kMaxSubSampleOffset = 50;     // sub-sample offsets lie in -50..50

// One sample table of the fast path, for one (half, sigma), with the kernels already computed from
// it. A table element depends only on (|i - c|, |j - c|), its distances from the centre, so the fast
// table keeps one quarter: quarter row m_r holds the doubles of GaussStarCache::samples at distances
// (m_r, m_c) for m_c = 0..c, regrouped so that the distances 101 apart, which feed neighbouring
// kernel columns, sit side by side: distance m_c = 101 q + rem is element rem G + q of its row.
// For window 9 that is 2.7 MB instead of the full table's 9.9 MB, so a kernel's rows stay in cache
// while the blocks that share them are summed.
struct GaussTable {
    int32_t half = 0;
    float sigma = 0.0f;
    int32_t sample_side = 0;            // S of the full table; its centre c = (S - 1) / 2
    int32_t lanes = 0;                  // kernel columns on each side of the centre summed together
    int32_t group = 0;                  // G: elements per distance remainder, lanes + 2 at least
    std::vector<double> samples;        // (c + 1) quarter rows of 101 G elements, regrouped as above
    std::vector<int32_t> kernel_slot;   // per (dr, dc): index of its kernel in `kernels`, or -1
    std::vector<float> kernels;         // the remembered kernels, K x K floats each
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

// One table of a GaussSharedKernels: its samples (in `table`, whose own kernel_slot and kernels stay
// empty) and a slot per (dr, dc) pointing at the finished kernel, or null.
struct GaussSharedTable {
    GaussTable table;
    std::unique_ptr<std::atomic<const float*>[]> kernels;  // 101 x 101 slots, row offset major
    ~GaussSharedTable();
};

// Tables and kernels shared by the GaussStarFastCaches of one run's threads, for the whole run.
//
// Rule: the store takes the first half any call (or GaussStar_SharedClaim) names, and tables for up
// to kFastTables sigmas of it; it never drops a table or a kernel until it is destroyed, so nothing a
// thread reads is freed under it, and it takes about GaussStar_FastCacheBytes(that half) at most.
// Calls for another half, or a third sigma, use the calling thread's own cache as without a store.
//
// A table is built once, under `mutex`, then only read; it is published into `tables` with a release
// store. A kernel missing from its slot is summed by the thread that misses it, then published with a
// compare-exchange (release): when two threads miss at once both sum, the first to publish wins and
// the other frees its copy and uses the winner's. Finding a table and a kernel takes acquire loads
// and no lock. Every kernel of a key has the same bits, whoever sums it.
struct GaussSharedKernels {
    std::atomic<int32_t> half{-1};                              // the half shared, -1 before the first
    std::atomic<GaussSharedTable*> tables[kFastTables] = {};   // filled in order, never cleared
    std::mutex mutex;                                           // serialises building the tables
    std::atomic<uint64_t> table_builds{0};                      // tables built into the store
    std::atomic<uint64_t> kernels_published{0};                 // kernels published (one per key)
    GaussSharedKernels() = default;
    GaussSharedKernels(const GaussSharedKernels&) = delete;
    GaussSharedKernels& operator=(const GaussSharedKernels&) = delete;
    ~GaussSharedKernels();
};

// Makes `half` the store's half when it has none yet; true when the store shares `half` (now or
// already). The driver calls it before the first record, so that its memory budget knows.
bool GaussStar_SharedClaim(GaussSharedKernels& store, int32_t half);

// GaussStar_Fast's state: its tables and remembered kernels. A kernel depends only on (half, sigma,
// dr, dc), never on the CALSTARS file, so the state lives as long as its owner (the run's work
// buffers, one per worker); it is never shared between threads and never touches GaussStarCache.
// With `shared` set, the (half, sigma) that the store covers are taken from it instead (see
// GaussSharedKernels), and the cache holds only the others.
// It holds tables of one half at a time (a call with another half drops them first), so it takes at
// most kFastTables tables with all their kernels for that half: GaussStar_FastCacheBytes(half),
// about 12 MB for window 9, 31 MB for window 15 (a listing uses far fewer kernels than all).
struct GaussStarFastCache {
    std::vector<GaussTable> tables;  // most recently used last, at most kFastTables, all of one half
    uint64_t table_builds = 0;       // tables built (not found)
    uint64_t kernel_builds = 0;      // kernels summed (not remembered), also those for `shared`
    GaussSharedKernels* shared = nullptr;  // the run's shared store, if any (not owned)
    bool avx2_allowed = true;        // false: sum with the baseline instructions even where AVX2
                                     // is there (the tests check both forms)
};

// Bytes that the table and patch take for `half` (8 (S^2 + P^2)), for memory checks made up front.
uint64_t GaussStar_TableBytes(int32_t half);

// Most bytes a GaussStarFastCache takes for `half`: kFastTables tables with every kernel remembered.
uint64_t GaussStar_FastCacheBytes(int32_t half);

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

// The filling call computed faster, with the same bits in every kernel element, from `cache` (which
// it builds as needed). Always usable in place of GaussStar; what makes it exact:
//  - its table holds the same exp(-(i^2 + j^2) / D) doubles, one exp per distinct (|i|, |j|) pair,
//    kept once as a quarter (see GaussTable);
//  - each block sum adds the same samples in the same order into its own accumulator, read
//    straight from the table (no patch); the accumulators of the kernel columns on each side of the
//    centre run side by side as vector lanes (AVX2 when the processor has it, chosen at run time),
//    and no accumulator sees another's additions;
//  - the kernel of each (half, sigma, dr, dc) is remembered once computed: it depends on nothing
//    else.
// Tables for kFastTables sigmas of one half are kept, least recently used dropped first. `kernel`
// must hold K x K floats. Refuses what GaussStar refuses, with the same messages, and fails with
// " Memory not allocated in GaussStar \n" (waiting for one integer) when a table or kernel cannot be
// allocated.
void GaussStar_Fast(GaussStarFastCache& cache, int32_t half, float row, float col, float sigma, float* kernel);

// Drops the cache's remembered kernels and keeps its tables, so that the next call for any offset
// sums its kernel afresh (for benchmarks and tests). A shared store's kernels stay.
void GaussStar_FastForgetKernels(GaussStarFastCache& cache);

// The checks both forms make before a filling call (see GaussStar).
void GaussStar_CheckArguments(int32_t half, float row, float col, float sigma);

// The release call under its own name.
inline void GaussStar_Release() { GaussStar(0, 0.0f, 0.0f, 0.0f, nullptr); }
