// GaussStar_Fast: GaussStar's kernels, bit for bit, from a quarter of the sample table, without the
// patch copy, with fewer exponentials and with each kernel remembered. See gauss_star.h for what
// keeps it exact.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "failure.h"
#include "reconstitution/gauss_star.h"

namespace {

constexpr int kOffsets = 2 * kMaxSubSampleOffset + 1;  // 101 sub-sample offsets per axis

// Kernel columns summed together on each side of the centre: whole vectors of four lanes.
int32_t TableLanes(int32_t half) { return (half + 3) / 4 * 4; }

// Elements per distance remainder of a table for `half`: a lane group starts at quotient 0 or 1 and
// spans `lanes` quotients; the table's own quotients reach half + 1.
int32_t TableGroup(int32_t half) { return std::max(TableLanes(half), half + 1) + 1; }

// Fills the quarter table for (half, sigma): the value of each distinct (|i|, |j|) once, placed in
// the regrouped layout at both (m_r, m_c) and (m_c, m_r).
void BuildTable(GaussTable& table, int32_t half, float sigma) {
    const int32_t kernel_side = 2 * half + 1;
    const int32_t side = kOversampling * (kernel_side + 2);
    const int32_t centre = (side - 1) / 2;
    table.half = half;
    table.sigma = sigma;
    table.sample_side = side;
    table.lanes = TableLanes(half);
    // Elements beyond the quarter are zeros that only unused lanes read.
    table.group = TableGroup(half);
    const size_t row_length = static_cast<size_t>(kOversampling) * table.group;
    // D = 2 (101 sigma)^2, formed as (sigma 101) (2 (sigma 101)) from the float sigma, as GaussStar does.
    const double scaled = static_cast<double>(sigma) * kOversampling;
    const double denominator = scaled * (2.0 * scaled);
    table.samples.assign(static_cast<size_t>(centre + 1) * row_length, 0.0);
    const auto element = [&](int32_t row, int32_t distance) -> double& {
        return table.samples[static_cast<size_t>(row) * row_length + static_cast<size_t>(distance % kOversampling) * table.group +
                             static_cast<size_t>(distance / kOversampling)];
    };
    for (int32_t di = 0; di <= centre; ++di) {
        for (int32_t dj = di; dj <= centre; ++dj) {
            const int64_t squared = int64_t{di} * di + int64_t{dj} * dj;
            const double value = std::exp(-(static_cast<double>(squared) / denominator));
            element(di, dj) = value;
            element(dj, di) = value;
        }
    }
    table.kernel_slot.assign(static_cast<size_t>(kOffsets) * kOffsets, -1);
    table.kernels.clear();
}

// Where patch column v of a kernel with column offset dc finds its samples in a quarter row. With
// t = v - dc - 50, the pixel B columns right of the centre reads distance 101 B + t and the pixel B
// columns left of it 101 B - t (B >= 1), so for each v the lanes B = 1, 2, ... of either side are
// neighbouring elements of one remainder group; the centre column reads distance |t|.
struct ColumnWalk {
    int32_t right[kOversampling];   // element of lane B = 1 on the right
    int32_t left[kOversampling];    // element of lane B = 1 on the left
    int32_t middle[kOversampling];  // element of the centre column: |t| G
    int32_t middle_row[kOversampling];  // first element of quarter row |t|
};

int32_t LaneStart(int32_t t, int32_t group) {
    // Distance 101 B + t with |t| <= 100: remainder t mod 101, quotient B - 1 when t < 0, else B.
    return t < 0 ? (t + kOversampling) * group : t * group + 1;
}

ColumnWalk MakeColumnWalk(int32_t dc, int32_t group) {
    ColumnWalk walk;
    for (int32_t v = 0; v < kOversampling; ++v) {
        const int32_t t = v - dc - kMaxSubSampleOffset;
        walk.right[v] = LaneStart(t, group);
        walk.left[v] = LaneStart(-t, group);
        walk.middle[v] = std::abs(t) * group;
        walk.middle_row[v] = std::abs(t) * kOversampling * group;
    }
    return walk;
}

// The quarter row that patch row u of block row a reads: distance |101 (a - half) - dr - 50 + u|.
void QuarterRows(int32_t a, int32_t half, int32_t dr, int32_t* rows) {
    for (int32_t u = 0; u < kOversampling; ++u) rows[u] = std::abs(kOversampling * (a - half) - dr - kMaxSubSampleOffset + u);
}

typedef double Double4 __attribute__((vector_size(4 * sizeof(double))));

inline __attribute__((always_inline)) void AddLanes(Double4& sum, const double* samples) {
    Double4 values;
    std::memcpy(&values, samples, sizeof(values));
    sum += values;
}

template <int Vectors>
void StoreLanes(const Double4 (&lanes)[Vectors], double* out) {
    for (int k = 0; k < Vectors; ++k) {
        for (int l = 0; l < 4; ++l) out[4 * k + l] = lanes[k][l];
    }
}

// Lane B - 1 of each array is the block B blocks from the centre.
struct SideSums {
    double right[8];  // block row's blocks right of the centre column
    double left[8];   // ... and left of it
};

// Sums the side blocks (all but the centre column) of `Rows` block rows with `Vectors` x 4 lanes a
// side. Each block's accumulator takes its 101 x 101 samples row by row, left to right, as
// GaussStar's does; lanes and block rows only run side by side.
template <int Vectors, int Rows>
inline __attribute__((always_inline)) void SumSideLanes(const double* samples, size_t row_length,
                                                        const int32_t (*quarter_rows)[kOversampling], const ColumnWalk& columns,
                                                        SideSums* sums) {
    Double4 right[Rows][Vectors] = {}, left[Rows][Vectors] = {};
    for (int u = 0; u < kOversampling; ++u) {
        const double* line[Rows];
        for (int r = 0; r < Rows; ++r) line[r] = samples + static_cast<size_t>(quarter_rows[r][u]) * row_length;
        for (int v = 0; v < kOversampling; ++v) {
            const int32_t to_right = columns.right[v], to_left = columns.left[v];
            for (int r = 0; r < Rows; ++r) {
                for (int k = 0; k < Vectors; ++k) {
                    AddLanes(right[r][k], line[r] + to_right + 4 * k);
                    AddLanes(left[r][k], line[r] + to_left + 4 * k);
                }
            }
        }
    }
    for (int r = 0; r < Rows; ++r) {
        StoreLanes<Vectors>(right[r], sums[r].right);
        StoreLanes<Vectors>(left[r], sums[r].left);
    }
}

// The centre cross: the centre block row's side blocks, the centre column's blocks above and below
// the centre, and the centre block. The table is symmetric, so the centre column's blocks read their
// samples from quarter row |t| (t = v - dc - 50) at row distances regrouped like column distances:
// the blocks A = 1, 2, ... below the centre are neighbouring lanes there, as are those above.
struct CrossSums {
    SideSums centre_row;
    double below[8];  // block A rows below the centre block, in the centre column
    double above[8];
    double centre;
};

template <int Vectors>
inline __attribute__((always_inline)) void SumCrossLanes(const double* samples, size_t row_length, const int32_t* centre_rows,
                                                         const int32_t* below_starts, const int32_t* above_starts,
                                                         const ColumnWalk& columns, CrossSums& sums) {
    Double4 right[Vectors] = {}, left[Vectors] = {}, below[Vectors] = {}, above[Vectors] = {};
    double centre = 0.0;
    for (int u = 0; u < kOversampling; ++u) {
        const double* line = samples + static_cast<size_t>(centre_rows[u]) * row_length;
        const double* below_line = samples + below_starts[u];
        const double* above_line = samples + above_starts[u];
        for (int v = 0; v < kOversampling; ++v) {
            // Quarter row |t| of patch column v, the centre column's own row of the table.
            const int32_t column_row = columns.middle_row[v];
            for (int k = 0; k < Vectors; ++k) {
                AddLanes(right[k], line + columns.right[v] + 4 * k);
                AddLanes(left[k], line + columns.left[v] + 4 * k);
                AddLanes(below[k], below_line + column_row + 4 * k);
                AddLanes(above[k], above_line + column_row + 4 * k);
            }
            centre += line[columns.middle[v]];
        }
    }
    StoreLanes<Vectors>(right, sums.centre_row.right);
    StoreLanes<Vectors>(left, sums.centre_row.left);
    StoreLanes<Vectors>(below, sums.below);
    StoreLanes<Vectors>(above, sums.above);
    sums.centre = centre;
}

// Each summing form compiled once for the baseline instruction set and, where the build allows,
// once for AVX2: the same source and the same additions in wider registers.
template <int Vectors, int Rows>
void SumSideBaseline(const double* samples, size_t row_length, const int32_t (*quarter_rows)[kOversampling],
                     const ColumnWalk& columns, SideSums* sums) {
    SumSideLanes<Vectors, Rows>(samples, row_length, quarter_rows, columns, sums);
}

template <int Vectors>
void SumCrossBaseline(const double* samples, size_t row_length, const int32_t* centre_rows, const int32_t* below_starts,
                      const int32_t* above_starts, const ColumnWalk& columns, CrossSums& sums) {
    SumCrossLanes<Vectors>(samples, row_length, centre_rows, below_starts, above_starts, columns, sums);
}

#if defined(CALSTARS2FP_AVX2_DISPATCH)
bool UseAvx2(bool allowed) {
    static const bool avx2 = __builtin_cpu_supports("avx2");
    return avx2 && allowed;
}

template <int Vectors, int Rows>
__attribute__((target("avx2"))) void SumSideAvx2(const double* samples, size_t row_length,
                                                 const int32_t (*quarter_rows)[kOversampling], const ColumnWalk& columns,
                                                 SideSums* sums) {
    SumSideLanes<Vectors, Rows>(samples, row_length, quarter_rows, columns, sums);
}

template <int Vectors>
__attribute__((target("avx2"))) void SumCrossAvx2(const double* samples, size_t row_length, const int32_t* centre_rows,
                                                  const int32_t* below_starts, const int32_t* above_starts,
                                                  const ColumnWalk& columns, CrossSums& sums) {
    SumCrossLanes<Vectors>(samples, row_length, centre_rows, below_starts, above_starts, columns, sums);
}
#endif

// Side block rows summed together: enough accumulators to keep both adders busy without running out
// of vector registers (16 on x86-64).
template <int Vectors>
constexpr int kSideRows = Vectors == 1 ? 4 : 2;

using SumSideFunction = void (*)(const double*, size_t, const int32_t (*)[kOversampling], const ColumnWalk&, SideSums*);

template <int Vectors, int Rows>
SumSideFunction PickSumSide(int rows, bool avx2_allowed) {
    if constexpr (Rows > 1) {
        if (rows < Rows) return PickSumSide<Vectors, Rows - 1>(rows, avx2_allowed);
    }
#if defined(CALSTARS2FP_AVX2_DISPATCH)
    if (UseAvx2(avx2_allowed)) return SumSideAvx2<Vectors, Rows>;
#else
    (void)avx2_allowed;
#endif
    return SumSideBaseline<Vectors, Rows>;
}

// The side block rows in the order a kernel's mirror pairs share quarter rows: 0, K - 1, 1, K - 2,
// ..., so that the rows one pair reads are still in cache for the other. The centre row is summed
// with the cross.
std::vector<int32_t> SideRowOrder(int32_t half) {
    std::vector<int32_t> order;
    for (int32_t a = 0; a < half; ++a) {
        order.push_back(a);
        order.push_back(2 * half - a);
    }
    return order;
}

template <int Vectors>
void SumBlocksLanes(const GaussTable& table, int32_t dr, const ColumnWalk& columns, bool avx2_allowed, double* sums) {
    const int32_t half = table.half, k_side = 2 * half + 1;
    const size_t row_length = static_cast<size_t>(kOversampling) * table.group;
    const double* samples = table.samples.data();
    const std::vector<int32_t> order = SideRowOrder(half);
    constexpr int kRows = kSideRows<Vectors>;
    for (size_t first = 0; first < order.size(); first += kRows) {
        const int rows = static_cast<int>(std::min(order.size() - first, static_cast<size_t>(kRows)));
        int32_t quarter_rows[kRows][kOversampling];
        SideSums side[kRows] = {};
        for (int r = 0; r < rows; ++r) QuarterRows(order[first + r], half, dr, quarter_rows[r]);
        PickSumSide<Vectors, kRows>(rows, avx2_allowed)(samples, row_length, quarter_rows, columns, side);
        for (int r = 0; r < rows; ++r) {
            double* line = sums + static_cast<size_t>(order[first + r]) * k_side;
            for (int32_t b = 1; b <= half; ++b) {
                line[half + b] = side[r].right[b - 1];
                line[half - b] = side[r].left[b - 1];
            }
        }
    }
    // The cross. Patch row u of the centre block row lies at row distance |s|, s = u - dr - 50; the
    // centre column's block A below reads row distance 101 A + s, above 101 A - s.
    int32_t centre_rows[kOversampling], below_starts[kOversampling], above_starts[kOversampling];
    QuarterRows(half, half, dr, centre_rows);
    for (int32_t u = 0; u < kOversampling; ++u) {
        const int32_t s = u - dr - kMaxSubSampleOffset;
        below_starts[u] = LaneStart(s, table.group);
        above_starts[u] = LaneStart(-s, table.group);
    }
    CrossSums cross{};
#if defined(CALSTARS2FP_AVX2_DISPATCH)
    if (UseAvx2(avx2_allowed)) {
        SumCrossAvx2<Vectors>(samples, row_length, centre_rows, below_starts, above_starts, columns, cross);
    } else
#endif
    {
        SumCrossBaseline<Vectors>(samples, row_length, centre_rows, below_starts, above_starts, columns, cross);
    }
    double* centre_line = sums + static_cast<size_t>(half) * k_side;
    centre_line[half] = cross.centre;
    for (int32_t b = 1; b <= half; ++b) {
        centre_line[half + b] = cross.centre_row.right[b - 1];
        centre_line[half - b] = cross.centre_row.left[b - 1];
        sums[static_cast<size_t>(half + b) * k_side + half] = cross.below[b - 1];
        sums[static_cast<size_t>(half - b) * k_side + half] = cross.above[b - 1];
    }
}

// Any half: the same additions in the same order, one block at a time.
void SumBlocksAnySide(const GaussTable& table, int32_t dr, const ColumnWalk& columns, double* sums) {
    const int32_t half = table.half, k_side = 2 * half + 1;
    const size_t row_length = static_cast<size_t>(kOversampling) * table.group;
    int32_t quarter_rows[kOversampling];
    for (int32_t a = 0; a < k_side; ++a) {
        QuarterRows(a, half, dr, quarter_rows);
        for (int32_t b = -half; b <= half; ++b) {
            double sum = 0.0;
            for (int u = 0; u < kOversampling; ++u) {
                const double* line = table.samples.data() + static_cast<size_t>(quarter_rows[u]) * row_length;
                for (int v = 0; v < kOversampling; ++v) {
                    const int32_t start = b > 0 ? columns.right[v] : (b < 0 ? columns.left[v] : columns.middle[v]);
                    sum += line[start + (std::abs(b) > 0 ? std::abs(b) - 1 : 0)];
                }
            }
            sums[static_cast<size_t>(a) * k_side + half + b] = sum;
        }
    }
}

void SumBlocks(const GaussTable& table, int32_t dr, int32_t dc, bool avx2_allowed, double* sums) {
    const ColumnWalk columns = MakeColumnWalk(dc, table.group);
    switch (table.lanes) {
        case 4: return SumBlocksLanes<1>(table, dr, columns, avx2_allowed, sums);
        case 8: return SumBlocksLanes<2>(table, dr, columns, avx2_allowed, sums);
        default: return SumBlocksAnySide(table, dr, columns, sums);
    }
}

// The kernel for sub-sample offsets (dr, dc): block sums, then GaussStar's float conversion, double
// total and single-precision normalisation, in the same order.
void ComputeKernel(const GaussTable& table, int32_t dr, int32_t dc, bool avx2_allowed, float* kernel) {
    const int32_t k_side = 2 * table.half + 1;
    std::vector<double> sums(static_cast<size_t>(k_side) * k_side);
    SumBlocks(table, dr, dc, avx2_allowed, sums.data());
    double total = 0.0;
    for (size_t k = 0; k < sums.size(); ++k) {
        kernel[k] = static_cast<float>(sums[k]);
        total += sums[k];
    }
    const float float_total = static_cast<float>(total);
    for (size_t k = 0; k < sums.size(); ++k) kernel[k] = kernel[k] / float_total;
}

GaussTable& TableFor(GaussStarFastCache& cache, int32_t half, float sigma) {
    std::vector<GaussTable>& tables = cache.tables;
    // Tables of one half at a time, so that the cache never holds more than that half's share.
    if (!tables.empty() && tables.front().half != half) std::vector<GaussTable>().swap(tables);
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
        FailMemory(WaitKind::Integer, " Memory not allocated in GaussStar \n");
    } catch (const std::length_error&) {
        FailMemory(WaitKind::Integer, " Memory not allocated in GaussStar \n");
    }
    ++cache.table_builds;
    return tables.back();
}

// Memory for a kernel of the shared store, or the failure GaussStar_Fast reports.
float* NewKernel(size_t area) {
    float* kernel = new (std::nothrow) float[area];
    if (kernel == nullptr) FailMemory(WaitKind::Integer, " Memory not allocated in GaussStar \n");
    return kernel;
}

// The store's table for (half, sigma), built on first use; null when the store does not cover it.
GaussSharedTable* SharedTableFor(GaussSharedKernels& store, int32_t half, float sigma) {
    if (!GaussStar_SharedClaim(store, half)) return nullptr;
    for (int t = 0; t < kFastTables; ++t) {
        GaussSharedTable* table = store.tables[t].load(std::memory_order_acquire);
        if (table == nullptr) break;
        if (table->table.sigma == sigma) return table;
    }
    std::lock_guard<std::mutex> lock(store.mutex);
    for (int t = 0; t < kFastTables; ++t) {
        GaussSharedTable* table = store.tables[t].load(std::memory_order_acquire);
        if (table != nullptr) {
            if (table->table.sigma == sigma) return table;
            continue;
        }
        std::unique_ptr<GaussSharedTable> built;
        try {
            if (GaussStar_TableBytes(half) > SIZE_MAX) throw std::bad_alloc();
            built = std::make_unique<GaussSharedTable>();
            BuildTable(built->table, half, sigma);
            std::vector<int32_t>().swap(built->table.kernel_slot);  // the store's slots take its place
            const size_t slots = static_cast<size_t>(kOffsets) * kOffsets;
            built->kernels = std::make_unique<std::atomic<const float*>[]>(slots);
            for (size_t k = 0; k < slots; ++k) built->kernels[k].store(nullptr, std::memory_order_relaxed);
        } catch (const std::bad_alloc&) {
            FailMemory(WaitKind::Integer, " Memory not allocated in GaussStar \n");
        } catch (const std::length_error&) {
            FailMemory(WaitKind::Integer, " Memory not allocated in GaussStar \n");
        }
        store.table_builds.fetch_add(1, std::memory_order_relaxed);
        store.tables[t].store(built.get(), std::memory_order_release);
        return built.release();
    }
    return nullptr;  // every table taken by other sigmas
}

}  // namespace

GaussSharedTable::~GaussSharedTable() {
    if (!kernels) return;
    for (size_t k = 0; k < static_cast<size_t>(kOffsets) * kOffsets; ++k) delete[] kernels[k].load(std::memory_order_relaxed);
}

GaussSharedKernels::~GaussSharedKernels() {
    for (std::atomic<GaussSharedTable*>& table : tables) delete table.load(std::memory_order_relaxed);
}

bool GaussStar_SharedClaim(GaussSharedKernels& store, int32_t half) {
    int32_t shared = store.half.load(std::memory_order_acquire);
    if (shared < 0 && store.half.compare_exchange_strong(shared, half, std::memory_order_acq_rel)) return true;
    return shared == half;
}

uint64_t GaussStar_FastCacheBytes(int32_t half) {
    const uint64_t side = static_cast<uint64_t>(kOversampling) * (2 * static_cast<uint64_t>(half) + 3);
    const uint64_t quarter_rows = (side - 1) / 2 + 1;
    const uint64_t samples = quarter_rows * kOversampling * static_cast<uint64_t>(TableGroup(half));
    const uint64_t slots = static_cast<uint64_t>(kOffsets) * kOffsets;
    const uint64_t area = (2 * static_cast<uint64_t>(half) + 1) * (2 * static_cast<uint64_t>(half) + 1);
    return kFastTables * (sizeof(double) * samples + sizeof(int32_t) * slots + sizeof(float) * area * slots);
}

void GaussStar_Fast(GaussStarFastCache& cache, int32_t half, float row, float col, float sigma, float* kernel) {
    GaussStar_CheckArguments(half, row, col, sigma);
    const int32_t dr = GaussStar_SubSampleOffset(row, GaussStar_NearestPixel(row));
    const int32_t dc = GaussStar_SubSampleOffset(col, GaussStar_NearestPixel(col));
    if (dr < -kMaxSubSampleOffset || dr > kMaxSubSampleOffset || dc < -kMaxSubSampleOffset || dc > kMaxSubSampleOffset) {
        Fail(WaitKind::None, Format(" GaussStar refuses the sub-sample offset (%d, %d) \n", dr, dc));
    }
    const size_t area = static_cast<size_t>(2 * half + 1) * static_cast<size_t>(2 * half + 1);
    const size_t key = static_cast<size_t>(dr + kMaxSubSampleOffset) * kOffsets + (dc + kMaxSubSampleOffset);
    // Rule: a (half, sigma) that the shared store covers comes from the store, any other from the
    // caller's own tables; both sum the same bits.
    if (cache.shared != nullptr) {
        if (GaussSharedTable* shared = SharedTableFor(*cache.shared, half, sigma)) {
            std::atomic<const float*>& slot = shared->kernels[key];
            const float* found = slot.load(std::memory_order_acquire);
            if (found == nullptr) {
                std::unique_ptr<float[]> fresh(NewKernel(area));
                ComputeKernel(shared->table, dr, dc, cache.avx2_allowed, fresh.get());
                ++cache.kernel_builds;
                if (slot.compare_exchange_strong(found, fresh.get(), std::memory_order_acq_rel, std::memory_order_acquire)) {
                    found = fresh.release();
                    cache.shared->kernels_published.fetch_add(1, std::memory_order_relaxed);
                }  // else another thread published first: `found` is its kernel, ours is freed
            }
            std::copy_n(found, area, kernel);
            return;
        }
    }
    GaussTable& table = TableFor(cache, half, sigma);
    int32_t& slot = table.kernel_slot[key];
    if (slot < 0) {
        try {
            table.kernels.resize(table.kernels.size() + area);
        } catch (const std::bad_alloc&) {
            FailMemory(WaitKind::Integer, " Memory not allocated in GaussStar \n");
        } catch (const std::length_error&) {
            FailMemory(WaitKind::Integer, " Memory not allocated in GaussStar \n");
        }
        float* fresh = &table.kernels[table.kernels.size() - area];
        ComputeKernel(table, dr, dc, cache.avx2_allowed, fresh);
        slot = static_cast<int32_t>((table.kernels.size() - area) / area);
        ++cache.kernel_builds;
    }
    std::copy_n(&table.kernels[static_cast<size_t>(slot) * area], area, kernel);
}

void GaussStar_FastForgetKernels(GaussStarFastCache& cache) {
    for (GaussTable& table : cache.tables) {
        std::fill(table.kernel_slot.begin(), table.kernel_slot.end(), -1);
        table.kernels.clear();
    }
}
