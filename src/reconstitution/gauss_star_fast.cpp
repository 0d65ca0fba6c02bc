// GaussStar_Fast: GaussStar's kernels, bit for bit, deciding each block's float from a separable
// estimate with a proven error bound, and summing literally only the blocks the bound leaves open.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>

#include "failure.h"
#include "reconstitution/gauss_star.h"

// Why the estimate decides the literal float (the proof of the bound).
//
// Notation: u = 2^-53; D the double denominator, formed exactly as GaussStar forms it; a block's
// literal values are L = exp(-fl(n / D)) with n = i^2 + j^2 exact, i and j its row and column
// distances in sub-samples; S its literal sum, 10,201 values added in order from 0.
//  1. Platform exp: for a normal result, |exp(x) - e^x| <= E e^x with E = 16 ulps = 32 u (glibc is
//     below 1 ulp; MinGW's and the ARM libraries' within a few). For x <= -746 every exp we build
//     with returns 0 (e^-746 < 2^-1076, a quarter of the smallest subnormal).
//  2. A correctly rounded quotient q' = fl(n / D) = (n / D)(1 + d), |d| <= u, so e^-q' lies within a
//     factor e^(+-u q) of e^(-n/D). Below q = 700 every value and factor is normal (e^-700 > 2^-1010).
//  3. Hence, with q_max the block's largest quotient (< 700), each L lies within a log-distance of
//     l1 = 700 u + 2E of e^(-n/D), and so does their exact sum from T = sum e^(-n/D) (a weighted mean
//     of the per-value ratios). T is exactly separable: T = (sum_i e^(-i^2/D)) (sum_j e^(-j^2/D)).
//  4. The estimate: row factors r_i = exp(-fl(i^2 / D)), each within log-distance l1 of e^(-i^2/D)
//     (same argument), summed into R (relative error gamma(100) = 100u/(1 - 100u)); C the same for
//     the columns; P = fl(R C) (error u). A sum of n positive doubles formed by any sequence of n - 1
//     additions (in order, or in several running sums added at the end) lies within gamma(n - 1) of
//     the exact sum, since each value goes through at most n - 1 roundings (Higham, Thm 4.2 and
//     (4.3); additions of normal positives never lose more), so R may be summed in any grouping,
//     and S, summed in order, is within gamma(10200) of the exact sum of the L.
//  5. |log(1 + t)| <= 2|t| for |t| <= 1/2, so |log(S / P)| <= L = 2 gamma(10200) + 3 l1 + 4 gamma(100)
//     + 2u, and S / P lies in [1 - L, 1 + 2L]. We take the interval P (1 -+ B), B = 4 L: a factor 2 of
//     safety that also covers the two roundings that form its ends.
//  6. Rounding to nearest float is monotone, so when both ends give the same float, S gives it too.
// A block whose smallest quotient exceeds 750 sums to exactly 0 (point 1, monotone division). A block
// in between (some values may be subnormal) lies in [0, 10201 (2 exp(-q_min) + 2^-1070)]; when that
// upper end rounds to float 0, so does S. The total (sum of the K^2 block sums S in order) lies
// within gamma(K^2 - 1) of the exact sum of the S, which lies between the sums of the blocks' lower
// and upper ends; those two sums are formed in double with the same error again, so the ends are
// widened by 4 gamma(K^2) and tested like a block.
//
// Rule: a block's float comes from the estimate when its interval decides the rounding, from 0 when
// it is certainly 0, and otherwise from its literal sum; the total likewise, else every block that
// is not certainly 0 is summed literally and the total added up as GaussStar does. Builds whose
// double arithmetic is not IEEE double with no excess precision (x87 without SSE2) sum every block
// literally.

namespace {

#if defined(FLT_EVAL_METHOD) && FLT_EVAL_METHOD == 0
constexpr bool kIeeeDouble = std::numeric_limits<double>::is_iec559 && std::numeric_limits<float>::is_iec559;
#else
constexpr bool kIeeeDouble = false;
#endif

constexpr double kUnit = 1.0 / 9007199254740992.0;  // u = 2^-53
constexpr double kExpError = 32.0 * kUnit;          // E: 16 ulps
constexpr double kSeparableLimit = 700.0;           // q_max below this: every value normal
constexpr double kZeroLimit = 750.0;                // q_min above this: every value 0
constexpr int kBlockValues = kOversampling * kOversampling;

constexpr double Gamma(double n) { return n * kUnit / (1.0 - n * kUnit); }

constexpr double kLogBound = 2.0 * Gamma(kBlockValues - 1) + 3.0 * (kSeparableLimit * kUnit + 2.0 * kExpError) +
                             4.0 * Gamma(kOversampling - 1) + 2.0 * kUnit;
constexpr double kBlockBound = 4.0 * kLogBound;

// D = 2 (101 sigma)^2, formed as (sigma 101) (2 (sigma 101)) from the float sigma, as GaussStar does.
double Denominator(float sigma) {
    const double scaled = static_cast<double>(sigma) * kOversampling;
    return scaled * (2.0 * scaled);
}

// The first sub-sample distance of block `a` along an axis with offset `d`: patch index 101 a + t
// lies 101 (a - half) - 50 - d + t sub-samples from the centre (t = 0..100).
int64_t FirstDistance(int32_t a, int32_t half, int32_t d) {
    return int64_t{kOversampling} * (a - half) - kMaxSubSampleOffset - d;
}

// The block's literal sum: its values by GaussStar's expression, added in GaussStar's order.
double LiteralBlockSum(int64_t first_row, int64_t first_col, double denominator) {
    double sum = 0.0;
    for (int64_t i = first_row; i < first_row + kOversampling; ++i) {
        for (int64_t j = first_col; j < first_col + kOversampling; ++j) {
            const int64_t squared = i * i + j * j;
            sum += std::exp(-(static_cast<double>(squared) / denominator));
        }
    }
    return sum;
}

// LiteralBlockSum for the block, from the sums kept in `cache` when it was met before (the same
// double: the same values added in the same order), else summed and kept.
double KeptLiteralBlockSum(GaussStarFastCache& cache, int64_t first_row, int64_t first_col, double denominator) {
    for (const GaussLiteralBlock& block : cache.literal_sums) {
        if (block.first_row == first_row && block.first_col == first_col && block.denominator == denominator) {
            ++cache.remembered_blocks;
            return block.sum;
        }
    }
    ++cache.literal_blocks;
    const GaussLiteralBlock block{denominator, first_row, first_col, LiteralBlockSum(first_row, first_col, denominator)};
    // Not kept where memory fails: the next time it is summed again. The ring takes its room at once,
    // so that it never holds more than kLiteralBlocksKept.
    IfAllocationFails(
        [&] {
            cache.literal_sums.reserve(kLiteralBlocksKept);
            if (cache.literal_sums.size() < static_cast<size_t>(kLiteralBlocksKept)) {
                cache.literal_sums.push_back(block);
            } else {
                cache.literal_sums[cache.next_literal_sum] = block;
                cache.next_literal_sum = (cache.next_literal_sum + 1) % kLiteralBlocksKept;
            }
        },
        [] {});
    return block.sum;
}

struct Span {
    int64_t first, nearest, farthest;  // first distance (signed) and the extreme |distances|
};

Span AxisSpan(int32_t a, int32_t half, int32_t d) {
    const int64_t first = FirstDistance(a, half, d), last = first + kOversampling - 1;
    const int64_t nearest = first <= 0 && last >= 0 ? 0 : std::min(std::llabs(first), std::llabs(last));
    return {first, nearest, std::max(std::llabs(first), std::llabs(last))};
}

// The farthest sub-sample distance from the centre in a window of `half`: 101 half + 50 to the edge
// of the outermost pixel, and the sub-sample offset of up to 50 beyond.
int64_t FarthestDistance(int32_t half) { return int64_t{kOversampling} * half + 2 * kMaxSubSampleOffset; }

// The factor table of (half, sigma), built on first use; at most kFastTables kept, all of one half.
GaussFactorTable& TableFor(GaussStarFastCache& cache, int32_t half, float sigma) {
    std::vector<GaussFactorTable>& tables = cache.tables;
    if (!tables.empty() && tables.front().half != half) tables.clear();
    for (GaussFactorTable& table : tables) {
        if (table.sigma == sigma) return table;
    }
    if (tables.size() >= static_cast<size_t>(kFastTables)) tables.erase(tables.begin());
    GaussFactorTable table;
    table.half = half;
    table.sigma = sigma;
    table.denominator = Denominator(sigma);
    // Only distances whose quotient stays below the separable limit are ever read, so the table
    // ends there (or at the window's farthest distance): its size is bounded by sigma, not the window.
    // Its length is found first, so that it takes exactly that room.
    const int64_t farthest = FarthestDistance(half);
    const auto quotient = [&table](int64_t m) { return static_cast<double>(m * m) / table.denominator; };
    int64_t length = 0;
    while (length <= farthest && !(quotient(length) >= kSeparableLimit)) ++length;
    OnAllocationFailure(WaitKind::Integer, " Memory not allocated in GaussStar \n", [&] {
        tables.reserve(kFastTables);
        table.factors.reserve(static_cast<size_t>(length));
        for (int64_t m = 0; m < length; ++m) table.factors.push_back(std::exp(-quotient(m)));
        tables.push_back(std::move(table));
    });
    ++cache.table_builds;
    return tables.back();
}

// Sum of the factors of an axis span; only called when all its distances are in the table. In four
// running sums, whose additions do not wait on each other (the bound of point 4 holds for any
// grouping): the sums of a kernel's rows and columns are most of its time otherwise.
double FactorSum(const GaussFactorTable& table, const Span& span) {
    const double* factors = table.factors.data();
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    const int64_t end = span.first + kOversampling;
    int64_t t = span.first;
    // The span's distances are |t|: from the side of the centre they lie on, or across it.
    for (; t + 4 <= end; t += 4) {
        for (int k = 0; k < 4; ++k) sums[k] += factors[std::llabs(t + k)];
    }
    for (; t < end; ++t) sums[0] += factors[std::llabs(t)];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

}  // namespace

namespace {

// One call's scratch for `half`: a span and a sum per kernel row and column, and eight bytes more each.
uint64_t CallScratchBytes(int32_t half) {
    const uint64_t side = 2 * static_cast<uint64_t>(half) + 1;
    return 2 * side * (sizeof(double) + sizeof(Span) + 8);
}

// What the cache keeps for `half`: its factor tables (their records and their factors, which end at
// a quotient of 700 or at the window's farthest distance) and the literal block sums.
uint64_t KeptBytes(int32_t half) {
    const uint64_t factors = static_cast<uint64_t>(FarthestDistance(half)) + 1;
    return kFastTables * (sizeof(GaussFactorTable) + sizeof(double) * factors) + kLiteralBlocksKept * sizeof(GaussLiteralBlock);
}

// What `cache` holds now.
uint64_t HeldBytes(const GaussStarFastCache& cache) {
    uint64_t bytes = sizeof(GaussFactorTable) * cache.tables.capacity() + sizeof(GaussLiteralBlock) * cache.literal_sums.capacity();
    for (const GaussFactorTable& table : cache.tables) bytes += sizeof(double) * table.factors.capacity();
    return bytes;
}

}  // namespace

uint64_t GaussStar_FastCacheBytes(int32_t half) { return KeptBytes(half) + CallScratchBytes(half); }

uint64_t GaussStar_FastCacheBytes(const GaussStarFastCache& held, int32_t half) {
    if (half < 0) return HeldBytes(held);
    // Tables of another half, or of a sigma dropped, are freed before a new one is built.
    return std::max(HeldBytes(held), KeptBytes(half)) + CallScratchBytes(half);
}

void GaussStar_Fast(GaussStarFastCache& cache, int32_t half, float row, float col, float sigma, float* kernel) {
    GaussStar_CheckArguments(half, row, col, sigma);
    const int32_t dr = GaussStar_SubSampleOffset(row, GaussStar_NearestPixel(row));
    const int32_t dc = GaussStar_SubSampleOffset(col, GaussStar_NearestPixel(col));
    if (dr < -kMaxSubSampleOffset || dr > kMaxSubSampleOffset || dc < -kMaxSubSampleOffset || dc > kMaxSubSampleOffset) {
        Fail(WaitKind::None, Format(" GaussStar refuses the sub-sample offset (%d, %d) \n", dr, dc));
    }
    ++cache.kernel_builds;
    const int32_t k_side = 2 * half + 1;
    const GaussFactorTable& table = TableFor(cache, half, sigma);
    const double denominator = table.denominator;
    const bool certify = kIeeeDouble && std::isfinite(denominator) && denominator > 0.0;

    std::vector<Span> rows(static_cast<size_t>(k_side)), cols(static_cast<size_t>(k_side));
    std::vector<double> row_sums(static_cast<size_t>(k_side), -1.0), col_sums(static_cast<size_t>(k_side), -1.0);
    const size_t table_size = table.factors.size();
    for (int32_t a = 0; a < k_side; ++a) {
        rows[a] = AxisSpan(a, half, dr);
        cols[a] = AxisSpan(a, half, dc);
        if (certify && static_cast<size_t>(rows[a].farthest) < table_size) row_sums[a] = FactorSum(table, rows[a]);
        if (certify && static_cast<size_t>(cols[a].farthest) < table_size) col_sums[a] = FactorSum(table, cols[a]);
    }

    // Blocks, in GaussStar's order; lower and upper ends of the total summed alongside.
    double total_low = 0.0, total_high = 0.0;
    for (int32_t a = 0; a < k_side; ++a) {
        for (int32_t b = 0; b < k_side; ++b) {
            float& element = kernel[a * k_side + b];
            double low = 0.0, high = 0.0;
            bool decided = false;
            if (certify) {
                const double near = static_cast<double>(rows[a].nearest * rows[a].nearest + cols[b].nearest * cols[b].nearest);
                const double far = static_cast<double>(rows[a].farthest * rows[a].farthest + cols[b].farthest * cols[b].farthest);
                const double q_min = near / denominator, q_max = far / denominator;
                if (q_min > kZeroLimit) {
                    decided = true;  // exactly 0: low = high = 0
                } else if (q_max < kSeparableLimit && row_sums[a] >= 0.0 && col_sums[b] >= 0.0) {
                    const double estimate = row_sums[a] * col_sums[b];
                    low = estimate * (1.0 - kBlockBound);
                    high = estimate * (1.0 + kBlockBound);
                    decided = static_cast<float>(low) == static_cast<float>(high);
                } else {
                    high = kBlockValues * (2.0 * std::exp(-q_min) + 0x1p-1070);
                    decided = static_cast<float>(high) == 0.0f;
                }
                if (decided) element = static_cast<float>(high);
            }
            if (!decided) {
                low = high = KeptLiteralBlockSum(cache, rows[a].first, cols[b].first, denominator);
                element = static_cast<float>(low);
            }
            total_low += low;
            total_high += high;
        }
    }
    cache.blocks += static_cast<uint64_t>(k_side) * k_side;

    const double area = static_cast<double>(k_side) * k_side;
    const double widen = 4.0 * Gamma(area);
    // Without certification every block was summed literally and added in order: the total is exact.
    float float_total = static_cast<float>(total_high);
    if (certify && !(area * kUnit < 1e-3 &&
                     static_cast<float>(total_low * (1.0 - widen)) == static_cast<float>(total_high * (1.0 + widen)))) {
        // The total is not decided: GaussStar's own total, from every block's literal sum (a block
        // that is certainly 0 adds exactly 0 and is skipped).
        ++cache.literal_totals;
        double total = 0.0;
        for (int32_t a = 0; a < k_side; ++a) {
            for (int32_t b = 0; b < k_side; ++b) {
                const double near = static_cast<double>(rows[a].nearest * rows[a].nearest + cols[b].nearest * cols[b].nearest);
                if (near / denominator > kZeroLimit) continue;
                const double sum = KeptLiteralBlockSum(cache, rows[a].first, cols[b].first, denominator);
                kernel[a * k_side + b] = static_cast<float>(sum);
                total += sum;
            }
        }
        float_total = static_cast<float>(total);
    }
    for (int32_t k = 0; k < k_side * k_side; ++k) kernel[k] = kernel[k] / float_total;
}
