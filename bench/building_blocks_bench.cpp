// One literal GaussStar call for window 9, with and without a rebuild of its sample table (the
// filter's single call is BM_Filter/Literal).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "reconstitution/gauss_star.h"

namespace {

constexpr int32_t kHalf = 4;  // window 9

// Arg 1: every call changes sigma, so every call rebuilds; arg 0: the same sigma, never rebuilt.
void BM_LiteralGaussStarCall(benchmark::State& state) {
    const bool rebuild = state.range(0) == 1;
    std::vector<float> kernel(81);
    GaussStar_Release();
    bool wide = false;
    for (auto _ : state) {
        if (rebuild) wide = !wide;
        GaussStar(kHalf, 100.3f, 200.7f, wide ? 1.6f : 1.1f, kernel.data());
        benchmark::DoNotOptimize(kernel.data());
    }
    GaussStar_Release();
}

}  // namespace

BENCHMARK(BM_LiteralGaussStarCall)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
