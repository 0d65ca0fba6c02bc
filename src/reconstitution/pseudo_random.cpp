#include "reconstitution/pseudo_random.h"

PseudoRandom PseudoRandom_Advance(PseudoRandom generator, uint64_t draws) {
    // (multiplier, increment) of the map for the current power of two draws.
    uint32_t multiplier = kRandomMultiplier;
    uint32_t increment = kRandomIncrement;
    for (; draws != 0; draws >>= 1) {
        if (draws & 1u) generator.state = generator.state * multiplier + increment;
        increment = increment * multiplier + increment;
        multiplier = multiplier * multiplier;
    }
    return generator;
}
