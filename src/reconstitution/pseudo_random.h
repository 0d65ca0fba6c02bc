// The pseudo-random generator that draws the frame index of the peak.
//
// A linear congruential generator, the same on every platform so that files are byte-identical
// everywhere: the state starts at 1 and is never seeded; each draw sets
// state = state x 214013 + 2531011 (mod 2^32) and yields (state >> 16) AND 0x7FFF, 0..32767.
// One value is drawn per pixel, in pixel order, running on across frames and files. A run keeps its
// generator in the work buffers of the reconstitution; a record reconstituted out of turn starts
// from the state jumped ahead by the number of pixels drawn before it.
#pragma once

#include <cstdint>

constexpr uint32_t kRandomStart = 1;
constexpr int32_t kRandomMax = 32767;

struct PseudoRandom {
    uint32_t state = kRandomStart;
};

constexpr uint32_t kRandomMultiplier = 214013u;
constexpr uint32_t kRandomIncrement = 2531011u;

inline int32_t PseudoRandom_Next(PseudoRandom& generator) {
    generator.state = generator.state * kRandomMultiplier + kRandomIncrement;
    return static_cast<int32_t>((generator.state >> 16) & 0x7FFFu);
}

// The generator after `draws` further draws, in O(log draws) steps: one draw is the affine map
// x -> a x + c (mod 2^32), and the map of 2^k draws is that of 2^(k-1) draws applied twice.
PseudoRandom PseudoRandom_Advance(PseudoRandom generator, uint64_t draws);
