// The plane fill: the four products of each pixel value and random value, and the vector lanes
// against the literal loop, byte for byte and generator state for generator state.
#include "reconstitution/plane_fill.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "fourproduct/fourproduct.h"
#include "reconstitution/pseudo_random.h"

#include "support/test_support.h"

#include "splitmix64.h"

namespace {

using Random = SplitMix64;

// Sets the generator so that its next draw yields `value`.
void SetNextRandom(PseudoRandom& generator, int32_t value) {
    uint32_t inverse = 1;  // inverse of 214013 modulo 2^32, by Newton's iteration
    for (int i = 0; i < 5; ++i) inverse *= 2u - 214013u * inverse;
    const uint32_t next_state = static_cast<uint32_t>(value) << 16;
    generator.state = (next_state - 2531011u) * inverse;
}

TEST(FillPlanes, ProductsOfEachPixelValue) {
    struct Case {
        uint16_t background, stars;
        int32_t random;
        uint8_t value, frame_index, deviation;
    };
    const Case cases[] = {
        {200, 100, 32767, 255, 255, 15}, {16, 0, 32766, 16, 254, 4}, {15, 0, 129, 15, 1, 3},
        {0, 0, 128, 0, 0, 0},            {255, 0, 0, 255, 0, 15},    {65535, 2, 1000, 1, 7, 1},  // the sum keeps 16 bits
    };
    for (const Case& c : cases) {
        const std::vector<uint16_t> background{c.background}, stars{c.stars};
        PseudoRandom generator;
        FourProduct product;
        FourProduct_MemSetup(product, 1, 1, 1);
        SetNextRandom(generator, c.random);
        FillPlanes(background, stars, generator, product, 1);
        EXPECT_EQ(FourProduct_Plane(product, kPeakValue)[0], c.value) << c.background << "+" << c.stars;
        EXPECT_EQ(FourProduct_Plane(product, kMeanValue)[0], c.value);
        EXPECT_EQ(FourProduct_Plane(product, kStandardDeviation)[0], c.deviation);
        EXPECT_EQ(FourProduct_Plane(product, kPeakFrameIndex)[0], c.frame_index) << c.random;
    }
}

// The plane fill's vector lanes against the literal loop: pixel counts below, at and between lane
// multiples, sums past 255 and past 16 bits, any generator state; the state afterwards too.
TEST(Differential, FillPlanesFastMatchesLiteralLoop) {
    const int32_t counts[] = {1, 2, 15, 16, 17, 31, 32, 33, 225, 255, 1023, 1024, 1025, 4099, 70001};
    Random random{31};
    for (const int32_t npix : counts) {
        for (int repeat = 0; repeat < 3; ++repeat) {
            std::vector<uint16_t> background(static_cast<size_t>(npix)), stars(static_cast<size_t>(npix));
            for (int32_t p = 0; p < npix; ++p) {
                background[p] = static_cast<uint16_t>(random.Between(0, 3) == 0 ? random.Between(0, 65535) : random.Between(0, 255));
                stars[p] = static_cast<uint16_t>(random.Between(0, 1) == 0 ? 0 : random.Between(0, 65535));
            }
            // Every level 0..300 once where there is room, so each square root is met.
            for (int32_t p = 0; p < std::min(npix, 301); ++p) {
                background[p] = static_cast<uint16_t>(p);
                stars[p] = 0;
            }
            const PseudoRandom start{static_cast<uint32_t>(random.Next())};
            PseudoRandom literal_generator = start;
            FourProduct literal;
            FourProduct_MemSetup(literal, 1, 1, npix);
            FillPlanes(background, stars, literal_generator, literal, npix);
            SCOPED_TRACE("npix " + std::to_string(npix));
            ForEachVectorTarget([&](const std::string& target) {
                PseudoRandom fast_generator = start;
                FourProduct fast;
                FourProduct_MemSetup(fast, 1, 1, npix);
                FillPlanes_Fast(background, stars, fast_generator, fast, npix);
                EXPECT_EQ(literal_generator.state, fast_generator.state) << target;
                for (int slot = 0; slot < kPlaneSlots; ++slot) ASSERT_EQ(literal.planes[slot], fast.planes[slot]) << target;
            });
            if (HasFatalFailure()) return;
        }
    }
}

// Every frame index: from one start, 32768 x 8 draws meet every random value 0..32767 (the generator
// has full period and its top bits cycle through all values).
TEST(Differential, FillPlanesFastGivesEveryFrameIndexAsTheDoubleExpression) {
    const int32_t npix = 8 * (kRandomMax + 1);
    const std::vector<uint16_t> background(static_cast<size_t>(npix), 0), stars(static_cast<size_t>(npix), 0);
    PseudoRandom literal_generator, fast_generator;
    FourProduct literal, fast;
    FourProduct_MemSetup(literal, 1, 8, kRandomMax + 1);
    FourProduct_MemSetup(fast, 1, 8, kRandomMax + 1);
    FillPlanes(background, stars, literal_generator, literal, npix);
    FillPlanes_Fast(background, stars, fast_generator, fast, npix);
    EXPECT_EQ(literal_generator.state, fast_generator.state);
    EXPECT_EQ(literal.planes[2 * kPeakFrameIndex + 1], fast.planes[2 * kPeakFrameIndex + 1]);
}

}  // namespace
