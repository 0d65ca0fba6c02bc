#include "reconstitution/pseudo_random.h"

PseudoRandom& PseudoRandom_Generator() {
    static PseudoRandom generator;
    return generator;
}
