// The frame indices' generator: its first values from the start state, and the jump ahead.
#include "reconstitution/pseudo_random.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(PseudoRandom, StartsAtOneAndFollowsTheCongruence) {
    PseudoRandom generator;
    const int32_t first[] = {41, 18467, 6334, 26500, 19169, 15724, 11478, 29358};
    for (int32_t expected : first) EXPECT_EQ(PseudoRandom_Next(generator), expected);
}

TEST(PseudoRandom, AdvanceLandsWhereThatManyDrawsLand) {
    const uint64_t counts[] = {0, 1, 2, 3, 7, 640 * 480, 1000003, (uint64_t{1} << 32) + 5};
    for (const uint32_t start : {1u, 0u, 0xDEADBEEFu}) {
        for (const uint64_t draws : counts) {
            PseudoRandom stepped{start};
            // 2^32 draws bring the generator back where it was (the congruence has full period).
            for (uint64_t k = 0; k < draws % (uint64_t{1} << 32); ++k) PseudoRandom_Next(stepped);
            EXPECT_EQ(PseudoRandom_Advance(PseudoRandom{start}, draws).state, stepped.state) << start << " + " << draws;
        }
    }
}

}  // namespace
