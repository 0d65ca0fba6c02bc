// The benchmarks' --vector-target: every dispatched stage of the process runs with one target of the
// build, so that a run can measure a processor's lesser targets too.
#pragma once

#include <cstdint>
#include <string>

#include "reconstitution/vector_target.h"

#include <hwy/targets.h>

// Makes the target named `name` (as VectorTarget_NameOf spells it) the only one the stages dispatch
// to. False, changing nothing, when the build has no such target for this processor.
inline bool ForceVectorTarget(const std::string& name) {
    for (const int64_t available : VectorTarget_Available()) {
        if (VectorTarget_NameOf(available) != name) continue;
        hwy::SetSupportedTargetsForTest(available);
        return true;
    }
    return false;
}
