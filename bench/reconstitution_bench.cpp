// Speed of the reconstitution, literal stages against fast ones, measured in the same run so that
// each speed-up is a ratio of two numbers taken on the same machine at the same time.
//
// Records are fixed and synthetic: 640 x 480 with 100 stars and window 9 ("small"), 1280 x 960 with
// 300 stars and window 11 ("large"); the per-pixel stages also on 720 x 1280 with 150 stars and
// window 9 ("tall"). Every case has a Literal and a Fast variant. The filter and the hole fill are
// measured as well on the records of generated nights (BM_NightFilter, BM_NightFillHoles), which is
// what users run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "calstars/calstars.h"
#include "fourproduct/fourproduct.h"
#include "reconstitution/gauss_star.h"
#include "reconstitution/heap_sort.h"
#include "reconstitution/median_filter.h"
#include "reconstitution/reconstitution.h"
#include "reconstitution/vector_target.h"

#include "force_vector_target.h"

#include "splitmix64.h"

namespace {

struct RecordShape {
    int32_t rows, cols, nstars, window;
};
constexpr RecordShape kSmall{480, 640, 100, 9};
constexpr RecordShape kLarge{960, 1280, 300, 11};
constexpr RecordShape kTall{1280, 720, 150, 9};

using Random = SplitMix64;

// A record like a camera's: stars scattered with their windows inside the image, every eighth one
// next to the previous (overlapping windows), intensities on both sides of 1800, levels 5 to 80.
CalStarExtraction MakeRecord(const RecordShape& shape) {
    CalStarExtraction record;
    record.rows = shape.rows;
    record.cols = shape.cols;
    record.nstars = shape.nstars;
    record.window = shape.window;
    record.name = "bench.bin";
    const int32_t half = (shape.window - 1) / 2;
    Random random{static_cast<uint64_t>(shape.rows) * 7919u + static_cast<uint64_t>(shape.nstars)};
    for (int32_t s = 0; s < shape.nstars; ++s) {
        float row = static_cast<float>(half + random.Uniform() * (shape.rows - 1 - 2 * half));
        float col = static_cast<float>(half + random.Uniform() * (shape.cols - 1 - 2 * half));
        if (s > 0 && random.Between(0, 7) == 0) {
            row = std::clamp(record.row.back() + 0.7f * static_cast<float>(random.Between(-half, half)), float(half),
                             float(shape.rows - 1 - half) - 0.5f);
            col = std::clamp(record.col.back() + 0.7f * static_cast<float>(random.Between(-half, half)), float(half),
                             float(shape.cols - 1 - half) - 0.5f);
        }
        record.row.push_back(row);
        record.col.push_back(col);
        record.intensity.push_back(static_cast<uint16_t>(random.Between(0, 1) ? random.Between(1700, 1900) : random.Between(150, 6000)));
        const int32_t level = random.Between(5, 80);
        record.background.push_back(static_cast<uint16_t>(level));
        record.background_level.push_back(level);
    }
    return record;
}

struct Frame {
    CalStarExtraction record;
    ReconWorkBuffers buffers;
    FourProduct product;
    explicit Frame(const RecordShape& shape) : record(MakeRecord(shape)) {
        CalStarReconsitution_MemSetup(buffers, record);
        FourProduct_MemSetup(product, 1, shape.rows, shape.cols);
        DrawStars_FrameSetup(buffers.star_drawing, shape.window);
        BuildDiscMask(buffers.star_drawing.disc_mask, shape.window);
    }
    ~Frame() { CalStarReconsitution_MemFree(buffers); }
    // The filter's input: the seeded, filled and border-completed background.
    std::vector<uint16_t> FilledBackground() {
        SeedBackground(buffers.background_image, record);
        FillHoles_Distance(buffers.background_image, buffers.snapshot, buffers.hole_fill, record.rows, record.cols);
        CompleteBorder(buffers.background_image, record.rows, record.cols);
        return buffers.background_image;
    }
};

// Argument 0: the small record, 1: the large one, 2: the tall one (stage benchmarks only).
const RecordShape& ShapeOf(const benchmark::State& state) {
    return state.range(0) == 0 ? kSmall : (state.range(0) == 1 ? kLarge : kTall);
}

void SetLabel(benchmark::State& state, const RecordShape& shape, const std::string& note = "");

// Pixels per second, and nanoseconds per pixel (printed with the unit "s").
void SetPixelCounters(benchmark::State& state, const RecordShape& shape) {
    const double pixels = static_cast<double>(state.iterations()) * shape.rows * shape.cols;
    state.SetItemsProcessed(static_cast<int64_t>(pixels));
    state.counters["ns_per_pixel"] = benchmark::Counter(pixels * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    SetLabel(state, shape);
}

void SetLabel(benchmark::State& state, const RecordShape& shape, const std::string& note) {
    state.SetLabel(std::to_string(shape.cols) + "x" + std::to_string(shape.rows) + " " + std::to_string(shape.nstars) +
                   " stars w" + std::to_string(shape.window) + note);
}

template <bool Fast>
void BM_Filter(benchmark::State& state) {
    const RecordShape& shape = ShapeOf(state);
    Frame frame(shape);
    const std::vector<uint16_t> input = frame.FilledBackground();
    std::vector<uint16_t> output(input.size());
    for (auto _ : state) {
        if (Fast) {
            Median_Filter_Range(input.data(), shape.cols, output.data(), shape.cols, shape.rows, shape.cols);
        } else {
            Median_Filter_Sort(input.data(), shape.cols, output.data(), shape.cols, shape.rows, shape.cols);
        }
        benchmark::DoNotOptimize(output.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(input.size()));
    SetLabel(state, shape);
}

// The hole filling in its two forms: the literal passes, the distance sweep (the pipeline's).
template <bool Fast>
void BM_FillHolesForm(benchmark::State& state) {
    const RecordShape& shape = ShapeOf(state);
    Frame frame(shape);
    for (auto _ : state) {
        state.PauseTiming();
        SeedBackground(frame.buffers.background_image, frame.record);
        state.ResumeTiming();
        if (Fast) {
            FillHoles_Distance(frame.buffers.background_image, frame.buffers.snapshot, frame.buffers.hole_fill, shape.rows, shape.cols);
        } else {
            FillHoles(frame.buffers.background_image, frame.buffers.snapshot, frame.buffers.hole_fill, shape.rows, shape.cols);
        }
        benchmark::DoNotOptimize(frame.buffers.background_image.data());
    }
    SetPixelCounters(state, shape);
}

// Every star of the record in drawing order, as DrawStars calls it: the literal form rebuilds its
// table at each change of width (twice a record); the fast form keeps its factor tables.
template <bool Fast>
void BM_GaussStar(benchmark::State& state) {
    const RecordShape& shape = ShapeOf(state);
    Frame frame(shape);
    const CalStarExtraction& record = frame.record;
    HeapSortIndices(static_cast<uint32_t>(record.nstars), frame.buffers.star_drawing.star_order.data(), record.intensity.data());
    const int32_t half = (shape.window - 1) / 2;
    std::vector<float> kernel(static_cast<size_t>(shape.window) * shape.window);
    for (auto _ : state) {
        for (int32_t k = 0; k < record.nstars; ++k) {
            const int32_t s = frame.buffers.star_drawing.star_order[k];
            const float sigma = record.intensity[s] >= kBrightStarIntensity ? kWideSigma : kNarrowSigma;
            if (Fast) {
                GaussStar_Fast(frame.buffers.star_drawing.profiles, half, record.row[s], record.col[s], sigma, kernel.data());
            } else {
                GaussStar(half, record.row[s], record.col[s], sigma, kernel.data());
            }
        }
        benchmark::DoNotOptimize(kernel.data());
    }
    state.SetItemsProcessed(state.iterations() * record.nstars);
    // Seconds per star, in microseconds (printed with the unit "s").
    state.counters["us_per_star"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * record.nstars * 1e-6, benchmark::Counter::kIsRate |
                                                                                            benchmark::Counter::kInvert);
    SetLabel(state, shape);
}

// One new kernel at half 4 (window 9), averaged over many distinct offsets (a fixed walk through all
// 101 x 101), both widths alternating: the fast form against the literal form with its table built.
template <bool Fast>
void BM_NewKernelHalf4(benchmark::State& state) {
    constexpr int32_t kHalf = 4;
    std::vector<float> kernel((2 * kHalf + 1) * (2 * kHalf + 1));
    GaussStarFastCache cache;
    uint32_t step = 0;
    for (auto _ : state) {
        step = (step + 2909) % (101 * 101);  // 2909 is prime to 10,201: every offset pair in turn
        const float row = 100.0f + static_cast<float>(step / 101) / 101.0f;
        const float col = 200.0f + static_cast<float>(step % 101) / 101.0f;
        const float sigma = (step & 1) != 0 ? kWideSigma : kNarrowSigma;
        if (Fast) {
            GaussStar_Fast(cache, kHalf, row, col, sigma, kernel.data());
        } else {
            GaussStar(kHalf, row, col, kNarrowSigma, kernel.data());  // one width: no rebuilds timed
        }
        benchmark::DoNotOptimize(kernel.data());
    }
    if (Fast && cache.blocks > 0) {
        // Blocks the estimate left open, whether summed or their sum kept from an earlier kernel.
        state.counters["literal_blocks_per_10k"] =
            1e4 * static_cast<double>(cache.literal_blocks + cache.remembered_blocks) / static_cast<double>(cache.blocks);
        state.counters["summed_blocks_per_10k"] = 1e4 * static_cast<double>(cache.literal_blocks) / static_cast<double>(cache.blocks);
        state.counters["literal_totals_per_10k"] = 1e4 * static_cast<double>(cache.literal_totals) / static_cast<double>(cache.kernel_builds);
    }
}

// A wide window (301) on a 480 x 640 record: one new star's kernel, mostly blocks that are exactly 0.
void BM_NewKernelWindow301(benchmark::State& state) {
    constexpr int32_t kHalf = 150;
    std::vector<float> kernel((2 * kHalf + 1) * (2 * kHalf + 1));
    GaussStarFastCache cache;
    uint32_t step = 0;
    for (auto _ : state) {
        step = (step + 2909) % (101 * 101);
        GaussStar_Fast(cache, kHalf, 240.0f + static_cast<float>(step / 101) / 101.0f,
                       320.0f + static_cast<float>(step % 101) / 101.0f, kWideSigma, kernel.data());
        benchmark::DoNotOptimize(kernel.data());
    }
}

// The plane fill in its two forms: the literal loop, the vector lanes (the pipeline's).
template <bool Fast>
void BM_FillPlanesForm(benchmark::State& state) {
    const RecordShape& shape = ShapeOf(state);
    Frame frame(shape);
    frame.FilledBackground();
    const int32_t npix = shape.rows * shape.cols;
    for (auto _ : state) {
        if (Fast) {
            FillPlanes_Fast(frame.buffers.background_image, frame.buffers.star_layer, frame.buffers.generator, frame.product, npix);
        } else {
            FillPlanes(frame.buffers.background_image, frame.buffers.star_layer, frame.buffers.generator, frame.product, npix);
        }
        benchmark::DoNotOptimize(frame.product.planes[3].data());
    }
    SetPixelCounters(state, shape);
}

// One record through the fast pipeline or the literal reference.
template <bool Fast>
void Reconstitute(ReconWorkBuffers& buffers, const CalStarExtraction& record, FourProduct& product) {
    if (Fast) {
        CalStarReconsitution(buffers, record, product);
    } else {
        CalStarReconsitution_Reference(buffers, record, product);
    }
}

// A whole record, steps 2 to 14, ONE RECORD REPEATED: after the first pass the fast form finds every
// kernel of the record remembered, which no real night gives (its stars drift from record to record,
// and with them their sub-pixel offsets). The nights are calstars2fp_night_bench's cases.
template <bool Fast>
void BM_Record(benchmark::State& state) {
    const RecordShape& shape = ShapeOf(state);
    Frame frame(shape);
    // One record before timing, so that every pass repeats a record already seen.
    Reconstitute<Fast>(frame.buffers, frame.record, frame.product);
    for (auto _ : state) {
        Reconstitute<Fast>(frame.buffers, frame.record, frame.product);
        benchmark::DoNotOptimize(frame.product.planes[3].data());
    }
    SetLabel(state, shape, ", one record repeated (not a night)");
}

// A whole record as the first of a listing: the GaussStar tables are released before each one, so
// the record pays both table builds and sums every kernel.
template <bool Fast>
void BM_RecordFirstOfListing(benchmark::State& state) {
    const RecordShape& shape = ShapeOf(state);
    Frame frame(shape);
    for (auto _ : state) {
        GaussStar_Release();
        Reconstitute<Fast>(frame.buffers, frame.record, frame.product);
        benchmark::DoNotOptimize(frame.product.planes[3].data());
    }
    SetLabel(state, shape);
}

// A generated folder of CALSTARS files (make_calstars), processed file by file and record by record
// as the driver does, each four-product file written; only the listing file and the printed names are
// left out. The folder is made once per process.
const std::string& RunFolder() {
    static const std::string folder = [] {
        const std::filesystem::path path = std::filesystem::temp_directory_path() / "calstars2fp_bench_run";
        std::filesystem::remove_all(path);
        std::filesystem::create_directories(path);
        const std::string command = std::string(MAKE_CALSTARS) + " " + path.string() +
                                    " --files 2 --records 3 --stars 100 --window 9 --seed 7";
        if (std::system(command.c_str()) != 0) std::fprintf(stderr, "make_calstars failed\n");
        return path.string() + "/";
    }();
    return folder;
}

template <bool Fast>
void BM_WholeRun(benchmark::State& state) {
    const std::string& folder = RunFolder();
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("CALSTARS", 0) == 0) files.push_back(name);
    }
    std::sort(files.begin(), files.end());
    int64_t records = 0;
    for (auto _ : state) {
        CalStarExtraction extraction;
        FourProduct product;
        ReconWorkBuffers buffers;
        for (const std::string& name : files) {
            OpenCalStarExtraction(folder + name, extraction);
            FourProduct_MemSetup(product, extraction.first_int, extraction.rows, extraction.cols);
            CalStarReconsitution_MemSetup(buffers, extraction);
            while (ReadCalStarFrame(extraction) == 0) {
                Reconstitute<Fast>(buffers, extraction, product);
                product.output_name[product.bank] = folder + extraction.name;
                FourProduct_WriteFile(product);
                CalStarReconsitution_FrameFree(buffers);
                ++records;
            }
            CalStarReconsitution_MemFree(buffers);
        }
        FourProduct_MemFree(product);
    }
    state.SetItemsProcessed(records);
    state.SetLabel(std::to_string(files.size()) + " files, 3 records each, 640x480 100 stars w9");
}

// Generated camera-nights (make_calstars --night: the same stars in every record, a little further
// along the sky each time), as users run them. Each record's seeded background (the hole fill's
// input) and its filled, border-completed background (the filter's input) are kept, and the stage
// benchmarks go through the records in turn. Argument 0: 640 x 480, 100 stars, window 9; 1: 1280 x
// 720, 150 stars, window 9.
struct NightRecords {
    int32_t rows = 0, cols = 0;
    std::vector<std::vector<uint16_t>> seeded, filter_input;
};

const NightRecords& Night(int64_t which) {
    static NightRecords nights[2];
    NightRecords& night = nights[which];
    if (!night.seeded.empty()) return night;
    const bool small = which == 0;
    const std::filesystem::path path = std::filesystem::temp_directory_path() / ("calstars2fp_bench_night" + std::to_string(which));
    std::filesystem::remove_all(path);
    std::filesystem::create_directories(path);
    const std::string command = std::string(MAKE_CALSTARS) + " " + path.string() + " --night --records 24 --rows " +
                                (small ? "480 --cols 640 --stars 100" : "720 --cols 1280 --stars 150") +
                                " --window 9 --seed " + (small ? "11" : "12");
    if (std::system(command.c_str()) != 0) std::fprintf(stderr, "make_calstars failed\n");
    for (const auto& entry : std::filesystem::directory_iterator(path)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("CALSTARS", 0) != 0) continue;
        CalStarExtraction extraction;
        ReconWorkBuffers buffers;
        OpenCalStarExtraction(entry.path().string(), extraction);
        CalStarReconsitution_MemSetup(buffers, extraction);
        night.rows = extraction.rows;
        night.cols = extraction.cols;
        while (ReadCalStarFrame(extraction) == 0) {
            SeedBackground(buffers.background_image, extraction);
            night.seeded.push_back(buffers.background_image);
            FillHoles_Distance(buffers.background_image, buffers.snapshot, buffers.hole_fill, extraction.rows, extraction.cols);
            CompleteBorder(buffers.background_image, extraction.rows, extraction.cols);
            night.filter_input.push_back(buffers.background_image);
        }
    }
    std::filesystem::remove_all(path);
    return night;
}

void SetNightCounters(benchmark::State& state, const NightRecords& night) {
    const double pixels = static_cast<double>(state.iterations()) * night.rows * night.cols;
    state.counters["ns_per_pixel"] = benchmark::Counter(pixels * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(std::to_string(night.cols) + "x" + std::to_string(night.rows) + " night, " +
                   std::to_string(night.seeded.size()) + " records in turn");
}

template <bool Fast>
void BM_NightFilter(benchmark::State& state) {
    const NightRecords& night = Night(state.range(0));
    std::vector<uint16_t> output(night.filter_input.front().size());
    size_t k = 0;
    for (auto _ : state) {
        const std::vector<uint16_t>& input = night.filter_input[k++ % night.filter_input.size()];
        if (Fast) {
            Median_Filter_Range(input.data(), night.cols, output.data(), night.cols, night.rows, night.cols);
        } else {
            Median_Filter_Sort(input.data(), night.cols, output.data(), night.cols, night.rows, night.cols);
        }
        benchmark::DoNotOptimize(output.data());
    }
    SetNightCounters(state, night);
}

template <bool Fast>
void BM_NightFillHoles(benchmark::State& state) {
    const NightRecords& night = Night(state.range(0));
    ReconWorkBuffers buffers;
    buffers.background_image.resize(night.seeded.front().size());
    buffers.snapshot.resize(buffers.background_image.size());
    buffers.hole_fill.fill_list.resize(buffers.background_image.size());
    size_t k = 0;
    for (auto _ : state) {
        state.PauseTiming();
        buffers.background_image = night.seeded[k++ % night.seeded.size()];
        state.ResumeTiming();
        if (Fast) {
            FillHoles_Distance(buffers.background_image, buffers.snapshot, buffers.hole_fill, night.rows, night.cols);
        } else {
            FillHoles(buffers.background_image, buffers.snapshot, buffers.hole_fill, night.rows, night.cols);
        }
        benchmark::DoNotOptimize(buffers.background_image.data());
    }
    SetNightCounters(state, night);
}

// Argument 0: the small record, 1: the large one.
#define STAGE(name)                                                                             \
    BENCHMARK_TEMPLATE(name, false)->Name(#name "/Literal")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond); \
    BENCHMARK_TEMPLATE(name, true)->Name(#name "/Fast")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)

STAGE(BM_Filter);
BENCHMARK_TEMPLATE(BM_NewKernelHalf4, false)->Name("BM_NewKernelHalf4/Literal")->Unit(benchmark::kMicrosecond);
BENCHMARK_TEMPLATE(BM_NewKernelHalf4, true)->Name("BM_NewKernelHalf4/Fast")->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_NewKernelWindow301)->Unit(benchmark::kMillisecond);

#define PIXEL_STAGE(name, label)                                                                                     \
    BENCHMARK_TEMPLATE(name, false)->Name(label "/Literal")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond); \
    BENCHMARK_TEMPLATE(name, true)->Name(label "/Fast")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)

PIXEL_STAGE(BM_FillHolesForm, "BM_FillHoles");
STAGE(BM_GaussStar);
PIXEL_STAGE(BM_FillPlanesForm, "BM_FillPlanes");
STAGE(BM_Record);
STAGE(BM_RecordFirstOfListing);
BENCHMARK_TEMPLATE(BM_NightFilter, false)->Name("BM_NightFilter/Literal")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_NightFilter, true)->Name("BM_NightFilter/Range")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_NightFillHoles, false)->Name("BM_NightFillHoles/Literal")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_NightFillHoles, true)->Name("BM_NightFillHoles/Distance")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_WholeRun, false)->Name("BM_WholeRun/Literal")->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_WholeRun, true)->Name("BM_WholeRun/Fast")->Unit(benchmark::kMillisecond);

}  // namespace

// --vector-target=NAME (AVX3, AVX2, SSE4, SSSE3, NEON, SCALAR, ...) runs every fast stage with that
// target of the build instead of the best one the processor has, so that one machine gives the
// figures of each.
int main(int argc, char** argv) {
    std::string target = VectorTarget_Name();
    std::vector<char*> arguments;
    for (int i = 0; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--vector-target=", 0) != 0) {
            arguments.push_back(argv[i]);
            continue;
        }
        const std::string wanted = argument.substr(16);
        if (!ForceVectorTarget(wanted)) {
            std::fprintf(stderr, "vector target %s is not among this build's for this processor\n", wanted.c_str());
            return 1;
        }
        target = wanted;
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
    benchmark::AddCustomContext("vector target", target);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
