// The process-wide pseudo-random generator that draws the frame index of the peak.
//
// A linear congruential generator, the same on every platform so that files are byte-identical
// everywhere: the state starts at 1 and is never seeded; each draw sets
// state = state x 214013 + 2531011 (mod 2^32) and yields (state >> 16) AND 0x7FFF, 0..32767.
// One value is drawn per pixel, in pixel order, running on across frames and files.
#pragma once

#include <cstdint>

constexpr uint32_t kRandomStart = 1;
constexpr int32_t kRandomMax = 32767;

struct PseudoRandom {
    uint32_t state = kRandomStart;
};

// The generator of the process.
PseudoRandom& PseudoRandom_Generator();

inline int32_t PseudoRandom_Next(PseudoRandom& generator) {
    generator.state = generator.state * 214013u + 2531011u;
    return static_cast<int32_t>((generator.state >> 16) & 0x7FFFu);
}
