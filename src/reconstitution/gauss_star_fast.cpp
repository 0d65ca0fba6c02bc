// GaussStar_Fast: GaussStar's kernels, bit for bit, without the patch copy, with fewer exponentials
// and with each kernel remembered. See gauss_star.h for what keeps it exact.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "failure.h"
#include "reconstitution/gauss_star.h"

namespace {

constexpr int kOffsets = 2 * kMaxSubSampleOffset + 1;  // 101 sub-sample offsets per axis

// Fills the table for (half, sigma): the value of each distinct (|i|, |j|) once, then every table
// element from it, placed in the regrouped layout.
void BuildTable(GaussTable& table, int32_t half, float sigma) {
    const int32_t kernel_side = 2 * half + 1;
    const int32_t group = kernel_side + 2;  // table columns 101 apart: one per pixel plus the margins
    const int32_t side = kOversampling * group;
    const int32_t centre = (side - 1) / 2;
    table.half = half;
    table.sigma = sigma;
    table.sample_side = side;
    // D = 2 (101 sigma)^2, formed as (sigma 101) (2 (sigma 101)) from the float sigma, as GaussStar does.
    const double scaled = static_cast<double>(sigma) * kOversampling;
    const double denominator = scaled * (2.0 * scaled);
    const size_t quarter_side = static_cast<size_t>(centre) + 1;
    std::vector<double> quarter(quarter_side * quarter_side);
    for (int32_t di = 0; di <= centre; ++di) {
        for (int32_t dj = di; dj <= centre; ++dj) {
            const int64_t squared = int64_t{di} * di + int64_t{dj} * dj;
            const double value = std::exp(-(static_cast<double>(squared) / denominator));
            quarter[di * quarter_side + dj] = value;
            quarter[dj * quarter_side + di] = value;
        }
    }
    table.samples.assign(static_cast<size_t>(side) * static_cast<size_t>(side), 0.0);
    for (int32_t i = 0; i < side; ++i) {
        const double* distances = &quarter[static_cast<size_t>(std::abs(i - centre)) * quarter_side];
        double* line = &table.samples[static_cast<size_t>(i) * side];
        for (int32_t j = 0; j < side; ++j) line[(j % kOversampling) * group + j / kOversampling] = distances[std::abs(j - centre)];
    }
    table.kernel_slot.assign(static_cast<size_t>(kOffsets) * kOffsets, -1);
    table.kernels.clear();
}

// Sums `Rows` neighbouring rows of blocks (K blocks each) whose first table row is `top_row`. Each
// block's accumulator takes its 101 x 101 samples row by row, left to right, as GaussStar's does;
// the accumulators of one table row's blocks are side by side in memory, so they run as vector
// lanes, and no accumulator sees another's additions.
template <int K, int Rows>
void SumBlockRowsFixed(const double* samples, size_t side, int32_t top_row, const int32_t* offsets, double* sums) {
    double acc[Rows][K] = {};
    for (int u = 0; u < kOversampling; ++u) {
        const double* line[Rows];
        for (int r = 0; r < Rows; ++r) line[r] = samples + (static_cast<size_t>(top_row) + kOversampling * r + u) * side;
        for (int v = 0; v < kOversampling; ++v) {
            const int32_t o = offsets[v];
            for (int r = 0; r < Rows; ++r) {
                for (int b = 0; b < K; ++b) acc[r][b] += line[r][o + b];
            }
        }
    }
    for (int r = 0; r < Rows; ++r) {
        for (int b = 0; b < K; ++b) sums[r * K + b] = acc[r][b];
    }
}

template <int K>
void SumBlocksFixed(const double* samples, size_t side, int32_t first_row, const int32_t* offsets, double* sums) {
    int a = 0;
    for (; a + 1 < K; a += 2) SumBlockRowsFixed<K, 2>(samples, side, first_row + kOversampling * a, offsets, sums + a * K);
    SumBlockRowsFixed<K, 1>(samples, side, first_row + kOversampling * a, offsets, sums + a * K);
}

// Any kernel side: the same additions in the same order, accumulators in memory.
void SumBlocksAnySide(const double* samples, size_t side, int32_t first_row, const int32_t* offsets, int32_t k_side,
                      double* sums) {
    for (int32_t a = 0; a < k_side; ++a) {
        double* acc = sums + static_cast<size_t>(a) * k_side;
        std::fill(acc, acc + k_side, 0.0);
        for (int u = 0; u < kOversampling; ++u) {
            const double* line = samples + (static_cast<size_t>(first_row) + kOversampling * a + u) * side;
            for (int v = 0; v < kOversampling; ++v) {
                for (int32_t b = 0; b < k_side; ++b) acc[b] += line[offsets[v] + b];
            }
        }
    }
}

void SumBlocks(const GaussTable& table, int32_t k_side, int32_t first_row, const int32_t* offsets, double* sums) {
    const double* samples = table.samples.data();
    const size_t side = static_cast<size_t>(table.sample_side);
    switch (k_side) {
        case 3: return SumBlocksFixed<3>(samples, side, first_row, offsets, sums);
        case 5: return SumBlocksFixed<5>(samples, side, first_row, offsets, sums);
        case 7: return SumBlocksFixed<7>(samples, side, first_row, offsets, sums);
        case 9: return SumBlocksFixed<9>(samples, side, first_row, offsets, sums);
        case 11: return SumBlocksFixed<11>(samples, side, first_row, offsets, sums);
        case 13: return SumBlocksFixed<13>(samples, side, first_row, offsets, sums);
        case 15: return SumBlocksFixed<15>(samples, side, first_row, offsets, sums);
        default: return SumBlocksAnySide(samples, side, first_row, offsets, k_side, sums);
    }
}

// The kernel for sub-sample offsets (dr, dc): block sums, then GaussStar's float conversion, double
// total and single-precision normalisation, in the same order.
void ComputeKernel(const GaussTable& table, int32_t dr, int32_t dc, float* kernel) {
    const int32_t k_side = 2 * table.half + 1;
    const int32_t group = k_side + 2;
    // The patch would start at table row 101 - dr and column 101 - dc; the samples of patch column
    // v of block b are table column 101 - dc + v + 101 b, i.e. group element offsets[v] + b.
    int32_t offsets[kOversampling];
    for (int v = 0; v < kOversampling; ++v) {
        const int32_t column = kOversampling - dc + v;
        offsets[v] = (column % kOversampling) * group + column / kOversampling;
    }
    std::vector<double> sums(static_cast<size_t>(k_side) * k_side);
    SumBlocks(table, k_side, kOversampling - dr, offsets, sums.data());
    double total = 0.0;
    for (size_t k = 0; k < sums.size(); ++k) {
        kernel[k] = static_cast<float>(sums[k]);
        total += sums[k];
    }
    const float float_total = static_cast<float>(total);
    for (size_t k = 0; k < sums.size(); ++k) kernel[k] = kernel[k] / float_total;
}

GaussTable& TableFor(GaussStarCache& cache, int32_t half, float sigma) {
    std::vector<GaussTable>& tables = cache.fast_tables;
    for (size_t t = 0; t < tables.size(); ++t) {
        if (tables[t].half == half && tables[t].sigma == sigma) {
            std::rotate(tables.begin() + static_cast<std::ptrdiff_t>(t), tables.begin() + static_cast<std::ptrdiff_t>(t) + 1,
                        tables.end());
            return tables.back();
        }
    }
    if (tables.size() >= static_cast<size_t>(kFastTables)) tables.erase(tables.begin());
    try {
        if (GaussStar_TableBytes(half) > SIZE_MAX) throw std::bad_alloc();
        tables.emplace_back();
        BuildTable(tables.back(), half, sigma);
    } catch (const std::bad_alloc&) {
        Fail(WaitKind::Integer, " Memory not allocated in GaussStar \n");
    }
    ++cache.fast_table_builds;
    return tables.back();
}

}  // namespace

void GaussStar_Fast(int32_t half, float row, float col, float sigma, float* kernel) {
    if (kernel == nullptr) {
        GaussStar_Release();
        return;
    }
    GaussStar_CheckArguments(half, row, col, sigma);
    const int32_t dr = GaussStar_SubSampleOffset(row, GaussStar_NearestPixel(row));
    const int32_t dc = GaussStar_SubSampleOffset(col, GaussStar_NearestPixel(col));
    if (dr < -kMaxSubSampleOffset || dr > kMaxSubSampleOffset || dc < -kMaxSubSampleOffset || dc > kMaxSubSampleOffset) {
        Fail(WaitKind::None, Format(" GaussStar refuses the sub-sample offset (%d, %d) \n", dr, dc));
    }
    GaussStarCache& cache = GaussStar_Cache();
    GaussTable& table = TableFor(cache, half, sigma);
    const size_t area = static_cast<size_t>(2 * half + 1) * static_cast<size_t>(2 * half + 1);
    int32_t& slot = table.kernel_slot[static_cast<size_t>(dr + kMaxSubSampleOffset) * kOffsets + (dc + kMaxSubSampleOffset)];
    if (slot < 0) {
        try {
            table.kernels.resize(table.kernels.size() + area);
        } catch (const std::bad_alloc&) {
            Fail(WaitKind::Integer, " Memory not allocated in GaussStar \n");
        }
        float* fresh = &table.kernels[table.kernels.size() - area];
        ComputeKernel(table, dr, dc, fresh);
        slot = static_cast<int32_t>((table.kernels.size() - area) / area);
        ++cache.fast_kernel_builds;
    }
    std::copy_n(&table.kernels[static_cast<size_t>(slot) * area], area, kernel);
}

void GaussStar_FastForgetKernels() {
    for (GaussTable& table : GaussStar_Cache().fast_tables) {
        std::fill(table.kernel_slot.begin(), table.kernel_slot.end(), -1);
        table.kernels.clear();
    }
}
