#include "reconstitution/vector_target.h"

#include <utility>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "reconstitution/vector_target.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace calstars2fp {
namespace HWY_NAMESPACE {

int64_t CompiledTarget() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace calstars2fp
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace calstars2fp {
HWY_EXPORT(CompiledTarget);
// Each dispatched to the best target this processor has (one call through a table).
template <typename... Arguments>
auto CompiledTargetBest(Arguments&&... arguments) {
    return HWY_DYNAMIC_DISPATCH(CompiledTarget)(std::forward<Arguments>(arguments)...);
}
}  // namespace calstars2fp

std::string VectorTarget_Name() { return VectorTarget_NameOf(calstars2fp::CompiledTargetBest()); }

std::vector<int64_t> VectorTarget_Available() { return hwy::SupportedAndGeneratedTargets(); }

std::string VectorTarget_NameOf(int64_t target) { return hwy::TargetName(target); }
#endif  // HWY_ONCE
