// A small, portable pseudo-random generator (splitmix64) for the generator of example data, the tests
// and the benchmark: the same seed gives the same numbers on every platform.
#pragma once

#include <cstdint>

struct SplitMix64 {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // An integer from low to high, both included.
    int32_t Between(int32_t low, int32_t high) { return low + static_cast<int32_t>(Next() % static_cast<uint64_t>(high - low + 1)); }
    // A double in [0, 1).
    double Uniform() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }
};
