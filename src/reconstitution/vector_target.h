// The instruction sets the fast stages run with.
//
// The vector forms of the fast stages (the hole fill's sweeps and sums, the range filter, the plane
// fill) are written once and compiled for every instruction set of the build's processor family: on
// x86 AVX-512, AVX2, SSE4 and SSSE3 (256- and 512-bit registers left out on Windows), on ARM NEON,
// and everywhere a plain target of one lane at a time. At its first call a stage takes the best one
// the processor has, and every later call takes the same one; every target writes the same bytes.
//
// One form in every file that has vector forms: the per-target code sits in Highway's target
// namespaces at file scope (HWY_NAMESPACE, an unnamed namespace inside it, so that each target's
// functions stay local to their file), HWY_EXPORT names each entry point right after, and the stage
// calls it with HWY_DYNAMIC_DISPATCH(Name)(arguments) directly.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The name of the target the fast stages run with on this processor ("AVX2", "NEON", "SCALAR", ...).
std::string VectorTarget_Name();

// The targets this build has compiled and this processor can run, best first (Highway's target
// bits): what a test runs each vector form under, one at a time.
std::vector<int64_t> VectorTarget_Available();

// The name of one target of VectorTarget_Available.
std::string VectorTarget_NameOf(int64_t target);
