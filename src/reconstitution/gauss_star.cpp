#include "reconstitution/gauss_star.h"

#include <cmath>
#include <cstdint>
#include <new>

#include "failure.h"

namespace {

// Coordinates beyond this magnitude have no 32-bit nearest pixel.
constexpr double kMaxCoordinate = 2.0e9;

}  // namespace

void GaussStar_CheckArguments(int32_t half, float row, float col, float sigma) {
    if (half < 0) Fail(WaitKind::None, Format(" GaussStar refuses the negative half-width %d \n", half));
    if (!(std::isfinite(sigma) && sigma > 0.0f)) {
        Fail(WaitKind::None, Format(" GaussStar refuses the width sigma %g \n", static_cast<double>(sigma)));
    }
    for (const float coordinate : {row, col}) {
        if (!std::isfinite(coordinate) || std::fabs(static_cast<double>(coordinate)) > kMaxCoordinate) {
            Fail(WaitKind::None, Format(" GaussStar refuses the star coordinate %g \n", static_cast<double>(coordinate)));
        }
    }
}

namespace {

void Rebuild(GaussStarCache& cache, int32_t half, float sigma) {
    const int32_t kernel_side = 2 * half + 1;
    cache.cached_sigma = sigma;
    cache.kernel_side = kernel_side;
    cache.cached_half = half;
    cache.oversampling = kOversampling;
    cache.patch_side = kOversampling * kernel_side;
    cache.sample_side = kOversampling * (kernel_side + 2);
    std::vector<double>().swap(cache.samples);
    std::vector<double>().swap(cache.patch);
    const uint64_t s = static_cast<uint64_t>(cache.sample_side);
    const uint64_t p = static_cast<uint64_t>(cache.patch_side);
    OnAllocationFailure(WaitKind::Integer, " Memory not allocated in GaussStar \n", [&] {
        if (GaussStar_TableBytes(half) > SIZE_MAX) throw std::bad_alloc();
        cache.samples.resize(static_cast<size_t>(s * s));
        cache.patch.resize(static_cast<size_t>(p * p));
    });
    // D = 2 (101 sigma)^2, formed as (sigma 101) (2 (sigma 101)) from the float sigma.
    const double scaled = static_cast<double>(sigma) * kOversampling;
    const double denominator = scaled * (2.0 * scaled);
    const int32_t centre = (cache.sample_side - 1) / 2;
    size_t k = 0;
    for (int32_t i = -centre; i <= centre; ++i) {
        for (int32_t j = -centre; j <= centre; ++j) {
            // i^2 + j^2 is an exact integer; 64 bits keep it exact for any table side.
            const int64_t squared = int64_t{i} * i + int64_t{j} * j;
            cache.samples[k++] = std::exp(-(static_cast<double>(squared) / denominator));
        }
    }
    cache.needs_rebuild = 0;
    ++cache.rebuild_count;
}

void Release(GaussStarCache& cache) {
    std::vector<double>().swap(cache.samples);
    std::vector<double>().swap(cache.patch);
    cache.needs_rebuild = 1;
}

}  // namespace

uint64_t GaussStar_TableBytes(int32_t half) {
    const uint64_t s = static_cast<uint64_t>(kOversampling) * (2 * static_cast<uint64_t>(half) + 3);
    const uint64_t p = static_cast<uint64_t>(kOversampling) * (2 * static_cast<uint64_t>(half) + 1);
    return sizeof(double) * (s * s + p * p);
}

GaussStarCache& GaussStar_Cache() {
    static GaussStarCache cache;
    return cache;
}

int32_t GaussStar_NearestPixel(float coordinate) {
    return static_cast<int32_t>(std::floor(static_cast<double>(coordinate) + 0.5));
}

int32_t GaussStar_SubSampleOffset(float coordinate, int32_t nearest) {
    const double fraction = static_cast<double>(coordinate) - nearest;
    return static_cast<int32_t>(kOversampling * fraction + 0.5);
}

void GaussStar(int32_t half, float row, float col, float sigma, float* kernel) {
    GaussStarCache& cache = GaussStar_Cache();
    if (kernel == nullptr) {
        Release(cache);
        return;
    }
    GaussStar_CheckArguments(half, row, col, sigma);
    if (cache.needs_rebuild == 1 || half != cache.cached_half || sigma != cache.cached_sigma) Rebuild(cache, half, sigma);

    const int32_t dr = GaussStar_SubSampleOffset(row, GaussStar_NearestPixel(row));
    const int32_t dc = GaussStar_SubSampleOffset(col, GaussStar_NearestPixel(col));
    if (dr < -kMaxSubSampleOffset || dr > kMaxSubSampleOffset || dc < -kMaxSubSampleOffset || dc > kMaxSubSampleOffset) {
        Fail(WaitKind::None, Format(" GaussStar refuses the sub-sample offset (%d, %d) \n", dr, dc));
    }

    // The patch: the P x P block of the table that starts at table row 101 - dr, column 101 - dc.
    const size_t s = static_cast<size_t>(cache.sample_side);
    const size_t p = static_cast<size_t>(cache.patch_side);
    const size_t first_row = static_cast<size_t>(kOversampling - dr);
    const size_t first_col = static_cast<size_t>(kOversampling - dc);
    for (size_t u = 0; u < p; ++u) {
        const double* source = &cache.samples[(first_row + u) * s + first_col];
        for (size_t v = 0; v < p; ++v) cache.patch[u * p + v] = source[v];
    }

    // Block sums: one double accumulator per pixel, rows of the block in order, left to right.
    const int32_t k_side = cache.kernel_side;
    double total = 0.0;
    for (int32_t a = 0; a < k_side; ++a) {
        for (int32_t b = 0; b < k_side; ++b) {
            double sum = 0.0;
            for (int u = 0; u < kOversampling; ++u) {
                const double* line = &cache.patch[(static_cast<size_t>(a) * kOversampling + u) * p + static_cast<size_t>(b) * kOversampling];
                for (int v = 0; v < kOversampling; ++v) sum += line[v];
            }
            kernel[a * k_side + b] = static_cast<float>(sum);
            total += sum;
        }
    }
    // Normalisation in single precision by the float total.
    const float float_total = static_cast<float>(total);
    for (int32_t k = 0; k < k_side * k_side; ++k) kernel[k] = kernel[k] / float_total;
}
